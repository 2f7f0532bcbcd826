// Merges a store change list into the key list, the console and the browser.

#include "app/KVNController.h"
#include "console/ConsoleLog.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "store/KeyListEdit.h"

#include <QSet>

#include <algorithm>
#include <vector>

namespace kv {

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

void KeyListEdit::apply()
{
    if (m_removed.isEmpty() && m_added.isEmpty())
        return;
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

    // One pass that moves the entries, touching no key's characters.
    QStringList result;
    result.reserve(m_list.size() - removedCount + qsizetype(added.size()));
    auto nextRemoved = removed.cbegin();
    auto nextAdded = added.begin();
    const qsizetype count = m_list.size();
    for (qsizetype i = 0; i < count; ++i) {
        while (nextAdded != added.end() && nextAdded->first == i)
            result.append(std::move((nextAdded++)->second));
        if (nextRemoved != removed.cend() && i >= nextRemoved->first) {
            if (i + 1 >= nextRemoved->second)
                ++nextRemoved;
            continue;
        }
        result.append(std::move(m_list[i]));
    }
    while (nextAdded != added.end())
        result.append(std::move((nextAdded++)->second));
    m_list = std::move(result);
    m_removed.clear();
    m_added.clear();
    m_lastRange = {-1, -1};
}

} // namespace kv

void KVNController::storeNotification(const QStringList &changedKeys)
{
    if (browserUpdatePolicy != 1)
        return;

    // The current values of exactly the changed keys; those that no longer
    // exist are absent. No answer at all counts every key as gone.
    const std::optional<kv::PropertyListDictionary> values = kv::storeCopyMultiple(store.get(), &changedKeys, nullptr);
    QSet<QString> valued;
    if (values) {
        valued.reserve(values->size());
        for (auto it = values->keyBegin(); it != values->keyEnd(); ++it)
            valued.insert(*it);
    }

    bool keySetChanged = false;
    {
        // The console lines are written, and the key list edited, as one
        // piece each when the walk is over; nothing on the way reads them.
        kv::console::LogBatch lines(this);
        kv::KeyListEdit keys(storeKeysList);
        for (const QString &key : changedKeys) {
            if (key.startsWith(kv::storeDomainPrefs))
                continue;
            const bool listed = keys.isListed(key);
            const bool isValued = valued.contains(key);
            if (listed && isValued) {
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
            } else if (isValued) {
                updateLog(key, LogKeyAdded);
                keys.insert(key);
                keySetChanged = true;
            }
        }
    } // the key list and the console are up to date from here on

    if (keySetChanged && kvnBrowser) {
        // Rebuild the columns and put the user back where they were, as far
        // as the path's titles still exist.
        const QString path = kvnBrowser->path();
        kvnBrowser->loadColumnZero();
        kvnBrowser->setPath(path);
        browserSingleClick(kvnBrowser);
    }
}
