#include "inspector/KVNItem.h"
#include "platform/ui/OutlineView.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

using kv::PropertyListValue;
using kv::ui::OutlineItem;
using kv::ui::OutlineView;
using kv::ui::TableColumn;

namespace {

// Serves KVNItems the way the controller does, and records what it is asked.
class ItemSource : public kv::ui::OutlineViewDataSource, public kv::ui::OutlineViewDelegate
{
public:
    TableColumn *keyColumn = nullptr;
    TableColumn *typeColumn = nullptr;
    TableColumn *valueColumn = nullptr;
    bool editable = false;
    int countQuestionsForLeaves = 0;
    int childQuestions = 0;

    static KVNItem *itemOf(OutlineItem item) { return static_cast<KVNItem *>(item); }

    int outlineViewNumberOfChildrenOfItem(OutlineView *, OutlineItem item) override
    {
        if (!item)
            return 1;
        const int n = itemOf(item)->numberOfChildren();
        if (n < 0)
            ++countQuestionsForLeaves;
        return n;
    }
    bool outlineViewIsItemExpandable(OutlineView *, OutlineItem item) override
    {
        return !item || itemOf(item)->numberOfChildren() != -1;
    }
    OutlineItem outlineViewChild(OutlineView *, int index, OutlineItem item) override
    {
        ++childQuestions;
        return item ? itemOf(item)->childAtIndex(index) : KVNItem::rootItem();
    }
    QString outlineViewObjectValueForTableColumn(OutlineView *, TableColumn *column, OutlineItem item) override
    {
        if (column == typeColumn)
            return itemOf(item)->objectType();
        if (column == valueColumn)
            return itemOf(item)->value();
        if (column == keyColumn)
            return itemOf(item)->name();
        return QStringLiteral("");
    }
    bool outlineViewShouldEditTableColumn(OutlineView *, TableColumn *column, OutlineItem) override
    {
        return editable && column == valueColumn;
    }
};

PropertyListValue str(const char *s)
{
    return PropertyListValue::fromString(QString::fromUtf8(s));
}

// { Addresses = ( 10.0.0.1, 10.0.0.2 ); Empty = {}; Name = eth0; Nested = { List = ( { Deep = true; } ); }; }
PropertyListValue sampleValue()
{
    const PropertyListValue deep =
        PropertyListValue::fromDictionary({{QStringLiteral("Deep"), PropertyListValue::fromBoolean(true)}});
    const PropertyListValue nested =
        PropertyListValue::fromDictionary({{QStringLiteral("List"), PropertyListValue::fromArray({deep})}});
    return PropertyListValue::fromDictionary({
        {QStringLiteral("Addresses"), PropertyListValue::fromArray({str("10.0.0.1"), str("10.0.0.2")})},
        {QStringLiteral("Empty"), PropertyListValue::fromDictionary({})},
        {QStringLiteral("Name"), str("eth0")},
        {QStringLiteral("Nested"), nested},
    });
}

struct Fixture
{
    ItemSource source;
    OutlineView view;

    Fixture()
    {
        source.keyColumn = view.addTableColumn(QStringLiteral("key"), QStringLiteral("Key"));
        source.typeColumn = view.addTableColumn(QStringLiteral("type"), QStringLiteral("Type"));
        source.valueColumn = view.addTableColumn(QStringLiteral("value"), QStringLiteral("Value"));
        view.setDataSource(&source);
        view.setDelegate(&source);
        view.resize(600, 400);
    }
    QStringList row(int r) const { return {view.textAt(r, 0), view.textAt(r, 1), view.textAt(r, 2)}; }
};

} // namespace

