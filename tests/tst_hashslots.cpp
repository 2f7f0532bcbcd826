// The flat table of values by 64-bit hash: every key found with its value
// through growth and removal, against a map holding the same entries.

#include "platform/HashSlots.h"

#include <QtTest>

#include <map>

class TestHashSlots : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void holdsWhatAMapHolds_data();
    void holdsWhatAMapHolds();
};

void TestHashSlots::holdsWhatAMapHolds_data()
{
    QTest::addColumn<QList<quint64>>("keys");
    QList<quint64> sequential, random, highBits, lowBits;
    QRandomGenerator generator(20261210);
    for (quint64 i = 0; i < 3000; ++i) {
        sequential << i;
        random << generator.generate64();
        highBits << (i << 52); // differ only in the bits the slot is taken from
        lowBits << i * 4096;   // alike in the low bits
    }
    QTest::newRow("none") << QList<quint64>{};
    QTest::newRow("zero alone") << QList<quint64>{0};
    QTest::newRow("zero and all ones") << QList<quint64>{0, ~quint64(0), 1};
    QTest::newRow("sequential, from zero") << sequential;
    QTest::newRow("random") << random;
    QTest::newRow("alike in the low bits") << lowBits;
    QTest::newRow("alike but in the high bits") << highBits;
    QTest::newRow("each key twice") << sequential + sequential;
}

void TestHashSlots::holdsWhatAMapHolds()
{
    QFETCH(QList<quint64>, keys);
    kv::HashSlots<qint64> table;
    std::map<quint64, qint64> expected;
    const auto check = [&] {
        QCOMPARE(table.size(), qsizetype(expected.size()));
        QCOMPARE(table.isEmpty(), expected.empty());
        for (const auto &[key, value] : expected) {
            const qint64 *found = table.find(key);
            QVERIFY2(found, qPrintable(QString::number(key)));
            QCOMPARE(*found, value);
        }
    };

    for (qsizetype i = 0; i < keys.size(); ++i) {
        table.prefetch(keys.at(i));
        const auto [value, made] = table.findOrInsert(keys.at(i));
        QCOMPARE(made, expected.count(keys.at(i)) == 0);
        if (made)
            QCOMPARE(value, 0); // made from Value()
        value += i + 1;
        expected[keys.at(i)] += i + 1;
    }
    check();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!table.find(0x5eed5eed5eed5eedull));

    // Some keys dropped (the table is made again), each seen with its value;
    // then more.
    const auto dropFirst = [](quint64 key) { return ((key ^ (key >> 29) ^ (key >> 52)) & 1) != 0; };
    table.removeIf([&](quint64 key, qint64 value) {
        [&] { QCOMPARE(value, expected.at(key)); }();
        return dropFirst(key);
    });
    std::erase_if(expected, [&](const auto &entry) { return dropFirst(entry.first); });
    check();
    if (QTest::currentTestFailed())
        return;
    table.removeIf([](quint64 key, qint64) { return key % 3 == 0; });
    std::erase_if(expected, [](const auto &entry) { return entry.first % 3 == 0; });
    check();
    if (QTest::currentTestFailed())
        return;
    // What was dropped can come back.
    for (const quint64 key : keys) {
        QCOMPARE(table.findOrInsert(key).second, expected.count(key) == 0);
        expected.emplace(key, 0);
    }
    check();
    if (QTest::currentTestFailed())
        return;
    table.clear();
    QCOMPARE(table.size(), 0);
    for (const quint64 key : keys)
        QVERIFY(!table.find(key));
}

QTEST_MAIN(TestHashSlots)
#include "tst_hashslots.moc"
