// Parsing of rtnetlink messages and the network keys made from a reading.

#include "platform/ErrnoText.h"
#include "platform/live/Netlink.h"
#include "platform/live/NetworkKeys.h"

#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h> // before linux/if.h, which then leaves out what libc defines

#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

using namespace kv;
using namespace kv::live;

namespace {

// Builds one netlink message: header, fixed body, attributes.
class MessageBuilder
{
public:
    MessageBuilder(uint16_t type, const void *body, size_t bodySize) : m_type(type)
    {
        m_payload.append(static_cast<const char *>(body), qsizetype(bodySize));
        pad();
    }
    MessageBuilder &attribute(uint16_t type, const void *data, size_t size)
    {
        rtattr header;
        header.rta_type = type;
        header.rta_len = uint16_t(RTA_LENGTH(size));
        m_payload.append(reinterpret_cast<const char *>(&header), sizeof header);
        m_payload.append(static_cast<const char *>(data), qsizetype(size));
        pad();
        return *this;
    }
    MessageBuilder &string(uint16_t type, const char *text) { return attribute(type, text, std::strlen(text) + 1); }
    MessageBuilder &u32(uint16_t type, uint32_t value) { return attribute(type, &value, sizeof value); }
    MessageBuilder &u8(uint16_t type, uint8_t value) { return attribute(type, &value, sizeof value); }
    MessageBuilder &ipv4(uint16_t type, const char *text)
    {
        in_addr address;
        inet_pton(AF_INET, text, &address);
        return attribute(type, &address, sizeof address);
    }
    MessageBuilder &ipv6(uint16_t type, const char *text)
    {
        in6_addr address;
        inet_pton(AF_INET6, text, &address);
        return attribute(type, &address, sizeof address);
    }
    MessageBuilder &raw(const QByteArray &bytes)
    {
        m_payload.append(bytes);
        return *this;
    }
    QByteArray bytes(uint16_t flags = 0) const
    {
        nlmsghdr header = {};
        header.nlmsg_len = uint32_t(NLMSG_HDRLEN + m_payload.size());
        header.nlmsg_type = m_type;
        header.nlmsg_flags = flags;
        QByteArray result(reinterpret_cast<const char *>(&header), sizeof header);
        result.append(m_payload);
        return result;
    }

private:
    void pad()
    {
        while (m_payload.size() % 4)
            m_payload.append('\0');
    }
    uint16_t m_type;
    QByteArray m_payload;
};

QByteArray linkMessage(int index, const char *name, unsigned flags, uint32_t mtu, uint8_t operState,
                       const QByteArray &hardware = QByteArray::fromHex("0200c0a80101"),
                       unsigned short type = ARPHRD_ETHER)
{
    ifinfomsg body = {};
    body.ifi_family = AF_UNSPEC;
    body.ifi_index = index;
    body.ifi_flags = flags;
    body.ifi_type = type;
    MessageBuilder builder(RTM_NEWLINK, &body, sizeof body);
    builder.string(IFLA_IFNAME, name).u32(IFLA_MTU, mtu).u8(IFLA_OPERSTATE, operState);
    if (!hardware.isEmpty())
        builder.attribute(IFLA_ADDRESS, hardware.constData(), size_t(hardware.size()));
    return builder.bytes();
}

QByteArray ipv4AddressMessage(int index, const char *local, const char *peer, int prefix, const char *broadcast)
{
    ifaddrmsg body = {};
    body.ifa_family = AF_INET;
    body.ifa_index = uint32_t(index);
    body.ifa_prefixlen = uint8_t(prefix);
    body.ifa_scope = RT_SCOPE_UNIVERSE;
    body.ifa_flags = IFA_F_PERMANENT;
    MessageBuilder builder(RTM_NEWADDR, &body, sizeof body);
    builder.ipv4(IFA_ADDRESS, peer).ipv4(IFA_LOCAL, local);
    if (broadcast)
        builder.ipv4(IFA_BROADCAST, broadcast);
    return builder.bytes();
}

QByteArray ipv6AddressMessage(int index, const char *address, int prefix, int scope, uint32_t flags)
{
    ifaddrmsg body = {};
    body.ifa_family = AF_INET6;
    body.ifa_index = uint32_t(index);
    body.ifa_prefixlen = uint8_t(prefix);
    body.ifa_scope = uint8_t(scope);
    body.ifa_flags = uint8_t(flags); // the full flags travel in IFA_FLAGS
    return MessageBuilder(RTM_NEWADDR, &body, sizeof body).ipv6(IFA_ADDRESS, address).u32(IFA_FLAGS, flags).bytes();
}

QByteArray ipv4RouteMessage(const char *destination, int length, const char *gateway, int oif, uint32_t metric,
                            uint32_t table = RT_TABLE_MAIN, uint8_t type = RTN_UNICAST)
{
    rtmsg body = {};
    body.rtm_family = AF_INET;
    body.rtm_dst_len = uint8_t(length);
    body.rtm_table = uint8_t(table < 256 ? table : RT_TABLE_UNSPEC);
    body.rtm_type = type;
    body.rtm_protocol = RTPROT_BOOT;
    MessageBuilder builder(RTM_NEWROUTE, &body, sizeof body);
    builder.u32(RTA_TABLE, table);
    if (destination)
        builder.ipv4(RTA_DST, destination);
    if (gateway)
        builder.ipv4(RTA_GATEWAY, gateway);
    builder.u32(RTA_OIF, uint32_t(oif)).u32(RTA_PRIORITY, metric);
    return builder.bytes();
}

template<typename Parser>
bool parseOne(const QByteArray &bytes, Parser parser)
{
    bool result = false;
    const int count = forEachMessage(bytes, [&](const nlmsghdr *message) {
        result = parser(message);
        return true;
    });
    return count == 1 && result;
}

QStringList strings(const PropertyListValue &value)
{
    QStringList result;
    for (const PropertyListValue &element : value.array())
        result.append(element.string());
    return result;
}

QList<qint64> integers(const PropertyListValue &value)
{
    QList<qint64> result;
    for (const PropertyListValue &element : value.array())
        result.append(element.integer());
    return result;
}

} // namespace