class TestOutlineView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { KVNItem::setRootItem(nullptr); }
    void cleanup() { KVNItem::setRootItem(nullptr); }

    void columns();
    void modelPassesTesterOnNestedValue();
    void modelPassesTesterAcrossReloads();
    void emptyTreeShowsOneEmptyRow();
    void fullExpansionShowsEveryRow_data();
    void fullExpansionShowsEveryRow();
    void subtreeExpansion();
    void singleExpansion();
    void leavesNeverHaveChildren();
    void emptyContainerIsExpandableWithoutRows();
    void unknownColumnAndNullText();
    void editingFollowsDelegate();
    void reloadAsksAfresh();
    void noDataSource();
};

void TestOutlineView::columns()
{
    Fixture f;
    const QList<TableColumn *> columns = f.view.tableColumns();
    QCOMPARE(columns.size(), 3);
    QCOMPARE(columns[0], f.source.keyColumn);
    QCOMPARE(columns[1], f.source.typeColumn);
    QCOMPARE(columns[2], f.source.valueColumn);
    QCOMPARE(columns[1]->identifier(), QStringLiteral("type"));
    QCOMPARE(columns[2]->title(), QStringLiteral("Value"));
    QAbstractItemModel *model = f.view.model();
    QCOMPARE(model->columnCount(), 3);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Key"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Type"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Value"));
    QVERIFY(!model->headerData(3, Qt::Horizontal).isValid());
    QCOMPARE(f.view.accessibleName(), QStringLiteral("Value tree"));
    QVERIFY(f.view.uniformRowHeights());
    QVERIFY(f.view.alternatingRowColors());
    QVERIFY(f.view.columnWidth(0) > f.view.columnWidth(1));
    QVERIFY(f.view.columnWidth(1) >= 60);
    const int keyWidth = f.view.columnWidth(0);
    f.view.reloadData();
    QCOMPARE(f.view.columnWidth(0), keyWidth);
}

void TestOutlineView::modelPassesTesterOnNestedValue()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    QAbstractItemModelTester tester(f.view.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    f.view.reloadData();
    f.view.expandItem(KVNItem::rootItem(), true);
    f.view.show();
    QCoreApplication::processEvents();
    QVERIFY(!f.view.grab().isNull());
    QCOMPARE(f.source.countQuestionsForLeaves, 0);
}

void TestOutlineView::modelPassesTesterAcrossReloads()
{
    Fixture f;
    QAbstractItemModelTester tester(f.view.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    const PropertyListValue first = sampleValue();
    const PropertyListValue second = PropertyListValue::fromArray({str("a"), PropertyListValue::fromArray({})});
    for (const PropertyListValue *value : {&first, &second, static_cast<const PropertyListValue *>(nullptr), &first}) {
        KVNItem::releaseRootItem();
        KVNItem::setRootItem(value);
        f.view.reloadData();
        f.view.expandItem(KVNItem::rootItem(), true);
        QCoreApplication::processEvents();
    }
    QCOMPARE(f.source.countQuestionsForLeaves, 0);
}

void TestOutlineView::emptyTreeShowsOneEmptyRow()
{
    Fixture f;
    f.view.reloadData();
    QCOMPARE(f.view.numberOfRows(), 1);
    QCOMPARE(f.view.itemAtRow(0), static_cast<OutlineItem>(KVNItem::rootItem()));
    QCOMPARE(f.row(0), (QStringList{"", "", ""}));
    QAbstractItemModel *model = f.view.model();
    const QModelIndex root = model->index(0, 0);
    QVERIFY(!model->hasChildren(root));
    QCOMPARE(model->rowCount(root), 0);
    f.view.expandItem(KVNItem::rootItem(), true);
    QVERIFY(!f.view.isItemExpanded(KVNItem::rootItem()));
    QCOMPARE(f.view.numberOfRows(), 1);
    QCOMPARE(f.source.countQuestionsForLeaves, 0);
}

void TestOutlineView::fullExpansionShowsEveryRow_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("lastRow");
    QTest::newRow("scalar") << str("x") << 1 << QStringList{"Root", "String", "x"};
    QTest::newRow("empty dictionary") << PropertyListValue::fromDictionary({}) << 1
                                      << QStringList{"Root", "Dictionary", "(0 Key/Value pairs)"};
    QTest::newRow("one-entry dictionary")
        << PropertyListValue::fromDictionary({{QStringLiteral("k"), PropertyListValue::fromBoolean(false)}}) << 2
        << QStringList{"k", "Number", PropertyListValue::fromBoolean(false).description()};
    // Root, Addresses, 0, 1, Empty, Name, Nested, List, 0, Deep
    QTest::newRow("nested") << sampleValue() << 10
                            << QStringList{"Deep", "Number", PropertyListValue::fromBoolean(true).description()};
}

