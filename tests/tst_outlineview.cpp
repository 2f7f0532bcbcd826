#include "inspector/KVNItem.h"
#include "platform/ui/OutlineView.h"
#include "tests/WidgetTestSupport.h"

#include <QAbstractItemModelTester>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

using kv::PropertyListDictionary;
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

// sampleValue() less Empty, plus "*Star", which sorts first: Root, *Star,
// Addresses, Name, Nested at the top when the root is expanded.
PropertyListValue keyboardValue()
{
    PropertyListDictionary entries = sampleValue().dictionary();
    entries.remove(QStringLiteral("Empty"));
    entries.insert(QStringLiteral("*Star"), str("x"));
    return PropertyListValue::fromDictionary(entries);
}

// The Key-column names of `items`.
QStringList namesOf(const QList<OutlineItem> &items)
{
    QStringList names;
    for (OutlineItem item : items)
        names.append(static_cast<KVNItem *>(item)->name());
    return names;
}

using widgettest::MenuParent;

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
    void itemPathFollowsParents_data();
    void itemPathFollowsParents();
    void keyboard_data();
    void keyboard();
    void contextMenuRequests_data();
    void contextMenuRequests();
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

void TestOutlineView::itemPathFollowsParents_data()
{
    QTest::addColumn<QList<int>>("childIndexes"); // from the root item down
    QTest::addColumn<bool>("expanded");
    QTest::addColumn<QStringList>("path");
    QTest::newRow("root") << QList<int>{} << false << QStringList{"Root"};
    QTest::newRow("top-level entry") << QList<int>{2} << true << QStringList{"Root", "Name"};
    QTest::newRow("array element") << QList<int>{0, 1} << true << QStringList{"Root", "Addresses", "1"};
    QTest::newRow("deepest") << QList<int>{3, 0, 0, 0} << true << QStringList{"Root", "Nested", "List", "0", "Deep"};
    // The view knows only the items it has been handed.
    QTest::newRow("inside a row never expanded") << QList<int>{3, 0, 0, 0} << false << QStringList{};
}

void TestOutlineView::itemPathFollowsParents()
{
    QFETCH(QList<int>, childIndexes);
    QFETCH(bool, expanded);
    QFETCH(QStringList, path);
    const PropertyListValue value = sampleValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    QCOMPARE(f.view.numberOfRows(), 1); // the top level is asked for
    if (expanded)
        f.view.expandItem(KVNItem::rootItem(), true);
    QList<OutlineItem> chain{KVNItem::rootItem()};
    for (int index : childIndexes)
        chain.append(static_cast<KVNItem *>(chain.last())->childAtIndex(index));
    const QList<OutlineItem> items = f.view.itemPath(chain.last());
    QCOMPARE(namesOf(items), path);
    if (!path.isEmpty())
        QCOMPARE(items, chain); // the very items, not look-alikes
    QVERIFY(f.view.itemPath(nullptr).isEmpty());
}

void TestOutlineView::keyboard_data()
{
    QTest::addColumn<int>("startRow"); // reached with Down from the root
    QTest::addColumn<QList<QKeyCombination>>("keys");
    QTest::addColumn<QString>("current");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("expanded");
    const QKeyCombination left(Qt::Key_Left), right(Qt::Key_Right), star(Qt::Key_Asterisk);
    // Rows: Root, *Star, Addresses, Name, Nested.
    QTest::newRow("Right expands") << 4 << QList{right} << "Nested" << 6 << QStringList{"Root", "Nested"};
    QTest::newRow("Right on an expanded row enters it")
        << 4 << QList{right, right} << "List" << 6 << QStringList{"Root", "Nested"};
    QTest::newRow("Right on a leaf stays") << 3 << QList{right} << "Name" << 5 << QStringList{"Root"};
    QTest::newRow("Left collapses") << 4 << QList{right, left} << "Nested" << 5 << QStringList{"Root"};
    QTest::newRow("Left on a collapsed row goes to its parent")
        << 4 << QList{right, right, left} << "Nested" << 6 << QStringList{"Root", "Nested"};
    // Nothing moves the current row to *Star, whose text begins with the
    // key pressed.
    QTest::newRow("* expands the subtree")
        << 4 << QList{star} << "Nested" << 8 << QStringList{"Root", "Nested", "List", "0"};
    QTest::newRow("* on the keypad") << 2 << QList{QKeyCombination(Qt::KeypadModifier, Qt::Key_Asterisk)} << "Addresses"
                                     << 7 << QStringList{"Root", "Addresses"};
    QTest::newRow("* on the root expands everything")
        << 0 << QList{star} << "Root" << 10 << QStringList{"Root", "Addresses", "Nested", "List", "0"};
    QTest::newRow("* on a leaf does nothing") << 3 << QList{star} << "Name" << 5 << QStringList{"Root"};
}

