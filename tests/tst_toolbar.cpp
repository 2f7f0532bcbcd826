#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Delegates.h"
#include "platform/ui/DocumentController.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/Window.h"

#include "SaveSheetDriver.h"

#include <QApplication>
#include <QHelpEvent>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

using kv::ui::Toolbar;
using kv::ui::ToolbarItem;

namespace {

const QStringList DefaultIdentifiers = {QStringLiteral("TB_Inspector"), QStringLiteral("TB_Console"),
                                        QStringLiteral("TB_Export"), kv::ui::ToolbarFlexibleSpaceItemIdentifier,
                                        QStringLiteral("TB_Reload")};

// A delegate that serves a fixed list and counts the requests.
class FakeDelegate : public kv::ui::ToolbarDelegate
{
public:
    QStringList identifiers;
    QMap<QString, ToolbarItem *> items;
    int defaultRequests = 0;
    QStringList itemRequests;
    QList<bool> willBeInserted;

    ToolbarItem *toolbarItemForItemIdentifier(Toolbar *, const QString &identifier, bool insert) override
    {
        itemRequests.append(identifier);
        willBeInserted.append(insert);
        return items.value(identifier, nullptr);
    }
    QStringList toolbarDefaultItemIdentifiers(Toolbar *) override
    {
        ++defaultRequests;
        return identifiers;
    }
    QStringList toolbarAllowedItemIdentifiers(Toolbar *toolbar) override
    {
        return toolbarDefaultItemIdentifiers(toolbar);
    }
};

} // namespace

// Records the senders of its action.
class ActionReceiver : public QObject
{
    Q_OBJECT
public:
    QList<QObject *> senders;
    void clicked(QObject *sender) { senders.append(sender); }
};

class TestToolbar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    // The toolbar widget on its own.
    void layoutAsksTheDelegate();
    void attachingLaysOutAgain();
    void displayModes_data();
    void displayModes();
    void clickSendsTheActionWithTheItem();
    void itemWithoutTargetDoesNothing();
    void labelsAreShownAsWritten();
    void deletedItemLeavesTheToolbar();

    // The controller's toolbar.
    void toolbarIsFixedAndAttached();
    void items_data();
    void items();
    void orderLeftToRightWithFlexibleSpace();
    void delegateRequests();
    void clickRunsTheCommand_data();
    void clickRunsTheCommand();
    void unknownSenderDoesNothing();

private:
    void startController();
    Toolbar *mainToolbar() const;

    QTemporaryDir m_dataHome;
    std::unique_ptr<kv::StoreEngine> m_engine;
    std::unique_ptr<KVNController> m_controller;
    std::unique_ptr<kv::app::MainInterface> m_ui;
    std::unique_ptr<kv::SystemLogCapture> m_log;
};

void TestToolbar::initTestCase()
{
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", m_dataHome.path().toLocal8Bit());
}

void TestToolbar::init()
{
    m_log = std::make_unique<kv::SystemLogCapture>();
    m_engine = std::make_unique<kv::StoreEngine>();
    kv::StoreEngine::setInstance(m_engine.get());
    m_engine->setValue(QStringLiteral("State:/Network/Global/IPv4"),
                       kv::PropertyListValue::fromDictionary(
                           {{QStringLiteral("PrimaryInterface"), kv::PropertyListValue::fromString("eth0")}}));
    m_engine->setValue(QStringLiteral("Setup:/System"), kv::PropertyListValue::fromString("host"));
}

void TestToolbar::cleanup()
{
    m_ui.reset();
    m_controller.reset();
    kv::StoreEngine::setInstance(nullptr);
    m_engine.reset();
    m_log.reset();
}

void TestToolbar::startController()
{
    m_controller = std::make_unique<KVNController>();
    m_ui = kv::app::loadMainInterface(m_controller.get());
    m_controller->awakeFromNib();
    m_ui->mainWindow->resize(900, 600);
    m_ui->mainWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_ui->mainWindow.get()));
}

Toolbar *TestToolbar::mainToolbar() const
{
    return qobject_cast<Toolbar *>(m_ui->mainWindow->toolbar());
}

// --- The widget ---------------------------------------------------------------

