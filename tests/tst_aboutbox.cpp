#include "about/AboutBox.h"
#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/SystemLog.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Window.h"
#include <QTextBrowser>

#include <QApplication>
#include <QDialogButtonBox>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

namespace {

// Centred on its screen. A window's frame is known only once it is on
// screen, so a first centring may be off by the frame's width.
bool isCentred(const QWidget *window)
{
    const QRect available = window->screen()->availableGeometry();
    const QPoint delta = window->frameGeometry().center() - available.center();
    return qAbs(delta.x()) <= 4 && qAbs(delta.y()) <= 4;
}

QList<QWidget *> visibleTopLevels()
{
    QList<QWidget *> list;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible())
            list.append(widget);
    }
    return list;
}

} // namespace

class TestAboutBox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First: nothing has been loaded yet in this process.
    void failedLoadLogsShowsNothingAndRetries();
    void oneInstance();
    void secondRequestOnlyBringsToFront();
    void hiddenPanelIsCentredAgain();
    void closeButtonHidesThePanel();
    void fields();
    void versionLine_data();
    void versionLine();
    void creditsAreRestyled();
    void notInTheWindowMenu();
    void aboutMenuCommandShowsThePanel();

private:
    AboutBox *box() const { return AboutBox::sharedInstance(); }
};

void TestAboutBox::failedLoadLogsShowsNothingAndRetries()
{
    AboutBox *about = AboutBox::sharedInstance();
    QVERIFY(about);
    kv::ui::Bundle::mainBundle().unregisterInterface(QStringLiteral("AboutBox"));
    kv::SystemLogCapture log;
    about->showAboutBox();
    QCOMPARE(log.lines(), QStringList{QStringLiteral("Failed to load AboutBox.nib")});
    QVERIFY(!about->creditView);
    QVERIFY(!about->infoPanel);
    QVERIFY(visibleTopLevels().isEmpty());
    // Every request tries again.
    about->showAboutBox();
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("Failed to load AboutBox.nib"),
                                       QStringLiteral("Failed to load AboutBox.nib")}));
    QVERIFY(visibleTopLevels().isEmpty());

    // With the interface description back, the next request loads, centres
    // and shows the panel as the key window, and logs nothing.
    log.clear();
    AboutBox::registerInterface();
    about->showAboutBox();
    QVERIFY(log.lines().isEmpty());
    QVERIFY(about->creditView);
    QVERIFY(about->infoPanel);
    QVERIFY(about->appNameField && about->legalTextField && about->versionField);
    QVERIFY(about->infoPanel->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(about->infoPanel));
    QVERIFY2(isCentred(about->infoPanel),
             qPrintable(QStringLiteral("%1,%2 %3x%4 in %5x%6")
                            .arg(about->infoPanel->frameGeometry().x())
                            .arg(about->infoPanel->frameGeometry().y())
                            .arg(about->infoPanel->frameGeometry().width())
                            .arg(about->infoPanel->frameGeometry().height())
                            .arg(about->infoPanel->screen()->availableGeometry().width())
                            .arg(about->infoPanel->screen()->availableGeometry().height())));
    QVERIFY(QTest::qWaitForWindowActive(about->infoPanel));
    QCOMPARE(QApplication::activeWindow(), about->infoPanel);
    QCOMPARE(visibleTopLevels(), QList<QWidget *>{about->infoPanel});
}

void TestAboutBox::oneInstance()
{
    AboutBox *first = AboutBox::sharedInstance();
    QCOMPARE(AboutBox::init(), first);
    QCOMPARE(AboutBox::init(), first);
    QCOMPARE(AboutBox::sharedInstance(), first);
}

