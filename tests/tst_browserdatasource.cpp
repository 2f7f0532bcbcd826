// The controller serving the key browser: row counts, cells, path matching,
// titles, and storeTree kept at one branch per loaded column.

#include "app/KVNController.h"
#include "browser/BrowserDataSource.h"
#include "platform/ui/ColumnBrowser.h"
#include "store/KeyListEdit.h"

#include <QTest>

using kv::TreeBranch;
using kv::ui::BrowserCell;
using kv::ui::ColumnBrowser;

namespace {

const QString Separator = QStringLiteral("{|}~@!@");

// A controller wired to a browser, with a key list and no store.
struct Fixture
{
    KVNController controller;
    ColumnBrowser browser;

    explicit Fixture(const QStringList &keys)
    {
        controller.kvnBrowser = &browser;
        browser.setDelegate(&controller);
        browser.setPathSeparator(Separator);
        controller.storeKeysList = keys;
    }

    QStringList titles(int column) const
    {
        QStringList result;
        for (int r = 0; r < browser.numberOfRowsInColumn(column); ++r)
            result.append(browser.titleOfRow(r, column));
        return result;
    }
};

const QStringList WorkedKeys{"Domain:/A", "Domain:/A/B", "Domain:/A/D", "Domain:/E", "Other:/F"};

QString path(const QStringList &titles)
{
    return Separator + titles.join(Separator);
}

} // namespace

class TestBrowserDataSource : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void formatString_data();
    void formatString();
    void decomposedKeysListFollowsKeyList();
    void columnZero();
    void deeperColumnsFromSelectedRow();
    void keyAndLeafRowIsNotLeaf();
    void loadingColumnTwoOfFiveLeavesThree();
    void columnZeroDropsDeeperEntries();
    void emptyKeyList();
    void columnWithoutSelectedRowIsEmpty();
    void columnWithOutOfRangeRowIsEmpty();
    void columnBeyondLoadedOnesKeepsIndices();
    void emptyDecomposedKeysHaveNoRow();
    void cellOutOfRangeIsLeftAlone();
    void selectCellWithString_data();
    void selectCellWithString();
    void selectCellOutOfRangeColumn();
    void nonConsecutiveEqualNames();
    void pathRoundTrip_data();
    void pathRoundTrip();
    void setPathStopsWhereTitlesAreGone();
    void selectedRowCarriesStoreKey();
    void pathOfKeyLeadsToItsRow_data();
    void pathOfKeyLeadsToItsRow();
    void rowsEditedInPlace_data();
    void rowsEditedInPlace();
};

void TestBrowserDataSource::formatString_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("0 Domain:") << 0 << "Domain:"
                               << "Domain";
    QTest::newRow("0 A/B:") << 0 << "A/B:"
                            << "A/B";
    QTest::newRow("1 /A") << 1 << "/A"
                          << "A";
    QTest::newRow("1 /") << 1 << "/"
                         << "/";
    QTest::newRow("1 A") << 1 << "A"
                         << "A";
    QTest::newRow("1 :") << 1 << ":"
                         << ":";
    QTest::newRow("1 /A:B") << 1 << "/A:B"
                            << "A:B";
    QTest::newRow("2 /A followed by a space") << 2 << "/A "
                                              << "A ";
    // Further cases of the same rules.
    QTest::newRow("0 only the last colon goes") << 0 << "A::"
                                                << "A:";
    QTest::newRow("0 a leading slash stays") << 0 << "/A:"
                                             << "/A";
    QTest::newRow("0 lone colon stays") << 0 << ":"
                                        << ":";
    QTest::newRow("0 no trailing colon") << 0 << "Domain"
                                         << "Domain";
    QTest::newRow("1 trailing colon stays") << 1 << "/A:"
                                            << "A:";
    QTest::newRow("1 only one slash goes") << 1 << "//"
                                           << "/";
    QTest::newRow("3 deep") << 3 << "/eth0"
                            << "eth0";
    QTest::newRow("1 empty") << 1 << ""
                             << "";
}

void TestBrowserDataSource::formatString()
{
    QFETCH(int, column);
    QFETCH(QString, name);
    QFETCH(QString, title);
    KVNController controller;
    QCOMPARE(controller.browserFormatString(name, column), title);
}

