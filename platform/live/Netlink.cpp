#include "platform/live/Netlink.h"

#include "platform/ErrnoText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <utility>
#include <vector>

namespace kv::live {

namespace {

// NLMSG_OK with the length kept signed: a message header fits, and the
// message's own length fits in what is left. Stated here because the macro
// compares the header's unsigned length with the signed remainder.
bool messageFits(const nlmsghdr *message, int length)
{
    return length >= int(sizeof(nlmsghdr)) && message->nlmsg_len >= sizeof(nlmsghdr)
           && message->nlmsg_len <= unsigned(length);
}

// Walks the messages in `length` bytes at `data`, which must be 4-byte aligned
// as netlink headers need, handing each whole one to the visitor (which
// returns false to stop). Returns the number of messages visited.
template<typename Visitor>
int walkMessages(const void *data, int length, Visitor &&visitor)
{
    int visited = 0;
    for (auto *message = static_cast<const nlmsghdr *>(data); messageFits(message, length);
         message = NLMSG_NEXT(message, length)) {
        ++visited;
        if (!visitor(message))
            break;
    }
    return visited;
}

// Walks the attributes in `length` bytes from `first`. RTA_OK keeps each one
// within what is left, so a short or overstated tail ends the walk.
template<typename Visitor>
void walkAttributes(const void *first, int length, Visitor &&visitor)
{
    for (auto *attribute = static_cast<const rtattr *>(first); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length))
        visitor(attribute);
}

// Reads an integer attribute of exactly the expected size.
template<typename T>
bool attributeValue(const rtattr *attribute, T *value)
{
    if (RTA_PAYLOAD(attribute) < sizeof(T))
        return false;
    std::memcpy(value, RTA_DATA(attribute), sizeof(T));
    return true;
}

QString attributeAddress(int family, const rtattr *attribute)
{
    return addressToString(family, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
}

QString attributeString(const rtattr *attribute)
{
    const char *data = static_cast<const char *>(RTA_DATA(attribute));
    const size_t length = RTA_PAYLOAD(attribute);
    const size_t end = strnlen(data, length);
    return QString::fromUtf8(data, qsizetype(end));
}

// Visits the attributes that follow a fixed header of `headerSize` bytes.
template<typename Visitor>
bool forEachAttribute(const nlmsghdr *message, size_t headerSize, Visitor &&visitor)
{
    if (message->nlmsg_len < NLMSG_LENGTH(headerSize))
        return false;
    // NLMSG_ALIGN may step past a short tail; RTA_OK rejects what does not fit.
    const int length = int(message->nlmsg_len - NLMSG_LENGTH(headerSize)) - int(NLMSG_ALIGN(headerSize) - headerSize);
    walkAttributes(static_cast<const char *>(NLMSG_DATA(message)) + NLMSG_ALIGN(headerSize), length,
                   std::forward<Visitor>(visitor));
    return true;
}

// How a dump's closing message (NLMSG_DONE, or NLMSG_ERROR, which with code 0
// is the acknowledgement) ends it.
DumpResult dumpEnd(const nlmsghdr *message, bool interrupted, QString *error)
{
    int code = 0;
    if (message->nlmsg_type == NLMSG_ERROR && message->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
        nlmsgerr failure;
        std::memcpy(&failure, NLMSG_DATA(message), sizeof failure);
        code = -failure.error;
    }
    if (code == 0)
        return interrupted ? DumpResult::Interrupted : DumpResult::Ok;
    if (code == EINTR || code == EBUSY)
        return DumpResult::Interrupted;
    *error = QStringLiteral("netlink dump failed: %1").arg(kv::errnoText(code));
    return DumpResult::Failed;
}

} // namespace

QString addressToString(int family, const void *data, size_t length)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (family == AF_INET && length >= 4) {
        if (inet_ntop(AF_INET, data, text, sizeof text))
            return QString::fromLatin1(text);
    } else if (family == AF_INET6 && length >= 16) {
        if (inet_ntop(AF_INET6, data, text, sizeof text))
            return QString::fromLatin1(text);
    }
    return QString();
}

