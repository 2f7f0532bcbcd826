#pragma once

// The desktop's agents on the system bus -- NetworkManager, systemd-logind,
// systemd-timedated, UPower, systemd-resolved -- and the session's proxy
// settings (the environment, then GNOME's), turned into store keys (described in docs/store-keys.md).
// Each agent is optional: while its service is not on the bus it has no
// keys. A service that comes back is read afresh; one that goes takes its
// keys with it.

#include "platform/plist/PropertyListValue.h"

#include <QProcessEnvironment>
#include <QString>

#include <functional>
#include <memory>

namespace kv::desktop {

using KeyValues = PropertyListDictionary;

struct DesktopOptions
{
    bool enabled = true;
    // The bus the agents are found on; empty for the system bus.
    QString busAddress;
    // systemd-resolved's per-link state files, read while resolved is not
    // on the bus (empty leaves them out).
    QString resolvedLinkStatePath = QStringLiteral("/run/systemd/resolve/netif");
    // The session environment the proxy settings come from.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The gsettings command GNOME's proxy settings are read and followed
    // with, found on PATH unless it holds a '/' (empty leaves them out).
    QString gsettingsProgram = QStringLiteral("gsettings");
    // Wait after a change signal before reading, so bursts make one reading.
    int settleMilliseconds = 20;
    // Wait after a service appears on the bus before reading it.
    int appearanceMilliseconds = 100;
    // Signal strength changes are taken at most this often.
    int signalStrengthMilliseconds = 10000;
    // Limit of each call made to a service.
    int callTimeoutMilliseconds = 2000;
};

// The agents. Each publishes its own set of keys through the sink, which is
// given the agent's name and its fresh keys (all of them) after each reading.
class DesktopAgents
{
public:
    using Sink = std::function<void(const QString &agent, const KeyValues &fresh)>;

    DesktopAgents(const DesktopOptions &options, Sink sink);
    ~DesktopAgents();
    DesktopAgents(const DesktopAgents &) = delete;
    DesktopAgents &operator=(const DesktopAgents &) = delete;

    // Reads every agent whose service is present, synchronously; logs one
    // line for each one that is not.
    void start();

    // The agents' names, in the order they publish at start.
    QStringList agentNames() const;
    // Readings taken so far (for tests and diagnostics).
    int readings() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The proxy key from the environment's http_proxy, https_proxy, ftp_proxy,
// all_proxy and no_proxy (lower case wins over upper case), and GNOME's
// entries (readGnomeProxy()): the environment's proxies win, GNOME's fill in
// those it lacks, and the exceptions of both are merged. None when neither
// sets a proxy.
KeyValues proxyKeys(const QProcessEnvironment &environment, const PropertyListDictionary &gnome = {});

} // namespace kv::desktop
