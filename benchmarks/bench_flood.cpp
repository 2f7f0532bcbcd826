// Soak: a source publishing 100,000 changes per minute into a 10,000-key store
// with the real controller and main interface shown (offscreen). Prints the
// worst event-loop stall, the console length, resident memory at the start and
// end, and whether every change reached the key list and column zero.
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
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
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
    malloc_trim(0);
    std::printf(" after returning free heap to the system: %.1f MB\n", flood::residentBytes() / 1048576.0);
    std::printf("key list equals the store's keys: %s; column zero equals a fresh one: %s\n",
                f.keyListMatches ? "yes" : "NO", f.columnZeroMatches ? "yes" : "NO");
    std::printf("RESULT name=flood_worst_stall_ms value=%.1f\n", f.worstGapMs);
    return f.keyListMatches && f.columnZeroMatches ? 0 : 1;
}