QString hardwareAddressToString(const QByteArray &address)
{
    QString text;
    for (qsizetype i = 0; i < address.size(); ++i) {
        if (i)
            text += QLatin1Char(':');
        text += QStringLiteral("%1").arg(uint(uchar(address.at(i))), 2, 16, QLatin1Char('0'));
    }
    return text;
}

bool parseLinkMessage(const nlmsghdr *message, LinkInfo *link)
{
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return false;
    ifinfomsg header;
    std::memcpy(&header, NLMSG_DATA(message), sizeof header);
    LinkInfo result;
    result.index = header.ifi_index;
    result.flags = header.ifi_flags;
    result.type = header.ifi_type;
    forEachAttribute(message, sizeof(ifinfomsg), [&](const rtattr *attribute) {
        switch (attribute->rta_type) {
        case IFLA_IFNAME: result.name = attributeString(attribute); break;
        case IFLA_MTU: {
            uint32_t mtu = 0;
            if (attributeValue(attribute, &mtu))
                result.mtu = int(mtu);
            break;
        }
        case IFLA_OPERSTATE: {
            uint8_t state = 0;
            if (attributeValue(attribute, &state))
                result.operState = state;
            break;
        }
        case IFLA_ADDRESS:
            result.hardwareAddress =
                QByteArray(static_cast<const char *>(RTA_DATA(attribute)), qsizetype(RTA_PAYLOAD(attribute)));
            break;
        default: break;
        }
    });
    if (result.index <= 0 || result.name.isEmpty())
        return false;
    *link = result;
    return true;
}

