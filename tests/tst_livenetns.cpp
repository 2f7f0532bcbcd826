// The live source following the kernel in a network namespace of its own:
// this whole test executable moves into a fresh namespace, makes a veth
// pair there and changes links, addresses and routes, checking that each
// step reaches the store as one change list that agrees with `ip`.

#include "tst_livesupport.h"

#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <sched.h>

using namespace kv;
using namespace livetest;

namespace {

const QString InterfaceList = QStringLiteral("State:/Network/Interface");
const QString Veth0Link = QStringLiteral("State:/Network/Interface/veth0/Link");
const QString Veth1Link = QStringLiteral("State:/Network/Interface/veth1/Link");
const QString Veth0IPv4 = QStringLiteral("State:/Network/Interface/veth0/IPv4");
const QString Veth0IPv6 = QStringLiteral("State:/Network/Interface/veth0/IPv6");
const QString GlobalIPv4 = QStringLiteral("State:/Network/Global/IPv4");
const QString GlobalIPv6 = QStringLiteral("State:/Network/Global/IPv6");
const QString RoutesIPv4 = QStringLiteral("State:/Network/Global/Routes/IPv4");
const QString RoutesIPv6 = QStringLiteral("State:/Network/Global/Routes/IPv6");

// Runs the commands in one `ip -batch`, so that they all happen while the
// event loop is not reading. Batch lines take no options such as -6: the
// family follows from the addresses.
bool ipBatch(const QStringList &commands, QString *error)
{
    QTemporaryFile file;
    if (!file.open()) {
        *error = QStringLiteral("cannot write a batch file");
        return false;
    }
    file.write(commands.join(QLatin1Char('\n')).toUtf8() + '\n');
    file.flush();
    return bool(runIp({QStringLiteral("-batch"), file.fileName()}, error));
}

} // namespace

#define IP(...)                                                                                                        \
    do {                                                                                                               \
        QString ipError_;                                                                                              \
        QVERIFY2(ipBatch({__VA_ARGS__}, &ipError_), qPrintable(ipError_));                                             \
    } while (false)

class TestLiveNetns : public QObject
{
    Q_OBJECT

    std::unique_ptr<LiveFixture> m_fixture;

    LiveSystemOptions options()
    {
        LiveSystemOptions options;
        options.resolverConfigurationPath.clear();
        options.powerSupplyRoot.clear();
        options.settleMilliseconds = 50;
        // The kernel's side only: the desktop's agents have tests of their own.
        options.desktop.enabled = false;
        return options;
    }

    // The store agrees with `ip` on addresses and routes.
    void compareWithIp(const kv::StoreEngine &engine)
    {
        const auto view = ipAddresses();
        QVERIFY(view);
        QCOMPARE(describe(normalised(storeAddresses(engine))), describe(normalised(*view)));
        for (bool ipv6 : {false, true}) {
            const auto routes = ipRoutes(ipv6);
            QVERIFY(routes);
            QCOMPARE(describe(storeRoutes(engine, ipv6)), describe(*routes));
        }
    }

    bool agreesWithIp(const kv::StoreEngine &engine)
    {
        const auto view = ipAddresses();
        if (!view || describe(normalised(storeAddresses(engine))) != describe(normalised(*view)))
            return false;
        for (bool ipv6 : {false, true}) {
            const auto routes = ipRoutes(ipv6);
            if (!routes || describe(storeRoutes(engine, ipv6)) != describe(*routes))
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!haveIp())
            QSKIP("the ip command is not installed");
        if (::unshare(CLONE_NEWNET) != 0)
            QSKIP(qPrintable(QStringLiteral("cannot make a network namespace (unshare: %1); needs CAP_SYS_ADMIN")
                                 .arg(QString::fromLocal8Bit(strerror(errno)))));
        QString error;
        if (!ipBatch({QStringLiteral("link set lo up")}, &error))
            QSKIP(qPrintable(QStringLiteral("cannot configure the namespace (needs CAP_NET_ADMIN): ") + error));
        if (!ipBatch({QStringLiteral("link add veth0 type veth peer name veth1")}, &error))
            QSKIP(qPrintable(QStringLiteral("cannot make a veth pair: ") + error));
        QVERIFY(ipBatch({QStringLiteral("link del veth0")}, &error));
    }

