#pragma once

// Turns a reading of the network state into store keys and values (the
// layout is described in docs/store-keys.md).

#include "platform/live/Netlink.h"
#include "platform/plist/PropertyListValue.h"

#include <QMap>

namespace kv::live {

using KeyValues = QMap<QString, PropertyListValue>;

// The network keys.
inline const QString InterfaceListKey = QStringLiteral("State:/Network/Interface");
inline const QString GlobalIPv4Key = QStringLiteral("State:/Network/Global/IPv4");
inline const QString GlobalIPv6Key = QStringLiteral("State:/Network/Global/IPv6");
inline const QString RoutesIPv4Key = QStringLiteral("State:/Network/Global/Routes/IPv4");
inline const QString RoutesIPv6Key = QStringLiteral("State:/Network/Global/Routes/IPv6");
// "State:/Network/Interface/<name>/Link", ".../IPv4" and ".../IPv6".
QString interfaceLinkKey(const QString &interface);
QString interfaceIPv4Key(const QString &interface);
QString interfaceIPv6Key(const QString &interface);

// Entry of the interface list.
inline const QString InterfacesEntry = QStringLiteral("Interfaces");
// Entries of an interface's Link value.
inline const QString LinkIndexEntry = QStringLiteral("Index");
inline const QString LinkActiveEntry = QStringLiteral("Active");
inline const QString LinkRunningEntry = QStringLiteral("Running");
inline const QString LinkOperationalStateEntry = QStringLiteral("OperationalState");
inline const QString LinkMtuEntry = QStringLiteral("MTU");
inline const QString LinkHardwareAddressEntry = QStringLiteral("HardwareAddress");
inline const QString LinkTypeEntry = QStringLiteral("Type");
inline const QString LinkFlagsEntry = QStringLiteral("Flags");
// Entries of an interface's IPv4 and IPv6 values: parallel arrays, one
// element per address (Scopes and Flags for IPv6 only).
inline const QString AddressesEntry = QStringLiteral("Addresses");
inline const QString PrefixLengthsEntry = QStringLiteral("PrefixLengths");
inline const QString BroadcastAddressesEntry = QStringLiteral("BroadcastAddresses");
inline const QString DestAddressesEntry = QStringLiteral("DestAddresses");
inline const QString ScopesEntry = QStringLiteral("Scopes");
inline const QString AddressFlagsEntry = QStringLiteral("Flags");
// Entries of each route of a Routes value.
inline const QString RouteDestinationEntry = QStringLiteral("Destination");
inline const QString RouteGatewayEntry = QStringLiteral("Gateway");
inline const QString RouteInterfaceEntry = QStringLiteral("Interface");
inline const QString RouteMetricEntry = QStringLiteral("Metric");
inline const QString RouteSourceEntry = QStringLiteral("Source");
// Entries of a family's Global value.
inline const QString PrimaryInterfaceEntry = QStringLiteral("PrimaryInterface");
inline const QString RouterEntry = QStringLiteral("Router");

// Every network key: the interface list, each interface's Link, IPv4 and
// IPv6 keys, the primary interface per family and the route lists.
KeyValues networkKeys(const NetworkSnapshot &snapshot);

// Reads interfaces and addresses with getifaddrs (used when netlink is not
// available; no routes, no MTU, no operational state).
bool readSnapshotFallback(NetworkSnapshot *snapshot, QString *error);

} // namespace kv::live
