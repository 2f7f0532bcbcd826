#include "platform/desktop/DesktopAgents.h"

#include "platform/SystemLog.h"
#include "platform/desktop/BusAgent.h"
#include "platform/desktop/DesktopKeys.h"

#include <QAtomicInt>
#include <QDBusError>

#include <vector>

namespace kv::desktop {

struct DesktopAgents::Private
{
    DesktopOptions options;
    Sink sink;
    QString connectionName;
    std::vector<std::unique_ptr<BusAgent>> agents;
    QStringList names;

    ~Private()
    {
        // Readings underway end while their agents are whole.
        for (const auto &agent : agents)
            agent->finish();
        agents.clear();
        if (!connectionName.isEmpty())
            QDBusConnection::disconnectFromBus(connectionName);
    }

    QDBusConnection connect()
    {
        if (options.busAddress.isEmpty())
            return QDBusConnection::systemBus();
        static QAtomicInt counter;
        connectionName = QStringLiteral("keyvane-desktop-%1").arg(counter.fetchAndAddRelaxed(1));
        return QDBusConnection::connectToBus(options.busAddress, connectionName);
    }
};

DesktopAgents::DesktopAgents(const DesktopOptions &options, Sink sink) : d(std::make_unique<Private>())
{
    d->options = options;
    d->sink = std::move(sink);
}

DesktopAgents::~DesktopAgents() = default;

void DesktopAgents::start()
{
    if (!d->options.enabled || !d->agents.empty())
        return;
    d->names.append(QStringLiteral("Proxies"));
    d->sink(QStringLiteral("Proxies"), proxyKeys(d->options.environment));

    const QDBusConnection bus = d->connect();
    if (!bus.isConnected()) {
        systemLog(QStringLiteral("keyvane: cannot connect to the system bus (%1); the desktop's agents are left out")
                      .arg(bus.lastError().message()));
        return;
    }
    using Maker = std::unique_ptr<BusAgent> (*)(const QDBusConnection &, const DesktopOptions &, BusAgent::Publish);
    const std::pair<const char *, Maker> makers[] = {
        {"NetworkManager", makeNetworkManagerAgent},
        {"Login", makeLoginAgent},
        {"Time", makeTimeAgent},
        {"Power", makePowerAgent},
        {"Resolver", makeResolverAgent},
    };
    for (const auto &[name, make] : makers) {
        const QString agentName = QString::fromLatin1(name);
        d->names.append(agentName);
        Sink sink = d->sink;
        d->agents.push_back(
            make(bus, d->options, [sink, agentName](const KeyValues &fresh) { sink(agentName, fresh); }));
    }
    for (const auto &agent : d->agents)
        agent->start();
}

QStringList DesktopAgents::agentNames() const
{
    return d->names;
}

int DesktopAgents::readings() const
{
    int total = 0;
    for (const auto &agent : d->agents)
        total += agent->readings();
    return total;
}

KeyValues proxyKeys(const QProcessEnvironment &environment)
{
    const auto variable = [&environment](const QString &lower) {
        const QString value = environment.value(lower);
        return value.isEmpty() ? environment.value(lower.toUpper()) : value;
    };
    PropertyListDictionary entries;
    const std::pair<const char *, const char *> proxies[] = {
        {"http_proxy", "HTTPProxy"},
        {"https_proxy", "HTTPSProxy"},
        {"ftp_proxy", "FTPProxy"},
        {"all_proxy", "AllProxy"},
    };
    for (const auto &[name, entry] : proxies)
        insertText(&entries, QString::fromLatin1(entry), variable(QString::fromLatin1(name)).trimmed());
    if (entries.isEmpty())
        return KeyValues();
    QStringList exceptions;
    const QStringList words = variable(QStringLiteral("no_proxy")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        const QString trimmed = word.trimmed();
        if (!trimmed.isEmpty())
            exceptions.append(trimmed);
    }
    if (!exceptions.isEmpty())
        entries.insert(QStringLiteral("ExceptionsList"), stringArray(exceptions));
    return KeyValues{{ProxiesKey, dictionary(entries)}};
}

} // namespace kv::desktop
