#include "app/StoreSources.h"

#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/etcd/EtcdSource.h"
#include "platform/live/LiveSystemSource.h"

namespace kv::app {

std::vector<std::unique_ptr<StoreSource>> makeStoreSources(const StoreConfiguration &configuration)
{
    std::vector<std::unique_ptr<StoreSource>> sources;
    switch (configuration.kind) {
    case StoreConfiguration::Kind::LiveSystem: sources.push_back(createLiveSystemSource()); break;
    case StoreConfiguration::Kind::Snapshot: {
        auto source = std::make_unique<SnapshotSource>(configuration.snapshotPath);
        source->setReadAhead(configuration.snapshotReadAhead);
        sources.push_back(std::move(source));
        break;
    }
    case StoreConfiguration::Kind::Etcd: {
        etcd::EtcdSourceOptions options;
        if (configuration.etcdComesUpEmpty)
            options.whenUnreachable = etcd::EtcdSourceOptions::WhenUnreachable::ComeUpEmpty;
        sources.push_back(std::make_unique<etcd::EtcdSource>(configuration.etcd, options));
        break;
    }
    case StoreConfiguration::Kind::Empty: break;
    }
    return sources;
}

} // namespace kv::app
