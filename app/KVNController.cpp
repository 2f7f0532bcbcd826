#include "app/KVNController.h"

#include "about/AboutBox.h"
#include "find/KeyCompletion.h"
#include "platform/ProgramInfo.h"
#include "platform/ui/Application.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/SplitView.h"
#include "platform/ui/Window.h"

#include <algorithm>

KVNController *selfObject = nullptr;

namespace {

// The browser's path separator: a string no title is expected to hold, so
// titles may contain "/" and ":".
const QString BrowserPathSeparator = QStringLiteral("{|}~@!@");
// Each pane of the main window's split view keeps at least this height.
constexpr float MinimumPaneHeight = 80.0f;

} // namespace

KVNController::KVNController(QObject *parent)
    : QObject(parent), m_columns(storeKeysList, storeTree), m_console(consoleWindow, consoleView, consoleClipView),
      m_inspector({store, selectedKeyContents, kvnBrowser, kvnKey, kvnOutlineView, kvnOutlineViewKeyColumn,
                   kvnOutlineViewTypeColumn, kvnOutlineViewValueColumn, inspectorPanel, inspectorView,
                   outlineViewModeExpended},
                  m_columns),
      m_keyList({store, storeKeysList, browserUpdatePolicy, kvnBrowser, kvnKey}, m_console, m_inspector, &m_columns),
      m_commands(*this, this), m_export({store, storeKeysList, kvnBrowser})
{
    selfObject = this;
    browserUpdatePolicy = 1;
    outlineViewModeExpended = 1;
}

KVNController::~KVNController()
{
    if (selfObject == this)
        selfObject = nullptr;
}

// --- Start-up and window behaviour ---------------------------------------------

void KVNController::awakeFromNib()
{
    store = kv::storeCreate(kv::StoreClientName, ::storeNotification, nullptr);
    // Without registration the browser changes only on reload; its outcome
    // is not looked at.
    if (store)
        setStoreNotification();
    kvnBrowser->setTarget(this);
    kvnBrowser->setAction(&KVNController::browserSingleClick);
    kvnBrowser->setDoubleAction(&KVNController::browserDoubleClick);
    kvnBrowser->setPathSeparator(BrowserPathSeparator);
    setupToolbar();
    initLog();
    reloadKeys(nullptr);
}

void KVNController::windowWillClose(kv::ui::Window *)
{
    kv::ui::terminate(this);
}

float KVNController::splitViewConstrainMinCoordinate(kv::ui::SplitView *, float proposedMin, int)
{
    return float(std::max(double(proposedMin), double(MinimumPaneHeight)));
}

float KVNController::splitViewConstrainMaxCoordinate(kv::ui::SplitView *splitView, float proposedMax, int)
{
    // The divider runs across: the height, not the width, limits it.
    const float limit = float(splitView->frame().height()) - MinimumPaneHeight;
    return std::min(proposedMax, limit);
}

// --- Key list, change registration and merging ------------------------------------

bool KVNController::setStoreNotification()
{
    return m_keyList.setStoreNotification();
}

void KVNController::getStoreKeysList()
{
    m_keyList.getStoreKeysList();
}

void KVNController::reloadKeys(QObject *)
{
    m_keyList.reloadKeys();
}

void KVNController::storeNotification(const QStringList &changedKeys)
{
    m_keyList.storeNotification(changedKeys);
    Q_EMIT changesMerged(changedKeys);
}

void storeNotification(kv::StoreConnection *, const QStringList *changedKeys, void *)
{
    if (changedKeys && selfObject)
        selfObject->storeNotification(*changedKeys);
}

// --- Browser data source -------------------------------------------------------

kv::DecomposedKeyList KVNController::storeDecomposedKeysListArray() const
{
    return m_columns.storeDecomposedKeysListArray();
}

kv::TreeBranch KVNController::buildTreeBranchForColumn(int column, const kv::DecomposedKeyList *keysArray) const
{
    return kv::browser::BrowserDataSource::buildTreeBranchForColumn(column, keysArray);
}

int KVNController::browserNumberOfRowsInColumn(kv::ui::ColumnBrowser *browser, int column)
{
    // A deeper column is built from the row selected in the column before.
    const kv::ui::ColumnBrowser *asked = kvnBrowser ? kvnBrowser : browser;
    const int selected = column > 0 && asked ? asked->selectedRowInColumn(column - 1) : -1;
    return m_columns.numberOfRowsInColumn(column, selected);
}

void KVNController::browserWillDisplayCell(kv::ui::ColumnBrowser *, kv::ui::BrowserCell *cell, int row, int column)
{
    QString title;
    bool leaf = false;
    if (!cell || !m_columns.cell(row, column, &title, &leaf))
        return;
    cell->setTitle(title);
    cell->setLeaf(leaf);
}

