// Building one browser column from a list of decomposed keys.

#include "browser/ColumnTree.h"

#include <QTest>

using kv::BranchNode;
using kv::DecomposedKeyList;
using kv::DecomposedKeyPtr;
using kv::TreeBranch;

namespace {

DecomposedKeyList decompose(const QStringList &keys)
{
    return kv::decomposedStrings(keys);
}

// The store keys of a LEAF list, in order ("-" when there is none).
QString leafKeys(const BranchNode &node)
{
    if (!node.leaf)
        return QStringLiteral("-");
    QStringList keys;
    for (const DecomposedKeyPtr &key : *node.leaf)
        keys.append(key->storeKey());
    return keys.join(QLatin1Char(','));
}

QString keyOf(const BranchNode &node)
{
    return node.key ? node.key->storeKey() : QStringLiteral("-");
}

// Checks the branch invariants: one node per name, node names equal to names,
// no empty name, every node with KEY or LEAF.
void checkInvariants(const TreeBranch &branch)
{
    QCOMPARE(branch.nodes.size(), branch.names.size());
    for (int r = 0; r < branch.names.size(); ++r) {
        QCOMPARE(branch.nodes.at(r).name, branch.names.at(r));
        QVERIFY(!branch.names.at(r).isEmpty());
        QVERIFY(branch.nodes.at(r).key || branch.nodes.at(r).leaf);
        if (branch.nodes.at(r).leaf)
            QVERIFY(!branch.nodes.at(r).leaf->empty());
    }
}

} // namespace

class TestColumnTree : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void workedExample_data();
    void workedExample();
    void edgeCases_data();
    void edgeCases();
    void absentInputHasNoRows();
    void emptyInputHasNoRows();
    void keysAreSharedNotCopied();
    void lastKeyEndingInRowWins();
    void emptyDecomposedKeysGetNoRow();
    void negativeColumnHasNoRows();
};

void TestColumnTree::workedExample_data()
{
    // Sorted keys Domain:/A, Domain:/A/B, Domain:/A/D, Domain:/E, Other:/F.
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("path"); // names to follow from column 0 to reach `column`
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("keys");   // per row: store key of KEY, "-" if none
    QTest::addColumn<QStringList>("leaves"); // per row: store keys of LEAF, "-" if none

    QTest::newRow("column 0") << 0 << QStringList{} << QStringList{"Domain:", "Other:"} << QStringList{"-", "-"}
                              << QStringList{"Domain:/A,Domain:/A/B,Domain:/A/D,Domain:/E", "Other:/F"};
    QTest::newRow("column 1, row Domain:")
        << 1 << QStringList{"Domain:"} << QStringList{"/A", "/E"} << QStringList{"Domain:/A", "Domain:/E"}
        << QStringList{"Domain:/A/B,Domain:/A/D", "-"};
    QTest::newRow("column 2, row /A") << 2 << QStringList{"Domain:", "/A"} << QStringList{"/B", "/D"}
                                      << QStringList{"Domain:/A/B", "Domain:/A/D"} << QStringList{"-", "-"};
    QTest::newRow("column 1, row Other:")
        << 1 << QStringList{"Other:"} << QStringList{"/F"} << QStringList{"Other:/F"} << QStringList{"-"};
}

void TestColumnTree::workedExample()
{
    QFETCH(int, column);
    QFETCH(QStringList, path);
    QFETCH(QStringList, names);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, leaves);

    const DecomposedKeyList all = decompose({"Domain:/A", "Domain:/A/B", "Domain:/A/D", "Domain:/E", "Other:/F"});
    // Walk down from column 0 the way the browser does: each deeper column is
    // built from the LEAF list of the selected row.
    const DecomposedKeyList *input = &all;
    TreeBranch branch = kv::buildTreeBranchForColumn(0, input);
    std::shared_ptr<DecomposedKeyList> holder;
    for (int c = 0; c < path.size(); ++c) {
        const int row = branch.names.indexOf(path.at(c));
        QVERIFY(row >= 0);
        holder = branch.nodes.at(row).leaf;
        QVERIFY(holder);
        branch = kv::buildTreeBranchForColumn(c + 1, holder.get());
    }
    checkInvariants(branch);
    QCOMPARE(branch.names, names);
    QStringList gotKeys, gotLeaves;
    for (const BranchNode &node : branch.nodes) {
        gotKeys.append(keyOf(node));
        gotLeaves.append(leafKeys(node));
    }
    QCOMPARE(gotKeys, keys);
    QCOMPARE(gotLeaves, leaves);
    Q_UNUSED(column);
}

void TestColumnTree::edgeCases_data()
{
    QTest::addColumn<QStringList>("input"); // store keys, in this order
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("leaves");

    QTest::newRow("prefix at a slash: KEY and LEAF")
        << QStringList{"Domain:/A", "Domain:/A/B"} << 1 << QStringList{"/A"} << QStringList{"Domain:/A"}
        << QStringList{"Domain:/A/B"};
    QTest::newRow("domain-only key: KEY, no LEAF")
        << QStringList{"Domain:", "Other"} << 0 << QStringList{"Domain:", "Other:"} << QStringList{"Domain:", "Other"}
        << QStringList{"-", "-"};
    QTest::newRow("domain-only key below which others continue")
        << QStringList{"Domain:", "Domain:/A"} << 0 << QStringList{"Domain:"} << QStringList{"Domain:"}
        << QStringList{"Domain:/A"};
    QTest::newRow("non-consecutive equal names give separate rows")
        << QStringList{"Domain:/A", "Domain:/A-1", "Domain:/A/B"} << 1 << QStringList{"/A", "/A-1", "/A"}
        << QStringList{"Domain:/A", "Domain:/A-1", "-"} << QStringList{"-", "-", "Domain:/A/B"};
    QTest::newRow("equal components share a row, later is KEY")
        << QStringList{"Domain:/A", "Domain:/ A"} << 1 << QStringList{"/A"} << QStringList{"Domain:/ A"}
        << QStringList{"-"};
    QTest::newRow("names /A and A are different rows")
        << QStringList{"Domain:/A", "Domain:A"} << 1 << QStringList{"/A", "A"} << QStringList{"Domain:/A", "Domain:A"}
        << QStringList{"-", "-"};
    QTest::newRow("domain with and without colon in the key share a row")
        << QStringList{"A/B", "A/B:/x"} << 0 << QStringList{"A/B:"} << QStringList{"A/B"} << QStringList{"A/B:/x"};
    QTest::newRow("lone slash rows") << QStringList{"D:/", "D://A", "D:/A/"} << 1 << QStringList{"/", "/A"}
                                     << QStringList{"D:/", "-"} << QStringList{"D://A", "D:/A/"};
    QTest::newRow("case-different names are separate rows")
        << QStringList{"D:/a", "D:/A"} << 1 << QStringList{"/a", "/A"} << QStringList{"D:/a", "D:/A"}
        << QStringList{"-", "-"};
}

