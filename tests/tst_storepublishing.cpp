// Publishing into the store engine in any key order, and the list of every
// key (pattern ".*"): keys published in order go in at the end without a
// search, others in their place, with exactly the same store, change lists
// and values either way; the list of every key holds every key, with line
// ends, controls, astral characters and broken UTF-16 alike.

#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "tests/StoreTestSupport.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

using namespace kv;
using storetest::recordCallout;
using storetest::Recorder;

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

// Publishes a list of (key, value) pairs, in the order given, when started.
class OrderedSource : public StoreSource
{
public:
    explicit OrderedSource(QList<std::pair<QString, PropertyListValue>> entries) : m_entries(std::move(entries)) {}
    bool start(StoreEngine &engine, QString *) override
    {
        engine.beginBatch();
        for (const auto &[key, value] : std::as_const(m_entries))
            engine.setValue(key, value);
        engine.endBatch();
        return true;
    }

private:
    QList<std::pair<QString, PropertyListValue>> m_entries;
};

QStringList keysMatchedByExpression(const QStringList &keys, const QString &pattern)
{
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern),
                                        QRegularExpression::DotMatchesEverythingOption);
    QStringList matched;
    for (const QString &key : keys) {
        if (expression.match(key).hasMatch())
            matched.append(key);
    }
    return matched;
}

} // namespace

class TestStorePublishing : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StoreEngine> engine;

