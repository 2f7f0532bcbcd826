#pragma once

// One edit of a sorted key list, as made in one pass: runs of entries
// dropped and keys added, each told by its index in the list before the edit.
// Whoever keeps something parallel to the list (such as each key's
// decomposition) can make the same edit to it.

#include <QList>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace kv {

struct SortedListEdit
{
    // Runs [first, last) of the list before the edit, ascending, disjoint,
    // not meeting.
    std::vector<std::pair<qsizetype, qsizetype>> removed;
    // Keys added, each with the index of the list before the edit that it
    // goes before (the list's size: at the end), ascending; keys going before
    // the same index are in ascending order.
    std::vector<std::pair<qsizetype, QString>> added;

    bool isEmpty() const { return removed.empty() && added.empty(); }
    // Entries the edit removes.
    qsizetype removedCount() const
    {
        qsizetype n = 0;
        for (const auto &run : removed)
            n += run.second - run.first;
        return n;
    }
};

namespace detail {

template<class T>
struct IsQList : std::false_type
{};
template<class T>
struct IsQList<QList<T>> : std::true_type
{};

// Erases [first, last) of `list`. A QList drops entries at its front
// without moving the rest: a run nearer the front than the end is erased by
// moving the entries before it instead of those after it.
template<class List>
void eraseTowardNearerEnd(List &list, qsizetype first, qsizetype last)
{
    if constexpr (IsQList<List>::value) {
        if (first < qsizetype(list.size()) - last) {
            std::move_backward(list.begin(), list.begin() + first, list.begin() + last);
            list.erase(list.begin(), list.begin() + (last - first));
            return;
        }
    }
    list.erase(list.begin() + first, list.begin() + last);
}

} // namespace detail

// Up to this many runs removed and keys added, a list is edited in place;
// each such edit moves the entries after it, so more are made in one pass.
inline constexpr std::size_t SortedListInPlaceEdits = 8;

// Makes `edit` to `list`, a list parallel to the edited one (the keys
// themselves, or something made of each): `make(key)` gives the entry of an
// added key. A few edits are made in place, from the end, so that each moves
// only the entries after it (a new list would be written in full, and its
// memory touched for the first time); more are made in one pass moving the
// kept entries.
template<class List, class Make>
void applySortedListEdit(List &list, const SortedListEdit &edit, Make make)
{
    const qsizetype count = qsizetype(list.size());
    if (edit.removed.size() + edit.added.size() <= SortedListInPlaceEdits) {
        auto nextRemoved = edit.removed.crbegin();
        auto nextAdded = edit.added.crbegin();
        while (nextRemoved != edit.removed.crend() || nextAdded != edit.added.crend()) {
            // A removal at or after an added key's index goes first: the key
            // goes before the entries there, removed or not. Keys before the
            // same index go in from the greatest, so that the others go in
            // front of it.
            if (nextRemoved != edit.removed.crend()
                && (nextAdded == edit.added.crend() || nextRemoved->first >= nextAdded->first)) {
                detail::eraseTowardNearerEnd(list, nextRemoved->first, nextRemoved->second);
                ++nextRemoved;
            } else {
                list.insert(list.begin() + nextAdded->first, make(nextAdded->second));
                ++nextAdded;
            }
        }
        return;
    }
    // The entries between one edit and the next are moved as one run.
    List result(count - edit.removedCount() + qsizetype(edit.added.size()));
    auto out = result.begin();
    const auto in = list.begin();
    auto nextRemoved = edit.removed.cbegin();
    auto nextAdded = edit.added.cbegin();
    qsizetype i = 0; // the next entry of the list
    for (;;) {
        while (nextAdded != edit.added.cend() && nextAdded->first == i)
            *out++ = make((nextAdded++)->second);
        if (i == count)
            break;
        // Up to the next added key's place, and within the list.
        qsizetype to = nextAdded != edit.added.cend() ? std::min(nextAdded->first, count) : count;
        if (nextRemoved != edit.removed.cend() && i >= nextRemoved->first) {
            i = std::max(i + 1, std::min(to, nextRemoved->second)); // dropped
            if (i >= nextRemoved->second)
                ++nextRemoved;
            continue;
        }
        if (nextRemoved != edit.removed.cend())
            to = std::min(to, nextRemoved->first);
        to = std::max(to, i + 1);
        out = std::move(in + i, in + to, out);
        i = to;
    }
    list = std::move(result);
}

} // namespace kv
