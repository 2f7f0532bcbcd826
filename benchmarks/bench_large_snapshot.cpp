// The 200,000-key snapshot (benchmarks/LargeSnapshot.h) loaded as the
// snapshot source loads it, from its binary and from its XML file (best of
// five each, reading the file included, each load the first of a process of
// its own): the binary file's load against the XML file's (goal: half), and
// where each load's time goes (reading the file, then reading it into keys
// and checked values). Then the window against the command line on the
// binary file: keyvane started offscreen until its window is shown, against
// keyvane-cli listing every key (median of five each, run alternately; goal:
// within 1.2 times).
//
// Usage: bench_large_snapshot [runs, default 5]

#include "benchmarks/ChildProcess.h"
#include "benchmarks/LargeSnapshot.h"
#include "benchmarks/Median.h"
#include "platform/FileContents.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Loads the file into an engine through a snapshot source, as the program
// does; ms, or -1.
double loadMilliseconds(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    kv::StoreEngine engine;
    engine.addSource(std::make_unique<kv::SnapshotSource>(path));
    QString error;
    if (!engine.ensureStarted(&error))
        return -1;
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    return engine.keyCount() == bench::LargeSnapshotKeys ? ms : -1;
}

// Where a load's time goes, in the first read of a process: reading the
// file, then reading it into the top-level keys with every value checked
// and left to make on use. Prints "read-ms parse-ms", or fails.
int printPhases(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    QFile file(path);
    QByteArray bytes;
    if (!file.open(QIODevice::ReadOnly) || !kv::readFileContents(file, &bytes))
        return 1;
    const double readMs = double(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    QString error;
    const kv::PropertyListValue contents =
        kv::readPropertyList(bytes, &error, path, kv::PropertyListReading::TopLevelOnUse);
    const double parseMs = double(timer.nsecsElapsed()) / 1e6;
    if (contents.kind() != kv::PropertyListValue::Kind::Dictionary
        || contents.dictionary().size() != bench::LargeSnapshotKeys)
        return 1;
    std::printf("%.3f %.3f\n", readMs, parseMs);
    return 0;
}

// The best of each phase over `runs` processes; false when one failed.
bool bestPhases(const QString &path, int runs, double *readMs, double *parseMs)
{
    *readMs = *parseMs = -1;
    for (int run = 0; run < runs; ++run) {
        const std::optional<QList<QByteArray>> printed = bench::runSelf({QStringLiteral("--phases"), path}, 120000);
        if (!printed || printed->size() != 2)
            return false;
        const double read = printed->at(0).toDouble(), parse = printed->at(1).toDouble();
        *readMs = *readMs < 0 ? read : std::min(*readMs, read);
        *parseMs = *parseMs < 0 ? parse : std::min(*parseMs, parse);
    }
    return true;
}

// The best of `runs` loads, each the first load of a process of its own, as
// when the program starts: a process that has loaded and freed the file
// before would find its memory ready to take again.
double best(const QString &path, int runs)
{
    double result = -1;
    for (int run = 0; run < runs; ++run) {
        const std::optional<QList<QByteArray>> printed = bench::runSelf({QStringLiteral("--load"), path}, 120000);
        bool ok = false;
        const double ms = printed && printed->size() == 1 ? printed->first().toDouble(&ok) : -1;
        if (!ok)
            return -1;
        result = result < 0 ? ms : std::min(result, ms);
    }
    return result;
}

// Wall time of one run: to the window's "shown" line, or to the exit.
double timeRun(const QString &program, const QStringList &arguments, bool untilShown)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("KEYVANE_EXIT_WHEN_SHOWN"), QStringLiteral("1"));
    static const QTemporaryDir configuration;
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configuration.path());
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!untilShown)
        process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    double ms = -1;
    if (untilShown) {
        QByteArray output;
        while (!output.contains('\n') && process.waitForReadyRead(60000))
            output += process.readAllStandardOutput();
        if (output.startsWith("shown"))
            ms = double(timer.nsecsElapsed()) / 1e6;
    }
    const bool finished = process.waitForFinished(60000);
    if (!untilShown)
        ms = double(timer.nsecsElapsed()) / 1e6;
    if (!finished || process.exitCode() != 0)
        return -1;
    return ms;
}

using bench::median;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) {
        const double ms = loadMilliseconds(QString::fromLocal8Bit(argv[2]));
        std::printf("%.3f\n", ms);
        return ms < 0 ? 1 : 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--phases") == 0)
        return printPhases(QString::fromLocal8Bit(argv[2]));
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir dir;
    if (!bench::writeLargeSnapshot(dir.path()))
        return 1;
    const QString binary = dir.filePath(QStringLiteral("large.bplist"));
    const QString xml = dir.filePath(QStringLiteral("large.plist"));

    const double binaryMs = best(binary, runs), xmlMs = best(xml, runs);
    if (binaryMs < 0 || xmlMs < 0) {
        std::fprintf(stderr, "loading the large snapshot failed\n");
        return 1;
    }
    std::printf("load of %d keys (best of %d processes): binary %.1f ms, XML %.1f ms\n", bench::LargeSnapshotKeys, runs,
                binaryMs, xmlMs);
    std::printf("RESULT name=large_binary_load ratio=%.3f goal=0.5 figure=\"load of the 200,000-key binary file "
                "%.0f ms / its XML file %.0f ms\"\n",
                binaryMs / xmlMs, binaryMs, xmlMs);
    double binaryRead, binaryParse, xmlRead, xmlParse;
    if (bestPhases(binary, runs, &binaryRead, &binaryParse) && bestPhases(xml, runs, &xmlRead, &xmlParse)) {
        std::printf("  where it goes (best of %d each): binary: reading the file %.1f ms, its keys and checked "
                    "values %.1f ms; XML: reading %.1f ms, keys and values %.1f ms\n",
                    runs, binaryRead, binaryParse, xmlRead, xmlParse);
    }

    const QString here = QCoreApplication::applicationDirPath();
    const QString keyvane = QDir(here).absoluteFilePath(QStringLiteral("../app/keyvane"));
    const QString cli = QDir(here).absoluteFilePath(QStringLiteral("../app/keyvane-cli"));
    const QStringList snapshot{QStringLiteral("--snapshot"), binary};
    std::vector<double> window, list;
    for (int run = 0; run <= runs; ++run) {
        const double w = timeRun(keyvane, snapshot, true);
        const double l = timeRun(cli, snapshot + QStringList{QStringLiteral("list")}, false);
        if (w < 0 || l < 0) {
            std::fprintf(stderr, "running keyvane or keyvane-cli on the large snapshot failed\n");
            return 1;
        }
        if (run > 0) { // the first is a warm-up
            window.push_back(w);
            list.push_back(l);
        }
    }
    std::printf("binary file, median of %d: window shown %.1f ms, keyvane-cli list %.1f ms\n", runs, median(window),
                median(list));
    std::printf("RESULT name=large_window_shown ratio=%.3f goal=1.2 figure=\"keyvane shown offscreen %.0f ms / "
                "keyvane-cli list %.0f ms, 200,000-key binary file\"\n",
                median(window) / median(list), median(window), median(list));
    return 0;
}
