// systemd-resolved's DNS servers and domains per link: from its manager's
// properties while it is on the bus, else from its per-link state files.

#include "platform/desktop/BusAgent.h"
#include "platform/desktop/DesktopKeys.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>

#include <cstring>
#include <net/if.h>

namespace kv::desktop {

namespace {

QString interfaceName(int index)
{
    char name[IF_NAMESIZE] = {};
    if (index <= 0 || !::if_indextoname(unsigned(index), name))
        return QString();
    return QString::fromLocal8Bit(name);
}

QString linkDnsKey(const QString &interface)
{
    return InterfacePrefix + interface + QStringLiteral("/DNS");
}

class ResolverAgent : public BusAgent
{
public:
    using BusAgent::BusAgent;

    void start() override
    {
        follow(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        if (!m_options.resolvedLinkStatePath.isEmpty() && QDir(m_options.resolvedLinkStatePath).exists()) {
            m_files = new QFileSystemWatcher(this);
            m_files->addPath(m_options.resolvedLinkStatePath);
            connect(m_files, &QFileSystemWatcher::directoryChanged, this, [this] { scheduleRead(); });
            connect(m_files, &QFileSystemWatcher::fileChanged, this, [this] { scheduleRead(); });
        }
        BusAgent::start();
    }

protected:
    KeyValues read() override
    {
        const QVariantMap manager =
            properties(QStringLiteral("/org/freedesktop/resolve1"), QStringLiteral("org.freedesktop.resolve1.Manager"));
        QMap<int, QStringList> servers;
        QMap<int, QStringList> searchDomains;
        QMap<int, QStringList> routingDomains;
        // DNS: a(iiay) -- link index, family, address.
        for (const QVariant &element : manager.value(QStringLiteral("DNS")).toList()) {
            const QVariantList fields = element.toList();
            const QByteArray bytes = fields.value(2).toByteArray();
            QString address;
            if (bytes.size() == 4) {
                quint32 raw;
                std::memcpy(&raw, bytes.constData(), sizeof raw);
                address = ipv4FromNetworkOrder(raw);
            } else {
                address = ipv6FromBytes(bytes);
            }
            if (!address.isEmpty())
                servers[fields.value(0).toInt()].append(address);
        }
        // Domains: a(isb) -- link index, domain, routing only.
        for (const QVariant &element : manager.value(QStringLiteral("Domains")).toList()) {
            const QVariantList fields = element.toList();
            auto &domains = fields.value(2).toBool() ? routingDomains : searchDomains;
            domains[fields.value(0).toInt()].append(fields.value(1).toString());
        }
        QList<int> links = servers.keys() + searchDomains.keys() + routingDomains.keys();
        KeyValues keys;
        for (const int link : links) {
            const QString name = interfaceName(link);
            if (name.isEmpty() || keys.contains(linkDnsKey(name)))
                continue;
            PropertyListDictionary entries;
            if (servers.contains(link))
                entries.insert(QStringLiteral("ServerAddresses"), stringArray(servers.value(link)));
            if (searchDomains.contains(link))
                entries.insert(QStringLiteral("SearchDomains"), stringArray(searchDomains.value(link)));
            if (routingDomains.contains(link))
                entries.insert(QStringLiteral("RoutingDomains"), stringArray(routingDomains.value(link)));
            keys.insert(linkDnsKey(name), dictionary(entries));
        }
        return keys;
    }

    // Called on the agent's thread only.
    KeyValues readAbsent() override
    {
        KeyValues keys;
        if (m_options.resolvedLinkStatePath.isEmpty())
            return keys;
        const QDir folder(m_options.resolvedLinkStatePath);
        const QStringList files = folder.entryList(QDir::Files);
        // Files rewritten in place change no folder entry: they are watched
        // each (anew: a replaced file is another inode).
        if (m_files) {
            if (!m_files->files().isEmpty())
                m_files->removePaths(m_files->files());
            for (const QString &file : files)
                m_files->addPath(folder.filePath(file));
        }
        for (const QString &file : files) {
            bool numeric = false;
            const int index = file.toInt(&numeric);
            const QString name = numeric ? interfaceName(index) : QString();
            QFile state(folder.filePath(file));
            if (name.isEmpty() || !state.open(QIODevice::ReadOnly))
                continue;
            const PropertyListValue value = resolvedLinkStateValue(state.read(64 * 1024));
            if (value)
                keys.insert(linkDnsKey(name), value);
        }
        return keys;
    }

private:
    QFileSystemWatcher *m_files = nullptr;
};

} // namespace

std::unique_ptr<BusAgent> makeResolverAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                            BusAgent::Publish publish)
{
    return std::make_unique<ResolverAgent>(bus, QStringLiteral("org.freedesktop.resolve1"), options,
                                           std::move(publish));
}

} // namespace kv::desktop
