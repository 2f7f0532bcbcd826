#include "app/KVNController.h"
#include "inspector/KVNItem.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

#include <algorithm>

using kv::PropertyListValue;

Q_DECLARE_METATYPE(kv::PropertyListValue)

namespace {

PropertyListValue str(const char *s)
{
    return PropertyListValue::fromString(QString::fromUtf8(s));
}

PropertyListValue oneEntryDictionary()
{
    return PropertyListValue::fromDictionary({{QStringLiteral("Router"), str("192.0.2.1")}});
}

PropertyListValue interfaceList()
{
    return PropertyListValue::fromDictionary(
        {{QStringLiteral("Interfaces"), PropertyListValue::fromArray({str("eth0"), str("lo")})}});
}

// { Addresses = ( { Address = 192.0.2.7; Flags = ( 1, 2 ); } ); Empty = ( ); Name = eth0; }
PropertyListValue nestedValue()
{
    const PropertyListValue address = PropertyListValue::fromDictionary(
        {{QStringLiteral("Address"), str("192.0.2.7")},
         {QStringLiteral("Flags"),
          PropertyListValue::fromArray({PropertyListValue::fromInteger(1), PropertyListValue::fromInteger(2)})}});
    return PropertyListValue::fromDictionary({{QStringLiteral("Addresses"), PropertyListValue::fromArray({address})},
                                              {QStringLiteral("Empty"), PropertyListValue::fromArray({})},
                                              {QStringLiteral("Name"), str("eth0")}});
}

// The store's contents for every test.
const QList<std::pair<QString, PropertyListValue>> &storeContents()
{
    static const QList<std::pair<QString, PropertyListValue>> contents{
        {QStringLiteral("State:/Network/Global/IPv4"), oneEntryDictionary()},
        {QStringLiteral("State:/Network/Interface"), interfaceList()},
        {QStringLiteral("State:/Network/Interface/eth0/IPv4"), nestedValue()},
        {QStringLiteral("State:/Network/Interface/eth0/Link"),
         PropertyListValue::fromDictionary({{QStringLiteral("Active"), PropertyListValue::fromBoolean(true)}})},
        {QStringLiteral("State:/Users/ ConsoleUser"), str("alice")},
        {QStringLiteral("State:/Gone"), str("soon removed")},
        {QStringLiteral("Setup:/System"), PropertyListValue::fromDictionary({})},
        {QStringLiteral("plainkey"), PropertyListValue::fromInteger(7)},
    };
    return contents;
}

// The controller with its own store engine and the widgets a selection uses,
// made offscreen the way the main interface makes them.
struct Fixture
{
    kv::StoreEngine engine;
    KVNController controller;
    kv::ui::ColumnBrowser browser;
    kv::ui::TextField keyField;
    kv::ui::TextViewer inspectorView;
    kv::ui::Window inspectorPanel{kv::ui::Window::Style::Panel};
    kv::ui::OutlineView outlineView;

    Fixture()
    {
        kv::StoreEngine::setInstance(&engine);
        for (const auto &[key, value] : storeContents())
            engine.setValue(key, value);
        controller.kvnBrowser = &browser;
        controller.kvnKey = &keyField;
        controller.inspectorView = &inspectorView;
        controller.inspectorPanel = &inspectorPanel;
        controller.kvnOutlineView = &outlineView;
        controller.kvnOutlineViewKeyColumn = outlineView.addTableColumn(QStringLiteral("key"), QStringLiteral("Key"));
        controller.kvnOutlineViewTypeColumn =
            outlineView.addTableColumn(QStringLiteral("type"), QStringLiteral("Type"));
        controller.kvnOutlineViewValueColumn =
            outlineView.addTableColumn(QStringLiteral("value"), QStringLiteral("Value"));
        outlineView.setDataSource(&controller);
        outlineView.setDelegate(&controller);
        browser.setDelegate(&controller);
        browser.setTarget(&controller);
        browser.setAction(&KVNController::browserSingleClick);
        browser.setDoubleAction(&KVNController::browserDoubleClick);

        controller.store = kv::storeCreate(QStringLiteral("Vaneview"), nullptr, nullptr);
        controller.storeKeysList = engine.keys();
        std::sort(controller.storeKeysList.begin(), controller.storeKeysList.end());
        browser.loadColumnZero();
    }
    ~Fixture()
    {
        KVNItem::releaseRootItem();
        KVNItem::setRootItem(nullptr);
        outlineView.reloadData();
        controller.store.reset();
        kv::StoreEngine::setInstance(nullptr);
    }