void TestToolbar::layoutAsksTheDelegate()
{
    FakeDelegate delegate;
    ToolbarItem a(QStringLiteral("A")), b(QStringLiteral("B"));
    delegate.items = {{QStringLiteral("A"), &a}, {QStringLiteral("B"), &b}};
    delegate.identifiers = {QStringLiteral("A"), QStringLiteral("missing"), kv::ui::ToolbarFlexibleSpaceItemIdentifier,
                            QStringLiteral("B")};
    Toolbar toolbar(QStringLiteral("T"));
    QCOMPARE(toolbar.identifier(), QStringLiteral("T"));
    QCOMPARE(delegate.defaultRequests, 0);
    toolbar.setDelegate(&delegate);
    QCOMPARE(delegate.defaultRequests, 1);
    // Every identifier but the flexible space is asked for, each once.
    QCOMPARE(delegate.itemRequests, (QStringList{QStringLiteral("A"), QStringLiteral("missing"), QStringLiteral("B")}));
    QCOMPARE(delegate.willBeInserted, (QList<bool>{true, true, true}));
    // What has no item is left out; the flexible space is the toolbar's own.
    QCOMPARE(toolbar.itemIdentifiers(),
             (QStringList{QStringLiteral("A"), kv::ui::ToolbarFlexibleSpaceItemIdentifier, QStringLiteral("B")}));
    QCOMPARE(toolbar.items(), (QList<ToolbarItem *>{&a, &b}));
    QVERIFY(toolbar.flexibleSpace());
    QCOMPARE(toolbar.flexibleSpace()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QVERIFY(toolbar.buttonForItem(&a));
    QVERIFY(!toolbar.buttonForItem(nullptr));
}

void TestToolbar::attachingLaysOutAgain()
{
    FakeDelegate delegate;
    ToolbarItem a(QStringLiteral("A"));
    delegate.items = {{QStringLiteral("A"), &a}};
    delegate.identifiers = {QStringLiteral("A")};
    kv::ui::Window window;
    auto *toolbar = new Toolbar(QStringLiteral("T"));
    toolbar->setDelegate(&delegate);
    QCOMPARE(delegate.defaultRequests, 1);
    window.setToolbar(toolbar);
    QCOMPARE(window.toolbar(), toolbar);
    QCOMPARE(toolbar->parentWidget(), &window);
    QCOMPARE(delegate.defaultRequests, 2);
    // Still one button for the item (the replaced one goes once events run).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(toolbar->items(), (QList<ToolbarItem *>{&a}));
    QCOMPARE(toolbar->findChildren<QToolButton *>(QStringLiteral("A")).size(), 1);
}

void TestToolbar::displayModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("storedMode");
    QTest::addColumn<Qt::ToolButtonStyle>("style");
    QTest::newRow("default") << 0 << 0 << Qt::ToolButtonFollowStyle;
    QTest::newRow("icon and label") << 1 << 1 << Qt::ToolButtonTextUnderIcon;
    QTest::newRow("icon only") << 2 << 2 << Qt::ToolButtonIconOnly;
    QTest::newRow("label only") << 3 << 3 << Qt::ToolButtonTextOnly;
    QTest::newRow("unknown") << 7 << 0 << Qt::ToolButtonFollowStyle;
}

void TestToolbar::displayModes()
{
    QFETCH(int, mode);
    QFETCH(int, storedMode);
    QFETCH(Qt::ToolButtonStyle, style);
    Toolbar toolbar(QStringLiteral("T"));
    toolbar.setDisplayMode(3 - storedMode); // start elsewhere
    toolbar.setDisplayMode(mode);
    QCOMPARE(toolbar.displayMode(), storedMode);
    QCOMPARE(toolbar.toolButtonStyle(), style);
}

void TestToolbar::clickSendsTheActionWithTheItem()
{
    FakeDelegate delegate;
    ActionReceiver receiver;
    ToolbarItem a(QStringLiteral("A")), b(QStringLiteral("B"));
    for (ToolbarItem *item : {&a, &b}) {
        item->setTarget(&receiver);
        item->setAction(&ActionReceiver::clicked);
        item->setLabel(item->itemIdentifier());
    }
    delegate.items = {{QStringLiteral("A"), &a}, {QStringLiteral("B"), &b}};
    delegate.identifiers = {QStringLiteral("A"), QStringLiteral("B")};
    kv::ui::Window window;
    auto *toolbar = new Toolbar(QStringLiteral("T"));
    toolbar->setDelegate(&delegate);
    window.setToolbar(toolbar);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(toolbar->buttonForItem(&b), Qt::LeftButton);
    QTest::mouseClick(toolbar->buttonForItem(&a), Qt::LeftButton);
    QCOMPARE(receiver.senders, (QList<QObject *>{&b, &a}));
    // The keyboard reaches the buttons too.
    QCOMPARE(toolbar->buttonForItem(&a)->focusPolicy(), Qt::TabFocus);
    toolbar->buttonForItem(&a)->setFocus();
    QTest::keyClick(toolbar->buttonForItem(&a), Qt::Key_Space);
    QCOMPARE(receiver.senders.size(), 3);
    QCOMPARE(receiver.senders.last(), &a);
}

