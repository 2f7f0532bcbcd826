#pragma once

// The key-list request behind KVNController::getStoreKeysList.

#include "platform/dynamicstore/DynamicStore.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kv {

// When set, getStoreKeysList asks this instead of storeCopyKeyList (tests use
// it to make the request fail the ways the engine itself does not).
extern std::function<std::optional<QStringList>(StoreConnection *store, const QString &pattern)> keyListRequestOverride;

} // namespace kv
