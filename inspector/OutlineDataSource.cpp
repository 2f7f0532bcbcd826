// The value outline view's data source and delegate: the rows are KVNItems of
// the value tree, handed out as the view's items. The top level always holds
// exactly one row, the root item, whether or not a value is selected.

#include "app/KVNController.h"
#include "inspector/KVNItem.h"

namespace {

KVNItem *itemOf(kv::ui::OutlineItem item)
{
    return static_cast<KVNItem *>(item);
}

} // namespace

int KVNController::outlineViewNumberOfChildrenOfItem(kv::ui::OutlineView *, kv::ui::OutlineItem item)
{
    if (!item)
        return 1;
    return itemOf(item)->numberOfChildren();
}

bool KVNController::outlineViewIsItemExpandable(kv::ui::OutlineView *, kv::ui::OutlineItem item)
{
    if (!item)
        return true;
    return itemOf(item)->numberOfChildren() != -1;
}

kv::ui::OutlineItem KVNController::outlineViewChild(kv::ui::OutlineView *, int index, kv::ui::OutlineItem item)
{
    if (!item)
        return KVNItem::rootItem();
    return itemOf(item)->childAtIndex(index);
}

QString KVNController::outlineViewObjectValueForTableColumn(kv::ui::OutlineView *, kv::ui::TableColumn *tableColumn,
                                                            kv::ui::OutlineItem item)
{
    // Columns are told apart by identity, in this order.
    if (!item)
        return QStringLiteral("");
    if (tableColumn == kvnOutlineViewTypeColumn)
        return itemOf(item)->objectType();
    if (tableColumn == kvnOutlineViewValueColumn)
        return itemOf(item)->value();
    if (tableColumn == kvnOutlineViewKeyColumn)
        return itemOf(item)->name();
    return QStringLiteral("");
}

bool KVNController::outlineViewShouldEditTableColumn(kv::ui::OutlineView *, kv::ui::TableColumn *, kv::ui::OutlineItem)
{
    // The value tree is read-only.
    return false;
}
