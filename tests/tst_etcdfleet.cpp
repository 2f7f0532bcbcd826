// A fleet in a real etcd member: hosts publishing their snapshots with
// keyvane-cli publish, a reader's store holding every host's keys, keys
// vanishing with their publisher, a snapshot change arriving as one change
// list, odd values put by other tools, a change list larger than one
// transaction, and keyvane-cli --etcd showing what the reader shows.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdKeys.h"
#include "platform/etcd/EtcdPublisher.h"
#include "platform/etcd/EtcdSource.h"
#include "platform/plist/PropertyListFile.h"
#include "tests/EtcdTestCluster.h"
#include "tests/EtcdTestSupport.h"
#include "tests/StoreTestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace kv;
using namespace kv::etcd;
using etcdtest::ClusterOptions;
using etcdtest::EtcdTestCluster;
using namespace etcdtest;
using V = kv::PropertyListValue;

Q_DECLARE_METATYPE(kv::PropertyListValue)

namespace {

V str(const QString &s)
{
    return V::fromString(s);
}

PropertyListDictionary withHost(const QString &host, const PropertyListDictionary &snapshot)
{
    PropertyListDictionary keys;
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
        keys.insert(host + ":/" + it.key(), it.value());
    return keys;
}

// A host's snapshot: the same shape on every host, its own values, and one
// key more per host number.
PropertyListDictionary hostSnapshot(const QString &host, int number)
{
    const QDateTime booted(QDate(2024, 5, number), QTime(8, 30), Qt::UTC);
    PropertyListDictionary snapshot{
        {"Setup:/System", V::fromDictionary({{"HostName", str(host)}, {"Booted", V::fromDate(booted)}})},
        {"State:/Network/Global/IPv4",
         V::fromDictionary({{"PrimaryInterface", str("eth0")},
                            {"Addresses", V::fromArray({str(QString("10.0.%1.1").arg(number))})}})},
        {"State:/Users/ConsoleUser", V::fromDictionary({{"Name", str("user-" + host)}, {"UID", V::fromInteger(500)}})},
    };
    for (int i = 0; i < number; ++i)
        snapshot.insert(QString("State:/Network/Interface/eth%1/Link").arg(i),
                        V::fromDictionary({{"Active", V::fromBoolean(i % 2 == 0)},
                                           {"Load", V::fromReal(0.25 * i)},
                                           {"MAC", V::fromData(QByteArray(6, char(i)))}}));
    return snapshot;
}

bool writeSnapshot(const QString &path, const PropertyListDictionary &contents, QString *error)
{
    return writePropertyListFile(path, V::fromDictionary(contents), error);
}

// An in-process reader of the cluster: an engine with an EtcdSource and a
// connection recording each change list.
// keyvane-cli publish of a snapshot, running until stopped (or the test ends).
class PublisherProcess
{
public:
    ~PublisherProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished();
        }
    }

    // Writes the snapshot and waits for the line saying all its keys are written.
    bool start(const EtcdTestCluster &cluster, const QString &path, const QString &host,
               const PropertyListDictionary &snapshot, int ttl, QString *error)
    {
        if (!writeSnapshot(path, snapshot, error))
            return false;
        process.setProcessChannelMode(QProcess::MergedChannels);
        etcdtest::detail::dieWithParent(process);
        process.start(cli, {"publish", "--etcd", cluster.endpoints(), "--snapshot", path, "--host", host, "--ttl",
                            QString::number(ttl)});
        const QByteArray line = QString("publishing %1 keys under keyvane/%2/").arg(snapshot.size()).arg(host).toUtf8();
        const QDeadlineTimer deadline(20000);
        while (!output.contains(line)) {
            if (!process.waitForReadyRead(int(deadline.remainingTime()))) {
                *error = "no \"" + line + "\" from the publisher: " + output + process.readAll();
                return false;
            }
            output += process.readAll();
        }
        return true;
    }

    QProcess process;
    QByteArray output;
};

} // namespace

