// Range reads over etcd's gRPC service: answers read by hand (built here
// field by field, and a real member's), and a store loading through them,
// or through the gateway when they cannot be used, to the same contents.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdGrpc.h"
#include "platform/etcd/EtcdKeys.h"
#include "platform/etcd/EtcdSource.h"
#include "tests/EtcdTestCluster.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace kv;
using namespace kv::etcd;

namespace {

const QByteArray prefix = QByteArrayLiteral("keyvane/");

template<std::size_t N>
QByteArray raw(const char (&text)[N]) // NULs included
{
    return QByteArray(text, qsizetype(N - 1));
}

// Protobuf pieces, as the wire format describes them.
QByteArray varint(quint64 value)
{
    QByteArray out;
    for (; value > 0x7f; value >>= 7)
        out.append(char((value & 0x7f) | 0x80));
    return out.append(char(value));
}
QByteArray tag(int field, int wireType)
{
    return varint(quint64(field) << 3 | quint64(wireType));
}
QByteArray number(int field, quint64 value)
{
    return tag(field, 0) + varint(value);
}
QByteArray bytes(int field, const QByteArray &payload)
{
    return tag(field, 2) + varint(quint64(payload.size())) + payload;
}
// Fields no message here knows, one of each wire type that can be skipped.
QByteArray unknown(bool present)
{
    return present ? number(90, 1ull << 62) + tag(91, 1) + "8 bytes." + bytes(92, QByteArray(200, '\0')) + tag(93, 5)
                         + "4 by"
                   : QByteArray();
}
QByteArray header(qint64 revision, bool withUnknown = false)
{
    return bytes(1, number(1, 0xfeedface12345678ull) + number(2, 7) + unknown(withUnknown)
                        + number(3, quint64(revision)) + number(4, 3));
}
QByteArray keyValue(const QByteArray &key, const QByteArray &value, bool withUnknown = false)
{
    return bytes(2, bytes(1, key) + number(2, 4) + number(3, 9) + number(4, 2) + unknown(withUnknown) + bytes(5, value)
                        + number(6, 0));
}

// A member behind a proxy of HTTP/1.1 only: a connection opening with
// HTTP/2's preface gets a 400, any other goes through to the member.
struct Http1Proxy : QTcpServer
{
    quint16 memberPort = 0;
    void incomingConnection(qintptr descriptor) override
    {
        auto *client = new QTcpSocket(this);
        client->setSocketDescriptor(descriptor);
        auto *member = new QTcpSocket(client);
        member->connectToHost(QHostAddress::LocalHost, memberPort);
        member->waitForConnected(2000);
        connect(client, &QTcpSocket::readyRead, client, [client, member, first = true]() mutable {
            const QByteArray bytes = client->readAll();
            if (std::exchange(first, false) && bytes.startsWith("PRI * HTTP/2.0")) {
                client->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                client->disconnectFromHost();
                return;
            }
            member->write(bytes);
        });
        connect(member, &QTcpSocket::readyRead, client, [client, member] { client->write(member->readAll()); });
        connect(member, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
};

QStringList criticalMessages;
void recordCritical(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg)
        criticalMessages.append(message);
}

} // namespace

class TestEtcdGrpc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rangeResponse_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("reads");
        QTest::addColumn<qint64>("revision");
        QTest::addColumn<QList<QByteArray>>("pairs"); // key, value, key, value …
        QTest::addColumn<bool>("more");
        QTest::addColumn<qint64>("count");

        const QByteArray oddKey = raw("keyvane/h\xc3\x28/State:/\0x");
        const QByteArray nulValue = raw("a\0\xff\0");
        const QList<QByteArray> pairs{"keyvane/a/x", "1", oddKey, nulValue};
        for (const bool withUnknown : {false, true})
            QTest::addRow("pairs%s", withUnknown ? ", unknown fields skipped" : "")
                << unknown(withUnknown) + header(41, withUnknown) + keyValue("keyvane/a/x", "1", withUnknown)
                       + unknown(withUnknown) + keyValue(oddKey, nulValue, withUnknown) + number(3, 1) + number(4, 9)
                       + unknown(withUnknown)
                << true << qint64(41) << pairs << true << qint64(9);
        QTest::newRow("empty pair, largest varint")
            << header(1ll << 40) + bytes(2, QByteArray()) + number(4, ~0ull) << true << (qint64(1) << 40)
            << QList<QByteArray>{"", ""} << false << qint64(-1);