void TestBrowserDataSource::decomposedKeysListFollowsKeyList()
{
    KVNController controller;
    controller.storeKeysList = QStringList{"", "Domain:/A", ":x", "Other"};
    const kv::DecomposedKeyList list = controller.storeDecomposedKeysListArray();
    QCOMPARE(list.size(), size_t(4));
    for (size_t i = 0; i < list.size(); ++i)
        QCOMPARE(list[i]->storeKey(), controller.storeKeysList.at(int(i)));
    QVERIFY(list[0]->isEmpty());
    QCOMPARE(list[1]->components(), (QStringList{"Domain:", "/A"}));
    QVERIFY(list[2]->isEmpty());
    QCOMPARE(list[3]->components(), QStringList{"Other:"});
    // Made anew on every call, from the current list.
    controller.storeKeysList.removeFirst();
    QCOMPARE(controller.storeDecomposedKeysListArray().size(), size_t(3));
}

void TestBrowserDataSource::columnZero()
{
    Fixture f(WorkedKeys);
    QCOMPARE(f.controller.browserNumberOfRowsInColumn(&f.browser, 0), 2);
    QCOMPARE(f.controller.storeTree.size(), 1);
    QCOMPARE(f.controller.storeTree.at(0).names, (QStringList{"Domain:", "Other:"}));

    f.browser.loadColumnZero();
    QCOMPARE(f.controller.storeTree.size(), 1);
    QCOMPARE(f.browser.numberOfRowsInColumn(0), 2);
    QCOMPARE(f.titles(0), (QStringList{"Domain", "Other"}));
    QVERIFY(!f.browser.isLeafRow(0, 0));
    QVERIFY(!f.browser.isLeafRow(1, 0));
}

void TestBrowserDataSource::deeperColumnsFromSelectedRow()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    f.browser.selectRow(0, 0);
    QCOMPARE(f.controller.storeTree.size(), 2);
    QCOMPARE(f.controller.storeTree.at(1).names, (QStringList{"/A", "/E"}));
    QCOMPARE(f.titles(1), (QStringList{"A", "E"}));
    f.browser.selectRow(0, 1);
    QCOMPARE(f.controller.storeTree.size(), 3);
    QCOMPARE(f.titles(2), (QStringList{"B", "D"}));
    QVERIFY(f.browser.isLeafRow(0, 2));
    QVERIFY(f.browser.isLeafRow(1, 2));
    QCOMPARE(f.controller.storeTree.at(2).nodes.at(1).key->storeKey(), QStringLiteral("Domain:/A/D"));

    // The other domain.
    f.browser.selectRow(1, 0);
    QCOMPARE(f.controller.storeTree.size(), 2);
    QCOMPARE(f.titles(1), QStringList{"F"});
    QVERIFY(f.browser.isLeafRow(0, 1));
}

void TestBrowserDataSource::keyAndLeafRowIsNotLeaf()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    f.browser.selectRow(0, 0);
    // Row /A has both KEY (Domain:/A) and LEAF: it leads further.
    QVERIFY(f.controller.storeTree.at(1).nodes.at(0).key);
    QVERIFY(f.controller.storeTree.at(1).nodes.at(0).leaf);
    BrowserCell cell;
    f.controller.browserWillDisplayCell(&f.browser, &cell, 0, 1);
    QCOMPARE(cell.title(), QStringLiteral("A"));
    QVERIFY(!cell.isLeaf());
    // Row /E has only KEY: a leaf.
    BrowserCell other;
    other.setLeaf(false);
    f.controller.browserWillDisplayCell(&f.browser, &other, 1, 1);
    QCOMPARE(other.title(), QStringLiteral("E"));
    QVERIFY(other.isLeaf());
}

void TestBrowserDataSource::loadingColumnTwoOfFiveLeavesThree()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    f.browser.selectRow(0, 0);
    f.browser.selectRow(0, 1);
    f.browser.selectRow(1, 2);
    QCOMPARE(f.controller.storeTree.size(), 3);
    // Two stale deeper entries from some earlier load.
    f.controller.storeTree.append(TreeBranch());
    f.controller.storeTree.append(TreeBranch());
    const auto zeroLeaf = f.controller.storeTree.at(0).nodes.at(0).leaf;
    const auto oneLeaf = f.controller.storeTree.at(1).nodes.at(0).leaf;

    QCOMPARE(f.controller.browserNumberOfRowsInColumn(&f.browser, 2), 2);
    QCOMPARE(f.controller.storeTree.size(), 3);
    // Entries 0 and 1 are the same branches as before.
    QCOMPARE(f.controller.storeTree.at(0).nodes.at(0).leaf.get(), zeroLeaf.get());
    QCOMPARE(f.controller.storeTree.at(1).nodes.at(0).leaf.get(), oneLeaf.get());
    QCOMPARE(f.controller.storeTree.at(2).names, (QStringList{"/B", "/D"}));
}

