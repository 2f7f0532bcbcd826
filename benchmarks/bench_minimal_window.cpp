// The baseline of bench_startup: the smallest Qt Widgets program that shows a
// window. With KEYVANE_EXIT_WHEN_SHOWN=1 it says "shown" on standard output
// after the shown window's first event-loop turn and quits, exactly as
// keyvane does.
//
// With --text the window is a label showing one line of text, sized to fit
// it before it is shown, as any window with text is laid out before it is
// shown: bench_startup reports that window beside the empty one, to tell what
// showing text costs at all from what keyvane adds to it.

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool text = argc > 1 && std::strcmp(argv[1], "--text") == 0;
    std::unique_ptr<QWidget> window;
    if (text) {
        window = std::make_unique<QLabel>(QStringLiteral("Minimal"));
        window->resize(window->sizeHint().expandedTo(QSize(800, 600)));
    } else {
        window = std::make_unique<QWidget>();
        window->resize(800, 600);
    }
    window->setWindowTitle(QStringLiteral("Minimal"));
    window->show();
    if (qEnvironmentVariableIntValue("KEYVANE_EXIT_WHEN_SHOWN") == 1) {
        QTimer::singleShot(0, &app, [] {
            std::printf("shown\n");
            std::fflush(stdout);
            QApplication::quit();
        });
    }
    return QApplication::exec();
}