    // Selects the rows titled `titles`, one per column from column 0.
    bool selectPath(const QStringList &titles)
    {
        for (int column = 0; column < titles.size(); ++column) {
            int found = -1;
            for (int row = 0; row < browser.numberOfRowsInColumn(column); ++row) {
                if (browser.titleOfRow(row, column) == titles[column])
                    found = row;
            }
            if (found < 0)
                return false;
            browser.selectRow(found, column);
        }
        return true;
    }

    QStringList treeRow(int row) const
    {
        return {outlineView.textAt(row, 0), outlineView.textAt(row, 1), outlineView.textAt(row, 2)};
    }

    // Every expandable item of the value tree is expanded.
    bool fullyExpanded() const
    {
        QList<KVNItem *> pending{KVNItem::rootItem()};
        while (!pending.isEmpty()) {
            KVNItem *item = pending.takeLast();
            if (item->numberOfChildren() == -1)
                continue;
            if (!outlineView.isItemExpanded(item))
                return false;
            for (int i = 0; i < item->numberOfChildren(); ++i)
                pending.append(item->childAtIndex(i));
        }
        return true;
    }

    // Number of items in the value tree.
    static int itemCount(KVNItem *item)
    {
        int count = 1;
        for (int i = 0; i < item->numberOfChildren(); ++i)
            count += itemCount(item->childAtIndex(i));
        return count;
    }

    // What the displays hold, for comparisons between two selections.
    QStringList displays() const
    {
        QStringList shown{keyField.stringValue(), inspectorView.string(), controller.selectedKeyContents.description()};
        for (int row = 0; row < outlineView.numberOfRows(); ++row)
            shown += treeRow(row);
        return shown;
    }
};

} // namespace

class TestSelection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { KVNItem::setRootItem(nullptr); }

    void displaysAfterSelection_data();
    void displaysAfterSelection();
    void keyWithLeafStillOpensNextColumn();
    void keyRemovedAfterBrowserWasBuilt();
    void oneEntryDictionary();
    void nestedValueFullyExpanded();
    void sameCellTwiceReadsAgain();
    void doubleClickEqualsSingleClick_data();
    void doubleClickEqualsSingleClick();
    void noSelectedCellChangesNothing();
    void otherSenderChangesNothing();
    void browserActionRunsSelection();
    void previousValueReplaced();
    void showInspectorBringsPanelToFront();
    void inspectorTextCopiedWhole_data();
    void inspectorTextCopiedWhole();
    void inspectorScrollsToLastLine();
    void anotherKeyReplacesInspectorText();
    void intermediateComponentClearsInspector();
    void inspectorTextMadeWhenLoopTurns();
};

void TestSelection::displaysAfterSelection_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QString>("key");
    QTest::addColumn<PropertyListValue>("contents");
    QTest::addColumn<QStringList>("rootRow");

    const QStringList emptyRow{"", "", ""};
    QTest::newRow("domain only") << QStringList{"State"} << "none" << PropertyListValue() << emptyRow;
    QTest::newRow("intermediate component")
        << QStringList{"State", "Network", "Global"} << "none" << PropertyListValue() << emptyRow;
    QTest::newRow("key also a prefix") << QStringList{"State", "Network", "Interface"} << "State:/Network/Interface"
                                       << interfaceList() << QStringList{"Root", "Dictionary", "(1 Key/Value pair)"};
    QTest::newRow("one-entry dictionary")
        << QStringList{"State", "Network", "Global", "IPv4"} << "State:/Network/Global/IPv4" << ::oneEntryDictionary()
        << QStringList{"Root", "Dictionary", "(1 Key/Value pair)"};
    QTest::newRow("empty dictionary") << QStringList{"Setup", "System"} << "Setup:/System"
                                      << PropertyListValue::fromDictionary({})
                                      << QStringList{"Root", "Dictionary", "(0 Key/Value pairs)"};
    QTest::newRow("key without colon") << QStringList{"plainkey"} << "plainkey" << PropertyListValue::fromInteger(7)
                                       << QStringList{"Root", "Number", "7"};
    QTest::newRow("blank after slash") << QStringList{"State", "Users", "ConsoleUser"} << "State:/Users/ ConsoleUser"
                                       << str("alice") << QStringList{"Root", "String", "alice"};
}

