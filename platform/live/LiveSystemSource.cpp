#include "platform/live/LiveSystemSource.h"

#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"
#include "platform/live/Netlink.h"
#include "platform/live/NetworkKeys.h"
#include "platform/live/Nl80211.h"
#include "platform/live/SystemFiles.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kv {

using live::KeyValues;

struct LiveSystemSource::Private
{
    explicit Private(const LiveSystemOptions &o) : options(o) {}

    LiveSystemOptions options;
    StoreEngine *engine = nullptr;
    bool started = false;

    // What this source has published, per area.
    KeyValues network;
    KeyValues dns;
    KeyValues power;
    KeyValues host;
    KeyValues wifi;
    // Per desktop agent.
    QMap<QString, KeyValues> desktop;
    std::unique_ptr<desktop::DesktopAgents> agents;

    std::unique_ptr<live::WifiReader> wifiReader;
    live::RouteNetlinkSocket dumpSocket;
    live::RouteSubscriptionSocket subscription;
    UniqueFd hostNameFd;
    UniqueFd domainNameFd;
    UniqueFd ueventFd;
    bool netlink = false;
    bool fallbackLogged = false;
    int networkReadings = 0;
    int overflows = 0;
    int nameEvents = 0;

    // Declared after the descriptors: the notifiers (its children) go first.
    std::unique_ptr<QObject> context = std::make_unique<QObject>();
    QSocketNotifier *subscriptionNotifier = nullptr;
    QSocketNotifier *hostNameNotifier = nullptr;
    QSocketNotifier *domainNameNotifier = nullptr;
    QSocketNotifier *ueventNotifier = nullptr;
    QFileSystemWatcher *dnsWatcher = nullptr;
    QTimer *networkSettle = nullptr;
    QTimer *dnsSettle = nullptr;
    QTimer *powerSettle = nullptr;
    QTimer *powerRefresh = nullptr;

    ~Private()
    {
        // The agents and the Wi-Fi reader publish into this.
        agents.reset();
        wifiReader.reset();
        // Notifiers must not outlive their descriptors.
        context.reset();
    }

    // A key's value as published: where the desktop's agents publish
    // dictionaries under a key this source reads itself, their entries are
    // added to its own (which win).
    PropertyListValue composed(const QString &key) const
    {
        PropertyListValue own;
        for (const KeyValues *area : {&host, &network, &wifi, &dns, &power}) {
            const auto found = area->constFind(key);
            if (found != area->cend())
                own = found.value();
        }
        PropertyListValue result = own;
        for (const KeyValues &area : desktop) {
            const auto found = area.constFind(key);
            if (found == area.cend())
                continue;
            if (!result) {
                result = found.value();
                continue;
            }
            if (!result.isDictionary() || !found.value().isDictionary())
                continue;
            PropertyListDictionary entries = found.value().dictionary();
            const PropertyListDictionary &kept = result.dictionary();
            for (auto it = kept.cbegin(); it != kept.cend(); ++it)
                entries.insert(it.key(), it.value());
            result = PropertyListValue::fromDictionary(std::move(entries));
        }
        return result;
    }

