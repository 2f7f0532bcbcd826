#pragma once

// Edits a sorted key list as a run of single-key operations (is the key
// listed, remove it, insert it in order) whose list changes are held back and
// applied in one merge pass by apply(). The list that results, and every
// answer of isListed() on the way, is the same as if each operation had been
// made on the list at once; many edits of a long list then cost one pass
// instead of one move of the list per key.
//
// The list must be sorted ascending (QString operator<) for the held-back
// mode; a list that is not sorted is edited at once, key by key (remove
// every equal entry; insert before the first entry the key does not exceed).

#include <QSet>
#include <QString>
#include <QStringList>

namespace kv {

class KeyListEdit
{
public:
    explicit KeyListEdit(QStringList &list);
    // Applies what is still held back.
    ~KeyListEdit();
    KeyListEdit(const KeyListEdit &) = delete;
    KeyListEdit &operator=(const KeyListEdit &) = delete;

    // Whether the list, as edited so far, holds the key.
    bool isListed(const QString &key) const;
    // Removes every entry equal to the key.
    void remove(const QString &key);
    // Inserts the key before the first entry it does not exceed (at the end
    // when it exceeds them all).
    void insert(const QString &key);
    // Brings the list up to date with the edits made so far.
    void apply();

private:
    bool containsInList(const QString &key) const;

    QStringList &m_list;
    bool m_deferred;
    // Held back: keys of m_list to drop, and keys to add (none of them in
    // m_list, each once).
    QSet<QString> m_removed;
    QSet<QString> m_added;
};

} // namespace kv
