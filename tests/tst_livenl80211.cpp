// Parsing of nl80211 and generic netlink messages, and the Wi-Fi reader's
// requests and published keys over a fake transport.

#include "platform/live/Netlink.h"
#include "platform/live/Nl80211.h"

#include <QTest>

#include <cerrno>
#include <cstring>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>

using namespace kv;
using namespace kv::live;

namespace {

constexpr uint16_t Family = 0x1c;
const QByteArray Bssid = QByteArray::fromHex("0011223344aa");

QByteArray attribute(uint16_t type, const QByteArray &payload)
{
    nlattr header;
    header.nla_type = type;
    header.nla_len = uint16_t(NLA_HDRLEN + payload.size());
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    bytes.append(payload);
    while (bytes.size() % 4)
        bytes.append('\0');
    return bytes;
}
template<typename T>
QByteArray number(uint16_t type, T value)
{
    return attribute(type, QByteArray(reinterpret_cast<const char *>(&value), sizeof value));
}
QByteArray string(uint16_t type, const char *text)
{
    return attribute(type, QByteArray(text, qsizetype(std::strlen(text) + 1)));
}
QByteArray nested(uint16_t type, const QByteArray &children)
{
    return attribute(type | NLA_F_NESTED, children);
}

QByteArray message(uint16_t type, uint8_t command, const QByteArray &attributes, uint32_t sequence = 0)
{
    nlmsghdr header = {};
    header.nlmsg_len = uint32_t(NLMSG_HDRLEN + GENL_HDRLEN + attributes.size());
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    genlmsghdr generic = {};
    generic.cmd = command;
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char *>(&generic), sizeof generic);
    return bytes + attributes;
}

QByteArray ending(uint32_t sequence, int error = 0, uint16_t type = NLMSG_ERROR)
{
    nlmsghdr header = {};
    header.nlmsg_len = NLMSG_LENGTH(sizeof(nlmsgerr));
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    nlmsgerr body = {};
    body.error = -error;
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    return bytes + QByteArray(reinterpret_cast<const char *>(&body), sizeof body);
}

QByteArray groupEntry(const char *name, uint32_t id)
{
    return nested(1, string(CTRL_ATTR_MCAST_GRP_NAME, name) + number(CTRL_ATTR_MCAST_GRP_ID, id));
}

QByteArray familyReply(uint32_t sequence = 0, const QByteArray &extra = QByteArray())
{
    return message(GENL_ID_CTRL, CTRL_CMD_NEWFAMILY,
                   string(CTRL_ATTR_FAMILY_NAME, "nl80211") + number<uint16_t>(CTRL_ATTR_FAMILY_ID, Family) + extra
                       + nested(CTRL_ATTR_MCAST_GROUPS, groupEntry("scan", 4) + groupEntry("mlme", 5)),
                   sequence);
}

QByteArray interfaceReply(int index, const char *name, uint32_t type, const QByteArray &ssid, uint32_t sequence = 0)
{
    QByteArray attributes = number<uint32_t>(NL80211_ATTR_IFINDEX, uint32_t(index)) + string(NL80211_ATTR_IFNAME, name)
                            + number(NL80211_ATTR_IFTYPE, type);
    if (!ssid.isEmpty())
        attributes += attribute(NL80211_ATTR_SSID, ssid) + number<uint32_t>(NL80211_ATTR_WIPHY_FREQ, 2412);
    return message(Family, NL80211_CMD_NEW_INTERFACE, attributes, sequence);
}

QByteArray stationReply(int index, const QByteArray &info, uint32_t sequence = 0)
{
    return message(Family, NL80211_CMD_NEW_STATION,
                   number<uint32_t>(NL80211_ATTR_IFINDEX, uint32_t(index)) + attribute(NL80211_ATTR_MAC, Bssid)
                       + nested(NL80211_ATTR_STA_INFO, info),
                   sequence);
}

QByteArray goodStationInfo()
{
    return number<int8_t>(NL80211_STA_INFO_SIGNAL, -57)
           + nested(NL80211_STA_INFO_TX_BITRATE, number<uint16_t>(NL80211_RATE_INFO_BITRATE, 0)
                                                     + number<uint32_t>(NL80211_RATE_INFO_BITRATE32, 8667));
}

// SSID "Home" and an RSN element with CCMP and the given key management suite.
QByteArray elements(uchar akm = 2)
{
    return QByteArray::fromHex("0004486f6d65"
                               "30140100000fac040100000fac040100000fac")
           + char(akm) + QByteArray(2, 0);
}

