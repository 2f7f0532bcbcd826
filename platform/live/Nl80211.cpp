#include "platform/live/Nl80211.h"

#include "platform/ErrnoText.h"
#include "platform/desktop/DesktopKeys.h"
#include "platform/live/Netlink.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <deque>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace kv::live {

namespace {

// One attribute: its type (without the nesting and byte-order flags) and the
// bytes of its payload.
struct Attribute
{
    uint16_t type = 0;
    const char *data = nullptr;
    size_t size = 0;
};

// Walks the attributes in `length` bytes at `data`. An attribute whose stated
// length is shorter than its header or runs past what is left ends the walk.
template<typename Visitor>
void walkAttributes(const char *data, size_t length, Visitor &&visitor)
{
    while (length >= NLA_HDRLEN) {
        nlattr header;
        std::memcpy(&header, data, sizeof header);
        if (header.nla_len < NLA_HDRLEN || header.nla_len > length)
            return;
        visitor(Attribute{uint16_t(header.nla_type & NLA_TYPE_MASK), data + NLA_HDRLEN,
                          size_t(header.nla_len) - NLA_HDRLEN});
        const size_t step = NLA_ALIGN(header.nla_len);
        if (step >= length)
            return;
        data += step;
        length -= step;
    }
}

template<typename Visitor>
void walkNested(const Attribute &attribute, Visitor &&visitor)
{
    walkAttributes(attribute.data, attribute.size, std::forward<Visitor>(visitor));
}

// Reads an integer attribute of at least the expected size.
template<typename T>
bool attributeValue(const Attribute &attribute, T *value)
{
    if (attribute.size < sizeof(T))
        return false;
    std::memcpy(value, attribute.data, sizeof(T));
    return true;
}

QByteArray attributeBytes(const Attribute &attribute)
{
    return QByteArray(attribute.data, qsizetype(attribute.size));
}

QString attributeString(const Attribute &attribute)
{
    return QString::fromUtf8(attribute.data, qsizetype(strnlen(attribute.data, attribute.size)));
}

// Visits the attributes of a generic netlink message of the given type and
// command; false when the message is not one or too short for its header.
template<typename Visitor>
bool forEachGenericAttribute(const nlmsghdr *message, uint16_t type, uint8_t command, Visitor &&visitor)
{
    if (message->nlmsg_type != type || message->nlmsg_len < NLMSG_LENGTH(GENL_HDRLEN))
        return false;
    genlmsghdr header;
    std::memcpy(&header, NLMSG_DATA(message), sizeof header);
    if (header.cmd != command)
        return false;
    const char *attributes = static_cast<const char *>(NLMSG_DATA(message)) + GENL_HDRLEN;
    walkAttributes(attributes, message->nlmsg_len - NLMSG_LENGTH(GENL_HDRLEN), std::forward<Visitor>(visitor));
    return true;
}

void appendAttribute(QByteArray *message, uint16_t type, const void *data, size_t size)
{
    nlattr header;
    header.nla_type = type;
    header.nla_len = uint16_t(NLA_HDRLEN + size);
    message->append(reinterpret_cast<const char *>(&header), sizeof header);
    message->append(static_cast<const char *>(data), qsizetype(size));
    while (message->size() % NLA_ALIGNTO)
        message->append('\0');
}

QByteArray genericMessage(uint16_t type, uint16_t flags, uint32_t sequence, uint8_t command, uint8_t version)
{
    nlmsghdr header = {};
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    genlmsghdr generic = {};
    generic.cmd = command;
    generic.version = version;
    QByteArray message(reinterpret_cast<const char *>(&header), sizeof header);
    message.append(reinterpret_cast<const char *>(&generic), sizeof generic);
    return message;
}

void setLength(QByteArray *message)
{
    const uint32_t length = uint32_t(message->size());
    std::memcpy(message->data() + offsetof(nlmsghdr, nlmsg_len), &length, sizeof length);
}

// Walks the information elements (one byte of id, one of length); a length
// running past the end ends the walk.
template<typename Visitor>
void walkElements(const QByteArray &elements, Visitor &&visitor)
{
    qsizetype at = 0;
    while (at + 2 <= elements.size()) {
        const uchar id = uchar(elements.at(at));
        const qsizetype length = uchar(elements.at(at + 1));
        if (at + 2 + length > elements.size())
            return;
        visitor(id, elements.constData() + at + 2, length);
        at += 2 + length;
    }
}

// Key management flags in NetworkManager's terms, which wifiSecurity reads.
constexpr uint KeyManagementPsk = 0x100;
constexpr uint KeyManagement8021X = 0x200;
constexpr uint KeyManagementSae = 0x400;
constexpr uint KeyManagementOwe = 0x800;
constexpr uint PrivacyFlag = 0x1;

// The key management suites of an RSN or WPA element body starting at its
// version field, as flags; `oui` is the suites' organisation.
uint keyManagement(const uchar *body, qsizetype length, const uchar oui[3], bool rsn)
{
    // version (2), group cipher (4), pairwise count (2) and suites (4 each),
    // key management count (2) and suites.
    qsizetype at = 2 + 4;
    if (at + 2 > length)
        return 0;
    const qsizetype pairwise = body[at] | (body[at + 1] << 8);
    at += 2 + 4 * pairwise;
    if (at + 2 > length)
        return 0;
    const qsizetype count = body[at] | (body[at + 1] << 8);
    at += 2;
    uint flags = 0;
    for (qsizetype i = 0; i < count && at + 4 <= length; ++i, at += 4) {
        if (std::memcmp(body + at, oui, 3) != 0)
            continue;
        const uchar suite = body[at + 3];
        if (!rsn) {
            flags |= suite == 1 ? KeyManagement8021X : suite == 2 ? KeyManagementPsk : 0;
            continue;
        }
        switch (suite) {
        case 1:
        case 3:
        case 5:
        case 11:
        case 12:
        case 13: flags |= KeyManagement8021X; break;
        case 2:
        case 4:
        case 6: flags |= KeyManagementPsk; break;
        case 8:
        case 9:
        case 24:
        case 25: flags |= KeyManagementSae; break;
        case 18: flags |= KeyManagementOwe; break;
        default: break;
        }
    }
    return flags;
}

} // namespace