void TestOutlineView::fullExpansionShowsEveryRow()
{
    QFETCH(PropertyListValue, value);
    QFETCH(int, rows);
    QFETCH(QStringList, lastRow);
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    QCOMPARE(f.view.numberOfRows(), 1);
    f.view.expandItem(KVNItem::rootItem(), true);
    QCOMPARE(f.view.numberOfRows(), rows);
    QCOMPARE(f.row(rows - 1), lastRow);
    QVERIFY(f.view.textAt(rows, 0).isNull());
    QVERIFY(!f.view.itemAtRow(rows));
    QCOMPARE(f.source.countQuestionsForLeaves, 0);
}

void TestOutlineView::subtreeExpansion()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    KVNItem *root = KVNItem::rootItem();
    f.view.expandItem(root, false);
    QCOMPARE(f.view.numberOfRows(), 5);
    KVNItem *nested = root->childAtIndex(3);
    QCOMPARE(nested->name(), QStringLiteral("Nested"));
    f.view.expandItem(nested, true);
    QVERIFY(f.view.isItemExpanded(nested));
    QVERIFY(f.view.isItemExpanded(nested->childAtIndex(0)));
    QVERIFY(f.view.isItemExpanded(nested->childAtIndex(0)->childAtIndex(0)));
    QVERIFY(!f.view.isItemExpanded(root->childAtIndex(0))); // Addresses untouched
    // Root, Addresses, Empty, Name, Nested, List, 0, Deep
    QCOMPARE(f.view.numberOfRows(), 8);
    QCOMPARE(f.row(7), (QStringList{"Deep", "Number", PropertyListValue::fromBoolean(true).description()}));
    QCOMPARE(f.view.itemAtRow(4), static_cast<OutlineItem>(nested));
}

void TestOutlineView::singleExpansion()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    KVNItem *root = KVNItem::rootItem();
    QVERIFY(!f.view.isItemExpanded(root));
    f.view.expandItem(root, false);
    QVERIFY(f.view.isItemExpanded(root));
    QCOMPARE(f.view.numberOfRows(), 5);
    QCOMPARE(f.row(1), (QStringList{"Addresses", "Array", "(2 Objects)"}));
    QCOMPARE(f.row(2), (QStringList{"Empty", "Dictionary", "(0 Key/Value pairs)"}));
    QCOMPARE(f.row(3), (QStringList{"Name", "String", "eth0"}));
    QCOMPARE(f.row(4), (QStringList{"Nested", "Dictionary", "(1 Key/Value pair)"}));
    // The children of an unexpanded item are not built.
    QVERIFY(!root->childAtIndex(3)->childAtIndex(0)->childrenBuilt());
}

void TestOutlineView::leavesNeverHaveChildren()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    QAbstractItemModel *model = f.view.model();
    const QModelIndex root = model->index(0, 0);
    QVERIFY(!(model->flags(root) & Qt::ItemNeverHasChildren));
    const QModelIndex name = model->index(2, 0, root);
    QCOMPARE(name.data().toString(), QStringLiteral("Name"));
    QVERIFY(model->flags(name) & Qt::ItemNeverHasChildren);
    QVERIFY(!model->hasChildren(name));
    QCOMPARE(model->rowCount(name), 0);
    QCOMPARE(f.source.countQuestionsForLeaves, 0);
    QCOMPARE(model->parent(name), root);
    QCOMPARE(model->parent(model->index(1, 2, model->index(0, 0, root))), model->index(0, 0, root));
}

