// The baseline of bench_startup: the smallest Qt Widgets program that shows a
// window. With KEYVANE_EXIT_WHEN_SHOWN=1 it quits after the shown window's
// first event-loop turn, exactly as keyvane does.

#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(800, 600);
    window.setWindowTitle(QStringLiteral("Minimal"));
    window.show();
    if (qEnvironmentVariableIntValue("KEYVANE_EXIT_WHEN_SHOWN") == 1)
        QTimer::singleShot(0, &app, &QApplication::quit);
    return QApplication::exec();
}