void TestSelection::displaysAfterSelection()
{
    QFETCH(QStringList, path);
    QFETCH(QString, key);
    QFETCH(PropertyListValue, contents);
    QFETCH(QStringList, rootRow);

    Fixture f;
    QVERIFY(f.selectPath(path));
    f.controller.browserSingleClick(&f.browser);

    QCOMPARE(f.keyField.stringValue(), key);
    QCOMPARE(f.controller.selectedKeyContents, contents);
    if (contents.isNone())
        QCOMPARE(f.inspectorView.string(), QString());
    else
        QCOMPARE(f.inspectorView.string(), contents.typeName() + QStringLiteral(": ") + contents.description());
    QCOMPARE(f.treeRow(0), rootRow);
    QVERIFY(f.fullyExpanded());
    QCOMPARE(f.outlineView.numberOfRows(), Fixture::itemCount(KVNItem::rootItem()));
    if (contents.isNone()) {
        QCOMPARE(f.outlineView.numberOfRows(), 1);
        QVERIFY(!f.controller.outlineViewIsItemExpandable(&f.outlineView, KVNItem::rootItem()));
        QVERIFY(KVNItem::root == nullptr);
    } else {
        QVERIFY(KVNItem::root == &f.controller.selectedKeyContents);
    }
}

void TestSelection::keyWithLeafStillOpensNextColumn()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Network", "Interface"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.keyField.stringValue(), QStringLiteral("State:/Network/Interface"));
    QVERIFY(f.inspectorView.string().startsWith(QStringLiteral("Dictionary: ")));
    // The row is not a leaf: the next column is open and lists "eth0".
    QCOMPARE(f.browser.numberOfColumns(), 4);
    QCOMPARE(f.browser.numberOfRowsInColumn(3), 1);
    QCOMPARE(f.browser.titleOfRow(0, 3), QStringLiteral("eth0"));
    // Root, Interfaces, 0, 1
    QCOMPARE(f.outlineView.numberOfRows(), 4);
    QCOMPARE(f.treeRow(2), (QStringList{"0", "String", "eth0"}));
}

void TestSelection::keyRemovedAfterBrowserWasBuilt()
{
    Fixture f;
    f.engine.removeValue(QStringLiteral("State:/Gone"));
    QVERIFY(f.selectPath({"State", "Gone"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.keyField.stringValue(), QStringLiteral("State:/Gone"));
    QCOMPARE(f.inspectorView.string(), QString());
    QVERIFY(f.controller.selectedKeyContents.isNone());
    QCOMPARE(f.outlineView.numberOfRows(), 1);
    QCOMPARE(f.treeRow(0), (QStringList{"", "", ""}));
    QVERIFY(f.outlineView.textAt(0, 2).isNull());
}

void TestSelection::oneEntryDictionary()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Network", "Global", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    QVERIFY(f.inspectorView.string().startsWith(QStringLiteral("Dictionary: ")));
    QVERIFY(f.inspectorView.string().contains(QStringLiteral("Router = 192.0.2.1;")));
    QCOMPARE(f.treeRow(0), (QStringList{"Root", "Dictionary", "(1 Key/Value pair)"}));
    QVERIFY(f.outlineView.isItemExpanded(KVNItem::rootItem()));
    QCOMPARE(f.outlineView.numberOfRows(), 2);
    QCOMPARE(f.treeRow(1), (QStringList{"Router", "String", "192.0.2.1"}));
}

void TestSelection::nestedValueFullyExpanded()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Network", "Interface", "eth0", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.keyField.stringValue(), QStringLiteral("State:/Network/Interface/eth0/IPv4"));
    QVERIFY(f.fullyExpanded());
    const QList<QStringList> expected{
        {"Root", "Dictionary", "(3 Key/Value pairs)"},
        {"Addresses", "Array", "(1 Object)"},
        {"0", "Dictionary", "(2 Key/Value pairs)"},
        {"Address", "String", "192.0.2.7"},
        {"Flags", "Array", "(2 Objects)"},
        {"0", "Number", "1"},
        {"1", "Number", "2"},
        {"Empty", "Array", "(0 Objects)"},
        {"Name", "String", "eth0"},
    };
    QCOMPARE(f.outlineView.numberOfRows(), expected.size());
    for (int row = 0; row < expected.size(); ++row)
        QCOMPARE(f.treeRow(row), expected[row]);
}

