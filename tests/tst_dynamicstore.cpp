// The store engine: connections, notification keys and patterns, copying,
// change lists (coalescing, order, batches, delivery from the event loop
// only), errors and the depth cap.

#include "app/StoreSources.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <type_traits>

using namespace kv;

namespace {

// Records each change list a connection receives.
struct Recorder
{
    QList<QStringList> lists;
    QList<StoreConnection *> stores;
    // Set while a store call of the test is running, to catch a delivery from
    // inside a store call.
    bool insideStoreCall = false;
    bool deliveredInsideStoreCall = false;
    // Optional action run from the callout.
    std::function<void(StoreConnection *)> onDelivery;
};

void recordCallout(StoreConnection *store, const QStringList *changedKeys, void *context)
{
    auto *recorder = static_cast<Recorder *>(context);
    if (recorder->insideStoreCall)
        recorder->deliveredInsideStoreCall = true;
    recorder->lists.append(changedKeys ? *changedKeys : QStringList());
    recorder->stores.append(store);
    if (recorder->onDelivery)
        recorder->onDelivery(store);
}

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

PropertyListValue nested(int depth)
{
    PropertyListValue value = PropertyListValue::fromInteger(1);
    for (int i = 1; i < depth; ++i)
        value = PropertyListValue::fromArray({value});
    return value;
}

// A source that publishes fixed contents, or fails with a reason.
class FixedSource : public StoreSource
{
public:
    FixedSource(PropertyListDictionary contents, QString failure = QString(), int *starts = nullptr)
        : m_contents(std::move(contents)), m_failure(std::move(failure)), m_starts(starts)
    {}
    bool start(StoreEngine &engine, QString *error) override
    {
        if (m_starts)
            ++*m_starts;
        if (!m_failure.isEmpty()) {
            *error = m_failure;
            return false;
        }
        for (auto it = m_contents.cbegin(); it != m_contents.cend(); ++it)
            engine.setValue(it.key(), it.value());
        return true;
    }

private:
    PropertyListDictionary m_contents;
    QString m_failure;
    int *m_starts;
};

// The store has no write operation on a connection: only the engine writes.
template<typename T>
concept HasSetValue = requires(T t)
{
    t.setValue(QString(), PropertyListValue());
};
static_assert(!HasSetValue<StoreConnection>, "a connection must not be able to write");
static_assert(HasSetValue<StoreEngine>);

} // namespace

class TestDynamicStore : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StoreEngine> engine;

    // Opens a connection registered for `keys`/`patterns` with its run-loop source attached.
    std::unique_ptr<StoreConnection> open(Recorder *recorder, const QStringList &keys = {},
                                          const QStringList &patterns = {QStringLiteral(".*")}, bool attach = true)
    {
        auto store = storeCreate(QStringLiteral("Vaneview"), recordCallout, recorder);
        if (!store)
            return store;
        if (!storeSetNotificationKeys(store.get(), &keys, &patterns))
            return nullptr;
        if (attach) {
            auto source = storeCreateRunLoopSource(store.get(), 0);
            if (!source)
                return nullptr;
            storeRunLoopAddSource(source);
        }
        return store;
    }

