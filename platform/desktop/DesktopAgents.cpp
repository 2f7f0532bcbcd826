#include "platform/desktop/DesktopAgents.h"

#include "platform/SystemLog.h"
#include "platform/desktop/BusAgent.h"
#include "platform/desktop/DesktopKeys.h"
#include "platform/desktop/GnomeProxy.h"

#include <QAtomicInt>
#include <QDBusError>
#include <QProcess>
#include <QTimer>

#include <vector>

namespace kv::desktop {

struct DesktopAgents::Private
{
    DesktopOptions options;
    Sink sink;
    QString connectionName;
    std::vector<std::unique_ptr<BusAgent>> agents;
    QStringList names;
    // The gsettings monitors of GNOME's proxy schemas and the timer their
    // lines restart; while GNOME's proxy settings are present.
    std::unique_ptr<QObject> gnomeWatch;
    std::vector<QProcess *> gnomeMonitors;

    ~Private()
    {
        stopGnomeMonitors();
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

    void publishProxies(bool watch)
    {
        const std::optional<PropertyListDictionary> gnome =
            readGnomeProxy(options.gsettingsProgram, options.callTimeoutMilliseconds);
        if (gnome && watch)
            watchGnome();
        sink(QStringLiteral("Proxies"), proxyKeys(options.environment, gnome.value_or(PropertyListDictionary())));
    }

    // Each line a monitor prints is a change; a burst of them makes one
    // reading.
    void watchGnome()
    {
        gnomeWatch = std::make_unique<QObject>();
        auto *settle = new QTimer(gnomeWatch.get());
        settle->setSingleShot(true);
        settle->setInterval(options.settleMilliseconds);
        QObject::connect(settle, &QTimer::timeout, gnomeWatch.get(), [this] { publishProxies(false); });
        for (const QString &schema : gnomeProxySchemas()) {
            auto *monitor = new QProcess(gnomeWatch.get());
            monitor->setStandardErrorFile(QProcess::nullDevice());
            QObject::connect(monitor, &QProcess::readyReadStandardOutput, gnomeWatch.get(), [monitor, settle] {
                if (monitor->readAllStandardOutput().contains('\n'))
                    settle->start();
            });
            monitor->start(options.gsettingsProgram, {QStringLiteral("monitor"), schema});
            gnomeMonitors.push_back(monitor);
        }
    }

    void stopGnomeMonitors()
    {
        for (QProcess *monitor : gnomeMonitors) {
            monitor->disconnect();
            monitor->kill();
            monitor->waitForFinished(options.callTimeoutMilliseconds);
        }
        gnomeMonitors.clear();
        gnomeWatch.reset();
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
    d->publishProxies(true);

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

KeyValues proxyKeys(const QProcessEnvironment &environment, const PropertyListDictionary &gnome)
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
    if (entries.isEmpty() && gnome.isEmpty())
        return KeyValues();
    for (auto it = gnome.cbegin(); it != gnome.cend(); ++it) {
        if (!entries.contains(it.key()))
            entries.insert(it.key(), it.value());
    }
    QStringList exceptions;
    const QStringList words = variable(QStringLiteral("no_proxy")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        const QString trimmed = word.trimmed();
        if (!trimmed.isEmpty())
            exceptions.append(trimmed);
    }
    for (const PropertyListValue &host : gnome.value(QStringLiteral("ExceptionsList")).array()) {
        if (!exceptions.contains(host.string()))
            exceptions.append(host.string());
    }
    if (!exceptions.isEmpty())
        entries.insert(QStringLiteral("ExceptionsList"), stringArray(exceptions));
    return KeyValues{{ProxiesKey, dictionary(entries)}};
}

} // namespace kv::desktop