    void apply(KeyValues *published, const KeyValues &fresh)
    {
        if (desktop.isEmpty()) {
            engine->publishChanges(*published, fresh);
            *published = fresh;
            return;
        }
        QStringList touched = published->keys();
        for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
            if (!published->contains(it.key()))
                touched.append(it.key());
        }
        PropertyListDictionary before;
        for (const QString &key : std::as_const(touched)) {
            if (const PropertyListValue value = composed(key))
                before.insert(key, value);
        }
        *published = fresh;
        PropertyListDictionary after;
        for (const QString &key : std::as_const(touched)) {
            if (const PropertyListValue value = composed(key))
                after.insert(key, value);
        }
        engine->publishChanges(before, after);
    }

    void logFallback(const QString &reason)
    {
        if (fallbackLogged)
            return;
        fallbackLogged = true;
        systemLog(QStringLiteral("keyvane: cannot read the network through netlink (%1); reading interfaces and "
                                 "addresses with getifaddrs, without routes")
                      .arg(reason));
    }

    void openNetlink()
    {
        if (!options.useNetlink) {
            netlink = false;
            logFallback(QStringLiteral("turned off"));
            return;
        }
        QString error;
        netlink = dumpSocket.open(&error);
        if (!netlink) {
            logFallback(error);
            return;
        }
        openSubscription();
    }

    // Wi-Fi from nl80211. Where the kernel has no such family or the socket
    // is refused, one line says so and the WiFi keys come from
    // NetworkManager alone.
    void openWifi()
    {
        if (!options.useNl80211)
            return;
        live::WifiReaderOptions setup;
        setup.familyName = options.nl80211FamilyName;
        setup.pollMilliseconds = options.wifiSignalPollMilliseconds;
        const auto unavailable = [](const QString &reason) {
            systemLog(QStringLiteral("keyvane: no Wi-Fi state from nl80211 (%1); Wi-Fi details come from "
                                     "NetworkManager alone")
                          .arg(reason));
        };
        wifiReader = std::make_unique<live::WifiReader>(
            setup, [this](const KeyValues &fresh) { apply(&wifi, fresh); }, unavailable);
        QString error;
        if (!wifiReader->open(&error)) {
            unavailable(error);
            return;
        }
        // The kernel answers at once; the first reading joins the others
        // taken at start.
        wifiReader->waitForFirstReading(1000);
    }

    void openSubscription()
    {
        if (subscriptionNotifier) {
            // May be called from the notifier's own signal: retire it safely.
            subscriptionNotifier->setEnabled(false);
            subscriptionNotifier->deleteLater();
            subscriptionNotifier = nullptr;
        }
        QString error;
        subscription = live::RouteSubscriptionSocket();
        if (!subscription.open(options.subscriptionReceiveBuffer, &error)) {
            systemLog(QStringLiteral("keyvane: cannot follow network changes: %1").arg(error));
            return;
        }
        subscriptionNotifier = new QSocketNotifier(subscription.fd(), QSocketNotifier::Read, context.get());
        QObject::connect(subscriptionNotifier, &QSocketNotifier::activated, context.get(),
                         [this] { subscriptionReadable(); });
    }

    void subscriptionReadable()
    {
        const auto result = subscription.drain();
        if (result.overflow)
            ++overflows; // messages were lost: the full reading below resynchronises
        if (result.failed) {
            // Start over with a new socket rather than stop following.
            openSubscription();
        }
        if (result.messages || result.overflow || result.failed)
            schedule(networkSettle);
    }

    void schedule(QTimer *timer)
    {
        // The first signal of a burst starts the wait; later ones join it.
        if (timer && !timer->isActive())
            timer->start();
    }

    KeyValues readNetwork()
    {
        ++networkReadings;
        live::NetworkSnapshot snapshot;
        QString error;
        bool read = false;
        if (netlink) {
            read = dumpSocket.readSnapshot(&snapshot, &error);
            if (!read) {
                // One more try on a new socket; if that fails too, this reading
                // comes from getifaddrs and the next one tries netlink again.
                live::RouteNetlinkSocket fresh;
                QString again;
                read = fresh.open(&again) && fresh.readSnapshot(&snapshot, &again);
                if (read)
                    dumpSocket = std::move(fresh);
                else
                    logFallback(error);
            }
        }
        if (!read && !live::readSnapshotFallback(&snapshot, &error)) {
            systemLog(QStringLiteral("keyvane: cannot list network interfaces: %1").arg(error));
            return network; // keep what is published
        }
        return live::networkKeys(snapshot);
    }

    KeyValues readHostName()
    {
        KeyValues keys;
        utsname names;
        if (::uname(&names) < 0)
            return host;
        const QString hostName =
            QString::fromUtf8(names.nodename, qsizetype(strnlen(names.nodename, sizeof names.nodename)));
        const QString domain =
            QString::fromUtf8(names.domainname, qsizetype(strnlen(names.domainname, sizeof names.domainname)));
        keys.insert(live::SystemKey, live::systemValue(hostName, domain));
        return keys;
    }

    // Host and domain name changes are announced by poll() priority events on
    // their /proc files (which always poll readable: a Read notifier would
    // spin). After each event the file is read again from the start.
    QSocketNotifier *openNameEvents(const QString &path, UniqueFd *fd)
    {
        if (path.isEmpty())
            return nullptr;
        fd->reset(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        if (!fd->isValid())
            return nullptr;
        rearm(fd->get());
        auto *notifier = new QSocketNotifier(fd->get(), QSocketNotifier::Exception, context.get());
        const int descriptor = fd->get();
        QObject::connect(notifier, &QSocketNotifier::activated, context.get(), [this, descriptor] {
            ++nameEvents;
            rearm(descriptor);
            apply(&host, readHostName());
        });
        return notifier;
    }

    void openHostNameEvents()
    {
        hostNameNotifier = openNameEvents(options.hostNameEventPath, &hostNameFd);
        domainNameNotifier = openNameEvents(options.domainNameEventPath, &domainNameFd);
    }

    static void rearm(int fd)
    {
        char buffer[256];
        ::lseek(fd, 0, SEEK_SET);
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
    }

    void openUevents()
    {
        live::NetlinkSocketOptions setup;
        setup.bindGroups = 1; // the kernel's own events
        // Without the socket, power changes still arrive with the periodic
        // re-reading; nothing to report.
        QString error;
        ueventFd = live::openNetlinkSocket(NETLINK_KOBJECT_UEVENT, SOCK_DGRAM | SOCK_NONBLOCK, setup, nullptr, &error);
        if (!ueventFd.isValid())
            return;
        ueventNotifier = new QSocketNotifier(ueventFd.get(), QSocketNotifier::Read, context.get());
        QObject::connect(ueventNotifier, &QSocketNotifier::activated, context.get(), [this] { ueventReadable(); });
    }

    void ueventReadable()
    {
        QByteArray buffer(8192, Qt::Uninitialized);
        bool relevant = false;
        for (;;) {
            sockaddr_nl sender = {};
            socklen_t senderLength = sizeof sender;
            const ssize_t size = ::recvfrom(ueventFd.get(), buffer.data(), size_t(buffer.size()), 0,
                                            reinterpret_cast<sockaddr *>(&sender), &senderLength);
            if (size < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == ENOBUFS) {
                    relevant = true; // events were lost; one may have been ours
                    continue;
                }
                break;
            }
            if (senderLength != sizeof sender || sender.nl_pid != 0)
                continue;
            // "action@devpath\0KEY=value\0..."
            const QByteArray message = buffer.left(size);
            for (const QByteArray &field : message.split('\0')) {
                if (field == "SUBSYSTEM=power_supply") {
                    relevant = true;
                    break;
                }
            }
        }
        if (relevant)
            schedule(powerSettle);
    }

    void syncDnsWatcher(const live::ResolverLocation &location)
    {
        const QStringList watchedDirectories = dnsWatcher->directories();
        for (const QString &directory : watchedDirectories) {
            if (!location.watchedDirectories.contains(directory))
                dnsWatcher->removePath(directory);
        }
        for (const QString &directory : location.watchedDirectories) {
            if (!watchedDirectories.contains(directory))
                dnsWatcher->addPath(directory);
        }
        // Files are watched anew each time: a replaced file is another inode.
        const QStringList watchedFiles = dnsWatcher->files();
        if (!watchedFiles.isEmpty())
            dnsWatcher->removePaths(watchedFiles);
        if (!location.watchedFiles.isEmpty())
            dnsWatcher->addPaths(location.watchedFiles);
    }

    KeyValues readDns()
    {
        if (options.resolverConfigurationPath.isEmpty())
            return KeyValues();
        live::ResolverLocation location;
        const live::ResolverConfiguration configuration =
            live::readResolverConfiguration(options.resolverConfigurationPath, options.resolverUpstreamPath, &location);
        if (dnsWatcher)
            syncDnsWatcher(location);
        KeyValues keys;
        const PropertyListValue value = live::resolverValue(configuration);
        if (value)
            keys.insert(live::DnsKey, value);
        return keys;
    }

    QTimer *makeSettleTimer(std::function<void()> action)
    {
        auto *timer = new QTimer(context.get());
        timer->setSingleShot(true);
        timer->setInterval(options.settleMilliseconds);
        QObject::connect(timer, &QTimer::timeout, context.get(), std::move(action));
        return timer;
    }
};