bool parseFamilyMessage(const nlmsghdr *message, GenericFamily *family)
{
    GenericFamily result;
    const bool ok = forEachGenericAttribute(message, GENL_ID_CTRL, CTRL_CMD_NEWFAMILY, [&](const Attribute &attribute) {
        switch (attribute.type) {
        case CTRL_ATTR_FAMILY_ID: attributeValue(attribute, &result.id); break;
        case CTRL_ATTR_FAMILY_NAME: result.name = attributeString(attribute); break;
        case CTRL_ATTR_MCAST_GROUPS:
            walkNested(attribute, [&](const Attribute &group) {
                QString name;
                std::optional<uint32_t> id;
                walkNested(group, [&](const Attribute &entry) {
                    uint32_t value = 0;
                    if (entry.type == CTRL_ATTR_MCAST_GRP_NAME)
                        name = attributeString(entry);
                    else if (entry.type == CTRL_ATTR_MCAST_GRP_ID && attributeValue(entry, &value))
                        id = value;
                });
                if (!name.isEmpty() && id)
                    result.groups.insert(name, *id);
            });
            break;
        default: break;
        }
    });
    if (!ok || result.id == 0)
        return false;
    *family = result;
    return true;
}

bool parseInterfaceMessage(const nlmsghdr *message, uint16_t familyId, WifiInterface *interface)
{
    WifiInterface result;
    bool indexed = false;
    const bool ok =
        forEachGenericAttribute(message, familyId, NL80211_CMD_NEW_INTERFACE, [&](const Attribute &attribute) {
            uint32_t value = 0;
            switch (attribute.type) {
            case NL80211_ATTR_IFINDEX:
                if (attributeValue(attribute, &value)) {
                    result.index = int(value);
                    indexed = true;
                }
                break;
            case NL80211_ATTR_IFNAME: result.name = attributeString(attribute); break;
            case NL80211_ATTR_IFTYPE: attributeValue(attribute, &result.type); break;
            case NL80211_ATTR_SSID:
                if (attribute.size <= 32)
                    result.ssid = attributeBytes(attribute);
                break;
            case NL80211_ATTR_WIPHY_FREQ: attributeValue(attribute, &result.frequency); break;
            default: break;
            }
        });
    if (!ok || !indexed || result.name.isEmpty())
        return false;
    *interface = result;
    return true;
}

