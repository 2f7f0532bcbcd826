// Process start -> main window shown: keyvane serving a 10,000-key snapshot
// against a minimal Qt Widgets window (bench_minimal_window), run alternately
// in the same run. Beside them run keyvane serving one key (what the start
// costs whatever the store holds) and the minimal window showing one line of
// text, laid out before it is shown (bench_minimal_window --text: what showing
// any text costs over the empty window, fonts above all); both are reported. Both say "shown" on standard output after
// the shown window's first event-loop turn and quit (KEYVANE_EXIT_WHEN_SHOWN=1); keyvane says how many keys its store
// holds then, which must be the snapshot's. Timed under the X server of DISPLAY, where a window is shown for real: that
// ratio is the figure judged against its goal. The same runs under the
// offscreen platform are reported beside it: there no native window is made
// and nothing reaches a screen, and the minimal window, which draws no text,
// never sets up fonts, so that ratio mostly measures what any window with
// text and widgets costs over an empty one. Without DISPLAY only the
// offscreen figure is printed (benchmarks/run.sh starts Xvfb when it can).
//
// Usage: bench_startup [runs, default 21] [keys, default 10000]
// Prints the median wall time of each, to the "shown" line and to the exit,
// and their ratios. The RESULT figure is the ratio to the "shown" line: the
// exit adds each program's teardown (for the minimal window that includes
// setting up the font configuration only to release it), which is no part of
// starting.

#include "benchmarks/Median.h"
#include "platform/plist/PropertyListFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// The pause before each start.
constexpr unsigned long SettleMilliseconds = 200;

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

using bench::median;

// One start: wall time in ms from starting the process to its "shown" line
// (the shown window's first event-loop turn) and to its exit.
struct Timing
{
    double shown = -1;
    double exited = -1;
};

// Starts `program` under the Qt platform `platform`; when expectedKeys is not
// negative, the program must report that many keys in its store when shown
// (the window timed is the one serving the snapshot). Negative times on failure.
Timing timeRun(const QString &program, const QStringList &arguments, const QString &platform, qint64 expectedKeys)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    environment.insert(QStringLiteral("KEYVANE_EXIT_WHEN_SHOWN"), QStringLiteral("1"));
    // A configuration folder of its own: no saved session to restore, the
    // same start every time.
    static const QTemporaryDir configuration;
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configuration.path());
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    Timing timing;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    QByteArray output;
    while (!output.contains('\n') && process.waitForReadyRead(60000))
        output += process.readAllStandardOutput();
    if (output.startsWith("shown"))
        timing.shown = double(timer.nsecsElapsed()) / 1e6;
    const bool finished = process.waitForFinished(60000);
    timing.exited = double(timer.nsecsElapsed()) / 1e6;
    output += process.readAllStandardOutput();
    const QByteArray line = output.left(output.indexOf('\n'));
    bool good =
        finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && timing.shown >= 0;
    if (good && expectedKeys >= 0) {
        const QByteArray keys = QByteArray(" ") + line + ' ';
        good = keys.contains(" keys=" + QByteArray::number(expectedKeys) + ' ');
    }
    if (!good) {
        std::fprintf(stderr, "%s (%s) failed: %s (exit %d), said \"%s\"\n", qPrintable(program), qPrintable(platform),
                     qPrintable(process.errorString()), process.exitCode(), line.constData());
        process.kill();
        process.waitForFinished();
        return {};
    }
    return timing;
}

struct Figures
{
    double app = 0, appExit = 0;     // keyvane, the large snapshot
    double fixed = 0, fixedExit = 0; // keyvane, one key
    double base = 0, baseExit = 0;   // the minimal window
    double text = 0, textExit = 0;   // the minimal window with one line of text
};

