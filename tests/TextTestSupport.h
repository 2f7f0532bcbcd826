#pragma once

// Shared by the text viewer's tests: texts of many lines.

#include <QString>
#include <QStringList>

namespace texttest {

// A multi-line text: "line 0" ... "line <count - 1>".
inline QString numberedLines(int count)
{
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines.append(QStringLiteral("line %1").arg(i));
    return lines.join(u'\n');
}

} // namespace texttest