bool parseAddressMessage(const nlmsghdr *message, AddressInfo *address)
{
    if (message->nlmsg_type != RTM_NEWADDR || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return false;
    ifaddrmsg header;
    std::memcpy(&header, NLMSG_DATA(message), sizeof header);
    if (header.ifa_family != AF_INET && header.ifa_family != AF_INET6)
        return false;
    AddressInfo result;
    result.family = header.ifa_family;
    result.index = int(header.ifa_index);
    result.prefixLength = header.ifa_prefixlen;
    result.scope = header.ifa_scope;
    result.flags = header.ifa_flags;
    QString local;
    QString peer;
    forEachAttribute(message, sizeof(ifaddrmsg), [&](const rtattr *attribute) {
        switch (attribute->rta_type) {
        case IFA_ADDRESS: peer = attributeAddress(result.family, attribute); break;
        case IFA_LOCAL: local = attributeAddress(result.family, attribute); break;
        case IFA_BROADCAST: result.broadcast = attributeAddress(result.family, attribute); break;
        case IFA_LABEL: result.label = attributeString(attribute); break;
        case IFA_FLAGS: {
            uint32_t flags = 0;
            if (attributeValue(attribute, &flags))
                result.flags = flags;
            break;
        }
        default: break;
        }
    });
    // IFA_LOCAL is the interface's own address; IFA_ADDRESS is then the peer
    // of a point-to-point link (or the same address).
    if (!local.isEmpty()) {
        result.address = local;
        if (!peer.isEmpty() && peer != local)
            result.destination = peer;
    } else {
        result.address = peer;
    }
    if (result.address.isEmpty() || result.index <= 0)
        return false;
    *address = result;
    return true;
}

bool parseRouteMessage(const nlmsghdr *message, QList<RouteInfo> *routes)
{
    if (message->nlmsg_type != RTM_NEWROUTE || message->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return false;
    rtmsg header;
    std::memcpy(&header, NLMSG_DATA(message), sizeof header);
    if (header.rtm_family != AF_INET && header.rtm_family != AF_INET6)
        return false;
    const int maxLength = header.rtm_family == AF_INET ? 32 : 128;
    if (header.rtm_dst_len > maxLength)
        return false;
    RouteInfo route;
    route.family = header.rtm_family;
    route.table = header.rtm_table;
    route.type = header.rtm_type;
    route.protocol = header.rtm_protocol;
    route.scope = header.rtm_scope;
    route.routeFlags = header.rtm_flags;
    route.destinationLength = header.rtm_dst_len;
    QList<RouteInfo> hops;
    const rtattr *multipath = nullptr;
    forEachAttribute(message, sizeof(rtmsg), [&](const rtattr *attribute) {
        switch (attribute->rta_type) {
        case RTA_TABLE: attributeValue(attribute, &route.table); break;
        case RTA_DST: route.destination = attributeAddress(route.family, attribute); break;
        case RTA_GATEWAY: route.gateway = attributeAddress(route.family, attribute); break;
        case RTA_PREFSRC: route.preferredSource = attributeAddress(route.family, attribute); break;
        case RTA_OIF: {
            uint32_t index = 0;
            if (attributeValue(attribute, &index))
                route.outputIndex = int(index);
            break;
        }
        case RTA_PRIORITY: attributeValue(attribute, &route.metric); break;
        case RTA_MULTIPATH: multipath = attribute; break;
        default: break;
        }
    });
    if (!multipath) {
        routes->append(route);
        return true;
    }
    // Next hops: rtnexthop headers each followed by their own attributes.
    const char *cursor = static_cast<const char *>(RTA_DATA(multipath));
    size_t remaining = RTA_PAYLOAD(multipath);
    bool any = false;
    while (remaining >= sizeof(rtnexthop)) {
        rtnexthop hop;
        std::memcpy(&hop, cursor, sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > remaining)
            break;
        RouteInfo entry = route;
        entry.outputIndex = hop.rtnh_ifindex;
        entry.gateway.clear();
        walkAttributes(cursor + RTNH_ALIGN(sizeof(rtnexthop)), int(hop.rtnh_len - RTNH_ALIGN(sizeof(rtnexthop))),
                       [&](const rtattr *attribute) {
                           if (attribute->rta_type == RTA_GATEWAY)
                               entry.gateway = attributeAddress(route.family, attribute);
                       });
        routes->append(entry);
        any = true;
        const size_t step = RTNH_ALIGN(hop.rtnh_len);
        if (step >= remaining)
            break;
        cursor += step;
        remaining -= step;
    }
    if (!any)
        routes->append(route);
    return true;
}

int forEachMessage(const QByteArray &buffer, const std::function<bool(const nlmsghdr *)> &visitor)
{
    // Netlink headers need 4-byte alignment: copy into words.
    std::vector<uint32_t> words((size_t(buffer.size()) + 3) / 4);
    if (!buffer.isEmpty())
        std::memcpy(words.data(), buffer.constData(), size_t(buffer.size()));
    return walkMessages(words.data(), int(buffer.size()), visitor);
}

// --- Sockets -------------------------------------------------------------------

kv::UniqueFd openNetlinkSocket(int protocol, int type, const NetlinkSocketOptions &options, uint32_t *portId,
                               QString *error)
{
    // errno is taken before any text is made, which could change it.
    const auto fail = [error](const char *step) {
        const int code = errno;
        *error = QStringLiteral("%1: %2").arg(QLatin1String(step), kv::errnoText(code));
        return kv::UniqueFd();
    };
    kv::UniqueFd fd(::socket(AF_NETLINK, type | SOCK_CLOEXEC, protocol));
    if (!fd.isValid())
        return fail("cannot open a netlink socket");
    // Before binding, so that nothing arrives under other settings.
    if (options.receiveBuffer > 0)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    if (options.receiveTimeoutSeconds > 0) {
        timeval timeout = {};
        timeout.tv_sec = options.receiveTimeoutSeconds;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = options.bindGroups;
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        return fail("cannot bind a netlink socket");
    if (portId) {
        socklen_t length = sizeof local;
        if (::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&local), &length) < 0)
            return fail("cannot name a netlink socket");
        *portId = local.nl_pid;
    }
    for (int group : options.groups) {
        if (::setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) < 0) {
            const int code = errno;
            *error = QStringLiteral("cannot subscribe to %1: %2").arg(options.groupsPurpose, kv::errnoText(code));
            return kv::UniqueFd();
        }
    }
    return fd;
}

