// The fleet's etcd cluster when things go wrong: a member dying under a
// reader or a publisher, a compaction while a reader is cut off, no cluster
// at start, authentication (a refused password, a token lost with a member
// restart) and TLS without the cluster's CA.

#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdKeys.h"
#include "platform/etcd/EtcdPublisher.h"
#include "platform/etcd/EtcdSource.h"
#include "platform/plist/PropertyListFile.h"
#include "tests/EtcdTestCluster.h"
#include "tests/EtcdTestSupport.h"
#include "tests/StoreTestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace kv;
using namespace kv::etcd;
using etcdtest::ClusterOptions;
using etcdtest::EtcdTestCluster;
using namespace etcdtest;

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

// Quick retries, so that a member coming back is seen soon.
EtcdSourceOptions quickRetries(EtcdSourceOptions::WhenUnreachable whenUnreachable)
{
    EtcdSourceOptions options;
    options.whenUnreachable = whenUnreachable;
    options.firstRetryMilliseconds = 100;
    options.longestRetryMilliseconds = 300;
    return options;
}

// An in-process reader: an engine with an EtcdSource and a connection
// recording each change list.
} // namespace

class TestEtcdFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!EtcdTestCluster::available(&why))
            QSKIP(qPrintable(why));
        QVERIFY2(QFile::exists(cli), qPrintable(cli + " is not built"));
    }

    void readerGoesOnWithAnotherMember_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("member killed") << true;
        QTest::newRow("member stopped") << false;
    }

    void readerGoesOnWithAnotherMember()
    {
        QFETCH(bool, killed);
        ClusterOptions options;
        options.members = 3;
        EtcdTestCluster cluster(options);
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        const auto seed = [](int i) { return "keyvane/h/State:/Seed/" + QByteArray::number(i); };
        for (int i = 0; i < 10; ++i)
            QVERIFY2(cluster.put(seed(i), "seed", &error), qPrintable(error));
        Reader reader;
        QVERIFY2(reader.open(settingsOf(cluster.clientUrls()),
                             quickRetries(EtcdSourceOptions::WhenUnreachable::FailStart), &error),
                 qPrintable(error));
        QCOMPARE(reader.engine.keyCount(), 10);

        const QString lost = reader.source->client().currentEndpoint();
        const int member = int(cluster.clientUrls().indexOf(lost));
        QVERIFY(member >= 0);
        const SystemLogCapture quiet;
        QVERIFY2(killed ? cluster.killMember(member, &error) : cluster.stopMember(member, &error), qPrintable(error));
        // Puts, updates and deletes on the members left, the reader running
        // in between.
        for (int i = 0; i < 50; ++i) {
            bool ok = false;
            if (i % 3 == 0)
                ok = cluster.put("keyvane/h/State:/New/" + QByteArray::number(i),
                                 "{\"i\": " + QByteArray::number(i) + "}", &error);
            else if (i % 3 == 1)
                ok = cluster.put(seed(i % 10), "update " + QByteArray::number(i), &error);
            else
                cluster.etcdctl({"del", "--", QString::fromUtf8(seed(i * 7 % 10))}, &ok, &error);
            QVERIFY2(ok, qPrintable(error));
            QCoreApplication::processEvents();
        }
        const PropertyListDictionary expected = shownFrom(cluster.getPrefix(prefix));
        QString diff;
        QTRY_VERIFY2_WITH_TIMEOUT((diff = difference(reader.contents(), expected)).isEmpty(), qPrintable(diff), 15000);
        QVERIFY(reader.source->client().currentEndpoint() != lost);
    }

    void compactionWhileCutOff()
    {
        ClusterOptions options;
        options.members = 3;
        EtcdTestCluster cluster(options);
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        for (const char *name : {"Kept", "Updated", "Removed", "Bounced"})
            QVERIFY2(cluster.put("keyvane/h/State:/" + QByteArray(name), "first", &error), qPrintable(error));
        Reader reader;
        QVERIFY2(reader.open(settingsOf({cluster.clientUrls().first()}),
                             quickRetries(EtcdSourceOptions::WhenUnreachable::FailStart), &error),
                 qPrintable(error));
        QCOMPARE(reader.engine.keyCount(), 4);

        SystemLogCapture log;
        QVERIFY2(cluster.stopMember(0, &error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 1, 5000); // noticed, once
        bool deleted = false;
        QVERIFY2(cluster.put("keyvane/h/State:/Added", "new", &error), qPrintable(error));
        QVERIFY2(cluster.put("keyvane/h/State:/Updated", "second", &error), qPrintable(error));
        cluster.etcdctl({"del", "keyvane/h/State:/Removed"}, &deleted, &error);
        QVERIFY2(deleted, qPrintable(error));
        // Changed and changed back: no difference to publish.
        QVERIFY2(cluster.put("keyvane/h/State:/Bounced", "second", &error), qPrintable(error));
        QVERIFY2(cluster.put("keyvane/h/State:/Bounced", "first", &error), qPrintable(error));
        const qint64 revision = cluster.revision(&error);
        QVERIFY2(revision > 0 && cluster.compact(revision, &error), qPrintable(error));
        QVERIFY2(cluster.restartMember(0, &error), qPrintable(error));

        const PropertyListDictionary expected = shownFrom(cluster.getPrefix(prefix));
        QString diff;
        QTRY_VERIFY2_WITH_TIMEOUT((diff = difference(reader.contents(), expected)).isEmpty(), qPrintable(diff), 15000);
        QCOMPARE(reader.changedKeys(), (QSet<QString>{"h:/State:/Added", "h:/State:/Updated", "h:/State:/Removed"}));
        QCOMPARE(reader.source->revision(), revision);
    }

    void publisherGoesOnWithAnotherMember()
    {
        ClusterOptions options;
        options.members = 3;
        EtcdTestCluster cluster(options);
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        QTemporaryDir dir;
        const QString path = dir.filePath("store.plist");
        PropertyListDictionary snapshot{{"Setup:/System", str("p")},
                                        {"State:/Network/Global/IPv4", str("eth0")},
                                        {"State:/Users/ConsoleUser", str("ann")}};
        QVERIFY(writePropertyListFile(path, PropertyListValue::fromDictionary(snapshot), &error));
        SnapshotPublisher published(path, cluster.clientUrls());
        EtcdPublisher &publisher = *published.publisher;
        QVERIFY2(published.start(&error), qPrintable(error));
        const auto clusterDifference = [&] {
            PropertyListDictionary expected;
            for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
                expected.insert("p:/" + it.key(), it.value());
            return difference(shownFrom(cluster.getPrefix(prefix)), expected);
        };
        QCOMPARE(clusterDifference(), QString());

        const QString lost = publisher.client().currentEndpoint();
        const int member = int(cluster.clientUrls().indexOf(lost));
        QVERIFY(member >= 0);
        const SystemLogCapture quiet;
        QVERIFY2(cluster.killMember(member, &error), qPrintable(error));
        snapshot.insert("State:/Network/Global/IPv4", str("wlan0"));
        snapshot.insert("State:/Network/Interface/wlan0/Link", PropertyListValue::fromBoolean(true));
        snapshot.remove("State:/Users/ConsoleUser");
        QVERIFY(writePropertyListFile(path, PropertyListValue::fromDictionary(snapshot), &error));
        QString diff;
        QTRY_VERIFY2_WITH_TIMEOUT((diff = clusterDifference()).isEmpty(), qPrintable(diff), 15000);
        QVERIFY(publisher.client().currentEndpoint() != lost);
        publisher.stop();
    }

    void unreachableAtStart()
    {
        QTcpServer refusing;
        QVERIFY(refusing.listen(QHostAddress::LocalHost, 0));
        const quint16 port = refusing.serverPort();
        refusing.close();
        const QString endpoint = QString("127.0.0.1:%1").arg(port);

        const Run run = runCli({"--etcd", "http://" + endpoint, "list"});
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.startsWith("keyvane-cli: ") && run.err.count('\n') == 1 && run.err.contains(endpoint),
                 qPrintable(run.err));

        // Something in front of no cluster, answering every request with
        // 503, to count the reader's tries.
        QTcpServer unavailable;
        int tries = 0;
        connect(&unavailable, &QTcpServer::newConnection, &unavailable, [&] {
            while (QTcpSocket *socket = unavailable.nextPendingConnection()) {
                ++tries;
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (socket->readAll().contains("\r\n\r\n"))
                        socket->write(
                            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                });
            }
        });
        QVERIFY(unavailable.listen(QHostAddress::LocalHost, port));
        SystemLogCapture log;
        Reader reader;
        QString error;
        QVERIFY2(reader.open(settingsOf({"http://" + endpoint}),
                             quickRetries(EtcdSourceOptions::WhenUnreachable::ComeUpEmpty), &error),
                 qPrintable(error));
        QCOMPARE(reader.engine.keyCount(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(tries >= 5, 10000);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().contains(endpoint), qPrintable(log.lines().first()));

        unavailable.close();
        ClusterOptions options;
        options.clientPort = port;
        EtcdTestCluster cluster(options);
        QVERIFY2(cluster.start(&error), qPrintable(error));
        QVERIFY2(cluster.put("keyvane/late/State:/Up", "yes", &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(reader.engine.value("late:/State:/Up") == str("yes"), 10000);
    }

    void cliReachesTheCluster_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("password"); // none: no authentication
        QTest::addColumn<bool>("withCa");
        QTest::addColumn<QString>("failure"); // what the one line of a failure says; none: success
        QTest::newRow("wrong password") << false << "guess" << false << "authentication failed";
        QTest::newRow("right password") << false << "s3cret" << false << "";
        QTest::newRow("TLS without the cluster's CA") << true << "" << false << "TLS|certificate";
        QTest::newRow("TLS with the cluster's CA") << true << "" << true << "";
    }

    void cliReachesTheCluster()
    {
        QFETCH(bool, tls);
        QFETCH(QString, password);
        QFETCH(bool, withCa);
        QFETCH(QString, failure);
        ClusterOptions options;
        options.tls = tls;
        EtcdTestCluster cluster(options);
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        QVERIFY2(cluster.put("keyvane/s/State:/Secret", "42", &error), qPrintable(error));
        QStringList arguments{"--etcd", cluster.endpoints()};
        if (!password.isEmpty()) {
            QVERIFY2(cluster.enableAuth("fleet", "s3cret", prefix, &error), qPrintable(error));
            arguments << "--etcd-user"
                      << "fleet";
        }
        if (withCa)
            arguments << "--etcd-cacert" << cluster.caCertificatePath();
        const Run run = runCli(arguments << "list", password);
        if (failure.isEmpty()) {
            QVERIFY2(run.status == 0, qPrintable(run.err));
            QCOMPARE(run.out, QString("s:/State:/Secret\n"));
        } else {
            QVERIFY2(run.status == 2 && run.out.isEmpty(), qPrintable(QString::number(run.status) + ": " + run.err));
            QVERIFY2(run.err.count('\n') == 1 && run.err.contains(QRegularExpression(failure)), qPrintable(run.err));
        }
    }

    // A token handed out before is refused once authentication was turned
    // off and on again (a restart alone does not do it: the member makes its
    // tokens again as it replays its log); the restart makes the reader
    // watch anew with it.
    void lostTokenIsRenewed()
    {
        EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        QVERIFY2(cluster.enableAuth("fleet", "s3cret", prefix, &error), qPrintable(error));
        QVERIFY2(cluster.put("keyvane/s/State:/Before", "1", &error), qPrintable(error));
        EtcdSettings settings = settingsOf(cluster.clientUrls());
        settings.user = "fleet";
        settings.password = "s3cret";
        Reader reader;
        QVERIFY2(reader.open(settings, quickRetries(EtcdSourceOptions::WhenUnreachable::FailStart), &error),
                 qPrintable(error));
        EtcdClient client(settings);
        const QJsonObject range{{"key", EtcdClient::encode(prefix)},
                                {"range_end", EtcdClient::encode(prefixRangeEnd(prefix))}};
        QVERIFY(client.callAndWait("/v3/kv/range", range).ok());

        for (const QString step : {"disable", "enable"}) {
            bool ok = false;
            cluster.etcdctl({"auth", step}, &ok, &error);
            QVERIFY2(ok, qPrintable(error));
        }
        SystemLogCapture log;
        QVERIFY2(cluster.stopMember(0, &error), qPrintable(error));
        QVERIFY2(cluster.restartMember(0, &error), qPrintable(error));
        QVERIFY2(cluster.put("keyvane/s/State:/After", "2", &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(reader.engine.contains("s:/State:/After"), 10000);
        // The member going away is told as such (its watch stream ended
        // cleanly), not as an answer that could not be read.
        QVERIFY(!log.lines().isEmpty());
        QVERIFY2(!log.lines().first().contains("JSON"), qPrintable(log.lines().first()));
        const EtcdResult again = client.callAndWait("/v3/kv/range", range);
        QVERIFY2(again.ok(), qPrintable(again.error));
        QCOMPARE(again.json.value("kvs").toArray().size(), 2);
    }
};

QTEST_MAIN(TestEtcdFaults)
#include "tst_etcdfaults.moc"