        const auto bad = [](const char *name, const QByteArray &message) {
            QTest::newRow(name) << message << false << qint64(0) << QList<QByteArray>() << false << qint64(0);
        };
        bad("no header", keyValue("k", "v") + number(3, 1));
        bad("truncated varint", header(2) + tag(4, 0) + "\x80\x80");
        bad("truncated tag", header(2) + "\x80");
        bad("overlong varint", header(2) + tag(4, 0) + QByteArray(10, '\x80') + '\0');
        bad("varint past 64 bits", header(2) + tag(4, 0) + QByteArray(9, '\xff') + '\x02');
        bad("length past the end", header(2) + tag(2, 2) + varint(50) + QByteArray(49, 'k'));
        bad("huge length", header(2) + tag(92, 2) + varint(~0ull) + "k");
        bad("length past the end of a pair", header(2) + bytes(2, tag(1, 2) + varint(5) + "key"));
        bad("key as a number", header(2) + bytes(2, number(1, 5)));
        bad("value as fixed32", header(2) + bytes(2, tag(5, 5) + "abcd"));
        bad("revision as bytes", bytes(1, bytes(3, "12")));
        bad("more as bytes", header(2) + bytes(3, "\x01"));
        bad("truncated unknown fixed64", header(2) + tag(91, 1) + "1234567");
        bad("truncated unknown fixed32", header(2) + tag(93, 5) + "123");
        bad("group", header(2) + tag(95, 3) + tag(95, 4));
        bad("field number 0", header(2) + tag(0, 0) + varint(1));
    }
    void rangeResponse()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, reads);
        const QByteArray frame = grpcFrame(message);
        const std::optional<RangeAnswer> answer = decodeRangeResponse(grpcFrameMessage(frame).value());
        QCOMPARE(answer.has_value(), reads);
        if (!reads)
            return;
        QFETCH(qint64, revision);
        QFETCH(QList<QByteArray>, pairs);
        QFETCH(bool, more);
        QFETCH(qint64, count);
        QCOMPARE(answer->revision, revision);
        QList<QByteArray> decoded;
        for (const RangeEntry &entry : answer->kvs)
            decoded << entry.key.toByteArray() << entry.value.toByteArray();
        QCOMPARE(decoded, pairs);
        QCOMPARE(answer->more, more);
        QCOMPARE(answer->count, count);
    }

    void frames_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("taken");
        const QByteArray frame = grpcFrame(header(3) + keyValue("k", QByteArray(70000, 'v')));
        QTest::newRow("large") << frame << true;
        QTest::newRow("compressed") << '\x01' + frame.mid(1) << false;
        QTest::newRow("cut short") << frame.chopped(1) << false;
        QTest::newRow("two messages") << frame + grpcFrame(QByteArray()) << false;
        QTest::newRow("no prefix") << QByteArray(4, '\0') << false;
    }
    void frames()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, taken);
        const std::optional<QByteArrayView> message = grpcFrameMessage(body);
        QCOMPARE(message.has_value(), taken);
        QVERIFY(!taken || (message->size() == body.size() - 5 && decodeRangeResponse(*message)));
    }

    // Range calls to a real member, ten in a row, read field by field.
    void rangeOfMember_data()
    {
        QTest::addColumn<QString>("revisionAsked");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("fault");
        QTest::newRow("all") << "newest" << qint64(0) << int(EtcdFault::None);
        QTest::newRow("a page") << "newest" << qint64(3) << int(EtcdFault::None);
        QTest::newRow("an older revision") << "older" << qint64(0) << int(EtcdFault::None);
        QTest::newRow("a compacted revision") << "compacted" << qint64(0) << int(EtcdFault::Compacted);
        QTest::newRow("a future revision") << "future" << qint64(0) << int(EtcdFault::Refused);
    }
    void rangeOfMember()
    {
        QFETCH(QString, revisionAsked);
        QFETCH(qint64, limit);
        QFETCH(int, fault);
        etcdtest::EtcdTestCluster cluster;
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        QVERIFY2(cluster.put(prefix + "a/State:/old", "gone later", &error), qPrintable(error));
        const qint64 older = cluster.revision(&error);
        bool ok = false;
        cluster.etcdctl({QStringLiteral("del"), QStringLiteral("keyvane/a/State:/old")}, &ok, &error);
        QVERIFY2(ok, qPrintable(error));
        for (int i = 0; i < 5; ++i)
            QVERIFY2(cluster.put(prefix + "b/State:/" + QByteArray::number(i), raw("v\0") + char(i), &error),
                     qPrintable(error));
        QVERIFY2(cluster.put(prefix + raw("h\xff\xfe/State:/odd"), raw("\0\xff"), &error), qPrintable(error));
        const qint64 newest = cluster.revision(&error);
        QMap<QByteArray, QByteArray> expected = cluster.getPrefix(prefix);
        const qint64 revision = QMap<QString, qint64>{
            {QStringLiteral("older"), older},
            {QStringLiteral("compacted"), older},
            {QStringLiteral("future"),
             newest + 100}}.value(revisionAsked);
        if (revisionAsked == QLatin1String("older"))
            expected = {{prefix + "a/State:/old", "gone later"}};
        if (revisionAsked == QLatin1String("compacted"))
            QVERIFY2(cluster.compact(newest, &error), qPrintable(error));

        EtcdSettings settings;
        settings.endpoints = cluster.clientUrls();
        EtcdClient client(settings);
        GrpcRangeCalls &calls = GrpcRangeCalls::of(client);
        std::optional<GrpcRangeReply> reply;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 10; ++i) {
            QEventLoop loop; // answers come within the call timeout
            calls.range({prefix, prefixRangeEnd(prefix), limit, revision, revision != 0},
                        [&](const GrpcRangeReply &answer) {
                            reply = answer;
                            loop.quit();
                        });
            loop.exec();
        }
        // Well under a delayed acknowledgement (40 ms) per call.
        QVERIFY2(timer.elapsed() < 10 * 20, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
        QCOMPARE(int(reply->failure.fault), fault);
        QVERIFY2(!calls.givenUp(), qPrintable(reply->failure.error));
        QCOMPARE(reply->answer.has_value(), fault == int(EtcdFault::None));
        if (!reply->answer)
            return;
        QCOMPARE(reply->answer->revision, newest); // the member's, whichever is read
        QCOMPARE(reply->answer->count, qint64(expected.size()));
        QCOMPARE(reply->answer->more, limit != 0 && limit < expected.size());
        while (limit != 0 && expected.size() > limit)
            expected.erase(std::prev(expected.end()));
        QMap<QByteArray, QByteArray> read;
        for (const RangeEntry &entry : reply->answer->kvs)
            read.insert(entry.key.toByteArray(), entry.value.toByteArray());
        QCOMPARE(read, expected);
    }

    // A store loading in pages of 4 keys, over gRPC when it can.
    void load_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("authentication");
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<bool>("behindHttp1Proxy");
        QTest::addColumn<int>("answersOverGrpc");
        QTest::newRow("h2c") << false << false << true << false << 8;
        // The first page goes to the gateway, which gets the token.
        QTest::newRow("https, with a token") << true << true << true << false << 7;
        QTest::newRow("not allowed") << false << false << false << false << 0;
        QTest::newRow("behind a proxy of HTTP/1.1") << false << false << true << true << 0;
    }
    void load()
    {
        QFETCH(bool, tls);
        QFETCH(bool, authentication);
        QFETCH(bool, allowed);
        QFETCH(bool, behindHttp1Proxy);
        QFETCH(int, answersOverGrpc);
        etcdtest::ClusterOptions options;
        options.tls = tls;
        etcdtest::EtcdTestCluster cluster(options);
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));

        EtcdSettings settings;
        settings.endpoints = cluster.clientUrls();
        settings.caCertificatePath = cluster.caCertificatePath();
        QJsonArray puts;
        const auto put = [&puts](const QByteArray &key, const QByteArray &value) {
            puts.append(QJsonObject{
                {QStringLiteral("request_put"), QJsonObject{{QStringLiteral("key"), EtcdClient::encode(key)},
                                                            {QStringLiteral("value"), EtcdClient::encode(value)}}}});
        };
        for (int i = 0; i < 30; ++i)
            put(prefix + "host" + QByteArray::number(i % 4) + "/State:/Key" + QByteArray::number(i),
                "<plist version=\"1.0\"><integer>" + QByteArray::number(i) + "</integer></plist>");
        put(prefix + raw("h\xff\x80/State:/odd"), raw("nul\0\0inside\xff"));
        put("elsewhere/x", "outside the prefix");
        QVERIFY(EtcdClient(settings)
                    .callAndWait(QStringLiteral("/v3/kv/txn"), QJsonObject{{QStringLiteral("success"), puts}})
                    .ok());
        if (authentication) {
            QVERIFY2(cluster.enableAuth(QStringLiteral("reader"), QStringLiteral("secret"), prefix, &error),
                     qPrintable(error));
            settings.user = QStringLiteral("reader");
            settings.password = QStringLiteral("secret");
        }
        Http1Proxy proxy;
        if (behindHttp1Proxy) {
            proxy.memberPort = QUrl(settings.endpoints.first()).port();
            QVERIFY(proxy.listen(QHostAddress::LocalHost));
            settings.endpoints = {QStringLiteral("http://127.0.0.1:%1").arg(proxy.serverPort())};
        }

        StoreEngine engine;
        const StoreEngine::Installation installation(engine);
        EtcdSourceOptions sourceOptions;
        sourceOptions.pageSize = 4;
        auto source = std::make_unique<EtcdSource>(settings, sourceOptions);
        source->client().setCallTimeout(1000); // a call to the proxy may time out
        GrpcRangeCalls &calls = GrpcRangeCalls::of(source->client());
        calls.setAllowed(allowed);
        engine.addSource(std::move(source));
        criticalMessages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(recordCritical);
        const bool started = engine.ensureStarted(&error);
        qInstallMessageHandler(previous);
        QVERIFY2(started, qPrintable(error));

        const QMap<QByteArray, QByteArray> stored = cluster.getPrefix(prefix, nullptr, &error);
        QCOMPARE(stored.size(), 31);
        PropertyListDictionary expected, loaded;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            expected.insert(storeKeyFromEtcd(it.key(), prefix), valueFromEtcd(it.value()));
        for (const QString &key : engine.keys())
            loaded.insert(key, engine.value(key));
        QCOMPARE(loaded, expected);
        QCOMPARE(calls.answers(), answersOverGrpc);
        QCOMPARE(calls.givenUp(), behindHttp1Proxy);
        QCOMPARE(criticalMessages, QStringList()); // Qt tripping over the trailers
    }
};

QTEST_MAIN(TestEtcdGrpc)
#include "tst_etcdgrpc.moc"
