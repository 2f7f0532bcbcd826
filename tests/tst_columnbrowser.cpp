// The column browser widget against a recording test delegate.

#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Delegates.h"
#include "tests/WidgetTestSupport.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QListView>
#include <QPixmapCache>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTest>

using kv::ui::BrowserCell;
using kv::ui::ColumnBrowser;

namespace {

const QString Separator = QStringLiteral("{|}~@!@");

struct Node
{
    QString title;
    QList<Node> children; // empty: a leaf
};

Node leaf(const QString &title)
{
    return Node{title, {}};
}

Node branch(const QString &title, const QList<Node> &children)
{
    return Node{title, children};
}

// A delegate serving a fixed tree and recording every request in order:
// "rows C", "cell R C", "select TITLE C".
class TreeDelegate : public kv::ui::BrowserDelegate
{
public:
    explicit TreeDelegate(QList<Node> roots) : roots(std::move(roots)) {}

    QList<Node> roots;
    QStringList calls;

    // The rows of `column` as the browser's selection reaches it.
    const QList<Node> *rowsOf(ColumnBrowser *browser, int column) const
    {
        const QList<Node> *rows = &roots;
        for (int c = 0; c < column; ++c) {
            const int selected = browser->selectedRowInColumn(c);
            if (selected < 0 || selected >= rows->size())
                return nullptr;
            rows = &rows->at(selected).children;
        }
        return rows;
    }

    int browserNumberOfRowsInColumn(ColumnBrowser *browser, int column) override
    {
        calls.append(QStringLiteral("rows %1").arg(column));
        const QList<Node> *rows = rowsOf(browser, column);
        return rows ? int(rows->size()) : 0;
    }

    void browserWillDisplayCell(ColumnBrowser *browser, BrowserCell *cell, int row, int column) override
    {
        calls.append(QStringLiteral("cell %1 %2").arg(row).arg(column));
        const QList<Node> *rows = rowsOf(browser, column);
        if (!rows || row >= rows->size())
            return;
        cell->setTitle(rows->at(row).title);
        cell->setLeaf(rows->at(row).children.isEmpty());
    }

    bool browserSelectCellWithString(ColumnBrowser *browser, const QString &title, int column) override
    {
        calls.append(QStringLiteral("select %1 %2").arg(title).arg(column));
        const QList<Node> *rows = rowsOf(browser, column);
        if (!rows)
            return false;
        for (int i = 0; i < rows->size(); ++i) {
            if (rows->at(i).title == title) {
                browser->selectRow(i, column);
                return true;
            }
        }
        return false;
    }

    // Calls other than cell requests (whose moment depends on painting).
    QStringList requests() const
    {
        QStringList result;
        for (const QString &call : calls) {
            if (!call.startsWith(QLatin1String("cell ")))
                result.append(call);
        }
        return result;
    }
};

class Target : public QObject
{
    Q_OBJECT
public:
    QStringList received;
    QList<QObject *> senders;
    void single(QObject *sender)
    {
        received.append(QStringLiteral("single"));
        senders.append(sender);
    }
    void twice(QObject *sender)
    {
        received.append(QStringLiteral("double"));
        senders.append(sender);
    }
};

QList<Node> sampleTree()
{
    return {
        branch("Setup", {branch("Network", {leaf("Global"), branch("Service", {leaf("1"), leaf("2")})})}),
        branch("State",
               {branch("Network", {branch("Interface", {leaf("eth0"), leaf("lo")}), leaf("Global")}), leaf("Users")}),
        leaf("Solo"),
        branch("A/B", {branch("x:y", {leaf("/")}), leaf("Same"), leaf("Same")}),
    };
}

QListView *listOf(ColumnBrowser &browser, int column)
{
    return qobject_cast<QListView *>(browser.columnView(column));
}

// The style option a column's item delegate draws a row with.
class OptionReader : public QStyledItemDelegate
{
public:
    static QStyleOptionViewItem read(QListView *view, int row)
    {
        auto *delegate = qobject_cast<QStyledItemDelegate *>(view->itemDelegate());
        Q_ASSERT(delegate);
        QStyleOptionViewItem option;
        option.initFrom(view);
        option.widget = view;
        const QModelIndex index = view->model()->index(row, 0);
        (delegate->*(&OptionReader::initStyleOption))(&option, index);
        return option;
    }
};

using widgettest::MenuParent;

// How many pixels of `image` have (about) the colour `color`.
int pixelsOf(const QImage &image, const QColor &color)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() > 128 && qAbs(pixel.red() - color.red()) < 48 && qAbs(pixel.green() - color.green()) < 48
                && qAbs(pixel.blue() - color.blue()) < 48)
                ++count;
        }
    }
    return count;
}

} // namespace