void TestSelection::sameCellTwiceReadsAgain()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Network", "Global", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    const void *first = f.controller.selectedKeyContents.identity();
    QVERIFY(first);
    const PropertyListValue changed = PropertyListValue::fromDictionary(
        {{QStringLiteral("Router"), str("192.0.2.254")}, {QStringLiteral("Source"), str("dhcp")}});
    f.engine.setValue(QStringLiteral("State:/Network/Global/IPv4"), changed);
    // Nothing changes until the cell is selected again.
    QCOMPARE(f.treeRow(0), (QStringList{"Root", "Dictionary", "(1 Key/Value pair)"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.controller.selectedKeyContents, changed);
    QVERIFY(f.controller.selectedKeyContents.identity() != first);
    QCOMPARE(f.inspectorView.string(), QStringLiteral("Dictionary: ") + changed.description());
    QCOMPARE(f.treeRow(0), (QStringList{"Root", "Dictionary", "(2 Key/Value pairs)"}));
    QCOMPARE(f.treeRow(1), (QStringList{"Router", "String", "192.0.2.254"}));
    QCOMPARE(f.outlineView.numberOfRows(), 3);
}

void TestSelection::doubleClickEqualsSingleClick_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::newRow("value") << QStringList{"State", "Network", "Interface", "eth0", "IPv4"};
    QTest::newRow("intermediate") << QStringList{"State", "Network"};
    QTest::newRow("without colon") << QStringList{"plainkey"};
}

void TestSelection::doubleClickEqualsSingleClick()
{
    QFETCH(QStringList, path);
    QStringList single;
    {
        Fixture f;
        QVERIFY(f.selectPath(path));
        f.controller.browserSingleClick(&f.browser);
        single = f.displays();
    }
    Fixture f;
    QVERIFY(f.selectPath(path));
    f.controller.browserDoubleClick(&f.browser);
    QCOMPARE(f.displays(), single);
    QVERIFY(f.fullyExpanded());
}

void TestSelection::noSelectedCellChangesNothing()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Network", "Global", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    const QStringList before = f.displays();
    KVNItem *rootBefore = KVNItem::rootItem();
    const void *contentsBefore = f.controller.selectedKeyContents.identity();

    f.browser.selectRow(-1, 0); // clears every selection
    QCOMPARE(f.browser.selectedCells().size(), 0);
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.displays(), before);
    QCOMPARE(KVNItem::rootItem(), rootBefore);
    QCOMPARE(f.controller.selectedKeyContents.identity(), contentsBefore);
}

void TestSelection::otherSenderChangesNothing()
{
    Fixture f;
    QVERIFY(f.selectPath({"plainkey"}));
    f.controller.browserSingleClick(&f.browser);
    const QStringList before = f.displays();
    f.controller.browserSingleClick(nullptr);
    f.controller.browserSingleClick(&f.keyField);
    f.controller.browserDoubleClick(nullptr);
    QCOMPARE(f.displays(), before);
}