bool parseStationMessage(const nlmsghdr *message, uint16_t familyId, WifiStation *station)
{
    WifiStation result;
    bool indexed = false;
    const bool ok =
        forEachGenericAttribute(message, familyId, NL80211_CMD_NEW_STATION, [&](const Attribute &attribute) {
            uint32_t value = 0;
            switch (attribute.type) {
            case NL80211_ATTR_IFINDEX:
                if (attributeValue(attribute, &value)) {
                    result.index = int(value);
                    indexed = true;
                }
                break;
            case NL80211_ATTR_MAC:
                if (attribute.size == 6)
                    result.address = attributeBytes(attribute);
                break;
            case NL80211_ATTR_STA_INFO:
                walkNested(attribute, [&](const Attribute &info) {
                    int8_t signal = 0;
                    if (info.type == NL80211_STA_INFO_SIGNAL && attributeValue(info, &signal))
                        result.signal = signal;
                    if (info.type != NL80211_STA_INFO_TX_BITRATE)
                        return;
                    std::optional<uint32_t> wide;
                    std::optional<uint32_t> narrow;
                    walkNested(info, [&](const Attribute &rate) {
                        uint32_t rate32 = 0;
                        uint16_t rate16 = 0;
                        if (rate.type == NL80211_RATE_INFO_BITRATE32 && attributeValue(rate, &rate32))
                            wide = rate32;
                        else if (rate.type == NL80211_RATE_INFO_BITRATE && attributeValue(rate, &rate16))
                            narrow = rate16;
                    });
                    // The 16-bit rate is absent or 0 when it does not fit.
                    if (wide)
                        result.bitrate = wide;
                    else if (narrow)
                        result.bitrate = narrow;
                });
                break;
            default: break;
            }
        });
    if (!ok || !indexed || result.address.isEmpty())
        return false;
    *station = result;
    return true;
}

bool parseBssMessage(const nlmsghdr *message, uint16_t familyId, WifiBss *bss)
{
    WifiBss result;
    bool indexed = false;
    QByteArray beaconElements;
    const bool ok =
        forEachGenericAttribute(message, familyId, NL80211_CMD_NEW_SCAN_RESULTS, [&](const Attribute &attribute) {
            uint32_t value = 0;
            if (attribute.type == NL80211_ATTR_IFINDEX && attributeValue(attribute, &value)) {
                result.index = int(value);
                indexed = true;
            }
            if (attribute.type != NL80211_ATTR_BSS)
                return;
            walkNested(attribute, [&](const Attribute &entry) {
                uint32_t number = 0;
                uint16_t capability = 0;
                switch (entry.type) {
                case NL80211_BSS_BSSID:
                    if (entry.size == 6)
                        result.bssid = attributeBytes(entry);
                    break;
                case NL80211_BSS_FREQUENCY: attributeValue(entry, &result.frequency); break;
                case NL80211_BSS_STATUS:
                    if (attributeValue(entry, &number))
                        result.status = int(number);
                    break;
                case NL80211_BSS_CAPABILITY:
                    if (attributeValue(entry, &capability))
                        result.capability = capability;
                    break;
                case NL80211_BSS_INFORMATION_ELEMENTS: result.elements = attributeBytes(entry); break;
                case NL80211_BSS_BEACON_IES: beaconElements = attributeBytes(entry); break;
                default: break;
                }
            });
        });
    if (!ok || !indexed || result.bssid.isEmpty())
        return false;
    if (result.elements.isEmpty())
        result.elements = beaconElements;
    *bss = result;
    return true;
}