class TestColumnBrowser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void loadColumnZeroAsksCountOnce();
    void titlesAndLeafFlags();
    void cellsAreAskedOnceAndCached();
    void selectingNonLeafLoadsNextColumn();
    void selectingLeafLoadsNothing();
    void selectRowClosesDeeperColumns();
    void selectRowRejectsOutOfRange();
    void loadColumnZeroDiscardsColumns();
    void pathOfNoSelectionIsSeparator();
    void pathRoundTrip_data();
    void pathRoundTrip();
    void setPathCallOrder();
    void setPathStopsAtMissingTitle();
    void setPathStopsAfterLeaf();
    void setPathLoadsColumnZeroWhenEmpty();
    void setPathFirstMatchWins();
    void selectedCellsAndColumn();
    void noDelegateGivesEmptyColumns();
    void clickSelectsAndSendsAction();
    void doubleClickSendsDoubleAction();
    void keyboardUpDown();
    void keyboardRightAndLeft();
    void keyboardTypeAhead();
    void accessibleNames();
    void newestColumnScrolledIntoView();
    void paintedRowsAreAskedBeforeShown();
    void chevronOnRowsWithRowsBelow_data();
    void chevronOnRowsWithRowsBelow();
    void reloadedColumnsShareOneChevron();
    void chevronFollowsThePalette();
    void everyColumnHasOneRowHeight();
    void contextMenuRequests_data();
    void contextMenuRequests();
};

void TestColumnBrowser::loadColumnZeroAsksCountOnce()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    QCOMPARE(browser.numberOfColumns(), 0);
    QCOMPARE(browser.lastColumn(), -1);
    browser.loadColumnZero();
    QCOMPARE(delegate.calls, QStringList{"rows 0"});
    QCOMPARE(browser.numberOfColumns(), 1);
    QCOMPARE(browser.lastColumn(), 0);
    QCOMPARE(browser.numberOfRowsInColumn(0), 4);
    QCOMPARE(browser.selectedColumn(), -1);
    QCOMPARE(browser.selectedRowInColumn(0), -1);
}

void TestColumnBrowser::titlesAndLeafFlags()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    QCOMPARE(browser.titleOfRow(0, 0), QStringLiteral("Setup"));
    QCOMPARE(browser.titleOfRow(1, 0), QStringLiteral("State"));
    QCOMPARE(browser.titleOfRow(2, 0), QStringLiteral("Solo"));
    QCOMPARE(browser.titleOfRow(3, 0), QStringLiteral("A/B"));
    QVERIFY(!browser.isLeafRow(0, 0));
    QVERIFY(browser.isLeafRow(2, 0));
    // The model shows the same.
    QAbstractItemModel *model = listOf(browser, 0)->model();
    QCOMPARE(model->rowCount(), 4);
    QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("State"));
    // Rows that do not exist have no title.
    QCOMPARE(browser.titleOfRow(4, 0), QString());
    QCOMPARE(browser.titleOfRow(0, 1), QString());
}

void TestColumnBrowser::cellsAreAskedOnceAndCached()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    browser.titleOfRow(1, 0);
    browser.isLeafRow(1, 0);
    browser.titleOfRow(1, 0);
    QCOMPARE(delegate.calls, (QStringList{"rows 0", "cell 1 0"}));
    // Reloading the column asks again.
    browser.loadColumnZero();
    browser.titleOfRow(1, 0);
    QCOMPARE(delegate.calls, (QStringList{"rows 0", "cell 1 0", "rows 0", "cell 1 0"}));
}

void TestColumnBrowser::selectingNonLeafLoadsNextColumn()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    delegate.calls.clear();
    browser.selectRow(1, 0);
    // The row's cell is asked for its leaf flag, then column 1 is loaded.
    QCOMPARE(delegate.calls.join(","), (QStringList{"cell 1 0", "rows 1"}).join(","));
    QCOMPARE(browser.numberOfColumns(), 2);
    QCOMPARE(browser.numberOfRowsInColumn(1), 2);
    QCOMPARE(browser.titleOfRow(0, 1), QStringLiteral("Network"));
    QCOMPARE(browser.titleOfRow(1, 1), QStringLiteral("Users"));
    QVERIFY(!browser.isLeafRow(0, 1));
    QVERIFY(browser.isLeafRow(1, 1));
    QCOMPARE(browser.selectedRowInColumn(0), 1);
    QCOMPARE(browser.selectedRowInColumn(1), -1);
    QCOMPARE(browser.selectedColumn(), 0);
}

