// The change history: its bounds (changes and value bytes, oldest dropped
// first and counted), values shared between changes counted once, change
// lists, and saving as JSON lines.

#include "history/ChangeHistory.h"
#include "history/JsonValue.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(kv::PropertyListValue)

using namespace kv;
using namespace kv::history;

namespace {

const QDateTime someTime(QDate(2026, 12, 8), QTime(16, 19, 6, 526), Qt::UTC);

// Texts of a given length, told apart by their first letter.
QString text(QChar letter, int length)
{
    return QString(letter) + QString(length - 1, QLatin1Char('.'));
}

} // namespace

class TestChangeHistory : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bounds_data()
    {
        QTest::addColumn<qsizetype>("maximumEntries");
        QTest::addColumn<qint64>("maximumBytes");
        QTest::addColumn<QStringList>("operations"); // "set KEY TEXT", "remove KEY", "notify KEY"
        QTest::addColumn<QStringList>("keptKeys");
        QTest::addColumn<QStringList>("heldTexts"); // the distinct values the kept changes hold
        const qint64 plenty = qint64(1) << 40;
        const QString a = text('a', 1000), b = text('b', 1000), c = text('c', 1000), d = text('d', 1000);
        QTest::newRow("within the bounds") << qsizetype(10) << plenty << QStringList{"set K " + a, "set L " + b}
                                           << QStringList{"K", "L"} << QStringList{a, b};
        QTest::newRow("too many changes")
            << qsizetype(2) << plenty << QStringList{"set K " + a, "set L " + b, "set M " + c} << QStringList{"L", "M"}
            << QStringList{b, c};
        QTest::newRow("updates share their values")
            << qsizetype(10) << plenty << QStringList{"set K " + a, "set K " + b, "set K " + c}
            << QStringList{"K", "K", "K"} << QStringList{a, b, c};
        QTest::newRow("a dropped change's new value stays counted")
            << qsizetype(2) << plenty << QStringList{"set K " + a, "set K " + b, "set K " + c} << QStringList{"K", "K"}
            << QStringList{a, b, c};
        QTest::newRow("dropped twice over a notification")
            << qsizetype(1) << plenty << QStringList{"set K " + a, "notify K", "notify K", "set K " + b}
            << QStringList{"K"} << QStringList{a, b};
        QTest::newRow("a notification holds its value once")
            << qsizetype(10) << plenty << QStringList{"notify Q", "set K " + a, "notify K"}
            << QStringList{"Q", "K", "K"} << QStringList{"q", a};
        // Its old value is no longer held by the dropped change: counted again.
        QTest::newRow("a dropped key changed again")
            << qsizetype(2) << plenty << QStringList{"set K " + a, "set L " + b, "set M " + c, "set K " + d}
            << QStringList{"M", "K"} << QStringList{c, a, d};
        QTest::newRow("removal") << qsizetype(10) << plenty << QStringList{"set K " + a, "remove K"}
                                 << QStringList{"K", "K"} << QStringList{a};
        QTest::newRow("too many bytes") << qsizetype(100) << 3 * estimatedValueBytes(PropertyListValue::fromString(a))
                                        << QStringList{"set K " + a, "set L " + b, "set M " + c, "set N " + d}
                                        << QStringList{"L", "M", "N"} << QStringList{b, c, d};
        QTest::newRow("the newest change is kept, however large")
            << qsizetype(100) << qint64(10) << QStringList{"set K " + a, "set L " + b} << QStringList{"L"}
            << QStringList{b};
    }

    void bounds()
    {
        QFETCH(qsizetype, maximumEntries);
        QFETCH(qint64, maximumBytes);
        QFETCH(QStringList, operations);
        QFETCH(QStringList, keptKeys);
        QFETCH(QStringList, heldTexts);
        PropertyListDictionary store{{QStringLiteral("Q"), PropertyListValue::fromString(QStringLiteral("q"))}};
        ChangeHistory history(maximumEntries, maximumBytes);
        for (const QString &operation : operations) {
            const QStringList words = operation.split(QLatin1Char(' '));
            const QString &key = words.at(1);
            const PropertyListValue old = store.value(key);
            PropertyListValue now = old;
            if (words.first() == QLatin1String("set"))
                now = PropertyListValue::fromString(words.at(2));
            else if (words.first() == QLatin1String("remove"))
                now = {};
            store.insert(key, now);
            history.append(someTime, key, old, now);
        }
        QStringList kept;
        for (qsizetype i = 0; i < history.count(); ++i)
            kept.append(history.at(i).key);
        QCOMPARE(kept, keptKeys);
        QCOMPARE(history.droppedCount(), qint64(operations.size() - keptKeys.size()));
        qint64 bytes = 0;
        for (const QString &held : heldTexts)
            bytes += estimatedValueBytes(PropertyListValue::fromString(held));
        QCOMPARE(history.valueBytes(), bytes);

        history.clear();
        QCOMPARE(history.count(), 0);
        QCOMPARE(history.valueBytes(), 0);
        QCOMPARE(history.droppedCount(), 0);
    }

    // The keys of dropped changes are let go of: a stream of new keys
    // through a small history leaves it knowing a bounded number of them.
    void droppedKeysAreLetGo()
    {
        ChangeHistory history(100);
        for (int i = 0; i < 50000; ++i)
            history.append(someTime, QString::number(i), {}, PropertyListValue::fromInteger(i));
        QCOMPARE(history.count(), 100);
        QVERIFY2(history.keysKnown() <= 2 * 1024, qPrintable(QString::number(history.keysKnown())));
    }

    void estimate_data()
    {
        QTest::addColumn<int>("extra"); // characters or bytes added
        QTest::addColumn<bool>("dictionary");
        QTest::newRow("string") << 100 << false;
        QTest::newRow("dictionary key") << 100 << true;
    }

    // Text counts at two bytes a character, wherever it is.
    void estimate()
    {
        QFETCH(int, extra);
        QFETCH(bool, dictionary);
        auto make = [dictionary](const QString &s) {
            return dictionary ? PropertyListValue::fromDictionary({{s, PropertyListValue::fromBoolean(true)}})
                              : PropertyListValue::fromString(s);
        };
        const qint64 small = estimatedValueBytes(make(QStringLiteral("x")));
        const qint64 large = estimatedValueBytes(make(QStringLiteral("x") + QString(extra, QLatin1Char('y'))));
        QCOMPARE(large - small, 2 * extra);
        QVERIFY(small > 0);
    }

    void changeList_data()
    {
        QTest::addColumn<int>("groups");
        QTest::newRow("short list") << 1;
        QTest::newRow("long list, found by hash") << 40;
    }

    // Each key of a change list gets its old and new value, in the list's
    // order; a key in neither dictionary (added and removed again) is kept
    // with none for both.
    void changeList()
    {
        QFETCH(int, groups);
        PropertyListDictionary previous;
        PropertyListDictionary current;
        QStringList keys;
        for (int g = 0; g < groups; ++g) {
            const QString n = QString::number(g);
            previous.insert("Gone" + n, PropertyListValue::fromInteger(1));
            previous.insert("Kept" + n, PropertyListValue::fromInteger(2));
            current.insert("Kept" + n, PropertyListValue::fromInteger(3));
            current.insert("New" + n, PropertyListValue::fromInteger(4));
            keys << "New" + n << "Gone" + n << "Kept" + n;
        }
        keys << QStringLiteral("Flicker");
        QList<StoreChange> changes;
        for (const QString &key : std::as_const(keys))
            changes.append({key, previous.value(key), current.value(key)});
        ChangeHistory history(keys.size(), 1 << 30);
        history.appendChangeList(someTime.toOffsetFromUtc(3600), changes);
        QCOMPARE(history.count(), keys.size());
        const QList<ChangeKind> kinds{ChangeKind::Added, ChangeKind::Removed, ChangeKind::Updated};
        for (qsizetype i = 0; i < history.count(); ++i) {
            QCOMPARE(history.at(i).key, keys.at(i));
            QCOMPARE(history.at(i).time, someTime);
            QCOMPARE(history.at(i).time.timeSpec(), Qt::UTC);
            QCOMPARE(history.at(i).oldValue, previous.value(keys.at(i)));
            QCOMPARE(history.at(i).newValue, current.value(keys.at(i)));
            if (i + 1 < history.count())
                QCOMPARE(history.at(i).kind, kinds.at(i % 3));
        }
        QVERIFY(history.at(keys.size() - 1).oldValue.isNone());
        QVERIFY(history.at(keys.size() - 1).newValue.isNone());
        QCOMPARE(history.at(2).oldValue.integer(), 2);
        QCOMPARE(history.at(2).newValue.integer(), 3);
    }

    void jsonLine_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<PropertyListValue>("oldValue");
        QTest::addColumn<PropertyListValue>("newValue");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("updated") << "State:/A" << PropertyListValue::fromInteger(1)
                                 << PropertyListValue::fromString("x")
                                 << QByteArray("{\"time\": \"2026-12-08T16:19:06.526+00:00\", \"kind\": \"updated\", "
                                               "\"key\": \"State:/A\", \"old\": 1, \"new\": \"x\"}");
        QTest::newRow("added, key escaped")
            << "State:/\"B\"\n"
            << PropertyListValue() << PropertyListValue::fromBoolean(true)
            << QByteArray("{\"time\": \"2026-12-08T16:19:06.526+00:00\", \"kind\": \"added\", "
                          "\"key\": \"State:/\\\"B\\\"\\n\", \"old\": null, \"new\": true}");
        QTest::newRow("removed") << "C" << PropertyListValue::fromArray({}) << PropertyListValue()
                                 << QByteArray("{\"time\": \"2026-12-08T16:19:06.526+00:00\", \"kind\": \"removed\", "
                                               "\"key\": \"C\", \"old\": [], \"new\": null}");
    }

    void jsonLine()
    {
        QFETCH(QString, key);
        QFETCH(PropertyListValue, oldValue);
        QFETCH(PropertyListValue, newValue);
        QFETCH(QByteArray, line);
        ChangeHistory history;
        history.append(someTime, key, oldValue, newValue);
        QCOMPARE(changeJsonLine(history.at(0)), line);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("history.jsonl"));
        QString error;
        QVERIFY2(writeHistoryJsonLines(path, history, &error), qPrintable(error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), line + '\n');
    }

    void saveFails_data()
    {
        QTest::addColumn<QString>("where"); // below the temporary folder
        QTest::newRow("folder missing") << "missing/history.jsonl";
        QTest::newRow("a folder") << "";
    }

    void saveFails()
    {
        QFETCH(QString, where);
        QTemporaryDir dir;
        const QString path = where.isEmpty() ? dir.path() : dir.filePath(where);
        ChangeHistory history;
        history.append(someTime, "K", {}, PropertyListValue::fromInteger(1));
        QString error;
        QVERIFY(!writeHistoryJsonLines(path, history, &error));
        QVERIFY2(error.startsWith(QStringLiteral("cannot write \"%1\": ").arg(path)), qPrintable(error));
        QVERIFY(error.size() > path.size() + 17);
    }
};

QTEST_MAIN(TestChangeHistory)
#include "tst_changehistory.moc"
