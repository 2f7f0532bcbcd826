#pragma once

// Edits a sorted key list as a run of single-key operations (is the key
// listed, remove it, insert it in order) whose list changes are held back and
// made in one pass by apply(). The list that results, and every answer of
// isListed() on the way, is the same as if each operation had been made on
// the list at once; many edits of a long list then cost one pass over it
// instead of one move of the list per key.
//
// The list must be sorted ascending (QString operator<), as the controller's
// key list always is, and must not change while the edit holds changes back.

#include "browser/SortedListEdit.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace kv::store {

// The index of the first entry of `sorted` (ascending, QString operator<)
// that is not less than `key`. Each comparison starts after the characters
// the key is known to share with both ends of the range still searched:
// store keys share long prefixes, which a plain search compares again at
// every step.
qsizetype lowerBoundSharingPrefixes(const QStringList &sorted, QStringView key);

class KeyListEdit
{
public:
    explicit KeyListEdit(QStringList &list) : m_list(list) {}
    // Applies what is still held back.
    ~KeyListEdit() { apply(); }
    KeyListEdit(const KeyListEdit &) = delete;
    KeyListEdit &operator=(const KeyListEdit &) = delete;

    // Searches the list for each of `keys` now, all together (their memory
    // reads overlap); the operations that follow on those keys, in their
    // order, take what was found. Until apply(), which drops it.
    void searchAhead(const QStringList &keys);
    // The keys last searched for ahead, in the list's order: their indices
    // in `keys`, by where each was found (and by text where two were found
    // at the same place). Sorts only what the search found.
    std::vector<qsizetype> aheadInListOrder() const;
    // Whether the list, as edited so far, holds the key.
    bool isListed(const QString &key);
    // Removes every entry equal to the key.
    void remove(const QString &key);
    // Inserts the key before the first entry it does not exceed (at the end
    // when it exceeds them all). The key must not be listed.
    void insert(const QString &key);
    // Brings the list up to date with the edits made so far, and says what
    // was done to it.
    SortedListEdit apply();

private:
    // The entries of the unedited list equal to `key`: [first, last).
    std::pair<qsizetype, qsizetype> equalRange(const QString &key);

    QStringList &m_list;
    // What is held back for a key: its entries to drop, as an index range of
    // m_list (empty when none), and whether it is to be added, before the
    // index of m_list `addedAt`. A key removed and added again has both.
    struct Held
    {
        std::pair<qsizetype, qsizetype> removed{0, 0};
        qsizetype addedAt = -1;
    };
    QHash<QString, Held> m_held;
    // The last search, which the edit that follows it reuses.
    QString m_lastKey;
    std::pair<qsizetype, qsizetype> m_lastRange{-1, -1};
    // What searchAhead() found for each of its keys, and the next to ask for.
    QStringList m_aheadKeys;
    std::vector<std::pair<qsizetype, qsizetype>> m_ahead;
    qsizetype m_aheadNext = 0;
};

} // namespace kv::store