    void startsWithLoopbackOnly()
    {
        m_fixture = std::make_unique<LiveFixture>(options());
        QVERIFY(m_fixture->isConnected());
        QCOMPARE(strings(m_fixture->value(InterfaceList).value("Interfaces")), QStringList({"lo"}));
        QVERIFY(!m_fixture->engine().contains(GlobalIPv4));
        compareWithIp(m_fixture->engine());
    }

    void addsLinks()
    {
        m_fixture->clearChangeLists();
        // No automatic IPv6 link-local addresses: every address comes from the test.
        IP("link add veth0 type veth peer name veth1", "link set veth0 addrgenmode none",
           "link set veth1 addrgenmode none");
        QTRY_VERIFY2(m_fixture->oneListHolds({InterfaceList, Veth0Link, Veth1Link}),
                     qPrintable(m_fixture->describeLists()));
        QCOMPARE(strings(m_fixture->value(InterfaceList).value("Interfaces")), QStringList({"lo", "veth0", "veth1"}));
        const PropertyListValue link = m_fixture->value(Veth0Link);
        QCOMPARE(link.value("Active").boolean(), false);
        QCOMPARE(link.value("Type").string(), QStringLiteral("ether"));
        QCOMPARE(link.value("OperationalState").string(), QStringLiteral("down"));
        QCOMPARE(link.value("MTU").integer(), 1500);
        QCOMPARE(link.value("HardwareAddress").string().size(), 17);
        // Same index and address as ip shows.
        const auto output = runIp({"-j", "link", "show", "dev", "veth0"});
        QVERIFY(output);
        const QJsonObject ipLink = QJsonDocument::fromJson(*output).array().at(0).toObject();
        QCOMPARE(link.value("Index").integer(), ipLink.value("ifindex").toInt());
        QCOMPARE(link.value("HardwareAddress").string(), ipLink.value("address").toString());
    }

    void bringsLinksUp()
    {
        m_fixture->clearChangeLists();
        IP("link set veth0 up", "link set veth1 up");
        QTRY_VERIFY2(m_fixture->oneListHolds({Veth0Link, Veth1Link}), qPrintable(m_fixture->describeLists()));
        QCOMPARE(m_fixture->value(Veth0Link).value("Active").boolean(), true);
        QVERIFY(strings(m_fixture->value(Veth0Link).value("Flags")).contains("UP"));
        // The operational state follows once the kernel has settled the carrier.
        QTRY_COMPARE(m_fixture->value(Veth0Link).value("OperationalState").string(), QStringLiteral("up"));
        QTRY_COMPARE(m_fixture->value(Veth0Link).value("Running").boolean(), true);
        QVERIFY(strings(m_fixture->value(Veth0Link).value("Flags")).contains("LOWER_UP"));
    }

    void addsIPv4Address()
    {
        m_fixture->clearChangeLists();
        IP("addr add 192.0.2.1/24 brd + dev veth0");
        QTRY_VERIFY2(m_fixture->oneListHolds({Veth0IPv4, RoutesIPv4}), qPrintable(m_fixture->describeLists()));
        const PropertyListValue value = m_fixture->value(Veth0IPv4);
        QCOMPARE(strings(value.value("Addresses")), QStringList({"192.0.2.1"}));
        QCOMPARE(value.value("PrefixLengths").at(0).integer(), 24);
        QCOMPARE(strings(value.value("BroadcastAddresses")), QStringList({"192.0.2.255"}));
        compareWithIp(m_fixture->engine());
    }

