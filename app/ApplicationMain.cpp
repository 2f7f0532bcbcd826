#include "app/ApplicationMain.h"

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/Application.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

int applicationMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Keyvane"));
    QApplication::setApplicationVersion(QStringLiteral(KEYVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("keyvane"));
    QApplication::setWindowIcon(kv::ui::Bundle::mainBundle().imageNamed(QStringLiteral("keyvane")));

    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("keyvane"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QApplication::installTranslator(&translator);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QObject::tr("Looks into the dynamic configuration store: every key, its value, and every change as it happens."));
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

    kv::StoreConfiguration configuration;
    if (parser.isSet(snapshotOption)) {
        configuration.kind = kv::StoreConfiguration::Kind::Snapshot;
        configuration.snapshotPath = parser.value(snapshotOption);
    }
    kv::StoreEngine::instance()->configure(configuration);

    // Load the interface, then start the controller, then run.
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
