// The sorted list of every store key, registration for change notifications,
// the store's plain change callback and the reload command.

#include "store/KeyList.h"

#include "app/KVNController.h"
#include "inspector/KVNItem.h"
#include "platform/SystemLog.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextView.h"

#include <algorithm>

namespace kv {
std::function<std::optional<QStringList>(StoreConnection *, const QString &)> keyListRequestOverride;
}

namespace {
const QString AllKeysPattern = QStringLiteral(".*");
}

bool KVNController::setStoreNotification()
{
    const QStringList patterns{AllKeysPattern};
    if (!kv::storeSetNotificationKeys(store.get(), nullptr, &patterns))
        return false;
    const std::shared_ptr<kv::StoreRunLoopSource> source = kv::storeCreateRunLoopSource(store.get(), 0);
    if (!source)
        return false;
    // The event loop keeps the source from now on.
    kv::storeRunLoopAddSource(source);
    return true;
}

void KVNController::getStoreKeysList()
{
    std::optional<QStringList> keys = kv::keyListRequestOverride
                                          ? kv::keyListRequestOverride(store.get(), AllKeysPattern)
                                          : kv::storeCopyKeyList(store.get(), AllKeysPattern);
    if (!keys) {
        // The previous list stays.
        const int code = kv::storeError();
        if (code != 0)
            kv::systemLog(kv::storeErrorString(code));
        else
            kv::systemLog(QStringLiteral("There are no keys in configuration store"));
        return;
    }
    storeKeysList = std::move(*keys);
    // Case-sensitive, code unit by code unit: upper case before lower case
    // (the store lists its keys in this order already).
    if (!std::is_sorted(storeKeysList.cbegin(), storeKeysList.cend()))
        std::sort(storeKeysList.begin(), storeKeysList.end());
}

void KVNController::reloadKeys(QObject *)
{
    if (kvnKey)
        kvnKey->setStringValue(QStringLiteral("none"));
    if (inspectorView)
        inspectorView->setString(QString());
    KVNItem::releaseRootItem();
    KVNItem::setRootItem(nullptr);
    if (kvnOutlineView)
        kvnOutlineView->reloadData();
    getStoreKeysList();
    if (kvnBrowser)
        kvnBrowser->loadColumnZero();
}

void storeNotification(kv::StoreConnection *, const QStringList *changedKeys, void *)
{
    if (changedKeys && selfObject)
        selfObject->storeNotification(*changedKeys);
}