    void addsIPv6Address()
    {
        m_fixture->clearChangeLists();
        IP("addr add 2001:db8::1/64 dev veth0 nodad");
        QTRY_VERIFY2(m_fixture->oneListHolds({Veth0IPv6, RoutesIPv6}), qPrintable(m_fixture->describeLists()));
        const PropertyListValue value = m_fixture->value(Veth0IPv6);
        QCOMPARE(strings(value.value("Addresses")), QStringList({"2001:db8::1"}));
        QCOMPARE(value.value("PrefixLengths").at(0).integer(), 64);
        QCOMPARE(strings(value.value("Scopes")), QStringList({"global"}));
        const QStringList flags = strings(value.value("Flags").at(0));
        QVERIFY2(flags.contains("nodad") && flags.contains("permanent"), qPrintable(flags.join(',')));
        compareWithIp(m_fixture->engine());
    }

    void addsDefaultRoutes()
    {
        m_fixture->clearChangeLists();
        IP("route add default via 192.0.2.254 dev veth0 metric 20");
        QTRY_VERIFY2(m_fixture->oneListHolds({GlobalIPv4, RoutesIPv4}), qPrintable(m_fixture->describeLists()));
        QCOMPARE(m_fixture->value(GlobalIPv4).value("PrimaryInterface").string(), QStringLiteral("veth0"));
        QCOMPARE(m_fixture->value(GlobalIPv4).value("Router").string(), QStringLiteral("192.0.2.254"));
        compareWithIp(m_fixture->engine());

        // A default route of lower metric takes over.
        m_fixture->clearChangeLists();
        IP("route add default via 192.0.2.253 dev veth0 metric 10");
        QTRY_VERIFY2(m_fixture->oneListHolds({GlobalIPv4, RoutesIPv4}), qPrintable(m_fixture->describeLists()));
        QCOMPARE(m_fixture->value(GlobalIPv4).value("Router").string(), QStringLiteral("192.0.2.253"));
        IP("route del default via 192.0.2.253 dev veth0 metric 10");
        QTRY_COMPARE(m_fixture->value(GlobalIPv4).value("Router").string(), QStringLiteral("192.0.2.254"));

        m_fixture->clearChangeLists();
        IP("route add default via 2001:db8::fe dev veth0");
        QTRY_VERIFY2(m_fixture->oneListHolds({GlobalIPv6, RoutesIPv6}), qPrintable(m_fixture->describeLists()));
        QCOMPARE(m_fixture->value(GlobalIPv6).value("PrimaryInterface").string(), QStringLiteral("veth0"));
        QCOMPARE(m_fixture->value(GlobalIPv6).value("Router").string(), QStringLiteral("2001:db8::fe"));
        compareWithIp(m_fixture->engine());
    }

    void removesDefaultRoute()
    {
        m_fixture->clearChangeLists();
        IP("route del default via 192.0.2.254 dev veth0 metric 20");
        QTRY_VERIFY2(m_fixture->oneListHolds({GlobalIPv4, RoutesIPv4}), qPrintable(m_fixture->describeLists()));
        QVERIFY(!m_fixture->engine().contains(GlobalIPv4));
        QVERIFY(m_fixture->engine().contains(GlobalIPv6));
        compareWithIp(m_fixture->engine());
    }

    void linkDownTakesItsRoutes()
    {
        IP("route add default via 192.0.2.254 dev veth0");
        QTRY_VERIFY(m_fixture->engine().contains(GlobalIPv4));
        m_fixture->clearChangeLists();
        // The kernel drops the link's routes without a message for each.
        IP("link set veth0 down");
        QTRY_VERIFY2(m_fixture->oneListHolds({Veth0Link, GlobalIPv4, RoutesIPv4}),
                     qPrintable(m_fixture->describeLists()));
        QCOMPARE(m_fixture->value(Veth0Link).value("Active").boolean(), false);
        QVERIFY(!m_fixture->engine().contains(GlobalIPv4));
        QTRY_VERIFY(agreesWithIp(m_fixture->engine()));
        compareWithIp(m_fixture->engine());
        IP("link set veth0 up");
        QTRY_COMPARE(m_fixture->value(Veth0Link).value("Active").boolean(), true);
        QTRY_VERIFY(agreesWithIp(m_fixture->engine()));
    }

