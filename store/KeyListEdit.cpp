#include "store/KeyListEdit.h"

#include <algorithm>
#include <vector>

namespace kv::store {

std::pair<qsizetype, qsizetype> KeyListEdit::equalRange(const QString &key)
{
    if (m_lastRange.first < 0 || key != m_lastKey) {
        const auto first = std::lower_bound(m_list.cbegin(), m_list.cend(), key);
        auto last = first;
        while (last != m_list.cend() && *last == key)
            ++last;
        m_lastKey = key;
        m_lastRange = {first - m_list.cbegin(), last - m_list.cbegin()};
    }
    return m_lastRange;
}

bool KeyListEdit::isListed(const QString &key)
{
    if (m_added.contains(key))
        return true;
    if (m_removed.contains(key))
        return false;
    const auto range = equalRange(key);
    return range.first != range.second;
}

void KeyListEdit::remove(const QString &key)
{
    if (m_added.remove(key))
        return; // an added key; any entries it had are dropped already
    const auto range = equalRange(key);
    if (range.first != range.second)
        m_removed.insert(key, range);
}

void KeyListEdit::insert(const QString &key)
{
    if (m_added.contains(key))
        return;
    if (const auto removed = m_removed.constFind(key); removed != m_removed.cend()) {
        // Its entries stay dropped; the key comes back once, in their place.
        m_added.insert(key, removed->first);
        return;
    }
    const auto range = equalRange(key);
    if (range.first != range.second)
        return; // listed already
    m_added.insert(key, range.first);
}

SortedListEdit KeyListEdit::apply()
{
    SortedListEdit edit;
    if (m_removed.isEmpty() && m_added.isEmpty())
        return edit;
    // Where each removal starts and ends, and each added key with the index
    // it goes before (keys going before the same index in ascending order).
    std::vector<std::pair<qsizetype, qsizetype>> removed;
    removed.reserve(size_t(m_removed.size()));
    for (auto it = m_removed.cbegin(); it != m_removed.cend(); ++it)
        removed.push_back(it.value());
    std::sort(removed.begin(), removed.end());

    edit.added.reserve(size_t(m_added.size()));
    for (auto it = m_added.cbegin(); it != m_added.cend(); ++it)
        edit.added.emplace_back(it.value(), it.key());
    std::sort(edit.added.begin(), edit.added.end());
    // Runs that meet are one run, unless a key goes in between them.
    edit.removed.reserve(removed.size());
    for (const auto &run : removed) {
        const auto at = std::lower_bound(edit.added.cbegin(), edit.added.cend(), run.first,
                                         [](const auto &key, qsizetype index) { return key.first < index; });
        const bool keyBetween = at != edit.added.cend() && at->first == run.first;
        if (!edit.removed.empty() && edit.removed.back().second == run.first && !keyBetween)
            edit.removed.back().second = run.second;
        else
            edit.removed.push_back(run);
    }

    // Touching no key's characters: added keys share their text.
    applySortedListEdit(m_list, edit, [](const QString &key) { return key; });
    m_removed.clear();
    m_added.clear();
    m_lastRange = {-1, -1};
    return edit;
}

} // namespace kv::store
