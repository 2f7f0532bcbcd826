#include "store/KeyListEdit.h"

#include <QSysInfo>
#include <QtAlgorithms>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kv::store {

namespace {

// How many code units a and b have in common at the start, given that they
// share at least `from` and that `shorter` is the shorter one's length. Four
// code units are compared at a time while four are left.
qsizetype commonLength(const char16_t *a, const char16_t *b, qsizetype from, qsizetype shorter)
{
    qsizetype at = from;
    if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
        for (; at + 4 <= shorter; at += 4) {
            quint64 x, y;
            std::memcpy(&x, a + at, sizeof x);
            std::memcpy(&y, b + at, sizeof y);
            if (x != y) // the lowest differing bits are in the first unit that differs
                return at + qCountTrailingZeroBits(x ^ y) / 16;
        }
    }
    while (at < shorter && a[at] == b[at])
        ++at;
    return at;
}

} // namespace

qsizetype lowerBoundSharingPrefixes(const QStringList &sorted, QStringView key)
{
    const char16_t *const k = key.utf16();
    const qsizetype keySize = key.size();
    // Every entry in [low, high) lies between sorted[low - 1] and
    // sorted[high], so it shares with the key at least the shorter of the
    // prefixes those two share with it.
    qsizetype low = 0, high = sorted.size();
    qsizetype sharedLow = 0, sharedHigh = 0;
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        const QString &entry = sorted.at(middle);
        const char16_t *const e = reinterpret_cast<const char16_t *>(entry.constData());
        const qsizetype shorter = std::min(keySize, entry.size());
        const qsizetype at = commonLength(e, k, std::min(sharedLow, sharedHigh), shorter);
        const bool less = at == shorter ? entry.size() < keySize : e[at] < k[at];
        if (less) {
            low = middle + 1;
            sharedLow = at;
        } else {
            high = middle;
            sharedHigh = at;
        }
    }
    return low;
}

std::pair<qsizetype, qsizetype> KeyListEdit::equalRange(const QString &key)
{
    if (m_lastRange.first < 0 || key != m_lastKey) {
        const qsizetype first = lowerBoundSharingPrefixes(m_list, key);
        qsizetype last = first;
        while (last < m_list.size() && m_list.at(last) == key)
            ++last;
        m_lastKey = key;
        m_lastRange = {first, last};
    }
    return m_lastRange;
}

bool KeyListEdit::isListed(const QString &key)
{
    if (const auto held = m_held.constFind(key); held != m_held.cend())
        return held->addedAt >= 0;
    const auto range = equalRange(key);
    return range.first != range.second;
}

void KeyListEdit::remove(const QString &key)
{
    if (const auto held = m_held.find(key); held != m_held.end()) {
        // An added key: any entries it had are dropped already.
        if (held->removed.first == held->removed.second)
            m_held.erase(held);
        else
            held->addedAt = -1;
        return;
    }
    const auto range = equalRange(key);
    if (range.first != range.second)
        m_held.insert(key, {range, -1});
}

void KeyListEdit::insert(const QString &key)
{
    if (const auto held = m_held.find(key); held != m_held.end()) {
        // A removed key's entries stay dropped; it comes back once, in their place.
        if (held->addedAt < 0)
            held->addedAt = held->removed.first;
        return;
    }
    const auto range = equalRange(key);
    if (range.first != range.second)
        return; // listed already
    m_held.insert(key, {{0, 0}, range.first});
}

SortedListEdit KeyListEdit::apply()
{
    SortedListEdit edit;
    if (m_held.isEmpty())
        return edit;
    // Where each removal starts and ends, and each added key with the index
    // it goes before (keys going before the same index in ascending order).
    std::vector<std::pair<qsizetype, qsizetype>> removed;
    removed.reserve(size_t(m_held.size()));
    edit.added.reserve(size_t(m_held.size()));
    for (auto it = m_held.cbegin(); it != m_held.cend(); ++it) {
        if (it->removed.first != it->removed.second)
            removed.push_back(it->removed);
        if (it->addedAt >= 0)
            edit.added.emplace_back(it->addedAt, it.key());
    }
    std::sort(removed.begin(), removed.end());
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
    m_held.clear();
    m_lastRange = {-1, -1};
    return edit;
}

} // namespace kv::store
