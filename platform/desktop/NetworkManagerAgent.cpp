// NetworkManager: saved connections as services, active connections'
// addresses, DNS and DHCP leases, the service order, the primary service and
// each Wi-Fi interface's access point.

#include "platform/desktop/BusAgent.h"
#include "platform/desktop/DesktopKeys.h"

#include <algorithm>

namespace kv::desktop {

namespace {

const QString Service = QStringLiteral("org.freedesktop.NetworkManager");
const QString ManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString ManagerInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString SettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString SettingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString ConnectionInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString ActiveInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString DeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString WirelessInterface = QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless");
const QString AccessPointInterface = QStringLiteral("org.freedesktop.NetworkManager.AccessPoint");
const QString IP4ConfigInterface = QStringLiteral("org.freedesktop.NetworkManager.IP4Config");
const QString IP6ConfigInterface = QStringLiteral("org.freedesktop.NetworkManager.IP6Config");
const QString Dhcp4ConfigInterface = QStringLiteral("org.freedesktop.NetworkManager.DHCP4Config");
const QString AccessPointPathPrefix = QStringLiteral("/org/freedesktop/NetworkManager/AccessPoint/");
constexpr uint WifiDeviceType = 2;

struct SavedConnection
{
    QString uuid;
    qint64 priority = 0;
    quint64 lastActivation = 0;
    QString name;
};

QStringList pathList(const QVariant &value)
{
    QStringList paths;
    for (const QVariant &element : value.toList())
        paths.append(element.toString());
    if (paths.isEmpty())
        paths = value.toStringList();
    paths.removeAll(QStringLiteral("/"));
    return paths;
}

QStringList stringList(const QVariant &value)
{
    QStringList strings;
    for (const QVariant &element : value.toList())
        strings.append(element.toString());
    if (strings.isEmpty())
        strings = value.toStringList();
    return strings;
}

class NetworkManagerAgent : public BusAgent
{
public:
    using BusAgent::BusAgent;

    void start() override
    {
        follow(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        follow(SettingsInterface, QStringLiteral("NewConnection"));
        follow(SettingsInterface, QStringLiteral("ConnectionRemoved"));
        follow(ConnectionInterface, QStringLiteral("Updated"));
        follow(ConnectionInterface, QStringLiteral("Removed"));
        follow(ManagerInterface, QStringLiteral("DeviceAdded"));
        follow(ManagerInterface, QStringLiteral("DeviceRemoved"));
        follow(WirelessInterface, QStringLiteral("AccessPointAdded"));
        follow(WirelessInterface, QStringLiteral("AccessPointRemoved"));
        BusAgent::start();
    }

protected:
    bool isSlowChange(const QDBusMessage &message) const override
    {
        // An access point's signal strength changes all the time.
        if (!message.path().startsWith(AccessPointPathPrefix) || message.arguments().size() < 2)
            return false;
        const QVariantMap changed = plainValue(message.arguments().at(1)).toMap();
        for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
            if (it.key() != QLatin1String("Strength") && it.key() != QLatin1String("LastSeen"))
                return false;
        }
        return true;
    }