int genericCommand(const nlmsghdr *message, uint16_t familyId)
{
    if (familyId == 0 || message->nlmsg_type != familyId || message->nlmsg_len < NLMSG_LENGTH(GENL_HDRLEN))
        return -1;
    genlmsghdr header;
    std::memcpy(&header, NLMSG_DATA(message), sizeof header);
    return header.cmd;
}

QByteArray ssidFromElements(const QByteArray &elements)
{
    QByteArray ssid;
    bool found = false;
    walkElements(elements, [&](uchar id, const char *data, qsizetype length) {
        if (id == 0 && !found && length <= 32) {
            ssid = QByteArray(data, length);
            found = true;
        }
    });
    return ssid;
}

QString securityFromElements(const QByteArray &elements, bool privacy)
{
    static const uchar rsnOui[3] = {0x00, 0x0f, 0xac};
    static const uchar wpaOui[3] = {0x00, 0x50, 0xf2};
    uint rsn = 0;
    uint wpa = 0;
    walkElements(elements, [&](uchar id, const char *data, qsizetype length) {
        const auto *body = reinterpret_cast<const uchar *>(data);
        if (id == 48)
            rsn |= keyManagement(body, length, rsnOui, true);
        else if (id == 221 && length >= 4 && std::memcmp(body, wpaOui, 3) == 0 && body[3] == 1)
            wpa |= keyManagement(body + 4, length - 4, wpaOui, false);
    });
    return desktop::wifiSecurity(privacy ? PrivacyFlag : 0, wpa, rsn);
}

QByteArray familyRequest(uint32_t sequence, const QString &name)
{
    QByteArray message = genericMessage(GENL_ID_CTRL, NLM_F_REQUEST | NLM_F_ACK, sequence, CTRL_CMD_GETFAMILY, 1);
    const QByteArray text = name.toUtf8();
    appendAttribute(&message, CTRL_ATTR_FAMILY_NAME, text.constData(), size_t(text.size()) + 1);
    setLength(&message);
    return message;
}

QByteArray commandRequest(uint16_t familyId, uint8_t command, bool dump, uint32_t sequence, int ifindex)
{
    QByteArray message =
        genericMessage(familyId, NLM_F_REQUEST | (dump ? NLM_F_DUMP : NLM_F_ACK), sequence, command, 0);
    if (ifindex > 0) {
        const uint32_t index = uint32_t(ifindex);
        appendAttribute(&message, NL80211_ATTR_IFINDEX, &index, sizeof index);
    }
    setLength(&message);
    return message;
}

KeyValues wifiKeys(const QMap<int, WifiInterface> &interfaces, const QMap<int, WifiStation> &stations,
                   const QMap<int, WifiBss> &bsses)
{
    KeyValues keys;
    for (const WifiInterface &interface : interfaces) {
        if (interface.type != NL80211_IFTYPE_STATION)
            continue;
        const auto bss = bsses.constFind(interface.index);
        const bool hasBss = bss != bsses.cend();
        if (interface.ssid.isEmpty() && !hasBss)
            continue; // not associated
        const auto station = stations.constFind(interface.index);
        const bool hasStation = station != stations.cend();

        PropertyListDictionary entries;
        const QByteArray ssid = !interface.ssid.isEmpty() ? interface.ssid : ssidFromElements(bss->elements);
        desktop::insertText(&entries, QStringLiteral("SSID"), QString::fromUtf8(ssid));
        const QByteArray bssid = hasBss ? bss->bssid : hasStation ? station->address : QByteArray();
        desktop::insertText(&entries, QStringLiteral("BSSID"), hardwareAddressToString(bssid));
        const uint32_t frequency = hasBss && bss->frequency ? bss->frequency : interface.frequency;
        if (frequency)
            entries.insert(QStringLiteral("Frequency"), desktop::integer(frequency));
        if (hasStation && station->signal)
            entries.insert(QStringLiteral("SignalLevel"), desktop::integer(*station->signal));
        if (hasStation && station->bitrate)
            entries.insert(QStringLiteral("Bitrate"), desktop::integer(*station->bitrate / 10));
        if (hasBss && (bss->capability || !bss->elements.isEmpty()))
            entries.insert(QStringLiteral("Security"),
                           desktop::text(securityFromElements(bss->elements, bss->capability.value_or(0) & 0x10)));
        keys.insert(desktop::InterfacePrefix + interface.name + QStringLiteral("/WiFi"), desktop::dictionary(entries));
    }
    return keys;
}

