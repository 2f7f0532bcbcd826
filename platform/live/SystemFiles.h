#pragma once

// Readers of the system's files: the resolver configuration and the power
// supplies' sysfs tree; and the value of the host's names.

#include "platform/live/NetworkKeys.h"

#include <QStringList>

namespace kv::live {

// The DNS key and its entries.
inline const QString DnsKey = QStringLiteral("State:/Network/Global/DNS");
inline const QString DnsServerAddressesEntry = QStringLiteral("ServerAddresses");
inline const QString DnsSearchDomainsEntry = QStringLiteral("SearchDomains");
inline const QString DnsDomainNameEntry = QStringLiteral("DomainName");
inline const QString DnsOptionsEntry = QStringLiteral("Options");

// A power supply's key is the prefix and the supply's name; its entries.
inline const QString PowerKeyPrefix = QStringLiteral("State:/Power/");
inline const QString PowerTypeEntry = QStringLiteral("Type");
inline const QString PowerOnlineEntry = QStringLiteral("Online");
inline const QString PowerStatusEntry = QStringLiteral("Status");
inline const QString PowerCapacityEntry = QStringLiteral("Capacity");
inline const QString PowerPresentEntry = QStringLiteral("Present");

// The host's key and its entries.
inline const QString SystemKey = QStringLiteral("Setup:/System");
inline const QString SystemHostNameEntry = QStringLiteral("HostName");
inline const QString SystemDomainNameEntry = QStringLiteral("DomainName");

struct ResolverConfiguration
{
    QStringList servers;
    QStringList searchDomains;
    QString domainName;
    QStringList options;
    bool isEmpty() const { return servers.isEmpty() && searchDomains.isEmpty() && domainName.isEmpty(); }
};

// Parses resolv.conf text. The last "search" or "domain" line decides the
// search list, as the resolver does.
ResolverConfiguration parseResolverConfiguration(const QByteArray &text);

// The DNS key's value; none when the configuration says nothing.
PropertyListValue resolverValue(const ResolverConfiguration &configuration);

// True when the configuration points at a local stub resolver (127.0.0.53,
// 127.0.0.54) only.
bool isStubConfiguration(const ResolverConfiguration &configuration);

// Where to read the DNS configuration from, and what to watch to follow it.
struct ResolverLocation
{
    QString readPath; // the file read ("" when none exists)
    QStringList watchedDirectories;
    QStringList watchedFiles;
};

// Reads the configuration at `path` (following a symlink, which may be
// replaced at any time). When it is systemd-resolved's stub, the upstream
// servers come from `upstreamPath` instead.
ResolverConfiguration readResolverConfiguration(const QString &path, const QString &upstreamPath,
                                                ResolverLocation *location);

// "State:/Power/<name>" for each power supply under `root`
// (/sys/class/power_supply): Type, Online, Status, Capacity, Present.
KeyValues powerSupplyKeys(const QString &root);

// The host key's value from the kernel's host name and NIS domain name (the
// latter left out when empty or "(none)", the kernel's word for unset).
PropertyListValue systemValue(const QString &hostName, const QString &domainName);

} // namespace kv::live
