#pragma once

// Shared by the store tests: a store callout that records each change list
// it is given.

#include "platform/dynamicstore/DynamicStore.h"

#include <QList>
#include <QStringList>

namespace storetest {

struct Recorder
{
    QList<QStringList> lists;
};

// A callout for storeCreate whose context is a Recorder.
inline void recordCallout(kv::StoreConnection *, const QStringList *changedKeys, void *context)
{
    static_cast<Recorder *>(context)->lists.append(*changedKeys);
}

} // namespace storetest
