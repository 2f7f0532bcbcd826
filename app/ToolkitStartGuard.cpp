#include "app/ToolkitStartGuard.h"

#include "platform/TextEscapes.h"

#include <cstdio>
#include <cstdlib>

namespace kv::app {

namespace {

void printLine(const QString &text)
{
    const QByteArray bytes = (text + u'\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

ToolkitStartGuard::ToolkitStartGuard()
{
    s_previous = qInstallMessageHandler(&ToolkitStartGuard::handle);
}

ToolkitStartGuard::~ToolkitStartGuard()
{
    qInstallMessageHandler(s_previous);
    for (const Held &message : std::as_const(s_held)) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        if (s_previous)
            s_previous(message.type, context, message.text);
        else
            printLine(qFormatLogMessage(message.type, context, message.text));
    }
    s_held.clear();
}

void ToolkitStartGuard::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        s_held.append({type, QByteArray(context.category), text});
        return;
    }
    // The first reason the platform gave, if it gave one, else the fatal text.
    QString reason = text.section(u'\n', 0, 0);
    for (const Held &message : std::as_const(s_held)) {
        if (message.category.startsWith("qt.qpa")) {
            reason = message.text;
            break;
        }
    }
    printLine(QStringLiteral("keyvane: cannot show a window: %1; keyvane-cli works in a terminal")
                  .arg(withLineEndsEscaped(reason)));
    std::_Exit(2);
}

} // namespace kv::app
