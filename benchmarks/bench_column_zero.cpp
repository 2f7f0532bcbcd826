// Loading the browser's column zero (decomposing every key and grouping the
// keys by domain) against sorting the same keys with the store-key ordering.
//
// Usage: bench_column_zero [number of keys, default 1000000] [rounds, default 3]
// Prints the best time of each over the rounds and their ratio.

#include "benchmarks/StoreKeys.h"
#include "browser/ColumnTree.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

namespace {

using bench::makeKeys;

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    QStringList shuffled = makeKeys(count);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    QStringList sorted = shuffled;
    std::sort(sorted.begin(), sorted.end());

    double bestSort = std::numeric_limits<double>::max();
    double bestLoad = std::numeric_limits<double>::max();
    double bestDecompose = 0;
    double bestBuild = 0;
    double teardown = 0;
    qsizetype rows = 0;
    for (int round = 0; round < rounds; ++round) {
        // Sorting: the store-key ordering (QString operator<).
        QStringList toSort = shuffled;
        toSort.detach();
        QElapsedTimer timer;
        timer.start();
        std::sort(toSort.begin(), toSort.end());
        bestSort = std::min(bestSort, milliseconds(timer));

        // Loading column zero: decompose every key of the sorted list, then
        // group them by domain.
        timer.start();
        kv::DecomposedKeyList list = kv::decomposedStrings(sorted);
        const double decompose = milliseconds(timer);
        kv::TreeBranch branch = kv::buildTreeBranchForColumn(0, &list);
        const double load = milliseconds(timer);
        if (load < bestLoad) {
            bestLoad = load;
            bestDecompose = decompose;
            bestBuild = load - decompose;
        }
        rows = branch.names.size();

        timer.start();
        branch = kv::TreeBranch();
        list = kv::DecomposedKeyList();
        teardown = milliseconds(timer);
    }

    std::printf("keys: %d, rounds: %d (best of each)\n", count, rounds);
    std::printf("sort (std::sort, QString operator<): %9.1f ms\n", bestSort);
    std::printf("load column zero (decompose + build): %9.1f ms  (decompose %.1f ms, build %.1f ms, %lld rows)\n",
                bestLoad, bestDecompose, bestBuild, static_cast<long long>(rows));
    std::printf("ratio load / sort: %.2f\n", bestLoad / bestSort);
    std::printf("(releasing the column afterwards: %.1f ms)\n", teardown);
    std::printf("RESULT name=column_zero ratio=%.3f goal=1.0\n", bestLoad / bestSort);
    return 0;
}
