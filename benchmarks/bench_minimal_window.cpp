// The baseline of bench_startup: the smallest Qt Widgets program that shows a
// window. With KEYVANE_EXIT_WHEN_SHOWN=1 it says "shown" on standard output
// after the shown window's first event-loop turn and quits, exactly as
// keyvane does.

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(800, 600);
    window.setWindowTitle(QStringLiteral("Minimal"));
    window.show();
    if (qEnvironmentVariableIntValue("KEYVANE_EXIT_WHEN_SHOWN") == 1) {
        QTimer::singleShot(0, &app, [] {
            std::printf("shown\n");
            std::fflush(stdout);
            QApplication::quit();
        });
    }
    return QApplication::exec();
}
