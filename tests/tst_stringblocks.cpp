// StringBlocks: strings made in shared blocks are ordinary QStrings that
// outlive their maker and each other, and a change to one never shows in
// another (AddressSanitizer watches the block's bounds and lifetime).

#include "platform/StringBlocks.h"

#include <QTest>

#include <cstring>

class TestStringBlocks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stringsOutliveTheirBlocks_data();
    void stringsOutliveTheirBlocks();
    void changingOneLeavesTheOthers();
};

namespace {

QString text(int i, qsizetype length)
{
    QString s = QStringLiteral("Key%1/").arg(i);
    while (s.size() < length)
        s += QChar(char16_t(u'a' + (s.size() + i) % 26));
    return s.left(length);
}

QList<QString> makeStrings(int count, qsizetype length)
{
    kv::StringBlocks blocks;
    QList<QString> made;
    for (int i = 0; i < count; ++i) {
        const QString wanted = text(i, length);
        made.append(blocks.make(
            length, [&](char16_t *out) { std::memcpy(out, wanted.utf16(), size_t(length) * sizeof(char16_t)); }));
    }
    return made;
}

} // namespace

void TestStringBlocks::stringsOutliveTheirBlocks_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<qsizetype>("length");
    QTest::newRow("empty strings") << 3 << qsizetype(0);
    QTest::newRow("many blocks of short strings") << 5000 << qsizetype(43);
    QTest::newRow("a string filling a block's last place") << 400 << qsizetype(9);
    QTest::newRow("strings too long for a block") << 3 << qsizetype(kv::StringBlocks::BlockCharacters);
}

void TestStringBlocks::stringsOutliveTheirBlocks()
{
    QFETCH(int, count);
    QFETCH(qsizetype, length);
    QList<QString> made = makeStrings(count, length);
    // Every other string goes: the blocks stay for the rest.
    for (int i = count - 1; i >= 0; --i) {
        if (i % 2)
            made.removeAt(i);
    }
    for (qsizetype j = 0; j < made.size(); ++j) {
        const int i = int(2 * j);
        QCOMPARE(made[j], text(i, length));
        // Terminated where the string ends, as QString::utf16() promises.
        QCOMPARE(made[j].utf16()[length], u'\0');
    }
}

void TestStringBlocks::changingOneLeavesTheOthers()
{
    QList<QString> made = makeStrings(4, 10);
    QString first = made[0];
    made[0].clear();
    first.append(QStringLiteral("-longer")); // shares the block: copied out
    made[1].replace(0, 3, QStringLiteral("Yek"));
    made[2].truncate(2);
    QCOMPARE(first, text(0, 10) + QStringLiteral("-longer"));
    QCOMPARE(made[1], QStringLiteral("Yek") + text(1, 10).mid(3));
    QCOMPARE(made[2], text(2, 2));
    QCOMPARE(made[3], text(3, 10));

    // The last string of its block may grow in place.
    QString last = makeStrings(1, 10).constFirst();
    last.append(QStringLiteral("+tail"));
    QCOMPARE(last, text(0, 10) + QStringLiteral("+tail"));
}

QTEST_MAIN(TestStringBlocks)
#include "tst_stringblocks.moc"
