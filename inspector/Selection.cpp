// What a selection in the key browser shows: the store key in the key field,
// the value as one text in the inspector panel, and the value as the root of
// the value tree, fully expanded.

#include "app/KVNController.h"
#include "inspector/KVNItem.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextView.h"
#include "platform/ui/Window.h"

void KVNController::browserSingleClick(QObject *sender)
{
    auto *browser = qobject_cast<kv::ui::ColumnBrowser *>(sender);
    // 1. Exactly one selected cell, or nothing changes.
    if (!browser || browser->selectedCells().size() != 1)
        return;

    // 2. Let go of the displayed value. The old value's data is kept alive
    // until the end of this operation, so that the old tree (which points
    // into it) never dangles while it is being replaced.
    const kv::PropertyListValue previousContents = std::move(selectedKeyContents);
    selectedKeyContents = kv::PropertyListValue();

    // 3. Clear the inspector text.
    if (inspectorView)
        inspectorView->setString(QString());

    // 4. The column from the sender, the row from the browser field.
    const int column = browser->selectedColumn();
    const int row = (kvnBrowser ? kvnBrowser : browser)->selectedRowInColumn(column);

    // 5. The row's node in the column tree (a selection outside the tree
    // counts as a row without a key).
    const kv::BranchNode *node = nullptr;
    if (column >= 0 && column < storeTree.size() && row >= 0 && row < storeTree[column].nodes.size())
        node = &storeTree[column].nodes[row];

    if (!node || !node->key) {
        // 6. An intermediate path component: no store key ends here.
        if (kvnKey)
            kvnKey->setStringValue(QStringLiteral("none"));
    } else {
        // 7. The store key the row stands for. The key the DecomposedKey was
        // made from is used, not its joined components: the join differs from
        // the key for keys without ":" and keys with white space dropped
        // after a separator, and would name no stored key.
        const QString key = node->key->storeKey();
        if (kvnKey)
            kvnKey->setStringValue(key);
        // 8. Read the value afresh.
        if (store) {
            kv::PropertyListValue value = kv::storeCopyValue(store.get(), key);
            if (!value.isNone()) {
                selectedKeyContents = std::move(value);
                // The text of a large value takes a while to make: it is made
                // apart from the value tree's work below, on the next turn of
                // the event loop (or when the text is asked for first).
                if (inspectorView) {
                    inspectorView->setDeferredString([shown = selectedKeyContents] {
                        return shown.typeName() + QStringLiteral(": ") + shown.description();
                    });
                }
            }
        }
    }

    // 9. Replace the value tree's root: release the old tree, then root the
    // tree at the new value (none when nothing was read).
    KVNItem::releaseRootItem();
    KVNItem::setRootItem(selectedKeyContents.isNone() ? nullptr : &selectedKeyContents);

    // 10. The outline view asks for everything afresh.
    if (kvnOutlineView)
        kvnOutlineView->reloadData();

    // 11. Expand the whole tree; a root without children stays as it is.
    if (outlineViewModeExpended && kvnOutlineView) {
        KVNItem *root = KVNItem::rootItem();
        if (root->numberOfChildren() != -1)
            kvnOutlineView->expandItem(root, true);
    }
}

void KVNController::browserDoubleClick(QObject *sender)
{
    browserSingleClick(sender);
}

void KVNController::showInspector(QObject *)
{
    if (inspectorPanel)
        inspectorPanel->orderFront(this);
}