// --- Reader ----------------------------------------------------------------------

struct WifiReader::Private
{
    enum class Kind { Family, Interfaces, Station, Scan };
    struct Request
    {
        Kind kind;
        int ifindex = 0;
    };
    struct Reading
    {
        QMap<int, WifiInterface> interfaces;
        QMap<int, WifiStation> stations;
        QMap<int, WifiBss> bsses;
    };

    WifiReaderOptions options;
    Publish publish;
    Unavailable unavailable;
    Send send;
    Join join;

    uint16_t familyId = 0;
    QString failure;
    uint32_t sequence = 0;
    std::optional<Request> pending;
    uint32_t pendingSequence = 0;
    std::deque<Request> queue;
    bool again = false;
    Reading fresh;
    Reading current;
    KeyValues published;
    bool publishedOnce = false;
    int readings = 0;

    kv::UniqueFd fd;
    std::vector<uint32_t> buffer;
    // After the descriptor: the notifier (its child) goes first.
    std::unique_ptr<QObject> context = std::make_unique<QObject>();
    QSocketNotifier *notifier = nullptr;
    QTimer *pollTimer = nullptr;
    QTimer *replyTimer = nullptr;

    ~Private() { context.reset(); }

    void fail(const QString &reason)
    {
        if (!failure.isEmpty())
            return;
        failure = reason;
        pending.reset();
        queue.clear();
        pollTimer->stop();
        replyTimer->stop();
        if (notifier)
            notifier->setEnabled(false);
        if (!published.isEmpty() || !publishedOnce) {
            published.clear();
            publishedOnce = true;
            publish(published);
        }
        unavailable(reason);
    }

    void next()
    {
        if (pending || !failure.isEmpty())
            return;
        if (queue.empty()) {
            commit();
            return;
        }
        pending = queue.front();
        queue.pop_front();
        pendingSequence = ++sequence;
        QByteArray request;
        switch (pending->kind) {
        case Kind::Family: request = familyRequest(pendingSequence, options.familyName); break;
        case Kind::Interfaces:
            request = commandRequest(familyId, NL80211_CMD_GET_INTERFACE, true, pendingSequence, 0);
            break;
        case Kind::Station:
            request = commandRequest(familyId, NL80211_CMD_GET_STATION, true, pendingSequence, pending->ifindex);
            break;
        case Kind::Scan:
            request = commandRequest(familyId, NL80211_CMD_GET_SCAN, true, pendingSequence, pending->ifindex);
            break;
        }
        replyTimer->start();
        if (!send(request))
            fail(QStringLiteral("cannot send to nl80211: %1").arg(kv::errnoText()));
    }

    bool busy() const { return pending || !queue.empty(); }

    void beginReading()
    {
        fresh = Reading();
        queue.push_back({Kind::Interfaces});
        next();
    }

    bool associated(const WifiInterface &interface, const Reading &reading) const
    {
        return interface.type == NL80211_IFTYPE_STATION
               && (!interface.ssid.isEmpty() || reading.bsses.contains(interface.index));
    }

    void commit()
    {
        current = fresh;
        ++readings;
        const KeyValues keys = wifiKeys(current.interfaces, current.stations, current.bsses);
        if (keys != published || !publishedOnce) {
            published = keys;
            publishedOnce = true;
            publish(published);
        }
        bool any = false;
        for (const WifiInterface &interface : std::as_const(current.interfaces))
            any = any || associated(interface, current);
        if (any && !pollTimer->isActive())
            pollTimer->start();
        else if (!any)
            pollTimer->stop();
        if (again) {
            again = false;
            beginReading();
        }
    }