void TestBrowserDataSource::columnZeroDropsDeeperEntries()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    f.browser.selectRow(0, 0);
    f.browser.selectRow(0, 1);
    QCOMPARE(f.controller.storeTree.size(), 3);
    f.controller.storeKeysList = QStringList{"New:/x"};
    f.browser.loadColumnZero();
    QCOMPARE(f.controller.storeTree.size(), 1);
    QCOMPARE(f.titles(0), QStringList{"New"});
}

void TestBrowserDataSource::emptyKeyList()
{
    Fixture f(QStringList{});
    f.browser.loadColumnZero();
    QCOMPARE(f.browser.numberOfRowsInColumn(0), 0);
    QCOMPARE(f.controller.storeTree.size(), 1);
    QVERIFY(f.controller.storeTree.at(0).names.isEmpty());
    QVERIFY(f.controller.storeTree.at(0).nodes.isEmpty());
}

void TestBrowserDataSource::columnWithoutSelectedRowIsEmpty()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    QCOMPARE(f.browser.selectedRowInColumn(0), -1);
    QCOMPARE(f.controller.browserNumberOfRowsInColumn(&f.browser, 1), 0);
    QCOMPARE(f.controller.storeTree.size(), 2);
    QVERIFY(f.controller.storeTree.at(1).names.isEmpty());
    QCOMPARE(f.controller.storeTree.at(0).names.size(), 2);
}

void TestBrowserDataSource::columnWithOutOfRangeRowIsEmpty()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    f.browser.selectRow(1, 0);
    // Column 0's branch no longer has that row.
    f.controller.storeTree[0] = TreeBranch();
    QCOMPARE(f.controller.browserNumberOfRowsInColumn(&f.browser, 1), 0);
    QCOMPARE(f.controller.storeTree.size(), 2);
}

void TestBrowserDataSource::columnBeyondLoadedOnesKeepsIndices()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    QCOMPARE(f.controller.browserNumberOfRowsInColumn(&f.browser, 3), 0);
    // Entry c stays column c.
    QCOMPARE(f.controller.storeTree.size(), 4);
    QCOMPARE(f.controller.storeTree.at(0).names.size(), 2);
    QCOMPARE(f.controller.browserNumberOfRowsInColumn(&f.browser, -1), 0);
    QCOMPARE(f.controller.storeTree.size(), 4);
}

void TestBrowserDataSource::emptyDecomposedKeysHaveNoRow()
{
    Fixture f(QStringList{"", " ", ":A/B", "Domain:/A", "Domain:/B"});
    f.browser.loadColumnZero();
    QCOMPARE(f.titles(0), QStringList{"Domain"});
    f.browser.selectRow(0, 0);
    QCOMPARE(f.titles(1), (QStringList{"A", "B"}));
}

void TestBrowserDataSource::cellOutOfRangeIsLeftAlone()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    BrowserCell cell;
    cell.setTitle(QStringLiteral("untouched"));
    f.controller.browserWillDisplayCell(&f.browser, &cell, 2, 0);
    f.controller.browserWillDisplayCell(&f.browser, &cell, -1, 0);
    f.controller.browserWillDisplayCell(&f.browser, &cell, 0, 1);
    f.controller.browserWillDisplayCell(&f.browser, nullptr, 0, 0);
    QCOMPARE(cell.title(), QStringLiteral("untouched"));
}

void TestBrowserDataSource::selectCellWithString_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("domain"); // title selected in column 0 first
    QTest::addColumn<QString>("title");  // title asked for in column 1
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("row");
    QTest::newRow("exact") << QStringList{"D:/Alpha", "D:/Beta"} << "D"
                           << "Beta" << true << 1;
    QTest::newRow("case differs") << QStringList{"D:/Alpha", "D:/Beta"} << "D"
                                  << "beta" << false << -1;
    QTest::newRow("prefix only") << QStringList{"D:/Alpha"} << "D"
                                 << "Alp" << false << -1;
    QTest::newRow("raw name is not a title") << QStringList{"D:/Alpha"} << "D"
                                             << "/Alpha" << false << -1;
    QTest::newRow("first of equal titles") << QStringList{"D:/A", "D:A"} << "D"
                                           << "A" << true << 0;
    QTest::newRow("lone slash") << QStringList{"D:/", "D://x"} << "D"
                                << "/" << true << 0;
    QTest::newRow("colon inside") << QStringList{"D:/A:B/x"} << "D"
                                  << "A:B" << true << 0;
    QTest::newRow("trailing blank kept") << QStringList{"D:/A /x", "D:/A/y"} << "D"
                                         << "A " << true << 0;
}

