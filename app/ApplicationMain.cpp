#include "app/ApplicationMain.h"

#include "app/CommandLine.h"
#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/TerminationSignals.h"
#include "platform/TextEscapes.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/ui/Application.h"
#include "platform/ui/ApplicationStyle.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

QString usageText()
{
    return QStringLiteral("Usage: keyvane [OPTIONS]\n"
                          "\n"
                          "Looks into the dynamic configuration store: every key, its value, and every change as it\n"
                          "happens (by default, this machine's live state).\n"
                          "\n"
                          "Options:\n")
           + kv::app::storeOptionsHelp()
           + QStringLiteral("  -h, --help       show this text\n"
                            "  -v, --version    show the version and build number\n"
                            "\n"
                            "The window toolkit's own options (-platform NAME, -style NAME, -reverse, ...) are\n"
                            "taken too. keyvane-cli looks into the same store from a terminal.\n");
}

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = (text + u'\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString &message)
{
    printLine(stderr, QStringLiteral("keyvane: %1 (see --help)").arg(kv::withLineEndsEscaped(message)));
    return 2;
}

// While the application object is made: the toolkit's messages are held
// back, and a fatal one (no window system could be reached) ends the program
// with one line and status 2 instead of an abort. Held messages are passed
// on when the guard goes.
class ToolkitStartGuard
{
public:
    ToolkitStartGuard() { s_previous = qInstallMessageHandler(&ToolkitStartGuard::handle); }
    ~ToolkitStartGuard()
    {
        qInstallMessageHandler(s_previous);
        for (const Held &message : std::as_const(s_held)) {
            const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
            if (s_previous)
                s_previous(message.type, context, message.text);
            else
                printLine(stderr, qFormatLogMessage(message.type, context, message.text));
        }
        s_held.clear();
    }
    ToolkitStartGuard(const ToolkitStartGuard &) = delete;
    ToolkitStartGuard &operator=(const ToolkitStartGuard &) = delete;

private:
    struct Held
    {
        QtMsgType type;
        QByteArray category;
        QString text;
    };

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type != QtFatalMsg) {
            s_held.append({type, QByteArray(context.category), text});
            return;
        }
        // The first reason the platform gave, if it gave one, else the fatal text.
        QString reason = text.section(u'\n', 0, 0);
        for (const Held &message : std::as_const(s_held)) {
            if (message.category.startsWith("qt.qpa")) {
                reason = message.text;
                break;
            }
        }
        printLine(stderr, QStringLiteral("keyvane: cannot show a window: %1; keyvane-cli works in a terminal")
                              .arg(kv::withLineEndsEscaped(reason)));
        std::_Exit(2);
    }

    static inline QtMessageHandler s_previous = nullptr;
    static inline QList<Held> s_held;
};

} // namespace

namespace kv::app {

int applicationMain(int argc, char **argv)
{
    // The command line is decided before anything of the window system is
    // touched: --help, --version and a wrong option need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    kv::app::addStoreOptions(parser);
    if (!parser.parse(kv::app::withoutToolkitOptions(arguments)))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(usageText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("keyvane %s (build %s)\n", KEYVANE_VERSION, KEYVANE_BUILD_NUMBER);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    kv::StoreConfiguration configuration;
    QString error;
    if (!kv::app::storeConfigurationFrom(parser, &configuration, &error))
        return usageError(error);
    const QString noDisplay =
        kv::app::displayUnavailableReason(arguments, [](const char *name) { return qEnvironmentVariable(name); });
    if (!noDisplay.isEmpty()) {
        printLine(stderr, QStringLiteral("keyvane: %1; keyvane-cli works in a terminal").arg(noDisplay));
        return 2;
    }

    // Setting up the window system is mostly waiting on it: meanwhile, the
    // font configuration and the snapshot file (when one is given) are read
    // on threads of their own. Each thread's result is taken on this thread,
    // which does everything else.
    kv::ui::FontConfigurationReadAhead fonts;
    if (configuration.kind == kv::StoreConfiguration::Kind::Snapshot)
        configuration.snapshotReadAhead = std::make_shared<kv::SnapshotReadAhead>(configuration.snapshotPath);

    std::optional<ToolkitStartGuard> guard(std::in_place);
    QApplication app(argc, argv);
    guard.reset();
    // The application object releases the font configuration as it goes, so
    // the read-ahead must be over by then, on every way out.
    const auto fontsDone = qScopeGuard([&fonts] { fonts.wait(); });
    kv::ui::installApplicationStyle();
    QApplication::setApplicationName(QStringLiteral("Keyvane"));
    QApplication::setApplicationVersion(QStringLiteral(KEYVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("keyvane"));
    QApplication::setWindowIcon(kv::ui::Bundle::mainBundle().imageNamed(QStringLiteral("keyvane")));

    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("keyvane"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QApplication::installTranslator(&translator);

    // The store, for as long as the program runs.
    kv::StoreEngine engine;
    const kv::StoreEngine::Installation installation(engine);
    engine.setSources(kv::app::makeStoreSources(configuration));
    configuration.snapshotReadAhead.reset(); // the source alone keeps the read-ahead, until it starts

    // Load the interface, then start the controller, then run.
    fonts.wait();
    KVNController controller;
    std::unique_ptr<MainInterface> ui = loadMainInterface(&controller);
    controller.awakeFromNib();
    ui->mainWindow->show();
    // SIGINT, SIGTERM and SIGHUP end the program as closing the window does.
    const kv::TerminationSignals terminationSignals([] { kv::ui::terminate(nullptr); });
    // Start-up timing (benchmarks/bench_startup): once the shown window has
    // had its first event-loop turn, say so on standard output with what it
    // shows (the keys in the store, the rows of the browser's first column),
    // and quit.
    if (qEnvironmentVariableIntValue("KEYVANE_EXIT_WHEN_SHOWN") == 1) {
        QTimer::singleShot(0, &app, [&controller, &engine] {
            std::printf("shown keys=%lld rows=%d\n", static_cast<long long>(engine.keyCount()),
                        controller.kvnBrowser ? controller.kvnBrowser->numberOfRowsInColumn(0) : 0);
            std::fflush(stdout);
            QApplication::quit();
        });
    }
    const int status = QApplication::exec();
    // Let the windows go before the controller they call back into.
    ui.reset();
    return status;
}

} // namespace kv::app