LiveSystemSource::LiveSystemSource(const LiveSystemOptions &options) : d(std::make_unique<Private>(options))
{}

LiveSystemSource::~LiveSystemSource() = default;

bool LiveSystemSource::start(StoreEngine &engine, QString *error)
{
    Q_UNUSED(error);
    if (d->started)
        return true;
    d->started = true;
    d->engine = &engine;

    d->networkSettle = d->makeSettleTimer([this] { refreshNetwork(); });
    d->dnsSettle = d->makeSettleTimer([this] { refreshDns(); });
    d->powerSettle = d->makeSettleTimer([this] { refreshPower(); });

    d->openNetlink();

    d->dnsWatcher = new QFileSystemWatcher(d->context.get());
    QObject::connect(d->dnsWatcher, &QFileSystemWatcher::directoryChanged, d->context.get(),
                     [this] { d->schedule(d->dnsSettle); });
    QObject::connect(d->dnsWatcher, &QFileSystemWatcher::fileChanged, d->context.get(),
                     [this] { d->schedule(d->dnsSettle); });

    d->openHostNameEvents();

    if (!d->options.powerSupplyRoot.isEmpty() && QDir(d->options.powerSupplyRoot).exists()) {
        d->openUevents();
        d->powerRefresh = new QTimer(d->context.get());
        d->powerRefresh->setInterval(d->options.powerRefreshMilliseconds);
        QObject::connect(d->powerRefresh, &QTimer::timeout, d->context.get(), [this] { refreshPower(); });
        d->powerRefresh->start();
    }

    // Everything once, as one change list.
    engine.beginBatch();
    refreshHostName();
    refreshNetwork();
    refreshDns();
    refreshPower();
    d->openWifi();
    if (d->options.desktop.enabled) {
        d->agents = std::make_unique<desktop::DesktopAgents>(
            d->options.desktop,
            [this](const QString &agent, const KeyValues &fresh) { d->apply(&d->desktop[agent], fresh); });
        d->agents->start();
    }
    engine.endBatch();
    return true;
}