void TestOutlineView::emptyContainerIsExpandableWithoutRows()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    QAbstractItemModel *model = f.view.model();
    const QModelIndex empty = model->index(1, 0, model->index(0, 0));
    QCOMPARE(empty.data().toString(), QStringLiteral("Empty"));
    QVERIFY(model->hasChildren(empty));
    QCOMPARE(model->rowCount(empty), 0);
    QVERIFY(!(model->flags(empty) & Qt::ItemNeverHasChildren));
}

void TestOutlineView::unknownColumnAndNullText()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.addTableColumn(QStringLiteral("other"), QStringLiteral("Other"));
    f.source.keyColumn = f.view.tableColumns()[0];
    f.view.reloadData();
    QCOMPARE(f.view.model()->columnCount(), 4);
    QCOMPARE(f.view.textAt(0, 3), QString(""));
    QVERIFY(!f.view.textAt(0, 3).isNull());
    // No value: the value column has no text at all, not even an empty one.
    KVNItem::setRootItem(nullptr);
    f.view.reloadData();
    QVERIFY(f.view.textAt(0, 2).isNull());
    QVERIFY(!f.view.model()->index(0, 2).data().isValid());
    QVERIFY(!f.view.textAt(0, 0).isNull());
}

void TestOutlineView::editingFollowsDelegate()
{
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    QAbstractItemModel *model = f.view.model();
    QVERIFY(!(model->flags(model->index(0, 2)) & Qt::ItemIsEditable));
    f.source.editable = true;
    QVERIFY(model->flags(model->index(0, 2)) & Qt::ItemIsEditable);
    QVERIFY(!(model->flags(model->index(0, 0)) & Qt::ItemIsEditable));
    f.view.setDelegate(nullptr);
    QVERIFY(!(model->flags(model->index(0, 2)) & Qt::ItemIsEditable));
}

void TestOutlineView::reloadAsksAfresh()
{
    const PropertyListValue first = PropertyListValue::fromArray({str("a")});
    const PropertyListValue second =
        PropertyListValue::fromDictionary({{QStringLiteral("x"), str("b")}, {QStringLiteral("y"), str("c")}});
    KVNItem::setRootItem(&first);
    Fixture f;
    QSignalSpy resets(f.view.model(), &QAbstractItemModel::modelReset);
    f.view.reloadData();
    f.view.expandItem(KVNItem::rootItem(), true);
    QCOMPARE(f.view.numberOfRows(), 2);
    QCOMPARE(f.row(1), (QStringList{"0", "String", "a"}));

    KVNItem::releaseRootItem();
    KVNItem::setRootItem(&second);
    f.view.reloadData();
    QCOMPARE(resets.count(), 2);
    QCOMPARE(f.view.numberOfRows(), 1);
    QCOMPARE(f.row(0), (QStringList{"Root", "Dictionary", "(2 Key/Value pairs)"}));
    f.view.expandItem(KVNItem::rootItem(), true);
    QCOMPARE(f.view.numberOfRows(), 3);
    QCOMPARE(f.row(2), (QStringList{"y", "String", "c"}));
    QCOMPARE(f.view.itemAtRow(2), static_cast<OutlineItem>(KVNItem::rootItem()->childAtIndex(1)));
}

void TestOutlineView::noDataSource()
{
    OutlineView view;
    view.addTableColumn(QStringLiteral("key"), QStringLiteral("Key"));
    view.reloadData();
    QCOMPARE(view.numberOfRows(), 0);
    QVERIFY(!view.itemAtRow(0));
    QCOMPARE(view.model()->rowCount(), 0);
    view.expandItem(nullptr, true);
    view.show();
    QCoreApplication::processEvents();
}

QTEST_MAIN(TestOutlineView)
#include "tst_outlineview.moc"
