#include "app/KVNController.h"
#include "inspector/KVNItem.h"
#include "platform/ui/OutlineView.h"

#include <QAbstractItemModelTester>
#include <QTest>

using kv::PropertyListValue;
using kv::ui::OutlineItem;
using kv::ui::OutlineView;
using kv::ui::TableColumn;

Q_DECLARE_METATYPE(kv::PropertyListValue)

namespace {

PropertyListValue str(const char *s)
{
    return PropertyListValue::fromString(QString::fromUtf8(s));
}

// The controller wired to an outline view the way the main interface does it.
struct Fixture
{
    KVNController controller;
    OutlineView view;

    Fixture()
    {
        controller.kvnOutlineViewKeyColumn = view.addTableColumn(QStringLiteral("key"), QStringLiteral("Key"));
        controller.kvnOutlineViewTypeColumn = view.addTableColumn(QStringLiteral("type"), QStringLiteral("Type"));
        controller.kvnOutlineViewValueColumn = view.addTableColumn(QStringLiteral("value"), QStringLiteral("Value"));
        controller.kvnOutlineView = &view;
        view.setDataSource(&controller);
        view.setDelegate(&controller);
    }
    ~Fixture() { KVNItem::setRootItem(nullptr); }

    // Shows `value` the way a selection does: new root, reload, full expansion.
    void show(const PropertyListValue &value)
    {
        controller.selectedKeyContents = value;
        KVNItem::releaseRootItem();
        KVNItem::setRootItem(&controller.selectedKeyContents);
        view.reloadData();
        view.expandItem(KVNItem::rootItem(), true);
    }
    QString cell(TableColumn *column, KVNItem *item)
    {
        return controller.outlineViewObjectValueForTableColumn(&view, column, item);
    }
    QStringList row(KVNItem *item)
    {
        return {cell(controller.kvnOutlineViewKeyColumn, item), cell(controller.kvnOutlineViewTypeColumn, item),
                cell(controller.kvnOutlineViewValueColumn, item)};
    }
};

// Every item of the tree below `item`, `item` included, depth first.
QList<KVNItem *> allItems(KVNItem *item)
{
    QList<KVNItem *> items{item};
    for (int i = 0; i < item->numberOfChildren(); ++i)
        items += allItems(item->childAtIndex(i));
    return items;
}

} // namespace

class TestOutlineDataSource : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { KVNItem::setRootItem(nullptr); }

    void emptyTreeBeforeAnySelection();
    void topLevelChildIsRootForAnyIndex();
    void rootRow_data();
    void rootRow();
    void childrenAndExpandability();
    void otherColumnIsEmpty();
    void columnsComparedByIdentity();
    void editingRefusedEverywhere();
    void modelTesterWithController();
    void viewShowsRowsThroughController();
};

void TestOutlineDataSource::emptyTreeBeforeAnySelection()
{
    Fixture f;
    f.view.reloadData();
    QCOMPARE(f.controller.outlineViewNumberOfChildrenOfItem(&f.view, nullptr), 1);
    QVERIFY(f.controller.outlineViewIsItemExpandable(&f.view, nullptr));
    KVNItem *root = static_cast<KVNItem *>(f.controller.outlineViewChild(&f.view, 0, nullptr));
    QCOMPARE(root, KVNItem::rootItem());
    QVERIFY(!f.controller.outlineViewIsItemExpandable(&f.view, root));
    QCOMPARE(f.controller.outlineViewNumberOfChildrenOfItem(&f.view, root), -1);
    QCOMPARE(f.row(root), (QStringList{"", "", ""}));
    QVERIFY(f.cell(f.controller.kvnOutlineViewValueColumn, root).isNull());
    QCOMPARE(f.view.numberOfRows(), 1);
    f.view.expandItem(root, true);
    QVERIFY(!f.view.isItemExpanded(root));
}

void TestOutlineDataSource::topLevelChildIsRootForAnyIndex()
{
    Fixture f;
    const PropertyListValue value = PropertyListValue::fromArray({str("a"), str("b")});
    f.show(value);
    for (int index : {0, 1, 7, -3})
        QCOMPARE(f.controller.outlineViewChild(&f.view, index, nullptr), static_cast<OutlineItem>(KVNItem::rootItem()));
}

