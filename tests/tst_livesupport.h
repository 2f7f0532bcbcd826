#pragma once

// Shared helpers of the live source tests: an engine with the live source,
// a connection that records change lists, and `ip`'s view of the network.

#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/live/LiveSystemSource.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTest>

#include <memory>
#include <optional>

namespace livetest {

using kv::PropertyListValue;

inline QStringList strings(const PropertyListValue &value)
{
    QStringList result;
    for (const PropertyListValue &element : value.array())
        result.append(element.string());
    return result;
}

// An engine running one live source, observed through a store connection
// that records each change list it receives.
class LiveFixture
{
public:
    explicit LiveFixture(const kv::LiveSystemOptions &options)
    {
        auto source = std::make_unique<kv::LiveSystemSource>(options);
        m_source = source.get();
        m_engine.addSource(std::move(source));
        kv::StoreEngine::setInstance(&m_engine);
        m_connection = kv::storeCreate(QStringLiteral("live test"), &LiveFixture::callout, this);
        if (!m_connection)
            return;
        const QStringList patterns{QStringLiteral(".*")};
        kv::storeSetNotificationKeys(m_connection.get(), nullptr, &patterns);
        auto runLoopSource = kv::storeCreateRunLoopSource(m_connection.get(), 0);
        kv::storeRunLoopAddSource(runLoopSource);
    }
    ~LiveFixture()
    {
        m_connection.reset();
        kv::StoreEngine::setInstance(nullptr);
    }
    LiveFixture(const LiveFixture &) = delete;
    LiveFixture &operator=(const LiveFixture &) = delete;

    bool isConnected() const { return bool(m_connection); }
    kv::StoreEngine &engine() { return m_engine; }
    kv::LiveSystemSource &source() { return *m_source; }
    PropertyListValue value(const QString &key) const { return m_engine.value(key); }

    const QList<QStringList> &changeLists() const { return m_lists; }
    void clearChangeLists() { m_lists.clear(); }
    // True when one change list since the last clear holds all the keys.
    bool oneListHolds(const QStringList &keys) const
    {
        for (const QStringList &list : m_lists) {
            bool all = true;
            for (const QString &key : keys)
                all = all && list.contains(key);
            if (all)
                return true;
        }
        return false;
    }
    QString describeLists() const
    {
        QStringList parts;
        for (const QStringList &list : m_lists)
            parts.append(QLatin1Char('[') + list.join(QStringLiteral(", ")) + QLatin1Char(']'));
        return parts.join(QStringLiteral("; "));
    }

private:
    static void callout(kv::StoreConnection *, const QStringList *changedKeys, void *context)
    {
        static_cast<LiveFixture *>(context)->m_lists.append(*changedKeys);
    }

    kv::StoreEngine m_engine;
    kv::LiveSystemSource *m_source = nullptr;
    std::unique_ptr<kv::StoreConnection> m_connection;
    QList<QStringList> m_lists;
};

inline bool haveIp()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty();
}

