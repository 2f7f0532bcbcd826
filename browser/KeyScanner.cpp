#include "browser/KeyScanner.h"

namespace kv {

bool containsSkippableCharacter(QStringView text)
{
    for (const QChar ch : text) {
        if (isSkippableCharacter(ch.unicode()))
            return true;
    }
    return false;
}

qsizetype KeyScanner::skipped() const
{
    qsizetype at = m_location;
    while (at < m_text.size() && isSkippableCharacter(m_text[at].unicode()))
        ++at;
    return at;
}

bool KeyScanner::scanUpToString(QStringView stop, QStringView *into)
{
    const qsizetype start = skipped();
    qsizetype end = stop.isEmpty() ? -1 : m_text.indexOf(stop, start);
    if (end < 0)
        end = m_text.size();
    if (end == start)
        return false;
    if (into)
        *into = m_text.sliced(start, end - start);
    m_location = end;
    return true;
}

bool KeyScanner::scanString(QStringView string)
{
    const qsizetype start = skipped();
    if (!m_text.sliced(start).startsWith(string))
        return false;
    m_location = start + string.size();
    return true;
}

bool KeyScanner::isAtEnd() const
{
    return skipped() == m_text.size();
}

} // namespace kv
