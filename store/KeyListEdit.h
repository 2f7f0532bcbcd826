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

class KeyListEdit
{
public:
    explicit KeyListEdit(QStringList &list) : m_list(list) {}
    // Applies what is still held back.
    ~KeyListEdit() { apply(); }
    KeyListEdit(const KeyListEdit &) = delete;
    KeyListEdit &operator=(const KeyListEdit &) = delete;

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
    // Held back: the entries to drop, by key, as index ranges of m_list; and
    // the keys to add, each with the index of m_list it goes before.
    QHash<QString, std::pair<qsizetype, qsizetype>> m_removed;
    QHash<QString, qsizetype> m_added;
    // The last search, which the edit that follows it reuses.
    QString m_lastKey;
    std::pair<qsizetype, qsizetype> m_lastRange{-1, -1};
};

} // namespace kv::store