void TestAboutBox::secondRequestOnlyBringsToFront()
{
    box()->showAboutBox();
    kv::ui::Window *panel = box()->infoPanel;
    QVERIFY(panel->isVisible());
    QTextBrowser *credits = box()->creditView;
    QTextDocument *document = credits->document();
    const QString version = box()->versionField->stringValue();
    box()->versionField->setStringValue(QStringLiteral("marker"));
    panel->move(panel->pos() + QPoint(-37, 23));
    const QPoint placed = panel->pos();
    QVERIFY(!isCentred(panel));
    kv::SystemLogCapture log;
    box()->showAboutBox();
    QVERIFY(panel->isVisible());
    QCOMPARE(panel->pos(), placed);
    // Not loaded again.
    QCOMPARE(box()->infoPanel, panel);
    QCOMPARE(box()->creditView, credits);
    QCOMPARE(credits->document(), document);
    QCOMPARE(box()->versionField->stringValue(), QStringLiteral("marker"));
    QVERIFY(log.lines().isEmpty());
    QVERIFY(QTest::qWaitForWindowActive(panel));
    box()->versionField->setStringValue(version);
}

void TestAboutBox::hiddenPanelIsCentredAgain()
{
    box()->showAboutBox();
    kv::ui::Window *panel = box()->infoPanel;
    panel->move(panel->pos() + QPoint(50, -40));
    QVERIFY(!isCentred(panel));
    box()->orderOut(nullptr);
    QVERIFY(!panel->isVisible());
    box()->showAboutBox();
    QVERIFY(panel->isVisible());
    QVERIFY(isCentred(panel));
}

void TestAboutBox::closeButtonHidesThePanel()
{
    box()->showAboutBox();
    kv::ui::Window *panel = box()->infoPanel;
    auto *buttons = panel->findChild<QDialogButtonBox *>();
    QVERIFY(buttons);
    QPushButton *close = buttons->button(QDialogButtonBox::Close);
    QVERIFY(close);
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(!panel->isVisible());
    box()->showAboutBox();
    QVERIFY(panel->isVisible());
    QTest::keyClick(panel, Qt::Key_Escape);
    QVERIFY(!panel->isVisible());
}

void TestAboutBox::fields()
{
    box()->showAboutBox();
    QCOMPARE(box()->appNameField->stringValue(), QStringLiteral("Keyvane"));
    QCOMPARE(box()->legalTextField->stringValue(), QStringLiteral(KEYVANE_COPYRIGHT));
    // Without a translation the format is the key itself.
    QCOMPARE(box()->versionField->stringValue(),
             QStringLiteral("Version " KEYVANE_VERSION " (v" KEYVANE_BUILD_NUMBER ")"));
    QVERIFY(box()->appNameField->font().bold());
    QVERIFY(box()->appNameField->font().pointSizeF() > box()->versionField->font().pointSizeF());
    QVERIFY(box()->appNameField->isReadOnly());
    QCOMPARE(box()->infoPanel->windowTitle(), QStringLiteral("About Keyvane"));
}

void TestAboutBox::versionLine_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("shortVersion");
    QTest::addColumn<QString>("build");
    QTest::addColumn<QString>("expected");
    QTest::newRow("key as format") << "Version %s (v%s)"
                                   << "1.2"
                                   << "34"
                                   << "Version 1.2 (v34)";
    QTest::newRow("positional") << "Build %2$s of %1$s"
                                << "1.2"
                                << "34"
                                << "Build 34 of 1.2";
    QTest::newRow("percent sign") << "100%% %s/%s"
                                  << "1"
                                  << "2"
                                  << "100% 1/2";
    QTest::newRow("values are plain text") << "Version %s (v%s)"
                                           << "%s"
                                           << "%1$s%%"
                                           << "Version %s (v%1$s%%)";
    QTest::newRow("missing third") << "%s %s %s"
                                   << "a"
                                   << "b"
                                   << "a b ";
    QTest::newRow("lone percent at end") << "v%s %"
                                         << "1"
                                         << "2"
                                         << "v1 %";
    QTest::newRow("unknown directive") << "%d %s"
                                       << "1"
                                       << "2"
                                       << "%d 1";
    QTest::newRow("empty values") << "Version %s (v%s)"
                                  << ""
                                  << ""
                                  << "Version  (v)";
}

