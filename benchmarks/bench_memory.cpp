// Resident memory per key, layer by layer: the store engine, the key list
// taken from it, and column zero built from the list.
//
// 1. 1,000,000 small keys set one by one into an engine (the goal: at most
//    300 bytes a key for the three layers together).
// 2. The 200,000-key snapshot (benchmarks/LargeSnapshot.h), binary and XML,
//    each loaded in a process of its own as the snapshot source loads it:
//    the file's bytes and values, then the engine holding them, the key list
//    and column zero. Python's plistlib holding the binary file is the
//    yardstick (the goal: the engine holding it within half of that).
//
// Usage: bench_memory [small keys, default 1000000]
//        bench_memory --layers FILE   (one file's layers; used by the above)

#include "benchmarks/ChildProcess.h"
#include "benchmarks/LargeSnapshot.h"
#include "benchmarks/ResidentMemory.h"
#include "browser/ColumnTree.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

struct Layers
{
    qint64 before = 0, values = 0, engine = 0, list = 0, columnZero = 0;
    qint64 keys = 0;
};

void printLayers(const char *what, const Layers &l)
{
    const double n = double(std::max<qint64>(1, l.keys));
    std::printf("%s: %lld keys\n", what, qlonglong(l.keys));
    std::printf("  resident before:        %8.1f MB\n", l.before / 1048576.0);
    if (l.values > l.before)
        std::printf("  + file bytes and values:%8.1f MB (%.0f bytes/key)\n", (l.values - l.before) / 1048576.0,
                    (l.values - l.before) / n);
    const qint64 engineBase = l.values > l.before ? l.values : l.before;
    std::printf("  + store engine:         %8.1f MB (%.0f bytes/key)\n", (l.engine - engineBase) / 1048576.0,
                (l.engine - engineBase) / n);
    std::printf("  + key list:             %8.1f MB (%.0f bytes/key)\n", (l.list - l.engine) / 1048576.0,
                (l.list - l.engine) / n);
    std::printf("  + column zero:          %8.1f MB (%.0f bytes/key)\n", (l.columnZero - l.list) / 1048576.0,
                (l.columnZero - l.list) / n);
    std::printf("  resident after:         %8.1f MB, %.0f bytes per key in all\n", l.columnZero / 1048576.0,
                (l.columnZero - l.before) / n);
}

// The key list and column zero of an engine, measured after `l->engine`.
void listAndColumnZero(const kv::StoreEngine &engine, Layers *l)
{
    const QStringList keys = engine.keys();
    l->list = residentBytes();
    kv::DecomposedKeyList list = kv::decomposedStrings(keys);
    const kv::TreeBranch branch = kv::buildTreeBranchForColumn(0, &list);
    l->columnZero = residentBytes();
    l->keys = keys.size();
    (void)branch;
}

Layers smallKeys(int count)
{
    Layers l;
    l.before = residentBytes();
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
    l.engine = residentBytes();
    listAndColumnZero(engine, &l);
    return l;
}

// One file's layers, in this process; printed as one line for the parent.
int fileLayers(const QString &path)
{
    Layers l;
    l.before = residentBytes();
    QString error;
    // Read as the snapshot source reads a file, and set as it sets the keys.
    kv::PropertyListDictionary contents;
    if (!kv::SnapshotSource::readSnapshot(path, &contents, &error, kv::PropertyListReading::TopLevelOnUse)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    l.values = residentBytes();
    kv::StoreEngine engine;
    engine.setValues(contents, kv::StoreEngine::Values::Wellformed);
    contents = {};
    l.engine = residentBytes();
    listAndColumnZero(engine, &l);
    std::printf("%lld %lld %lld %lld %lld %lld\n", qlonglong(l.before), qlonglong(l.values), qlonglong(l.engine),
                qlonglong(l.list), qlonglong(l.columnZero), qlonglong(l.keys));
    return 0;
}

bool measureFile(const QString &path, Layers *l)
{
    const std::optional<QList<QByteArray>> printed = bench::runSelf({QStringLiteral("--layers"), path});
    if (!printed || printed->size() != 6)
        return false;
    const QList<QByteArray> &f = *printed;
    *l = {f[0].toLongLong(), f[1].toLongLong(), f[2].toLongLong(),
          f[3].toLongLong(), f[4].toLongLong(), f[5].toLongLong()};
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--layers")
        return fileLayers(QString::fromLocal8Bit(argv[2]));
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;

    const Layers small = smallKeys(count);
    printLayers("small keys", small);
    const double perKey = double(small.columnZero - small.before) / count;
    std::printf("RESULT name=memory_per_key ratio=%.3f goal=1 figure=\"%.0f bytes a key / 300 (engine %.0f, key list "
                "%.0f, column zero %.0f)\"\n",
                perKey / 300.0, perKey, double(small.engine - small.before) / count,
                double(small.list - small.engine) / count, double(small.columnZero - small.list) / count);

    QTemporaryDir dir;
    if (!bench::writeLargeSnapshot(dir.path()))
        return 1;
    const QString binary = dir.filePath(QStringLiteral("large.bplist"));
    Layers fromBinary, fromXml;
    if (!measureFile(binary, &fromBinary) || !measureFile(dir.filePath(QStringLiteral("large.plist")), &fromXml)) {
        std::fprintf(stderr, "loading the large snapshot failed\n");
        return 1;
    }
    printLayers("200,000-key snapshot, binary (24 MB)", fromBinary);
    printLayers("200,000-key snapshot, XML", fromXml);
    const qint64 python = bench::pythonResidentHolding(binary);
    if (python <= 0) {
        std::fprintf(stderr, "python3 could not load the snapshot\n");
        return 1;
    }
    std::printf("python3 plistlib holding the binary file: %.1f MB resident\n", python / 1048576.0);
    std::printf("RESULT name=memory_large_snapshot ratio=%.3f goal=0.5 figure=\"resident with the engine holding the "
                "200,000-key binary file %.1f MB / Python's plistlib holding it %.1f MB (%.1f MB with key list and "
                "column zero)\"\n",
                double(fromBinary.engine) / double(python), fromBinary.engine / 1048576.0, python / 1048576.0,
                fromBinary.columnZero / 1048576.0);
    return 0;
}
