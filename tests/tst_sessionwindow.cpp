// The main window's session given back to the windows and taken from them:
// a saved place that still fits a screen, one that does not, the split, the
// panels, the find options and the selected key.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "app/SessionWindow.h"
#include "find/ui/FindBar.h"
#include "find/ui/KeyFinder.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/SplitView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Window.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

using kv::app::SessionState;

Q_DECLARE_METATYPE(SessionState)

class TestSessionWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        engine = std::make_unique<kv::StoreEngine>();
        kv::StoreEngine::setInstance(engine.get());
        engine->setValue(QStringLiteral("Setup:/System"), kv::PropertyListValue::fromString(QStringLiteral("s")));
        engine->setValue(QStringLiteral("State:/A"), kv::PropertyListValue::fromString(QStringLiteral("a")));
        controller = std::make_unique<KVNController>();
        ui = kv::app::loadMainInterface(controller.get());
        controller->awakeFromNib();
    }

    void cleanup()
    {
        ui.reset();
        controller.reset();
        kv::StoreEngine::setInstance(nullptr);
        engine.reset();
    }

    void roundTrip_data()
    {
        QTest::addColumn<SessionState>("saved");
        QTest::addColumn<bool>("placeKept"); // the saved rectangle is used as it is
        QTest::addColumn<QString>("selected");
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        SessionState fits;
        fits.windowRect = QRect(screen.topLeft() + QPoint(10, 20), QSize(500, 400));
        fits.selectedKey = QStringLiteral("State:/A");
        fits.findMatchCase = true;
        fits.findInValues = true;
        fits.inspectorOpen = true;
        QTest::newRow("a place that fits, a key") << fits << true << "State:/A";
        SessionState away = fits;
        away.windowRect = QRect(screen.right() + 500, 0, 500, 400); // a screen that is gone
        away.selectedKey = QStringLiteral("State:/Gone");
        away.findRegularExpression = true;
        away.consoleOpen = true;
        away.inspectorOpen = false;
        QTest::newRow("a screen gone, a key gone") << away << false << "none";
        QTest::newRow("a first run") << SessionState() << false << "none";
    }

    void roundTrip()
    {
        QFETCH(SessionState, saved);
        QFETCH(bool, placeKept);
        QFETCH(QString, selected);
        kv::app::applySession(*ui, *controller, saved, true);
        ui->mainWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(ui->mainWindow.get()));
        kv::app::applySessionPanels(*ui, saved);
        QCOMPARE(controller->kvnKey->stringValue(), selected);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(screen.contains(ui->mainWindow->geometry()));

        const SessionState now = kv::app::sessionOf(*ui, *controller);
        if (placeKept)
            QCOMPARE(now.windowRect, saved.windowRect);
        QCOMPARE(now.inspectorOpen, saved.inspectorOpen);
        QCOMPARE(now.consoleOpen, saved.consoleOpen);
        QCOMPARE(now.findMatchCase, saved.findMatchCase);
        QCOMPARE(now.findRegularExpression, saved.findRegularExpression);
        QCOMPARE(now.findInValues, saved.findInValues);
        QCOMPARE(now.selectedKey, selected == QLatin1String("none") ? QString() : selected);

        // The split comes back as it was left.
        ui->splitView->setSizes({100, 400});
        const QList<int> left = ui->splitView->sizes();
        const SessionState split = kv::app::sessionOf(*ui, *controller);
        ui->splitView->setSizes({400, 100});
        QVERIFY(ui->splitView->sizes() != left);
        kv::app::applySession(*ui, *controller, split, false);
        QCOMPARE(ui->splitView->sizes(), left);
    }

private:
    std::unique_ptr<kv::StoreEngine> engine;
    std::unique_ptr<KVNController> controller;
    std::unique_ptr<kv::app::MainInterface> ui;
};

QTEST_MAIN(TestSessionWindow)
#include "tst_sessionwindow.moc"
