// Comparing two snapshots key by key and value by value, as keyvane-cli diff
// does, against loading the browser's column zero with the same keys. The
// snapshots hold 100,000 keys with values of about 20 entries and differ in
// 1 % of the keys; reading the two files is timed apart.
//
// Usage: bench_snapshot_diff [number of keys, default 100000] [rounds, default 3]
// Prints the best time of each over the rounds and their ratio.

#include "benchmarks/StoreKeys.h"
#include "browser/ColumnTree.h"
#include "history/ValueDiff.h"
#include "platform/plist/PropertyListFile.h"

#include <QElapsedTimer>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    const QStringList keys = bench::makeKeys(count);
    QStringList sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    const QByteArray oldBytes = snapshotBytes(keys, false);
    const QByteArray newBytes = snapshotBytes(keys, true);

    double bestRead = std::numeric_limits<double>::max();
    double bestDiff = std::numeric_limits<double>::max();
    double bestLoad = std::numeric_limits<double>::max();
    qsizetype differences = 0;
    for (int round = 0; round < rounds; ++round) {
        // Reading both files, as diff reads them (apart from the diff).
        QElapsedTimer timer;
        timer.start();
        QString error;
        const auto reading = kv::PropertyListReading::TopLevelOnUse;
        const PropertyListValue oldSnapshot = kv::readPropertyList(oldBytes, &error, QString(), reading);
        const PropertyListValue newSnapshot = kv::readPropertyList(newBytes, &error, QString(), reading);
        bestRead = std::min(bestRead, milliseconds(timer));
        if (!oldSnapshot.isDictionary() || !newSnapshot.isDictionary()) {
            std::fprintf(stderr, "cannot read the snapshots: %s\n", qPrintable(error));
            return 1;
        }

        // The diff: no value is shared between the two, as with two files
        // (values with the same text compare without being made).
        timer.start();
        const QList<kv::history::DiffEntry> entries = kv::history::diffValues(oldSnapshot, newSnapshot);
        bestDiff = std::min(bestDiff, milliseconds(timer));
        differences = entries.size();

        // Loading column zero with the same keys.
        timer.start();
        kv::DecomposedKeyList list = kv::decomposedStrings(sorted);
        kv::TreeBranch branch = kv::buildTreeBranchForColumn(0, &list);
        bestLoad = std::min(bestLoad, milliseconds(timer));
    }

    std::printf("keys: %d, differing: %d, rounds: %d (best of each)\n", count, (count + 99) / 100, rounds);
    std::printf("reading both files (%.1f MB each): %9.1f ms\n", double(oldBytes.size()) / 1e6, bestRead);
    std::printf("diff key by key and value by value: %9.1f ms  (%lld differences)\n", bestDiff,
                static_cast<long long>(differences));
    std::printf("load column zero (decompose + build): %9.1f ms\n", bestLoad);
    std::printf("ratio diff / load: %.2f\n", bestDiff / bestLoad);
    std::printf("RESULT name=snapshot_diff ratio=%.3f goal=1.0\n", bestDiff / bestLoad);
    return differences == (count + 99) / 100 ? 0 : 1;
}
