#include "app/MainInterface.h"

#include "app/RecentActivity.h"

#include "app/EditCommands.h"
#include "app/HistoryRecorder.h"
#include "app/KVNController.h"
#include "app/SessionWindow.h"
#include "find/ui/FindBar.h"
#include "find/ui/FindResultsView.h"
#include "find/ui/GoToKeyBar.h"
#include "find/ui/KeyFinder.h"
#include "history/ui/HistoryModel.h"
#include "history/ui/HistoryView.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/SplitView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QAction>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace kv::app {

MainInterface::~MainInterface()
{
    // The finder, the edit commands and the activity marks first: they call
    // into the controller and the main window.
    recentActivity.reset();
    editCommands.reset();
    m_finder.reset();
    // The History window shows the recorder's history: it goes first.
    m_historyView = nullptr;
    m_historyWindow.reset();
    historyRecorder.reset();
    // Panels next: they refer to nothing in the main window.
    inspectorPanel.reset();
    consoleWindow.reset();
    mainWindow.reset();
}

kv::find::KeyFinder &MainInterface::finder()
{
    if (!m_finder) {
        KVNController *c = controller;
        kv::find::KeyFinder::Window window;
        window.keys = [c]() -> const QStringList & { return c->storeKeysList; };
        window.selectKey = [c](const QString &key) { return c->selectKey(key); };
        window.lookup = [c](const QString &key) {
            return c->store ? kv::storeCopyValue(c->store.get(), key) : kv::PropertyListValue();
        };
        QWidget *bars = barsLayout->parentWidget();
        m_finder = std::make_unique<kv::find::KeyFinder>(window, bars, browserPlace, c->kvnBrowser);
        m_finder->bar()->setOptions(m_findOptions);
        barsLayout->insertWidget(0, m_finder->bar());
        // Keyboard order: the bar, the browser (or the results), the key field, the value tree.
        QWidget::setTabOrder(m_finder->bar()->field(), c->kvnBrowser);
        QWidget::setTabOrder(c->kvnBrowser, m_finder->results());
        QWidget::setTabOrder(m_finder->results(), c->kvnKey);
    }
    return *m_finder;
}

kv::find::GoToKeyBar &MainInterface::goToKeyBar()
{
    if (!m_goToKeyBar) {
        KVNController *c = controller;
        m_goToKeyBar =
            new kv::find::GoToKeyBar([c]() -> const QStringList & { return c->storeKeysList; },
                                     [c](const QString &key) { return c->selectKey(key); }, barsLayout->parentWidget());
        m_goToKeyBar->hide();
        barsLayout->addWidget(m_goToKeyBar);
    }
    return *m_goToKeyBar;
}

kv::find::FindOptions MainInterface::findOptions() const
{
    return m_finder ? m_finder->bar()->options() : m_findOptions;
}

void MainInterface::setFindOptions(const kv::find::FindOptions &options)
{
    m_findOptions = options;
    if (m_finder)
        m_finder->bar()->setOptions(options);
}

kv::ui::Window &MainInterface::historyWindow()
{
    if (!m_historyWindow) {
        m_historyWindow = std::make_unique<kv::ui::Window>(kv::ui::Window::Style::Document);
        kv::ui::Window *window = m_historyWindow.get();
        window->setWindowTitle(QObject::tr("History"));
        window->setObjectName(QStringLiteral("historyWindow"));
        window->setExcludedFromWindowsMenu(true); // the History command stands for it
        window->resize(760, 560);
        m_historyView = new kv::history::HistoryView(historyRecorder->model(), window);
        window->setCentralWidget(m_historyView);
        // "Only the selected key" follows the key field.
        kv::ui::TextField *keyField = controller->kvnKey;
        if (keyField) {
            m_historyView->setSelectedKey(keyField->stringValue());
            QObject::connect(keyField, &QLineEdit::textChanged, m_historyView,
                             &kv::history::HistoryView::setSelectedKey);
        }
    }
    return *m_historyWindow;
}

