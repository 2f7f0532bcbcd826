#include "store/KeyList.h"

#include "browser/BrowserDataSource.h"
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

KeyList::KeyList(const Fields &fields, console::ConsoleLog &console, inspector::ValueInspector &inspector,
                 browser::BrowserDataSource *columns)
    : m_fields(fields), m_console(console), m_inspector(inspector), m_columns(columns)
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
    if (m_columns)
        m_columns->keyListReplaced();
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
    m_lastInListOrder.clear();
    if (m_fields.browserUpdatePolicy != 1)
        return;

    ui::ColumnBrowser *const &browser = m_fields.kvnBrowser;
    bool keySetChanged = false;
    std::vector<SortedListEdit> edits;
    {
        // The console lines are written, and the key list edited, as one
        // piece each when the walk is over; nothing on the way reads them.
        console::LogBatch lines(m_console);
        KeyListEdit keys(m_fields.storeKeysList);
        keys.searchAhead(changedKeys);
        // The current values of exactly the changed keys; those that no
        // longer exist are absent. No answer at all counts every key as gone.
        m_lastInListOrder = keys.aheadInListOrder();
        const std::vector<bool> valued = valuedKeys(changedKeys, m_lastInListOrder);
        for (qsizetype i = 0; i < changedKeys.size(); ++i) {
            const QString &key = changedKeys.at(i);
            if (key.startsWith(storeDomainPrefs))
                continue;
            const bool listed = keys.isListed(key);
            const bool isValued = valued[size_t(i)];
            if (listed && isValued) {
                m_console.updateLog(key, LogKeyUpdated);
                if (m_fields.kvnKey && key == m_fields.kvnKey->stringValue()) {
                    // The displayed key: show its new value now, with the
                    // key list as edited so far.
                    edits.push_back(keys.apply());
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
        edits.push_back(keys.apply());
    } // the key list and the console are up to date from here on

    if (keySetChanged && browser) {
        // Put the user back where they were, as far as the path's titles
        // still exist: in the columns as edited, or in freshly loaded ones.
        const QStringList titles = browser->pathTitles();
        const std::optional<bool> columnZeroChanged = mergesInPlace && m_columns && browser->numberOfColumns() > 0
                                                          ? m_columns->applyKeyListEdits(edits)
                                                          : std::nullopt;
        if (columnZeroChanged) {
            ++mergesMadeInPlace;
            if (*columnZeroChanged)
                browser->replaceColumnRows(0, m_columns->numberOfRows(0));
            restorePath(titles);
        } else {
            if (m_columns)
                m_columns->keyListReplaced();
            const QString path = browser->path();
            browser->loadColumnZero();
            browser->setPath(path);
        }
        m_inspector.browserSingleClick(browser);
    }
}

std::vector<bool> KeyList::valuedKeys(const QStringList &changedKeys, const std::vector<qsizetype> &inListOrder)
{
    // Asked for in the key list's order, the values' dictionary is made
    // entry after entry at its end; its keys then come in the same order.
    QStringList ordered;
    ordered.reserve(changedKeys.size());
    for (const qsizetype i : inListOrder)
        ordered.append(changedKeys.at(i));
    std::vector<bool> valued(size_t(changedKeys.size()), false);
    const std::optional<PropertyListDictionary> values = storeCopyMultiple(m_fields.store.get(), &ordered, nullptr);
    if (!values)
        return valued;
    auto it = values->keyBegin();
    for (qsizetype j = 0; j < ordered.size() && it != values->keyEnd(); ++j) {
        if (*it != ordered.at(j))
            continue; // no value
        valued[size_t(inListOrder[size_t(j)])] = true;
        if (j + 1 == ordered.size() || ordered.at(j + 1) != *it)
            ++it; // (a key changed twice is asked for twice)
    }
    return valued;
}

void KeyList::restorePath(const QStringList &titles)
{
    ui::ColumnBrowser *browser = m_fields.kvnBrowser;
    if (titles.isEmpty()) {
        browser->selectRow(-1, 0);
        return;
    }
    for (int column = 0; column < titles.size(); ++column) {
        // A leaf row (or no row) was selected before: nothing to match in.
        if (column >= browser->numberOfColumns())
            return;
        const int row = m_columns->rowTitled(titles.at(column), column);
        if (row < 0) {
            browser->selectRow(-1, column);
            return;
        }
        // The column right of it still shows the keys below this row when it
        // was built from them; otherwise its rows are grouped again around
        // the keys that came or went.
        const BranchNode *node = m_columns->node(row, column);
        const std::shared_ptr<DecomposedKeyList> below = node ? node->leaf : nullptr;
        if (below && column + 1 < browser->numberOfColumns()) {
            if (m_columns->columnBuiltFrom(column + 1, below.get())) {
                browser->markRowSelected(row, column);
                continue;
            }
            if (m_columns->followLeaf(column + 1, below)) {
                browser->markRowSelected(row, column);
                browser->replaceColumnRows(column + 1, m_columns->numberOfRows(column + 1));
                continue;
            }
        }
        browser->selectRow(row, column);
    }
}

} // namespace kv::store