void TestColumnBrowser::selectingLeafLoadsNothing()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    delegate.calls.clear();
    browser.selectRow(2, 0);
    QCOMPARE(delegate.calls, QStringList{"cell 2 0"});
    QCOMPARE(browser.numberOfColumns(), 1);
    QCOMPARE(browser.selectedColumn(), 0);
}

void TestColumnBrowser::selectRowClosesDeeperColumns()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    browser.selectRow(1, 0);
    browser.selectRow(0, 1);
    browser.selectRow(0, 2);
    QCOMPARE(browser.numberOfColumns(), 4);
    QCOMPARE(browser.path(), Separator.isEmpty() ? QString() : QStringLiteral("/State/Network/Interface"));

    // Selecting a leaf in column 0 closes every deeper column without loading.
    delegate.calls.clear();
    browser.selectRow(2, 0);
    QCOMPARE(browser.numberOfColumns(), 1);
    QVERIFY(delegate.requests().isEmpty());

    // Selecting another non-leaf row reloads column 1 from scratch.
    browser.selectRow(0, 0);
    QCOMPARE(browser.numberOfColumns(), 2);
    QCOMPARE(browser.titleOfRow(0, 1), QStringLiteral("Network"));
    QCOMPARE(browser.numberOfRowsInColumn(1), 1);

    // Clearing a column's selection (row -1) closes the columns right of it.
    browser.selectRow(-1, 0);
    QCOMPARE(browser.numberOfColumns(), 1);
    QCOMPARE(browser.selectedColumn(), -1);
}

void TestColumnBrowser::selectRowRejectsOutOfRange()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    delegate.calls.clear();
    browser.selectRow(4, 0);
    browser.selectRow(-2, 0);
    browser.selectRow(0, 1);
    browser.selectRow(0, -1);
    QVERIFY(delegate.calls.isEmpty());
    QCOMPARE(browser.selectedColumn(), -1);
    QCOMPARE(browser.numberOfColumns(), 1);
}

void TestColumnBrowser::loadColumnZeroDiscardsColumns()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    browser.selectRow(1, 0);
    browser.selectRow(0, 1);
    QCOMPARE(browser.numberOfColumns(), 3);
    QPointer<QWidget> deeper = browser.columnView(2);
    delegate.calls.clear();
    browser.loadColumnZero();
    QCOMPARE(delegate.calls, QStringList{"rows 0"});
    QCOMPARE(browser.numberOfColumns(), 1);
    QCOMPARE(browser.selectedColumn(), -1);
    QCOMPARE(browser.selectedRowInColumn(0), -1);
    QVERIFY(browser.selectedCells().isEmpty());
    // The closed views go away and ask nothing more.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(deeper.isNull());
    QCOMPARE(delegate.calls, QStringList{"rows 0"});
}

void TestColumnBrowser::pathOfNoSelectionIsSeparator()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    QCOMPARE(browser.pathSeparator(), Separator);
    QCOMPARE(browser.path(), Separator);
    browser.loadColumnZero();
    QCOMPARE(browser.path(), Separator);
    QVERIFY(browser.setPath(browser.path()));
    QCOMPARE(browser.selectedColumn(), -1);
}

void TestColumnBrowser::pathRoundTrip_data()
{
    QTest::addColumn<QList<int>>("rows"); // row to select in each column
    QTest::addColumn<QString>("path");
    QTest::newRow("one column") << QList<int>{2} << Separator + "Solo";
    QTest::newRow("two columns") << QList<int>{1, 1} << Separator + "State" + Separator + "Users";
    QTest::newRow("three columns") << QList<int>{1, 0, 0}
                                   << Separator + "State" + Separator + "Network" + Separator + "Interface";
    QTest::newRow("four columns") << QList<int>{
        1, 0, 0, 1} << Separator + "State" + Separator + "Network" + Separator + "Interface" + Separator + "lo";
    QTest::newRow("titles with slash and colon")
        << QList<int>{3, 0, 0} << Separator + "A/B" + Separator + "x:y" + Separator + "/";
}

void TestColumnBrowser::pathRoundTrip()
{
    QFETCH(QList<int>, rows);
    QFETCH(QString, path);
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    browser.loadColumnZero();
    for (int c = 0; c < rows.size(); ++c)
        browser.selectRow(rows.at(c), c);
    QCOMPARE(browser.path(), path);

    // Back from nothing selected: the same rows come back.
    browser.loadColumnZero();
    QVERIFY(browser.setPath(path));
    for (int c = 0; c < rows.size(); ++c)
        QCOMPARE(browser.selectedRowInColumn(c), rows.at(c));
    QCOMPARE(browser.selectedColumn(), rows.size() - 1);
    QCOMPARE(browser.path(), path);

    // A path without the leading separator reads the same.
    browser.loadColumnZero();
    QVERIFY(browser.setPath(path.mid(Separator.size())));
    QCOMPARE(browser.path(), path);
}