void TestSelection::browserActionRunsSelection()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Users"}));
    // The browser's own action reaches the controller through the target.
    QVERIFY(f.browser.action().send(&f.browser));
    QCOMPARE(f.keyField.stringValue(), QStringLiteral("none"));
    QVERIFY(f.selectPath({"State", "Users", "ConsoleUser"}));
    QVERIFY(f.browser.doubleAction().send(&f.browser));
    QCOMPARE(f.keyField.stringValue(), QStringLiteral("State:/Users/ ConsoleUser"));
    QCOMPARE(f.inspectorView.string(), QStringLiteral("String: alice"));
}

void TestSelection::previousValueReplaced()
{
    Fixture f;
    f.outlineView.resize(500, 400);
    f.outlineView.show();
    QVERIFY(f.selectPath({"State", "Network", "Interface", "eth0", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    QCoreApplication::processEvents();
    QVERIFY(!f.outlineView.grab().isNull());
    // A key that is gone, then a value, then an intermediate component:
    // each replaces what was shown before, and the view keeps drawing.
    f.engine.removeValue(QStringLiteral("State:/Gone"));
    QVERIFY(f.selectPath({"State", "Gone"}));
    f.controller.browserSingleClick(&f.browser);
    QCoreApplication::processEvents();
    QVERIFY(!f.outlineView.grab().isNull());
    QCOMPARE(f.outlineView.numberOfRows(), 1);
    QVERIFY(f.selectPath({"Setup", "System"}));
    f.controller.browserSingleClick(&f.browser);
    QCoreApplication::processEvents();
    QVERIFY(!f.outlineView.grab().isNull());
    QCOMPARE(f.treeRow(0), (QStringList{"Root", "Dictionary", "(0 Key/Value pairs)"}));
    QVERIFY(f.selectPath({"State"}));
    f.controller.browserSingleClick(&f.browser);
    QCoreApplication::processEvents();
    QVERIFY(!f.outlineView.grab().isNull());
    QCOMPARE(f.keyField.stringValue(), QStringLiteral("none"));
    QCOMPARE(f.treeRow(0), (QStringList{"", "", ""}));
}

void TestSelection::showInspectorBringsPanelToFront()
{
    Fixture f;
    QVERIFY(f.selectPath({"plainkey"}));
    f.controller.browserSingleClick(&f.browser);
    const QStringList before = f.displays();
    QVERIFY(!f.inspectorPanel.isVisible());
    f.controller.showInspector(nullptr);
    QVERIFY(f.inspectorPanel.isVisible());
    QCOMPARE(f.displays(), before);
}

void TestSelection::inspectorTextCopiedWhole_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QString>("key");
    QTest::newRow("nested") << QStringList{"State", "Network", "Interface", "eth0", "IPv4"}
                            << QStringLiteral("State:/Network/Interface/eth0/IPv4");
    QTest::newRow("string") << QStringList{"State", "Users", "ConsoleUser"}
                            << QStringLiteral("State:/Users/ ConsoleUser");
    QTest::newRow("number") << QStringList{"plainkey"} << QStringLiteral("plainkey");
}

// Select all and copy in the inspector give its whole text.
void TestSelection::inspectorTextCopiedWhole()
{
    QFETCH(QStringList, path);
    QFETCH(QString, key);
    Fixture f;
    f.inspectorView.resize(400, 300);
    f.inspectorView.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.inspectorView));
    QVERIFY(f.selectPath(path));
    f.controller.browserSingleClick(&f.browser);
    const PropertyListValue value = f.engine.value(key);
    const QString expected = value.typeName() + QStringLiteral(": ") + value.description();
    QCOMPARE(f.inspectorView.string(), expected);
    QGuiApplication::clipboard()->clear();
    kv::ui::TextViewer *viewer = &f.inspectorView;
    QVERIFY(viewer);
    QTest::keyClick(viewer, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(viewer, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
}

// A value of many lines: scrolling the inspector to the end shows its last line.
void TestSelection::inspectorScrollsToLastLine()
{
    Fixture f;
    kv::PropertyListArray numbers;
    for (int i = 0; i < 5000; ++i)
        numbers.append(PropertyListValue::fromInteger(i));
    f.engine.setValue(QStringLiteral("State:/Gone"), PropertyListValue::fromArray(numbers));
    f.inspectorView.resize(400, 300);
    f.inspectorView.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.inspectorView));
    QVERIFY(f.selectPath({"State", "Gone"}));
    f.controller.browserSingleClick(&f.browser);
    kv::ui::TextViewer *viewer = &f.inspectorView;
    QCOMPARE(viewer->rowCount(), 5000 + 2);
    QCOMPARE(viewer->firstVisibleRow(), 0);
    QTest::keyClick(viewer, Qt::Key_End, Qt::ControlModifier);
    const qsizetype last = viewer->rowCount() - 1;
    QVERIFY(viewer->firstVisibleRow() + viewer->visibleRowCount() > last);
    const kv::ui::TextRange lastRow = viewer->rowRange(last);
    QCOMPARE(f.inspectorView.string().mid(lastRow.location, lastRow.length), QStringLiteral(")"));
    const kv::ui::TextRange before = viewer->rowRange(last - 1);
    QCOMPARE(f.inspectorView.string().mid(before.location, before.length), QStringLiteral("    4999"));
    QVERIFY(viewer->viewport()->rect().contains(viewer->positionRect(f.inspectorView.stringLength()).center()));
}

