// Where the store has been changing: which browser rows carry the activity
// mark, how it fades, and the window's browser drawing it as changes arrive.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "app/RecentActivity.h"
#include "browser/RecentChanges.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"

#include <QtTest>

using kv::browser::RecentChanges;

namespace {

// The row titled `title` in column `column`, following `path` (a title per
// column before it) from the keys' column 0.
const kv::BranchNode *rowOf(const kv::DecomposedKeyList &keys, const QStringList &path, const QString &title,
                            std::vector<kv::TreeBranch> *kept)
{
    const kv::DecomposedKeyList *input = &keys;
    for (int column = 0; column <= path.size(); ++column) {
        kept->push_back(kv::buildTreeBranchForColumn(column, input));
        const kv::TreeBranch &branch = kept->back();
        const QString wanted = column < path.size() ? path.at(column) : title;
        const qsizetype row = branch.names.indexOf(wanted);
        if (row < 0)
            return nullptr;
        if (column == path.size())
            return &branch.nodes.at(row);
        input = branch.nodes.at(row).leaf.get();
        if (!input)
            return nullptr;
    }
    return nullptr;
}

} // namespace

class TestRecentChanges : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rowActivity_data();
    void rowActivity();
    void oneListMarksEveryRow_data();
    void oneListMarksEveryRow();
    void forgetsWhatIsNoLongerRecent();
    void windowMarksRowsAsChangesArrive();
};

void TestRecentChanges::rowActivity_data()
{
    QTest::addColumn<QStringList>("changed"); // keys changed at time 1000
    QTest::addColumn<QStringList>("path");    // row names before the row asked about
    QTest::addColumn<QString>("row");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qreal>("activity");

    const QStringList eth0 = {"State:/Network/Interface/eth0/IPv4"};
    const QStringList network = {"State:", "/Network"};
    QTest::newRow("domain of the change") << eth0 << QStringList() << "State:" << qint64(1000) << qreal(1);
    QTest::newRow("other domain") << eth0 << QStringList() << "Setup:" << qint64(1000) << qreal(0);
    QTest::newRow("row on the way") << eth0 << network << "/Interface" << qint64(1000) << qreal(1);
    QTest::newRow("sibling row") << eth0 << network << "/Services" << qint64(1000) << qreal(0);
    QTest::newRow("name that only begins alike")
        << QStringList{"State:/Network2/X"} << QStringList{"State:"} << "/Network" << qint64(1000) << qreal(0);
    QTest::newRow("the changed key's own row")
        << eth0 << QStringList{"State:", "/Network", "/Interface", "/eth0"} << "/IPv4" << qint64(1000) << qreal(1);
    QTest::newRow("halfway through") << eth0 << QStringList() << "State:" << qint64(6000) << qreal(0.5);
    QTest::newRow("span over") << eth0 << QStringList() << "State:" << qint64(11000) << qreal(0);
    QTest::newRow("latest of two changes counts")
        << QStringList{"State:/Network/Interface/eth0/IPv4", "State:/Network/Interface/eth1/IPv4"} << network
        << "/Interface" << qint64(6000) << qreal(0.75);
    QTest::newRow("key with a value and keys below it")
        << QStringList{"State:/Network"} << QStringList{"State:"} << "/Network" << qint64(1000) << qreal(1);
}

void TestRecentChanges::rowActivity()
{
    QFETCH(QStringList, changed);
    QFETCH(QStringList, path);
    QFETCH(QString, row);
    QFETCH(qint64, now);
    QFETCH(qreal, activity);

    // The store's keys: the changed ones and their neighbours.
    QStringList keys = changed
                       + QStringList{"Setup:/System",
                                     "State:/Network/Services/1",
                                     "State:/Network/Interface/eth0/IPv4",
                                     "State:/Network/Interface/eth9/IPv6",
                                     "State:/Network2/X",
                                     "State:/Network"};
    keys.sort();
    keys.removeDuplicates();
    const kv::DecomposedKeyList list = kv::decomposedStrings(keys);

    RecentChanges recent;
    // The second of two changes (when there are two) came later.
    recent.noteChanged(changed.mid(0, 1), 1000);
    if (changed.size() > 1)
        recent.noteChanged(changed.mid(1), 1000 + RecentChanges::Span / 4);
    std::vector<kv::TreeBranch> kept;
    kept.reserve(8);
    const kv::BranchNode *node = rowOf(list, path, row, &kept);
    QVERIFY2(node, qPrintable(row));
    QCOMPARE(recent.activity(*node, int(path.size()), now), activity);
}

void TestRecentChanges::oneListMarksEveryRow_data()
{
    // Keys changed in one list, beginning alike or not: every row on the way
    // to each is marked, and no other.
    QTest::addColumn<QStringList>("changed");
    QTest::addColumn<QStringList>("marked"); // rows, as paths of titles
    QTest::addColumn<QStringList>("unmarked");
    QTest::newRow("siblings") << QStringList{"State:/A/B", "State:/A/C"}
                              << QStringList{"State:", "State:|/A", "State:|/A|/B", "State:|/A|/C"}
                              << QStringList{"State:|/A|/D"};
    QTest::newRow("a shorter key after a longer one")
        << QStringList{"State:/A/B/C", "State:/A", "State:/D"}
        << QStringList{"State:|/A", "State:|/A|/B|/C", "State:|/D"} << QStringList{"State:|/A|/D"};
    QTest::newRow("the same text after another row")
        << QStringList{"State:/A/B", "State:/B/B"} << QStringList{"State:|/A|/B", "State:|/B|/B"}
        << QStringList{"State:|/A|/D"};
    QTest::newRow("another domain, the same path")
        << QStringList{"State:/A/B", "Setup:/A/B"} << QStringList{"Setup:|/A|/B", "State:|/A|/B"}
        << QStringList{"State:|/A|/D"};
    QTest::newRow("white space dropped after a slash")
        << QStringList{"State:/A/B", "State:/ A/C"} << QStringList{"State:|/A|/B", "State:|/A|/C"}
        << QStringList{"State:|/A|/D"};
    QTest::newRow("a key met twice") << QStringList{"State:/A/B", "State:/A/B", "State:/A/C"}
                                     << QStringList{"State:|/A|/B", "State:|/A|/C"} << QStringList{"State:|/A|/D"};
}

