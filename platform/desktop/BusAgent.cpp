#include "platform/desktop/BusAgent.h"

#include "platform/SystemLog.h"
#include "platform/desktop/DesktopKeys.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusServiceWatcher>
#include <QTimer>

namespace kv::desktop {

BusAgent::BusAgent(const QDBusConnection &bus, const QString &service, const DesktopOptions &options, Publish publish)
    : m_bus(bus), m_service(service), m_options(options), m_publish(std::move(publish))
{
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    connect(m_settle, &QTimer::timeout, this, &BusAgent::refresh);
    m_slow = new QTimer(this);
    m_slow->setSingleShot(true);
    // Taken at most this often: a coarse timer may fire up to 5 % early.
    m_slow->setTimerType(Qt::PreciseTimer);
    m_slow->setInterval(m_options.signalStrengthMilliseconds);
    connect(m_slow, &QTimer::timeout, this, &BusAgent::refresh);
}

BusAgent::~BusAgent()
{
    finish();
}

void BusAgent::finish()
{
    // Its calls end within their time limit.
    if (m_reader.joinable())
        m_reader.join();
}

void BusAgent::start()
{
    m_watcher = new QDBusServiceWatcher(
        m_service, m_bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { appeared(); });
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { vanished(); });
    QDBusConnectionInterface *bus = m_bus.interface();
    m_present = bus && bus->isServiceRegistered(m_service).value();
    if (m_present) {
        // At once, so that the first keys come with the source's start.
        ++m_readings;
        m_publish(read());
        return;
    }
    systemLog(
        QStringLiteral("keyvane: %1 is not on the system bus; its keys are left out until it appears").arg(m_service));
    m_publish(readAbsent());
}

void BusAgent::follow(const QString &interface, const QString &name)
{
    m_bus.connect(m_service, QString(), interface, name, this, SLOT(changeSignal(QDBusMessage)));
}

void BusAgent::refresh()
{
    m_settle->stop();
    m_slow->stop();
    if (!m_present) {
        m_publish(readAbsent());
        return;
    }
    if (m_reader.joinable()) {
        m_readAgain = true;
        return;
    }
    m_reader = std::thread([this, generation = m_generation] {
        const KeyValues keys = read();
        QMetaObject::invokeMethod(
            this, [this, keys, generation] { readingDone(keys, generation); }, Qt::QueuedConnection);
    });
}

void BusAgent::readingDone(const KeyValues &keys, int generation)
{
    finish();
    if (generation == m_generation) {
        ++m_readings;
        m_publish(keys);
    }
    if (m_readAgain) {
        m_readAgain = false;
        refresh();
    }
}

void BusAgent::scheduleRead()
{
    if (!m_settle->isActive())
        m_settle->start(m_options.settleMilliseconds);
}

void BusAgent::changeSignal(const QDBusMessage &message)
{
    if (!m_present)
        return; // the reading when it appears covers it
    if (isSlowChange(message)) {
        if (!m_slow->isActive() && !m_settle->isActive())
            m_slow->start();
        return;
    }
    scheduleRead();
}

void BusAgent::appeared()
{
    m_present = true;
    // The service registers its name before its objects are all in place.
    m_settle->start(m_options.appearanceMilliseconds);
}

void BusAgent::vanished()
{
    m_present = false;
    ++m_generation;
    m_readAgain = false;
    m_settle->stop();
    m_slow->stop();
    m_publish(readAbsent());
}

QVariant BusAgent::call(const QString &path, const QString &interface, const QString &method,
                        const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, m_options.callTimeoutMilliseconds);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariant();
    return plainValue(reply.arguments().constFirst());
}

QVariantMap BusAgent::properties(const QString &path, const QString &interface)
{
    if (path.isEmpty() || path == QLatin1String("/"))
        return QVariantMap();
    return call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"), {interface}).toMap();
}

} // namespace kv::desktop