// --- Dump socket ---------------------------------------------------------------

bool RouteNetlinkSocket::open(QString *error)
{
    NetlinkSocketOptions options;
    // A dump never waits long for the kernel; do not hang if it stays silent.
    options.receiveTimeoutSeconds = 2;
    options.receiveBuffer = 1 << 20;
    kv::UniqueFd fd = openNetlinkSocket(NETLINK_ROUTE, SOCK_RAW, options, &m_portId, error);
    if (!fd.isValid())
        return false;
    m_fd = std::move(fd);
    return true;
}

DumpResult RouteNetlinkSocket::dump(uint16_t type, uint8_t family, const std::function<void(const nlmsghdr *)> &visitor,
                                    QString *error)
{
    if (!m_fd.isValid()) {
        *error = QStringLiteral("netlink socket is not open");
        return DumpResult::Failed;
    }
    struct
    {
        nlmsghdr header;
        union
        {
            ifinfomsg link;
            ifaddrmsg address;
            rtmsg route;
        } body;
    } request;
    std::memset(&request, 0, sizeof request);
    size_t bodySize = sizeof(rtgenmsg);
    switch (type) {
    case RTM_GETLINK:
        request.body.link.ifi_family = family;
        bodySize = sizeof(ifinfomsg);
        break;
    case RTM_GETADDR:
        request.body.address.ifa_family = family;
        bodySize = sizeof(ifaddrmsg);
        break;
    case RTM_GETROUTE:
        request.body.route.rtm_family = family;
        bodySize = sizeof(rtmsg);
        break;
    default: *error = QStringLiteral("unknown dump request"); return DumpResult::Failed;
    }
    const uint32_t sequence = ++m_sequence;
    request.header.nlmsg_len = NLMSG_LENGTH(bodySize);
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel),
                 sizeof kernel)
        < 0) {
        *error = QStringLiteral("netlink request failed: %1").arg(kv::errnoText());
        return DumpResult::Failed;
    }

    bool interrupted = false;
    std::vector<uint32_t> buffer(16384); // 64 KiB, grown when a datagram is larger
    for (;;) {
        sockaddr_nl sender = {};
        iovec vector = {buffer.data(), buffer.size() * sizeof(uint32_t)};
        msghdr header = {};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        // Peek first to learn the datagram's size.
        ssize_t size = ::recvmsg(m_fd.get(), &header, MSG_PEEK | MSG_TRUNC);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            *error = QStringLiteral("netlink receive failed: %1").arg(kv::errnoText());
            return DumpResult::Failed;
        }
        if (size_t(size) > vector.iov_len) {
            buffer.resize((size_t(size) + 3) / 4);
            continue;
        }
        header.msg_namelen = sizeof sender;
        size = ::recvmsg(m_fd.get(), &header, 0);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            *error = QStringLiteral("netlink receive failed: %1").arg(kv::errnoText());
            return DumpResult::Failed;
        }
        if (header.msg_namelen != sizeof sender || sender.nl_pid != 0)
            continue; // only the kernel answers dumps
        std::optional<DumpResult> end;
        walkMessages(buffer.data(), int(size), [&](const nlmsghdr *message) {
            if (message->nlmsg_seq != sequence || message->nlmsg_pid != m_portId)
                return true; // a reply to an earlier request
            if (message->nlmsg_flags & NLM_F_DUMP_INTR)
                interrupted = true;
            if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) {
                end = dumpEnd(message, interrupted, error);
                return false;
            }
            visitor(message);
            return true;
        });
        if (end)
            return *end;
    }
}