void TestColumnBrowser::setPathCallOrder()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    browser.loadColumnZero();
    delegate.calls.clear();
    QVERIFY(browser.setPath(Separator + "State" + Separator + "Network" + Separator + "Global"));
    // Column by column: the piece is matched, and after each row that is not
    // a leaf the next column is loaded before the next piece.
    QCOMPARE(delegate.calls, (QStringList{"select State 0", "cell 1 0", "rows 1", "select Network 1", "cell 0 1",
                                          "rows 2", "select Global 2", "cell 1 2"}));
    QCOMPARE(browser.numberOfColumns(), 3);
    QCOMPARE(browser.selectedColumn(), 2);
}

void TestColumnBrowser::setPathStopsAtMissingTitle()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    browser.loadColumnZero();
    browser.selectRow(0, 0);
    delegate.calls.clear();
    QVERIFY(!browser.setPath(Separator + "State" + Separator + "Gone" + Separator + "Interface"));
    QCOMPARE(delegate.requests(), (QStringList{"select State 0", "rows 1", "select Gone 1"}));
    QCOMPARE(browser.selectedRowInColumn(0), 1);
    QCOMPARE(browser.selectedRowInColumn(1), -1);
    QCOMPARE(browser.numberOfColumns(), 2);
    QCOMPARE(browser.path(), Separator + "State");

    // Case-different titles do not match.
    QVERIFY(!browser.setPath(Separator + "state"));
    QCOMPARE(browser.selectedColumn(), -1);
    QCOMPARE(browser.numberOfColumns(), 1);
}

void TestColumnBrowser::setPathStopsAfterLeaf()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    browser.loadColumnZero();
    delegate.calls.clear();
    QVERIFY(!browser.setPath(Separator + "Solo" + Separator + "More"));
    QCOMPARE(delegate.requests(), QStringList{"select Solo 0"});
    QCOMPARE(browser.selectedRowInColumn(0), 2);
}

void TestColumnBrowser::setPathLoadsColumnZeroWhenEmpty()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    QVERIFY(browser.setPath(Separator + "Setup"));
    QCOMPARE(delegate.requests(), (QStringList{"rows 0", "select Setup 0", "rows 1"}));
    QCOMPARE(browser.selectedRowInColumn(0), 0);
}

void TestColumnBrowser::setPathFirstMatchWins()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setPathSeparator(Separator);
    browser.loadColumnZero();
    QVERIFY(browser.setPath(Separator + "A/B" + Separator + "Same"));
    QCOMPARE(browser.selectedRowInColumn(1), 1);
    browser.selectRow(2, 1);
    QCOMPARE(browser.path(), Separator + "A/B" + Separator + "Same");
}

void TestColumnBrowser::selectedCellsAndColumn()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.loadColumnZero();
    QVERIFY(browser.selectedCells().isEmpty());
    browser.selectRow(1, 0);
    QList<BrowserCell *> cells = browser.selectedCells();
    QCOMPARE(cells.size(), 1);
    QCOMPARE(cells.at(0)->title(), QStringLiteral("State"));
    QCOMPARE(cells.at(0)->row(), 1);
    QCOMPARE(cells.at(0)->column(), 0);
    QVERIFY(!cells.at(0)->isLeaf());
    browser.selectRow(1, 1);
    cells = browser.selectedCells();
    QCOMPARE(cells.size(), 1);
    QCOMPARE(cells.at(0)->title(), QStringLiteral("Users"));
    QVERIFY(cells.at(0)->isLeaf());
    QCOMPARE(browser.selectedColumn(), 1);
    QCOMPARE(browser.lastColumn(), 1);
}

void TestColumnBrowser::noDelegateGivesEmptyColumns()
{
    ColumnBrowser browser;
    browser.loadColumnZero();
    QCOMPARE(browser.numberOfColumns(), 1);
    QCOMPARE(browser.numberOfRowsInColumn(0), 0);
    QVERIFY(!browser.setPath(QStringLiteral("/x")));
    QVERIFY(browser.setPath(QStringLiteral("/")));
}