namespace {

void buildMenus(KVNController *controller, MainInterface *ui)
{
    kv::ui::Window *mainWindow = ui->mainWindow.get();
    QMenuBar *bar = mainWindow->menuBar();

    // Export and Reload are the toolbar's own commands.
    const kv::commands::Commands &commands = controller->commands();
    QMenu *file = bar->addMenu(QObject::tr("&File"));
    file->addAction(commands.command(kv::commands::ExportItem));
    QAction *saveHistory = file->addAction(QObject::tr("Save &History…"));
    saveHistory->setObjectName(QStringLiteral("saveHistoryCommand"));
    QObject::connect(saveHistory, &QAction::triggered, mainWindow,
                     [ui, mainWindow] { ui->historyRecorder->saveHistory(mainWindow); });
    file->addAction(commands.command(kv::commands::ReloadItem));
    file->addSeparator();
    QAction *quitAction = file->addAction(QObject::tr("&Quit"));
    quitAction->setShortcut(QKeySequence::Quit);
    quitAction->setMenuRole(QAction::QuitRole);
    QObject::connect(quitAction, &QAction::triggered, mainWindow, &QWidget::close);

    QMenu *edit = bar->addMenu(QObject::tr("&Edit"));
    edit->addAction(ui->editCommands->copyAction());
    edit->addSeparator();
    QAction *find = edit->addAction(QObject::tr("&Find…"));
    find->setObjectName(QStringLiteral("findCommand"));
    find->setShortcut(QKeySequence::Find);
    QObject::connect(find, &QAction::triggered, mainWindow, [ui] { ui->finder().open(); });

    QMenu *go = bar->addMenu(QObject::tr("&Go"));
    QAction *goToKey = go->addAction(QObject::tr("Go to &Key…"));
    goToKey->setObjectName(QStringLiteral("goToKeyCommand"));
    goToKey->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    QObject::connect(goToKey, &QAction::triggered, mainWindow, [ui] { ui->goToKeyBar().activate(); });

    QMenu *windowMenu = bar->addMenu(QObject::tr("&Window"));
    // The History command stands for the History window in the list: it is
    // checked, as the windows below are, while that window is the active one.
    QAction *history = windowMenu->addAction(QObject::tr("&History"));
    history->setObjectName(QStringLiteral("historyCommand"));
    history->setCheckable(true);
    history->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
    QObject::connect(history, &QAction::triggered, mainWindow,
                     [ui] { ui->historyWindow().makeKeyAndOrderFront(nullptr); });
    windowMenu->addSeparator();
    // Below the separator, every window with a title, listed afresh each time.
    QObject::connect(windowMenu, &QMenu::aboutToShow, windowMenu, [windowMenu, history, ui] {
        const kv::ui::Window *historyWindow = ui->madeHistoryWindow();
        history->setChecked(historyWindow && historyWindow->isVisible() && historyWindow->isActiveWindow());
        const QList<QAction *> actions = windowMenu->actions();
        for (qsizetype i = actions.indexOf(history) + 2; i < actions.size(); ++i) {
            windowMenu->removeAction(actions.at(i));
            delete actions.at(i);
        }
        for (kv::ui::Window *window : kv::ui::Window::allWindows()) {
            if (window->isExcludedFromWindowsMenu() || window->windowTitle().isEmpty())
                continue;
            QAction *action = windowMenu->addAction(window->windowTitle());
            action->setCheckable(true);
            action->setChecked(window->isVisible() && window->isActiveWindow());
            QObject::connect(action, &QAction::triggered, window, [window] { window->makeKeyAndOrderFront(nullptr); });
        }
    });
    // Fill the menu once so that its entries exist for keyboard users and
    // accessibility tools before it is first opened.
    Q_EMIT windowMenu->aboutToShow();

    QMenu *help = bar->addMenu(QObject::tr("&Help"));
    help->addAction(commands.aboutCommand());
}

} // namespace

