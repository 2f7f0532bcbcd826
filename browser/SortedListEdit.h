#pragma once

// One edit of a sorted key list, as made in one pass: runs of entries
// dropped and keys added, each told by its index in the list before the edit.
// Whoever keeps something parallel to the list (such as each key's
// decomposition) can make the same edit to it.

#include <QString>

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
};

} // namespace kv