void TestColumnBrowser::clickSelectsAndSendsAction()
{
    TreeDelegate delegate(sampleTree());
    Target target;
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setTarget(&target);
    browser.setAction(&Target::single);
    browser.setDoubleAction(&Target::twice);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    QListView *column0 = listOf(browser, 0);
    const QRect rect = column0->visualRect(column0->model()->index(1, 0));
    QVERIFY(rect.isValid());
    QTest::mouseClick(column0->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(browser.selectedRowInColumn(0), 1);
    QCOMPARE(browser.numberOfColumns(), 2);
    QCOMPARE(target.received, QStringList{"single"});
    QCOMPARE(target.senders.value(0), &browser);
    QVERIFY(column0->hasFocus());
    QVERIFY(column0->selectionModel()->isRowSelected(1, QModelIndex()));

    // A click on a leaf in column 1 selects it and opens nothing.
    QListView *column1 = listOf(browser, 1);
    QTRY_VERIFY(column1->visualRect(column1->model()->index(1, 0)).isValid());
    QTest::mouseClick(column1->viewport(), Qt::LeftButton, {},
                      column1->visualRect(column1->model()->index(1, 0)).center());
    QCOMPARE(browser.selectedRowInColumn(1), 1);
    QCOMPARE(browser.numberOfColumns(), 2);
    QCOMPARE(target.received, (QStringList{"single", "single"}));
    QVERIFY(column1->hasFocus());
}

void TestColumnBrowser::doubleClickSendsDoubleAction()
{
    TreeDelegate delegate(sampleTree());
    Target target;
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setTarget(&target);
    browser.setAction(&Target::single);
    browser.setDoubleAction(&Target::twice);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    QListView *column0 = listOf(browser, 0);
    const QRect rect = column0->visualRect(column0->model()->index(2, 0));
    QTest::mouseDClick(column0->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(browser.selectedRowInColumn(0), 2);
    QVERIFY(target.received.contains(QStringLiteral("double")));
    QCOMPARE(target.received.count(QStringLiteral("double")), 1);
    QCOMPARE(target.received.first(), QStringLiteral("single"));
    QCOMPARE(target.senders.last(), &browser);
}

void TestColumnBrowser::keyboardUpDown()
{
    TreeDelegate delegate(sampleTree());
    Target target;
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setTarget(&target);
    browser.setAction(&Target::single);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    QListView *column0 = listOf(browser, 0);
    column0->setFocus();
    QTest::keyClick(column0, Qt::Key_Down);
    QCOMPARE(browser.selectedRowInColumn(0), 0);
    QCOMPARE(target.received.size(), 1);
    QTest::keyClick(column0, Qt::Key_Down);
    QCOMPARE(browser.selectedRowInColumn(0), 1);
    QCOMPARE(browser.titleOfRow(0, 1), QStringLiteral("Network"));
    QTest::keyClick(column0, Qt::Key_Down);
    QTest::keyClick(column0, Qt::Key_Down);
    QCOMPARE(browser.selectedRowInColumn(0), 3);
    QCOMPARE(target.received.size(), 4);
    // At the last row, Down does nothing and sends nothing.
    QTest::keyClick(column0, Qt::Key_Down);
    QCOMPARE(browser.selectedRowInColumn(0), 3);
    QCOMPARE(target.received.size(), 4);
    QTest::keyClick(column0, Qt::Key_Up);
    QCOMPARE(browser.selectedRowInColumn(0), 2);
    QCOMPARE(browser.numberOfColumns(), 1); // Solo is a leaf
    QCOMPARE(target.received.size(), 5);
    QVERIFY(column0->hasFocus());
}

void TestColumnBrowser::keyboardRightAndLeft()
{
    TreeDelegate delegate(sampleTree());
    Target target;
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setTarget(&target);
    browser.setAction(&Target::single);
    browser.resize(900, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    listOf(browser, 0)->setFocus();
    QTest::keyClick(listOf(browser, 0), Qt::Key_Down);
    QTest::keyClick(listOf(browser, 0), Qt::Key_Down); // State
    QTest::keyClick(listOf(browser, 0), Qt::Key_Right);
    QCOMPARE(browser.selectedRowInColumn(1), 0); // Network
    QCOMPARE(browser.numberOfColumns(), 3);
    QVERIFY(listOf(browser, 1)->hasFocus());
    QCOMPARE(target.received.size(), 3);
    QTest::keyClick(listOf(browser, 1), Qt::Key_Right);
    QCOMPARE(browser.selectedRowInColumn(2), 0); // Interface
    QCOMPARE(browser.numberOfColumns(), 4);
    QTest::keyClick(listOf(browser, 2), Qt::Key_Down);
    QCOMPARE(browser.selectedRowInColumn(2), 1); // Global, a leaf
    QCOMPARE(browser.numberOfColumns(), 3);
    // Right from a leaf: nothing to enter.
    QTest::keyClick(listOf(browser, 2), Qt::Key_Right);
    QCOMPARE(browser.selectedColumn(), 2);
    // Left: back to column 1; column 2 keeps its rows but not its selection.
    QTest::keyClick(listOf(browser, 2), Qt::Key_Left);
    QCOMPARE(browser.selectedColumn(), 1);
    QCOMPARE(browser.selectedRowInColumn(2), -1);
    QCOMPARE(browser.numberOfColumns(), 3);
    QVERIFY(listOf(browser, 1)->hasFocus());
    QCOMPARE(browser.path(), QStringLiteral("/State/Network"));
    QTest::keyClick(listOf(browser, 1), Qt::Key_Left);
    QCOMPARE(browser.selectedColumn(), 0);
    QCOMPARE(browser.numberOfColumns(), 2);
    QVERIFY(listOf(browser, 0)->hasFocus());
    // Left in column 0 does nothing.
    const int sent = target.received.size();
    QTest::keyClick(listOf(browser, 0), Qt::Key_Left);
    QCOMPARE(target.received.size(), sent);
    QCOMPARE(browser.selectedRowInColumn(0), 1);
}

void TestColumnBrowser::keyboardTypeAhead()
{
    TreeDelegate delegate(sampleTree());
    Target target;
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.setTarget(&target);
    browser.setAction(&Target::single);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    QListView *column0 = listOf(browser, 0);
    column0->setFocus();
    QTest::keyClicks(column0, QStringLiteral("sol"));
    QCOMPARE(browser.selectedRowInColumn(0), 2);
    QCOMPARE(browser.titleOfRow(2, 0), QStringLiteral("Solo"));
    QVERIFY(!target.received.isEmpty());
    QVERIFY(column0->selectionModel()->isRowSelected(2, QModelIndex()));
}

void TestColumnBrowser::accessibleNames()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    QCOMPARE(browser.accessibleName(), QStringLiteral("Key browser"));
    browser.loadColumnZero();
    browser.selectRow(1, 0);
    browser.selectRow(0, 1);
    QCOMPARE(browser.columnView(0)->accessibleName(), QStringLiteral("Column 1"));
    QCOMPARE(browser.columnView(1)->accessibleName(), QStringLiteral("Column 2"));
    QCOMPARE(browser.columnView(2)->accessibleName(), QStringLiteral("Column 3"));
}

void TestColumnBrowser::newestColumnScrolledIntoView()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.resize(450, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    QVERIFY(browser.columnWidth() >= 150);
    browser.loadColumnZero();
    browser.selectRow(1, 0);
    browser.selectRow(0, 1);
    browser.selectRow(0, 2);
    QCOMPARE(browser.numberOfColumns(), 4);
    QWidget *last = browser.columnView(3);
    QCOMPARE(last->width(), browser.columnWidth());
    // The last column's right edge lies inside the visible area.
    const QPoint right = last->mapTo(browser.viewport(), QPoint(last->width() - 1, 0));
    QVERIFY2(right.x() < browser.viewport()->width() && right.x() >= 0, qPrintable(QString::number(right.x())));
    QVERIFY(browser.horizontalScrollBar()->value() > 0);
}

void TestColumnBrowser::paintedRowsAreAskedBeforeShown()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    // Painting the column asks each shown row's cell, once.
    QListView *column0 = listOf(browser, 0);
    column0->viewport()->repaint();
    column0->viewport()->repaint();
    for (int r = 0; r < 4; ++r)
        QCOMPARE(delegate.calls.count(QStringLiteral("cell %1 0").arg(r)), 1);
    QCOMPARE(delegate.calls.count(QStringLiteral("rows 0")), 1);
    QCOMPARE(delegate.calls.first(), QStringLiteral("rows 0"));
}

void TestColumnBrowser::chevronOnRowsWithRowsBelow_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("chevron");
    QTest::newRow("Setup") << QString() << 0 << 0 << true;
    QTest::newRow("Solo") << QString() << 0 << 2 << false;
    QTest::newRow("A/B") << QString() << 0 << 3 << true;
    QTest::newRow("State/Network") << Separator + "State" << 1 << 0 << true;
    QTest::newRow("State/Users") << Separator + "State" << 1 << 1 << false;
    QTest::newRow("State/Network/Global") << Separator + "State" + Separator + "Network" << 2 << 1 << false;
}

