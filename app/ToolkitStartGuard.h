#pragma once

// Making the application object without a crash when there is no window
// system to reach.

#include <QList>
#include <QString>
#include <QtGlobal>

namespace kv::app {

// While this lives (as the application object is made), the toolkit's
// messages are held back, and a fatal one (no window system could be
// reached) ends the program with one line on standard error and status 2
// instead of an abort. Held messages are passed on when it goes.
class ToolkitStartGuard
{
public:
    ToolkitStartGuard();
    ~ToolkitStartGuard();
    ToolkitStartGuard(const ToolkitStartGuard &) = delete;
    ToolkitStartGuard &operator=(const ToolkitStartGuard &) = delete;

private:
    struct Held
    {
        QtMsgType type;
        QByteArray category;
        QString text;
    };
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    static inline QtMessageHandler s_previous = nullptr;
    static inline QList<Held> s_held;
};

} // namespace kv::app