void TestRecentChanges::oneListMarksEveryRow()
{
    QFETCH(QStringList, changed);
    QFETCH(QStringList, marked);
    QFETCH(QStringList, unmarked);
    QStringList keys = changed + QStringList{"State:/A/D", "State:/A/B/C", "Setup:/A/B", "State:/A/C", "State:/D"};
    keys.sort();
    keys.removeDuplicates();
    const kv::DecomposedKeyList list = kv::decomposedStrings(keys);
    // In the list's order or taken from the last back: the same rows.
    std::vector<qsizetype> backwards;
    for (qsizetype i = changed.size(); i-- > 0;)
        backwards.push_back(i);
    for (const std::vector<qsizetype> &order : {std::vector<qsizetype>(), backwards}) {
        RecentChanges recent;
        recent.noteChanged(changed, 1000, order);
        for (const bool marks : {true, false}) {
            for (const QString &row : marks ? marked : unmarked) {
                QStringList path = row.split(u'|');
                const QString title = path.takeLast();
                std::vector<kv::TreeBranch> kept;
                kept.reserve(8);
                const kv::BranchNode *node = rowOf(list, path, title, &kept);
                QVERIFY2(node, qPrintable(row));
                QVERIFY2(recent.activity(*node, int(path.size()), 1000) == (marks ? 1 : 0), qPrintable(row));
            }
        }
    }
}

void TestRecentChanges::forgetsWhatIsNoLongerRecent()
{
    RecentChanges recent;
    recent.noteChanged({"State:/A/B", "Setup:/C"}, 0);
    recent.noteChanged({"State:/A/D"}, 4000);
    QCOMPARE(recent.rowsNoted(), 6); // State:, /A, /B, /D; Setup:, /C
    recent.forgetOlderThanSpan(RecentChanges::Span + 1);
    QCOMPARE(recent.rowsNoted(), 3); // State:, /A and /D changed at 4000
    QVERIFY(recent.isActive(RecentChanges::Span + 1));
    recent.forgetOlderThanSpan(4000 + RecentChanges::Span);
    QCOMPARE(recent.rowsNoted(), 0);
    QVERIFY(!recent.isActive(4000 + RecentChanges::Span));
}

void TestRecentChanges::windowMarksRowsAsChangesArrive()
{
    kv::StoreEngine engine;
    const kv::StoreEngine::Installation installation(engine);
    engine.setValue("State:/Network/Interface/eth0/IPv4", kv::PropertyListValue::fromInteger(1));
    engine.setValue("State:/Network/Interface/eth1/IPv4", kv::PropertyListValue::fromInteger(1));
    engine.setValue("Setup:/System", kv::PropertyListValue::fromInteger(1));
    KVNController controller;
    auto ui = kv::app::loadMainInterface(&controller);
    qint64 now = 50000;
    ui->recentActivity.reset(); // the window's own, on a clock of its own
    ui->recentActivity =
        std::make_unique<kv::app::RecentActivity>(&controller, controller.kvnBrowser, [&now] { return now; });
    controller.awakeFromNib();
    QVERIFY(controller.selectKey("State:/Network/Interface/eth0/IPv4"));
    kv::ui::ColumnBrowser *browser = controller.kvnBrowser;
    const auto activityOf = [&](const QString &title, int column) {
        for (int row = 0; row < browser->numberOfRowsInColumn(column); ++row) {
            if (browser->titleOfRow(row, column) == title)
                return browser->rowActivity(row, column);
        }
        return qreal(-1);
    };
    QCOMPARE(activityOf("State", 0), qreal(0)); // loading is no change

    engine.setValue("State:/Network/Interface/eth1/IPv4", kv::PropertyListValue::fromInteger(2));
    QTRY_COMPARE(activityOf("eth1", 3), qreal(1));
    QCOMPARE(activityOf("State", 0), qreal(1));
    QCOMPARE(activityOf("eth0", 3), qreal(0));
    QCOMPARE(activityOf("Setup", 0), qreal(0));
    QVERIFY(ui->recentActivity->isRedrawing());

    now += RecentChanges::Span / 2;
    QCOMPARE(activityOf("eth1", 3), qreal(0.5));
    now += RecentChanges::Span;
    ui->recentActivity->redraw();
    QCOMPARE(activityOf("eth1", 3), qreal(0));
    QVERIFY(!ui->recentActivity->isRedrawing());
    QCOMPARE(ui->recentActivity->changes().rowsNoted(), 0);
}

QTEST_MAIN(TestRecentChanges)
#include "tst_recentchanges.moc"
