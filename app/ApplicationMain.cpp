#include "app/ApplicationMain.h"

#include "app/CommandLine.h"
#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "app/Session.h"
#include "app/SessionWindow.h"
#include "app/ToolkitStartGuard.h"
#include "platform/ProgramInfo.h"
#include "platform/SystemLog.h"
#include "platform/TerminationSignals.h"
#include "platform/TextEscapes.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/ui/Application.h"
#include "platform/ui/ApplicationStyle.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QInputDialog>
#include <QLineEdit>
#include <QLocale>
#include <QScopeGuard>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
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
           + QStringLiteral("  --select KEY     open the window at KEY (selected in the browser, its value shown)\n"
                            "  -h, --help       show this text\n"
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

// The command line, decided before anything of the window system is touched
// (--help, --version and a wrong option need no display): the store to serve,
// or the status to end with at once.
std::optional<int> decideCommandLine(int argc, char **argv, kv::StoreConfiguration *configuration, QString *selectedKey)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption selectOption(QStringLiteral("select"), QString(), QStringLiteral("KEY"));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption(selectOption);
    kv::app::addStoreOptions(parser);
    if (!parser.parse(kv::app::withoutToolkitOptions(arguments)))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(usageText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        printLine(stdout, QStringLiteral("keyvane %1 (build %2)").arg(kv::ProgramVersion, kv::ProgramBuildNumber));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    QString error;
    if (!kv::app::storeConfigurationFrom(parser, configuration, &error))
        return usageError(error);
    *selectedKey = parser.value(selectOption);
    const QString noDisplay =
        kv::app::displayUnavailableReason(arguments, [](const char *name) { return qEnvironmentVariable(name); });
    if (!noDisplay.isEmpty()) {
        printLine(stderr, QStringLiteral("keyvane: %1; keyvane-cli works in a terminal").arg(noDisplay));
        return 2;
    }
    return std::nullopt;
}

// The application's names, style, icon and translation.
void setUpApplication(QTranslator &translator)
{
    kv::ui::installApplicationStyle();
    QApplication::setApplicationName(kv::ProgramName);
    QApplication::setApplicationVersion(kv::ProgramVersion);
    QApplication::setDesktopFileName(QStringLiteral("keyvane"));
    QApplication::setWindowIcon(kv::ui::Bundle::mainBundle().imageNamed(QStringLiteral("keyvane")));
    if (translator.load(QLocale(), QStringLiteral("keyvane"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QApplication::installTranslator(&translator);
}

} // namespace

namespace kv::app {

int applicationMain(int argc, char **argv)
{
    StoreConfiguration configuration;
    QString selectedKey;
    if (const std::optional<int> status = decideCommandLine(argc, argv, &configuration, &selectedKey))
        return *status;

    // Setting up the window system is mostly waiting on it: meanwhile, the
    // font configuration and the snapshot file (when one is given) are read
    // on threads of their own. Each thread's result is taken on this thread,
    // which does everything else.
    ui::FontConfigurationReadAhead fonts;
    if (configuration.kind == StoreConfiguration::Kind::Snapshot)
        configuration.snapshotReadAhead = std::make_shared<SnapshotReadAhead>(configuration.snapshotPath);

    std::optional<ToolkitStartGuard> guard(std::in_place);
    QApplication app(argc, argv);
    guard.reset();
    // The application object releases the font configuration as it goes, so
    // the read-ahead must be over by then, on every way out.
    const auto fontsDone = qScopeGuard([&fonts] { fonts.wait(); });
    QTranslator translator;
    setUpApplication(translator);

    if (configuration.kind == StoreConfiguration::Kind::Etcd) {
        // A window on a cluster that does not answer yet comes up empty and
        // fills in when it does.
        configuration.etcdComesUpEmpty = true;
        etcd::EtcdSettings &settings = configuration.etcd;
        if (!settings.user.isEmpty() && settings.password.isEmpty()) {
            bool given = false;
            settings.password = QInputDialog::getText(nullptr, QStringLiteral("Keyvane"),
                                                      QStringLiteral("Password for etcd user %1:").arg(settings.user),
                                                      QLineEdit::Password, QString(), &given);
            if (!given)
                return 1;
        }
    }

    // The store, for as long as the program runs.
    StoreEngine engine;
    const StoreEngine::Installation installation(engine);
    engine.setSources(makeStoreSources(configuration));
    configuration.snapshotReadAhead.reset(); // the source alone keeps the read-ahead, until it starts

    // Load the interface, then start the controller, then run.
    fonts.wait();
    KVNController controller;
    std::unique_ptr<MainInterface> mainInterface = loadMainInterface(&controller);
    controller.awakeFromNib();
    // Where the last run left off; a run that only measures its start
    // (below) leaves nothing for the next.
    const bool measuringOnly = qEnvironmentVariableIntValue("KEYVANE_EXIT_WHEN_SHOWN") == 1;
    const SessionStore sessionStore;
    const SessionState session = sessionStore.load();
    applySession(*mainInterface, controller, session, selectedKey.isEmpty());
    if (!selectedKey.isEmpty() && !controller.selectKey(selectedKey))
        systemLog(QStringLiteral("No such key: %1").arg(selectedKey));
    mainInterface->mainWindow->show();
    applySessionPanels(*mainInterface, session);
    // SIGINT, SIGTERM and SIGHUP end the program as closing the window does.
    const TerminationSignals terminationSignals([] { ui::terminate(nullptr); });
    // Start-up timing (benchmarks/bench_startup): once the shown window has
    // had its first event-loop turn, say so on standard output with what it
    // shows (the keys in the store, the rows of the browser's first column,
    // the key field), and quit.
    if (measuringOnly) {
        QTimer::singleShot(0, &app, [&controller, &engine] {
            const QString key = controller.kvnKey ? controller.kvnKey->stringValue() : QString();
            printLine(stdout, QStringLiteral("shown keys=%1 rows=%2 key=%3")
                                  .arg(engine.keyCount())
                                  .arg(controller.kvnBrowser ? controller.kvnBrowser->numberOfRowsInColumn(0) : 0)
                                  .arg(cEscaped(key)));
            QApplication::quit();
        });
    }
    const int status = QApplication::exec();
    if (!measuringOnly)
        sessionStore.save(sessionOf(*mainInterface, controller));
    // Let the windows go before the controller they call back into.
    mainInterface.reset();
    return status;
}

} // namespace kv::app
