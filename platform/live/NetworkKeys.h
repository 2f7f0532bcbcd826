#pragma once

// Turns a reading of the network state into store keys and values (the
// layout is described in docs/store-keys.md).

#include "platform/live/Netlink.h"
#include "platform/plist/PropertyListValue.h"

#include <QMap>

namespace kv::live {

using KeyValues = QMap<QString, PropertyListValue>;

// Every network key: the interface list, each interface's Link, IPv4 and
// IPv6 keys, the primary interface per family and the route lists.
KeyValues networkKeys(const NetworkSnapshot &snapshot);

// Reads interfaces and addresses with getifaddrs (used when netlink is not
// available; no routes, no MTU, no operational state).
bool readSnapshotFallback(NetworkSnapshot *snapshot, QString *error);

} // namespace kv::live
