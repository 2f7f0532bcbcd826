#pragma once

// The default source of the store: this machine's live state (host name,
// network interfaces and addresses, primary interface and router, Wi-Fi
// association from the kernel's nl80211, DNS, power supplies, and what the
// desktop's agents publish on the system bus),
// followed as it changes. The keys are described in
// docs/store-keys.md.

#include "platform/desktop/DesktopAgents.h"
#include "platform/dynamicstore/DynamicStore.h"

#include <QString>

#include <memory>

namespace kv {

struct LiveSystemOptions
{
    // The resolver configuration (followed through symlinks that get
    // replaced) and systemd-resolved's list of upstream servers, read when
    // the former is the local stub.
    QString resolverConfigurationPath = QStringLiteral("/etc/resolv.conf");
    QString resolverUpstreamPath = QStringLiteral("/run/systemd/resolve/resolv.conf");
    // The power supplies' sysfs folder. An empty path leaves DNS or power out.
    QString powerSupplyRoot = QStringLiteral("/sys/class/power_supply");
    // The files whose poll() priority events announce name changes.
    QString hostNameEventPath = QStringLiteral("/proc/sys/kernel/hostname");
    QString domainNameEventPath = QStringLiteral("/proc/sys/kernel/domainname");
    // Read the network with getifaddrs instead of netlink (as when netlink
    // cannot be opened).
    bool useNetlink = true;
    // Read the Wi-Fi interfaces' association, signal and bit rate from the
    // kernel's nl80211 (the generic netlink family of that name).
    bool useNl80211 = true;
    QString nl80211FamilyName = QStringLiteral("nl80211");
    // Re-reading of the signal while a Wi-Fi interface is associated.
    int wifiSignalPollMilliseconds = 10000;
    // SO_RCVBUF of the change subscription socket; 0 keeps the default.
    int subscriptionReceiveBuffer = 0;
    // Wait after a change signal before reading, so bursts make one reading.
    int settleMilliseconds = 75;
    // Re-reading of the power supplies (some drivers send no capacity events).
    int powerRefreshMilliseconds = 60000;
    // The desktop's agents on the system bus and the session's proxies. Their
    // keys are merged with the ones above: where both publish a dictionary
    // under one key, the entries read here are kept and theirs are added.
    desktop::DesktopOptions desktop;
};

class LiveSystemSource : public StoreSource
{
public:
    explicit LiveSystemSource(const LiveSystemOptions &options = LiveSystemOptions());
    ~LiveSystemSource() override;

    bool start(StoreEngine &engine, QString *error) override;

    // Take a fresh reading now and publish what differs (normally done after
    // change signals and by timers).
    void refreshNetwork();
    void refreshDns();
    void refreshPower();
    void refreshHostName();

    // Counters for tests and diagnostics.
    int networkReadings() const;
    int overflows() const;
    int nameEvents() const;      // host or domain name change events received
    bool usesNetlink() const;    // false after falling back to getifaddrs
    bool usesNl80211() const;    // the nl80211 family was found and answers
    int desktopReadings() const; // readings of the desktop's agents

private:
    struct Private;
    std::unique_ptr<Private> d;
};

std::unique_ptr<StoreSource> createLiveSystemSource();
std::unique_ptr<StoreSource> createLiveSystemSource(const LiveSystemOptions &options);

} // namespace kv