    KeyValues read() override
    {
        KeyValues keys;
        const QVariantMap manager = properties(ManagerPath, ManagerInterface);

        std::vector<SavedConnection> saved;
        const QStringList connections =
            pathList(call(SettingsPath, SettingsInterface, QStringLiteral("ListConnections")));
        for (const QString &path : connections) {
            const QVariantMap settings = call(path, ConnectionInterface, QStringLiteral("GetSettings")).toMap();
            const QVariantMap connection = settings.value(QStringLiteral("connection")).toMap();
            SavedConnection entry;
            entry.uuid = connection.value(QStringLiteral("uuid")).toString();
            if (entry.uuid.isEmpty() || entry.uuid.contains(QLatin1Char('/')))
                continue;
            entry.name = connection.value(QStringLiteral("id")).toString();
            entry.priority = connection.value(QStringLiteral("autoconnect-priority")).toLongLong();
            entry.lastActivation = connection.value(QStringLiteral("timestamp")).toULongLong();
            keys.insert(ServiceSetupPrefix + entry.uuid, serviceSetup(settings));
            saved.push_back(entry);
        }

        // Active connections, in the order they were activated.
        QHash<QString, int> activation;
        QHash<QString, QString> uuidOfActive;
        const QStringList active = pathList(manager.value(QStringLiteral("ActiveConnections")));
        for (const QString &path : active) {
            const QVariantMap properties = this->properties(path, ActiveInterface);
            const QString uuid = properties.value(QStringLiteral("Uuid")).toString();
            if (uuid.isEmpty() || uuid.contains(QLatin1Char('/')))
                continue;
            uuidOfActive.insert(path, uuid);
            activation.insert(uuid, int(activation.size()));
            readActive(uuid, properties, &keys);
        }

        std::stable_sort(saved.begin(), saved.end(), [&activation](const SavedConnection &a, const SavedConnection &b) {
            if (a.priority != b.priority)
                return a.priority > b.priority;
            const int activeA = activation.value(a.uuid, -1);
            const int activeB = activation.value(b.uuid, -1);
            if ((activeA >= 0) != (activeB >= 0))
                return activeA >= 0;
            if (activeA != activeB)
                return activeA < activeB;
            return a.lastActivation > b.lastActivation;
        });
        QStringList order;
        for (const SavedConnection &entry : saved)
            order.append(entry.uuid);
        if (!order.isEmpty())
            keys.insert(SetupGlobalIPv4Key, dictionary({{ServiceOrderEntry, stringArray(order)}}));

        const QString primary = uuidOfActive.value(manager.value(QStringLiteral("PrimaryConnection")).toString());
        if (!primary.isEmpty())
            keys.insert(StateGlobalIPv4Key, dictionary({{PrimaryServiceEntry, text(primary)}}));

        for (const QString &device : pathList(manager.value(QStringLiteral("Devices"))))
            readWifi(device, &keys);
        return keys;
    }

private:
    static PropertyListValue serviceSetup(const QVariantMap &settings)
    {
        const QVariantMap connection = settings.value(QStringLiteral("connection")).toMap();
        PropertyListDictionary entries;
        insertText(&entries, QStringLiteral("Name"), connection.value(QStringLiteral("id")).toString());
        insertText(&entries, QStringLiteral("Type"), connection.value(QStringLiteral("type")).toString());
        insertText(&entries, QStringLiteral("Interface"),
                   connection.value(QStringLiteral("interface-name")).toString());
        entries.insert(QStringLiteral("AutoConnect"),
                       boolean(connection.value(QStringLiteral("autoconnect"), true).toBool()));
        entries.insert(QStringLiteral("AutoConnectPriority"),
                       integer(connection.value(QStringLiteral("autoconnect-priority")).toLongLong()));
        insertText(&entries, QStringLiteral("IPv4Method"),
                   settings.value(QStringLiteral("ipv4")).toMap().value(QStringLiteral("method")).toString());
        insertText(&entries, QStringLiteral("IPv6Method"),
                   settings.value(QStringLiteral("ipv6")).toMap().value(QStringLiteral("method")).toString());
        return dictionary(entries);
    }

