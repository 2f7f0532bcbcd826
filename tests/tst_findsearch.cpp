// The search behind Find: run in slices on the event loop, narrowed as the
// user types on, restarted and cancelled, kept up to date as the store
// changes; and going to a key by completing it piece by piece.

#include "find/FindSearch.h"
#include "find/KeyCompletion.h"

#include <QHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace kv;
using namespace kv::find;

namespace {

struct Store
{
    QStringList keys; // sorted
    QHash<QString, PropertyListValue> values;

    void set(const QString &key, const PropertyListValue &value)
    {
        if (!values.contains(key))
            keys.insert(std::lower_bound(keys.begin(), keys.end(), key), key);
        values.insert(key, value);
    }
    void remove(const QString &key)
    {
        keys.removeOne(key);
        values.remove(key);
    }
    FindSearch::ValueLookup lookup(QStringList *lookedUp = nullptr) const
    {
        return [this, lookedUp](const QString &key) {
            if (lookedUp)
                lookedUp->append(key);
            return values.value(key);
        };
    }
};

PropertyListValue strings(const QStringList &texts)
{
    PropertyListArray array;
    for (const QString &text : texts)
        array.append(PropertyListValue::fromString(text));
    return PropertyListValue::fromArray(array);
}

PropertyListValue dictionary(std::initializer_list<std::pair<QString, PropertyListValue>> entries)
{
    PropertyListDictionary d;
    for (const auto &[name, value] : entries)
        d.insert(name, value);
    return PropertyListValue::fromDictionary(d);
}

// Keys and values shaped like the store's, with a few that test the fast
// paths: Latin-1 and wider letters, a Kelvin sign (which folds to "k"), a
// piece holding NUL.
Store largeStore(int count, bool withValues)
{
    Store store;
    const QString names[] = {QStringLiteral("eth"),         QStringLiteral("wlan"), QStringLiteral("Über"),
                             QStringLiteral("\u212Aelvin"), QStringLiteral("en"),   QStringLiteral("ppp")};
    const QString notes[] = {QStringLiteral("café"), QStringLiteral("12 µs"),
                             QString(reinterpret_cast<const QChar *>(u"naïve\0x"), 7), QStringLiteral("plain"),
                             QStringLiteral("Ωmega")};
    for (int i = 0; i < count; ++i) {
        const QString name = names[i % 6] + QString::number(i);
        const QString key = QStringLiteral("State:/Network/Interface/%1/%2").arg(name, i % 2 ? "IPv4" : "Link");
        store.keys.append(key);
        if (!withValues)
            continue;
        PropertyListDictionary value;
        value.insert(QStringLiteral("Addresses"), strings({QStringLiteral("192.168.%1.%2").arg(i % 10).arg(i % 250)}));
        value.insert(QStringLiteral("Flags"), PropertyListValue::fromArray({strings({"UP", "RUNNING"})}));
        value.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(1000 + i % 600));
        value.insert(QStringLiteral("Note"), PropertyListValue::fromString(notes[i % 5]));
        value.insert(QStringLiteral("LinkState"), PropertyListValue::fromString(i % 4 ? "up" : "down"));
        if (i % 7 == 0)
            value.insert(QStringLiteral("Active"), PropertyListValue::fromBoolean(i % 2));
        if (i % 3 == 0)
            value.insert(QStringLiteral("Search"), strings({QStringLiteral("ns%1.example.org").arg(i % 4),
                                                            QStringLiteral("ns%1.example.org").arg(i % 4 + 1)}));
        store.values.insert(key, PropertyListValue::fromDictionary(value));
    }
    store.values.insert(QStringLiteral("State:/Users/ConsoleUser"), PropertyListValue::fromString("alice"));
    store.keys.append(QStringLiteral("State:/Users/ConsoleUser"));
    const QString nul(reinterpret_cast<const QChar *>(u"State:/Nul\0Key"), 14);
    store.values.insert(nul, PropertyListValue::fromString("nul"));
    store.keys.append(nul);
    std::sort(store.keys.begin(), store.keys.end());
    return store;
}