// Runs `ip` with the arguments; the output on success, or none.
inline std::optional<QByteArray> runIp(const QStringList &arguments, QString *error = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("ip %1: %2")
                         .arg(arguments.join(' '), QString::fromLocal8Bit(process.readAllStandardError()));
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

// `ip -j addr`: interface name -> set of "address/prefix" per family ("inet", "inet6").
using AddressView = QMap<QString, QMap<QString, QSet<QString>>>;

inline std::optional<AddressView> ipAddresses()
{
    const auto output = runIp({QStringLiteral("-j"), QStringLiteral("addr")});
    if (!output)
        return std::nullopt;
    AddressView view;
    const QJsonArray interfaces = QJsonDocument::fromJson(*output).array();
    for (const QJsonValue &entry : interfaces) {
        const QJsonObject object = entry.toObject();
        auto &families = view[object.value(QStringLiteral("ifname")).toString()];
        for (const QJsonValue &address : object.value(QStringLiteral("addr_info")).toArray()) {
            const QJsonObject info = address.toObject();
            families[info.value(QStringLiteral("family")).toString()].insert(
                info.value(QStringLiteral("local")).toString() + QLatin1Char('/')
                + QString::number(info.value(QStringLiteral("prefixlen")).toInt()));
        }
    }
    return view;
}

// The same view made from the store.
inline AddressView storeAddresses(const kv::StoreEngine &engine)
{
    AddressView view;
    const QStringList names =
        strings(engine.value(QStringLiteral("State:/Network/Interface")).value(QStringLiteral("Interfaces")));
    for (const QString &name : names) {
        auto &families = view[name];
        for (const auto &[family, key] : {std::pair{QStringLiteral("inet"), QStringLiteral("IPv4")},
                                          std::pair{QStringLiteral("inet6"), QStringLiteral("IPv6")}}) {
            const PropertyListValue value =
                engine.value(QStringLiteral("State:/Network/Interface/%1/%2").arg(name, key));
            const QStringList addresses = strings(value.value(QStringLiteral("Addresses")));
            for (qsizetype i = 0; i < addresses.size(); ++i)
                families[family].insert(
                    addresses.at(i) + QLatin1Char('/')
                    + QString::number(value.value(QStringLiteral("PrefixLengths")).at(i).integer()));
        }
    }
    return view;
}

inline QString describe(const AddressView &view)
{
    QStringList parts;
    for (auto it = view.cbegin(); it != view.cend(); ++it) {
        QStringList families;
        for (auto family = it.value().cbegin(); family != it.value().cend(); ++family) {
            QStringList addresses(family.value().cbegin(), family.value().cend());
            addresses.sort();
            families.append(family.key() + QLatin1Char('=') + addresses.join(QLatin1Char(',')));
        }
        parts.append(it.key() + QLatin1Char(':') + families.join(QLatin1Char(' ')));
    }
    return parts.join(QStringLiteral(" | "));
}

// Drops empty families so that "no key" and "no addresses" compare equal.
inline AddressView normalised(AddressView view)
{
    for (auto it = view.begin(); it != view.end(); ++it) {
        for (auto family = it.value().begin(); family != it.value().end();) {
            if (family.value().isEmpty())
                family = it.value().erase(family);
            else
                ++family;
        }
    }
    return view;
}

// `ip -j route show table main` for a family: set of "destination via gateway dev name metric n".
inline std::optional<QSet<QString>> ipRoutes(bool ipv6)
{
    QStringList arguments{QStringLiteral("-j")};
    if (ipv6)
        arguments << QStringLiteral("-6");
    arguments << QStringLiteral("route") << QStringLiteral("show") << QStringLiteral("table") << QStringLiteral("main");
    const auto output = runIp(arguments);
    if (!output)
        return std::nullopt;
    QSet<QString> routes;
    for (const QJsonValue &entry : QJsonDocument::fromJson(*output).array()) {
        const QJsonObject route = entry.toObject();
        const QString type = route.value(QStringLiteral("type")).toString();
        if (!type.isEmpty() && type != QLatin1String("unicast"))
            continue;
        QString destination = route.value(QStringLiteral("dst")).toString();
        if (destination != QLatin1String("default") && !destination.contains(QLatin1Char('/')))
            destination += ipv6 ? QStringLiteral("/128") : QStringLiteral("/32");
        routes.insert(QStringLiteral("%1 via %2 dev %3 metric %4")
                          .arg(destination, route.value(QStringLiteral("gateway")).toString(),
                               route.value(QStringLiteral("dev")).toString())
                          .arg(route.value(QStringLiteral("metric")).toInt()));
    }
    return routes;
}

inline QSet<QString> storeRoutes(const kv::StoreEngine &engine, bool ipv6)
{
    QSet<QString> routes;
    const PropertyListValue list = engine.value(ipv6 ? QStringLiteral("State:/Network/Global/Routes/IPv6")
                                                     : QStringLiteral("State:/Network/Global/Routes/IPv4"));
    for (const PropertyListValue &route : list.array()) {
        routes.insert(QStringLiteral("%1 via %2 dev %3 metric %4")
                          .arg(route.value(QStringLiteral("Destination")).string(),
                               route.value(QStringLiteral("Gateway")).string(),
                               route.value(QStringLiteral("Interface")).string())
                          .arg(route.value(QStringLiteral("Metric")).integer()));
    }
    return routes;
}

inline QString describe(const QSet<QString> &set)
{
    QStringList list(set.cbegin(), set.cend());
    list.sort();
    return list.join(QStringLiteral(" | "));
}

} // namespace livetest
