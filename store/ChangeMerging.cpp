// Merges a store change list into the key list, the console and the browser.

#include "app/KVNController.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "store/KeyListEdit.h"

#include <algorithm>
#include <vector>

namespace kv {

KeyListEdit::KeyListEdit(QStringList &list)
    : m_list(list), m_deferred(std::is_sorted(list.cbegin(), list.cend()))
{
}

KeyListEdit::~KeyListEdit()
{
    apply();
}

bool KeyListEdit::containsInList(const QString &key) const
{
    if (m_deferred)
        return std::binary_search(m_list.cbegin(), m_list.cend(), key);
    return m_list.contains(key);
}

bool KeyListEdit::isListed(const QString &key) const
{
    if (m_added.contains(key))
        return true;
    if (m_removed.contains(key))
        return false;
    return containsInList(key);
}

void KeyListEdit::remove(const QString &key)
{
    if (!m_deferred) {
        m_list.removeAll(key);
        return;
    }
    if (m_added.remove(key))
        return; // held back, never in the list
    if (containsInList(key))
        m_removed.insert(key);
}

void KeyListEdit::insert(const QString &key)
{
    if (!m_deferred) {
        qsizetype index = 0;
        while (index < m_list.size() && key > m_list.at(index))
            ++index;
        m_list.insert(index, key);
        return;
    }
    if (m_added.contains(key))
        return; // sorted lists hold each key once: nothing to add twice
    if (m_removed.remove(key))
        return; // its entry stays, at its place in order
    if (containsInList(key))
        return;
    m_added.insert(key);
}

void KeyListEdit::apply()
{
    if (m_removed.isEmpty() && m_added.isEmpty())
        return;
    std::vector<QString> added(m_added.cbegin(), m_added.cend());
    std::sort(added.begin(), added.end());

    QStringList result;
    result.reserve(m_list.size() - m_removed.size() + qsizetype(added.size()));
    auto next = added.cbegin();
    for (const QString &entry : std::as_const(m_list)) {
        if (!m_removed.isEmpty() && m_removed.contains(entry))
            continue;
        // An added key goes before the first entry it does not exceed.
        while (next != added.cend() && !(*next > entry))
            result.append(*next++);
        result.append(entry);
    }
    while (next != added.cend())
        result.append(*next++);
    m_list = std::move(result);
    m_removed.clear();
    m_added.clear();
}

} // namespace kv

void KVNController::storeNotification(const QStringList &changedKeys)
{
    if (browserUpdatePolicy != 1)
        return;

    // The current values of exactly the changed keys; those that no longer
    // exist are absent. No answer at all counts every key as gone.
    const std::optional<kv::PropertyListDictionary> values = kv::storeCopyMultiple(store.get(), &changedKeys, nullptr);

    bool keySetChanged = false;
    {
        kv::KeyListEdit keys(storeKeysList);
        for (const QString &key : changedKeys) {
            if (key.startsWith(kv::storeDomainPrefs))
                continue;
            const bool listed = keys.isListed(key);
            const bool valued = values && values->contains(key);
            if (listed && valued) {
                updateLog(key, LogKeyUpdated);
                if (kvnKey && key == kvnKey->stringValue()) {
                    // The displayed key: show its new value now, with the
                    // key list as edited so far.
                    keys.apply();
                    browserSingleClick(kvnBrowser);
                }
            } else if (listed) {
                updateLog(key, LogKeyRemoved);
                keys.remove(key);
                keySetChanged = true;
            } else if (valued) {
                updateLog(key, LogKeyAdded);
                keys.insert(key);
                keySetChanged = true;
            }
        }
    } // the key list is up to date from here on

    if (keySetChanged && kvnBrowser) {
        // Rebuild the columns and put the user back where they were, as far
        // as the path's titles still exist.
        const QString path = kvnBrowser->path();
        kvnBrowser->loadColumnZero();
        kvnBrowser->setPath(path);
        browserSingleClick(kvnBrowser);
    }
}
