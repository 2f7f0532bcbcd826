#pragma once

// Ending a program cleanly on SIGINT, SIGTERM and SIGHUP: the signal is
// turned into a call on the event loop, where anything may be done (a signal
// handler may do next to nothing safely).

#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;

namespace kv {

class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // While this lives, each of the three signals calls `onSignal` from the
    // event loop of the thread it was made on. The handler only writes a byte
    // to a pipe (keeping errno as it was); what the signals did before comes
    // back when this goes. One at a time per process.
    explicit TerminationSignals(std::function<void()> onSignal, QObject *parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

    // False when the signals could not be caught; error() says why.
    bool isActive() const { return m_active; }
    QString error() const { return m_error; }

private:
    void readable();

    std::function<void()> m_onSignal;
    QSocketNotifier *m_notifier = nullptr;
    bool m_active = false;
    QString m_error;
};

} // namespace kv
