#pragma once

// Key names and entries of the desktop agents (docs/store-keys.md), and the
// pure conversions they are made with.

#include "platform/plist/PropertyListValue.h"

#include <QStringList>
#include <QVariant>

namespace kv::desktop {

// NetworkManager's services.
inline const QString ServiceSetupPrefix = QStringLiteral("Setup:/Network/Service/");
inline const QString ServiceStatePrefix = QStringLiteral("State:/Network/Service/");
inline const QString SetupGlobalIPv4Key = QStringLiteral("Setup:/Network/Global/IPv4");
inline const QString StateGlobalIPv4Key = QStringLiteral("State:/Network/Global/IPv4");
inline const QString ServiceOrderEntry = QStringLiteral("ServiceOrder");
inline const QString PrimaryServiceEntry = QStringLiteral("PrimaryService");
inline const QString InterfacePrefix = QStringLiteral("State:/Network/Interface/");
// Sessions, time, power, proxies.
inline const QString ConsoleUserKey = QStringLiteral("State:/Users/ConsoleUser");
inline const QString SessionsKey = QStringLiteral("State:/Users/Sessions");
inline const QString TimeKey = QStringLiteral("State:/Time");
inline const QString PowerPrefix = QStringLiteral("State:/Power/");
inline const QString ProxiesKey = QStringLiteral("State:/Network/Global/Proxies");

inline PropertyListValue text(const QString &string)
{
    return PropertyListValue::fromString(string);
}
inline PropertyListValue integer(qint64 value)
{
    return PropertyListValue::fromInteger(value);
}
inline PropertyListValue boolean(bool value)
{
    return PropertyListValue::fromBoolean(value);
}
PropertyListValue dictionary(const PropertyListDictionary &entries);
// Inserts the entry when the string is not empty.
void insertText(PropertyListDictionary *entries, const QString &name, const QString &value);

// A D-Bus value (as QtDBus hands it over: variants, arguments, object paths)
// as plain QVariant maps, lists, strings, numbers and byte arrays.
QVariant plainValue(const QVariant &value);

// An IPv4 address held in a 32-bit integer in network byte order, and an
// IPv6 address in 16 bytes, as text ("" when malformed).
QString ipv4FromNetworkOrder(quint32 address);
QString ipv6FromBytes(const QByteArray &bytes);

// A Wi-Fi access point's security from NetworkManager's AP flags:
// "None", "WEP", "WPA-Personal", "WPA-Enterprise", "WPA2-Personal",
// "WPA2-Enterprise", "WPA3-Personal", "OWE".
QString wifiSecurity(uint flags, uint wpaFlags, uint rsnFlags);
// NetworkManager's signal strength (percent) as an estimated level in dBm.
int signalLevelFromPercent(int percent);

// UPower's device type and state in the words of the power keys.
QString powerTypeName(uint type);
QString powerStatusName(uint state);

// The DNS servers and domains of systemd-resolved's link state file text
// (SERVERS= and DOMAINS= lines); none when it has neither.
PropertyListValue resolvedLinkStateValue(const QByteArray &text);

} // namespace kv::desktop
