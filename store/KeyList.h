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
    KeyList(const Fields &fields, console::ConsoleLog &console, inspector::ValueInspector &inspector);

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
    void storeNotification(const QStringList &changedKeys);

private:
    Fields m_fields;
    console::ConsoleLog &m_console;
    inspector::ValueInspector &m_inspector;
};

} // namespace kv::store
