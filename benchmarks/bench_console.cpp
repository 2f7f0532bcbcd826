// Appending a line to the console log at its steady state (about 20000
// characters, trimmed as it goes) against appending a line to an empty log.
//
// Usage: bench_console [appends per measurement, default 5000]
// Prints the mean time per append of each and their ratio.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/ui/TextView.h"
#include "platform/ui/Window.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

namespace {

QString message(int i)
{
    return QStringLiteral("State:/Network/Service/%1-4E2B-93A1/IPv4").arg(uint(i) * 2654435761u, 8, 16, QLatin1Char('0'));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int appends = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;

    KVNController controller;
    std::unique_ptr<MainInterface> ui = loadMainInterface(&controller);
    controller.initLog();
    for (bool shown : {false, true}) {
        if (shown) {
            controller.consoleWindow->resize(640, 360);
            controller.consoleWindow->show();
            QApplication::processEvents();
        }
        // Empty log: each append measured alone, the log emptied between.
        QElapsedTimer timer;
        qint64 emptyNs = 0;
        for (int i = 0; i < appends; ++i) {
            controller.consoleView->setString(QString());
            timer.start();
            controller.updateLog(message(i), i % 4);
            emptyNs += timer.nsecsElapsed();
        }

        // Steady state: filled past the trim threshold first.
        controller.consoleView->setString(QString());
        while (controller.consoleView->stringLength() <= 20000)
            controller.updateLog(message(0), LogKeyUpdated);
        timer.start();
        for (int i = 0; i < appends; ++i)
            controller.updateLog(message(i), i % 4);
        const qint64 steadyNs = timer.nsecsElapsed();

        const double empty = double(emptyNs) / appends / 1000.0;
        const double steady = double(steadyNs) / appends / 1000.0;
        std::printf("console %s: append to an empty log %8.1f us, at steady state %8.1f us (length %lld), "
                    "ratio %.2f (limit 2)\n",
                    shown ? "shown " : "hidden", empty, steady, qlonglong(controller.consoleView->stringLength()),
                    steady / empty);
        std::printf("RESULT name=console_%s ratio=%.3f goal=2\n", shown ? "shown" : "hidden", steady / empty);
    }
    return 0;
}
