#pragma once

// Wi-Fi state straight from the kernel's nl80211 over generic netlink:
// bounds-checked parsing of the replies and events it sends, the requests
// sent to it, and a reader that follows associations and the signal of every
// station-mode interface and publishes State:/Network/Interface/<name>/WiFi.

#include "platform/live/NetworkKeys.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

struct nlmsghdr;

namespace kv::live {

// A generic netlink family as the controller describes it.
struct GenericFamily
{
    uint16_t id = 0;
    QString name;
    QMap<QString, uint32_t> groups; // multicast groups by name
};

// A wireless interface (NL80211_CMD_NEW_INTERFACE).
struct WifiInterface
{
    int index = 0;
    QString name;
    uint32_t type = 0; // NL80211_IFTYPE_*
    QByteArray ssid;   // while associated
    uint32_t frequency = 0;
};

// The station a station-mode interface is associated with: the access point.
struct WifiStation
{
    int index = 0;
    QByteArray address;              // the BSSID
    std::optional<int> signal;       // dBm
    std::optional<uint32_t> bitrate; // transmit rate, in 100 kbit/s
};

// A scan result (NL80211_CMD_NEW_SCAN_RESULTS).
struct WifiBss
{
    int index = 0;
    QByteArray bssid;
    uint32_t frequency = 0;
    int status = -1; // NL80211_BSS_STATUS_*, -1 when not reported
    std::optional<uint16_t> capability;
    QByteArray elements; // information elements
};

// Parsers of one message each. They check every length against the message's
// own length and return false when the message is malformed, of another
// family or of another command. Unknown attributes are skipped.
bool parseFamilyMessage(const nlmsghdr *message, GenericFamily *family);
bool parseInterfaceMessage(const nlmsghdr *message, uint16_t familyId, WifiInterface *interface);
bool parseStationMessage(const nlmsghdr *message, uint16_t familyId, WifiStation *station);
bool parseBssMessage(const nlmsghdr *message, uint16_t familyId, WifiBss *bss);
// The command of a message of the family, or -1.
int genericCommand(const nlmsghdr *message, uint16_t familyId);

// The SSID information element (empty when absent or malformed).
QByteArray ssidFromElements(const QByteArray &elements);
// The security the elements and the capability's privacy bit announce, in
// the words of the WiFi key ("WPA2-Personal", ...).
QString securityFromElements(const QByteArray &elements, bool privacy);

// Requests: the controller's description of a family by name, and an nl80211
// command (a dump when `dump`) for one interface (none when ifindex is 0).
QByteArray familyRequest(uint32_t sequence, const QString &name);
QByteArray commandRequest(uint16_t familyId, uint8_t command, bool dump, uint32_t sequence, int ifindex);

// The WiFi keys of the associated station-mode interfaces.
KeyValues wifiKeys(const QMap<int, WifiInterface> &interfaces, const QMap<int, WifiStation> &stations,
                   const QMap<int, WifiBss> &bsses);

struct WifiReaderOptions
{
    QString familyName = QStringLiteral("nl80211");
    // Re-reading of the signal and bit rate while an interface is associated.
    int pollMilliseconds = 10000;
    // A request the kernel leaves unanswered this long is given up: the
    // reading starts over (or, for the family, nl80211 counts as absent).
    int replyTimeoutMilliseconds = 5000;
    int receiveBuffer = 0; // SO_RCVBUF when > 0
};

// Resolves the family, dumps the interfaces and, for each station-mode one,
// asks its station and the associated BSS; joins the "mlme" group and reads
// again on association events; polls the station while associated. One
// request is outstanding at a time.
class WifiReader
{
public:
    using Publish = std::function<void(const KeyValues &)>;
    using Send = std::function<bool(const QByteArray &)>;
    using Join = std::function<bool(uint32_t group)>;
    using Unavailable = std::function<void(const QString &reason)>;

    // `unavailable` is called once when nl80211 turns out not to be usable.
    WifiReader(const WifiReaderOptions &options, Publish publish, Unavailable unavailable);
    ~WifiReader();
    WifiReader(const WifiReader &) = delete;
    WifiReader &operator=(const WifiReader &) = delete;

    // Opens a non-blocking generic netlink socket and asks for the family.
    // False with *error when the socket is refused.
    bool open(QString *error);
    // Waits up to `milliseconds` for the first reading to be published (or
    // for nl80211 to turn out absent), so that it joins the others taken at
    // start. True when it came.
    bool waitForFirstReading(int milliseconds);
    // The same over a given transport (the datagrams it brings go to receive()).
    void start(Send send, Join join);
    // Datagrams from the kernel.
    void receive(const QByteArray &datagram);

    // Reads everything again (after the current reading, if one runs).
    void refresh();
    // Re-reads the stations of the associated interfaces.
    void poll();

    // The reason nl80211 is not usable ("" while it is or may be).
    QString failure() const;
    bool resolved() const; // the family is known
    bool polling() const;  // the signal poll runs
    int readings() const;  // completed readings
    int fd() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace kv::live
