#include "browser/RecentChanges.h"

#include <algorithm>

namespace kv::browser {

size_t RecentChanges::appendComponent(size_t name, const DecomposedKey &key, int i)
{
    const ComponentView view = key.componentView(i);
    return qHashMulti(name, view.text, view.slash, view.colon);
}

void RecentChanges::noteChanged(const QStringList &keys, qint64 now)
{
    for (const QString &key : keys) {
        const DecomposedKeyPtr decomposed = decomposedString(key);
        size_t name = 0;
        for (int i = 0; i < decomposed->count(); ++i) {
            name = appendComponent(name, *decomposed, i);
            qint64 &latest = m_rows[name];
            latest = std::max(latest, now);
        }
    }
    if (!keys.isEmpty())
        m_latest = std::max(m_latest, now);
}

qreal RecentChanges::activity(const BranchNode &node, int column, qint64 now) const
{
    if (!isActive(now))
        return 0;
    // Every key of the row has the same components up to `column`.
    const DecomposedKey *key = node.key                           ? node.key.get()
                               : node.leaf && !node.leaf->empty() ? node.leaf->front().get()
                                                                  : nullptr;
    if (!key || key->count() <= column)
        return 0;
    size_t name = 0;
    for (int i = 0; i <= column; ++i)
        name = appendComponent(name, *key, i);
    const auto it = m_rows.constFind(name);
    if (it == m_rows.constEnd())
        return 0;
    const qint64 age = now - *it;
    return age < 0 ? 1 : age >= Span ? 0 : 1 - qreal(age) / qreal(Span);
}

void RecentChanges::forgetOlderThanSpan(qint64 now)
{
    m_rows.removeIf([now](const QHash<size_t, qint64>::iterator it) { return now - it.value() >= Span; });
    if (m_rows.isEmpty())
        m_latest = -1;
}

} // namespace kv::browser