void TestToolbar::itemWithoutTargetDoesNothing()
{
    ActionReceiver receiver;
    ToolbarItem item(QStringLiteral("A"));
    QVERIFY(!item.sendAction());
    item.setAction(&ActionReceiver::clicked);
    QVERIFY(!item.sendAction());
    // A target of another class has no such action.
    QObject other;
    item.setTarget(&other);
    QVERIFY(!item.sendAction());
    QVERIFY(receiver.senders.isEmpty());
    item.setTarget(&receiver);
    QVERIFY(item.sendAction());
    QCOMPARE(receiver.senders, (QList<QObject *>{&item}));
}

void TestToolbar::labelsAreShownAsWritten()
{
    FakeDelegate delegate;
    ToolbarItem a(QStringLiteral("A"));
    a.setLabel(QStringLiteral("Save & Go"));
    delegate.items = {{QStringLiteral("A"), &a}};
    delegate.identifiers = {QStringLiteral("A")};
    Toolbar toolbar(QStringLiteral("T"));
    toolbar.setDelegate(&delegate);
    QToolButton *button = toolbar.buttonForItem(&a);
    QVERIFY(button);
    QCOMPARE(a.label(), QStringLiteral("Save & Go"));
    QCOMPARE(button->accessibleName(), QStringLiteral("Save & Go"));
    QCOMPARE(button->text(), QStringLiteral("Save && Go")); // no mnemonic made of the "&"
    a.setLabel(QStringLiteral("Later"));
    QCOMPARE(button->accessibleName(), QStringLiteral("Later"));
    QCOMPARE(button->text(), QStringLiteral("Later"));
}

void TestToolbar::deletedItemLeavesTheToolbar()
{
    FakeDelegate delegate;
    auto a = std::make_unique<ToolbarItem>(QStringLiteral("A"));
    ToolbarItem b(QStringLiteral("B"));
    delegate.items = {{QStringLiteral("A"), a.get()}, {QStringLiteral("B"), &b}};
    delegate.identifiers = {QStringLiteral("A"), QStringLiteral("B")};
    Toolbar toolbar(QStringLiteral("T"));
    toolbar.setDelegate(&delegate);
    QCOMPARE(toolbar.findChildren<QToolButton *>(QStringLiteral("A")).size(), 1);
    a.reset();
    QCOMPARE(toolbar.items(), (QList<ToolbarItem *>{&b}));
    QCOMPARE(toolbar.itemIdentifiers(), QStringList{QStringLiteral("B")});
}

// --- The controller's toolbar ----------------------------------------------------

void TestToolbar::toolbarIsFixedAndAttached()
{
    startController();
    Toolbar *toolbar = mainToolbar();
    QVERIFY(toolbar);
    QCOMPARE(toolbar->identifier(), QStringLiteral("KVNToolbar"));
    QCOMPARE(toolbar->delegate(), static_cast<kv::ui::ToolbarDelegate *>(m_controller.get()));
    QCOMPARE(toolbar->parentWidget(), m_ui->mainWindow.get());
    QVERIFY(!toolbar->allowsUserCustomization());
    QVERIFY(!toolbar->isMovable());
    QVERIFY(!toolbar->isFloatable());
    QCOMPARE(toolbar->contextMenuPolicy(), Qt::PreventContextMenu);
    QCOMPARE(toolbar->displayMode(), 1);
    QCOMPARE(toolbar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QVERIFY(toolbar->isVisible());
    // The window's own context menu offers no way to hide it.
    std::unique_ptr<QMenu> menu(m_ui->mainWindow->createPopupMenu());
    if (menu) {
        for (QAction *action : menu->actions())
            QVERIFY(action != toolbar->toggleViewAction() || !action->isVisible());
    }
    // Built once: the controller holds exactly the four items.
    QCOMPARE(m_controller->toolbarItemsDictionary.size(), 4);
}

void TestToolbar::items_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("label");
    QTest::newRow("inspector") << "TB_Inspector"
                               << "Inspector";
    QTest::newRow("console") << "TB_Console"
                             << "Console";
    QTest::newRow("export") << "TB_Export"
                            << "Export";
    QTest::newRow("reload") << "TB_Reload"
                            << "Reload";
}

