// Resident memory per key with 1,000,000 small keys loaded into a store
// engine, the key list taken from it, and column zero built from the list.
//
// Usage: bench_memory [keys, default 1000000]
// Prints VmRSS (from /proc/self/status) before and after, and the growth per key.

#include "benchmarks/ResidentMemory.h"
#include "browser/ColumnTree.h"
#include "platform/dynamicstore/DynamicStore.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;

    const qint64 before = residentBytes();
    kv::StoreEngine engine;
    engine.beginBatch();
    for (int i = 0; i < count; ++i) {
        // Small store-shaped keys: "State:/Network/Service/<n>/IPv4" and the like.
        const QString key = QStringLiteral("State:/Network/Service/%1/%2")
                                .arg(i / 4)
                                .arg(i % 4 == 0   ? QStringLiteral("IPv4")
                                     : i % 4 == 1 ? QStringLiteral("IPv6")
                                     : i % 4 == 2 ? QStringLiteral("DNS")
                                                  : QStringLiteral("Proxies"));
        engine.setValue(key, kv::PropertyListValue::fromInteger(i));
    }
    engine.endBatch();
    const qint64 afterEngine = residentBytes();
    const QStringList keys = engine.keys();
    const qint64 afterList = residentBytes();
    kv::DecomposedKeyList list = kv::decomposedStrings(keys);
    const kv::TreeBranch branch = kv::buildTreeBranchForColumn(0, &list);
    const qint64 after = residentBytes();

    const double perKey = double(after - before) / count;
    std::printf("keys: %d (column zero rows: %lld)\n", count, qlonglong(branch.names.size()));
    std::printf("resident before: %8.1f MB\n", before / 1048576.0);
    std::printf("  + store engine:  %8.1f MB (%.0f bytes/key)\n", (afterEngine - before) / 1048576.0,
                double(afterEngine - before) / count);
    std::printf("  + key list:      %8.1f MB (%.0f bytes/key)\n", (afterList - afterEngine) / 1048576.0,
                double(afterList - afterEngine) / count);
    std::printf("  + column zero:   %8.1f MB (%.0f bytes/key)\n", (after - afterList) / 1048576.0,
                double(after - afterList) / count);
    std::printf("resident after:  %8.1f MB, %.0f bytes per key\n", after / 1048576.0, perKey);
    std::printf("RESULT name=memory_per_key bytes=%.0f\n", perKey);
    return 0;
}
