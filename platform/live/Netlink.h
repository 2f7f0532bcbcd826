#pragma once

// Reading the network state of the caller's network namespace over rtnetlink:
// the set-up of netlink sockets, bounds-checked parsing of link, address and
// route messages, full dumps, and the subscription socket used as a change
// signal.

#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

struct nlmsghdr;

namespace kv::live {

struct LinkInfo
{
    int index = 0;
    QString name;
    unsigned flags = 0;      // IFF_* as reported in ifi_flags
    unsigned short type = 0; // ARPHRD_*
    int mtu = -1;            // -1 when not reported
    int operState = -1;      // IF_OPER_*, -1 when not reported
    QByteArray hardwareAddress;
};

struct AddressInfo
{
    int family = 0; // AF_INET / AF_INET6
    int index = 0;  // interface index
    int prefixLength = 0;
    int scope = 0;       // RT_SCOPE_*
    uint32_t flags = 0;  // IFA_F_*, from IFA_FLAGS when present
    QString address;     // the interface's own address
    QString broadcast;   // IPv4 broadcast address, when reported
    QString destination; // peer of a point-to-point address, when reported
    QString label;
};

struct RouteInfo
{
    int family = 0;
    uint32_t table = 0;
    int type = 0;     // RTN_*
    int protocol = 0; // RTPROT_*
    int scope = 0;
    unsigned routeFlags = 0; // rtm_flags
    int destinationLength = 0;
    QString destination; // address without length; empty for the default route
    QString gateway;
    QString preferredSource;
    int outputIndex = 0;
    uint32_t metric = 0;
};

struct NetworkSnapshot
{
    QList<LinkInfo> links;
    QList<AddressInfo> addresses;
    QList<RouteInfo> routes;
};

// Text form of a raw address of the given family ("" when the length does not
// fit the family).
QString addressToString(int family, const void *data, size_t length);
// "aa:bb:cc:dd:ee:ff" style text of a hardware address.
QString hardwareAddressToString(const QByteArray &address);

// Parsers of one message each. They check every length against the message's
// own length and return false when the message is malformed or of another type.
bool parseLinkMessage(const nlmsghdr *message, LinkInfo *link);
bool parseAddressMessage(const nlmsghdr *message, AddressInfo *address);
// A multipath route yields one entry per next hop.
bool parseRouteMessage(const nlmsghdr *message, QList<RouteInfo> *routes);

// Walks the netlink messages in a received buffer, handing each well-formed
// one to the visitor (which returns false to stop). Returns the number of
// messages visited.
int forEachMessage(const QByteArray &buffer, const std::function<bool(const nlmsghdr *)> &visitor);

// What differs between the netlink sockets this source opens. Every socket is
// close-on-exec and bound to a port the kernel picks.
struct NetlinkSocketOptions
{
    int receiveBuffer = 0;         // SO_RCVBUF when > 0, set before binding (best effort)
    int receiveTimeoutSeconds = 0; // SO_RCVTIMEO when > 0 (best effort)
    uint32_t bindGroups = 0;       // the group mask of the bind address
    QList<int> groups;             // groups joined with NETLINK_ADD_MEMBERSHIP once bound
    QString groupsPurpose;         // what the groups bring, for the error text ("network changes")
};

// Opens a netlink socket of the protocol; `type` is SOCK_RAW or SOCK_DGRAM,
// with flags such as SOCK_NONBLOCK. When `portId` is given it receives the
// bound port, which the kernel's replies to this socket's requests carry.
// None with a one-line *error naming the step that failed.
kv::UniqueFd openNetlinkSocket(int protocol, int type, const NetlinkSocketOptions &options, uint32_t *portId,
                               QString *error);

// Result of a dump.
enum class DumpResult { Ok, Interrupted, Failed };

// A NETLINK_ROUTE socket for request/response dumps.
class RouteNetlinkSocket
{
public:
    // Opens the socket; false with *error when netlink is unavailable.
    bool open(QString *error);
    bool isOpen() const { return m_fd.isValid(); }

    // Sends a dump request and hands each reply message (sent by the kernel)
    // to the visitor. Interrupted when any part of the dump carried
    // NLM_F_DUMP_INTR (the data changed while it was being read).
    DumpResult dump(uint16_t type, uint8_t family, const std::function<void(const nlmsghdr *)> &visitor,
                    QString *error);

    // Reads links, addresses and routes, retrying interrupted dumps a few
    // times. False with *error when the socket fails.
    bool readSnapshot(NetworkSnapshot *snapshot, QString *error);

    int fd() const { return m_fd.get(); }

private:
    kv::UniqueFd m_fd;
    uint32_t m_sequence = 0;
    uint32_t m_portId = 0;
};

// A non-blocking NETLINK_ROUTE socket subscribed to link, address and route
// changes. Its messages serve only as a signal that something changed.
class RouteSubscriptionSocket
{
public:
    // receiveBuffer > 0 sets SO_RCVBUF (tests use a tiny one to force overflow).
    bool open(int receiveBuffer, QString *error);
    bool isOpen() const { return m_fd.isValid(); }
    int fd() const { return m_fd.get(); }

    struct DrainResult
    {
        int messages = 0;      // messages from the kernel
        bool overflow = false; // ENOBUFS: messages were lost
        bool failed = false;   // another receive error
    };
    // Reads everything queued without blocking.
    DrainResult drain();

private:
    kv::UniqueFd m_fd;
    std::vector<uint32_t> m_buffer; // words: netlink headers need 4-byte alignment
};

// Names used in published values.
QString linkTypeName(unsigned short type);
QString operStateName(int state);
QStringList linkFlagNames(unsigned flags);
QString scopeName(int scope);
QStringList addressFlagNames(uint32_t flags);

} // namespace kv::live
