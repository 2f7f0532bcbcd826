#include "platform/ui/Application.h"

#include <QCoreApplication>

namespace kv::ui {

namespace {
std::function<void(QObject *)> &terminateHandler()
{
    static std::function<void(QObject *)> handler;
    return handler;
}
} // namespace

void terminate(QObject *sender)
{
    if (terminateHandler()) {
        terminateHandler()(sender);
        return;
    }
    QCoreApplication::exit(0);
}

void setTerminateHandler(std::function<void(QObject *sender)> handler)
{
    terminateHandler() = std::move(handler);
}

} // namespace kv::ui

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kv::ui {

namespace {
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}
} // namespace

void quitOnTerminationSignals()
{
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        terminate(nullptr);
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

} // namespace kv::ui

#include <fontconfig/fontconfig.h>

namespace kv::ui {

FontConfigurationReadAhead::FontConfigurationReadAhead() : m_thread([] { FcInit(); })
{}

FontConfigurationReadAhead::~FontConfigurationReadAhead()
{
    wait();
}

void FontConfigurationReadAhead::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace kv::ui
