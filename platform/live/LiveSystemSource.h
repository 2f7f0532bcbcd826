#pragma once

// The default source of the store: this machine's live state (host name,
// network interfaces and addresses, primary interface and router, DNS,
// power supplies), followed as it changes.

#include "platform/dynamicstore/DynamicStore.h"

#include <memory>

namespace kv {

std::unique_ptr<StoreSource> createLiveSystemSource();

} // namespace kv