// Selecting another key replaces the text, from its top, with nothing selected.
void TestSelection::anotherKeyReplacesInspectorText()
{
    Fixture f;
    f.inspectorView.resize(400, 120);
    f.inspectorView.show();
    QVERIFY(f.selectPath({"State", "Network", "Interface", "eth0", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    kv::ui::TextViewer *viewer = &f.inspectorView;
    viewer->scrollRangeToVisible({f.inspectorView.stringLength(), 0});
    viewer->selectAll();
    QVERIFY(viewer->firstVisibleRow() > 0);
    QVERIFY(f.selectPath({"plainkey"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.inspectorView.string(), QStringLiteral("Number: 7"));
    QCOMPARE(viewer->rowCount(), 1);
    QCOMPARE(viewer->firstVisibleRow(), 0);
    QCOMPARE(viewer->selectedRange().length, 0);
}

// A row without a key empties the inspector.
void TestSelection::intermediateComponentClearsInspector()
{
    Fixture f;
    QVERIFY(f.selectPath({"State", "Users", "ConsoleUser"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.inspectorView.string(), QStringLiteral("String: alice"));
    QVERIFY(f.selectPath({"State", "Network"}));
    f.controller.browserSingleClick(&f.browser);
    QCOMPARE(f.inspectorView.string(), QString());
    QCOMPARE(f.inspectorView.stringLength(), 0);
    kv::ui::TextViewer *viewer = &f.inspectorView;
    QCOMPARE(viewer->rowCount(), 1);
    QGuiApplication::clipboard()->setText(QStringLiteral("kept"));
    viewer->selectAll();
    viewer->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));
}

// The text is made apart from the selection's other work, when the event
// loop turns; a selection made before that replaces it unmade.
void TestSelection::inspectorTextMadeWhenLoopTurns()
{
    Fixture f;
    kv::ui::TextViewer *viewer = &f.inspectorView;
    QVERIFY(f.selectPath({"State", "Network", "Global", "IPv4"}));
    f.controller.browserSingleClick(&f.browser);
    QVERIFY(viewer->hasDeferredString());
    QVERIFY(f.selectPath({"plainkey"}));
    f.controller.browserSingleClick(&f.browser);
    QVERIFY(viewer->hasDeferredString());
    QTRY_VERIFY(!viewer->hasDeferredString());
    QCOMPARE(viewer->string(), QStringLiteral("Number: 7"));
    QCOMPARE(f.controller.selectedKeyContents, PropertyListValue::fromInteger(7));
}

QTEST_MAIN(TestSelection)
#include "tst_selection.moc"
