#include "platform/SystemLog.h"

#include "platform/TextEscapes.h"

#include <cstdio>

namespace kv {

namespace {
SystemLogCapture *currentCapture = nullptr;
}

void systemLog(const QString &text)
{
    // One report, one line: line ends inside the text (a path or an error
    // text may hold some) are written as escapes.
    const QString line = withLineEndsEscaped(text);
    if (currentCapture) {
        currentCapture->m_lines.append(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

SystemLogCapture::SystemLogCapture() : m_previous(currentCapture)
{
    currentCapture = this;
}

SystemLogCapture::~SystemLogCapture()
{
    currentCapture = m_previous;
}

} // namespace kv
