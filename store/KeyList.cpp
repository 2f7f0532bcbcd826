#include "store/KeyList.h"

#include "console/ConsoleLog.h"
#include "inspector/ValueInspector.h"
#include "platform/SystemLog.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "store/KeyListEdit.h"

#include <QSet>

#include <algorithm>

namespace kv::store {

std::function<std::optional<QStringList>(StoreConnection *, const QString &)> keyListRequestOverride;

namespace {
const QString AllKeysPattern = QStringLiteral(".*");
}

KeyList::KeyList(const Fields &fields, console::ConsoleLog &console, inspector::ValueInspector &inspector)
    : m_fields(fields), m_console(console), m_inspector(inspector)
{}

bool KeyList::setStoreNotification()
{
    const QStringList patterns{AllKeysPattern};
    if (!storeSetNotificationKeys(m_fields.store.get(), nullptr, &patterns))
        return false;
    const std::shared_ptr<StoreRunLoopSource> source = storeCreateRunLoopSource(m_fields.store.get(), 0);
    if (!source)
        return false;
    // The event loop keeps the source from now on.
    storeRunLoopAddSource(source);
    return true;
}

void KeyList::getStoreKeysList()
{
    std::optional<QStringList> keys = keyListRequestOverride
                                          ? keyListRequestOverride(m_fields.store.get(), AllKeysPattern)
                                          : storeCopyKeyList(m_fields.store.get(), AllKeysPattern);
    if (!keys) {
        // The previous list stays.
        const int code = storeError();
        if (code != 0)
            systemLog(storeErrorString(code));
        else
            systemLog(QStringLiteral("There are no keys in configuration store"));
        return;
    }
    QStringList &list = m_fields.storeKeysList;
    list = std::move(*keys);
    // Case-sensitive, code unit by code unit: upper case before lower case
    // (the store lists its keys in this order already).
    if (!std::is_sorted(list.cbegin(), list.cend()))
        std::sort(list.begin(), list.end());
}

void KeyList::reloadKeys()
{
    if (m_fields.kvnKey)
        m_fields.kvnKey->setStringValue(QStringLiteral("none"));
    m_inspector.clearValueDisplays();
    getStoreKeysList();
    if (m_fields.kvnBrowser)
        m_fields.kvnBrowser->loadColumnZero();
}

void KeyList::storeNotification(const QStringList &changedKeys)
{
    if (m_fields.browserUpdatePolicy != 1)
        return;

    // The current values of exactly the changed keys; those that no longer
    // exist are absent. No answer at all counts every key as gone.
    const std::optional<PropertyListDictionary> values = storeCopyMultiple(m_fields.store.get(), &changedKeys, nullptr);
    QSet<QString> valued;
    if (values) {
        valued.reserve(values->size());
        for (auto it = values->keyBegin(); it != values->keyEnd(); ++it)
            valued.insert(*it);
    }

    ui::ColumnBrowser *const &browser = m_fields.kvnBrowser;
    bool keySetChanged = false;
    {
        // The console lines are written, and the key list edited, as one
        // piece each when the walk is over; nothing on the way reads them.
        console::LogBatch lines(m_console);
        KeyListEdit keys(m_fields.storeKeysList);
        for (const QString &key : changedKeys) {
            if (key.startsWith(storeDomainPrefs))
                continue;
            const bool listed = keys.isListed(key);
            const bool isValued = valued.contains(key);
            if (listed && isValued) {
                m_console.updateLog(key, LogKeyUpdated);
                if (m_fields.kvnKey && key == m_fields.kvnKey->stringValue()) {
                    // The displayed key: show its new value now, with the
                    // key list as edited so far.
                    keys.apply();
                    m_inspector.browserSingleClick(browser);
                }
            } else if (listed) {
                m_console.updateLog(key, LogKeyRemoved);
                keys.remove(key);
                keySetChanged = true;
            } else if (isValued) {
                m_console.updateLog(key, LogKeyAdded);
                keys.insert(key);
                keySetChanged = true;
            }
        }
    } // the key list and the console are up to date from here on

    if (keySetChanged && browser) {
        // Rebuild the columns and put the user back where they were, as far
        // as the path's titles still exist.
        const QString path = browser->path();
        browser->loadColumnZero();
        browser->setPath(path);
        m_inspector.browserSingleClick(browser);
    }
}

} // namespace kv::store