bool RouteNetlinkSocket::readSnapshot(NetworkSnapshot *snapshot, QString *error)
{
    constexpr int attempts = 5;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        NetworkSnapshot fresh;
        bool interrupted = false;
        const auto run = [&](uint16_t type, uint8_t family, const std::function<void(const nlmsghdr *)> &visitor) {
            const DumpResult result = dump(type, family, visitor, error);
            if (result == DumpResult::Interrupted)
                interrupted = true;
            return result != DumpResult::Failed;
        };
        const bool ok =
            run(RTM_GETLINK, AF_UNSPEC,
                [&](const nlmsghdr *message) {
                    LinkInfo link;
                    if (parseLinkMessage(message, &link))
                        fresh.links.append(link);
                })
            && run(RTM_GETADDR, AF_UNSPEC,
                   [&](const nlmsghdr *message) {
                       AddressInfo address;
                       if (parseAddressMessage(message, &address))
                           fresh.addresses.append(address);
                   })
            && run(RTM_GETROUTE, AF_INET, [&](const nlmsghdr *message) { parseRouteMessage(message, &fresh.routes); })
            && run(RTM_GETROUTE, AF_INET6, [&](const nlmsghdr *message) { parseRouteMessage(message, &fresh.routes); });
        if (!ok)
            return false;
        *snapshot = std::move(fresh);
        if (!interrupted)
            return true;
    }
    // Still changing after several attempts: keep the last reading; the
    // change that interrupted it also reaches the subscription socket, which
    // brings another reading.
    return true;
}

// --- Subscription socket -------------------------------------------------------

bool RouteSubscriptionSocket::open(int receiveBuffer, QString *error)
{
    NetlinkSocketOptions options;
    options.receiveBuffer = receiveBuffer;
    options.groups = {RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR, RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV6_ROUTE};
    options.groupsPurpose = QStringLiteral("network changes");
    kv::UniqueFd fd = openNetlinkSocket(NETLINK_ROUTE, SOCK_RAW | SOCK_NONBLOCK, options, nullptr, error);
    if (!fd.isValid())
        return false;
    m_fd = std::move(fd);
    m_buffer.assign(16384, 0); // 64 KiB
    return true;
}

RouteSubscriptionSocket::DrainResult RouteSubscriptionSocket::drain()
{
    DrainResult result;
    if (!m_fd.isValid()) {
        result.failed = true;
        return result;
    }
    for (;;) {
        sockaddr_nl sender = {};
        socklen_t senderLength = sizeof sender;
        const size_t capacity = m_buffer.size() * sizeof(uint32_t);
        const ssize_t size = ::recvfrom(m_fd.get(), m_buffer.data(), capacity, MSG_TRUNC,
                                        reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return result;
            if (errno == ENOBUFS) {
                result.overflow = true;
                continue;
            }
            result.failed = true;
            return result;
        }
        if (senderLength != sizeof sender || sender.nl_pid != 0)
            continue; // not from the kernel
        if (size_t(size) > capacity) {
            // Truncated: the content does not matter, only that a change came.
            ++result.messages;
            continue;
        }
        result.messages += qMax(1, walkMessages(m_buffer.data(), int(size), [](const nlmsghdr *) { return true; }));
    }
}

// --- Names -------------------------------------------------------------------------

QString linkTypeName(unsigned short type)
{
    switch (type) {
    case ARPHRD_ETHER: return QStringLiteral("ether");
    case ARPHRD_LOOPBACK: return QStringLiteral("loopback");
    case ARPHRD_NONE: return QStringLiteral("none");
    case ARPHRD_VOID: return QStringLiteral("void");
    case ARPHRD_PPP: return QStringLiteral("ppp");
    case ARPHRD_TUNNEL: return QStringLiteral("ipip");
    case ARPHRD_TUNNEL6: return QStringLiteral("tunnel6");
    case ARPHRD_SIT: return QStringLiteral("sit");
    case ARPHRD_IPGRE: return QStringLiteral("gre");
    case ARPHRD_IP6GRE: return QStringLiteral("gre6");
    case ARPHRD_INFINIBAND: return QStringLiteral("infiniband");
    case ARPHRD_IEEE80211: return QStringLiteral("ieee802.11");
    case ARPHRD_IEEE80211_RADIOTAP: return QStringLiteral("ieee802.11/radiotap");
    case ARPHRD_CAN: return QStringLiteral("can");
    case ARPHRD_RAWIP: return QStringLiteral("rawip");
    case ARPHRD_NETLINK: return QStringLiteral("netlink");
    case ARPHRD_IEEE802154: return QStringLiteral("ieee802.15.4");
    default: return QStringLiteral("arphrd%1").arg(type);
    }
}

