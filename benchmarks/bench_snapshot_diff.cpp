// Comparing two snapshots key by key and value by value, as keyvane-cli diff
// does, against loading the browser's column zero with the same keys. The
// snapshots hold 100,000 keys with values of about 20 entries and differ in
// 1 % of the keys; reading the two files is timed apart. Each round reads and
// compares in a process of its own and loads column zero in another, as a
// command does once: memory freed by an earlier round (or by making the
// files) would otherwise be sorted again by the allocator inside the timing.
//
// Usage: bench_snapshot_diff [number of keys, default 100000] [rounds, default 3]
//        BENCH_SNAPSHOT_DIR=DIR keeps the two files in DIR
// Prints the best time of each over the rounds and their ratio.

#include "benchmarks/ChildProcess.h"
#include "benchmarks/StoreKeys.h"
#include "browser/ColumnTree.h"
#include "history/ValueDiff.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

using kv::PropertyListValue;

namespace {

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// About 20 entries: 15 strings, a number, a flag and an array of 3 addresses.
PropertyListValue makeValue(int i, bool changed)
{
    kv::PropertyListDictionary entries;
    for (int j = 0; j < 15; ++j)
        entries.insert(QStringLiteral("Entry%1").arg(j, 2, 10, QLatin1Char('0')),
                       PropertyListValue::fromString(QStringLiteral("value %1.%2").arg(i).arg(j)));
    entries.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(1500));
    entries.insert(QStringLiteral("Active"), PropertyListValue::fromBoolean(i % 2 == 0));
    kv::PropertyListArray addresses;
    for (int j = 0; j < 3; ++j)
        addresses.append(PropertyListValue::fromString(QStringLiteral("10.%1.%2.%3").arg(i % 250).arg(j).arg(i % 200)));
    if (changed)
        addresses[1] = PropertyListValue::fromString(QStringLiteral("192.168.0.%1").arg(i % 250));
    entries.insert(QStringLiteral("Addresses"), PropertyListValue::fromArray(addresses));
    return PropertyListValue::fromDictionary(entries);
}

QByteArray snapshotBytes(const QStringList &keys, bool changed)
{
    kv::PropertyListDictionary contents;
    for (int i = 0; i < keys.size(); ++i)
        contents.insert(keys.at(i), makeValue(i, changed && i % 100 == 0));
    QString error;
    return kv::writePropertyListXml(PropertyListValue::fromDictionary(contents), &error);
}

} // namespace

// Reads both files as keyvane-cli diff does and compares them; prints the
// reading's and the diff's milliseconds and the number of differences.
int readAndCompare(const QString &oldPath, const QString &newPath)
{
    QElapsedTimer timer;
    timer.start();
    kv::PropertyListDictionary oldContents, newContents;
    QString error;
    const auto reading = kv::PropertyListReading::TopLevelOnUse;
    if (!kv::SnapshotSource::readSnapshot(oldPath, &oldContents, &error, reading)
        || !kv::SnapshotSource::readSnapshot(newPath, &newContents, &error, reading)) {
        std::fprintf(stderr, "cannot read the snapshots: %s\n", qPrintable(error));
        return 1;
    }
    const double read = milliseconds(timer);

    // No value is shared between the two, as with two files (values with
    // the same text compare without being made).
    timer.start();
    const QList<kv::history::DiffEntry> entries = kv::history::diffValues(
        PropertyListValue::fromDictionary(oldContents), PropertyListValue::fromDictionary(newContents));
    const double diff = milliseconds(timer);
    std::printf("%.3f %.3f %lld\n", read, diff, static_cast<long long>(entries.size()));
    return 0;
}

// Loads column zero with `count` keys; prints the milliseconds.
int loadColumnZero(int count)
{
    QStringList sorted = bench::makeKeys(count);
    std::sort(sorted.begin(), sorted.end());
    QElapsedTimer timer;
    timer.start();
    kv::DecomposedKeyList list = kv::decomposedStrings(sorted);
    kv::TreeBranch branch = kv::buildTreeBranchForColumn(0, &list);
    std::printf("%.3f\n", milliseconds(timer));
    return branch.names.isEmpty() ? 1 : 0;
}

// The numbers a child printed, or an empty list when it failed.
QList<double> runChild(const QStringList &arguments)
{
    QList<double> numbers;
    for (const QByteArray &field : bench::runSelf(arguments).value_or(QList<QByteArray>()))
        numbers.append(field.toDouble());
    return numbers;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--diff") == 0)
        return readAndCompare(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0)
        return loadColumnZero(std::atoi(argv[2]));

    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    // BENCH_SNAPSHOT_DIR keeps the files there (to profile a --diff run).
    QTemporaryDir temporary;
    const QString kept = qEnvironmentVariable("BENCH_SNAPSHOT_DIR");
    const QDir dir(kept.isEmpty() ? temporary.path() : kept);
    const QString oldPath = dir.filePath(QStringLiteral("old.plist"));
    const QString newPath = dir.filePath(QStringLiteral("new.plist"));
    qsizetype fileSize = 0;
    {
        const QStringList keys = bench::makeKeys(count);
        const QByteArray oldBytes = snapshotBytes(keys, false);
        fileSize = oldBytes.size();
        if (!temporary.isValid() || !writeFile(oldPath, oldBytes) || !writeFile(newPath, snapshotBytes(keys, true))) {
            std::fprintf(stderr, "cannot write the snapshots\n");
            return 1;
        }
    }

    double bestRead = std::numeric_limits<double>::max();
    double bestDiff = std::numeric_limits<double>::max();
    double bestLoad = std::numeric_limits<double>::max();
    qsizetype differences = 0;
    for (int round = 0; round < rounds; ++round) {
        const QList<double> compared = runChild({QStringLiteral("--diff"), oldPath, newPath});
        const QList<double> loaded = runChild({QStringLiteral("--load"), QString::number(count)});
        if (compared.size() != 3 || loaded.size() != 1) {
            std::fprintf(stderr, "a round failed\n");
            return 1;
        }
        bestRead = std::min(bestRead, compared.at(0));
        bestDiff = std::min(bestDiff, compared.at(1));
        differences = qsizetype(compared.at(2));
        bestLoad = std::min(bestLoad, loaded.at(0));
    }

    std::printf("keys: %d, differing: %d, rounds: %d (best of each, each in a process of its own)\n", count,
                (count + 99) / 100, rounds);
    std::printf("reading both files (%.1f MB each): %9.1f ms\n", double(fileSize) / 1e6, bestRead);
    std::printf("diff key by key and value by value: %9.1f ms  (%lld differences)\n", bestDiff,
                static_cast<long long>(differences));
    std::printf("load column zero (decompose + build): %9.1f ms\n", bestLoad);
    std::printf("ratio diff / load: %.2f\n", bestDiff / bestLoad);
    std::printf("RESULT name=snapshot_diff ratio=%.3f goal=1.0\n", bestDiff / bestLoad);
    return differences == (count + 99) / 100 ? 0 : 1;
}
