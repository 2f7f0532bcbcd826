#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace kv {

// The system log: one line per report, exactly the text given, written to
// standard error.
void systemLog(const QString &line);

// Tests capture the lines instead: while a capture is alive, lines go to it
// (and not to standard error).
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
    friend void systemLog(const QString &line);
    QStringList m_lines;
    SystemLogCapture *m_previous;
};

} // namespace kv