void LiveSystemSource::refreshNetwork()
{
    if (d->engine)
        d->apply(&d->network, d->readNetwork());
}

void LiveSystemSource::refreshDns()
{
    if (d->engine)
        d->apply(&d->dns, d->readDns());
}

void LiveSystemSource::refreshPower()
{
    if (d->engine && !d->options.powerSupplyRoot.isEmpty())
        d->apply(&d->power, live::powerSupplyKeys(d->options.powerSupplyRoot));
}

void LiveSystemSource::refreshHostName()
{
    if (d->engine)
        d->apply(&d->host, d->readHostName());
}

int LiveSystemSource::networkReadings() const
{
    return d->networkReadings;
}

int LiveSystemSource::overflows() const
{
    return d->overflows;
}

int LiveSystemSource::nameEvents() const
{
    return d->nameEvents;
}

int LiveSystemSource::desktopReadings() const
{
    return d->agents ? d->agents->readings() : 0;
}

bool LiveSystemSource::usesNetlink() const
{
    return d->netlink;
}

bool LiveSystemSource::usesNl80211() const
{
    return d->wifiReader && d->wifiReader->resolved() && d->wifiReader->failure().isEmpty();
}

std::unique_ptr<StoreSource> createLiveSystemSource()
{
    return std::make_unique<LiveSystemSource>();
}

std::unique_ptr<StoreSource> createLiveSystemSource(const LiveSystemOptions &options)
{
    return std::make_unique<LiveSystemSource>(options);
}

} // namespace kv
