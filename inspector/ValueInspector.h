#pragma once

// What a selection in the key browser shows: the store key in the key field,
// the value as one text in the inspector panel, and the value as the root of
// the value tree, fully expanded; and the value tree's data source, whose
// rows are the KVNItems of that tree.

#include "browser/BrowserDataSource.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/plist/PropertyListValue.h"
#include "platform/ui/Delegates.h"

#include <QObject>

#include <memory>

namespace kv::ui {
class ColumnBrowser;
class TextField;
class TextViewer;
class Window;
} // namespace kv::ui

namespace kv::inspector {

class ValueInspector
{
public:
    // The owner's fields this reads and writes. They are references: the
    // owner's widgets may be filled in after this is made.
    struct Fields
    {
        std::unique_ptr<StoreConnection> &store;
        PropertyListValue &selectedKeyContents;
        ui::ColumnBrowser *const &kvnBrowser;
        ui::TextField *const &kvnKey;
        ui::OutlineView *const &kvnOutlineView;
        ui::TableColumn *const &kvnOutlineViewKeyColumn;
        ui::TableColumn *const &kvnOutlineViewTypeColumn;
        ui::TableColumn *const &kvnOutlineViewValueColumn;
        ui::Window *const &inspectorPanel;
        ui::TextViewer *const &inspectorView;
        const quint8 &outlineViewModeExpended;
    };
    // `columns` tells which key a browser row stands for.
    ValueInspector(const Fields &fields, const browser::BrowserDataSource &columns);

    // Shows the selection of `sender` (a column browser): exactly one selected
    // cell, or nothing changes. The value is read afresh from the store.
    void browserSingleClick(QObject *sender);
    // Clears what a selection shows: the inspector text and the value tree
    // (the key field is the caller's).
    void clearValueDisplays();
    // Brings the inspector panel to the front; `sender` is handed to the
    // panel as the one asking.
    void orderFront(QObject *sender);

    // --- The value tree's data source -----------------------------------
    // The top level (no item) always holds one row, the root item.
    int numberOfChildrenOfItem(ui::OutlineItem item) const;
    bool isItemExpandable(ui::OutlineItem item) const;
    ui::OutlineItem child(int index, ui::OutlineItem item) const;
    // The cell text of a column, told apart by identity; "" for any other.
    QString objectValueForTableColumn(ui::TableColumn *tableColumn, ui::OutlineItem item) const;

private:
    Fields m_fields;
    const browser::BrowserDataSource &m_columns;
};

} // namespace kv::inspector
