#pragma once

// The sorted list of every store key: registration for change
// notifications, the reload command, and the merging of change lists into
// the key list, the console and the browser.

#include "platform/dynamicstore/DynamicStore.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kv::ui {
class ColumnBrowser;
class TextField;
} // namespace kv::ui
namespace kv::console {
class ConsoleLog;
}
namespace kv::inspector {
class ValueInspector;
}
namespace kv::browser {
class BrowserDataSource;
}

namespace kv::store {

// When set, getStoreKeysList asks this instead of storeCopyKeyList (tests use
// it to make the request fail the ways the engine itself does not).
extern std::function<std::optional<QStringList>(StoreConnection *store, const QString &pattern)> keyListRequestOverride;

class KeyList
{
public:
    // The owner's fields this reads and writes. They are references: the
    // owner's widgets may be filled in after this is made.
    struct Fields
    {
        std::unique_ptr<StoreConnection> &store;
        QStringList &storeKeysList;
        const qint32 &browserUpdatePolicy;
        ui::ColumnBrowser *const &kvnBrowser;
        ui::TextField *const &kvnKey;
    };
    // Changes are logged to `console`; what a selection shows is `inspector`'s.
    // With the browser's data source (`columns`), merges edit the columns in
    // place instead of loading them afresh.
    KeyList(const Fields &fields, console::ConsoleLog &console, inspector::ValueInspector &inspector,
            browser::BrowserDataSource *columns = nullptr);

    // Registers the connection for changes to every key and attaches its
    // notifications to this thread's event loop.
    bool setStoreNotification();
    // Refills the key list from the store, sorted; a failed request leaves it
    // as it was, with one system-log line.
    void getStoreKeysList();
    // Starts the display over from a fresh key list: the key field shows
    // "none", the value displays are cleared, the keys are read again and the
    // browser reloads its first column.
    void reloadKeys();
    // Merges a change list: each key is logged as added, removed or updated
    // and the key list edited in order; the displayed key is refreshed at
    // once when it was updated; when keys came or went, the browser's columns
    // are rebuilt once, keeping the user's path as far as its titles remain.
    // The columns end as a fresh load and the path would make them, but only
    // the rows around the changed keys are grouped again, and a column whose
    // rows did not change keeps its rows.
    void storeNotification(const QStringList &changedKeys);
    // The last change list merged, in the key list's order: indices into
    // it (empty when it was not merged).
    const std::vector<qsizetype> &lastChangesInListOrder() const { return m_lastInListOrder; }

    // Whether merges edit the columns in place (the default, with a data
    // source) or load them afresh and select the path again (tests compare
    // the two).
    bool mergesInPlace = true;
    // How many merges edited the columns in place.
    int mergesMadeInPlace = 0;
    // The columns' data source, if any.
    const browser::BrowserDataSource *columns() const { return m_columns; }

private:
    // For each changed key (by index), whether the store holds a value for
    // it now; the values are asked for in the list's order `inListOrder`.
    std::vector<bool> valuedKeys(const QStringList &changedKeys, const std::vector<qsizetype> &inListOrder);
    // Puts the browser's columns, edited in place, back on the path of
    // `titles`, as selecting them anew in freshly loaded columns would.
    void restorePath(const QStringList &titles);

    Fields m_fields;
    console::ConsoleLog &m_console;
    inspector::ValueInspector &m_inspector;
    browser::BrowserDataSource *m_columns;
    std::vector<qsizetype> m_lastInListOrder; // see lastChangesInListOrder()
};

} // namespace kv::store
