#pragma once

// Readers of the system's files: the resolver configuration and the power
// supplies' sysfs tree.

#include "platform/live/NetworkKeys.h"

#include <QStringList>

namespace kv::live {

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

} // namespace kv::live