void TestBrowserDataSource::selectCellWithString()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, domain);
    QFETCH(QString, title);
    QFETCH(bool, found);
    QFETCH(int, row);
    Fixture f(keys);
    f.browser.loadColumnZero();
    QVERIFY(f.controller.browserSelectCellWithString(&f.browser, domain, 0));
    QCOMPARE(f.browser.numberOfColumns(), 2);
    QCOMPARE(f.controller.browserSelectCellWithString(&f.browser, title, 1), found);
    QCOMPARE(f.browser.selectedRowInColumn(1), row);
    QCOMPARE(f.browser.selectedRowInColumn(0), 0);
}

void TestBrowserDataSource::selectCellOutOfRangeColumn()
{
    Fixture f(WorkedKeys);
    f.browser.loadColumnZero();
    QVERIFY(!f.controller.browserSelectCellWithString(&f.browser, QStringLiteral("Domain"), 1));
    QVERIFY(!f.controller.browserSelectCellWithString(&f.browser, QStringLiteral("Domain"), -1));
    QCOMPARE(f.browser.selectedColumn(), -1);
}

void TestBrowserDataSource::nonConsecutiveEqualNames()
{
    Fixture f(QStringList{"Domain:/A", "Domain:/A-1", "Domain:/A/B"});
    f.browser.loadColumnZero();
    f.browser.selectRow(0, 0);
    QCOMPARE(f.titles(1), (QStringList{"A", "A-1", "A"}));
    QVERIFY(f.browser.isLeafRow(0, 1));
    QVERIFY(!f.browser.isLeafRow(2, 1));
    // Setting a path picks the first row titled A, which leads nowhere.
    QVERIFY(!f.browser.setPath(path({"Domain", "A", "B"})));
    QCOMPARE(f.browser.selectedRowInColumn(1), 0);
    QCOMPARE(f.browser.numberOfColumns(), 2);
}

void TestBrowserDataSource::pathRoundTrip_data()
{
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("domain only") << QStringList{"State"};
    QTest::newRow("full key") << QStringList{"State", "Network", "Interface", "eth0", "IPv4"};
    QTest::newRow("slash in domain") << QStringList{"A/B", "x:y", "z"};
    QTest::newRow("lone slash rows") << QStringList{"Setup", "/", "Empty"};
    QTest::newRow("colon row") << QStringList{"Setup", ":", "Odd"};
    QTest::newRow("domain without colon") << QStringList{"Bare"};
}

void TestBrowserDataSource::pathRoundTrip()
{
    QFETCH(QStringList, titles);
    Fixture f(QStringList{"A/B:/x:y/z", "Bare", "Setup:/", "Setup:/:/Odd", "Setup://Empty", "State:/Network/Global",
                          "State:/Network/Interface/eth0/IPv4", "State:/Network/Interface/lo/IPv4"});
    f.controller.storeKeysList.sort();
    f.browser.loadColumnZero();
    QVERIFY(f.browser.setPath(path(titles)));
    QCOMPARE(f.browser.selectedColumn(), titles.size() - 1);
    const QString produced = f.browser.path();
    QCOMPARE(produced, path(titles));
    // Reload and restore, as after a change of the key list.
    f.browser.loadColumnZero();
    QCOMPARE(f.browser.path(), Separator);
    QVERIFY(f.browser.setPath(produced));
    QCOMPARE(f.browser.path(), produced);
    QCOMPARE(f.controller.storeTree.size(), f.browser.numberOfColumns());
}