QByteArray bssReply(int index, uint32_t status, const QByteArray &ies, uint32_t sequence = 0)
{
    const QByteArray bss = attribute(NL80211_BSS_BSSID, Bssid) + number<uint32_t>(NL80211_BSS_FREQUENCY, 5180)
                           + number<uint16_t>(NL80211_BSS_CAPABILITY, 0x11)
                           + attribute(NL80211_BSS_INFORMATION_ELEMENTS, ies) + number(NL80211_BSS_STATUS, status);
    return message(Family, NL80211_CMD_NEW_SCAN_RESULTS,
                   number<uint32_t>(NL80211_ATTR_IFINDEX, uint32_t(index)) + nested(NL80211_ATTR_BSS, bss), sequence);
}

// What any of the parsers makes of the first message of the buffer.
struct Parsed
{
    GenericFamily family;
    WifiInterface interface;
    WifiStation station;
    WifiBss bss;
    bool ok = false;
};

Parsed parse(const QByteArray &bytes)
{
    Parsed p;
    forEachMessage(bytes, [&](const nlmsghdr *h) {
        p.ok = parseFamilyMessage(h, &p.family) || parseInterfaceMessage(h, Family, &p.interface)
               || parseStationMessage(h, Family, &p.station) || parseBssMessage(h, Family, &p.bss);
        return false;
    });
    return p;
}

QString describe(const Parsed &p)
{
    QString text = QStringLiteral("none");
    if (p.ok && p.family.id) {
        text = QStringLiteral("family %1").arg(p.family.id);
        for (auto it = p.family.groups.cbegin(); it != p.family.groups.cend(); ++it)
            text += QStringLiteral(" %1=%2").arg(it.key()).arg(it.value());
    } else if (p.ok && p.interface.index) {
        text = QStringLiteral("%1 type %2 ssid '%3' %4 MHz")
                   .arg(p.interface.name)
                   .arg(p.interface.type)
                   .arg(QString::fromLatin1(p.interface.ssid))
                   .arg(p.interface.frequency);
    } else if (p.ok && !p.station.address.isEmpty()) {
        text = QStringLiteral("station %1 signal %2 rate %3")
                   .arg(hardwareAddressToString(p.station.address),
                        p.station.signal ? QString::number(*p.station.signal) : QStringLiteral("-"),
                        p.station.bitrate ? QString::number(*p.station.bitrate) : QStringLiteral("-"));
    } else if (p.ok) {
        text = QStringLiteral("bss %1 status %2 %3 MHz ssid '%4'")
                   .arg(hardwareAddressToString(p.bss.bssid))
                   .arg(p.bss.status)
                   .arg(p.bss.frequency)
                   .arg(QString::fromLatin1(ssidFromElements(p.bss.elements)));
    }
    return text;
}

// The message cut to `length` bytes, its header saying so.
QByteArray cut(const QByteArray &bytes, int length)
{
    QByteArray result = bytes.left(length);
    if (length >= int(sizeof(nlmsghdr))) {
        const uint32_t size = uint32_t(length);
        std::memcpy(result.data(), &size, sizeof size);
    }
    return result;
}

// The command and interface of a request, as "command/ifindex", or "family".
QString describeRequest(const QByteArray &request)
{
    constexpr int command = NLMSG_HDRLEN;
    constexpr int index = NLMSG_HDRLEN + GENL_HDRLEN + NLA_HDRLEN;
    if (uchar(request.at(4)) == GENL_ID_CTRL)
        return QStringLiteral("family");
    uint32_t ifindex = 0;
    if (request.size() >= index + 4)
        std::memcpy(&ifindex, request.constData() + index, sizeof ifindex);
    return QString::number(uchar(request.at(command))) + (ifindex ? QStringLiteral("/%1").arg(ifindex) : QString());
}

uint32_t sequenceOf(const QByteArray &request)
{
    uint32_t sequence = 0;
    std::memcpy(&sequence, request.constData() + offsetof(nlmsghdr, nlmsg_seq), sizeof sequence);
    return sequence;
}

} // namespace