bool KVNController::browserSelectCellWithString(kv::ui::ColumnBrowser *browser, const QString &title, int column)
{
    const int row = m_columns.rowTitled(title, column);
    if (row < 0)
        return false;
    if (browser)
        browser->selectRow(row, column);
    return true;
}

QString KVNController::browserFormatString(const QString &string, int column) const
{
    return kv::browser::BrowserDataSource::browserFormatString(string, column);
}

// --- Selection and value display ---------------------------------------------------

bool KVNController::selectKey(const QString &key)
{
    if (!kvnBrowser || !kv::find::hasKey(storeKeysList, key))
        return false;
    const QString path = kv::browser::BrowserDataSource::pathOfKey(key, BrowserPathSeparator);
    if (path.isEmpty())
        return false; // a key the browser has no row for
    kvnBrowser->setPath(path);
    browserSingleClick(kvnBrowser);
    return true;
}

void KVNController::browserSingleClick(QObject *sender)
{
    m_inspector.browserSingleClick(sender);
}

void KVNController::browserDoubleClick(QObject *sender)
{
    browserSingleClick(sender);
}

void KVNController::showInspector(QObject *)
{
    m_inspector.orderFront(this);
}

int KVNController::outlineViewNumberOfChildrenOfItem(kv::ui::OutlineView *, kv::ui::OutlineItem item)
{
    return m_inspector.numberOfChildrenOfItem(item);
}

bool KVNController::outlineViewIsItemExpandable(kv::ui::OutlineView *, kv::ui::OutlineItem item)
{
    return m_inspector.isItemExpandable(item);
}

kv::ui::OutlineItem KVNController::outlineViewChild(kv::ui::OutlineView *, int index, kv::ui::OutlineItem item)
{
    return m_inspector.child(index, item);
}

QString KVNController::outlineViewObjectValueForTableColumn(kv::ui::OutlineView *, kv::ui::TableColumn *tableColumn,
                                                            kv::ui::OutlineItem item)
{
    return m_inspector.objectValueForTableColumn(tableColumn, item);
}

bool KVNController::outlineViewShouldEditTableColumn(kv::ui::OutlineView *, kv::ui::TableColumn *, kv::ui::OutlineItem)
{
    return false; // the value tree is read-only
}

// --- Console ----------------------------------------------------------------------------

void KVNController::initLog()
{
    m_console.initLog();
}

void KVNController::updateLog(const QString &message, qint32 type)
{
    m_console.updateLog(message, type);
}

void KVNController::showConsole(QObject *)
{
    m_console.orderFront(this);
}

// --- Toolbar ------------------------------------------------------------------------------

void KVNController::setupToolbar()
{
    auto *window = kvnBrowser ? qobject_cast<kv::ui::Window *>(kvnBrowser->window()) : nullptr;
    m_commands.setupToolbar(
        toolbarItemsDictionary,
        [this](const QString &identifier, const QString &label) {
            return toolbarItemForItemIdentifier(identifier, label);
        },
        this, window);
}

kv::ui::ToolbarItem *KVNController::toolbarItemForItemIdentifier(const QString &itemIdentifier, const QString &label)
{
    return m_commands.toolbarItemForItemIdentifier(itemIdentifier, label);
}

kv::ui::ToolbarItem *KVNController::toolbarItemForItemIdentifier(kv::ui::Toolbar *, const QString &itemIdentifier, bool)
{
    return toolbarItemsDictionary.value(itemIdentifier, nullptr);
}

QStringList KVNController::toolbarDefaultItemIdentifiers(kv::ui::Toolbar *)
{
    return kv::commands::Commands::toolbarDefaultItemIdentifiers();
}

QStringList KVNController::toolbarAllowedItemIdentifiers(kv::ui::Toolbar *toolbar)
{
    return toolbarDefaultItemIdentifiers(toolbar);
}

void KVNController::toolbarAction(QObject *sender)
{
    m_commands.toolbarAction(sender);
}

// --- Export and About ---------------------------------------------------------------------

void KVNController::exportStore(QObject *)
{
    m_export.exportStore(this, [this](kv::ui::SavePanel *panel, int returnCode, void *contextInfo) {
        didEnd(panel, returnCode, contextInfo);
    });
}

void KVNController::didEnd(kv::ui::SavePanel *panel, int returnCode, void *)
{
    m_export.didEnd(panel, returnCode);
}

void KVNController::menuAboutAction(QObject *)
{
    AboutBox::sharedInstance()->showAboutBox();
}