class TestEtcdFleet : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString snapshotPath(const QString &host) const { return dir.filePath(host + ".plist"); }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!EtcdTestCluster::available(&why))
            QSKIP(qPrintable(why));
        QVERIFY2(QFile::exists(cli), qPrintable(cli + " is not built"));
        QVERIFY(dir.isValid());
    }

    void publishersFillTheReader()
    {
        EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        Reader reader;
        QVERIFY2(reader.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));
        QCOMPARE(reader.engine.keyCount(), 0);

        PublisherProcess publishers[3];
        PropertyListDictionary expected;
        QMap<QByteArray, V> expectedInEtcd;
        const QStringList hosts{"a", "b", "c"};
        for (int i = 0; i < hosts.size(); ++i) {
            const PropertyListDictionary snapshot = hostSnapshot(hosts[i], i + 1);
            QVERIFY2(publishers[i].start(cluster, snapshotPath(hosts[i]), hosts[i], snapshot, 2, &error),
                     qPrintable(error));
            expected.insert(withHost(hosts[i], snapshot));
            for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
                expectedInEtcd.insert(prefix + hosts[i].toUtf8() + '/' + it.key().toUtf8(), it.value());
        }
        QString diff;
        QTRY_VERIFY2_WITH_TIMEOUT((diff = difference(reader.contents(), expected)).isEmpty(), qPrintable(diff), 10000);

        // Each value is stored as an XML property list of its own.
        const QMap<QByteArray, QByteArray> stored = cluster.getPrefix(prefix);
        QCOMPARE(stored.keys(), expectedInEtcd.keys());
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            QVERIFY2(it.value().startsWith("<?xml"), it.key().constData());
            QVERIFY2(readPropertyList(it.value(), &error) == expectedInEtcd.value(it.key()), it.key().constData());
        }
    }

    void publisherGoneTakesItsKeys_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("ttl");
        QTest::addColumn<int>("withinMs");
        QTest::newRow("SIGKILL: the lease expires") << int(SIGKILL) << 2 << (2 + 2) * 1000;
        QTest::newRow("SIGTERM: the lease is revoked") << int(SIGTERM) << 10 << 1500;
    }

    void publisherGoneTakesItsKeys()
    {
        QFETCH(int, signal);
        QFETCH(int, ttl);
        QFETCH(int, withinMs);
        EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        PublisherProcess gone, staying;
        QVERIFY2(gone.start(cluster, snapshotPath("a"), "a", hostSnapshot("a", 2), ttl, &error), qPrintable(error));
        QVERIFY2(staying.start(cluster, snapshotPath("b"), "b", hostSnapshot("b", 3), ttl, &error), qPrintable(error));
        Reader reader;
        QVERIFY2(reader.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));
        const PropertyListDictionary goneKeys = withHost("a", hostSnapshot("a", 2));
        const PropertyListDictionary stayingKeys = withHost("b", hostSnapshot("b", 3));
        PropertyListDictionary both = goneKeys;
        both.insert(stayingKeys);
        QCOMPARE(difference(reader.contents(), both), QString());

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(::kill(pid_t(gone.process.processId()), signal), 0);
        QString diff;
        QTRY_VERIFY2_WITH_TIMEOUT((diff = difference(reader.contents(), stayingKeys)).isEmpty(), qPrintable(diff),
                                  withinMs);
        QVERIFY2(clock.elapsed() < withinMs, qPrintable(QString::number(clock.elapsed())));
        QSet<QString> changed;
        for (const QStringList &list : std::as_const(reader.recorder.lists))
            changed.unite(QSet<QString>(list.cbegin(), list.cend()));
        const QStringList goneNames = goneKeys.keys();
        QCOMPARE(changed, QSet<QString>(goneNames.cbegin(), goneNames.cend()));
    }

    void snapshotChangeIsOneChangeList()
    {
        EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        PropertyListDictionary snapshot = hostSnapshot("a", 2);
        PublisherProcess publisher;
        QVERIFY2(publisher.start(cluster, snapshotPath("a"), "a", snapshot, 2, &error), qPrintable(error));
        Reader reader;
        QVERIFY2(reader.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));

        snapshot.insert("State:/Network/Global/IPv4", str("changed"));
        snapshot.insert("State:/Network/Interface/wlan0/Link", str("added"));
        snapshot.remove("State:/Users/ConsoleUser");
        QVERIFY2(writeSnapshot(snapshotPath("a"), snapshot, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(!reader.recorder.lists.isEmpty(), 10000);
        // Another writer's change after it: whatever the publisher sent for
        // the snapshot has arrived by the time this does.
        QVERIFY2(cluster.put("keyvane/other/State:/Marker", "after", &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(reader.engine.contains("other:/State:/Marker"), 10000);

        QCOMPARE(reader.recorder.lists.size(), 2);
        QStringList first = reader.recorder.lists.first();
        first.sort();
        QCOMPARE(first, (QStringList{"a:/State:/Network/Global/IPv4", "a:/State:/Network/Interface/wlan0/Link",
                                     "a:/State:/Users/ConsoleUser"}));
        PropertyListDictionary expected = withHost("a", snapshot);
        expected.insert("other:/State:/Marker", str("after"));
        QCOMPARE(difference(reader.contents(), expected), QString());
    }

    void valuesOfOtherWriters_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<V>("shown");
        QTest::newRow("JSON object") << QByteArray(
            R"( {"name": "web-1", "cpus": 8, "load": 0.5, "up": true, "tags": ["a", null],)"
            R"( "net": {"mtu": 1500}})")
                                     << V::fromDictionary(
                                            {{"name", str("web-1")},
                                             {"cpus", V::fromInteger(8)},
                                             {"load", V::fromReal(0.5)},
                                             {"up", V::fromBoolean(true)},
                                             {"tags", V::fromArray({str("a"), str("")})},
                                             {"net", V::fromDictionary({{"mtu", V::fromInteger(1500)}})}});
        const QByteArray badPlist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                    "<plist version=\"1.0\"><dict><key>lonely</key></dict></plist>\n";
        QTest::newRow("broken property list") << badPlist << str(badPlist);
        const QByteArray notUtf8("\xff\xfe\x00status \xc3", 10);
        QTest::newRow("not UTF-8") << notUtf8 << V::fromData(notUtf8);
        const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
        QTest::newRow("JSON nested 100000 deep") << deep << str(deep);
        const QByteArray large = "large" + QByteArray(10 * 1024 * 1024, 'x');
        QTest::newRow("10 MB") << large << str(large);
    }

    void valuesOfOtherWriters()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(V, shown);
        const bool large = bytes.size() > 1024 * 1024;
        ClusterOptions options;
        if (large)
            options.extraArguments << "--max-request-bytes=16777216";
        EtcdTestCluster cluster(options);
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        Reader watching;
        QVERIFY2(watching.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));

        const QByteArray key = "keyvane/other/State:/Value";
        if (large) {
            // etcdctl sends at most 2 MiB; the gateway takes what the member takes.
            EtcdClient client(settingsOf(cluster.clientUrls()));
            const EtcdResult put = client.callAndWait(
                "/v3/kv/put", QJsonObject{{"key", EtcdClient::encode(key)}, {"value", EtcdClient::encode(bytes)}});
            QVERIFY2(put.ok(), qPrintable(put.error));
        } else {
            QVERIFY2(cluster.put(key, bytes, &error), qPrintable(error));
        }
        QTRY_VERIFY_WITH_TIMEOUT(watching.engine.contains("other:/State:/Value"), 15000);
        QVERIFY(watching.engine.value("other:/State:/Value") == shown);
        Reader loading;
        QVERIFY2(loading.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));
        QVERIFY(loading.engine.value("other:/State:/Value") == shown);
    }

    void changeListsLargerThanATransaction()
    {
        EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        const auto bulkKey = [](int i) { return QString("State:/Bulk/%1").arg(i, 3, 10, QLatin1Char('0')); };
        PropertyListDictionary snapshot{{"Setup:/Unchanged", str("same")}};
        for (int i = 0; i < 300; ++i)
            snapshot.insert(bulkKey(i), str("first"));
        const QString path = snapshotPath("bulk");
        QVERIFY(writeSnapshot(path, snapshot, &error));
        SnapshotPublisher published(path, cluster.clientUrls());
        EtcdPublisher &publisher = *published.publisher;
        QVERIFY2(published.start(&error), qPrintable(error));
        Reader reader;
        QVERIFY2(reader.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));
        QCOMPARE(difference(reader.contents(), withHost("p", snapshot)), QString());

        QStringList changed;
        for (int i = 0; i < 300; ++i) {
            snapshot.insert(bulkKey(i), V::fromInteger(i));
            changed.append("p:/" + bulkKey(i));
        }
        QVERIFY2(writeSnapshot(path, snapshot, &error), qPrintable(error));
        QString diff;
        QTRY_VERIFY2_WITH_TIMEOUT((diff = difference(reader.contents(), withHost("p", snapshot))).isEmpty(),
                                  qPrintable(diff), 15000);
        // The store holds the values as soon as the engine has them; its
        // change lists reach the connection from the event loop after.
        const auto received = [&reader] {
            QStringList keys;
            for (const QStringList &list : std::as_const(reader.recorder.lists))
                keys.append(list);
            keys.sort();
            return keys;
        };
        QTRY_COMPARE_WITH_TIMEOUT(received().size(), changed.size(), 5000);
        QCOMPARE(received(), changed);
        QCOMPARE(difference(reader.contents(), shownFrom(cluster.getPrefix(prefix))), QString());
        publisher.stop();
    }

    void cliShowsWhatTheReaderHolds()
    {
        EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        const V global = hostSnapshot("a", 1).value("State:/Network/Global/IPv4");
        QVERIFY(cluster.put("keyvane/a/State:/Network/Global/IPv4", writePropertyListXml(global, &error)));
        QVERIFY(cluster.put("keyvane/b/Setup:/System", R"({"HostName": "b", "Cores": [0, 1]})"));
        QVERIFY(cluster.put("keyvane/c", "text"));
        Reader reader;
        QVERIFY2(reader.open(settingsOf(cluster.clientUrls()), EtcdSourceOptions(), &error), qPrintable(error));

        const Run list = runCli({"--etcd", cluster.endpoints(), "list"});
        QVERIFY2(list.status == 0, qPrintable(list.err));
        QCOMPARE(list.out, reader.engine.keys().join('\n') + '\n');
        for (const QString key : {"a:/State:/Network/Global/IPv4", "b:/Setup:/System"}) {
            const Run show = runCli({"--etcd", cluster.endpoints(), "show", key});
            QVERIFY2(show.status == 0, qPrintable(show.err));
            const V value = reader.engine.value(key);
            QCOMPARE(show.out, value.typeName() + '\n' + value.description() + '\n');
        }
    }
};

QTEST_MAIN(TestEtcdFleet)
#include "tst_etcdfleet.moc"
