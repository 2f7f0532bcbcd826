#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace kv {

// The system log: one line per report, written to standard error. The line
// is exactly the text given, but for line ends inside it, which are written
// as escapes ("\n" as a backslash and an n; see withLineEndsEscaped).
void systemLog(const QString &text);

// Tests capture the lines instead: while a capture is alive, lines go to it
// as they would be written (and not to standard error).
class SystemLogCapture
{
public:
    SystemLogCapture();
    ~SystemLogCapture();
    SystemLogCapture(const SystemLogCapture &) = delete;
    SystemLogCapture &operator=(const SystemLogCapture &) = delete;

    const QStringList &lines() const { return m_lines; }
    void clear() { m_lines.clear(); }

private:
    friend void systemLog(const QString &text);
    QStringList m_lines;
    SystemLogCapture *m_previous;
};

} // namespace kv