    void finish(int code)
    {
        const Request request = *pending;
        pending.reset();
        replyTimer->stop();
        if (request.kind == Kind::Family) {
            if (code != 0 || familyId == 0) {
                fail(code == ENOENT || code == 0
                         ? QStringLiteral("the kernel has no %1 family").arg(options.familyName)
                         : QStringLiteral("%1 family lookup failed: %2").arg(options.familyName, kv::errnoText(code)));
                return;
            }
            beginReading();
            return;
        }
        if (request.kind == Kind::Interfaces) {
            for (const WifiInterface &interface : std::as_const(fresh.interfaces)) {
                if (interface.type != NL80211_IFTYPE_STATION)
                    continue;
                queue.push_back({Kind::Station, interface.index});
                queue.push_back({Kind::Scan, interface.index});
            }
        }
        next();
    }

    void handleReply(const nlmsghdr *message)
    {
        switch (pending->kind) {
        case Kind::Family: {
            GenericFamily family;
            if (parseFamilyMessage(message, &family)) {
                familyId = family.id;
                for (const char *name : {NL80211_MULTICAST_GROUP_MLME, NL80211_MULTICAST_GROUP_CONFIG}) {
                    const auto group = family.groups.constFind(QString::fromLatin1(name));
                    if (group != family.groups.cend())
                        join(group.value()); // best effort: without it, the poll still follows
                }
            }
            break;
        }
        case Kind::Interfaces: {
            WifiInterface interface;
            if (parseInterfaceMessage(message, familyId, &interface))
                fresh.interfaces.insert(interface.index, interface);
            break;
        }
        case Kind::Station: {
            WifiStation station;
            if (parseStationMessage(message, familyId, &station) && station.index == pending->ifindex)
                fresh.stations.insert(station.index, station);
            break;
        }
        case Kind::Scan: {
            WifiBss bss;
            if (parseBssMessage(message, familyId, &bss) && bss.index == pending->ifindex
                && (bss.status == NL80211_BSS_STATUS_ASSOCIATED || bss.status == NL80211_BSS_STATUS_IBSS_JOINED))
                fresh.bsses.insert(bss.index, bss);
            break;
        }
        }
    }

    void handle(const nlmsghdr *message)
    {
        if (message->nlmsg_seq == 0) {
            switch (genericCommand(message, familyId)) {
            case NL80211_CMD_CONNECT:
            case NL80211_CMD_DISCONNECT:
            case NL80211_CMD_ROAM:
            case NL80211_CMD_ASSOCIATE:
            case NL80211_CMD_DISASSOCIATE:
            case NL80211_CMD_DEAUTHENTICATE:
            case NL80211_CMD_NEW_INTERFACE:
            case NL80211_CMD_DEL_INTERFACE: refresh(); break;
            default: break;
            }
            return;
        }
        if (!pending || message->nlmsg_seq != pendingSequence)
            return; // a reply to an abandoned request
        if (message->nlmsg_type == NLMSG_ERROR) {
            int code = EPROTO;
            if (message->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
                int error = 0;
                std::memcpy(&error, NLMSG_DATA(message), sizeof error);
                code = -error;
            }
            finish(code);
        } else if (message->nlmsg_type == NLMSG_DONE) {
            finish(0);
        } else {
            handleReply(message);
        }
    }

    // Gives up the request under way and reads everything anew.
    void restart()
    {
        pending.reset();
        queue.clear();
        again = false;
        replyTimer->stop();
        if (familyId)
            beginReading();
        else
            fail(QStringLiteral("the %1 family lookup went unanswered").arg(options.familyName));
    }

    void refresh()
    {
        if (!failure.isEmpty() || familyId == 0)
            return;
        if (busy()) {
            again = true;
            return;
        }
        beginReading();
    }

    void readable()
    {
        for (;;) {
            sockaddr_nl sender = {};
            socklen_t senderLength = sizeof sender;
            ssize_t size = ::recvfrom(fd.get(), buffer.data(), buffer.size() * sizeof(uint32_t), MSG_PEEK | MSG_TRUNC,
                                      reinterpret_cast<sockaddr *>(&sender), &senderLength);
            if (size >= 0 && size_t(size) > buffer.size() * sizeof(uint32_t))
                buffer.resize((size_t(size) + 3) / 4);
            if (size >= 0)
                size = ::recv(fd.get(), buffer.data(), buffer.size() * sizeof(uint32_t), 0);
            if (size < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == ENOBUFS) {
                    restart(); // events or replies were lost
                    continue;
                }
                return; // EAGAIN: all read
            }
            if (senderLength != sizeof sender || sender.nl_pid != 0)
                continue; // only the kernel speaks here
            receive(QByteArray::fromRawData(reinterpret_cast<const char *>(buffer.data()), size));
            if (!failure.isEmpty())
                return;
        }
    }

    void receive(const QByteArray &datagram)
    {
        forEachMessage(datagram, [this](const nlmsghdr *message) {
            handle(message);
            return failure.isEmpty();
        });
    }
};

