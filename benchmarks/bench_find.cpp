// Find as the user types, against loading the browser's column zero of the
// same keys (decomposing every key and grouping them by domain):
//
//   find_keys        1,000,000 keys, keys only: the worst keystroke's whole
//                    search (all its slices) / one column-zero load (goal 0.25);
//   find_values      100,000 keys whose values hold ~20 entries each, keys and
//                    values, after the values' texts were made ahead
//                    (FindSearch::prepare) / one column-zero load (goal 1);
//   find_*_slice     the longest slice of those searches / 50 ms (goal 1);
//   goto_completion  1,000,000 keys: the slowest keystroke completing a key
//                    piece by piece / 10 ms (goal 1).
//
// Each keystroke starts the search anew with the text typed so far, as the
// find bar does; the figures are the best of three rounds of typing.
//
// Usage: bench_find [keys, default 1000000] [value keys, default 100000] [rounds, default 3]

#include "benchmarks/StoreKeys.h"
#include "browser/ColumnTree.h"
#include "find/FindSearch.h"
#include "find/KeyCompletion.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

namespace {

using namespace kv;
using namespace kv::find;

using bench::makeKeys;

PropertyListValue strings(const QStringList &texts)
{
    PropertyListArray array;
    for (const QString &text : texts)
        array.append(PropertyListValue::fromString(text));
    return PropertyListValue::fromArray(array);
}

// An interface's link and addresses: 11 entries, 26 names and scalars.
PropertyListValue makeValue(int i)
{
    const QString subnet = QStringLiteral("192.168.%1.").arg(i % 250);
    PropertyListDictionary d;
    d.insert(QStringLiteral("Active"), PropertyListValue::fromBoolean(i % 5 != 0));
    d.insert(QStringLiteral("Addresses"),
             strings({subnet + QString::number(i % 200 + 20), QStringLiteral("10.%1.0.7").arg(i % 200)}));
    d.insert(QStringLiteral("BroadcastAddresses"), strings({subnet + QStringLiteral("255")}));
    d.insert(QStringLiteral("Flags"), strings({"UP", "BROADCAST", "RUNNING", "MULTICAST"}));
    d.insert(QStringLiteral("HardwareAddress"),
             PropertyListValue::fromString(QStringLiteral("52:54:00:%1:%2:%3")
                                               .arg(i >> 16 & 0xff, 2, 16, QLatin1Char('0'))
                                               .arg(i >> 8 & 0xff, 2, 16, QLatin1Char('0'))
                                               .arg(i & 0xff, 2, 16, QLatin1Char('0'))));
    d.insert(QStringLiteral("Index"), PropertyListValue::fromInteger(i % 64 + 1));
    d.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(i % 9 ? 1500 : 9000));
    d.insert(QStringLiteral("OperationalState"), PropertyListValue::fromString(i % 5 ? "up" : "down"));
    d.insert(QStringLiteral("PrefixLengths"), strings({"24"}));
    d.insert(QStringLiteral("Router"), PropertyListValue::fromString(subnet + QStringLiteral("1")));
    d.insert(QStringLiteral("Type"), PropertyListValue::fromString(i % 4 ? "ether" : "wlan"));
    return PropertyListValue::fromDictionary(d);
}

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// The best of `rounds` column-zero loads of `keys`.
double columnZeroLoad(const QStringList &keys, int rounds)
{
    double best = std::numeric_limits<double>::max();
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        DecomposedKeyList list = decomposedStrings(keys);
        TreeBranch branch = buildTreeBranchForColumn(0, &list);
        best = std::min(best, milliseconds(timer));
        if (branch.names.isEmpty())
            std::fprintf(stderr, "column zero is empty\n");
    }
    return best;
}

struct Keystroke
{
    double total = 0; // start() and every slice
    double slice = 0; // the longest slice
    double made = 0;  // hits() made afterwards
    qsizetype hits = 0;
};

// Types `text` one character at a time into one search, each keystroke
// searched to its end before the next.
QList<Keystroke> type(FindSearch &search, const QStringList &keys, const QString &text, const FindOptions &options,
                      const FindSearch::ValueLookup &lookup)
{
    QList<Keystroke> strokes;
    for (qsizetype length = 1; length <= text.size(); ++length) {
        Keystroke stroke;
        QElapsedTimer timer;
        timer.start();
        QString error;
        if (!search.start(keys, text.left(length), options, lookup, &error))
            std::fprintf(stderr, "cannot search: %s\n", qPrintable(error));
        while (search.isRunning()) {
            QElapsedTimer slice;
            slice.start();
            QCoreApplication::processEvents();
            stroke.slice = std::max(stroke.slice, milliseconds(slice));
        }
        stroke.total = milliseconds(timer);
        stroke.hits = search.hitCount();
        timer.restart();
        const qsizetype made = search.hits().size();
        stroke.made = milliseconds(timer);
        if (made != stroke.hits)
            std::fprintf(stderr, "hits() made %lld of %lld hits\n", qlonglong(made), qlonglong(stroke.hits));
        strokes.append(stroke);
    }
    return strokes;
}