// Runs the four programs alternately, after one warm-up run of each (page
// cache, font cache). False when a run failed.
bool measure(const QString &platform, int runs, const QString &keyvane, const QString &minimal, const QString &snapshot,
             int count, const QString &small, Figures *figures)
{
    const QStringList large{QStringLiteral("--snapshot"), snapshot};
    const QStringList one{QStringLiteral("--snapshot"), small};
    const QStringList text{QStringLiteral("--text")};
    if (timeRun(keyvane, large, platform, count).shown < 0 || timeRun(minimal, {}, platform, -1).shown < 0
        || timeRun(keyvane, one, platform, 1).shown < 0 || timeRun(minimal, text, platform, -1).shown < 0)
        return false;
    std::vector<double> app, appExit, base, baseExit, fixed, fixedExit, withText, withTextExit;
    for (int run = 0; run < runs; ++run) {
        // Each program starts in each place of the order equally often, and
        // after a pause: a program that has just quit leaves the machine and
        // the window server busy for a while (its windows, its memory), which
        // would slow whichever program started next.
        Timing a, b, c, d;
        for (int slot = 0; slot < 4; ++slot) {
            QThread::msleep(SettleMilliseconds);
            switch ((run + slot) % 4) {
            case 0: a = timeRun(keyvane, large, platform, count); break;
            case 1: b = timeRun(minimal, {}, platform, -1); break;
            case 2: c = timeRun(keyvane, one, platform, 1); break;
            default: d = timeRun(minimal, text, platform, -1); break;
            }
        }
        if (a.shown < 0 || b.shown < 0 || c.shown < 0 || d.shown < 0)
            return false;
        app.push_back(a.shown);
        appExit.push_back(a.exited);
        base.push_back(b.shown);
        baseExit.push_back(b.exited);
        fixed.push_back(c.shown);
        fixedExit.push_back(c.exited);
        withText.push_back(d.shown);
        withTextExit.push_back(d.exited);
    }
    *figures = {median(app),  median(appExit),  median(fixed),    median(fixedExit),
                median(base), median(baseExit), median(withText), median(withTextExit)};
    return true;
}

// Prints the figures; `judged` says whether the ratio is the one held to the
// goal (else it is reported as a figure).
void report(const char *name, const char *platform, int count, int runs, const Figures &f, bool judged)
{
    std::printf("platform %s, keys in snapshot: %d, runs: %d (median of each; start -> window shown, and -> exit)\n",
                platform, count, runs);
    std::printf("  keyvane --snapshot (%d keys): %8.1f ms  %8.1f ms\n", count, f.app, f.appExit);
    std::printf("  keyvane --snapshot (one key):   %8.1f ms  %8.1f ms\n", f.fixed, f.fixedExit);
    std::printf("  minimal Qt Widgets window:      %8.1f ms  %8.1f ms\n", f.base, f.baseExit);
    std::printf("  the same with one line of text: %8.1f ms  %8.1f ms\n", f.text, f.textExit);
    std::printf("  ratio keyvane / minimal: %.2f to shown, %.2f to exit (limit 1.5)\n", f.app / f.base,
                f.appExit / f.baseExit);
    // What the store's size adds, and what any start of this window costs
    // beyond an empty one (fonts, toolbar images, the widgets themselves).
    std::printf("  the %d keys add %.1f ms to shown; with one key keyvane / minimal is %.2f\n", count, f.app - f.fixed,
                f.fixed / f.base);
    // What laying out any text before showing costs over the empty window,
    // and keyvane measured against that window instead.
    std::printf("  one line of text: minimal with text / minimal is %.2f; keyvane (%d keys) / minimal with text is "
                "%.2f\n",
                f.text / f.base, count, f.app / f.text);
    std::printf(
        "RESULT name=%s_text_window value=%.2fx figure=\"start to window shown, minimal window with one line of "
        "text vs empty minimal window (%s)\"\n",
        name, f.text / f.base, platform);
    if (judged)
        std::printf("RESULT name=%s ratio=%.3f goal=1.5 figure=\"start to window shown, %d-key snapshot, vs minimal Qt "
                    "window (%s)\"\n",
                    name, f.app / f.base, count, platform);
    else
        std::printf("RESULT name=%s value=%.2fx figure=\"start to window shown, %d-key snapshot, vs minimal Qt "
                    "window (%s)\"\n",
                    name, f.app / f.base, count, platform);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
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
    if (!kv::writePropertyListFile(
            small, kv::PropertyListValue::fromDictionary({{QStringLiteral("State:/A"), serviceValue(0)}}), &error)) {
        std::fprintf(stderr, "cannot write the snapshot: %s\n", qPrintable(error));
        return 1;
    }

    Figures offscreen;
    if (!measure(QStringLiteral("offscreen"), runs, keyvane, minimal, snapshot, count, small, &offscreen))
        return 1;
    report("startup_offscreen", "offscreen", count, runs, offscreen, false);

    // The judged figure, under the X server of DISPLAY.
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (timeRun(minimal, {}, QStringLiteral("xcb"), -1).shown < 0) {
            std::printf("DISPLAY is set but no window can be shown there: the start-up goal is not measured\n");
        } else {
            Figures x11;
            if (!measure(QStringLiteral("xcb"), runs, keyvane, minimal, snapshot, count, small, &x11))
                return 1;
            report("startup", "xcb", count, runs, x11, true);
        }
    } else {
        std::printf("no DISPLAY: the start-up goal is not measured (run under an X server, e.g. xvfb-run)\n");
    }
    return 0;
}