void TestBrowserDataSource::setPathStopsWhereTitlesAreGone()
{
    Fixture f(QStringList{"State:/Network/Interface/eth0", "State:/Network/Interface/lo"});
    f.browser.loadColumnZero();
    QVERIFY(f.browser.setPath(path({"State", "Network", "Interface", "eth0"})));
    const QString before = f.browser.path();
    // eth0 goes away; the path is restored as far as its titles still exist.
    f.controller.storeKeysList.removeFirst();
    f.browser.loadColumnZero();
    QVERIFY(!f.browser.setPath(before));
    QCOMPARE(f.browser.path(), path({"State", "Network", "Interface"}));
    QCOMPARE(f.browser.selectedRowInColumn(3), -1);
    QCOMPARE(f.browser.numberOfColumns(), 4);
    QCOMPARE(f.controller.storeTree.size(), 4);
}

void TestBrowserDataSource::selectedRowCarriesStoreKey()
{
    // Components joined do not always spell the key: " Domain:/B" joins to
    // "Domain:/B", "Domain" to "Domain:" and "Domain:/ A" to "Domain:/A". The
    // rows keep the store keys they were made from, which are the keys to read.
    Fixture f(QStringList{" Domain:/B", "Domain", "Domain:/ A"});
    f.browser.loadColumnZero();
    QCOMPARE(f.titles(0), QStringList{"Domain"});
    const kv::BranchNode &domainRow = f.controller.storeTree.at(0).nodes.at(0);
    QCOMPARE(domainRow.key->storeKey(), QStringLiteral("Domain"));
    QCOMPARE(domainRow.key->joined(), QStringLiteral("Domain:"));

    QVERIFY(f.browser.setPath(path({"Domain"})));
    QCOMPARE(f.titles(1), (QStringList{"B", "A"}));
    const TreeBranch &column1 = f.controller.storeTree.at(1);
    QCOMPARE(column1.nodes.at(0).key->storeKey(), QStringLiteral(" Domain:/B"));
    QCOMPARE(column1.nodes.at(0).key->joined(), QStringLiteral("Domain:/B"));
    QCOMPARE(column1.nodes.at(1).key->storeKey(), QStringLiteral("Domain:/ A"));
    QCOMPARE(column1.nodes.at(1).key->joined(), QStringLiteral("Domain:/A"));
}

void TestBrowserDataSource::pathOfKeyLeadsToItsRow_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expectedPath"); // titles after the separator, "|" between them
    QTest::newRow("full key") << "State:/Network/Interface/eth0/IPv4"
                              << "State|Network|Interface|eth0|IPv4";
    QTest::newRow("key that goes on") << "State:/Network"
                                      << "State|Network";
    QTest::newRow("slash and colon in titles") << "A/B:/x:y/z"
                                               << "A/B|x:y|z";
    QTest::newRow("domain without colon") << "Bare"
                                          << "Bare";
    QTest::newRow("lone slash") << "Setup:/"
                                << "Setup|/";
    QTest::newRow("colon row") << "Setup:/:/Odd"
                               << "Setup|:|Odd";
    QTest::newRow("white space dropped") << " Other:/ Spaced"
                                         << "Other|Spaced";
    QTest::newRow("line break in a piece") << "State:/Line\nBreak"
                                           << "State|Line\nBreak";
}

void TestBrowserDataSource::pathOfKeyLeadsToItsRow()
{
    QFETCH(QString, key);
    QFETCH(QString, expectedPath);
    const QStringList keys{"A/B:/x:y/z",
                           "Bare",
                           " Other:/ Spaced",
                           "Setup:/",
                           "Setup:/:/Odd",
                           "State:/Line\nBreak",
                           "State:/Network",
                           "State:/Network/Global",
                           "State:/Network/Interface/eth0/IPv4"};
    QCOMPARE(kv::browser::BrowserDataSource::pathOfKey(key, Separator), path(expectedPath.split(u'|')));
    Fixture f(keys);
    f.controller.storeKeysList.sort();
    f.browser.loadColumnZero();
    QVERIFY(f.browser.setPath(kv::browser::BrowserDataSource::pathOfKey(key, Separator)));
    const int column = f.browser.selectedColumn();
    const kv::BranchNode &node = f.controller.storeTree.at(column).nodes.at(f.browser.selectedRowInColumn(column));
    QVERIFY(node.key);
    QCOMPARE(node.key->storeKey(), key);
}