WifiReader::WifiReader(const WifiReaderOptions &options, Publish publish, Unavailable unavailable)
    : d(std::make_unique<Private>())
{
    d->options = options;
    d->publish = std::move(publish);
    d->unavailable = std::move(unavailable);
    d->pollTimer = new QTimer(d->context.get());
    d->pollTimer->setInterval(options.pollMilliseconds);
    QObject::connect(d->pollTimer, &QTimer::timeout, d->context.get(), [this] { poll(); });
    d->replyTimer = new QTimer(d->context.get());
    d->replyTimer->setSingleShot(true);
    d->replyTimer->setInterval(options.replyTimeoutMilliseconds);
    QObject::connect(d->replyTimer, &QTimer::timeout, d->context.get(), [this] { d->restart(); });
}

WifiReader::~WifiReader() = default;

bool WifiReader::open(QString *error)
{
    NetlinkSocketOptions setup;
    setup.receiveBuffer = d->options.receiveBuffer;
    d->fd = openNetlinkSocket(NETLINK_GENERIC, SOCK_RAW | SOCK_NONBLOCK, setup, nullptr, error);
    if (!d->fd.isValid()) {
        d->failure = *error;
        return false;
    }
    d->buffer.assign(16384, 0); // 64 KiB, grown for larger datagrams
    d->notifier = new QSocketNotifier(d->fd.get(), QSocketNotifier::Read, d->context.get());
    QObject::connect(d->notifier, &QSocketNotifier::activated, d->context.get(), [this] { d->readable(); });
    const int descriptor = d->fd.get();
    start(
        [descriptor](const QByteArray &request) {
            sockaddr_nl kernel = {};
            kernel.nl_family = AF_NETLINK;
            return ::sendto(descriptor, request.constData(), size_t(request.size()), 0,
                            reinterpret_cast<sockaddr *>(&kernel), sizeof kernel)
                   == request.size();
        },
        [descriptor](uint32_t group) {
            const int id = int(group);
            return ::setsockopt(descriptor, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &id, sizeof id) == 0;
        });
    return true;
}

bool WifiReader::waitForFirstReading(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (d->fd.isValid() && d->readings == 0 && d->failure.isEmpty() && !deadline.hasExpired()) {
        pollfd entry = {d->fd.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0)
            d->readable();
    }
    return d->readings > 0 || !d->failure.isEmpty();
}

void WifiReader::start(Send send, Join join)
{
    d->send = std::move(send);
    d->join = std::move(join);
    d->queue.push_back({Private::Kind::Family});
    d->next();
}

void WifiReader::receive(const QByteArray &datagram)
{
    d->receive(datagram);
}

void WifiReader::refresh()
{
    d->refresh();
}

void WifiReader::poll()
{
    if (!d->failure.isEmpty() || d->familyId == 0 || d->busy())
        return; // a reading under way brings the signal too
    d->fresh = d->current;
    d->fresh.stations.clear();
    for (const WifiInterface &interface : std::as_const(d->current.interfaces)) {
        if (d->associated(interface, d->current))
            d->queue.push_back({Private::Kind::Station, interface.index});
    }
    d->next();
}

QString WifiReader::failure() const
{
    return d->failure;
}

bool WifiReader::resolved() const
{
    return d->familyId != 0;
}

bool WifiReader::polling() const
{
    return d->pollTimer->isActive();
}

int WifiReader::readings() const
{
    return d->readings;
}

int WifiReader::fd() const
{
    return d->fd.get();
}

} // namespace kv::live
