#include "store/KeyListEdit.h"

#include <algorithm>
#include <vector>

namespace kv::store {

namespace {
// Up to this many runs removed and keys added, a list is edited in place;
// each such edit moves the entries after it, so more are made in one pass.
constexpr size_t InPlaceEdits = 8;
} // namespace

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
    qsizetype removedCount = 0;
    for (auto it = m_removed.cbegin(); it != m_removed.cend(); ++it) {
        removed.push_back(it.value());
        removedCount += it.value().second - it.value().first;
    }
    std::sort(removed.begin(), removed.end());

    std::vector<std::pair<qsizetype, QString>> added;
    added.reserve(size_t(m_added.size()));
    for (auto it = m_added.cbegin(); it != m_added.cend(); ++it)
        added.emplace_back(it.value(), it.key());
    std::sort(added.begin(), added.end());
    // Runs that meet are one run, unless a key goes in between them.
    std::vector<std::pair<qsizetype, qsizetype>> runs;
    runs.reserve(removed.size());
    for (const auto &run : removed) {
        const auto at = std::lower_bound(added.cbegin(), added.cend(), run.first,
                                         [](const auto &key, qsizetype index) { return key.first < index; });
        const bool keyBetween = at != added.cend() && at->first == run.first;
        if (!runs.empty() && runs.back().second == run.first && !keyBetween)
            runs.back().second = run.second;
        else
            runs.push_back(run);
    }
    removed = std::move(runs);

    if (removed.size() + added.size() <= InPlaceEdits) {
        // A few edits of a long list: made in place, from the end, so that
        // each moves only the entries after it (a new list would be written
        // in full, and its memory touched for the first time).
        auto nextRemoved = removed.crbegin();
        auto nextAdded = added.crbegin();
        while (nextRemoved != removed.crend() || nextAdded != added.crend()) {
            // A removal at or after an added key's index goes first: the key
            // goes before the entries there, removed or not.
            if (nextRemoved != removed.crend()
                && (nextAdded == added.crend() || nextRemoved->first >= nextAdded->first)) {
                m_list.remove(nextRemoved->first, nextRemoved->second - nextRemoved->first);
                ++nextRemoved;
            } else {
                // Keys before the same index: the greatest first, so that the
                // others go in front of it.
                m_list.insert(nextAdded->first, nextAdded->second);
                ++nextAdded;
            }
        }
    } else {
        // One pass that moves the entries, touching no key's characters.
        QStringList result;
        result.reserve(m_list.size() - removedCount + qsizetype(added.size()));
        auto nextRemoved = removed.cbegin();
        auto nextAdded = added.begin();
        const qsizetype count = m_list.size();
        for (qsizetype i = 0; i < count; ++i) {
            while (nextAdded != added.end() && nextAdded->first == i)
                result.append(nextAdded++->second); // shared, not copied
            if (nextRemoved != removed.cend() && i >= nextRemoved->first) {
                if (i + 1 >= nextRemoved->second)
                    ++nextRemoved;
                continue;
            }
            result.append(std::move(m_list[i]));
        }
        while (nextAdded != added.end())
            result.append(nextAdded++->second);
        m_list = std::move(result);
    }
    m_removed.clear();
    m_added.clear();
    m_lastRange = {-1, -1};
    edit.removed = std::move(removed);
    edit.added = std::move(added);
    return edit;
}

} // namespace kv::store