QString operStateName(int state)
{
    switch (state) {
    case IF_OPER_NOTPRESENT: return QStringLiteral("notpresent");
    case IF_OPER_DOWN: return QStringLiteral("down");
    case IF_OPER_LOWERLAYERDOWN: return QStringLiteral("lowerlayerdown");
    case IF_OPER_TESTING: return QStringLiteral("testing");
    case IF_OPER_DORMANT: return QStringLiteral("dormant");
    case IF_OPER_UP: return QStringLiteral("up");
    default: return QStringLiteral("unknown");
    }
}

QStringList linkFlagNames(unsigned flags)
{
    static const struct
    {
        unsigned flag;
        const char *name;
    } names[] = {
        {IFF_UP, "UP"},
        {IFF_BROADCAST, "BROADCAST"},
        {IFF_DEBUG, "DEBUG"},
        {IFF_LOOPBACK, "LOOPBACK"},
        {IFF_POINTOPOINT, "POINTOPOINT"},
        {IFF_NOTRAILERS, "NOTRAILERS"},
        {IFF_RUNNING, "RUNNING"},
        {IFF_NOARP, "NOARP"},
        {IFF_PROMISC, "PROMISC"},
        {IFF_ALLMULTI, "ALLMULTI"},
        {IFF_MASTER, "MASTER"},
        {IFF_SLAVE, "SLAVE"},
        {IFF_MULTICAST, "MULTICAST"},
        {IFF_PORTSEL, "PORTSEL"},
        {IFF_AUTOMEDIA, "AUTOMEDIA"},
        {IFF_DYNAMIC, "DYNAMIC"},
        {IFF_LOWER_UP, "LOWER_UP"},
        {IFF_DORMANT, "DORMANT"},
        {IFF_ECHO, "ECHO"},
    };
    QStringList result;
    for (const auto &entry : names) {
        if (flags & entry.flag)
            result.append(QString::fromLatin1(entry.name));
    }
    return result;
}

QString scopeName(int scope)
{
    switch (scope) {
    case RT_SCOPE_UNIVERSE: return QStringLiteral("global");
    case RT_SCOPE_SITE: return QStringLiteral("site");
    case RT_SCOPE_LINK: return QStringLiteral("link");
    case RT_SCOPE_HOST: return QStringLiteral("host");
    case RT_SCOPE_NOWHERE: return QStringLiteral("nowhere");
    default: return QString::number(scope);
    }
}

QStringList addressFlagNames(uint32_t flags)
{
    static const struct
    {
        uint32_t flag;
        const char *name;
    } names[] = {
        {IFA_F_TEMPORARY, "temporary"},       {IFA_F_NODAD, "nodad"},
        {IFA_F_OPTIMISTIC, "optimistic"},     {IFA_F_DADFAILED, "dadfailed"},
        {IFA_F_HOMEADDRESS, "homeaddress"},   {IFA_F_DEPRECATED, "deprecated"},
        {IFA_F_TENTATIVE, "tentative"},       {IFA_F_PERMANENT, "permanent"},
        {IFA_F_MANAGETEMPADDR, "mngtmpaddr"}, {IFA_F_NOPREFIXROUTE, "noprefixroute"},
        {IFA_F_MCAUTOJOIN, "autojoin"},       {IFA_F_STABLE_PRIVACY, "stable-privacy"},
    };
    QStringList result;
    for (const auto &entry : names) {
        if (flags & entry.flag)
            result.append(QString::fromLatin1(entry.name));
    }
    return result;
}

} // namespace kv::live