void TestColumnBrowser::chevronOnRowsWithRowsBelow()
{
    QFETCH(QString, path);
    QFETCH(int, column);
    QFETCH(int, row);
    QFETCH(bool, chevron);
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setPathSeparator(Separator);
    browser.setDelegate(&delegate);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    QVERIFY(browser.setPath(path));
    QListView *view = listOf(browser, column);
    QVERIFY(view);
    const QStyleOptionViewItem option = OptionReader::read(view, row);
    QCOMPARE(bool(option.features & QStyleOptionViewItem::HasDecoration), chevron);
    QCOMPARE(option.icon.isNull(), !chevron);
    if (chevron) {
        QCOMPARE(option.decorationPosition, QStyleOptionViewItem::Right);
        QCOMPARE(option.decorationSize, QSize(8, 12));
        // Drawn in the text colour, and in the selected text colour when selected.
        const QImage plain = option.icon.pixmap(QSize(8, 12), QIcon::Normal).toImage();
        const QImage selected = option.icon.pixmap(QSize(8, 12), QIcon::Selected).toImage();
        QVERIFY(pixelsOf(plain, view->palette().color(QPalette::Text)) >= 6);
        QVERIFY(pixelsOf(selected, view->palette().color(QPalette::HighlightedText)) >= 6);
    }

    // The row is painted with its chevron at the right edge, or without.
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    const QImage shot = view->viewport()->grab().toImage();
    const QImage edge = shot.copy(QRect(rect.right() - 16, rect.top(), 16, rect.height()));
    const QColor ink = browser.selectedRowInColumn(column) == row ? view->palette().color(QPalette::HighlightedText)
                                                                  : view->palette().color(QPalette::Text);
    QCOMPARE(pixelsOf(edge, ink) >= 6, chevron);
}

