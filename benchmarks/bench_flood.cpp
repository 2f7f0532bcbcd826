// Soak: a source publishing 100,000 changes per minute into a 10,000-key store
// with the real controller and main interface shown (offscreen). Prints the
// worst event-loop stall, the console length, resident memory and heap in use
// over the run, and whether every change reached the key list and column zero.
//
// Flatness: ratio = (resident at the end - resident after the warm-up, the
// first fifth of the run) / resident after the warm-up; goal 0.1. The heap in
// use (what the allocator has handed out) is printed beside it: resident
// growth with a flat heap is the allocator's, growth of both is held memory.
//
// Usage: bench_flood [seconds, default 60] [changes per minute, default 100000]
//                    [initial keys, default 10000]
// For a ten-minute soak: bench_flood 600
// FLOOD_HIDE_CONSOLE=1 leaves the console window closed (it still logs).

#include "benchmarks/FloodDriver.h"

#include <cstdio>
#include <cstdlib>
#include <malloc.h>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int rate = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100000;
    const int initial = argc > 3 ? std::max(0, std::atoi(argv[3])) : 10000;

    flood::Driver driver(initial, rate);
    const flood::Figures f = driver.run(seconds * 1000);

    std::printf("flood: %.1f s, %lld changes in %lld lists (%.0f per minute), %lld keys at the end\n", f.seconds,
                qlonglong(f.changesPublished), qlonglong(f.changeLists), double(f.changesPublished) * 60.0 / f.seconds,
                qlonglong(f.keysAtEnd));
    std::printf("event loop: worst gap between 10 ms ticks %.1f ms, mean %.1f ms\n", f.worstGapMs, f.meanGapMs);
    std::printf("console length: %lld to %lld characters (after the first fifth), %lld at the end\n",
                qlonglong(f.consoleMin), qlonglong(f.consoleMax), qlonglong(f.consoleEnd));
    std::printf("resident: %.1f MB before, %.1f MB after the first fifth, %.1f MB at the end (%+.1f MB)\n",
                f.residentBefore / 1048576.0, f.residentStart / 1048576.0, f.residentEnd / 1048576.0,
                (f.residentEnd - f.residentStart) / 1048576.0);
    std::printf("resident over the run:");
    for (const auto &[seconds, bytes] : f.residentSamples)
        std::printf(" %.0fs %.1f MB;", seconds, bytes / 1048576.0);
    std::printf("\nheap in use at the same moments:");
    for (qsizetype i = 0; i < f.heapSamples.size(); ++i)
        std::printf(" %.0fs %.1f MB;", f.residentSamples.value(i).first, f.heapSamples.at(i) / 1048576.0);
    malloc_trim(0);
    std::printf(" after returning free heap to the system: %.1f MB\n", flood::residentBytes() / 1048576.0);
    std::printf("key list equals the store's keys: %s; column zero equals a fresh one: %s\n",
                f.keyListMatches ? "yes" : "NO", f.columnZeroMatches ? "yes" : "NO");

    // The samples after the warm-up, in thirds: mean resident size of the first and the last.
    QList<qint64> after;
    for (const auto &[at, bytes] : f.residentSamples) {
        if (at * 5 >= f.seconds)
            after.append(bytes);
    }
    const qsizetype third = std::max<qsizetype>(1, after.size() / 3);
    auto meanOf = [](const QList<qint64> &values) {
        double sum = 0;
        for (qint64 v : values)
            sum += double(v);
        return values.isEmpty() ? 0.0 : sum / double(values.size());
    };
    const double firstThird = meanOf(after.mid(0, third));
    const double lastThird = meanOf(after.mid(after.size() - third));
    const double growth = f.residentStart > 0 ? double(f.residentEnd - f.residentStart) / double(f.residentStart) : 0;
    std::printf("flatness: resident after the warm-up %.1f MB, at the end %.1f MB (ratio %+.3f); mean of the first "
                "third after the warm-up %.1f MB, of the last third %.1f MB; heap in use %.1f -> %.1f MB\n",
                f.residentStart / 1048576.0, f.residentEnd / 1048576.0, growth, firstThird / 1048576.0,
                lastThird / 1048576.0, f.heapSamples.isEmpty() ? 0.0 : f.heapSamples.value(1) / 1048576.0,
                f.heapSamples.isEmpty() ? 0.0 : f.heapSamples.last() / 1048576.0);
    std::printf("RESULT name=flood_worst_stall_ms value=%.1f\n", f.worstGapMs);
    std::printf("RESULT name=flood_memory ratio=%.3f goal=0.1 figure=\"resident %.1f MB after the warm-up, %.1f MB "
                "after %.0f s of %d changes per minute; worst stall %.1f ms\"\n",
                growth, f.residentStart / 1048576.0, f.residentEnd / 1048576.0, f.seconds, rate, f.worstGapMs);
    return f.keyListMatches && f.columnZeroMatches ? 0 : 1;
}
