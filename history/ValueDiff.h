#pragma once

// How one property-list value differs from another, entry by entry.
//
// Dictionaries are compared key by key; arrays by position, with the fewest
// insertions and deletions that turn the old elements into the new ones, so
// that one element put in front is one entry added, not every element
// changed. An element deleted where another is inserted is one entry
// changed, looked into further when both are dictionaries or both arrays.
// Parts that are the same shared value (identity()) are skipped without
// being walked.
//
// An entry's path leads from the top down to it: dictionary keys and array
// indexes. An index is the element's position in the new array, for an
// element removed its position in the old one.

#include "platform/plist/PropertyListValue.h"

#include <QList>
#include <QString>

namespace kv::history {

// One step of an entry path: a dictionary key, or an array index.
struct PathStep
{
    QString key;          // when index < 0
    qsizetype index = -1; // an array index, or -1

    static PathStep ofKey(QString key) { return {std::move(key), -1}; }
    static PathStep ofIndex(qsizetype index) { return {QString(), index}; }
    bool isIndex() const { return index >= 0; }
    // The key, or the index as a decimal number.
    QString text() const { return isIndex() ? QString::number(index) : key; }

    friend bool operator==(const PathStep &, const PathStep &) = default;
};
using EntryPath = QList<PathStep>;

// The path as the program shows entry paths: its steps joined by " › "
// ("Addresses › 0"); empty for the value itself.
QString entryPathText(const EntryPath &path);

enum class DiffMark {
    Unchanged,
    Added,   // only in the new value
    Removed, // only in the old value
    Changed, // a scalar that differs, a value of another kind, or a
             // container with changes below it
};

// One difference: the entry's path, its old value (none when added) and its
// new value (none when removed).
struct DiffEntry
{
    EntryPath path;
    PropertyListValue oldValue;
    PropertyListValue newValue;
    DiffMark mark = DiffMark::Changed;
};

// The differences as a tree for a Key / Old / New view: the root stands for
// the values compared; a node's children are the entries below it that
// differ or hold differences, in the new value's order (removed entries
// where they were). Unchanged entries are not listed: only counted.
struct DiffNode
{
    PathStep step; // how the node is reached from its parent (nothing for the root)
    PropertyListValue oldValue;
    PropertyListValue newValue;
    DiffMark mark = DiffMark::Unchanged;
    QList<DiffNode> children;
    qsizetype unchangedChildren = 0; // entries of a changed container left out as unchanged
};

// The tree of differences from `oldValue` to `newValue`. Its root is marked
// Unchanged when they are equal (and has no children).
DiffNode diffTree(const PropertyListValue &oldValue, const PropertyListValue &newValue);

// The tree's differences as a flat list, from the top down, in the tree's
// order: every node without children that is not unchanged.
QList<DiffEntry> diffEntries(const DiffNode &tree);
// diffEntries(diffTree(oldValue, newValue)).
QList<DiffEntry> diffValues(const PropertyListValue &oldValue, const PropertyListValue &newValue);

// Whether two values are the same: the same shared data, or equal.
inline bool sameValue(const PropertyListValue &a, const PropertyListValue &b)
{
    return a.identity() == b.identity() || a == b;
}

} // namespace kv::history