private Q_SLOTS:
    void init()
    {
        engine = std::make_unique<StoreEngine>();
        StoreEngine::setInstance(engine.get());
    }

    void cleanup()
    {
        StoreEngine::setInstance(nullptr);
        engine.reset();
    }

    void anyOrderMakesTheSameStore_data()
    {
        QTest::addColumn<QString>("order");
        QTest::newRow("ascending") << "ascending";
        QTest::newRow("descending") << "descending";
        QTest::newRow("shuffled") << "shuffled";
        QTest::newRow("ascending with repeats") << "repeats";
    }

    // The same keys and values published in different orders (and with a key
    // set twice, the second value winning) make the same store.
    void anyOrderMakesTheSameStore()
    {
        QFETCH(QString, order);
        QList<std::pair<QString, PropertyListValue>> entries;
        QStringList expectedKeys;
        for (int i = 0; i < 500; ++i) {
            const QString key = QStringLiteral("State:/Network/Service/%1/IPv4").arg(i, 4, 10, QLatin1Char('0'));
            entries.append({key, PropertyListValue::fromInteger(i)});
            expectedKeys.append(key);
        }
        // Keys that sort before and between the others, and differ in case only.
        for (const QString &key : {QStringLiteral("Setup:/"), QStringLiteral("state:/a"),
                                   QStringLiteral("State:/Network/Service/0100/IPv4x"), QStringLiteral("\u00e9"),
                                   QStringLiteral("\U0001F600"), QStringLiteral("A")}) {
            entries.append({key, str(key)});
            expectedKeys.append(key);
        }
        std::sort(expectedKeys.begin(), expectedKeys.end());
        if (order == QLatin1String("ascending") || order == QLatin1String("repeats"))
            std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        else if (order == QLatin1String("descending"))
            std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return b.first < a.first; });
        else
            std::shuffle(entries.begin(), entries.end(), *QRandomGenerator::global());
        if (order == QLatin1String("repeats")) {
            // The same key again right after itself, and again at the end with another value.
            entries.insert(10, entries[9]);
            entries.append({entries[3].first, str(QStringLiteral("last"))});
        }
        engine->addSource(std::make_unique<OrderedSource>(entries));
        Recorder recorder;
        auto store = storeCreate(QStringLiteral("Vaneview"), recordCallout, &recorder);
        QVERIFY(store);

        QCOMPARE(engine->keys(), expectedKeys);
        QCOMPARE(engine->keyCount(), qsizetype(expectedKeys.size()));
        PropertyListDictionary expected;
        for (const auto &[key, value] : std::as_const(entries))
            expected.insert(key, value); // the last value set wins
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(engine->value(it.key()), it.value());

        // Changing, keeping and adding keys afterwards reports exactly the real changes.
        const QStringList patterns{QStringLiteral(".*")};
        QVERIFY(storeSetNotificationKeys(store.get(), nullptr, &patterns));
        storeRunLoopAddSource(storeCreateRunLoopSource(store.get(), 0));
        engine->beginBatch();
        engine->setValue(expectedKeys.first(), engine->value(expectedKeys.first()));     // unchanged
        engine->setValue(expectedKeys.last(), str(QStringLiteral("changed")));           // changed, last key
        engine->setValue(expectedKeys[5], str(QStringLiteral("changed")));               // changed, inside
        engine->setValue(QStringLiteral("State:/Network/Service/0100/IPv"), str("new")); // new, inside
        engine->setValue(QStringLiteral("~"), str("new"));                               // new, at the end
        engine->setValue(QStringLiteral("!"), str("new"));                               // new, at the front
        engine->endBatch();
        QTRY_COMPARE(recorder.lists.size(), 1);
        QCOMPARE(recorder.lists.first(),
                 (QStringList{expectedKeys.last(), expectedKeys[5], QStringLiteral("State:/Network/Service/0100/IPv"),
                              QStringLiteral("~"), QStringLiteral("!")}));
        QStringList keysNow = expectedKeys;
        keysNow << QStringLiteral("State:/Network/Service/0100/IPv") << QStringLiteral("~") << QStringLiteral("!");
        std::sort(keysNow.begin(), keysNow.end());
        QCOMPARE(engine->keys(), keysNow);
        QCOMPARE(engine->value(expectedKeys[5]), str(QStringLiteral("changed")));
        QCOMPARE(engine->value(QStringLiteral("!")), str(QStringLiteral("new")));
    }

    void depthCapOnEveryShape_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<int>("depth");
        const QStringList shapes{QStringLiteral("arrays"), QStringLiteral("dictionaries"), QStringLiteral("mixed"),
                                 QStringLiteral("wide with a deep last branch")};
        for (const QString &shape : shapes) {
            for (int depth : {1, 2, 511, 512, 513, 600, 5000})
                QTest::addRow("%s, %d levels", qPrintable(shape), depth) << shape << depth;
        }
    }

    // A value is taken exactly when it nests at most MaximumDepth levels,
    // whatever its shape; a refused one is logged with its depth and leaves
    // the old value.
    void depthCapOnEveryShape()
    {
        QFETCH(QString, shape);
        QFETCH(int, depth);
        PropertyListValue value = str(QStringLiteral("leaf"));
        for (int level = 2; level <= depth; ++level) {
            if (shape == QLatin1String("arrays") || (shape == QLatin1String("mixed") && level % 2 == 0)) {
                value = PropertyListValue::fromArray({value});
            } else if (shape == QLatin1String("wide with a deep last branch")) {
                PropertyListArray siblings{str(QStringLiteral("a")), PropertyListValue::fromArray({}),
                                           PropertyListValue::fromDictionary({})};
                siblings.append(value);
                value = PropertyListValue::fromArray(siblings);
            } else {
                value = PropertyListValue::fromDictionary({{QStringLiteral("k%1").arg(level), value}});
            }
        }
        QCOMPARE(value.depth(), depth);
        const QString key = QStringLiteral("State:/Deep");
        engine->setValue(key, str(QStringLiteral("old")));
        SystemLogCapture log;
        engine->setValue(key, value);
        if (depth <= StoreEngine::MaximumDepth) {
            QCOMPARE(engine->value(key), value);
            QVERIFY(log.lines().isEmpty());
        } else {
            QCOMPARE(engine->value(key), str(QStringLiteral("old")));
            QCOMPARE(log.lines(),
                     QStringList{QStringLiteral("Store: refused the value of State:/Deep: nested %1 levels "
                                                "deep, more than 512; keeping the old value")
                                     .arg(depth)});
        }
    }

    void everyKeyListMatchesTheExpression_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::newRow("every key") << ".*";
        QTest::newRow("every key, spelt otherwise") << "(.*)";
        QTest::newRow("a prefix") << "State:.*";
    }

    // The key list of a pattern is the keys its whole-key expression matches,
    // "." matching line ends too; ".*" lists every key, also one that is not
    // valid UTF-16. A change to any listed key reaches a connection
    // registered with the same pattern.
    void everyKeyListMatchesTheExpression()
    {
        QFETCH(QString, pattern);
        const QStringList keys{
            QStringLiteral("State:/plain"),
            QStringLiteral("State:/line\nfeed"),
            QStringLiteral("State:/carriage\rreturn"),
            QStringLiteral("State:/both\r\n"),
            QStringLiteral("State:/tab\there"),
            QStringLiteral("State:/vertical\vtab"),
            QStringLiteral("State:/form\ffeed"),
            QString(QStringLiteral("State:/nul")) + QChar(0) + QStringLiteral("inside"),
            QStringLiteral("State:/escape\x1b"),
            QStringLiteral("State:/next line\u0085"),
            QStringLiteral("State:/line separator\u2028"),
            QStringLiteral("State:/paragraph separator\u2029"),
            QStringLiteral("State:/astral \U0001F600"),
            QStringLiteral("State:/lone high ") + QChar(0xD800),
            QStringLiteral("State:/lone low ") + QChar(0xDC00) + QStringLiteral("x"),
            QStringLiteral("State:/non-character \uFFFF"),
            QStringLiteral("Setup:/other"),
            QStringLiteral("\n"),
        };
        // Every sort of character at every place in the first 24.
        QStringList placed;
        for (const char16_t c : {u'\0', u'\n', u'\v', u'\f', u'\r', u'\x1f', u' ', u'\x7f', u'\x84', u'\x85', u'\x86',
                                 u'\u2028', u'\u2029', u'\xd800', u'\xdc00', u'\xffff'}) {
            for (int at = 0; at < 24; ++at) {
                QString key(24, u'k');
                key[at] = QChar(c);
                placed.append(key);
            }
        }
        QList<std::pair<QString, PropertyListValue>> entries;
        for (const QString &key : keys + placed)
            entries.append({key, str(QStringLiteral("v"))});
        engine->addSource(std::make_unique<OrderedSource>(entries));
        storetest::Recorder recorder;
        auto store = storeCreate(QStringLiteral("Vaneview"), storetest::recordCallout, &recorder);
        QVERIFY(store);
        QCOMPARE(engine->keyCount(), qsizetype(keys.size() + placed.size()));

        const std::optional<QStringList> listed = storeCopyKeyList(store.get(), pattern);
        QVERIFY(listed);
        if (pattern == QLatin1String(".*"))
            QCOMPARE(*listed, engine->keys());
        else
            QCOMPARE(*listed, keysMatchedByExpression(engine->keys(), pattern));
        for (const QString &key : {QStringLiteral("State:/line\nfeed"), QStringLiteral("State:/both\r\n"),
                                   QStringLiteral("State:/paragraph separator\u2029")})
            QVERIFY2(listed->contains(key), qPrintable(key));

        const QStringList patterns{pattern};
        QVERIFY(storeSetNotificationKeys(store.get(), nullptr, &patterns));
        storeRunLoopAddSource(storeCreateRunLoopSource(store.get(), 0));
        engine->beginBatch();
        for (const QString &key : *listed)
            engine->setValue(key, str(QStringLiteral("changed")));
        engine->endBatch();
        QTRY_COMPARE(recorder.lists.size(), 1);
        QCOMPARE(recorder.lists.first(), *listed);
    }

    void publishingADictionary_data()
    {
        QTest::addColumn<bool>("startsEmpty");
        QTest::addColumn<QString>("odd");  // an entry the engine refuses, if any
        QTest::addColumn<bool>("vouched"); // published as well-formed
        for (const bool empty : {true, false}) {
            const char *start = empty ? "into an empty engine" : "over earlier keys";
            QTest::addRow("%s", start) << empty << QString() << false;
            QTest::addRow("%s, with an empty key", start) << empty << "empty key" << false;
            QTest::addRow("%s, with a value nested too deep", start) << empty << "too deep" << false;
            QTest::addRow("%s, with a none value", start) << empty << "none" << false;
            QTest::addRow("%s, well-formed", start) << empty << QString() << true;
            QTest::addRow("%s, well-formed with an empty key", start) << empty << "empty key" << true;
        }
    }

    // A dictionary published at once makes the store, the change list and the
    // log lines that publishing its entries one by one in a batch makes. An
    // engine that takes the dictionary whole leaves it the publisher's: what
    // the engine changes later is not seen in it.
    void publishingADictionary()
    {
        QFETCH(bool, startsEmpty);
        QFETCH(QString, odd);
        QFETCH(bool, vouched);
        PropertyListDictionary contents;
        for (int i = 0; i < 300; ++i)
            contents.insert(QStringLiteral("State:/Network/Service/%1/IPv4").arg(i, 3, 10, QLatin1Char('0')),
                            PropertyListValue::fromInteger(i));
        if (odd == QLatin1String("empty key")) {
            contents.insert(QString(), str(QStringLiteral("nameless")));
        } else if (odd == QLatin1String("too deep")) {
            PropertyListValue deep = str(QStringLiteral("leaf"));
            for (int level = 2; level <= StoreEngine::MaximumDepth + 1; ++level)
                deep = PropertyListValue::fromArray({deep});
            contents.insert(QStringLiteral("State:/Network/Service/150/Deep"), deep);
        } else if (odd == QLatin1String("none")) {
            contents.insert(QStringLiteral("State:/Network/Service/010/IPv4"), PropertyListValue());
        }
        const PropertyListDictionary published = contents;

        struct Outcome
        {
            PropertyListDictionary store;
            QList<QStringList> lists;
            QStringList log;
        };
        const auto publish = [&](bool whole) {
            Outcome outcome;
            StoreEngine::setInstance(nullptr);
            engine = std::make_unique<StoreEngine>();
            StoreEngine::setInstance(engine.get());
            if (!startsEmpty) {
                engine->setValue(QStringLiteral("Setup:/Earlier"), str(QStringLiteral("kept")));
                engine->setValue(QStringLiteral("State:/Network/Service/007/IPv4"), PropertyListValue::fromInteger(7));
                engine->setValue(QStringLiteral("State:/Network/Service/008/IPv4"), str(QStringLiteral("old")));
            }
            Recorder recorder;
            auto store = storeCreate(QStringLiteral("Vaneview"), recordCallout, &recorder);
            const QStringList patterns{QStringLiteral(".*")};
            if (!store || !storeSetNotificationKeys(store.get(), nullptr, &patterns))
                return outcome;
            storeRunLoopAddSource(storeCreateRunLoopSource(store.get(), 0));
            SystemLogCapture log;
            if (whole) {
                engine->setValues(contents, vouched ? StoreEngine::Values::Wellformed : StoreEngine::Values::Unchecked);
            } else {
                engine->beginBatch();
                for (auto it = contents.cbegin(); it != contents.cend(); ++it)
                    engine->setValue(it.key(), it.value());
                engine->endBatch();
            }
            QTest::qWait(20);
            for (const QString &key : engine->keys())
                outcome.store.insert(key, engine->value(key));
            outcome.lists = recorder.lists;
            outcome.log = log.lines();
            return outcome;
        };
        const Outcome oneByOne = publish(false);
        const Outcome atOnce = publish(true);
        QCOMPARE(atOnce.lists.size(), 1);
        QCOMPARE(atOnce.lists, oneByOne.lists);
        QCOMPARE(atOnce.log, oneByOne.log);
        QCOMPARE(atOnce.store.keys(), oneByOne.store.keys());
        QVERIFY(atOnce.store == oneByOne.store);
        // The earlier key not in the dictionary stays; a none value sets nothing.
        QCOMPARE(atOnce.store.size(), 300 + (startsEmpty ? 0 : 1) - (odd == QLatin1String("none") ? 1 : 0));
        if (!startsEmpty) // only real changes: 007 was already 7
            QVERIFY(!atOnce.lists.first().contains(QStringLiteral("State:/Network/Service/007/IPv4")));

        // Later changes by the engine stay the engine's.
        engine->setValue(QStringLiteral("State:/Network/Service/000/IPv4"), str(QStringLiteral("changed")));
        engine->removeValue(QStringLiteral("State:/Network/Service/001/IPv4"));
        engine->setValue(QStringLiteral("State:/Added"), str(QStringLiteral("added")));
        QVERIFY(contents == published);
        QCOMPARE(contents.value(QStringLiteral("State:/Network/Service/000/IPv4")), PropertyListValue::fromInteger(0));
        QCOMPARE(engine->value(QStringLiteral("State:/Network/Service/000/IPv4")), str(QStringLiteral("changed")));
    }
};

QTEST_MAIN(TestStorePublishing)
#include "tst_storepublishing.moc"