void TestOutlineDataSource::rootRow_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<bool>("expandable");
    QTest::addColumn<int>("rows");
    QTest::newRow("boolean") << PropertyListValue::fromBoolean(true)
                             << QStringList{"Root", "Number", PropertyListValue::fromBoolean(true).description()}
                             << false << 1;
    QTest::newRow("string") << str("en0") << QStringList{"Root", "String", "en0"} << false << 1;
    QTest::newRow("empty dictionary") << PropertyListValue::fromDictionary({})
                                      << QStringList{"Root", "Dictionary", "(0 Key/Value pairs)"} << true << 1;
    QTest::newRow("empty array") << PropertyListValue::fromArray({}) << QStringList{"Root", "Array", "(0 Objects)"}
                                 << true << 1;
    QTest::newRow("one-entry dictionary")
        << PropertyListValue::fromDictionary({{QStringLiteral("Router"), str("10.0.0.1")}})
        << QStringList{"Root", "Dictionary", "(1 Key/Value pair)"} << true << 2;
    QTest::newRow("three-entry dictionary")
        << PropertyListValue::fromDictionary({{QStringLiteral("a"), str("1")},
                                              {QStringLiteral("b"), PropertyListValue::fromArray({str("x")})},
                                              {QStringLiteral("c"), PropertyListValue::fromInteger(3)}})
        << QStringList{"Root", "Dictionary", "(3 Key/Value pairs)"} << true << 5;
    QTest::newRow("array of one") << PropertyListValue::fromArray({PropertyListValue::fromData("\x01")})
                                  << QStringList{"Root", "Array", "(1 Object)"} << true << 2;
}

void TestOutlineDataSource::rootRow()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QStringList, texts);
    QFETCH(bool, expandable);
    QFETCH(int, rows);
    Fixture f;
    f.show(value);
    KVNItem *root = KVNItem::rootItem();
    QCOMPARE(f.row(root), texts);
    QCOMPARE(f.controller.outlineViewIsItemExpandable(&f.view, root), expandable);
    QCOMPARE(f.view.numberOfRows(), rows);
    QCOMPARE((QStringList{f.view.textAt(0, 0), f.view.textAt(0, 1), f.view.textAt(0, 2)}), texts);
    QCOMPARE(f.view.isItemExpanded(root), expandable);
}

void TestOutlineDataSource::childrenAndExpandability()
{
    Fixture f;
    const PropertyListValue value = PropertyListValue::fromDictionary(
        {{QStringLiteral("Flag"), PropertyListValue::fromBoolean(false)},
         {QStringLiteral("List"), PropertyListValue::fromArray({str("p"), PropertyListValue::fromDictionary({})})}});
    f.show(value);
    KVNItem *root = KVNItem::rootItem();
    QCOMPARE(f.controller.outlineViewNumberOfChildrenOfItem(&f.view, root), 2);
    auto *flag = static_cast<KVNItem *>(f.controller.outlineViewChild(&f.view, 0, root));
    auto *list = static_cast<KVNItem *>(f.controller.outlineViewChild(&f.view, 1, root));
    QCOMPARE(f.row(flag), (QStringList{"Flag", "Number", PropertyListValue::fromBoolean(false).description()}));
    QCOMPARE(f.row(list), (QStringList{"List", "Array", "(2 Objects)"}));
    QVERIFY(!f.controller.outlineViewIsItemExpandable(&f.view, flag));
    QVERIFY(f.controller.outlineViewIsItemExpandable(&f.view, list));
    auto *empty = static_cast<KVNItem *>(f.controller.outlineViewChild(&f.view, 1, list));
    QCOMPARE(f.row(empty), (QStringList{"1", "Dictionary", "(0 Key/Value pairs)"}));
    QVERIFY(f.controller.outlineViewIsItemExpandable(&f.view, empty));
    QCOMPARE(f.controller.outlineViewNumberOfChildrenOfItem(&f.view, empty), 0);
    // Root, Flag, List, 0, 1 — every expandable item expanded.
    QCOMPARE(f.view.numberOfRows(), 5);
    QVERIFY(f.view.isItemExpanded(list));
}

void TestOutlineDataSource::otherColumnIsEmpty()
{
    Fixture f;
    TableColumn *other = f.view.addTableColumn(QStringLiteral("other"), QStringLiteral("Other"));
    const PropertyListValue value = PropertyListValue::fromArray({str("a"), PropertyListValue::fromArray({str("b")})});
    f.show(value);
    const QList<KVNItem *> items = allItems(KVNItem::rootItem());
    QCOMPARE(items.size(), 4);
    for (KVNItem *item : items) {
        const QString text = f.cell(other, item);
        QVERIFY(text.isEmpty() && !text.isNull());
        QVERIFY(f.cell(nullptr, item).isEmpty());
    }
    QCOMPARE(f.view.textAt(3, 3), QString(""));
}

