// The controller's creation, start-up and window behaviour.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "app/StoreSources.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/Application.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/SplitView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

class TestController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void creationSetsDefaults();
    void newestControllerIsSelfObject();
    void minimumDividerCoordinate_data();
    void minimumDividerCoordinate();
    void maximumDividerCoordinate_data();
    void maximumDividerCoordinate();
    void splitViewKeepsBothPanesAtLeast80High();
    void closingMainWindowTerminates();
    void startUpWiresBrowserToolbarConsoleAndKeys();
    void storeThatCannotBeOpenedStillBringsUpTheWindow();

private:
    std::unique_ptr<kv::StoreEngine> engine;
    int terminations = 0;
};

void TestController::init()
{
    engine = std::make_unique<kv::StoreEngine>();
    kv::StoreEngine::setInstance(engine.get());
    terminations = 0;
    kv::ui::setTerminateHandler([this](QObject *) { ++terminations; });
}

void TestController::cleanup()
{
    kv::ui::setTerminateHandler({});
    kv::StoreEngine::setInstance(nullptr);
    engine.reset();
}

void TestController::creationSetsDefaults()
{
    KVNController controller;
    QCOMPARE(controller.browserUpdatePolicy, 1);
    QCOMPARE(controller.outlineUpdatePolicy, 0);
    QCOMPARE(controller.outlineViewModeExpended, quint8(1));
    QVERIFY(controller.storeKeysList.isEmpty());
    QVERIFY(controller.storeTree.isEmpty());
    QVERIFY(controller.selectedKeyContents.isNone());
    QVERIFY(!controller.store);
    QVERIFY(controller.toolbarItemsDictionary.isEmpty());
}

void TestController::newestControllerIsSelfObject()
{
    KVNController first;
    QCOMPARE(selfObject, &first);
    {
        KVNController second;
        QCOMPARE(selfObject, &second);
    }
    // A destroyed controller is not left behind as the callback's target.
    QVERIFY(selfObject != reinterpret_cast<KVNController *>(&first) || selfObject == nullptr);
}

void TestController::minimumDividerCoordinate_data()
{
    QTest::addColumn<float>("proposed");
    QTest::addColumn<float>("expected");
    QTest::newRow("below the pane minimum") << 10.0f << 80.0f;
    QTest::newRow("above the pane minimum") << 200.0f << 200.0f;
    QTest::newRow("exactly the pane minimum") << 80.0f << 80.0f;
    QTest::newRow("negative") << -5.0f << 80.0f;
}

void TestController::minimumDividerCoordinate()
{
    QFETCH(float, proposed);
    QFETCH(float, expected);
    KVNController controller;
    kv::ui::SplitView split;
    QCOMPARE(controller.splitViewConstrainMinCoordinate(&split, proposed, 0), expected);
}

void TestController::maximumDividerCoordinate_data()
{
    QTest::addColumn<int>("height");
    QTest::addColumn<float>("proposed");
    QTest::addColumn<float>("expected");
    QTest::newRow("500 high, 450 proposed") << 500 << 450.0f << 420.0f;
    QTest::newRow("500 high, 300 proposed") << 500 << 300.0f << 300.0f;
    // Under 160 high the maximum falls below the minimum; both stay as computed.
    QTest::newRow("100 high, 90 proposed") << 100 << 90.0f << 20.0f;
}

void TestController::maximumDividerCoordinate()
{
    QFETCH(int, height);
    QFETCH(float, proposed);
    QFETCH(float, expected);
    KVNController controller;
    kv::ui::SplitView split;
    split.setGeometry(0, 0, 300, height);
    QCOMPARE(controller.splitViewConstrainMaxCoordinate(&split, proposed, 0), expected);
    // The width plays no part: the divider runs horizontally.
    split.setGeometry(0, 0, 2000, height);
    QCOMPARE(controller.splitViewConstrainMaxCoordinate(&split, proposed, 0), expected);
}