Store smallStore()
{
    Store store;
    store.set("Setup:/System", dictionary({{"HostName", PropertyListValue::fromString("workstation")}}));
    store.set("State:/Network/Global/DNS", dictionary({{"ServerAddresses", strings({"192.168.1.1"})}}));
    store.set("State:/Network/Interface", dictionary({{"Interfaces", strings({"eth0", "lo", "wlan0"})}}));
    store.set("State:/Network/Interface/eth0/IPv4", dictionary({{"Addresses", strings({"192.168.1.23"})}}));
    store.set("State:/Network/Interface/eth0/Link", dictionary({{"Active", PropertyListValue::fromBoolean(true)},
                                                                {"MTU", PropertyListValue::fromInteger(1500)}}));
    store.set("State:/Network/Interface/lo/IPv4", dictionary({{"Addresses", strings({"127.0.0.1"})}}));
    store.set("State:/Network/Interface/wlan0/Link", dictionary({{"Active", PropertyListValue::fromBoolean(false)}}));
    store.set("State:/Power/Battery0", dictionary({{"Charge", PropertyListValue::fromInteger(87)}}));
    store.set("State:/Users/ConsoleUser", PropertyListValue::fromString("alice"));
    return store;
}

FindOptions optionsFor(bool regularExpression, bool matchCase, bool values)
{
    FindOptions options;
    options.regularExpression = regularExpression;
    options.matchCase = matchCase;
    options.scope = values ? FindOptions::Scope::KeysAndValues : FindOptions::Scope::Keys;
    return options;
}

// What a search must find, made one key at a time: keys matched through
// Qt's own string search and regular expressions, values walked directly.
QList<FindHit> reference(const Store &store, const QString &text, const FindOptions &options)
{
    QList<FindHit> hits;
    if (text.isEmpty())
        return hits;
    QString error;
    const std::optional<Matcher> matcher = Matcher::compile(text, options, &error);
    if (!matcher)
        qFatal("cannot compile %s: %s", qPrintable(text), qPrintable(error));
    QRegularExpression::PatternOptions patternOptions = QRegularExpression::DotMatchesEverythingOption;
    if (!options.matchCase)
        patternOptions |= QRegularExpression::CaseInsensitiveOption;
    const QRegularExpression expression(text, patternOptions);
    for (const QString &key : store.keys) {
        const bool keyMatches =
            options.regularExpression
                ? expression.match(key).hasMatch()
                : key.indexOf(text, 0, options.matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive) >= 0;
        if (keyMatches) {
            hits.append({key, std::nullopt});
        } else if (options.scope == FindOptions::Scope::KeysAndValues) {
            if (std::optional<ValueMatch> match = firstValueMatch(store.values.value(key), *matcher))
                hits.append({key, std::move(match)});
        }
    }
    return hits;
}

QString describe(const QList<FindHit> &hits)
{
    QStringList lines;
    for (const FindHit &hit : hits)
        lines.append(hit.key + (hit.valueMatch ? "\t" + valueMatchText(*hit.valueMatch) : QString()));
    return lines.join(u'\n');
}

bool runToEnd(FindSearch &search)
{
    QSignalSpy finished(&search, &FindSearch::finished);
    return !search.isRunning() || finished.wait(60000);
}

// hitAt() and hitKey() agree with hits().
bool consistent(const FindSearch &search)
{
    const QList<FindHit> &hits = search.hits();
    if (hits.size() != search.hitCount())
        return false;
    for (qsizetype i = 0; i < hits.size(); ++i) {
        if (search.hitAt(i) != hits.at(i) || search.hitKey(i) != hits.at(i).key)
            return false;
    }
    return true;
}

// A copy that shares nothing with the list it was made from.
QStringList unshared(const QStringList &list)
{
    QStringList copy;
    for (const QString &key : list)
        copy.append(key);
    return copy;
}

} // namespace

