#pragma once

// The requests the widget layer makes of its delegates and data sources.
// Naming: a request whose first word names the asking widget joins that word
// with the next one (browser:numberOfRowsInColumn: becomes
// browserNumberOfRowsInColumn(browser, column)); every other operation takes
// its first word as its name and the rest as arguments.

#include <QString>
#include <QStringList>

class QObject;

namespace kv::ui {

class BrowserCell;
class ColumnBrowser;
class OutlineView;
class SplitView;
class TableColumn;
class Toolbar;
class ToolbarItem;
class Window;

// Items of an outline view are opaque pointers handed out by its data source.
using OutlineItem = void *;

class BrowserDelegate
{
public:
    virtual ~BrowserDelegate() = default;
    // Asked once each time the browser loads the column.
    virtual int browserNumberOfRowsInColumn(ColumnBrowser *browser, int column) = 0;
    // Asked before the browser shows a row: set the cell's title and leaf flag.
    virtual void browserWillDisplayCell(ColumnBrowser *browser, BrowserCell *cell, int row, int column) = 0;
    // Asked once per path piece while a path is set: select the row titled
    // `title` (selectRow) and return true, or return false to stop there.
    virtual bool browserSelectCellWithString(ColumnBrowser *browser, const QString &title, int column) = 0;
};

class OutlineViewDataSource
{
public:
    virtual ~OutlineViewDataSource() = default;
    virtual int outlineViewNumberOfChildrenOfItem(OutlineView *outlineView, OutlineItem item) = 0;
    virtual bool outlineViewIsItemExpandable(OutlineView *outlineView, OutlineItem item) = 0;
    virtual OutlineItem outlineViewChild(OutlineView *outlineView, int index, OutlineItem item) = 0;
    // The cell text; a null QString shows nothing.
    virtual QString outlineViewObjectValueForTableColumn(OutlineView *outlineView, TableColumn *tableColumn,
                                                         OutlineItem item) = 0;
};

class OutlineViewDelegate
{
public:
    virtual ~OutlineViewDelegate() = default;
    virtual bool outlineViewShouldEditTableColumn(OutlineView *outlineView, TableColumn *tableColumn,
                                                  OutlineItem item) = 0;
};

class SplitViewDelegate
{
public:
    virtual ~SplitViewDelegate() = default;
    virtual float splitViewConstrainMinCoordinate(SplitView *splitView, float proposedMin, int dividerIndex) = 0;
    virtual float splitViewConstrainMaxCoordinate(SplitView *splitView, float proposedMax, int dividerIndex) = 0;
};

class WindowDelegate
{
public:
    virtual ~WindowDelegate() = default;
    // The window is about to close (the notification's object).
    virtual void windowWillClose(Window *window) = 0;
};

class ToolbarDelegate
{
public:
    virtual ~ToolbarDelegate() = default;
    virtual ToolbarItem *toolbarItemForItemIdentifier(Toolbar *toolbar, const QString &itemIdentifier,
                                                      bool willBeInsertedIntoToolbar) = 0;
    virtual QStringList toolbarDefaultItemIdentifiers(Toolbar *toolbar) = 0;
    virtual QStringList toolbarAllowedItemIdentifiers(Toolbar *toolbar) = 0;
};

// Identifier of the toolbar's flexible space, supplied by the toolbar itself.
inline const QString ToolbarFlexibleSpaceItemIdentifier = QStringLiteral("KVFlexibleSpaceItem");

} // namespace kv::ui