void TestToolbar::items()
{
    QFETCH(QString, identifier);
    QFETCH(QString, label);
    startController();
    ToolbarItem *item = m_controller->toolbarItemsDictionary.value(identifier);
    QVERIFY(item);
    QCOMPARE(item->itemIdentifier(), identifier);
    QCOMPARE(item->label(), label);
    QCOMPARE(item->target(), m_controller.get());
    QVERIFY(item->action().is(&kv::commands::CommandTarget::toolbarAction));
    QCOMPARE(item->parent(), m_controller.get()); // lives as long as the controller
    // The image named as the identifier, at 1x and 2x.
    QVERIFY(!item->image().isNull());
    const QList<QSize> sizes = item->image().availableSizes();
    QVERIFY2(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(64, 64)), qPrintable(identifier));
    QToolButton *button = mainToolbar()->buttonForItem(item);
    QVERIFY(button);
    QCOMPARE(button->text(), label);
    QCOMPARE(button->accessibleName(), label);
    QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QVERIFY(!button->icon().isNull());
    QCOMPARE(button->focusPolicy(), Qt::TabFocus);
    // No tool tip: hovering the button shows none.
    QToolTip::hideText();
    QHelpEvent hover(QEvent::ToolTip, button->rect().center(), button->mapToGlobal(button->rect().center()));
    QApplication::sendEvent(button, &hover);
    QVERIFY(!QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString());
}

void TestToolbar::orderLeftToRightWithFlexibleSpace()
{
    startController();
    Toolbar *toolbar = mainToolbar();
    QCOMPARE(toolbar->itemIdentifiers(), DefaultIdentifiers);
    QList<QWidget *> widgets;
    for (const QString &identifier : DefaultIdentifiers) {
        if (identifier == kv::ui::ToolbarFlexibleSpaceItemIdentifier)
            widgets.append(toolbar->flexibleSpace());
        else
            widgets.append(toolbar->buttonForItem(m_controller->toolbarItemsDictionary.value(identifier)));
        QVERIFY(widgets.last());
        QVERIFY(widgets.last()->isVisible());
    }
    for (int i = 1; i < widgets.size(); ++i)
        QVERIFY(widgets.at(i - 1)->geometry().right() < widgets.at(i)->geometry().left());
    // The space takes the free width; Reload sits at the right-hand end.
    QWidget *space = widgets.at(3);
    QWidget *reload = widgets.at(4);
    QVERIFY(space->width() > toolbar->width() / 3);
    QVERIFY2(toolbar->width() - reload->geometry().right() < 24,
             qPrintable(QStringLiteral("%1 / %2").arg(reload->geometry().right()).arg(toolbar->width())));
}

void TestToolbar::delegateRequests()
{
    startController();
    Toolbar *toolbar = mainToolbar();
    KVNController *c = m_controller.get();
    for (const QString &identifier : {QStringLiteral("TB_Inspector"), QStringLiteral("TB_Console"),
                                      QStringLiteral("TB_Export"), QStringLiteral("TB_Reload")}) {
        ToolbarItem *first = c->toolbarItemForItemIdentifier(toolbar, identifier, true);
        QVERIFY(first);
        QCOMPARE(c->toolbarItemForItemIdentifier(toolbar, identifier, false), first);
        QCOMPARE(c->toolbarItemForItemIdentifier(nullptr, identifier, true), first);
    }
    QCOMPARE(c->toolbarItemForItemIdentifier(toolbar, kv::ui::ToolbarFlexibleSpaceItemIdentifier, true), nullptr);
    QCOMPARE(c->toolbarItemForItemIdentifier(toolbar, QStringLiteral("TB_Unknown"), true), nullptr);
    QCOMPARE(c->toolbarItemForItemIdentifier(toolbar, QString(), true), nullptr);
    QCOMPARE(c->toolbarItemForItemIdentifier(toolbar, QStringLiteral("tb_reload"), true), nullptr);
    QCOMPARE(c->toolbarDefaultItemIdentifiers(toolbar), DefaultIdentifiers);
    QCOMPARE(c->toolbarAllowedItemIdentifiers(toolbar), c->toolbarDefaultItemIdentifiers(toolbar));
    QCOMPARE(c->toolbarItemsDictionary.size(), 4);
}

