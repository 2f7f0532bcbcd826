#pragma once

// The store's sources as the command line chooses them: this machine's live
// state, a property-list snapshot, an etcd cluster (a fleet), or none.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdClient.h"

#include <QString>

#include <memory>
#include <vector>

namespace kv {

class SnapshotReadAhead;

struct StoreConfiguration
{
    enum class Kind { LiveSystem, Snapshot, Etcd, Empty };
    explicit StoreConfiguration(Kind kind = Kind::LiveSystem, QString snapshotPath = QString())
        : kind(kind), snapshotPath(std::move(snapshotPath))
    {}

    Kind kind;
    QString snapshotPath; // for Kind::Snapshot
    // Optionally, the snapshot file already being read (see SnapshotReadAhead).
    std::shared_ptr<SnapshotReadAhead> snapshotReadAhead;
    // For Kind::Etcd: the cluster, and whether the store comes up empty (and
    // fills in later) when the cluster cannot be reached at start, instead of
    // failing to open.
    etcd::EtcdSettings etcd;
    bool etcdComesUpEmpty = false;
};

namespace app {

// The sources that serve a configuration, for StoreEngine::setSources.
std::vector<std::unique_ptr<StoreSource>> makeStoreSources(const StoreConfiguration &configuration);

} // namespace app

} // namespace kv