std::unique_ptr<MainInterface> loadMainInterface(KVNController *controller)
{
    auto ui = std::make_unique<MainInterface>();
    const QString appName =
        kv::ui::Bundle::mainBundle().localInfoDictionary().value(QStringLiteral("CFBundleName")).toString();

    // Main window.
    ui->mainWindow = std::make_unique<kv::ui::Window>(kv::ui::Window::Style::Document);
    kv::ui::Window *main = ui->mainWindow.get();
    main->setWindowTitle(appName);
    main->setObjectName(QStringLiteral("mainWindow"));
    main->resize(PreferredWindowSize);
    main->setDelegate(controller);

    auto *split = new kv::ui::SplitView(main);
    split->setObjectName(QStringLiteral("splitView"));
    split->setAccessibleName(QObject::tr("Keys and value"));
    ui->splitView = split;

    // The browser's place, which the find results take while there are any.
    auto *browserPlace = new QStackedWidget(split);
    browserPlace->setObjectName(QStringLiteral("browserPlace"));
    auto *browser = new kv::ui::ColumnBrowser(browserPlace);
    browser->setObjectName(QStringLiteral("kvnBrowser"));
    browser->setAccessibleName(QObject::tr("Key browser"));
    browser->setDelegate(controller);
    browserPlace->addWidget(browser);
    split->addWidget(browserPlace);

    auto *bottom = new QWidget(split);
    auto *layout = new QVBoxLayout(bottom);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    auto *keyField = new kv::ui::TextField(bottom);
    keyField->setObjectName(QStringLiteral("kvnKey"));
    keyField->setEditable(false);
    keyField->setAccessibleName(QObject::tr("Selected key"));
    auto *keyLabel = new QLabel(QObject::tr("&Key:"), bottom);
    keyLabel->setBuddy(keyField);
    auto *keyRow = new QHBoxLayout;
    keyRow->addWidget(keyLabel);
    keyRow->addWidget(keyField, 1);
    layout->addLayout(keyRow);

    auto *outline = new kv::ui::OutlineView(bottom);
    outline->setObjectName(QStringLiteral("kvnOutlineView"));
    outline->setAccessibleName(QObject::tr("Value tree"));
    controller->kvnOutlineViewKeyColumn = outline->addTableColumn(QStringLiteral("key"), QObject::tr("Key"));
    controller->kvnOutlineViewTypeColumn = outline->addTableColumn(QStringLiteral("type"), QObject::tr("Type"));
    controller->kvnOutlineViewValueColumn = outline->addTableColumn(QStringLiteral("value"), QObject::tr("Value"));
    outline->setDataSource(controller);
    outline->setDelegate(controller);
    layout->addWidget(outline, 1);
    split->addWidget(bottom);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    split->setSizes({300, 300});
    split->setDelegate(controller);

    // Room above the split for the find and go-to bars, made when first asked for.
    auto *central = new QWidget(main);
    auto *centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    ui->barsLayout = new QVBoxLayout;
    ui->barsLayout->setSpacing(0);
    centralLayout->addLayout(ui->barsLayout);
    centralLayout->addWidget(split, 1);
    main->setCentralWidget(central);
    ui->controller = controller;
    ui->browserPlace = browserPlace;

    controller->kvnBrowser = browser;
    controller->kvnKey = keyField;
    controller->kvnOutlineView = outline;
    QWidget::setTabOrder(keyField, outline);

    // Inspector panel.
    ui->inspectorPanel = std::make_unique<kv::ui::Window>(kv::ui::Window::Style::Panel, main);
    kv::ui::Window *inspector = ui->inspectorPanel.get();
    inspector->setWindowTitle(QObject::tr("Inspector"));
    inspector->setObjectName(QStringLiteral("inspectorPanel"));
    inspector->resize(420, 360);
    auto *inspectorText = new kv::ui::TextViewer(inspector);
    inspectorText->setObjectName(QStringLiteral("inspectorView"));
    inspectorText->setAccessibleName(QObject::tr("Inspector text"));
    inspector->setCentralWidget(inspectorText);
    controller->inspectorPanel = inspector;
    controller->inspectorView = inspectorText;

    // Console window.
    ui->consoleWindow = std::make_unique<kv::ui::Window>(kv::ui::Window::Style::Document);
    kv::ui::Window *console = ui->consoleWindow.get();
    console->setWindowTitle(QObject::tr("Console"));
    console->setObjectName(QStringLiteral("consoleWindow"));
    console->resize(640, 360);
    auto *consoleText = new kv::ui::TextViewer(console);
    consoleText->setObjectName(QStringLiteral("consoleView"));
    consoleText->setAccessibleName(QObject::tr("Console text"));
    consoleText->setWrapsLines(true);
    console->setCentralWidget(consoleText);
    controller->consoleWindow = console;
    controller->consoleView = consoleText;
    controller->consoleClipView = new kv::ui::ScrollView(consoleText, console);

    ui->editCommands = std::make_unique<EditCommands>(controller, ui.get());
    ui->recentActivity = std::make_unique<RecentActivity>(controller, browser);
    ui->historyRecorder = std::make_unique<HistoryRecorder>(controller);
    buildMenus(controller, ui.get());
    return ui;
}

} // namespace kv::app
