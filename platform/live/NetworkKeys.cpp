#include "platform/live/NetworkKeys.h"

#include "platform/ErrnoText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h> // before linux/if.h, which then leaves out what libc defines

#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>

#include <algorithm>
#include <bit>
#include <memory>

namespace kv::live {

namespace {

QString interfaceKey(const QString &interface, const QString &kind)
{
    return InterfaceListKey + QLatin1Char('/') + interface + QLatin1Char('/') + kind;
}

PropertyListValue linkValue(const LinkInfo &link)
{
    PropertyListDictionary dictionary;
    dictionary.insert(LinkIndexEntry, PropertyListValue::fromInteger(link.index));
    dictionary.insert(LinkActiveEntry, PropertyListValue::fromBoolean(link.flags & IFF_UP));
    dictionary.insert(LinkRunningEntry, PropertyListValue::fromBoolean((link.flags & unsigned(IFF_RUNNING))
                                                                       || (link.flags & unsigned(IFF_LOWER_UP))));
    dictionary.insert(LinkOperationalStateEntry, PropertyListValue::fromString(operStateName(link.operState)));
    if (link.mtu >= 0)
        dictionary.insert(LinkMtuEntry, PropertyListValue::fromInteger(link.mtu));
    if (!link.hardwareAddress.isEmpty() && link.type != ARPHRD_NONE)
        dictionary.insert(LinkHardwareAddressEntry,
                          PropertyListValue::fromString(hardwareAddressToString(link.hardwareAddress)));
    dictionary.insert(LinkTypeEntry, PropertyListValue::fromString(linkTypeName(link.type)));
    dictionary.insert(LinkFlagsEntry, stringArray(linkFlagNames(link.flags)));
    return PropertyListValue::fromDictionary(std::move(dictionary));
}

// Parallel arrays, one entry per address in the kernel's order. The optional
// arrays appear when at least one address has such a value; the others hold
// "" there.
PropertyListValue addressesValue(const QList<const AddressInfo *> &addresses, bool ipv6)
{
    PropertyListArray list;
    PropertyListArray prefixes;
    PropertyListArray broadcasts;
    PropertyListArray destinations;
    PropertyListArray scopes;
    PropertyListArray flags;
    bool anyBroadcast = false;
    bool anyDestination = false;
    for (const AddressInfo *address : addresses) {
        list.append(PropertyListValue::fromString(address->address));
        prefixes.append(PropertyListValue::fromInteger(address->prefixLength));
        broadcasts.append(PropertyListValue::fromString(address->broadcast));
        destinations.append(PropertyListValue::fromString(address->destination));
        anyBroadcast |= !address->broadcast.isEmpty();
        anyDestination |= !address->destination.isEmpty();
        if (ipv6) {
            scopes.append(PropertyListValue::fromString(scopeName(address->scope)));
            flags.append(stringArray(addressFlagNames(address->flags)));
        }
    }
    PropertyListDictionary dictionary;
    dictionary.insert(AddressesEntry, PropertyListValue::fromArray(std::move(list)));
    dictionary.insert(PrefixLengthsEntry, PropertyListValue::fromArray(std::move(prefixes)));
    if (anyBroadcast && !ipv6)
        dictionary.insert(BroadcastAddressesEntry, PropertyListValue::fromArray(std::move(broadcasts)));
    if (anyDestination)
        dictionary.insert(DestAddressesEntry, PropertyListValue::fromArray(std::move(destinations)));
    if (ipv6) {
        dictionary.insert(ScopesEntry, PropertyListValue::fromArray(std::move(scopes)));
        dictionary.insert(AddressFlagsEntry, PropertyListValue::fromArray(std::move(flags)));
    }
    return PropertyListValue::fromDictionary(std::move(dictionary));
}

bool isShownRoute(const RouteInfo &route)
{
    return route.table == RT_TABLE_MAIN && route.type == RTN_UNICAST && !(route.routeFlags & RTM_F_CLONED);
}

QString routeDestination(const RouteInfo &route)
{
    if (route.destinationLength == 0)
        return QStringLiteral("default");
    QString destination = route.destination;
    if (destination.isEmpty())
        destination = route.family == AF_INET ? QStringLiteral("0.0.0.0") : QStringLiteral("::");
    return destination + QLatin1Char('/') + QString::number(route.destinationLength);
}

} // namespace

QString interfaceLinkKey(const QString &interface)
{
    return interfaceKey(interface, QStringLiteral("Link"));
}

QString interfaceIPv4Key(const QString &interface)
{
    return interfaceKey(interface, QStringLiteral("IPv4"));
}

QString interfaceIPv6Key(const QString &interface)
{
    return interfaceKey(interface, QStringLiteral("IPv6"));
}

KeyValues networkKeys(const NetworkSnapshot &snapshot)
{
    KeyValues keys;
    QMap<int, QString> names;
    QStringList interfaceNames;
    for (const LinkInfo &link : snapshot.links) {
        if (names.contains(link.index))
            continue;
        names.insert(link.index, link.name);
        interfaceNames.append(link.name);
        keys.insert(interfaceLinkKey(link.name), linkValue(link));
    }
    std::sort(interfaceNames.begin(), interfaceNames.end());
    interfaceNames.erase(std::unique(interfaceNames.begin(), interfaceNames.end()), interfaceNames.end());
    PropertyListDictionary list;
    list.insert(InterfacesEntry, stringArray(interfaceNames));
    keys.insert(InterfaceListKey, PropertyListValue::fromDictionary(std::move(list)));

    // Addresses per interface and family, in the kernel's order.
    QMap<int, QList<const AddressInfo *>> ipv4;
    QMap<int, QList<const AddressInfo *>> ipv6;
    for (const AddressInfo &address : snapshot.addresses) {
        if (!names.contains(address.index))
            continue;
        (address.family == AF_INET ? ipv4 : ipv6)[address.index].append(&address);
    }
    for (auto it = ipv4.cbegin(); it != ipv4.cend(); ++it)
        keys.insert(interfaceIPv4Key(names.value(it.key())), addressesValue(it.value(), false));
    for (auto it = ipv6.cbegin(); it != ipv6.cend(); ++it)
        keys.insert(interfaceIPv6Key(names.value(it.key())), addressesValue(it.value(), true));

    // Routes and the primary interface of each family.
    for (int family : {AF_INET, AF_INET6}) {
        const bool isIPv4 = family == AF_INET;
        PropertyListArray routes;
        const RouteInfo *primary = nullptr;
        for (const RouteInfo &route : snapshot.routes) {
            if (route.family != family || !isShownRoute(route))
                continue;
            PropertyListDictionary entry;
            entry.insert(RouteDestinationEntry, PropertyListValue::fromString(routeDestination(route)));
            if (!route.gateway.isEmpty())
                entry.insert(RouteGatewayEntry, PropertyListValue::fromString(route.gateway));
            if (names.contains(route.outputIndex))
                entry.insert(RouteInterfaceEntry, PropertyListValue::fromString(names.value(route.outputIndex)));
            entry.insert(RouteMetricEntry, PropertyListValue::fromInteger(route.metric));
            if (!route.preferredSource.isEmpty())
                entry.insert(RouteSourceEntry, PropertyListValue::fromString(route.preferredSource));
            routes.append(PropertyListValue::fromDictionary(std::move(entry)));
            if (route.destinationLength == 0 && names.contains(route.outputIndex)
                && (!primary || route.metric < primary->metric))
                primary = &route;
        }
        if (!routes.isEmpty())
            keys.insert(isIPv4 ? RoutesIPv4Key : RoutesIPv6Key, PropertyListValue::fromArray(std::move(routes)));
        if (primary) {
            PropertyListDictionary global;
            global.insert(PrimaryInterfaceEntry, PropertyListValue::fromString(names.value(primary->outputIndex)));
            if (!primary->gateway.isEmpty())
                global.insert(RouterEntry, PropertyListValue::fromString(primary->gateway));
            keys.insert(isIPv4 ? GlobalIPv4Key : GlobalIPv6Key, PropertyListValue::fromDictionary(std::move(global)));
        }
    }
    return keys;
}

bool readSnapshotFallback(NetworkSnapshot *snapshot, QString *error)
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) < 0) {
        *error = QStringLiteral("cannot list interfaces: %1").arg(kv::errnoText());
        return false;
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> owner(list, ::freeifaddrs);
    NetworkSnapshot fresh;
    QMap<QString, int> seen;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name)
            continue;
        const QString name = QString::fromUtf8(entry->ifa_name);
        const int index = int(::if_nametoindex(entry->ifa_name));
        if (index <= 0)
            continue;
        if (!seen.contains(name)) {
            seen.insert(name, index);
            LinkInfo link;
            link.index = index;
            link.name = name;
            link.flags = entry->ifa_flags;
            link.type = (entry->ifa_flags & IFF_LOOPBACK) ? ARPHRD_LOOPBACK : ARPHRD_ETHER;
            fresh.links.append(link);
        }
        const sockaddr *address = entry->ifa_addr;
        if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
            continue;
        AddressInfo info;
        info.family = address->sa_family;
        info.index = index;
        if (info.family == AF_INET) {
            const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address);
            info.address = addressToString(AF_INET, &ipv4->sin_addr, 4);
            if (entry->ifa_netmask) {
                const auto *mask = reinterpret_cast<const sockaddr_in *>(entry->ifa_netmask);
                info.prefixLength = std::popcount(uint32_t(mask->sin_addr.s_addr));
            }
            if (entry->ifa_broadaddr && (entry->ifa_flags & IFF_BROADCAST)) {
                const auto *broadcast = reinterpret_cast<const sockaddr_in *>(entry->ifa_broadaddr);
                info.broadcast = addressToString(AF_INET, &broadcast->sin_addr, 4);
            }
            info.scope = (entry->ifa_flags & IFF_LOOPBACK) ? RT_SCOPE_HOST : RT_SCOPE_UNIVERSE;
        } else {
            const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(address);
            info.address = addressToString(AF_INET6, &ipv6->sin6_addr, 16);
            if (entry->ifa_netmask) {
                const auto *mask = reinterpret_cast<const sockaddr_in6 *>(entry->ifa_netmask);
                for (unsigned char byte : mask->sin6_addr.s6_addr)
                    info.prefixLength += std::popcount(byte);
            }
            if (IN6_IS_ADDR_LOOPBACK(&ipv6->sin6_addr))
                info.scope = RT_SCOPE_HOST;
            else if (IN6_IS_ADDR_LINKLOCAL(&ipv6->sin6_addr))
                info.scope = RT_SCOPE_LINK;
            else
                info.scope = RT_SCOPE_UNIVERSE;
        }
        if (!info.address.isEmpty())
            fresh.addresses.append(info);
    }
    *snapshot = std::move(fresh);
    return true;
}

} // namespace kv::live