void TestOutlineDataSource::columnsComparedByIdentity()
{
    Fixture f;
    // Same identifier and title as the type column, but another object.
    TableColumn lookalike(QStringLiteral("type"), QStringLiteral("Type"));
    const PropertyListValue value = str("x");
    f.show(value);
    QCOMPARE(f.cell(f.controller.kvnOutlineViewTypeColumn, KVNItem::rootItem()), QStringLiteral("String"));
    QCOMPARE(f.cell(&lookalike, KVNItem::rootItem()), QString(""));
    // A column known in two roles answers in the first role of the order
    // type, value, key.
    f.controller.kvnOutlineViewKeyColumn = f.controller.kvnOutlineViewTypeColumn;
    QCOMPARE(f.cell(f.controller.kvnOutlineViewKeyColumn, KVNItem::rootItem()), QStringLiteral("String"));
    f.controller.kvnOutlineViewKeyColumn = f.controller.kvnOutlineViewValueColumn;
    QCOMPARE(f.cell(f.controller.kvnOutlineViewKeyColumn, KVNItem::rootItem()), QStringLiteral("x"));
}

void TestOutlineDataSource::editingRefusedEverywhere()
{
    Fixture f;
    f.view.reloadData();
    for (TableColumn *column : f.view.tableColumns())
        QVERIFY(!f.controller.outlineViewShouldEditTableColumn(&f.view, column, KVNItem::rootItem()));
    const PropertyListValue value = PropertyListValue::fromDictionary(
        {{QStringLiteral("a"), PropertyListValue::fromArray({str("b"), PropertyListValue::fromInteger(1)})}});
    f.show(value);
    QAbstractItemModel *model = f.view.model();
    for (int row = 0; row < f.view.numberOfRows(); ++row) {
        for (TableColumn *column : f.view.tableColumns())
            QVERIFY(!f.controller.outlineViewShouldEditTableColumn(&f.view, column, f.view.itemAtRow(row)));
    }
    // Nor does the model offer any cell for editing.
    QList<QModelIndex> pending{QModelIndex()};
    int cells = 0;
    while (!pending.isEmpty()) {
        const QModelIndex parent = pending.takeLast();
        for (int r = 0; r < model->rowCount(parent); ++r) {
            for (int c = 0; c < model->columnCount(parent); ++c) {
                QVERIFY(!(model->flags(model->index(r, c, parent)) & Qt::ItemIsEditable));
                ++cells;
            }
            pending.append(model->index(r, 0, parent));
        }
    }
    QCOMPARE(cells, 4 * 3);
}

void TestOutlineDataSource::modelTesterWithController()
{
    Fixture f;
    QAbstractItemModelTester tester(f.view.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    kv::PropertyListDictionary inner;
    for (int i = 0; i < 20; ++i)
        inner.insert(QStringLiteral("k%1").arg(i),
                     i % 2 ? str("v") : PropertyListValue::fromArray({str("a"), str("b")}));
    const PropertyListValue value = PropertyListValue::fromArray(
        {PropertyListValue::fromDictionary(inner), PropertyListValue::fromDictionary({}), str("s")});
    f.show(value);
    f.show(PropertyListValue::fromDictionary({}));
    f.show(PropertyListValue());
    KVNItem::releaseRootItem();
    KVNItem::setRootItem(nullptr);
    f.view.reloadData();
    f.show(value);
    QCOMPARE(f.view.numberOfRows(), 1 + 3 + 20 + 10 * 2);
}

void TestOutlineDataSource::viewShowsRowsThroughController()
{
    Fixture f;
    const PropertyListValue value = PropertyListValue::fromDictionary(
        {{QStringLiteral("Addresses"), PropertyListValue::fromArray({str("192.0.2.1")})},
         {QStringLiteral("InterfaceName"), str("eth0")}});
    f.show(value);
    f.view.resize(500, 300);
    f.view.show();
    QCoreApplication::processEvents();
    QVERIFY(!f.view.grab().isNull());
    QCOMPARE(f.view.numberOfRows(), 4);
    const QStringList expected[] = {{"Root", "Dictionary", "(2 Key/Value pairs)"},
                                    {"Addresses", "Array", "(1 Object)"},
                                    {"0", "String", "192.0.2.1"},
                                    {"InterfaceName", "String", "eth0"}};
    for (int r = 0; r < 4; ++r)
        QCOMPARE((QStringList{f.view.textAt(r, 0), f.view.textAt(r, 1), f.view.textAt(r, 2)}), expected[r]);
}

QTEST_MAIN(TestOutlineDataSource)
#include "tst_outlinedatasource.moc"
