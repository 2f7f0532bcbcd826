#pragma once

// One desktop agent: a service on the bus, read whole after its change
// signals settle. Readings after the first are made on a thread of their own
// (a service that is slow to answer must not hold up the event loop); their
// keys are published on the agent's thread.

#include "platform/desktop/DesktopAgents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariantMap>

#include <thread>

class QDBusServiceWatcher;
class QTimer;

namespace kv::desktop {

class BusAgent : public QObject
{
    Q_OBJECT
public:
    using Publish = std::function<void(const KeyValues &fresh)>;

    BusAgent(const QDBusConnection &bus, const QString &service, const DesktopOptions &options, Publish publish);
    ~BusAgent() override;

    const QString &service() const { return m_service; }
    // Reads now when the service is present; logs one line when it is not.
    virtual void start();
    // Waits for the reading underway; called before an agent is destroyed
    // (its reading calls the agent's read()).
    void finish();
    int readings() const { return m_readings; }

protected:
    // A whole reading of the service (called on the reading thread but for
    // the first one: it may only use the bus and the options).
    virtual KeyValues read() = 0;
    // The keys while the service is not on the bus (read on the agent's
    // thread).
    virtual KeyValues readAbsent() { return KeyValues(); }
    // Whether a change signal may wait for the slow timer (signal strength).
    virtual bool isSlowChange(const QDBusMessage &) const { return false; }

    // Follows a signal of the service, from any of its objects.
    void follow(const QString &interface, const QString &name);
    void refresh();
    void scheduleRead();

    // Calls made while reading; failures give empty results.
    QVariant call(const QString &path, const QString &interface, const QString &method,
                  const QVariantList &arguments = QVariantList());
    QVariantMap properties(const QString &path, const QString &interface);

    QDBusConnection m_bus;
    QString m_service;
    DesktopOptions m_options;

private Q_SLOTS:
    void changeSignal(const QDBusMessage &message);

private:
    void appeared();
    void vanished();
    void readingDone(const KeyValues &keys, int generation);

    Publish m_publish;
    QDBusServiceWatcher *m_watcher = nullptr;
    QTimer *m_settle = nullptr;
    QTimer *m_slow = nullptr;
    int m_readings = 0;
    bool m_present = false;
    // The reading underway, if any; one more is due after it when changes
    // arrived meanwhile. Readings of an earlier presence are dropped.
    std::thread m_reader;
    bool m_readAgain = false;
    int m_generation = 0;
};

// The agents' constructors (each in its own file).
std::unique_ptr<BusAgent> makeNetworkManagerAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                                  BusAgent::Publish publish);
std::unique_ptr<BusAgent> makeLoginAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                         BusAgent::Publish publish);
std::unique_ptr<BusAgent> makeTimeAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                        BusAgent::Publish publish);
std::unique_ptr<BusAgent> makePowerAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                         BusAgent::Publish publish);
std::unique_ptr<BusAgent> makeResolverAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                            BusAgent::Publish publish);

} // namespace kv::desktop