class TestLiveNl80211 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("parsed");
        QTest::newRow("family") << familyReply() << "family 28 mlme=5 scan=4";
        QTest::newRow("family, unknown attribute skipped")
            << familyReply(0, number<uint32_t>(200, 7)) << "family 28 mlme=5 scan=4";
        // A group whose name claims more bytes than its entry holds.
        QByteArray lying = string(CTRL_ATTR_MCAST_GRP_NAME, "mlme") + number<uint32_t>(CTRL_ATTR_MCAST_GRP_ID, 5);
        lying[0] = char(40);
        QTest::newRow("group name overruns its entry")
            << message(GENL_ID_CTRL, CTRL_CMD_NEWFAMILY,
                       number<uint16_t>(CTRL_ATTR_FAMILY_ID, Family)
                           + nested(CTRL_ATTR_MCAST_GROUPS, nested(1, lying) + groupEntry("scan", 4)))
            << "family 28 scan=4";
        QTest::newRow("family without id") << message(GENL_ID_CTRL, CTRL_CMD_NEWFAMILY, string(2, "x")) << "none";
        QTest::newRow("associated interface")
            << interfaceReply(3, "wlan0", NL80211_IFTYPE_STATION, "Home") << "wlan0 type 2 ssid 'Home' 2412 MHz";
        QTest::newRow("ssid longer than 32 bytes")
            << interfaceReply(3, "wlan0", NL80211_IFTYPE_STATION, QByteArray(33, 'x'))
            << "wlan0 type 2 ssid '' 2412 MHz";
        QTest::newRow("index too short") << message(Family, NL80211_CMD_NEW_INTERFACE,
                                                    number<uint16_t>(NL80211_ATTR_IFINDEX, 3)
                                                        + string(NL80211_ATTR_IFNAME, "wlan0"))
                                         << "none";
        QByteArray other = interfaceReply(3, "wlan0", NL80211_IFTYPE_STATION, "Home");
        other[4] = char(Family + 1);
        QTest::newRow("other family") << other << "none";
        QTest::newRow("station, wide rate preferred")
            << stationReply(3, goodStationInfo()) << "station 00:11:22:33:44:aa signal -57 rate 8667";
        QTest::newRow("station, narrow rate, unknown info skipped") << stationReply(
            3, number<uint64_t>(200, 1)
                   + nested(NL80211_STA_INFO_TX_BITRATE, number<uint16_t>(NL80211_RATE_INFO_BITRATE, 540)))
                                                                    << "station 00:11:22:33:44:aa signal - rate 540";
        // The rate's nest claims more than the station info holds.
        QByteArray overrun = nested(NL80211_STA_INFO_TX_BITRATE, number<uint32_t>(NL80211_RATE_INFO_BITRATE32, 10));
        overrun[0] = char(60);
        QTest::newRow("rate nest overruns") << stationReply(3, number<int8_t>(NL80211_STA_INFO_SIGNAL, -40) + overrun)
                                            << "station 00:11:22:33:44:aa signal -40 rate -";
        QTest::newRow("station without address")
            << message(Family, NL80211_CMD_NEW_STATION,
                       number<uint32_t>(NL80211_ATTR_IFINDEX, 3) + nested(NL80211_ATTR_STA_INFO, goodStationInfo()))
            << "none";
        QTest::newRow("associated bss") << bssReply(3, NL80211_BSS_STATUS_ASSOCIATED, elements())
                                        << "bss 00:11:22:33:44:aa status 1 5180 MHz ssid 'Home'";
        QTest::newRow("beacon elements only")
            << message(Family, NL80211_CMD_NEW_SCAN_RESULTS,
                       number<uint32_t>(NL80211_ATTR_IFINDEX, 3)
                           + nested(NL80211_ATTR_BSS, attribute(NL80211_BSS_BSSID, Bssid)
                                                          + attribute(NL80211_BSS_BEACON_IES, elements())))
            << "bss 00:11:22:33:44:aa status -1 0 MHz ssid 'Home'";
        QTest::newRow("bss without bssid")
            << message(Family, NL80211_CMD_NEW_SCAN_RESULTS,
                       number<uint32_t>(NL80211_ATTR_IFINDEX, 3)
                           + nested(NL80211_ATTR_BSS, number<uint32_t>(NL80211_BSS_FREQUENCY, 2412)))
            << "none";
    }
    void parsing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, parsed);
        QCOMPARE(describe(parse(bytes)), parsed);
    }

    void elementsSecurity_data()
    {
        QTest::addColumn<QByteArray>("ies");
        QTest::addColumn<bool>("privacy");
        QTest::addColumn<QByteArray>("ssid");
        QTest::addColumn<QString>("security");
        QTest::newRow("rsn psk") << elements(2) << true << QByteArray("Home") << "WPA2-Personal";
        QTest::newRow("rsn 802.1x") << elements(1) << true << QByteArray("Home") << "WPA2-Enterprise";
        QTest::newRow("rsn sae") << elements(8) << true << QByteArray("Home") << "WPA3-Personal";
        QTest::newRow("rsn owe") << elements(18) << true << QByteArray("Home") << "OWE";
        QTest::newRow("wpa psk") << QByteArray::fromHex("dd160050f20101000050f20201000050f20201000050f202") << true
                                 << QByteArray() << "WPA-Personal";
        QTest::newRow("privacy only") << QByteArray::fromHex("0003414243") << true << QByteArray("ABC") << "WEP";
        QTest::newRow("open") << QByteArray::fromHex("0003414243") << false << QByteArray("ABC") << "None";
        QTest::newRow("rsn suite count lying")
            << QByteArray::fromHex("300e0100000fac040100000fac040900") << true << QByteArray() << "WEP";
        QTest::newRow("element length past the end")
            << QByteArray::fromHex("0009414243") << false << QByteArray() << "None";
    }
    void elementsSecurity()
    {
        QFETCH(QByteArray, ies);
        QFETCH(bool, privacy);
        QFETCH(QByteArray, ssid);
        QFETCH(QString, security);
        QCOMPARE(ssidFromElements(ies), ssid);
        QCOMPARE(securityFromElements(ies, privacy), security);
    }

    // Every message cut at every byte parses to nothing or to what the whole
    // message holds, never past its end (the sanitizers watch the reads).
    void truncated_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("family") << familyReply();
        QTest::newRow("interface") << interfaceReply(3, "wlan0", NL80211_IFTYPE_STATION, "Home");
        QTest::newRow("station") << stationReply(3, goodStationInfo());
        QTest::newRow("bss") << bssReply(3, NL80211_BSS_STATUS_ASSOCIATED, elements());
    }
    void truncated()
    {
        QFETCH(QByteArray, bytes);
        const Parsed full = parse(bytes);
        QVERIFY(full.ok);
        for (int length = 0; length < bytes.size(); ++length) {
            const Parsed p = parse(cut(bytes, length));
            QVERIFY(p.family.id == 0 || p.family.id == full.family.id);
            QVERIFY(p.family.groups.isEmpty() || full.family.groups.contains(p.family.groups.firstKey()));
            QVERIFY(p.interface.ssid.isEmpty() || p.interface.ssid == full.interface.ssid);
            QVERIFY(!p.station.signal || p.station.signal == full.station.signal);
            QVERIFY(!p.station.bitrate || p.station.bitrate == full.station.bitrate);
            QVERIFY(p.bss.elements.isEmpty() || full.bss.elements.startsWith(p.bss.elements));
            QVERIFY(p.bss.status == -1 || p.bss.status == full.bss.status);
        }
    }

    // The reader's requests and keys, over a transport that answers as the
    // row says.
    void reader_data()
    {
        QTest::addColumn<bool>("familyFound");
        QTest::addColumn<uint>("type");
        QTest::addColumn<bool>("associated");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<bool>("published");
        QTest::addColumn<bool>("polling");
        const QString interfaces = QString::number(NL80211_CMD_GET_INTERFACE);
        const QString station = QString::number(NL80211_CMD_GET_STATION) + QStringLiteral("/3");
        const QString scan = QString::number(NL80211_CMD_GET_SCAN) + QStringLiteral("/3");
        QTest::newRow("associated station") << true << uint(NL80211_IFTYPE_STATION) << true
                                            << QStringList{"family", interfaces, station, scan} << true << true;
        QTest::newRow("idle station") << true << uint(NL80211_IFTYPE_STATION) << false
                                      << QStringList{"family", interfaces, station, scan} << false << false;
        QTest::newRow("access point") << true << uint(NL80211_IFTYPE_AP) << true << QStringList{"family", interfaces}
                                      << false << false;
        QTest::newRow("no family") << false << uint(NL80211_IFTYPE_STATION) << true << QStringList{"family"} << false
                                   << false;
    }
    void reader()
    {
        QFETCH(bool, familyFound);
        QFETCH(uint, type);
        QFETCH(bool, associated);
        QFETCH(QStringList, requests);
        QFETCH(bool, published);
        QFETCH(bool, polling);

        QList<QByteArray> sent;
        QList<uint32_t> joined;
        KeyValues keys;
        QStringList reasons;
        WifiReader reader(
            WifiReaderOptions(), [&](const KeyValues &fresh) { keys = fresh; },
            [&](const QString &reason) { reasons.append(reason); });
        reader.start(
            [&](const QByteArray &request) {
                sent.append(request);
                return true;
            },
            [&](uint32_t group) { return joined.append(group), true; });
        // Answer each request in turn, as the kernel would.
        int answered = 0;
        const auto answer = [&] {
            for (; answered < sent.size() && answered < 20; ++answered) {
                const uint32_t sequence = sequenceOf(sent.at(answered));
                const QString request = describeRequest(sent.at(answered));
                QByteArray reply;
                if (request == QLatin1String("family"))
                    reply = familyFound ? familyReply(sequence) + ending(sequence) : ending(sequence, ENOENT);
                else if (request == QString::number(NL80211_CMD_GET_INTERFACE))
                    reply = interfaceReply(3, "wlan0", type, associated ? "Home" : "", sequence)
                            + ending(sequence, 0, NLMSG_DONE);
                else if (request.startsWith(QString::number(NL80211_CMD_GET_STATION)))
                    reply = (associated ? stationReply(3, goodStationInfo(), sequence) : QByteArray())
                            + ending(sequence, 0, NLMSG_DONE);
                else
                    reply = bssReply(3, associated ? NL80211_BSS_STATUS_ASSOCIATED : 0, elements(), sequence)
                            + ending(sequence, 0, NLMSG_DONE);
                reader.receive(reply);
            }
        };
        answer();
        QStringList described;
        for (const QByteArray &request : std::as_const(sent))
            described.append(describeRequest(request));
        QCOMPARE(described, requests);
        QCOMPARE(reader.polling(), polling);
        QCOMPARE(reasons.size(), familyFound ? 0 : 1);
        QCOMPARE(joined, familyFound ? QList<uint32_t>{5} : QList<uint32_t>());
        const PropertyListValue wifi = keys.value(QStringLiteral("State:/Network/Interface/wlan0/WiFi"));
        QCOMPARE(bool(wifi), published);
        if (published) {
            const PropertyListDictionary &entries = wifi.dictionary();
            QCOMPARE(entries.value(QStringLiteral("SignalLevel")).integer(), -57);
            QCOMPARE(entries.value(QStringLiteral("Bitrate")).integer(), 866);
            QCOMPARE(entries.value(QStringLiteral("BSSID")).string(), QStringLiteral("00:11:22:33:44:aa"));
            QCOMPARE(entries.value(QStringLiteral("Frequency")).integer(), 5180);
            QCOMPARE(entries.value(QStringLiteral("SSID")).string(), QStringLiteral("Home"));
            QCOMPARE(entries.value(QStringLiteral("Security")).string(), QStringLiteral("WPA2-Personal"));
        }

        // Association events bring a new reading once the family is known;
        // one arriving while it runs brings another after it.
        const int before = answered;
        reader.receive(message(Family, NL80211_CMD_CONNECT, QByteArray()));
        reader.receive(message(Family, NL80211_CMD_ROAM, QByteArray()));
        QCOMPARE(int(sent.size()) - before, familyFound ? 1 : 0);
        answer();
        QCOMPARE(int(sent.size() - before), familyFound ? 2 * (requests.size() - 1) : 0);
        QCOMPARE(reader.readings(), familyFound ? 3 : 0);
    }

    // A request left unanswered is asked again; the family lookup gives up.
    void unanswered()
    {
        WifiReaderOptions options;
        options.replyTimeoutMilliseconds = 20;
        QStringList reasons;
        QStringList sent;
        WifiReader reader(
            options, [](const KeyValues &) {}, [&](const QString &why) { reasons.append(why); });
        reader.start([&](const QByteArray &request) { return sent.append(describeRequest(request)), true; },
                     [](uint32_t) { return true; });
        reader.receive(familyReply(1) + ending(1));
        QTRY_VERIFY(sent.size() >= 3);
        QCOMPARE(sent.mid(1), QStringList(sent.size() - 1, QString::number(NL80211_CMD_GET_INTERFACE)));
        QVERIFY(reasons.isEmpty());

        WifiReader silent(
            options, [](const KeyValues &) {}, [&](const QString &why) { reasons.append(why); });
        silent.start([](const QByteArray &) { return true; }, [](uint32_t) { return true; });
        QTRY_COMPARE(reasons.size(), 1);
        QVERIFY(!silent.failure().isEmpty());
    }
};

QTEST_MAIN(TestLiveNl80211)
#include "tst_livenl80211.moc"