private Q_SLOTS:
    void init()
    {
        engine = std::make_unique<StoreEngine>();
        StoreEngine::setInstance(engine.get());
        engine->setValue(QStringLiteral("State:/Network/Global/IPv4"), str(QStringLiteral("global")));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth0/IPv4"), str(QStringLiteral("eth0-v4")));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth0/IPv6"), str(QStringLiteral("eth0-v6")));
        engine->setValue(QStringLiteral("State:/Network/Interface/lo/IPv4"), str(QStringLiteral("lo-v4")));
        engine->setValue(QStringLiteral("Setup:/System"), str(QStringLiteral("system")));
        QCoreApplication::processEvents(); // nothing is connected yet: nothing to deliver
    }

    void cleanup()
    {
        StoreEngine::setInstance(nullptr);
        engine.reset();
    }

    void openAndName()
    {
        Recorder recorder;
        auto store = open(&recorder);
        QVERIFY(store);
        QCOMPARE(store->name(), QStringLiteral("Vaneview"));
        QCOMPARE(storeError(), int(StoreOK));
        QCOMPARE(storeDomainPrefs, QStringLiteral("Prefs:"));
    }

    void keyListPatterns_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QStringList>("expected");
        const QStringList all{"Setup:/System", "State:/Network/Global/IPv4", "State:/Network/Interface/eth0/IPv4",
                              "State:/Network/Interface/eth0/IPv6", "State:/Network/Interface/lo/IPv4"};
        QTest::newRow("everything") << ".*" << all;
        QTest::newRow("interfaces") << "State:/Network/Interface/[^/]+/IPv4"
                                    << QStringList{"State:/Network/Interface/eth0/IPv4",
                                                   "State:/Network/Interface/lo/IPv4"};
        // The pattern must match the whole key, not a part of it.
        QTest::newRow("part is not enough") << "IPv4" << QStringList{};
        QTest::newRow("prefix is not enough") << "State:/Network" << QStringList{};
        QTest::newRow("exact key") << "Setup:/System" << QStringList{"Setup:/System"};
        QTest::newRow("alternation anchored as a whole")
            << "Setup:/System|State:/Network/Global/IPv4" << QStringList{"Setup:/System", "State:/Network/Global/IPv4"};
        QTest::newRow("case-sensitive") << "setup:/system" << QStringList{};
        QTest::newRow("no match") << "Prefs:.*" << QStringList{};
    }

    void keyListPatterns()
    {
        QFETCH(QString, pattern);
        QFETCH(QStringList, expected);
        Recorder recorder;
        auto store = open(&recorder);
        QVERIFY(store);
        const auto keys = storeCopyKeyList(store.get(), pattern);
        QVERIFY(keys.has_value());
        QCOMPARE(*keys, expected);
    }

    void keyListIsSorted()
    {
        engine->setValue(QStringLiteral("B"), str("b"));
        engine->setValue(QStringLiteral("a"), str("a"));
        engine->setValue(QStringLiteral("A"), str("A"));
        Recorder recorder;
        auto store = open(&recorder);
        const auto keys = storeCopyKeyList(store.get(), QStringLiteral(".*"));
        QVERIFY(keys);
        QStringList sorted = *keys;
        std::sort(sorted.begin(), sorted.end(), storeKeyLessThan);
        QCOMPARE(*keys, sorted);
        QCOMPARE(keys->first(), QStringLiteral("A")); // upper case before lower case
        QCOMPARE(keys->last(), QStringLiteral("a"));
    }

    void invalidPatternFails()
    {
        Recorder recorder;
        auto store = open(&recorder);
        QVERIFY(!storeCopyKeyList(store.get(), QStringLiteral("State:/(")).has_value());
        QCOMPARE(storeError(), int(StoreInvalidArgument));
        QVERIFY(storeErrorString(storeError()).contains(QStringLiteral("State:/(")));

        const QStringList keys;
        const QStringList bad{QStringLiteral(".*"), QStringLiteral("[unclosed")};
        QVERIFY(!storeSetNotificationKeys(store.get(), &keys, &bad));
        QCOMPARE(storeError(), int(StoreInvalidArgument));
        QVERIFY(!storeCopyMultiple(store.get(), &keys, &bad).has_value());

        // The failed call left the earlier registration (".*") in place.
        engine->setValue(QStringLiteral("Setup:/System"), str("changed"));
        QTRY_COMPARE(recorder.lists.size(), 1);
        QCOMPARE(recorder.lists.first(), QStringList{"Setup:/System"});
    }

    void copyValue()
    {
        Recorder recorder;
        auto store = open(&recorder);
        QCOMPARE(storeCopyValue(store.get(), QStringLiteral("Setup:/System")), str("system"));
        QCOMPARE(storeError(), int(StoreOK));
        QVERIFY(storeCopyValue(store.get(), QStringLiteral("Setup:/Missing")).isNone());
        QCOMPARE(storeError(), int(StoreNoKey));
    }

    void copyMultiple_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("patterns");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("keys, missing left out")
            << QStringList{"Setup:/System", "Setup:/Missing", "State:/Network/Global/IPv4"} << QStringList{}
            << QStringList{"Setup:/System", "State:/Network/Global/IPv4"};
        QTest::newRow("only missing") << QStringList{"Nope", "Neither"} << QStringList{} << QStringList{};
        QTest::newRow("pattern") << QStringList{} << QStringList{"State:/Network/Interface/eth0/.*"}
                                 << QStringList{"State:/Network/Interface/eth0/IPv4",
                                                "State:/Network/Interface/eth0/IPv6"};
        QTest::newRow("keys and patterns overlap")
            << QStringList{"Setup:/System", "State:/Network/Interface/lo/IPv4"}
            << QStringList{"State:/Network/Interface/.*/IPv4"}
            << QStringList{"Setup:/System", "State:/Network/Interface/eth0/IPv4", "State:/Network/Interface/lo/IPv4"};
        QTest::newRow("pattern matches whole keys only") << QStringList{} << QStringList{"eth0"} << QStringList{};
    }

    void copyMultiple()
    {
        QFETCH(QStringList, keys);
        QFETCH(QStringList, patterns);
        QFETCH(QStringList, expected);
        Recorder recorder;
        auto store = open(&recorder);
        const auto result = storeCopyMultiple(store.get(), &keys, &patterns);
        QVERIFY(result.has_value());
        QCOMPARE(result->keys(), expected);
        for (const QString &key : expected)
            QCOMPARE(result->value(key), engine->value(key));
    }

    void nullConnectionFails()
    {
        const QStringList keys{QStringLiteral("Setup:/System")};
        QVERIFY(!storeCopyKeyList(nullptr, QStringLiteral(".*")).has_value());
        QCOMPARE(storeError(), int(StoreNoConnection));
        QVERIFY(storeCopyValue(nullptr, keys.first()).isNone());
        QCOMPARE(storeError(), int(StoreNoConnection));
        QVERIFY(!storeCopyMultiple(nullptr, &keys, nullptr).has_value());
        QCOMPARE(storeError(), int(StoreNoConnection));
        QVERIFY(!storeSetNotificationKeys(nullptr, &keys, nullptr));
        QCOMPARE(storeError(), int(StoreNoConnection));
        QVERIFY(!storeCreateRunLoopSource(nullptr, 0));
        QCOMPARE(storeError(), int(StoreNoConnection));
        QVERIFY(!storeErrorString(StoreNoConnection).isEmpty());
    }

    void changeListCoalescesInFirstChangeOrder()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->setValue(QStringLiteral("Z"), str("1"));
        engine->setValue(QStringLiteral("A"), str("1"));
        engine->setValue(QStringLiteral("Z"), str("2"));
        engine->setValue(QStringLiteral("M"), str("1"));
        engine->removeValue(QStringLiteral("A"));
        engine->notifyValue(QStringLiteral("Setup:/System"));
        engine->setValue(QStringLiteral("Z"), str("3"));
        QVERIFY(recorder.lists.isEmpty()); // never synchronously
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists.size(), 1);
        QCOMPARE(recorder.lists.first(), (QStringList{"Z", "A", "M", "Setup:/System"}));
        QCOMPARE(recorder.stores.first(), store.get());
        // Since the last delivery only.
        engine->setValue(QStringLiteral("M"), str("2"));
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists.size(), 2);
        QCOMPARE(recorder.lists.last(), QStringList{"M"});
    }

    void valuesAfterADelivery_data()
    {
        QTest::addColumn<QStringList>("operations");
        const auto ops = [](const char *text) { return QString::fromLatin1(text).split(QLatin1Char(',')); };
        QTest::newRow("set in one batch, then set again") << ops("batch,set A=1,set B=2,end,deliver,set A=3,deliver");
        QTest::newRow("set twice before a delivery") << ops("set A=1,set A=2,deliver");
        QTest::newRow("removed before a delivery") << ops("set A=1,remove A,deliver");
        QTest::newRow("removed after a delivery") << ops("set A=1,deliver,remove A,deliver");
        QTest::newRow("removed and set again") << ops("remove A,set A=5,deliver,set B=6");
        QTest::newRow("set again while not watched") << ops("set A=1,watch State:/B,set A=2,watch .*,deliver,set B=3");
        QTest::newRow("only other keys delivered") << ops("set B=1,deliver,set C=2");
    }

    // What a client reads when it is told of a change list, also after a
    // change made from its callout, and at any time after, is what the engine
    // holds then.
    void valuesAfterADelivery()
    {
        QFETCH(QStringList, operations);
        const QStringList keys{QStringLiteral("State:/A"), QStringLiteral("State:/B"), QStringLiteral("State:/C")};
        engine->setValue(keys.at(0), str(QStringLiteral("0")));
        engine->setValue(keys.at(2), str(QStringLiteral("0")));
        const auto held = [&] {
            PropertyListDictionary values;
            for (const QString &key : keys) {
                if (engine->contains(key))
                    values.insert(key, engine->value(key));
            }
            return values;
        };
        Recorder recorder;
        int readInCallout = 0;
        // The values of the list delivered, asked for with that list itself.
        const auto heldOfDelivered = [&] {
            PropertyListDictionary values;
            for (const QString &key : recorder.lists.last()) {
                if (engine->contains(key))
                    values.insert(key, engine->value(key));
            }
            return values;
        };
        recorder.onDelivery = [&](StoreConnection *store) {
            QCOMPARE(storeCopyMultiple(store, &keys, nullptr), std::optional(held()));
            QCOMPARE(storeCopyMultiple(store, &recorder.lists.last(), nullptr), std::optional(heldOfDelivered()));
            for (const QString &key : recorder.lists.last())
                engine->setValue(key, str(QStringLiteral("from the callout")));
            QCOMPARE(storeCopyMultiple(store, &keys, nullptr), std::optional(held()));
            QCOMPARE(storeCopyMultiple(store, &recorder.lists.last(), nullptr), std::optional(heldOfDelivered()));
            ++readInCallout;
        };
        auto store = open(&recorder);
        QCoreApplication::processEvents();
        for (const QString &operation : operations) {
            const QString argument = operation.section(QLatin1Char(' '), 1);
            if (operation == QLatin1String("batch")) {
                engine->beginBatch();
            } else if (operation == QLatin1String("end")) {
                engine->endBatch();
            } else if (operation == QLatin1String("deliver")) {
                QCoreApplication::processEvents();
            } else if (operation.startsWith(QLatin1String("watch "))) {
                const QStringList patterns{argument};
                QVERIFY(storeSetNotificationKeys(store.get(), nullptr, &patterns));
            } else if (operation.startsWith(QLatin1String("set "))) {
                engine->setValue(QStringLiteral("State:/") + argument.section(QLatin1Char('='), 0, 0),
                                 str(argument.section(QLatin1Char('='), 1)));
            } else if (operation.startsWith(QLatin1String("remove "))) {
                engine->removeValue(QStringLiteral("State:/") + argument);
            }
            QVERIFY2(storeCopyMultiple(store.get(), &keys, nullptr) == std::optional(held()), qPrintable(operation));
        }
        QVERIFY(readInCallout >= operations.count(QStringLiteral("deliver")));
    }

    // Each delivered key's value before its first change in the list: the
    // very value the store held (shared, not copied); a key that did not
    // exist before is absent.
    void previousValues_data()
    {
        QTest::addColumn<QStringList>("operations"); // "set KEY=TEXT", "remove KEY", "notify KEY"
        QTest::addColumn<QStringList>("delivered");
        QTest::addColumn<QStringList>("before"); // delivered keys that existed before the list
        QTest::addColumn<QStringList>("same");   // of those, the ones holding their old value again
        const QString global = QStringLiteral("State:/Network/Global/IPv4");
        const QString system = QStringLiteral("Setup:/System");
        QTest::newRow("updated") << QStringList{"set " + global + "=new"} << QStringList{global} << QStringList{global}
                                 << QStringList{};
        QTest::newRow("added") << QStringList{"set New=1"} << QStringList{"New"} << QStringList{} << QStringList{};
        QTest::newRow("removed") << QStringList{"remove " + system} << QStringList{system} << QStringList{system}
                                 << QStringList{};
        QTest::newRow("updated twice: the first old value")
            << QStringList{"set " + global + "=a", "set " + global + "=b"} << QStringList{global} << QStringList{global}
            << QStringList{};
        QTest::newRow("added and removed again")
            << QStringList{"set New=1", "remove New"} << QStringList{"New"} << QStringList{} << QStringList{};
        QTest::newRow("removed and added back") << QStringList{"remove " + system, "set " + system + "=system"}
                                                << QStringList{system} << QStringList{system} << QStringList{system};
        QTest::newRow("notified") << QStringList{"notify " + system} << QStringList{system} << QStringList{system}
                                  << QStringList{system};
        QTest::newRow("several, in a batch")
            << QStringList{"batch", "set New=1", "remove " + system, "set " + global + "=x", "end"}
            << QStringList{"New", system, global} << QStringList{system, global} << QStringList{};
        QTest::newRow("unchanged set is no change") << QStringList{"set " + system + "=system", "set New=1"}
                                                    << QStringList{"New"} << QStringList{} << QStringList{};
    }

    void previousValues()
    {
        QFETCH(QStringList, operations);
        QFETCH(QStringList, delivered);
        QFETCH(QStringList, before);
        QFETCH(QStringList, same);
        PropertyListDictionary initial;
        for (const QString &key : engine->keys())
            initial.insert(key, engine->value(key));

        Recorder recorder;
        QList<PropertyListDictionary> previous;
        QList<PropertyListDictionary> current;
        recorder.onDelivery = [&](StoreConnection *store) {
            const std::optional<PropertyListDictionary> old = storeCopyPreviousValues(store);
            QVERIFY(old);
            previous.append(*old);
            PropertyListDictionary now;
            for (const QString &key : recorder.lists.last())
                now.insert(key, storeCopyValue(store, key));
            current.append(now);
            // The same values, one change per key in the list's order.
            const std::optional<QList<StoreChange>> changes = storeCopyChanges(store);
            QVERIFY(changes);
            QCOMPARE(changes->size(), recorder.lists.last().size());
            for (qsizetype i = 0; i < changes->size(); ++i) {
                const StoreChange &change = changes->at(i);
                QCOMPARE(change.key, recorder.lists.last().at(i));
                QVERIFY(change.previous.identity() == old->value(change.key).identity());
                QVERIFY(change.current.identity() == now.value(change.key).identity());
            }
        };
        auto store = open(&recorder);
        for (const QString &operation : operations) {
            const QString argument = operation.section(QLatin1Char(' '), 1);
            if (operation == QLatin1String("batch"))
                engine->beginBatch();
            else if (operation == QLatin1String("end"))
                engine->endBatch();
            else if (operation.startsWith(QLatin1String("set ")))
                engine->setValue(argument.section(QLatin1Char('='), 0, 0), str(argument.section(QLatin1Char('='), 1)));
            else if (operation.startsWith(QLatin1String("remove ")))
                engine->removeValue(argument);
            else if (operation.startsWith(QLatin1String("notify ")))
                engine->notifyValue(argument);
        }
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists, QList<QStringList>{delivered});
        QCOMPARE(previous.size(), 1);
        QCOMPARE(previous.first().keys(), [&] {
            QStringList sorted = before;
            std::sort(sorted.begin(), sorted.end());
            return sorted;
        }());
        for (auto it = previous.first().cbegin(); it != previous.first().cend(); ++it) {
            QVERIFY2(it.value().identity() == initial.value(it.key()).identity(), qPrintable(it.key()));
            QCOMPARE(current.first().value(it.key()) == it.value(), same.contains(it.key()));
        }

        // Outside the callout there is nothing; the next list has only its own.
        QCOMPARE(storeCopyPreviousValues(store.get()), std::optional(PropertyListDictionary()));
        QCOMPARE(storeCopyChanges(store.get())->size(), 0);
        engine->setValue(QStringLiteral("Later"), str("1"));
        QCoreApplication::processEvents();
        QCOMPARE(previous.size(), 2);
        QVERIFY(previous.last().isEmpty());
        QVERIFY(!storeCopyPreviousValues(nullptr));
        QVERIFY(!storeCopyChanges(nullptr));
    }

    void deliveredFromEventLoopOnly()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->setValue(QStringLiteral("Setup:/System"), str("new"));
        // Store calls made before the event loop runs deliver nothing.
        recorder.insideStoreCall = true;
        QVERIFY(storeCopyKeyList(store.get(), QStringLiteral(".*")));
        QCOMPARE(storeCopyValue(store.get(), QStringLiteral("Setup:/System")), str("new"));
        const QStringList all{QStringLiteral(".*")};
        QVERIFY(storeSetNotificationKeys(store.get(), nullptr, &all));
        recorder.insideStoreCall = false;
        QVERIFY(recorder.lists.isEmpty());
        QTest::qWait(10);
        QCOMPARE(recorder.lists.size(), 1);
        QVERIFY(!recorder.deliveredInsideStoreCall);
    }

    void batchArrivesAsOneList()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->beginBatch();
        engine->setValue(QStringLiteral("One"), str("1"));
        engine->beginBatch(); // batches nest
        engine->setValue(QStringLiteral("Two"), str("2"));
        engine->endBatch();
        // The event loop runs in the middle of the batch: nothing arrives yet.
        QCoreApplication::processEvents();
        QTest::qWait(5);
        QVERIFY(recorder.lists.isEmpty());
        engine->setValue(QStringLiteral("Three"), str("3"));
        engine->removeValue(QStringLiteral("Setup:/System"));
        engine->endBatch();
        QVERIFY(recorder.lists.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists.size(), 1);
        QCOMPARE(recorder.lists.first(), (QStringList{"One", "Two", "Three", "Setup:/System"}));
        // An extra endBatch does no harm.
        engine->endBatch();
        engine->setValue(QStringLiteral("Four"), str("4"));
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists.size(), 2);
    }

    void unchangedSetReportsNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("same text") << QStringLiteral("system");
        QTest::newRow("same text, built apart") << (QStringLiteral("sys") + QStringLiteral("tem"));
    }

    void unchangedSetReportsNothing()
    {
        QFETCH(QString, text);
        const PropertyListValue value = str(text);
        Recorder recorder;
        auto store = open(&recorder);
        engine->setValue(QStringLiteral("Setup:/System"), value);
        engine->removeValue(QStringLiteral("No:/Such/Key")); // missing: nothing to report
        QTest::qWait(10);
        QVERIFY(recorder.lists.isEmpty());
        // An integer and a real of the same number are different values.
        engine->setValue(QStringLiteral("N"), PropertyListValue::fromInteger(1));
        QTest::qWait(1);
        engine->setValue(QStringLiteral("N"), PropertyListValue::fromReal(1.0));
        QTest::qWait(1);
        QCOMPARE(recorder.lists.size(), 2);
    }

    void notifyDeliversWithoutChange()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->notifyValue(QStringLiteral("Setup:/System"));
        engine->notifyValue(QStringLiteral("Notify:/Only")); // need not exist
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists, QList<QStringList>{(QStringList{"Setup:/System", "Notify:/Only"})});
        QCOMPARE(engine->value(QStringLiteral("Setup:/System")), str("system"));
        QVERIFY(!engine->contains(QStringLiteral("Notify:/Only")));
    }

    void filteredByKeysAndPatterns()
    {
        Recorder interfaces, exact, nothing;
        auto a = open(&interfaces, {}, {QStringLiteral("State:/Network/Interface/.*")});
        auto b = open(&exact, {QStringLiteral("Setup:/System")}, {});
        auto c = open(&nothing, {}, {QStringLiteral("Interface")}); // matches no whole key
        QVERIFY(a && b && c);
        engine->setValue(QStringLiteral("Setup:/System"), str("x"));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth1/IPv4"), str("x"));
        engine->removeValue(QStringLiteral("State:/Network/Interface/lo/IPv4"));
        engine->setValue(QStringLiteral("State:/Network/Global/IPv4"), str("x"));
        QCoreApplication::processEvents();
        QCOMPARE(interfaces.lists, QList<QStringList>{(QStringList{"State:/Network/Interface/eth1/IPv4",
                                                                   "State:/Network/Interface/lo/IPv4"})});
        QCOMPARE(exact.lists, QList<QStringList>{QStringList{"Setup:/System"}});
        QVERIFY(nothing.lists.isEmpty());
    }

    void keysChangedBeforeDeliveryAreFilteredAgain()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->setValue(QStringLiteral("Setup:/System"), str("x"));
        engine->setValue(QStringLiteral("Other"), str("x"));
        const QStringList keys{QStringLiteral("Other")};
        QVERIFY(storeSetNotificationKeys(store.get(), &keys, nullptr));
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists, QList<QStringList>{QStringList{"Other"}});
    }

    void noDeliveryWithoutRunLoopSource()
    {
        Recorder detached, madeOnly;
        auto a = open(&detached, {}, {QStringLiteral(".*")}, false);
        auto b = open(&madeOnly, {}, {QStringLiteral(".*")}, false);
        QVERIFY(a && b);
        auto source = storeCreateRunLoopSource(b.get(), 0); // made but not attached
        QVERIFY(source);
        QVERIFY(!source->isAttached());
        engine->setValue(QStringLiteral("Setup:/System"), str("x"));
        QTest::qWait(10);
        QVERIFY(detached.lists.isEmpty());
        QVERIFY(madeOnly.lists.isEmpty());

        // Once attached, later changes arrive; the loop keeps the source.
        storeRunLoopAddSource(source);
        QVERIFY(source->isAttached());
        QCOMPARE(storeCreateRunLoopSource(b.get(), 0), source);
        std::weak_ptr<StoreRunLoopSource> weak = source;
        source.reset();
        QVERIFY(!weak.expired());
        engine->setValue(QStringLiteral("Setup:/System"), str("y"));
        QTest::qWait(10);
        QCOMPARE(madeOnly.lists, QList<QStringList>{QStringList{"Setup:/System"}});
        QVERIFY(detached.lists.isEmpty());

        // The source outlives its connection harmlessly.
        auto kept = weak.lock();
        b.reset();
        QCOMPARE(kept->connection(), nullptr);
        storeRunLoopAddSource(kept); // no connection any more: does nothing
        QCOMPARE(storeError(), int(StoreNoConnection));
    }

    void destroyedConnectionGetsNothing()
    {
        Recorder gone, stays;
        auto a = open(&gone);
        auto b = open(&stays);
        engine->setValue(QStringLiteral("Setup:/System"), str("x"));
        a.reset(); // before the delivery
        QCoreApplication::processEvents();
        QVERIFY(gone.lists.isEmpty());
        QCOMPARE(stays.lists.size(), 1);
    }

    void calloutMayDestroyAnotherConnection()
    {
        Recorder first, second;
        std::unique_ptr<StoreConnection> b;
        auto a = open(&first);
        b = open(&second);
        // Whichever is called first destroys the other: the other must get nothing.
        first.onDelivery = [&](StoreConnection *) { b.reset(); };
        std::unique_ptr<StoreConnection> *aRef = &a;
        second.onDelivery = [aRef](StoreConnection *) { aRef->reset(); };
        engine->setValue(QStringLiteral("Setup:/System"), str("x"));
        QCoreApplication::processEvents();
        QCOMPARE(first.lists.size() + second.lists.size(), 1);
    }

    void calloutMayPublishAgain()
    {
        Recorder recorder;
        auto store = open(&recorder);
        int round = 0;
        recorder.onDelivery = [&](StoreConnection *) {
            if (++round == 1)
                engine->setValue(QStringLiteral("Again"), str("x")); // arrives in a later list
        };
        engine->setValue(QStringLiteral("First"), str("x"));
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists, (QList<QStringList>{QStringList{"First"}, QStringList{"Again"}}));
    }

    void engineGoneLeavesConnectionHarmless()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->setValue(QStringLiteral("Setup:/System"), str("x"));
        StoreEngine::setInstance(nullptr);
        engine.reset();
        QCoreApplication::processEvents();
        QVERIFY(recorder.lists.isEmpty());
        QVERIFY(!storeCopyKeyList(store.get(), QStringLiteral(".*")));
        QCOMPARE(storeError(), int(StoreNoConnection));
        store.reset(); // detaching from a gone engine is safe
    }

    void failedOpenSaysWhy()
    {
        auto failing = std::make_unique<StoreEngine>();
        int starts = 0;
        failing->addSource(std::make_unique<FixedSource>(PropertyListDictionary{}, QString(), &starts));
        failing->addSource(std::make_unique<FixedSource>(PropertyListDictionary{},
                                                         QStringLiteral("/tmp/none.plist: no such file"), &starts));
        StoreEngine::setInstance(failing.get());
        Recorder recorder;
        auto store = storeCreate(QStringLiteral("Vaneview"), recordCallout, &recorder);
        QVERIFY(!store);
        QCOMPARE(storeError(), int(StoreSourceFailed));
        QCOMPARE(storeErrorString(storeError()), QStringLiteral("/tmp/none.plist: no such file"));
        // Another code gets its generic text.
        QVERIFY(!storeErrorString(StoreNoKey).contains(QStringLiteral("none.plist")));
        // A later open tries the failing source again, not the started one.
        QVERIFY(!storeCreate(QStringLiteral("Vaneview"), recordCallout, &recorder));
        QCOMPARE(starts, 3);
        StoreEngine::setInstance(engine.get());
    }

    void sourcesStartOnFirstOpen()
    {
        auto fresh = std::make_unique<StoreEngine>();
        int starts = 0;
        fresh->addSource(
            std::make_unique<FixedSource>(PropertyListDictionary{{QStringLiteral("K"), str("v")}}, QString(), &starts));
        QCOMPARE(starts, 0);
        QVERIFY(!fresh->contains(QStringLiteral("K")));
        StoreEngine::setInstance(fresh.get());
        Recorder recorder;
        auto one = open(&recorder);
        auto two = open(&recorder);
        QVERIFY(one && two);
        QCOMPARE(starts, 1);
        QCOMPARE(storeCopyValue(one.get(), QStringLiteral("K")), str("v"));
        // Added after start: started at once.
        fresh->addSource(
            std::make_unique<FixedSource>(PropertyListDictionary{{QStringLiteral("L"), str("w")}}, QString(), &starts));
        QCOMPARE(starts, 2);
        QVERIFY(fresh->contains(QStringLiteral("L")));
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists.size(), 2); // both connections told about L
        QCOMPARE(recorder.lists.first(), QStringList{"L"});
        one.reset();
        two.reset();
        StoreEngine::setInstance(engine.get());
    }

    void noSourcesServeAnEmptyStore()
    {
        engine->setSources(kv::app::makeStoreSources(StoreConfiguration{StoreConfiguration::Kind::Empty}));
        QCOMPARE(engine->keyCount(), 0);
        Recorder recorder;
        auto store = open(&recorder);
        QVERIFY(store);
        const auto keys = storeCopyKeyList(store.get(), QStringLiteral(".*"));
        QVERIFY(keys && keys->isEmpty());
    }

    void missingSnapshotFailsOpen()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("absent.plist"));
        engine->setSources(kv::app::makeStoreSources(StoreConfiguration{StoreConfiguration::Kind::Snapshot, path}));
        Recorder recorder;
        QVERIFY(!storeCreate(QStringLiteral("Vaneview"), recordCallout, &recorder));
        QCOMPARE(storeError(), int(StoreSourceFailed));
        QVERIFY2(storeErrorString(storeError()).contains(path), qPrintable(storeErrorString(storeError())));
    }

    void depthCap_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("flat") << 1 << true;
        QTest::newRow("at the cap") << StoreEngine::MaximumDepth << true;
        QTest::newRow("one past the cap") << StoreEngine::MaximumDepth + 1 << false;
        QTest::newRow("far past the cap") << 1000 << false;
    }

    void depthCap()
    {
        QFETCH(int, depth);
        QFETCH(bool, accepted);
        QCOMPARE(StoreEngine::MaximumDepth, 512);
        Recorder recorder;
        auto store = open(&recorder);
        SystemLogCapture log;
        const PropertyListValue value = nested(depth);
        QCOMPARE(value.depth(), depth);
        engine->setValue(QStringLiteral("Setup:/System"), value);
        QCoreApplication::processEvents();
        if (accepted) {
            QCOMPARE(engine->value(QStringLiteral("Setup:/System")), value);
            QVERIFY(log.lines().isEmpty());
            QCOMPARE(recorder.lists.size(), 1);
        } else {
            QCOMPARE(engine->value(QStringLiteral("Setup:/System")), str("system")); // old value kept
            QCOMPARE(log.lines().size(), 1);
            QVERIFY(log.lines().first().contains(QStringLiteral("Setup:/System")));
            QVERIFY(recorder.lists.isEmpty());
        }
    }

    void noneValueRemoves()
    {
        Recorder recorder;
        auto store = open(&recorder);
        engine->setValue(QStringLiteral("Setup:/System"), PropertyListValue());
        QVERIFY(!engine->contains(QStringLiteral("Setup:/System")));
        QCoreApplication::processEvents();
        QCOMPARE(recorder.lists, QList<QStringList>{QStringList{"Setup:/System"}});
    }

    // Connections are opened on the engine installed at the time; with none
    // installed there is no store (nothing is made behind the caller's back).
    void installationLastsItsScope()
    {
        QCOMPARE(StoreEngine::instance(), engine.get());
        {
            StoreEngine inner;
            inner.setValue(QStringLiteral("State:/Inner"), str("inner"));
            const StoreEngine::Installation installation(inner);
            QCOMPARE(StoreEngine::instance(), &inner);
            auto store = storeCreate(QStringLiteral("Vaneview"), nullptr, nullptr);
            QVERIFY(store);
            QCOMPARE(*storeCopyKeyList(store.get(), QStringLiteral(".*")), QStringList{"State:/Inner"});
        }
        QCOMPARE(StoreEngine::instance(), engine.get());

        StoreEngine::setInstance(nullptr);
        QVERIFY(!storeCreate(QStringLiteral("Vaneview"), nullptr, nullptr));
        QCOMPARE(storeError(), int(StoreNoConnection));
        QVERIFY(!storeErrorString(storeError()).isEmpty());
        StoreEngine::setInstance(engine.get());
    }
};

QTEST_MAIN(TestDynamicStore)
#include "tst_dynamicstore.moc"
