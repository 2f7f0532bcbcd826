#include "app/ApplicationMain.h"

#include "app/KVNController.h"
#include "app/MainInterface.h"
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

QString snapshotArgument(int argc, char **argv)
{
    static constexpr char option[] = "--snapshot";
    QString path;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            break;
        if (std::strcmp(argument, option) == 0 && i + 1 < argc)
            path = QString::fromLocal8Bit(argv[++i]);
        else if (std::strncmp(argument, option, sizeof option - 1) == 0 && argument[sizeof option - 1] == '=')
            path = QString::fromLocal8Bit(argument + sizeof option);
    }
    return path;
}

int applicationMain(int argc, char **argv)
{
    // Setting up the window system is mostly waiting on it: meanwhile, the
    // font configuration and the snapshot file (when one is given) are read
    // on threads of their own. Each thread's result is taken on this thread,
    // which does everything else.
    kv::ui::FontConfigurationReadAhead fonts;
    std::shared_ptr<kv::SnapshotReadAhead> snapshotReadAhead;
    if (const QString path = snapshotArgument(argc, argv); !path.isEmpty())
        snapshotReadAhead = std::make_shared<kv::SnapshotReadAhead>(path);

    QApplication app(argc, argv);
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

    QCommandLineParser parser;
    parser.setApplicationDescription(QObject::tr(
        "Looks into the dynamic configuration store: every key, its value, and every change as it happens."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                           QObject::tr("Shows the version and build number."));
    parser.addOption(versionOption);
    const QCommandLineOption snapshotOption(
        QStringLiteral("snapshot"),
        QObject::tr("Serves the store from the top-level dictionary of a property-list FILE (followed as it changes) "
                    "instead of this machine's live state."),
        QObject::tr("FILE"));
    parser.addOption(snapshotOption);
    if (!parser.parse(QApplication::arguments())) {
        std::fprintf(stderr, "keyvane: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("keyvane %s (build %s)\n", KEYVANE_VERSION, KEYVANE_BUILD_NUMBER);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "keyvane: unexpected argument '%s' (see --help)\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }

    {
        kv::StoreConfiguration configuration;
        if (parser.isSet(snapshotOption)) {
            configuration.kind = kv::StoreConfiguration::Kind::Snapshot;
            configuration.snapshotPath = parser.value(snapshotOption);
            configuration.snapshotReadAhead = std::move(snapshotReadAhead);
        }
        kv::StoreEngine::instance()->configure(configuration);
    }                          // the source alone keeps the read-ahead, until it starts
    snapshotReadAhead.reset(); // (one the command line turned out not to name)

    // Load the interface, then start the controller, then run.
    fonts.wait();
    KVNController controller;
    std::unique_ptr<MainInterface> ui = loadMainInterface(&controller);
    controller.awakeFromNib();
    ui->mainWindow->show();
    kv::ui::quitOnTerminationSignals();
    // Start-up timing (benchmarks/bench_startup): once the shown window has
    // had its first event-loop turn, say so on standard output with what it
    // shows (the keys in the store, the rows of the browser's first column),
    // and quit.
    if (qEnvironmentVariableIntValue("KEYVANE_EXIT_WHEN_SHOWN") == 1) {
        QTimer::singleShot(0, &app, [&controller] {
            std::printf("shown keys=%lld rows=%d\n", static_cast<long long>(kv::StoreEngine::instance()->keyCount()),
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