    void readActive(const QString &uuid, const QVariantMap &active, KeyValues *keys)
    {
        const QString prefix = ServiceStatePrefix + uuid + QLatin1Char('/');
        QString interface;
        const QStringList devices = pathList(active.value(QStringLiteral("Devices")));
        if (!devices.isEmpty())
            interface = properties(devices.constFirst(), DeviceInterface).value(QStringLiteral("Interface")).toString();

        QStringList servers;
        QStringList domains;
        const std::pair<const char *, const QString *> families[] = {{"Ip4Config", &IP4ConfigInterface},
                                                                     {"Ip6Config", &IP6ConfigInterface}};
        for (const auto &[property, configInterface] : families) {
            const bool v4 = configInterface == &IP4ConfigInterface;
            const QVariantMap config =
                properties(active.value(QString::fromLatin1(property)).toString(), *configInterface);
            if (config.isEmpty())
                continue;
            QStringList addresses;
            PropertyListArray prefixes;
            for (const QVariant &element : config.value(QStringLiteral("AddressData")).toList()) {
                const QVariantMap address = element.toMap();
                addresses.append(address.value(QStringLiteral("address")).toString());
                prefixes.append(integer(address.value(QStringLiteral("prefix")).toLongLong()));
            }
            PropertyListDictionary entries;
            if (!addresses.isEmpty()) {
                entries.insert(QStringLiteral("Addresses"), stringArray(addresses));
                entries.insert(QStringLiteral("PrefixLengths"), PropertyListValue::fromArray(prefixes));
            }
            insertText(&entries, QStringLiteral("Router"), config.value(QStringLiteral("Gateway")).toString());
            if (!entries.isEmpty()) {
                insertText(&entries, QStringLiteral("InterfaceName"), interface);
                keys->insert(prefix + (v4 ? QStringLiteral("IPv4") : QStringLiteral("IPv6")), dictionary(entries));
            }
            const QVariantList data = config.value(QStringLiteral("NameserverData")).toList();
            if (!data.isEmpty()) {
                for (const QVariant &element : data)
                    servers.append(element.toMap().value(QStringLiteral("address")).toString());
            } else {
                for (const QVariant &element : config.value(QStringLiteral("Nameservers")).toList()) {
                    const QString address =
                        v4 ? ipv4FromNetworkOrder(element.toUInt()) : ipv6FromBytes(element.toByteArray());
                    if (!address.isEmpty())
                        servers.append(address);
                }
            }
            domains += stringList(config.value(QStringLiteral("Searches")));
            domains += stringList(config.value(QStringLiteral("Domains")));
        }
        servers.removeAll(QString());
        servers.removeDuplicates();
        domains.removeAll(QString());
        domains.removeDuplicates();
        PropertyListDictionary dns;
        if (!servers.isEmpty())
            dns.insert(QStringLiteral("ServerAddresses"), stringArray(servers));
        if (!domains.isEmpty())
            dns.insert(QStringLiteral("SearchDomains"), stringArray(domains));
        if (!dns.isEmpty())
            keys->insert(prefix + QStringLiteral("DNS"), dictionary(dns));

        const QVariantMap lease =
            properties(active.value(QStringLiteral("Dhcp4Config")).toString(), Dhcp4ConfigInterface)
                .value(QStringLiteral("Options"))
                .toMap();
        PropertyListDictionary options;
        for (auto it = lease.cbegin(); it != lease.cend(); ++it)
            insertText(&options, it.key(), it.value().toString());
        if (!options.isEmpty())
            keys->insert(prefix + QStringLiteral("DHCP"), dictionary(options));
    }

    void readWifi(const QString &device, KeyValues *keys)
    {
        const QVariantMap properties = this->properties(device, DeviceInterface);
        if (properties.value(QStringLiteral("DeviceType")).toUInt() != WifiDeviceType)
            return;
        const QString interface = properties.value(QStringLiteral("Interface")).toString();
        const QVariantMap wireless = this->properties(device, WirelessInterface);
        const QVariantMap point =
            this->properties(wireless.value(QStringLiteral("ActiveAccessPoint")).toString(), AccessPointInterface);
        if (interface.isEmpty() || point.isEmpty())
            return;
        PropertyListDictionary entries;
        insertText(&entries, QStringLiteral("SSID"),
                   QString::fromUtf8(point.value(QStringLiteral("Ssid")).toByteArray()));
        insertText(&entries, QStringLiteral("BSSID"), point.value(QStringLiteral("HwAddress")).toString().toLower());
        entries.insert(QStringLiteral("Frequency"), integer(point.value(QStringLiteral("Frequency")).toUInt()));
        const int strength = int(point.value(QStringLiteral("Strength")).toUInt());
        entries.insert(QStringLiteral("SignalStrength"), integer(strength));
        entries.insert(QStringLiteral("SignalLevel"), integer(signalLevelFromPercent(strength)));
        entries.insert(QStringLiteral("Bitrate"), integer(wireless.value(QStringLiteral("Bitrate")).toUInt() / 1000));
        entries.insert(QStringLiteral("Security"),
                       text(wifiSecurity(point.value(QStringLiteral("Flags")).toUInt(),
                                         point.value(QStringLiteral("WpaFlags")).toUInt(),
                                         point.value(QStringLiteral("RsnFlags")).toUInt())));
        keys->insert(InterfacePrefix + interface + QStringLiteral("/WiFi"), dictionary(entries));
    }
};

} // namespace

std::unique_ptr<BusAgent> makeNetworkManagerAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                                  BusAgent::Publish publish)
{
    return std::make_unique<NetworkManagerAgent>(bus, Service, options, std::move(publish));
}

} // namespace kv::desktop