void TestColumnBrowser::reloadedColumnsShareOneChevron()
{
    // Columns are made afresh on every reload; they all draw one icon, so the
    // copies the pixmap cache keeps of drawn icons do not pile up.
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setPathSeparator(Separator);
    browser.setDelegate(&delegate);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    const QString path = Separator + "State" + Separator + "Network";
    QVERIFY(browser.setPath(path));
    const qint64 icon = OptionReader::read(listOf(browser, 0), 0).icon.cacheKey();
    const qint64 pixmap = OptionReader::read(listOf(browser, 0), 0).icon.pixmap(QSize(8, 12)).cacheKey();
    QCOMPARE(OptionReader::read(listOf(browser, 1), 0).icon.cacheKey(), icon);
    QCOMPARE(OptionReader::read(listOf(browser, 2), 0).icon.cacheKey(), icon);
    for (int i = 0; i < 20; ++i) {
        QPointer<QListView> old = listOf(browser, 0);
        browser.loadColumnZero();
        QVERIFY(browser.setPath(path));
        for (int c = 0; c < browser.numberOfColumns(); ++c)
            listOf(browser, c)->viewport()->repaint();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(old.isNull()); // the column really was made afresh
        for (int c = 0; c < 3; ++c) {
            const QStyleOptionViewItem option = OptionReader::read(listOf(browser, c), 0);
            QCOMPARE(option.icon.cacheKey(), icon);
            QCOMPARE(option.icon.pixmap(QSize(8, 12)).cacheKey(), pixmap);
        }
    }
}