// For each keystroke of each text, the best of the rounds.
struct Typing
{
    QStringList texts;
    QList<QList<Keystroke>> best; // per text, per keystroke

    void take(qsizetype text, const QList<Keystroke> &strokes)
    {
        if (best.size() <= text)
            best.resize(text + 1);
        QList<Keystroke> &kept = best[text];
        if (kept.isEmpty()) {
            kept = strokes;
            return;
        }
        for (qsizetype i = 0; i < strokes.size(); ++i) {
            kept[i].total = std::min(kept[i].total, strokes[i].total);
            kept[i].slice = std::min(kept[i].slice, strokes[i].slice);
            kept[i].made = std::min(kept[i].made, strokes[i].made);
        }
    }
    const Keystroke *worst(double Keystroke::*of, QString *typed) const
    {
        const Keystroke *found = nullptr;
        for (qsizetype t = 0; t < best.size(); ++t) {
            for (qsizetype i = 0; i < best[t].size(); ++i) {
                if (!found || best[t][i].*of > found->*of) {
                    found = &best[t][i];
                    *typed = texts[t].left(i + 1);
                }
            }
        }
        return found;
    }
    void print() const
    {
        for (qsizetype t = 0; t < best.size(); ++t) {
            for (qsizetype i = 0; i < best[t].size(); ++i) {
                const Keystroke &k = best[t][i];
                std::printf("  %-14s %8lld hits %8.1f ms (longest slice %5.1f ms, hits() made %6.1f ms)\n",
                            qPrintable(QLatin1Char('"') + texts[t].left(i + 1) + QLatin1Char('"')), qlonglong(k.hits),
                            k.total, k.slice, k.made);
            }
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int valueCount = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;

    // --- keys -----------------------------------------------------------------
    QStringList keys = makeKeys(count);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(11)); // allocated in another order than sorted, as in the store
    std::sort(keys.begin(), keys.end());
    const double keysLoad = columnZeroLoad(keys, rounds);

    Typing keyTyping;
    keyTyping.texts = {QStringLiteral("ethernet"), QStringLiteral("4e2b/ipv6")};
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype t = 0; t < keyTyping.texts.size(); ++t) {
            FindSearch search;
            keyTyping.take(t, type(search, keys, keyTyping.texts[t], FindOptions(), {}));
        }
    }
    QString worstTyped, worstSliceTyped;
    const Keystroke *worstKey = keyTyping.worst(&Keystroke::total, &worstTyped);
    const Keystroke *worstKeySlice = keyTyping.worst(&Keystroke::slice, &worstSliceTyped);
    std::printf("keys: %d, column-zero load %.1f ms; keys only, case ignored (best of %d rounds):\n", count, keysLoad,
                rounds);
    keyTyping.print();
    std::printf("RESULT name=find_keys ratio=%.3f goal=0.25 figure=\"worst keystroke %.1f ms ('%s', %lld hits) "
                "vs column-zero load %.1f ms of %d keys; longest slice %.1f ms; hits() made on top %.1f ms\"\n",
                worstKey->total / keysLoad, worstKey->total, qPrintable(worstTyped), qlonglong(worstKey->hits),
                keysLoad, count, worstKeySlice->slice, worstKey->made);
    std::printf("RESULT name=find_keys_slice ratio=%.3f goal=1.0 figure=\"longest slice %.1f ms ('%s') / 50 "
                "ms\"\n",
                worstKeySlice->slice / 50.0, worstKeySlice->slice, qPrintable(worstSliceTyped));

    // --- going to a key -------------------------------------------------------
    // Typing whole keys, one character at a time; "State:/" and the like have
    // more completions than are listed.
    double worstCompletion = 0;
    QString worstCompletionTyped;
    qsizetype completionsThen = 0;
    for (const QString &target : {keys.at(count / 3), keys.at(count / 2), keys.at(count - 1)}) {
        for (qsizetype length = 0; length <= target.size(); ++length) {
            const QString typed = target.left(length);
            double best = std::numeric_limits<double>::max();
            qsizetype found = 0;
            for (int round = 0; round < rounds; ++round) {
                QElapsedTimer timer;
                timer.start();
                found = keyCompletions(keys, typed).size();
                best = std::min(best, milliseconds(timer));
            }
            if (best > worstCompletion) {
                worstCompletion = best;
                worstCompletionTyped = typed;
                completionsThen = found;
            }
        }
    }
    std::printf("RESULT name=goto_completion ratio=%.3f goal=1.0 figure=\"slowest keystroke %.3f ms ('%s', %lld "
                "completions) in %d keys / 10 ms\"\n",
                worstCompletion / 10.0, worstCompletion, qPrintable(worstCompletionTyped), qlonglong(completionsThen),
                count);
    keys = QStringList();

    // --- keys and values ------------------------------------------------------
    QStringList valueKeys = makeKeys(valueCount);
    QHash<QString, PropertyListValue> values;
    values.reserve(valueCount);
    for (int i = 0; i < valueCount; ++i)
        values.insert(valueKeys[i], makeValue(i));
    std::shuffle(valueKeys.begin(), valueKeys.end(), std::mt19937(13));
    std::sort(valueKeys.begin(), valueKeys.end());
    const FindSearch::ValueLookup lookup = [&values](const QString &key) { return values.value(key); };
    const double valuesLoad = columnZeroLoad(valueKeys, rounds);
    FindOptions valueOptions;
    valueOptions.scope = FindOptions::Scope::KeysAndValues;

    Typing valueTyping;
    valueTyping.texts = {QStringLiteral("192.168.37."), QStringLiteral("multicast"), QStringLiteral("52:54:00:01")};
    double prepared = std::numeric_limits<double>::max();
    double preparedSlice = 0;
    Keystroke cold;
    for (int round = 0; round < rounds; ++round) {
        // Without the values' texts made ahead: the first keystroke makes them.
        {
            FindSearch search;
            const QList<Keystroke> first = type(search, valueKeys, QStringLiteral("1"), valueOptions, lookup);
            if (round == 0 || first[0].total < cold.total)
                cold = first[0];
        }
        FindSearch search;
        QElapsedTimer timer;
        timer.start();
        search.prepare(valueKeys, valueOptions, lookup);
        double slice = 0;
        while (search.isPreparing()) {
            QElapsedTimer one;
            one.start();
            QCoreApplication::processEvents();
            slice = std::max(slice, milliseconds(one));
        }
        prepared = std::min(prepared, milliseconds(timer));
        preparedSlice = round == 0 ? slice : std::min(preparedSlice, slice);
        for (qsizetype t = 0; t < valueTyping.texts.size(); ++t)
            valueTyping.take(t, type(search, valueKeys, valueTyping.texts[t], valueOptions, lookup));
    }
    const Keystroke *worstValue = valueTyping.worst(&Keystroke::total, &worstTyped);
    const Keystroke *worstValueSlice = valueTyping.worst(&Keystroke::slice, &worstSliceTyped);
    std::printf("value keys: %d, column-zero load %.1f ms; keys and values, case ignored (best of %d rounds):\n",
                valueCount, valuesLoad, rounds);
    std::printf("  values' texts made ahead in %.1f ms (longest slice %.1f ms)\n", prepared, preparedSlice);
    std::printf("  without that, the first keystroke \"1\": %.1f ms (longest slice %.1f ms, %lld hits)\n", cold.total,
                cold.slice, qlonglong(cold.hits));
    valueTyping.print();
    std::printf("RESULT name=find_values ratio=%.3f goal=1.0 figure=\"worst keystroke %.1f ms ('%s', %lld hits) "
                "vs column-zero load %.1f ms of %d keys, values' texts made ahead (%.1f ms; a first keystroke without "
                "them %.1f ms); hits() made on top %.1f ms\"\n",
                worstValue->total / valuesLoad, worstValue->total, qPrintable(worstTyped), qlonglong(worstValue->hits),
                valuesLoad, valueCount, prepared, cold.total, worstValue->made);
    const double longestValueSlice = std::max({worstValueSlice->slice, preparedSlice, cold.slice});
    std::printf("RESULT name=find_values_slice ratio=%.3f goal=1.0 figure=\"longest slice %.1f ms / 50 ms (making "
                "the values' texts included)\"\n",
                longestValueSlice / 50.0, longestValueSlice);
    return 0;
}