enum class Effect { InspectorShown, ConsoleShown, SavePanelOpen, KeysReloaded };
Q_DECLARE_METATYPE(Effect)

void TestToolbar::clickRunsTheCommand_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<Effect>("effect");
    QTest::addColumn<QString>("menuItem"); // when set, run from the File menu's item of this text
    QTest::newRow("inspector") << "TB_Inspector" << Effect::InspectorShown << "";
    QTest::newRow("console") << "TB_Console" << Effect::ConsoleShown << "";
    QTest::newRow("export") << "TB_Export" << Effect::SavePanelOpen << "";
    QTest::newRow("reload") << "TB_Reload" << Effect::KeysReloaded << "";
    // The menu's command is the toolbar item's own.
    QTest::newRow("export from the menu") << "TB_Export" << Effect::SavePanelOpen << "&Export…";
    QTest::newRow("reload from the menu") << "TB_Reload" << Effect::KeysReloaded << "&Reload";
}

void TestToolbar::clickRunsTheCommand()
{
    QFETCH(QString, identifier);
    QFETCH(Effect, effect);
    QFETCH(QString, menuItem);
    QTemporaryDir exportDir;
    kv::ui::DocumentController::sharedDocumentController()->setCurrentDirectory(exportDir.path());
    startController();
    kv::ui::Window *main = m_ui->mainWindow.get();
    m_controller->inspectorPanel->orderOut(nullptr);
    m_controller->consoleWindow->orderOut(nullptr);
    m_controller->storeKeysList.clear();
    QVERIFY(!savesheet::openDialog(main));

    ToolbarItem *item = m_controller->toolbarItemsDictionary.value(identifier);
    QToolButton *button = mainToolbar()->buttonForItem(item);
    QVERIFY(button);
    if (menuItem.isEmpty()) {
        QTest::mouseClick(button, Qt::LeftButton);
    } else {
        QAction *fileMenu = main->menuBar()->actions().value(0);
        QVERIFY(fileMenu && fileMenu->menu());
        QAction *command = nullptr;
        for (QAction *action : fileMenu->menu()->actions()) {
            if (action->text() == menuItem)
                command = action;
        }
        QCOMPARE(command, item->command());
        QVERIFY(!command->shortcut().isEmpty());
        command->trigger();
    }

    // Exactly the command of the clicked item ran.
    QCOMPARE(m_controller->inspectorPanel->isVisible(), effect == Effect::InspectorShown);
    QCOMPARE(m_controller->consoleWindow->isVisible(), effect == Effect::ConsoleShown);
    QFileDialog *dialog = savesheet::openDialog(main);
    QCOMPARE(dialog != nullptr, effect == Effect::SavePanelOpen);
    QCOMPARE(m_controller->storeKeysList.isEmpty(), effect != Effect::KeysReloaded);
    if (effect == Effect::KeysReloaded)
        QCOMPARE(m_controller->storeKeysList, m_engine->keys());
    if (dialog) {
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(savesheet::nameEdit(dialog)->text(), QStringLiteral("System Configuration.plist"));
        QVERIFY(savesheet::cancel(dialog));
        QVERIFY(QDir(exportDir.path()).isEmpty());
    }
}

void TestToolbar::unknownSenderDoesNothing()
{
    startController();
    m_controller->inspectorPanel->orderOut(nullptr);
    m_controller->consoleWindow->orderOut(nullptr);
    m_controller->storeKeysList.clear();
    ToolbarItem stranger(QStringLiteral("TB_Other"));
    m_controller->toolbarAction(&stranger);
    m_controller->toolbarAction(nullptr);
    m_controller->toolbarAction(m_controller.get());
    QVERIFY(!m_controller->inspectorPanel->isVisible());
    QVERIFY(!m_controller->consoleWindow->isVisible());
    QVERIFY(!savesheet::openDialog(m_ui->mainWindow.get()));
    QVERIFY(m_controller->storeKeysList.isEmpty());
}

QTEST_MAIN(TestToolbar)
#include "tst_toolbar.moc"
