// Memory held per change in the change history: 10,000 changes to 1,000 keys
// with values of about 20 entries, each change a fresh value (as a source
// publishes), the old one kept by the history. Prints the resident growth per
// change, the values it keeps alive included, and the history's own estimate.
//
// Usage: bench_history_memory [changes, default 10000]

#include "benchmarks/ResidentMemory.h"
#include "history/ChangeHistory.h"

#include <QDateTime>

#include <cstdio>
#include <cstdlib>

using kv::PropertyListValue;

namespace {

PropertyListValue makeValue(int key, int round)
{
    kv::PropertyListDictionary entries;
    for (int j = 0; j < 18; ++j)
        entries.insert(QStringLiteral("Entry%1").arg(j, 2, 10, QLatin1Char('0')),
                       PropertyListValue::fromString(QStringLiteral("value %1.%2.%3").arg(key).arg(round).arg(j)));
    entries.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(1500 + round));
    entries.insert(QStringLiteral("Active"), PropertyListValue::fromBoolean(round % 2 == 0));
    return PropertyListValue::fromDictionary(entries);
}

} // namespace

int main(int argc, char **argv)
{
    const int changes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    constexpr int keyCount = 1000;

    kv::PropertyListDictionary store;
    for (int k = 0; k < keyCount; ++k)
        store.insert(QStringLiteral("State:/Network/Service/%1/IPv4").arg(k), makeValue(k, 0));
    const QStringList keys = store.keys();

    kv::history::ChangeHistory history(changes);
    const QDateTime time = QDateTime::currentDateTimeUtc();
    const qint64 before = residentBytes();
    for (int i = 0; i < changes; ++i) {
        const QString &key = keys.at(i % keyCount);
        const PropertyListValue fresh = makeValue(i % keyCount, 1 + i / keyCount);
        history.append(time, key, store.value(key), fresh);
        store.insert(key, fresh);
    }
    const qint64 after = residentBytes();

    const double perChange = double(after - before) / changes;
    const double estimate = double(history.valueBytes()) / history.count();
    std::printf("changes: %d to %d keys (values of 20 entries), held: %lld, dropped: %lld\n", changes, keyCount,
                static_cast<long long>(history.count()), static_cast<long long>(history.droppedCount()));
    std::printf("resident growth per change (the values kept alive included): %.0f bytes\n", perChange);
    std::printf("the history's estimate per change: %.0f bytes\n", estimate);
    std::printf("RESULT name=history_entry_memory bytes=%.0f\n", perChange);
    std::printf("RESULT name=history_entry_estimate bytes=%.0f\n", estimate);
    return 0;
}
