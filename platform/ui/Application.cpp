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
