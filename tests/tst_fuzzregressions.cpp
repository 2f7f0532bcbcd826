// Inputs found by the fuzz harnesses (fuzz/), fed to the real code. Each one
// once stopped a harness; the behaviour checked here is the one settled on.

#include "fuzz/FuzzSupport.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using kv::PropertyListValue;

namespace {

QByteArray regressionInput(const char *name)
{
    QFile file(QStringLiteral(KEYVANE_SOURCE_DIR "/fuzz/regressions/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every date inside `value`.
void collectDates(const PropertyListValue &value, QList<QDateTime> *dates)
{
    if (value.kind() == PropertyListValue::Kind::Date)
        dates->append(value.date());
    if (value.isArray()) {
        for (const PropertyListValue &item : value.array())
            collectDates(item, dates);
    }
    if (value.isDictionary()) {
        for (const PropertyListValue &item : value.dictionary())
            collectDates(item, dates);
    }
}

} // namespace

class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void characterXmlCannotCarry();
    void dateWithFractionOfASecond();
    void snapshotRewrittenWithAnEmptyKey();
};

// A binary list whose dictionary key holds U+0000: read, but refused for XML
// export with the reason, and no file is left behind.
void TestFuzzRegressions::characterXmlCannotCarry()
{
    const QByteArray input = regressionInput("binary-nul-in-key.bplist");
    QVERIFY(!input.isEmpty());
    QString error;
    const PropertyListValue value = kv::readPropertyList(input, &error);
    QVERIFY2(!value.isNone(), qPrintable(error));

    QString writeError;
    QVERIFY(kv::writePropertyListXml(value, &writeError).isEmpty());
    QVERIFY2(writeError.contains(QStringLiteral("U+0000")), qPrintable(writeError));

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("export.plist"));
    QString fileError;
    QVERIFY(!kv::writePropertyListFile(path, value, &fileError));
    QVERIFY2(fileError.contains(QStringLiteral("U+0000")), qPrintable(fileError));
    QVERIFY(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

// A binary list with a date carrying milliseconds: XML dates are whole
// seconds, so the XML export reads back with the date cut to the second and
// everything else equal.
void TestFuzzRegressions::dateWithFractionOfASecond()
{
    const QByteArray input = regressionInput("binary-date-fraction.bplist");
    QVERIFY(!input.isEmpty());
    QString error;
    const PropertyListValue value = kv::readPropertyList(input, &error);
    QVERIFY2(!value.isNone(), qPrintable(error));
    QList<QDateTime> dates;
    collectDates(value, &dates);
    QVERIFY(std::any_of(dates.cbegin(), dates.cend(), [](const QDateTime &d) { return d.time().msec() != 0; }));

    const QByteArray xml = kv::writePropertyListXml(value, &error);
    QVERIFY2(!xml.isEmpty(), qPrintable(error));
    const PropertyListValue again = kv::readPropertyList(xml, &error);
    QVERIFY2(!again.isNone(), qPrintable(error));
    QVERIFY(!(again == value));
    QVERIFY(again == fuzz::asXmlCarriesIt(value));
    QList<QDateTime> readBack;
    collectDates(again, &readBack);
    QCOMPARE(readBack.size(), dates.size());
    for (qsizetype i = 0; i < dates.size(); ++i)
        QCOMPARE(readBack.at(i).toSecsSinceEpoch(), dates.at(i).toSecsSinceEpoch());
}

// A snapshot rewritten into one with an empty key (the input holds the two
// files, the first two bytes giving the first one's length): the store serves
// every other key of the new file and refuses the empty one with a log line.
void TestFuzzRegressions::snapshotRewrittenWithAnEmptyKey()
{
    const QByteArray input = regressionInput("snapshot-empty-key.pair");
    QVERIFY(input.size() > 2);
    const qsizetype split = qsizetype(uchar(input.at(0))) | qsizetype(uchar(input.at(1))) << 8;
    const QByteArray first = input.mid(2, split);
    const QByteArray second = input.mid(2 + split);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("snapshot.plist"));
    auto writeFile = [&](const QByteArray &bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    };
    QVERIFY(writeFile(first));
    kv::StoreEngine engine;
    kv::SnapshotSource source(path);
    QString error;
    QVERIFY2(source.start(engine, &error), qPrintable(error));
    QCOMPARE(engine.keyCount(), 11);

    kv::SystemLogCapture log;
    QVERIFY(writeFile(second));
    source.reload();
    kv::PropertyListDictionary expected;
    QVERIFY2(kv::SnapshotSource::readSnapshot(path, &expected, &error), qPrintable(error));
    QVERIFY(expected.contains(QString()));
    expected.remove(QString());
    QCOMPARE(engine.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(engine.value(it.key()) == it.value(), qPrintable(it.key()));
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().contains(QStringLiteral("empty key")), qPrintable(log.lines().first()));
}

QTEST_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