void TestAboutBox::versionLine()
{
    QFETCH(QString, format);
    QFETCH(QString, shortVersion);
    QFETCH(QString, build);
    QFETCH(QString, expected);
    QCOMPARE(AboutBox::versionLine(format, shortVersion, build), expected);
}

void TestAboutBox::creditsAreRestyled()
{
    box()->showAboutBox();
    QTextBrowser *view = box()->creditView;
    QVERIFY(view->isReadOnly());
    QVERIFY(!view->viewport()->autoFillBackground());
    QTextDocument *text = view->document();
    QVERIFY(text->toPlainText().contains(QStringLiteral("the Qt project")));
    bool sawColour = false, sawLink = false, sawUnderline = false;
    int fragments = 0;
    for (QTextBlock block = text->begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat paragraph = block.blockFormat();
        // The default paragraph style: no alignment, margins or indents of the HTML's.
        QVERIFY(!paragraph.hasProperty(QTextFormat::BlockAlignment));
        QCOMPARE(paragraph.leftMargin(), 0.0);
        QCOMPARE(paragraph.topMargin(), 0.0);
        QCOMPARE(paragraph.bottomMargin(), 0.0);
        QCOMPARE(paragraph.textIndent(), 0.0);
        QCOMPARE(paragraph.indent(), 0);
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            ++fragments;
            QVERIFY2(format.fontFamilies().toStringList() == QStringList{QStringLiteral("Lucida Grande")},
                     qPrintable(it.fragment().text()));
            QCOMPARE(format.fontPointSize(), 11.0);
            QCOMPARE(format.fontWeight(), int(QFont::Normal));
            QVERIFY(!format.fontItalic());
            QVERIFY(!format.fontFixedPitch());
            QVERIFY(!format.hasProperty(QTextFormat::FontSizeAdjustment));
            QCOMPARE(format.font().family(), QStringLiteral("Lucida Grande"));
            if (format.foreground().color() == QColor(0x2f, 0x7d, 0x4f))
                sawColour = true;
            if (format.isAnchor() && format.anchorHref() == QStringLiteral("https://www.qt.io/")) {
                sawLink = true;
                sawUnderline = format.fontUnderline();
            }
        }
    }
    QVERIFY(fragments > 3);
    QVERIFY(sawColour);
    QVERIFY(sawLink);
    QVERIFY(sawUnderline);
    QCOMPARE(text->defaultFont().family(), QStringLiteral("Lucida Grande"));
}

void TestAboutBox::notInTheWindowMenu()
{
    box()->showAboutBox();
    QVERIFY(box()->infoPanel->isExcludedFromWindowsMenu());
    KVNController controller;
    std::unique_ptr<kv::app::MainInterface> ui = kv::app::loadMainInterface(&controller);
    QMenu *windowMenu = nullptr;
    for (QAction *action : ui->mainWindow->menuBar()->actions()) {
        if (action->menu() && action->text().remove(u'&') == QStringLiteral("Window"))
            windowMenu = action->menu();
    }
    QVERIFY(windowMenu);
    Q_EMIT windowMenu->aboutToShow();
    QStringList titles;
    for (QAction *action : windowMenu->actions())
        titles.append(action->text());
    QVERIFY2(titles.contains(QStringLiteral("Inspector")), qPrintable(titles.join(u',')));
    QVERIFY(!titles.contains(box()->infoPanel->windowTitle()));
}

void TestAboutBox::aboutMenuCommandShowsThePanel()
{
    box()->orderOut(nullptr);
    KVNController controller;
    controller.menuAboutAction(nullptr);
    QVERIFY(box()->infoPanel->isVisible());
    QVERIFY(isCentred(box()->infoPanel));
    int panels = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        panels += widget->objectName() == QStringLiteral("infoPanel");
    QCOMPARE(panels, 1);
}

QTEST_MAIN(TestAboutBox)
#include "tst_aboutbox.moc"