    void removesAddresses()
    {
        IP("addr replace 2001:db8::1/64 dev veth0 nodad");
        QTRY_VERIFY(m_fixture->engine().contains(Veth0IPv6));
        m_fixture->clearChangeLists();
        IP("addr del 192.0.2.1/24 dev veth0");
        QTRY_VERIFY2(m_fixture->oneListHolds({Veth0IPv4, RoutesIPv4}), qPrintable(m_fixture->describeLists()));
        QVERIFY(!m_fixture->engine().contains(Veth0IPv4));
        m_fixture->clearChangeLists();
        IP("addr del 2001:db8::1/64 dev veth0");
        QTRY_VERIFY2(m_fixture->oneListHolds({Veth0IPv6}), qPrintable(m_fixture->describeLists()));
        QVERIFY(!m_fixture->engine().contains(Veth0IPv6));
        QTRY_VERIFY(agreesWithIp(m_fixture->engine()));
    }

    void idleCostsNothing()
    {
        QTest::qWait(300);
        const int readings = m_fixture->source().networkReadings();
        m_fixture->clearChangeLists();
        QTest::qWait(500);
        QCOMPARE(m_fixture->source().networkReadings(), readings);
        QVERIFY2(m_fixture->changeLists().isEmpty(), qPrintable(m_fixture->describeLists()));
    }

    void removesLinks()
    {
        m_fixture->clearChangeLists();
        IP("link del veth0");
        QTRY_VERIFY2(m_fixture->oneListHolds({InterfaceList, Veth0Link, Veth1Link}),
                     qPrintable(m_fixture->describeLists()));
        QCOMPARE(strings(m_fixture->value(InterfaceList).value("Interfaces")), QStringList({"lo"}));
        for (const QString &key : m_fixture->engine().keys())
            QVERIFY2(!key.contains("veth"), qPrintable(key));
        compareWithIp(m_fixture->engine());
        m_fixture.reset();
    }

    void resynchronisesAfterOverflow()
    {
        LiveSystemOptions tiny = options();
        tiny.subscriptionReceiveBuffer = 256; // the kernel rounds up to its minimum
        LiveFixture fixture(tiny);
        IP("link add veth0 type veth peer name veth1", "link set veth0 up", "link set veth1 up");
        QTRY_VERIFY(fixture.engine().contains(Veth0Link));
        const int overflowsBefore = fixture.source().overflows();

        // A burst far beyond what the socket holds, made while the event loop
        // is not reading.
        QStringList burst;
        for (int i = 0; i < 250; ++i)
            burst.append(QStringLiteral("addr add 10.77.%1.%2/32 dev veth0").arg(i / 200).arg(i % 200 + 1));
        for (int i = 0; i < 50; ++i)
            burst.append(QStringLiteral("addr add 2001:db8:77::%1/128 dev veth0 nodad").arg(i + 1, 0, 16));
        QString error;
        QVERIFY2(ipBatch(burst, &error), qPrintable(error));
        QTRY_VERIFY(fixture.source().overflows() > overflowsBefore);
        QTRY_VERIFY_WITH_TIMEOUT(agreesWithIp(fixture.engine()), 10000);
        compareWithIp(fixture.engine());
        QCOMPARE(fixture.value(Veth0IPv4).value("Addresses").count(), 250);

        // And the same going away.
        QStringList removal;
        for (int i = 0; i < 250; ++i)
            removal.append(QStringLiteral("addr del 10.77.%1.%2/32 dev veth0").arg(i / 200).arg(i % 200 + 1));
        const int overflowsAfterAdding = fixture.source().overflows();
        QVERIFY2(ipBatch(removal, &error), qPrintable(error));
        QTRY_VERIFY(fixture.source().overflows() > overflowsAfterAdding);
        QTRY_VERIFY_WITH_TIMEOUT(agreesWithIp(fixture.engine()), 10000);
        QVERIFY(!fixture.engine().contains(Veth0IPv4));
        IP("link del veth0");
        QTRY_VERIFY(!fixture.engine().contains(Veth0Link));
    }
};

QTEST_MAIN(TestLiveNetns)
#include "tst_livenetns.moc"
