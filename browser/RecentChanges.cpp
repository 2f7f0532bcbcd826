#include "browser/RecentChanges.h"

#include "platform/Utf16Scan.h"

#include <algorithm>
#include <vector>

namespace kv::browser {

size_t RecentChanges::appendComponent(size_t name, const ComponentView &component)
{
    // FNV-1a over the component's code units (they are few: a general
    // string hash's setup would cost more than its work), chained to the
    // row before, then mixed (MurmurHash3's finalizer) so that every bit of
    // the name depends on every bit of its input.
    quint64 h = 0xcbf29ce484222325ull ^ (component.slash ? 1 : 0) ^ (component.colon ? 2 : 0);
    for (const QChar c : component.text) {
        h ^= c.unicode();
        h *= 0x100000001b3ull;
    }
    h ^= quint64(name) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return size_t(h);
}

void RecentChanges::noteChanged(const QStringList &keys, qint64 now, const std::vector<qsizetype> &order)
{
    // Keys changed one after another often begin alike: the rows their first
    // components lead through are named once, for the first of them. The
    // names are found first, then marked: a long list is memory-bound, and
    // the next texts and slots are asked for a few places ahead.
    const bool ordered = order.size() == size_t(keys.size());
    std::vector<ComponentView> views, before;
    std::vector<size_t> names; // the rows of `before`, by component
    std::vector<size_t> rows;  // every row to mark, in order
    constexpr qsizetype Ahead = 8;
    for (qsizetype k = 0; k < keys.size(); ++k) {
        if (k + Ahead < keys.size()) {
            prefetchText(keys.at(ordered ? order[size_t(k + Ahead)] : k + Ahead).constData());
        }
        componentViews(keys.at(ordered ? order[size_t(k)] : k), views);
        size_t same = 0;
        while (same < views.size() && same < before.size() && views[same].slash == before[same].slash
               && views[same].colon == before[same].colon && views[same].text == before[same].text)
            ++same;
        names.resize(views.size());
        for (size_t i = same; i < views.size(); ++i) {
            names[i] = appendComponent(i == 0 ? 0 : names[i - 1], views[i]);
            rows.push_back(names[i]);
        }
        std::swap(views, before);
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i + Ahead < rows.size())
            m_rows.prefetch(rows[i + Ahead]);
        qint64 &latest = m_rows.findOrInsert(rows[i]).first;
        latest = std::max(latest, now);
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
        name = appendComponent(name, key->componentView(i));
    const qint64 *latest = m_rows.find(name);
    if (!latest)
        return 0;
    const qint64 age = now - *latest;
    return age < 0 ? 1 : age >= Span ? 0 : 1 - qreal(age) / qreal(Span);
}

void RecentChanges::forgetOlderThanSpan(qint64 now)
{
    m_rows.removeIf([now](quint64, qint64 latest) { return now - latest >= Span; });
    if (m_rows.isEmpty())
        m_latest = -1;
}

} // namespace kv::browser
