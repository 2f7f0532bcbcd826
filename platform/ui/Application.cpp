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