void TestBrowserDataSource::rowsEditedInPlace_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("removed");
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<QStringList>("titles");
    // rows kept in place: added, left out; or grouped afresh
    QTest::addColumn<int>("rowsAdded");
    QTest::addColumn<int>("rowsDropped");
    QTest::addColumn<bool>("afresh");
    // "A" is named "A:" too, and sorts before "A-1:/x", which sorts before "A:/x".
    QTest::newRow("row keeps fewer keys") << QStringList{"A:/x", "B:/x", "B:/y", "C:/x"} << QStringList{"B:/x"}
                                          << QStringList{} << QStringList{"A", "B", "C"} << 0 << 0 << false;
    QTest::newRow("row left out") << QStringList{"A:/x", "B:/x", "C:/x"} << QStringList{"B:/x"} << QStringList{}
                                  << QStringList{"A", "C"} << 0 << 1 << false;
    QTest::newRow("rows left out together")
        << QStringList{"A:/x", "B:/x", "C:/x", "D:/x"} << QStringList{"B:/x", "C:/x"} << QStringList{}
        << QStringList{"A", "D"} << 0 << 2 << false;
    QTest::newRow("row of added keys") << QStringList{"A:/x", "C:/x"} << QStringList{} << QStringList{"B:/x", "B:/y"}
                                       << QStringList{"A", "B", "C"} << 1 << 0 << false;
    QTest::newRow("row replaced") << QStringList{"A:/x", "B:/x", "D:/x"} << QStringList{"B:/x"} << QStringList{"C:/x"}
                                  << QStringList{"A", "C", "D"} << 1 << 1 << false;
    QTest::newRow("added key joins the next row") << QStringList{"A:/x", "B:/y"} << QStringList{} << QStringList{"B:/x"}
                                                  << QStringList{"A", "B"} << 0 << 0 << false;
    QTest::newRow("two rows become one") << QStringList{"A", "A-1:/x", "A:/x"} << QStringList{"A-1:/x"} << QStringList{}
                                         << QStringList{"A"} << 0 << 0 << true;
    QTest::newRow("row split") << QStringList{"A", "A:/x"} << QStringList{} << QStringList{"A-1:/x"}
                               << QStringList{"A", "A-1", "A"} << 0 << 0 << true;
    QTest::newRow("added row beside a like-named one")
        << QStringList{"A", "B:/x"} << QStringList{"B:/x"} << QStringList{"A-1:/x"} << QStringList{"A", "A-1"} << 1 << 1
        << false;
}

void TestBrowserDataSource::rowsEditedInPlace()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, removed);
    QFETCH(QStringList, added);
    QFETCH(QStringList, titles);
    QFETCH(int, rowsAdded);
    QFETCH(int, rowsDropped);
    QFETCH(bool, afresh);

    QList<TreeBranch> tree;
    kv::browser::BrowserDataSource columns(keys, tree);
    columns.numberOfRowsInColumn(0, -1);
    std::vector<kv::SortedListEdit> edits;
    {
        kv::store::KeyListEdit edit(keys);
        for (const QString &key : removed)
            edit.remove(key);
        for (const QString &key : added)
            edit.insert(key);
        edits.push_back(edit.apply());
    }
    QCOMPARE(columns.applyKeyListEdits(edits), std::optional<bool>(true));

    // As a fresh load of the edited keys groups them: each row's title, key
    // and keys below.
    QList<TreeBranch> freshTree;
    kv::browser::BrowserDataSource(keys, freshTree).numberOfRowsInColumn(0, -1);
    const auto rows = [](const TreeBranch &branch) {
        QStringList text;
        for (const kv::BranchNode &node : branch.nodes) {
            text << kv::browser::BrowserDataSource::browserFormatString(node.name, 0) + u'|'
                        + (node.key ? node.key->storeKey() : QString());
            for (const auto &key : node.leaf ? *node.leaf : kv::DecomposedKeyList())
                text.last() += u'|' + key->storeKey();
        }
        return text;
    };
    QCOMPARE(rows(tree.at(0)), rows(freshTree.at(0)));
    QCOMPARE(tree.at(0).names, freshTree.at(0).names);
    QStringList shown;
    for (const QString &name : tree.at(0).names)
        shown << kv::browser::BrowserDataSource::browserFormatString(name, 0);
    QCOMPARE(shown, titles);
    QCOMPARE(columns.rowRunsRegrouped > 0, afresh);
    QCOMPARE(columns.keptRunRowsAdded, rowsAdded);
    QCOMPARE(columns.keptRunRowsDropped, rowsDropped);
}

QTEST_MAIN(TestBrowserDataSource)
#include "tst_browserdatasource.moc"