void TestColumnTree::edgeCases()
{
    QFETCH(QStringList, input);
    QFETCH(int, column);
    QFETCH(QStringList, names);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, leaves);

    const DecomposedKeyList list = decompose(input);
    const TreeBranch branch = kv::buildTreeBranchForColumn(column, &list);
    checkInvariants(branch);
    QCOMPARE(branch.names, names);
    QStringList gotKeys, gotLeaves;
    for (const BranchNode &node : branch.nodes) {
        gotKeys.append(keyOf(node));
        gotLeaves.append(leafKeys(node));
    }
    QCOMPARE(gotKeys, keys);
    QCOMPARE(gotLeaves, leaves);
}

void TestColumnTree::absentInputHasNoRows()
{
    const TreeBranch branch = kv::buildTreeBranchForColumn(3, nullptr);
    QVERIFY(branch.names.isEmpty());
    QVERIFY(branch.nodes.isEmpty());
}

void TestColumnTree::emptyInputHasNoRows()
{
    const DecomposedKeyList none;
    const TreeBranch branch = kv::buildTreeBranchForColumn(0, &none);
    QVERIFY(branch.names.isEmpty());
    QVERIFY(branch.nodes.isEmpty());
}

void TestColumnTree::keysAreSharedNotCopied()
{
    const DecomposedKeyList list = decompose({"Domain:/A", "Domain:/A/B", "Domain:/E"});
    const TreeBranch zero = kv::buildTreeBranchForColumn(0, &list);
    QCOMPARE(zero.nodes.size(), 1);
    const auto &leaf = *zero.nodes.at(0).leaf;
    QCOMPARE(leaf.size(), size_t(3));
    for (size_t i = 0; i < leaf.size(); ++i)
        QCOMPARE(leaf[i].get(), list[i].get());

    const TreeBranch one = kv::buildTreeBranchForColumn(1, zero.nodes.at(0).leaf.get());
    QCOMPARE(one.nodes.at(0).key.get(), list[0].get());
    QCOMPARE(one.nodes.at(0).leaf->at(0).get(), list[1].get());
    QCOMPARE(one.nodes.at(1).key.get(), list[2].get());
    // Input list, column 0's LEAF and column 1's KEY hold the same object.
    QCOMPARE(list[0].referenceCount(), 3);
}

void TestColumnTree::lastKeyEndingInRowWins()
{
    const DecomposedKeyList list = decompose({"D:/x", "D:/ x", "D:/\tx", "D:/x/y"});
    const TreeBranch branch = kv::buildTreeBranchForColumn(1, &list);
    QCOMPARE(branch.names, QStringList{"/x"});
    QCOMPARE(branch.nodes.at(0).key.get(), list[2].get());
    QCOMPARE(leafKeys(branch.nodes.at(0)), QStringLiteral("D:/x/y"));
}

void TestColumnTree::emptyDecomposedKeysGetNoRow()
{
    // Empty, blank and ":"-led keys cannot be placed in column 0; the other
    // keys are grouped as if those were not in the list.
    const DecomposedKeyList list = decompose({"", "  ", ":A/B", "Domain:/A", "\t", "Domain:/B", ":", "Other:/C"});
    QCOMPARE(list.size(), size_t(8));
    const TreeBranch branch = kv::buildTreeBranchForColumn(0, &list);
    checkInvariants(branch);
    QCOMPARE(branch.names, (QStringList{"Domain:", "Other:"}));
    QCOMPARE(leafKeys(branch.nodes.at(0)), QStringLiteral("Domain:/A,Domain:/B"));
    QCOMPARE(leafKeys(branch.nodes.at(1)), QStringLiteral("Other:/C"));

    // Only unplaceable keys: zero rows.
    const DecomposedKeyList onlyEmpty = decompose({"", ":x"});
    QVERIFY(kv::buildTreeBranchForColumn(0, &onlyEmpty).names.isEmpty());

    // A key too short for a deeper column is left out there too.
    const DecomposedKeyList mixed = decompose({"D:", "D:/a"});
    const TreeBranch one = kv::buildTreeBranchForColumn(1, &mixed);
    QCOMPARE(one.names, QStringList{"/a"});
    QCOMPARE(keyOf(one.nodes.at(0)), QStringLiteral("D:/a"));
}

void TestColumnTree::negativeColumnHasNoRows()
{
    const DecomposedKeyList list = decompose({"D:/a"});
    QVERIFY(kv::buildTreeBranchForColumn(-1, &list).names.isEmpty());
}

QTEST_MAIN(TestColumnTree)
#include "tst_columntree.moc"