void TestOutlineView::keyboard()
{
    QFETCH(int, startRow);
    QFETCH(QList<QKeyCombination>, keys);
    QFETCH(QString, current);
    QFETCH(int, rows);
    QFETCH(QStringList, expanded);
    const PropertyListValue value = keyboardValue();
    KVNItem::setRootItem(&value);
    Fixture f;
    f.view.reloadData();
    f.view.expandItem(KVNItem::rootItem(), false);
    QVERIFY(!f.view.currentItem());
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    f.view.setFocus();
    f.view.setCurrentIndex(f.view.model()->index(0, 0));
    QCOMPARE(f.view.currentItem(), static_cast<OutlineItem>(KVNItem::rootItem()));
    for (int i = 0; i < startRow; ++i)
        QTest::keyClick(&f.view, Qt::Key_Down);
    QCOMPARE(f.view.currentItem(), f.view.itemAtRow(startRow));

    for (const QKeyCombination key : keys)
        QTest::keyClick(&f.view, key.key(), key.keyboardModifiers());
    QVERIFY(f.view.currentItem());
    QCOMPARE(static_cast<KVNItem *>(f.view.currentItem())->name(), current);
    QCOMPARE(f.view.numberOfRows(), rows);
    QStringList shownExpanded;
    for (int row = 0; row < f.view.numberOfRows(); ++row) {
        if (f.view.isItemExpanded(f.view.itemAtRow(row)))
            shownExpanded.append(static_cast<KVNItem *>(f.view.itemAtRow(row))->name());
    }
    QCOMPARE(shownExpanded, expanded);
    QCOMPARE(f.source.countQuestionsForLeaves, 0);

    // A reload forgets the row the user was on.
    f.view.reloadData();
    QVERIFY(!f.view.currentItem());
}

void TestOutlineView::contextMenuRequests_data()
{
    QTest::addColumn<bool>("fromKeyboard");
    QTest::addColumn<int>("row"); // clicked, or current for the keyboard; -1: none
    QTest::addColumn<QString>("item");
    // Rows: Root, *Star, Addresses, Name, Nested.
    QTest::newRow("right click on a row") << false << 4 << "Nested";
    QTest::newRow("right click on the top row") << false << 0 << "Root";
    QTest::newRow("right click below the rows") << false << -1 << QString();
    QTest::newRow("menu key on the current row") << true << 3 << "Name";
    QTest::newRow("menu key with no current row") << true << -1 << QString();
}

void TestOutlineView::contextMenuRequests()
{
    QFETCH(bool, fromKeyboard);
    QFETCH(int, row);
    QFETCH(QString, item);
    const PropertyListValue value = keyboardValue();
    KVNItem::setRootItem(&value);
    MenuParent parent;
    Fixture f;
    f.view.setParent(&parent);
    f.view.reloadData();
    f.view.expandItem(KVNItem::rootItem(), false);
    parent.resize(f.view.size());
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    const QModelIndex root = f.view.model()->index(0, 0);
    const QModelIndex index = row < 0 ? QModelIndex() : row == 0 ? root : f.view.model()->index(row - 1, 0, root);
    QWidget *viewport = f.view.viewport();
    QRect area = f.view.visualRect(index); // where the menu may open, in the viewport
    const QPoint at = index.isValid() ? area.center() : QPoint(20, viewport->height() - 5);
    QCOMPARE(f.view.indexAt(at), index);
    if (fromKeyboard) {
        f.view.setFocus();
        if (index.isValid()) {
            f.view.setCurrentIndex(index);
        } else {
            // After the value is replaced (a reload) the focused view has no
            // current row until the user moves.
            f.view.reloadData();
            f.view.expandItem(KVNItem::rootItem(), false);
            QVERIFY(!f.view.currentItem());
            area = viewport->rect();
        }
    } else {
        area = QRect(at, QSize(1, 1));
    }
    const auto request = [&] {
        if (fromKeyboard) {
            // What the window system delivers to the focused widget for the menu key.
            QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(), QPoint(-5000, -5000));
            QApplication::sendEvent(&f.view, &event);
        } else {
            QTest::mouseClick(parent.windowHandle(), Qt::RightButton, {}, viewport->mapTo(&parent, at));
        }
    };
    // With nobody listening, the request goes on to the parent as before.
    request();
    QCOMPARE(parent.requests, 1);

    QSignalSpy spy(&f.view, &OutlineView::contextMenuRequestedForItem);
    request();
    QCOMPARE(parent.requests, 1);
    QCOMPARE(spy.count(), 1);
    const auto requested = qvariant_cast<OutlineItem>(spy.at(0).at(0));
    QCOMPARE(requested ? static_cast<KVNItem *>(requested)->name() : QString(), item);
    // A right click makes its row the current one, as a left click does.
    if (index.isValid())
        QCOMPARE(f.view.currentItem(), requested);
    const QPoint globalPos = spy.at(0).at(1).toPoint();
    QVERIFY2(QRect(viewport->mapToGlobal(area.topLeft()), area.size()).contains(globalPos),
             qPrintable(QStringLiteral("%1,%2").arg(globalPos.x()).arg(globalPos.y())));
}

QTEST_MAIN(TestOutlineView)
#include "tst_outlineview.moc"