class TestFindSearch : public QObject
{
    Q_OBJECT

private:
    // Enough keys that no slice of a millisecond searches them all, however
    // fast the machine; values are walked much more slowly.
    Store m_manyKeys = largeStore(150000, false);
    Store m_large = largeStore(5000, true);

    const Store &storeFor(bool values) const { return values ? m_large : m_manyKeys; }

private Q_SLOTS:
    // Many short slices find what one long one does, and that is every key
    // (or value) the text matches.
    void slicesReachTheSameHits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("regularExpression");
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<bool>("values");
        QTest::newRow("plain, case ignored") << "ETH1" << false << false << false;
        QTest::newRow("plain, case counted") << "Eth1" << false << true << false;
        QTest::newRow("plain, one letter") << "u" << false << false << false;
        QTest::newRow("plain, Latin-1 letters") << QStringLiteral("ÜBER1") << false << false << false;
        QTest::newRow("plain, Kelvin sign folds to k") << "kelvin1" << false << false << false;
        QTest::newRow("plain, nothing") << "zzz" << false << false << false;
        QTest::newRow("expression") << "en[0-9]*5/IPv" << true << false << false;
        QTest::newRow("values, plain") << "192.168.3." << false << false << true;
        QTest::newRow("values, Latin-1 letters") << QStringLiteral("CAFÉ") << false << false << true;
        QTest::newRow("values, beyond Latin-1") << QStringLiteral("µS") << false << false << true;
        QTest::newRow("values, a piece holding NUL") << QStringLiteral("NAÏVE") << false << false << true;
        QTest::newRow("values, text holding NUL")
            << QString(reinterpret_cast<const QChar *>(u"e\0x"), 3) << false << false << true;
        QTest::newRow("values, case counted") << "Running" << false << true << true;
        QTest::newRow("values, names") << "ACTIVE" << false << false << true;
        QTest::newRow("values, the first of several") << "example.ORG" << false << false << true;
        QTest::newRow("values, the first of several, counted") << "1.example" << false << true << true;
        QTest::newRow("values, expression") << "^192\\.168\\.7\\." << true << false << true;
        QTest::newRow("values, top-level scalar") << "alic" << false << false << true;
        QTest::newRow("values, keys found too") << "ETH1" << false << false << true;
        QTest::newRow("values, a key found wins") << "LINK" << false << false << true;
        QTest::newRow("values, keys beyond Latin-1") << QStringLiteral("\u212Aelvin1") << false << true << true;
        QTest::newRow("values, key holding NUL") << "nul" << false << false << true;
    }

    void slicesReachTheSameHits()
    {
        QFETCH(QString, text);
        QFETCH(bool, regularExpression);
        QFETCH(bool, matchCase);
        QFETCH(bool, values);
        const FindOptions options = optionsFor(regularExpression, matchCase, values);
        const Store &store = storeFor(values);
        const QList<FindHit> expected = reference(store, text, options);

        FindSearch sliced;
        sliced.setTimeSliceMilliseconds(1);
        QString error;
        QVERIFY(sliced.start(store.keys, text, options, store.lookup(), &error));
        QVERIFY(sliced.isRunning());
        QCOMPARE(sliced.hitCount(), 0); // nothing before the event loop runs
        QCoreApplication::processEvents();
        QVERIFY2(sliced.isRunning(), "one slice of 1 ms searched every key");
        QVERIFY(runToEnd(sliced));
        QCOMPARE(describe(sliced.hits()), describe(expected));
        QVERIFY(sliced.hits() == expected);
        QVERIFY(consistent(sliced));
        QCOMPARE(sliced.keyCount(), store.keys.size());

        FindSearch whole;
        whole.setTimeSliceMilliseconds(1000000);
        QVERIFY(whole.start(store.keys, text, options, store.lookup(), &error));
        QCoreApplication::processEvents();
        QVERIFY2(!whole.isRunning(), "a slice without a time limit stopped early");
        QVERIFY(whole.hits() == expected);

        // With the keys' and values' texts made ahead, a search reads those.
        FindSearch prepared;
        prepared.setTimeSliceMilliseconds(1000000);
        prepared.prepare(store.keys, options, store.lookup());
        QTRY_VERIFY_WITH_TIMEOUT(!prepared.isPreparing(), 60000);
        QVERIFY(prepared.start(store.keys, text, options, store.lookup(), &error));
        QVERIFY(runToEnd(prepared));
        QCOMPARE(describe(prepared.hits()), describe(expected));
    }

    // Typing on searches only the previous hits; what it finds is what a
    // fresh search finds, also where narrowing would be wrong: an expression
    // grown wider, a case or scope that changed, a previous search that did
    // not finish, another key list.
    void narrowing_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("regularExpression");
        QTest::addColumn<bool>("values");
        QTest::addColumn<QString>("between"); // what changes before each later text
        QTest::newRow("typing on") << QStringList{"e", "et", "eth", "eth1", "eth12"} << false << false << "";
        QTest::newRow("typing on, values") << QStringList{"1", "19", "192.", "192.168.3"} << false << true << "";
        QTest::newRow("typing in front") << QStringList{"th1", "eth1", "/eth1"} << false << false << "";
        QTest::newRow("deleting") << QStringList{"eth12", "eth1", "e"} << false << true << "";
        QTest::newRow("another text") << QStringList{"eth1", "wlan1"} << false << false << "";
        QTest::newRow("expression grown wider")
            << QStringList{"wlan", "wlan|eth", "wlan|eth|^State:/Users"} << true << false << "";
        QTest::newRow("case counted, then not") << QStringList{"ETH", "ETH1"} << false << false << "case";
        QTest::newRow("keys, then values") << QStringList{"192", "192.1"} << false << false << "scope";
        QTest::newRow("previous search cancelled") << QStringList{"e", "et"} << false << false << "cancel";
        QTest::newRow("another list") << QStringList{"eth", "eth1"} << false << false << "list";
    }

    void narrowing()
    {
        QFETCH(QStringList, texts);
        QFETCH(bool, regularExpression);
        QFETCH(bool, values);
        QFETCH(QString, between);
        FindSearch search;
        search.setTimeSliceMilliseconds(2);
        Store store = storeFor(values);
        FindOptions options = optionsFor(regularExpression, between == "case", values);
        QString error;
        for (qsizetype step = 0; step < texts.size(); ++step) {
            if (step > 0 && between == "case")
                options.matchCase = !options.matchCase;
            if (step > 0 && between == "scope")
                options.scope = FindOptions::Scope::KeysAndValues;
            if (step > 0 && between == "list") {
                store.set("State:/Network/Interface/eth1x/Link", PropertyListValue::fromString("new"));
                store.keys = unshared(store.keys);
            }
            QVERIFY(search.start(store.keys, texts[step], options, store.lookup(), &error));
            if (between == "cancel" && step == 0) {
                QCoreApplication::processEvents();
                QVERIFY(search.isRunning());
                search.cancel();
                QVERIFY(!search.isRunning());
                continue;
            }
            QVERIFY(runToEnd(search));
            QCOMPARE(describe(search.hits()), describe(reference(store, texts[step], options)));
        }
    }

    // A new start stops the search under way: only the new one's hits, and
    // one finished().
    void restartCancels()
    {
        FindSearch search;
        search.setTimeSliceMilliseconds(1);
        QSignalSpy finished(&search, &FindSearch::finished);
        const FindOptions options = optionsFor(false, false, true);
        QString error;
        QVERIFY(search.start(m_large.keys, "en", options, m_large.lookup(), &error));
        QCoreApplication::processEvents();
        QVERIFY(search.isRunning());
        QVERIFY(search.hitCount() > 0);
        QVERIFY(search.start(m_large.keys, "192.168.4.", options, m_large.lookup(), &error));
        QCOMPARE(search.hitCount(), 0);
        QVERIFY(runToEnd(search));
        QCOMPARE(finished.count(), 1);
        QVERIFY(search.hits() == reference(m_large, "192.168.4.", options));
    }

    // Cancelling keeps what was found so far, and nothing more comes.
    void cancelKeepsHitsSoFar()
    {
        FindSearch search;
        search.setTimeSliceMilliseconds(1);
        QSignalSpy finished(&search, &FindSearch::finished);
        QSignalSpy changed(&search, &FindSearch::hitsChanged);
        const FindOptions options = optionsFor(false, false, true);
        QString error;
        QVERIFY(search.start(m_large.keys, "1", options, m_large.lookup(), &error));
        QCoreApplication::processEvents();
        QVERIFY(search.isRunning());
        search.cancel();
        QVERIFY(!search.isRunning());
        const QList<FindHit> soFar = search.hits();
        QVERIFY(!soFar.isEmpty());
        const QList<FindHit> all = reference(m_large, "1", options);
        QVERIFY(soFar.size() < all.size());
        QVERIFY(soFar == all.mid(0, soFar.size()));
        const qsizetype signalled = changed.count();
        QTest::qWait(100);
        QVERIFY(search.hits() == soFar);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(changed.count(), signalled);
    }

    // An empty text finds nothing and is finished at once; an invalid
    // expression is refused and clears the hits.
    void emptyAndInvalid()
    {
        Store store = smallStore();
        FindSearch search;
        QSignalSpy finished(&search, &FindSearch::finished);
        QString error;
        QVERIFY(search.start(store.keys, "eth", FindOptions(), store.lookup(), &error));
        QVERIFY(runToEnd(search));
        QVERIFY(search.hitCount() > 0);

        QVERIFY(search.start(store.keys, "", FindOptions(), store.lookup(), &error));
        QVERIFY(!search.isRunning());
        QCOMPARE(finished.count(), 2);
        QCOMPARE(search.hitCount(), 0);

        QVERIFY(search.start(store.keys, "eth", FindOptions(), store.lookup(), &error));
        QVERIFY(runToEnd(search));
        QVERIFY(search.hitCount() > 0);
        QVERIFY(!search.start(store.keys, "eth(", optionsFor(true, false, false), store.lookup(), &error));
        QVERIFY(error.contains("offset 4"));
        QVERIFY(!search.isRunning());
        QCOMPARE(search.hitCount(), 0);
        QVERIFY(search.hits().isEmpty());
        QVERIFY(!search.matcher());
    }

    // A change to the store reaches the hits at once: each changed key is
    // matched again and its hit comes, goes or changes in place; the search
    // says so when anything among the hits did.
    void keysChanged_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("values");
        QTest::addColumn<QStringList>("added");   // each holding {"Note": "fresh"}
        QTest::addColumn<QStringList>("removed"); //
        QTest::addColumn<QStringList>("updated"); // each set to {"Note": updatedTo}
        QTest::addColumn<QString>("updatedTo");
        QTest::addColumn<bool>("signalled");
        const QString eth0 = "State:/Network/Interface/eth0/IPv4";
        const QString dns = "State:/Network/Global/DNS";
        const QString power = "State:/Power/Battery0";
        QTest::newRow("added, found") << "eth" << false << QStringList{"State:/Network/Interface/eth9/Link"}
                                      << QStringList{} << QStringList{} << "" << true;
        QTest::newRow("added first, found")
            << "a" << false << QStringList{"Alpha:/a"} << QStringList{} << QStringList{} << "" << true;
        QTest::newRow("added, not found")
            << "eth" << false << QStringList{"State:/Power/Battery1"} << QStringList{} << QStringList{} << "" << false;
        QTest::newRow("removed, a hit") << "eth" << false << QStringList{} << QStringList{eth0} << QStringList{} << ""
                                        << true;
        QTest::newRow("removed, not a hit")
            << "eth" << false << QStringList{} << QStringList{power} << QStringList{} << "" << false;
        QTest::newRow("updated, key hit stays")
            << "eth" << false << QStringList{} << QStringList{} << QStringList{eth0} << "x" << true;
        QTest::newRow("updated, now found in the value")
            << "needle" << true << QStringList{} << QStringList{} << QStringList{power} << "a needle" << true;
        QTest::newRow("updated, no longer found")
            << "192.168" << true << QStringList{} << QStringList{} << QStringList{dns} << "gone" << true;
        QTest::newRow("updated, found elsewhere in the value")
            << "192.168" << true << QStringList{} << QStringList{} << QStringList{dns} << "192.168.7.7" << true;
        QTest::newRow("updated, never found")
            << "192.168" << true << QStringList{} << QStringList{} << QStringList{power} << "other" << false;
        QTest::newRow("added, found in the value") << "fresh" << true << QStringList{"State:/New/A", "Setup:/New/B"}
                                                   << QStringList{} << QStringList{} << "" << true;
        QTest::newRow("all at once") << "e" << true << QStringList{"State:/Network/Interface/eth5/Link", "Z:/z"}
                                     << QStringList{eth0, "Setup:/System"} << QStringList{power, dns} << "seen" << true;
        QTest::newRow("neither before nor now")
            << "e" << true << QStringList{} << QStringList{"State:/Never"} << QStringList{} << "" << false;
    }

    void keysChanged()
    {
        QFETCH(QString, text);
        QFETCH(bool, values);
        QFETCH(QStringList, added);
        QFETCH(QStringList, removed);
        QFETCH(QStringList, updated);
        QFETCH(QString, updatedTo);
        QFETCH(bool, signalled);
        const FindOptions options = optionsFor(false, false, values);
        Store store = smallStore();
        FindSearch search;
        QString error;
        QVERIFY(search.start(store.keys, text, options, store.lookup(), &error));
        QVERIFY(runToEnd(search));
        QVERIFY(search.hits() == reference(store, text, options));

        QStringList changed;
        for (const QString &key : added)
            store.set(key, dictionary({{"Note", PropertyListValue::fromString("fresh")}}));
        for (const QString &key : removed)
            store.remove(key);
        for (const QString &key : updated)
            store.set(key, dictionary({{"Note", PropertyListValue::fromString(updatedTo)}}));
        changed << added << removed << updated << updated; // a key may come twice
        store.keys = unshared(store.keys);

        QSignalSpy changedSignal(&search, &FindSearch::hitsChanged);
        search.keysChanged(changed, store.keys);
        QVERIFY(!search.isRunning());
        QCOMPARE(search.keyCount(), store.keys.size());
        QCOMPARE(describe(search.hits()), describe(reference(store, text, options)));
        QVERIFY(consistent(search));
        QCOMPARE(changedSignal.count(), signalled ? 1 : 0);

        // The next keystroke narrows from the hits kept up to date.
        const QString more = text + "1";
        QVERIFY(search.start(store.keys, more, options, store.lookup(), &error));
        QVERIFY(runToEnd(search));
        QCOMPARE(describe(search.hits()), describe(reference(store, more, options)));
    }

    // A change while the search runs: it starts over on the new list.
    void keysChangedWhileRunning_data()
    {
        QTest::addColumn<bool>("values");
        QTest::newRow("keys") << false;
        QTest::newRow("values") << true;
    }

    void keysChangedWhileRunning()
    {
        QFETCH(bool, values);
        const FindOptions options = optionsFor(false, false, values);
        Store store = storeFor(values);
        FindSearch search;
        search.setTimeSliceMilliseconds(1);
        QSignalSpy finished(&search, &FindSearch::finished);
        QString error;
        QVERIFY(search.start(store.keys, "1", options, store.lookup(), &error));
        QCoreApplication::processEvents();
        QVERIFY(search.isRunning());

        const QString first = store.keys.first();
        const QString added = "State:/Network/Interface/eth1new/Link";
        store.remove(first);
        store.set(added, PropertyListValue::fromString("x"));
        store.set(store.keys.last(), PropertyListValue::fromString("1 now"));
        store.keys = unshared(store.keys);
        search.keysChanged({first, added, store.keys.last()}, store.keys);
        QVERIFY(search.isRunning());
        QCOMPARE(search.keyCount(), store.keys.size());
        QVERIFY(runToEnd(search));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(describe(search.hits()), describe(reference(store, "1", options)));
    }

    // Values are read through the lookup, only for the keys and values
    // scope, only for keys that did not match themselves, and once per
    // value for as long as the key list stays the same.
    void valueLookups_data()
    {
        QTest::addColumn<bool>("values");
        QTest::newRow("keys") << false;
        QTest::newRow("keys and values") << true;
    }

    void valueLookups()
    {
        QFETCH(bool, values);
        const Store store = smallStore();
        const FindOptions options = optionsFor(false, false, values);
        QStringList lookedUp;
        FindSearch search;
        QString error;
        QVERIFY(search.start(store.keys, "eth0", options, store.lookup(&lookedUp), &error));
        QVERIFY(runToEnd(search));
        const QList<FindHit> expected = reference(store, "eth0", options);
        QVERIFY(search.hits() == expected);
        if (!values) {
            QVERIFY(lookedUp.isEmpty());
            return;
        }
        QVERIFY(std::any_of(expected.cbegin(), expected.cend(), [](const FindHit &hit) { return hit.valueMatch; }));
        QStringList notMatching;
        for (const QString &key : store.keys) {
            if (!key.contains("eth0"))
                notMatching.append(key);
        }
        for (const FindHit &hit : expected) {
            if (hit.valueMatch)
                notMatching.append(hit.key); // and again, to say where
        }
        lookedUp.sort();
        notMatching.sort();
        QCOMPARE(lookedUp, notMatching);

        // Once the search is done the other values are read ahead; after
        // that another text reads none.
        QTRY_VERIFY(!search.isPreparing());
        lookedUp.clear();
        QVERIFY(search.start(store.keys, "192.168.1.2", options, store.lookup(&lookedUp), &error));
        QVERIFY(runToEnd(search));
        QCOMPARE(lookedUp, QStringList());
        QCOMPARE(search.hitCount(), 1);
        QVERIFY(search.hitAt(0).valueMatch == (ValueMatch{{"Addresses", "0"}, "192.168.1.23"}));
    }

    // Reading ahead, asked for before any typing.
    void prepare()
    {
        const Store store = smallStore();
        QStringList lookedUp;
        FindSearch search;
        search.prepare(store.keys, optionsFor(false, false, true), store.lookup(&lookedUp));
        QVERIFY(search.isPreparing());
        QTRY_VERIFY(!search.isPreparing());
        lookedUp.sort();
        QCOMPARE(lookedUp, store.keys);
        lookedUp.clear();
        QString error;
        QVERIFY(search.start(store.keys, "ALIC", optionsFor(false, false, true), store.lookup(&lookedUp), &error));
        QVERIFY(runToEnd(search));
        QVERIFY(lookedUp.isEmpty());
        QCOMPARE(describe(search.hits()), QStringLiteral("State:/Users/ConsoleUser\talice"));
    }

    // A value too large for one slice is walked over several.
    void largeValueOverSlices()
    {
        Store store = smallStore();
        QStringList many;
        for (int i = 0; i < 100000; ++i)
            many.append(QStringLiteral("item %1").arg(i));
        many.append("the needle");
        store.set("State:/Huge", dictionary({{"List", strings(many)}}));
        for (const bool regularExpression : {false, true}) {
            FindSearch search;
            search.setTimeSliceMilliseconds(1);
            QString error;
            QVERIFY(
                search.start(store.keys, "needle", optionsFor(regularExpression, false, true), store.lookup(), &error));
            QCoreApplication::processEvents();
            QVERIFY(search.isRunning());
            QVERIFY(runToEnd(search));
            QCOMPARE(describe(search.hits()), QStringLiteral("State:/Huge\tList › 100000 = the needle"));
        }
    }

    void completions_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("expected");
        const QStringList keys{"Setup:/Network/Global/IPv4",
                               "Setup:/System",
                               "State:/Network/Global/DNS",
                               "State:/Network/Global/IPv4",
                               "State:/Network/Interface",
                               "State:/Network/Interface/eth0/IPv4",
                               "State:/Network/Interface/eth0/Link",
                               "State:/Network/Interface/lo/IPv4",
                               "State:/Power/Battery0",
                               "State:/Users/ConsoleUser",
                               "plain/a/b"};
        QTest::newRow("nothing typed: domains") << keys << "" << 200 << QStringList{"Setup:", "State:", "plain/"};
        QTest::newRow("inside a domain") << keys << "Sta" << 200 << QStringList{"State:"};
        QTest::newRow("domain typed") << keys << "State:" << 200 << QStringList{"State:/"};
        QTest::newRow("first piece") << keys << "State:/" << 200
                                     << QStringList{"State:/Network/", "State:/Power/", "State:/Users/"};
        QTest::newRow("middle piece") << keys << "State:/Network/" << 200
                                      << QStringList{"State:/Network/Global/", "State:/Network/Interface",
                                                     "State:/Network/Interface/"};
        QTest::newRow("inside a piece") << keys << "State:/Network/G" << 200 << QStringList{"State:/Network/Global/"};
        QTest::newRow("key that begins longer keys")
            << keys << "State:/Network/Interface" << 200
            << QStringList{"State:/Network/Interface", "State:/Network/Interface/"};
        QTest::newRow("last pieces") << keys << "State:/Network/Interface/eth0/" << 200
                                     << QStringList{"State:/Network/Interface/eth0/IPv4",
                                                    "State:/Network/Interface/eth0/Link"};
        QTest::newRow("whole key") << keys << "State:/Users/ConsoleUser" << 200
                                   << QStringList{"State:/Users/ConsoleUser"};
        QTest::newRow("no domain") << keys << "plain/" << 200 << QStringList{"plain/a/"};
        QTest::newRow("no match") << keys << "State:/Nope" << 200 << QStringList{};
        QTest::newRow("case counts") << keys << "state:" << 200 << QStringList{};
        QTest::newRow("past every key") << keys << "zzz" << 200 << QStringList{};
        QTest::newRow("limit") << keys << "State:/" << 2 << QStringList{"State:/Network/", "State:/Power/"};
        QTest::newRow("limit zero") << keys << "State:/" << 0 << QStringList{};
        QTest::newRow("no keys") << QStringList{} << "" << 200 << QStringList{};
        QTest::newRow("siblings sharing a beginning")
            << QStringList{"State:/A", "State:/A/B", "State:/A/C", "State:/AB", "State:/AB/C"} << "State:/A" << 200
            << QStringList{"State:/A", "State:/A/", "State:/AB", "State:/AB/"};
        QTest::newRow("empty pieces") << QStringList{"State://x", "State:/x"} << "State:/" << 200
                                      << QStringList{"State://", "State:/x"};
    }

    void completions()
    {
        QFETCH(QStringList, keys);
        QFETCH(QString, typed);
        QFETCH(int, limit);
        QFETCH(QStringList, expected);
        QVERIFY(std::is_sorted(keys.cbegin(), keys.cend()));
        QCOMPARE(keyCompletions(keys, typed, limit), expected);
    }

    void hasKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("expected");
        QTest::newRow("listed") << "State:/Network/Interface" << true;
        QTest::newRow("first") << "Setup:/System" << true;
        QTest::newRow("last") << "State:/Users/ConsoleUser" << true;
        QTest::newRow("beginning of a key") << "State:/Network/Interface/eth0" << false;
        QTest::newRow("other case") << "state:/Power/Battery0" << false;
        QTest::newRow("before every key") << "A" << false;
        QTest::newRow("empty") << "" << false;
    }

    void hasKey()
    {
        QFETCH(QString, key);
        QFETCH(bool, expected);
        QCOMPARE(kv::find::hasKey(smallStore().keys, key), expected);
    }
};

QTEST_MAIN(TestFindSearch)
#include "tst_findsearch.moc"
