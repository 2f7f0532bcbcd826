#pragma once

// The application's one controller: it owns the store connection, the key
// list, the browser's column tree and the selected key's value, and answers
// the widgets' delegate and data-source requests. It is a thin front: each
// operation is carried out by the object of the folder it belongs to (the
// key list in store/, the browser's columns in browser/, the value inspector
// in inspector/, the console in console/, the commands in commands/, the
// About panel in about/), which works on the controller's fields.

#include "browser/BrowserDataSource.h"
#include "commands/Commands.h"
#include "commands/StoreExport.h"
#include "console/ConsoleLog.h"
#include "inspector/ValueInspector.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/plist/PropertyListValue.h"
#include "platform/ui/Delegates.h"
#include "store/KeyList.h"

#include <QMap>
#include <QObject>
#include <QStringList>

#include <memory>

namespace kv::ui {
class SavePanel;
class ScrollView;
class TextField;
class TextViewer;
class Window;
} // namespace kv::ui

// The store's change callback: forwards a present change list to the
// controller named by selfObject.
void storeNotification(kv::StoreConnection *store, const QStringList *changedKeys, void *context);

class KVNController : public QObject,
                      public kv::ui::BrowserDelegate,
                      public kv::ui::OutlineViewDataSource,
                      public kv::ui::OutlineViewDelegate,
                      public kv::ui::SplitViewDelegate,
                      public kv::ui::WindowDelegate,
                      public kv::ui::ToolbarDelegate,
                      public kv::commands::CommandTarget
{
    Q_OBJECT
public:
    // Creation: records the controller in selfObject, makes the empty key list
    // and column tree, browserUpdatePolicy = 1, outlineViewModeExpended = 1.
    explicit KVNController(QObject *parent = nullptr);
    ~KVNController() override;

    // --- Fields ---------------------------------------------------------
    std::unique_ptr<kv::StoreConnection> store;
    QStringList storeKeysList;
    QList<kv::TreeBranch> storeTree;
    kv::PropertyListValue selectedKeyContents;
    // Widgets, made by the main interface and filled in before awakeFromNib;
    // the controller does not own them.
    kv::ui::ColumnBrowser *kvnBrowser = nullptr;
    kv::ui::TextField *kvnKey = nullptr;
    kv::ui::OutlineView *kvnOutlineView = nullptr;
    kv::ui::TableColumn *kvnOutlineViewKeyColumn = nullptr;
    kv::ui::TableColumn *kvnOutlineViewTypeColumn = nullptr;
    kv::ui::TableColumn *kvnOutlineViewValueColumn = nullptr;
    kv::ui::Window *inspectorPanel = nullptr;
    kv::ui::TextViewer *inspectorView = nullptr;
    kv::ui::Window *consoleWindow = nullptr;
    kv::ui::TextViewer *consoleView = nullptr;
    kv::ui::ScrollView *consoleClipView = nullptr;
    qint32 browserUpdatePolicy = 0;
    qint32 outlineUpdatePolicy = 0;
    quint8 outlineViewModeExpended = 0;
    // The toolbar's items by identifier; the items are children of the controller.
    QMap<QString, kv::ui::ToolbarItem *> toolbarItemsDictionary;

    // --- Start-up and window behaviour ----------------------------------
    void awakeFromNib();
    void windowWillClose(kv::ui::Window *window) override;
    float splitViewConstrainMinCoordinate(kv::ui::SplitView *splitView, float proposedMin, int dividerIndex) override;
    float splitViewConstrainMaxCoordinate(kv::ui::SplitView *splitView, float proposedMax, int dividerIndex) override;

    // --- Key list and change registration --------------------------------
    bool setStoreNotification();
    void getStoreKeysList();
    void reloadKeys(QObject *sender) override;

    // --- Change merging ---------------------------------------------------
    void storeNotification(const QStringList &changedKeys);

    // --- Key decomposition, column tree, browser data source ------------
    kv::DecomposedKeyList storeDecomposedKeysListArray() const;
    kv::TreeBranch buildTreeBranchForColumn(int column, const kv::DecomposedKeyList *keysArray) const;
    int browserNumberOfRowsInColumn(kv::ui::ColumnBrowser *browser, int column) override;
    void browserWillDisplayCell(kv::ui::ColumnBrowser *browser, kv::ui::BrowserCell *cell, int row,
                                int column) override;
    bool browserSelectCellWithString(kv::ui::ColumnBrowser *browser, const QString &title, int column) override;
    QString browserFormatString(const QString &string, int column) const;

    // --- Key selection and value display ----------------------------------
    void browserSingleClick(QObject *sender);
    void browserDoubleClick(QObject *sender);
    void showInspector(QObject *sender) override;

    // --- Value outline data source ------------------------------------------
    int outlineViewNumberOfChildrenOfItem(kv::ui::OutlineView *outlineView, kv::ui::OutlineItem item) override;
    bool outlineViewIsItemExpandable(kv::ui::OutlineView *outlineView, kv::ui::OutlineItem item) override;
    kv::ui::OutlineItem outlineViewChild(kv::ui::OutlineView *outlineView, int index,
                                         kv::ui::OutlineItem item) override;
    QString outlineViewObjectValueForTableColumn(kv::ui::OutlineView *outlineView, kv::ui::TableColumn *tableColumn,
                                                 kv::ui::OutlineItem item) override;
    bool outlineViewShouldEditTableColumn(kv::ui::OutlineView *outlineView, kv::ui::TableColumn *tableColumn,
                                          kv::ui::OutlineItem item) override;

    // --- Console log ------------------------------------------------------------
    void initLog();
    // A null or empty message is ignored.
    void updateLog(const QString &message, qint32 type);
    void showConsole(QObject *sender) override;

    // --- Toolbar ------------------------------------------------------------------
    void setupToolbar();
    kv::ui::ToolbarItem *toolbarItemForItemIdentifier(const QString &itemIdentifier, const QString &label);
    kv::ui::ToolbarItem *toolbarItemForItemIdentifier(kv::ui::Toolbar *toolbar, const QString &itemIdentifier,
                                                      bool willBeInsertedIntoToolbar) override;
    QStringList toolbarDefaultItemIdentifiers(kv::ui::Toolbar *toolbar) override;
    QStringList toolbarAllowedItemIdentifiers(kv::ui::Toolbar *toolbar) override;
    void toolbarAction(QObject *sender) override;

    // --- Store export ---------------------------------------------------------------
    void exportStore(QObject *sender) override;
    void didEnd(kv::ui::SavePanel *panel, int returnCode, void *contextInfo);

    // --- About panel ------------------------------------------------------------------
    void menuAboutAction(QObject *sender) override;

    // --- Going to a key -------------------------------------------------------------------
    // Selects `key` in the browser, opening every column on its way, and shows
    // its value as a click would. False, changing nothing, when the key is not
    // listed.
    bool selectKey(const QString &key);

    // --- The objects that carry the operations out -----------------------------------
    kv::console::ConsoleLog &console() { return m_console; }
    kv::store::KeyList &keyList() { return m_keyList; }
    kv::commands::Commands &commands() { return m_commands; }
    const kv::browser::BrowserDataSource &columns() const { return m_columns; }

Q_SIGNALS:
    // A change list was merged (browser, console and value shown are up to
    // date). Sent from inside the store's callout, so the engine's change
    // list is still the one being delivered.
    void changesMerged(const QStringList &changedKeys);

private:
    // Made after the fields they work on, and gone before them.
    kv::browser::BrowserDataSource m_columns;
    kv::console::ConsoleLog m_console;
    kv::inspector::ValueInspector m_inspector;
    kv::store::KeyList m_keyList;
    kv::commands::Commands m_commands;
    kv::commands::StoreExport m_export;
};

// The one controller, recorded at its creation.
extern KVNController *selfObject;