class TestLiveNetlink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesLink()
    {
        LinkInfo link;
        const QByteArray bytes = linkMessage(
            3, "eth0", IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST | IFF_LOWER_UP, 1500, IF_OPER_UP);
        QVERIFY(parseOne(bytes, [&](const nlmsghdr *m) { return parseLinkMessage(m, &link); }));
        QCOMPARE(link.index, 3);
        QCOMPARE(link.name, QStringLiteral("eth0"));
        QCOMPARE(link.mtu, 1500);
        QCOMPARE(link.operState, int(IF_OPER_UP));
        QCOMPARE(hardwareAddressToString(link.hardwareAddress), QStringLiteral("02:00:c0:a8:01:01"));
        QCOMPARE(linkFlagNames(link.flags), QStringList({"UP", "BROADCAST", "RUNNING", "MULTICAST", "LOWER_UP"}));
    }

    void rejectsMalformedLink()
    {
        LinkInfo link;
        // Too short for the fixed header.
        ifinfomsg body = {};
        QByteArray shortMessage = MessageBuilder(RTM_NEWLINK, &body, 8).bytes();
        QVERIFY(!parseOne(shortMessage, [&](const nlmsghdr *m) { return parseLinkMessage(m, &link); }));
        // A name attribute claiming more bytes than the message holds is ignored:
        // without a name the link is refused.
        body.ifi_index = 4;
        rtattr liar;
        liar.rta_type = IFLA_IFNAME;
        liar.rta_len = 200;
        QByteArray lying = MessageBuilder(RTM_NEWLINK, &body, sizeof body)
                               .raw(QByteArray(reinterpret_cast<const char *>(&liar), sizeof liar) + "eth9")
                               .bytes();
        QVERIFY(!parseOne(lying, [&](const nlmsghdr *m) { return parseLinkMessage(m, &link); }));
        // A message of another type.
        QVERIFY(!parseOne(ipv4AddressMessage(1, "10.0.0.1", "10.0.0.1", 8, nullptr),
                          [&](const nlmsghdr *m) { return parseLinkMessage(m, &link); }));
        // A name without its terminating zero stays within the attribute.
        QByteArray unterminated =
            MessageBuilder(RTM_NEWLINK, &body, sizeof body).attribute(IFLA_IFNAME, "abcd", 4).bytes();
        QVERIFY(parseOne(unterminated, [&](const nlmsghdr *m) { return parseLinkMessage(m, &link); }));
        QCOMPARE(link.name, QStringLiteral("abcd"));
    }

    void parsesAddresses_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("family");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("prefix");
        QTest::addColumn<QString>("broadcast");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QStringList>("flags");

        QTest::newRow("ipv4 with broadcast") << ipv4AddressMessage(2, "192.0.2.10", "192.0.2.10", 24, "192.0.2.255")
                                             << int(AF_INET) << "192.0.2.10" << 24 << "192.0.2.255"
                                             << "" << QStringList{"permanent"};
        QTest::newRow("ipv4 point-to-point")
            << ipv4AddressMessage(2, "10.1.0.1", "10.1.0.2", 32, nullptr) << int(AF_INET) << "10.1.0.1" << 32 << ""
            << "10.1.0.2" << QStringList{"permanent"};
        QTest::newRow("ipv6 global nodad")
            << ipv6AddressMessage(2, "2001:db8::5", 64, RT_SCOPE_UNIVERSE, IFA_F_NODAD | IFA_F_PERMANENT)
            << int(AF_INET6) << "2001:db8::5" << 64 << ""
            << "" << QStringList{"nodad", "permanent"};
        QTest::newRow("ipv6 flags beyond eight bits")
            << ipv6AddressMessage(2, "fe80::1", 64, RT_SCOPE_LINK, IFA_F_PERMANENT | IFA_F_NOPREFIXROUTE)
            << int(AF_INET6) << "fe80::1" << 64 << ""
            << "" << QStringList{"permanent", "noprefixroute"};
        QTest::newRow("ipv6 tentative deprecated")
            << ipv6AddressMessage(2, "2001:db8::6", 128, RT_SCOPE_UNIVERSE, IFA_F_TENTATIVE | IFA_F_DEPRECATED)
            << int(AF_INET6) << "2001:db8::6" << 128 << ""
            << "" << QStringList{"deprecated", "tentative"};
    }

    void parsesAddresses()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, family);
        QFETCH(QString, address);
        QFETCH(int, prefix);
        QFETCH(QString, broadcast);
        QFETCH(QString, destination);
        QFETCH(QStringList, flags);
        AddressInfo info;
        QVERIFY(parseOne(message, [&](const nlmsghdr *m) { return parseAddressMessage(m, &info); }));
        QCOMPARE(info.family, family);
        QCOMPARE(info.index, 2);
        QCOMPARE(info.address, address);
        QCOMPARE(info.prefixLength, prefix);
        QCOMPARE(info.broadcast, broadcast);
        QCOMPARE(info.destination, destination);
        QCOMPARE(addressFlagNames(info.flags), flags);
    }

    void rejectsAddressOfOtherFamily()
    {
        ifaddrmsg body = {};
        body.ifa_family = AF_PACKET;
        body.ifa_index = 1;
        AddressInfo info;
        const QByteArray bytes = MessageBuilder(RTM_NEWADDR, &body, sizeof body).ipv4(IFA_ADDRESS, "1.2.3.4").bytes();
        QVERIFY(!parseOne(bytes, [&](const nlmsghdr *m) { return parseAddressMessage(m, &info); }));
        // An IPv6 message whose address attribute is too short has no address.
        body.ifa_family = AF_INET6;
        const QByteArray shortAddress = MessageBuilder(RTM_NEWADDR, &body, sizeof body).u32(IFA_ADDRESS, 1).bytes();
        QVERIFY(!parseOne(shortAddress, [&](const nlmsghdr *m) { return parseAddressMessage(m, &info); }));
    }

    void parsesRoutes()
    {
        QList<RouteInfo> routes;
        QVERIFY(parseOne(ipv4RouteMessage(nullptr, 0, "192.0.2.1", 2, 100),
                         [&](const nlmsghdr *m) { return parseRouteMessage(m, &routes); }));
        QCOMPARE(routes.size(), 1);
        QCOMPARE(routes[0].destinationLength, 0);
        QCOMPARE(routes[0].gateway, QStringLiteral("192.0.2.1"));
        QCOMPARE(routes[0].outputIndex, 2);
        QCOMPARE(routes[0].metric, 100u);
        QCOMPARE(routes[0].table, uint32_t(RT_TABLE_MAIN));

        // A table number above 255 travels only in RTA_TABLE.
        routes.clear();
        QVERIFY(parseOne(ipv4RouteMessage("10.0.0.0", 8, nullptr, 2, 0, 1000),
                         [&](const nlmsghdr *m) { return parseRouteMessage(m, &routes); }));
        QCOMPARE(routes.size(), 1);
        QCOMPARE(routes[0].table, 1000u);
        QCOMPARE(routes[0].destination, QStringLiteral("10.0.0.0"));

        // A destination length beyond the family's width is refused.
        routes.clear();
        QVERIFY(!parseOne(ipv4RouteMessage("10.0.0.0", 40, nullptr, 2, 0),
                          [&](const nlmsghdr *m) { return parseRouteMessage(m, &routes); }));
        QVERIFY(routes.isEmpty());
    }

    void parsesMultipathRoute()
    {
        rtmsg body = {};
        body.rtm_family = AF_INET;
        body.rtm_table = RT_TABLE_MAIN;
        body.rtm_type = RTN_UNICAST;
        // Two next hops, each with its gateway.
        QByteArray hops;
        for (auto [index, gateway] : {std::pair{2, "192.0.2.1"}, std::pair{3, "198.51.100.1"}}) {
            rtnexthop hop = {};
            hop.rtnh_ifindex = index;
            hop.rtnh_len = uint16_t(RTNH_ALIGN(sizeof(rtnexthop)) + RTA_LENGTH(4));
            in_addr address;
            inet_pton(AF_INET, gateway, &address);
            rtattr attribute;
            attribute.rta_type = RTA_GATEWAY;
            attribute.rta_len = uint16_t(RTA_LENGTH(4));
            hops.append(reinterpret_cast<const char *>(&hop), sizeof hop);
            hops.append(reinterpret_cast<const char *>(&attribute), sizeof attribute);
            hops.append(reinterpret_cast<const char *>(&address), 4);
        }
        // A third, broken hop claiming more than remains is ignored.
        rtnexthop broken = {};
        broken.rtnh_len = 500;
        hops.append(reinterpret_cast<const char *>(&broken), sizeof broken);
        const QByteArray bytes = MessageBuilder(RTM_NEWROUTE, &body, sizeof body)
                                     .u32(RTA_PRIORITY, 7)
                                     .attribute(RTA_MULTIPATH, hops.constData(), size_t(hops.size()))
                                     .bytes();
        QList<RouteInfo> routes;
        QVERIFY(parseOne(bytes, [&](const nlmsghdr *m) { return parseRouteMessage(m, &routes); }));
        QCOMPARE(routes.size(), 2);
        QCOMPARE(routes[0].outputIndex, 2);
        QCOMPARE(routes[0].gateway, QStringLiteral("192.0.2.1"));
        QCOMPARE(routes[1].outputIndex, 3);
        QCOMPARE(routes[1].gateway, QStringLiteral("198.51.100.1"));
        QCOMPARE(routes[1].metric, 7u);
    }

    void walksMessagesWithinBounds()
    {
        const QByteArray first = linkMessage(1, "lo", IFF_UP | IFF_LOOPBACK, 65536, IF_OPER_UNKNOWN);
        const QByteArray second = ipv4AddressMessage(1, "127.0.0.1", "127.0.0.1", 8, nullptr);
        const QByteArray both = first + second;
        QCOMPARE(forEachMessage(both, [](const nlmsghdr *) { return true; }), 2);
        // The visitor can stop the walk.
        QCOMPARE(forEachMessage(both, [](const nlmsghdr *) { return false; }), 1);
        // Every truncation of the buffer yields only whole messages, and
        // parsing what is left never reads beyond it (checked by the sanitizers).
        for (qsizetype length = 0; length <= both.size(); ++length) {
            const QByteArray part = both.left(length);
            const int expected = length >= both.size() ? 2 : (length >= first.size() ? 1 : 0);
            QCOMPARE(forEachMessage(part,
                                    [](const nlmsghdr *m) {
                                        LinkInfo link;
                                        AddressInfo address;
                                        QList<RouteInfo> routes;
                                        parseLinkMessage(m, &link);
                                        parseAddressMessage(m, &address);
                                        parseRouteMessage(m, &routes);
                                        return true;
                                    }),
                     expected);
        }
        // A header whose length overstates the buffer is not visited.
        QByteArray overstated = first;
        nlmsghdr header;
        std::memcpy(&header, overstated.constData(), sizeof header);
        header.nlmsg_len += 64;
        overstated.replace(0, sizeof header, QByteArray(reinterpret_cast<const char *>(&header), sizeof header));
        QCOMPARE(forEachMessage(overstated, [](const nlmsghdr *) { return true; }), 0);
    }

    void parsesTruncatedAttributesSafely()
    {
        // Shorten the message's own length field step by step while keeping the
        // buffer: attributes past the stated end must not be used.
        const QByteArray full = linkMessage(5, "veth0", IFF_UP, 1400, IF_OPER_DOWN);
        for (uint32_t length = NLMSG_HDRLEN; length <= uint32_t(full.size()); length += 1) {
            QByteArray bytes = full;
            nlmsghdr header;
            std::memcpy(&header, bytes.constData(), sizeof header);
            header.nlmsg_len = length;
            bytes.replace(0, sizeof header, QByteArray(reinterpret_cast<const char *>(&header), sizeof header));
            LinkInfo link;
            bool parsed = false;
            forEachMessage(bytes, [&](const nlmsghdr *m) {
                parsed = parseLinkMessage(m, &link);
                return false;
            });
            if (parsed) {
                QCOMPARE(link.name, QStringLiteral("veth0"));
                // The MTU attribute follows the name; it counts only when whole.
                if (link.mtu >= 0)
                    QCOMPARE(link.mtu, 1400);
            }
            // The name is whole from the length that covers it.
            if (length >= NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_LENGTH(6))
                QVERIFY(parsed);
            else
                QVERIFY(!parsed);
        }
    }

    void reportsSocketFailures_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("group");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no such protocol")
            << int(MAX_LINKS) << 0 << QStringLiteral("cannot open a netlink socket: ") + errnoText(EPROTONOSUPPORT);
        QTest::newRow("no such group") << int(NETLINK_ROUTE) << 1000
                                       << QStringLiteral("cannot subscribe to network changes: ") + errnoText(EINVAL);
    }

    void reportsSocketFailures()
    {
        QFETCH(int, protocol);
        QFETCH(int, group);
        QFETCH(QString, expected);
        NetlinkSocketOptions options;
        if (group)
            options.groups = {group};
        options.groupsPurpose = QStringLiteral("network changes");
        QString error;
        const UniqueFd fd = openNetlinkSocket(protocol, SOCK_RAW, options, nullptr, &error);
        QVERIFY(!fd.isValid());
        QCOMPARE(error, expected);
    }

    void names_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ether") << linkTypeName(ARPHRD_ETHER) << "ether";
        QTest::newRow("loopback") << linkTypeName(ARPHRD_LOOPBACK) << "loopback";
        QTest::newRow("none") << linkTypeName(ARPHRD_NONE) << "none";
        QTest::newRow("unmapped") << linkTypeName(9999) << "arphrd9999";
        QTest::newRow("oper up") << operStateName(IF_OPER_UP) << "up";
        QTest::newRow("oper down") << operStateName(IF_OPER_DOWN) << "down";
        QTest::newRow("oper lowerlayerdown") << operStateName(IF_OPER_LOWERLAYERDOWN) << "lowerlayerdown";
        QTest::newRow("oper dormant") << operStateName(IF_OPER_DORMANT) << "dormant";
        QTest::newRow("oper notpresent") << operStateName(IF_OPER_NOTPRESENT) << "notpresent";
        QTest::newRow("oper testing") << operStateName(IF_OPER_TESTING) << "testing";
        QTest::newRow("oper unknown") << operStateName(IF_OPER_UNKNOWN) << "unknown";
        QTest::newRow("oper unreported") << operStateName(-1) << "unknown";
        QTest::newRow("scope global") << scopeName(RT_SCOPE_UNIVERSE) << "global";
        QTest::newRow("scope link") << scopeName(RT_SCOPE_LINK) << "link";
        QTest::newRow("scope host") << scopeName(RT_SCOPE_HOST) << "host";
        QTest::newRow("loopback flags") << linkFlagNames(IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_LOWER_UP).join(',')
                                        << "UP,LOOPBACK,RUNNING,LOWER_UP";
        QTest::newRow("hardware address")
            << hardwareAddressToString(QByteArray::fromHex("aabbccddeeff")) << "aa:bb:cc:dd:ee:ff";
        QTest::newRow("short ipv6 attribute") << addressToString(AF_INET6, "12345678", 8) << "";
    }

    void names()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }

    void buildsNetworkKeys()
    {
        NetworkSnapshot snapshot;
        const auto addLink = [&](const QByteArray &bytes) {
            forEachMessage(bytes, [&](const nlmsghdr *m) {
                LinkInfo link;
                if (parseLinkMessage(m, &link))
                    snapshot.links.append(link);
                return true;
            });
        };
        addLink(linkMessage(2, "wlan0", IFF_UP | IFF_BROADCAST | IFF_MULTICAST, 1500, IF_OPER_DORMANT));
        addLink(linkMessage(1, "lo", IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_LOWER_UP, 65536, IF_OPER_UNKNOWN,
                            QByteArray(6, '\0'), ARPHRD_LOOPBACK));
        addLink(linkMessage(3, "eth0", IFF_UP | IFF_RUNNING | IFF_LOWER_UP, 9000, IF_OPER_UP));
        for (const QByteArray &bytes :
             {ipv4AddressMessage(1, "127.0.0.1", "127.0.0.1", 8, nullptr),
              ipv4AddressMessage(3, "192.0.2.10", "192.0.2.10", 24, "192.0.2.255"),
              ipv4AddressMessage(3, "10.1.0.1", "10.1.0.2", 32, nullptr),
              ipv6AddressMessage(3, "2001:db8::5", 64, RT_SCOPE_UNIVERSE, IFA_F_PERMANENT),
              ipv6AddressMessage(3, "fe80::5", 64, RT_SCOPE_LINK, IFA_F_PERMANENT | IFA_F_NODAD),
              ipv4AddressMessage(42, "203.0.113.1", "203.0.113.1", 24, nullptr)}) {
            forEachMessage(bytes, [&](const nlmsghdr *m) {
                AddressInfo address;
                if (parseAddressMessage(m, &address))
                    snapshot.addresses.append(address);
                return true;
            });
        }
        for (const QByteArray &bytes :
             {ipv4RouteMessage(nullptr, 0, "192.0.2.1", 3, 600), ipv4RouteMessage(nullptr, 0, "192.0.2.254", 2, 100),
              ipv4RouteMessage(nullptr, 0, "192.0.2.99", 3, 1, 200), ipv4RouteMessage("192.0.2.0", 24, nullptr, 3, 0),
              ipv4RouteMessage("192.0.2.255", 32, nullptr, 3, 0, RT_TABLE_MAIN, RTN_BROADCAST)}) {
            forEachMessage(bytes, [&](const nlmsghdr *m) { return parseRouteMessage(m, &snapshot.routes); });
        }

        const KeyValues keys = networkKeys(snapshot);
        QCOMPARE(strings(keys.value("State:/Network/Interface").value("Interfaces")),
                 QStringList({"eth0", "lo", "wlan0"}));

        const PropertyListValue wlan = keys.value("State:/Network/Interface/wlan0/Link");
        QCOMPARE(wlan.value("Active").boolean(), true);
        QCOMPARE(wlan.value("Running").boolean(), false);
        QCOMPARE(wlan.value("OperationalState").string(), QStringLiteral("dormant"));
        QCOMPARE(wlan.value("MTU").integer(), 1500);
        QCOMPARE(wlan.value("Index").integer(), 2);
        QCOMPARE(wlan.value("Type").string(), QStringLiteral("ether"));
        QCOMPARE(wlan.value("HardwareAddress").string(), QStringLiteral("02:00:c0:a8:01:01"));
        QCOMPARE(strings(wlan.value("Flags")), QStringList({"UP", "BROADCAST", "MULTICAST"}));
        QCOMPARE(keys.value("State:/Network/Interface/lo/Link").value("Type").string(), QStringLiteral("loopback"));

        const PropertyListValue lo4 = keys.value("State:/Network/Interface/lo/IPv4");
        QCOMPARE(strings(lo4.value("Addresses")), QStringList({"127.0.0.1"}));
        QCOMPARE(integers(lo4.value("PrefixLengths")), QList<qint64>({8}));
        QVERIFY(lo4.value("BroadcastAddresses").isNone());
        QVERIFY(lo4.value("DestAddresses").isNone());

        const PropertyListValue eth4 = keys.value("State:/Network/Interface/eth0/IPv4");
        QCOMPARE(strings(eth4.value("Addresses")), QStringList({"192.0.2.10", "10.1.0.1"}));
        QCOMPARE(integers(eth4.value("PrefixLengths")), QList<qint64>({24, 32}));
        QCOMPARE(strings(eth4.value("BroadcastAddresses")), QStringList({"192.0.2.255", ""}));
        QCOMPARE(strings(eth4.value("DestAddresses")), QStringList({"", "10.1.0.2"}));

        const PropertyListValue eth6 = keys.value("State:/Network/Interface/eth0/IPv6");
        QCOMPARE(strings(eth6.value("Addresses")), QStringList({"2001:db8::5", "fe80::5"}));
        QCOMPARE(strings(eth6.value("Scopes")), QStringList({"global", "link"}));
        QCOMPARE(eth6.value("Flags").count(), 2);
        QCOMPARE(strings(eth6.value("Flags").at(1)), QStringList({"nodad", "permanent"}));

        // No addresses: no key. An address of an unknown interface is dropped.
        QVERIFY(!keys.contains("State:/Network/Interface/wlan0/IPv4"));
        QVERIFY(!keys.contains("State:/Network/Interface/lo/IPv6"));
        for (const QString &key : keys.keys())
            QVERIFY2(!key.contains("42"), qPrintable(key));

        // The default route of lowest metric in the main table wins.
        const PropertyListValue global = keys.value("State:/Network/Global/IPv4");
        QCOMPARE(global.value("PrimaryInterface").string(), QStringLiteral("wlan0"));
        QCOMPARE(global.value("Router").string(), QStringLiteral("192.0.2.254"));
        QVERIFY(!keys.contains("State:/Network/Global/IPv6"));

        const PropertyListValue routes = keys.value("State:/Network/Global/Routes/IPv4");
        QCOMPARE(routes.count(), 3); // other table and broadcast route left out
        QCOMPARE(routes.at(0).value("Destination").string(), QStringLiteral("default"));
        QCOMPARE(routes.at(0).value("Gateway").string(), QStringLiteral("192.0.2.1"));
        QCOMPARE(routes.at(0).value("Interface").string(), QStringLiteral("eth0"));
        QCOMPARE(routes.at(0).value("Metric").integer(), 600);
        QCOMPARE(routes.at(2).value("Destination").string(), QStringLiteral("192.0.2.0/24"));
        QVERIFY(routes.at(2).value("Gateway").isNone());
        QVERIFY(!keys.contains("State:/Network/Global/Routes/IPv6"));
    }

    void fallbackListsLoopback()
    {
        NetworkSnapshot snapshot;
        QString error;
        QVERIFY2(readSnapshotFallback(&snapshot, &error), qPrintable(error));
        const KeyValues keys = networkKeys(snapshot);
        QVERIFY(strings(keys.value("State:/Network/Interface").value("Interfaces")).contains("lo"));
        const PropertyListValue lo4 = keys.value("State:/Network/Interface/lo/IPv4");
        QVERIFY(strings(lo4.value("Addresses")).contains("127.0.0.1"));
        QCOMPARE(lo4.value("PrefixLengths").at(strings(lo4.value("Addresses")).indexOf("127.0.0.1")).integer(), 8);
    }
};

QTEST_MAIN(TestLiveNetlink)
#include "tst_livenetlink.moc"