void TestController::splitViewKeepsBothPanesAtLeast80High()
{
    KVNController controller;
    auto ui = kv::app::loadMainInterface(&controller);
    ui->mainWindow->resize(800, 600);
    ui->mainWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(ui->mainWindow.get()));
    kv::ui::SplitView *split = ui->splitView;
    const int height = split->height();
    QVERIFY(height > 200);

    split->setDividerPosition(10);
    QCOMPARE(split->dividerPosition(), 80);
    split->setDividerPosition(height);
    QVERIFY(split->dividerPosition() <= height - 80);
    split->setDividerPosition(150);
    QCOMPARE(split->dividerPosition(), 150);
}

void TestController::closingMainWindowTerminates()
{
    KVNController controller;
    auto ui = kv::app::loadMainInterface(&controller);
    ui->mainWindow->show();
    QCOMPARE(terminations, 0);
    // Closing a panel does not end the program.
    ui->inspectorPanel->show();
    ui->inspectorPanel->close();
    QCOMPARE(terminations, 0);
    ui->mainWindow->close();
    QCOMPARE(terminations, 1);
}

void TestController::startUpWiresBrowserToolbarConsoleAndKeys()
{
    engine->setValue(QStringLiteral("State:/Network/Global/IPv4"),
                     kv::PropertyListValue::fromDictionary(
                         {{QStringLiteral("Router"), kv::PropertyListValue::fromString(QStringLiteral("10.0.0.1"))}}));
    engine->setValue(QStringLiteral("Setup:/System"), kv::PropertyListValue::fromString(QStringLiteral("host")));

    KVNController controller;
    auto ui = kv::app::loadMainInterface(&controller);
    kv::SystemLogCapture log;
    controller.awakeFromNib();

    QVERIFY(controller.store);
    QCOMPARE(controller.kvnBrowser->pathSeparator(), QStringLiteral("{|}~@!@"));
    QVERIFY(ui->mainWindow->toolbar() != nullptr);
    QCOMPARE(controller.toolbarItemsDictionary.size(), 4);
    // The banner is the console's first line.
    const QString console = controller.consoleView->string();
    QVERIFY2(console.contains(QStringLiteral(" : Keyvane ")), qPrintable(console));
    QCOMPARE(console.count(u'\n'), 1);
    // The keys are loaded and column zero shows the domains.
    QCOMPARE(controller.storeKeysList,
             QStringList({QStringLiteral("Setup:/System"), QStringLiteral("State:/Network/Global/IPv4")}));
    QCOMPARE(controller.storeTree.size(), 1);
    QCOMPARE(controller.storeTree.first().names, QStringList({QStringLiteral("Setup:"), QStringLiteral("State:")}));
    QCOMPARE(controller.kvnKey->stringValue(), QStringLiteral("none"));
    QVERIFY(log.lines().isEmpty());
}

void TestController::storeThatCannotBeOpenedStillBringsUpTheWindow()
{
    QTemporaryDir dir;
    kv::StoreConfiguration configuration;
    configuration.kind = kv::StoreConfiguration::Kind::Snapshot;
    configuration.snapshotPath = dir.filePath(QStringLiteral("missing.plist"));
    engine->setSources(kv::app::makeStoreSources(configuration));

    KVNController controller;
    auto ui = kv::app::loadMainInterface(&controller);
    kv::SystemLogCapture log;
    controller.awakeFromNib();
    ui->mainWindow->show();

    QVERIFY(!controller.store);
    QVERIFY(ui->mainWindow->isVisible());
    QVERIFY(ui->mainWindow->toolbar() != nullptr);
    QVERIFY(controller.consoleView->string().contains(QStringLiteral(" : Keyvane ")));
    QVERIFY(controller.storeKeysList.isEmpty());
    QCOMPARE(controller.storeTree.size(), 1);
    QVERIFY(controller.storeTree.first().names.isEmpty());
    // The key request reports the store's own error, which names the file.
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().contains(QStringLiteral("missing.plist")), qPrintable(log.lines().first()));
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"