void TestColumnBrowser::chevronFollowsThePalette()
{
    TreeDelegate delegate(sampleTree());
    ColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.resize(700, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    browser.loadColumnZero();
    const QStyleOptionViewItem before = OptionReader::read(listOf(browser, 0), 0);

    QPalette palette = browser.palette();
    palette.setColor(QPalette::Text, QColor(220, 20, 20));
    palette.setColor(QPalette::HighlightedText, QColor(20, 200, 20));
    browser.setPalette(palette);
    browser.loadColumnZero();
    const QStyleOptionViewItem after = OptionReader::read(listOf(browser, 0), 0);
    QVERIFY(after.icon.cacheKey() != before.icon.cacheKey());
    QVERIFY(pixelsOf(after.icon.pixmap(QSize(8, 12), QIcon::Normal).toImage(), QColor(220, 20, 20)) >= 6);
    QVERIFY(pixelsOf(after.icon.pixmap(QSize(8, 12), QIcon::Selected).toImage(), QColor(20, 200, 20)) >= 6);
    // Asked again with the same colours: the same icon.
    QCOMPARE(browser.chevronIcon(palette, listOf(browser, 0)->devicePixelRatioF()).cacheKey(), after.icon.cacheKey());
}

QTEST_MAIN(TestColumnBrowser)
// Rows are as tall, and in the same font, in every column, whether a column
// begins with a row that leads further (drawn with a chevron) or not.
void TestColumnBrowser::everyColumnHasOneRowHeight()
{
    TreeDelegate delegate({leaf("First"), branch("Open", {branch("Deeper", {leaf("a"), leaf("b")}), leaf("Last")})});
    ColumnBrowser browser;
    browser.setPathSeparator(Separator);
    browser.setDelegate(&delegate);
    browser.resize(800, 300);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    QVERIFY(browser.setPath(Separator + "Open" + Separator + "Deeper"));
    QCOMPARE(browser.numberOfColumns(), 3);
    QList<int> heights;
    for (int column = 0; column < 3; ++column) {
        QListView *view = listOf(browser, column);
        QVERIFY(view);
        QCOMPARE(view->font(), listOf(browser, 0)->font());
        for (int row = 0; row < view->model()->rowCount(); ++row)
            heights.append(view->visualRect(view->model()->index(row, 0)).height());
    }
    QVERIFY(heights.first() > 0);
    QCOMPARE(heights, QList<int>(heights.size(), heights.first()));
}

void TestColumnBrowser::contextMenuRequests_data()
{
    QTest::addColumn<QString>("path"); // selected before
    QTest::addColumn<bool>("fromKeyboard");
    QTest::addColumn<int>("column"); // clicked, or focused for the keyboard
    QTest::addColumn<int>("row");    // clicked; -1: the column's empty space
    QTest::addColumn<int>("requestedRow");
    const QString state = Separator + "State";
    const QString network = state + Separator + "Network";
    QTest::newRow("right click on the selected row") << state << false << 0 << 1 << 1;
    // Right clicks leave the selection (and so the value shown and the open
    // columns) as they were: the menu is about the row clicked.
    QTest::newRow("right click on another row") << state << false << 0 << 3 << 3;
    QTest::newRow("right click on a leaf in a deeper column") << network << false << 1 << 1 << 1;
    QTest::newRow("right click with nothing selected") << QString() << false << 0 << 2 << 2;
    QTest::newRow("right click below the rows") << state << false << 1 << -1 << -1;
    QTest::newRow("menu key in a column with a selection") << network << true << 1 << -1 << 0;
    QTest::newRow("menu key in a column without one") << state << true << 1 << -1 << -1;
}

void TestColumnBrowser::contextMenuRequests()
{
    QFETCH(QString, path);
    QFETCH(bool, fromKeyboard);
    QFETCH(int, column);
    QFETCH(int, row);
    QFETCH(int, requestedRow);
    TreeDelegate delegate(sampleTree());
    Target target;
    MenuParent parent;
    auto *browser = new ColumnBrowser(&parent);
    browser->setPathSeparator(Separator);
    browser->setDelegate(&delegate);
    browser->setTarget(&target);
    browser->setAction(&Target::single);
    browser->setDoubleAction(&Target::twice);
    browser->resize(900, 300);
    parent.resize(900, 300);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QVERIFY(browser->setPath(path));
    QListView *view = listOf(*browser, column);
    QVERIFY(view);
    QWidget *viewport = view->viewport();
    const QString pathBefore = browser->path();
    const int columnsBefore = browser->numberOfColumns();

    QRect area; // where the menu may open, in the viewport
    const QPoint at =
        row >= 0 ? view->visualRect(view->model()->index(row, 0)).center() : QPoint(20, viewport->height() - 5);
    QCOMPARE(view->indexAt(at).row(), row);
    if (fromKeyboard) {
        view->setFocus();
        const int selected = browser->selectedRowInColumn(column);
        area = selected >= 0 ? view->visualRect(view->model()->index(selected, 0)) : viewport->rect();
    } else {
        area = QRect(at, QSize(1, 1));
    }
    const auto request = [&] {
        if (fromKeyboard) {
            // What the window system delivers to the focused widget for the menu key.
            QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(), QPoint(-5000, -5000));
            QApplication::sendEvent(view, &event);
        } else {
            QTest::mouseClick(parent.windowHandle(), Qt::RightButton, {}, viewport->mapTo(&parent, at));
        }
    };
    // With nobody listening, the request goes on to the parent as before.
    request();
    QCOMPARE(parent.requests, 1);

    QSignalSpy spy(browser, &ColumnBrowser::contextMenuRequestedForRow);
    request();
    QCOMPARE(parent.requests, 1);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), requestedRow);
    QCOMPARE(spy.at(0).at(1).toInt(), column);
    const QPoint globalPos = spy.at(0).at(2).toPoint();
    QVERIFY2(QRect(viewport->mapToGlobal(area.topLeft()), area.size()).contains(globalPos),
             qPrintable(QStringLiteral("%1,%2").arg(globalPos.x()).arg(globalPos.y())));
    QCOMPARE(browser->path(), pathBefore);
    QCOMPARE(browser->numberOfColumns(), columnsBefore);
    QCOMPARE(target.received, QStringList());
}

#include "tst_columnbrowser.moc"
