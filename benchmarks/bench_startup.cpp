// Process start -> main window shown: keyvane serving a 10,000-key snapshot
// against a minimal Qt Widgets window (bench_minimal_window), run alternately
// in the same run. Both quit after the shown window's first event-loop turn
// (KEYVANE_EXIT_WHEN_SHOWN=1) under the offscreen platform.
//
// Usage: bench_startup [runs, default 9] [keys, default 10000]
// Prints the median wall time of each and their ratio.

#include "platform/plist/PropertyListFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

kv::PropertyListValue serviceValue(int i)
{
    kv::PropertyListDictionary value;
    value.insert(QStringLiteral("Addresses"),
                 kv::PropertyListValue::fromArray({kv::PropertyListValue::fromString(
                     QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg(i / 256 % 256).arg(i % 256))}));
    value.insert(QStringLiteral("InterfaceName"), kv::PropertyListValue::fromString(QStringLiteral("en%1").arg(i)));
    value.insert(QStringLiteral("Index"), kv::PropertyListValue::fromInteger(i));
    return kv::PropertyListValue::fromDictionary(value);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Wall time in ms from start to exit, or a negative value on failure.
double timeRun(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("KEYVANE_EXIT_WHEN_SHOWN"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s (exit %d)\n", qPrintable(program), qPrintable(process.errorString()),
                     process.exitCode());
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10000;

    const QString here = QCoreApplication::applicationDirPath();
    const QString keyvane = QDir(here).absoluteFilePath(QStringLiteral("../app/keyvane"));
    const QString minimal = QDir(here).absoluteFilePath(QStringLiteral("bench_minimal_window"));

    QTemporaryDir directory;
    const QString snapshot = directory.filePath(QStringLiteral("snapshot.plist"));
    kv::PropertyListDictionary contents;
    for (int i = 0; i < count; ++i)
        contents.insert(QStringLiteral("State:/Network/Service/%1/IPv4").arg(i, 6, 10, QLatin1Char('0')),
                        serviceValue(i));
    QString error;
    if (!kv::writePropertyListFile(snapshot, kv::PropertyListValue::fromDictionary(contents), &error)) {
        std::fprintf(stderr, "cannot write the snapshot: %s\n", qPrintable(error));
        return 1;
    }

    // The same window over a one-key snapshot: the part of the start that
    // does not depend on the store's size.
    const QString small = directory.filePath(QStringLiteral("one-key.plist"));
    if (!kv::writePropertyListFile(small, kv::PropertyListValue::fromDictionary({{QStringLiteral("State:/A"), serviceValue(0)}}),
                                   &error)) {
        std::fprintf(stderr, "cannot write the snapshot: %s\n", qPrintable(error));
        return 1;
    }

    // One warm-up run of each (page cache, font cache), then alternate.
    if (timeRun(keyvane, {QStringLiteral("--snapshot"), snapshot}) < 0 || timeRun(minimal, {}) < 0)
        return 1;
    std::vector<double> app_, base, fixed;
    for (int run = 0; run < runs; ++run) {
        const double a = timeRun(keyvane, {QStringLiteral("--snapshot"), snapshot});
        const double b = timeRun(minimal, {});
        const double c = timeRun(keyvane, {QStringLiteral("--snapshot"), small});
        if (a < 0 || b < 0 || c < 0)
            return 1;
        app_.push_back(a);
        base.push_back(b);
        fixed.push_back(c);
    }
    const double appMedian = median(app_);
    const double baseMedian = median(base);
    const double fixedMedian = median(fixed);
    std::printf("keys in snapshot: %d, runs: %d (median of each)\n", count, runs);
    std::printf("keyvane --snapshot, start -> window shown: %8.1f ms\n", appMedian);
    std::printf("keyvane --snapshot (one key):              %8.1f ms\n", fixedMedian);
    std::printf("minimal Qt Widgets window, start -> shown: %8.1f ms\n", baseMedian);
    std::printf("ratio keyvane / minimal: %.2f (limit 1.5)\n", appMedian / baseMedian);
    std::printf("RESULT name=startup ratio=%.3f goal=1.5 figure=\"start to window shown, %d-key snapshot, vs minimal "
                "Qt window\"\n",
                appMedian / baseMedian, count);
    return 0;
}
