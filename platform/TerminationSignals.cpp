#include "platform/TerminationSignals.h"

#include "platform/ErrnoText.h"
#include "platform/UniqueFd.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace {

constexpr int CaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The pipe's ends while a TerminationSignals lives (the handler can reach
// nothing else).
UniqueFd readEnd;
UniqueFd writeEnd;
struct sigaction previousActions[std::size(CaughtSignals)];

extern "C" void onTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(writeEnd.get(), &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(std::function<void()> onSignal, QObject *parent)
    : QObject(parent), m_onSignal(std::move(onSignal))
{
    if (readEnd.isValid()) {
        m_error = QStringLiteral("termination signals are caught already");
        return;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = QStringLiteral("cannot make a pipe for signals: %1").arg(errnoText());
        return;
    }
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    m_notifier = new QSocketNotifier(readEnd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readable);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(CaughtSignals); ++i) {
        if (::sigaction(CaughtSignals[i], &action, &previousActions[i]) != 0) {
            m_error = QStringLiteral("cannot catch signal %1: %2").arg(CaughtSignals[i]).arg(errnoText());
            for (std::size_t j = 0; j < i; ++j)
                ::sigaction(CaughtSignals[j], &previousActions[j], nullptr);
            delete m_notifier;
            m_notifier = nullptr;
            readEnd.reset();
            writeEnd.reset();
            return;
        }
    }
    m_active = true;
}

TerminationSignals::~TerminationSignals()
{
    if (!m_active)
        return;
    for (std::size_t i = 0; i < std::size(CaughtSignals); ++i)
        ::sigaction(CaughtSignals[i], &previousActions[i], nullptr);
    delete m_notifier; // before its descriptor closes
    readEnd.reset();
    writeEnd.reset();
}

void TerminationSignals::readable()
{
    char buffer[16];
    while (::read(readEnd.get(), buffer, sizeof buffer) > 0) {
    }
    if (m_onSignal)
        m_onSignal();
}

} // namespace kv
