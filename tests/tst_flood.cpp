// A flood of changes (100,000 per minute into a 10,000-key store) through the
// real controller and main interface, shown offscreen, for about 5 seconds:
// no change is lost, column zero equals one built afresh, the console stays
// near its 20,000 characters, the event loop keeps answering. The figures
// are printed; the soak version is benchmarks/bench_flood.

#include "benchmarks/FloodDriver.h"

#include <QTest>

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAddressSanitizer = true;
#else
constexpr bool UnderAddressSanitizer = false;
#endif

class TestFlood : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void flood_data();
    void flood();
};

void TestFlood::flood_data()
{
    QTest::addColumn<int>("initialKeys");
    QTest::addColumn<int>("changesPerMinute");
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("100,000 changes per minute into 10,000 keys") << 10000 << 100000 << 5000;
    QTest::newRow("from an empty store") << 0 << 100000 << 1500;
}

void TestFlood::flood()
{
    QFETCH(int, initialKeys);
    QFETCH(int, changesPerMinute);
    QFETCH(int, milliseconds);
    flood::Driver driver(initialKeys, changesPerMinute);
    const flood::Figures f = driver.run(milliseconds);

    qInfo("%.1f s, %lld changes in %lld lists, %lld keys at the end; worst event-loop gap %.1f ms (mean %.1f ms); "
          "console %lld..%lld characters, %lld at the end; resident %.1f -> %.1f MB",
          f.seconds, qlonglong(f.changesPublished), qlonglong(f.changeLists), qlonglong(f.keysAtEnd), f.worstGapMs,
          f.meanGapMs, qlonglong(f.consoleMin), qlonglong(f.consoleMax), qlonglong(f.consoleEnd),
          f.residentStart / 1048576.0, f.residentEnd / 1048576.0);

    // The flood really ran, at about the rate asked for.
    QVERIFY(f.changesPublished >= qint64(changesPerMinute) * milliseconds / 60000 / 2);
    QVERIFY(f.changeLists > 10);
    // No change lost.
    QVERIFY(f.keyListMatches);
    QVERIFY(f.columnZeroMatches);
    QCOMPARE(driver.controller().storeKeysList.size(), driver.engine().keyCount());
    // The selection made before the flood is kept (its two pieces stay: the
    // flood adds and removes whole keys under fresh identifiers, and the
    // selected path leads to many of them).
    if (initialKeys > 0) {
        QVERIFY(!driver.selectedPath().isEmpty());
        QCOMPARE(f.pathAtEnd, driver.selectedPath());
    }
    // The console keeps about its last 20,000 characters.
    QVERIFY2(f.consoleMax <= 25000, qPrintable(QString::number(f.consoleMax)));
    QVERIFY2(f.consoleEnd >= 10000, qPrintable(QString::number(f.consoleEnd)));
    // The window answers (generous: the tests also run under ASan on shared machines).
    QVERIFY2(f.worstGapMs < 5000, qPrintable(QString::number(f.worstGapMs)));
    // Memory stays flat (ASan holds freed memory in quarantine, so not checked there).
    if (!UnderAddressSanitizer)
        QVERIFY2(f.residentEnd - f.residentStart < 64 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 -> %2").arg(f.residentStart).arg(f.residentEnd)));
}

QTEST_MAIN(TestFlood)
#include "tst_flood.moc"
