#include "inspector/ValueInspector.h"

#include "inspector/KVNItem.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

namespace kv::inspector {

namespace {

KVNItem *itemOf(ui::OutlineItem item)
{
    return static_cast<KVNItem *>(item);
}

} // namespace

ValueInspector::ValueInspector(const Fields &fields, const browser::BrowserDataSource &columns)
    : m_fields(fields), m_columns(columns)
{}

void ValueInspector::browserSingleClick(QObject *sender)
{
    auto *browser = qobject_cast<ui::ColumnBrowser *>(sender);
    // Exactly one selected cell, or nothing changes.
    if (!browser || browser->selectedCells().size() != 1)
        return;

    // Let go of the displayed value. Its data is kept alive until the end of
    // this operation, so that the old tree (which points into it) never
    // dangles while it is being replaced.
    const PropertyListValue previousContents = std::move(m_fields.selectedKeyContents);
    m_fields.selectedKeyContents = PropertyListValue();

    if (m_fields.inspectorView)
        m_fields.inspectorView->setString(QString());

    // The column comes from the sender, the row from the browser field (every
    // caller passes that same browser).
    const int column = browser->selectedColumn();
    ui::ColumnBrowser *asked = m_fields.kvnBrowser ? m_fields.kvnBrowser : browser;
    const int row = asked->selectedRowInColumn(column);
    // A selection outside the tree counts as a row without a key.
    const BranchNode *node = m_columns.node(row, column);

    if (!node || !node->key) {
        // An intermediate path component: no store key ends here.
        if (m_fields.kvnKey)
            m_fields.kvnKey->setStringValue(QStringLiteral("none"));
    } else {
        // The key the DecomposedKey was made from, not its joined components:
        // the join differs from the key for keys without ":" and keys with
        // white space dropped after a separator, and would name no stored key.
        const QString key = node->key->storeKey();
        if (m_fields.kvnKey)
            m_fields.kvnKey->setStringValue(key);
        if (m_fields.store) {
            PropertyListValue value = storeCopyValue(m_fields.store.get(), key);
            if (!value.isNone()) {
                m_fields.selectedKeyContents = std::move(value);
                // The text of a large value takes a while to make: it is made
                // apart from the value tree's work below, on the next turn of
                // the event loop (or when the text is asked for first).
                if (m_fields.inspectorView) {
                    m_fields.inspectorView->setDeferredString([shown = m_fields.selectedKeyContents] {
                        return shown.typeName() + QStringLiteral(": ") + shown.description();
                    });
                }
            }
        }
    }

    // The tree's root follows the value: the old tree goes first, then the
    // tree is rooted at the new value (none when nothing was read).
    const PropertyListValue &shown = m_fields.selectedKeyContents;
    KVNItem::releaseRootItem();
    KVNItem::setRootItem(shown.isNone() ? nullptr : &shown);

    if (m_fields.kvnOutlineView)
        m_fields.kvnOutlineView->reloadData();

    // The whole tree expanded; a root without children stays as it is.
    if (m_fields.outlineViewModeExpended && m_fields.kvnOutlineView) {
        KVNItem *root = KVNItem::rootItem();
        if (root->numberOfChildren() != -1)
            m_fields.kvnOutlineView->expandItem(root, true);
    }
}

void ValueInspector::clearValueDisplays()
{
    if (m_fields.inspectorView)
        m_fields.inspectorView->setString(QString());
    KVNItem::releaseRootItem();
    KVNItem::setRootItem(nullptr);
    if (m_fields.kvnOutlineView)
        m_fields.kvnOutlineView->reloadData();
}

void ValueInspector::orderFront(QObject *sender)
{
    if (m_fields.inspectorPanel)
        m_fields.inspectorPanel->orderFront(sender);
}

int ValueInspector::numberOfChildrenOfItem(ui::OutlineItem item) const
{
    if (!item)
        return 1;
    return itemOf(item)->numberOfChildren();
}

bool ValueInspector::isItemExpandable(ui::OutlineItem item) const
{
    if (!item)
        return true;
    return itemOf(item)->numberOfChildren() != -1;
}

ui::OutlineItem ValueInspector::child(int index, ui::OutlineItem item) const
{
    if (!item)
        return KVNItem::rootItem();
    return itemOf(item)->childAtIndex(index);
}

QString ValueInspector::objectValueForTableColumn(ui::TableColumn *tableColumn, ui::OutlineItem item) const
{
    // Columns are told apart by identity, in this order.
    if (!item)
        return QStringLiteral("");
    if (tableColumn == m_fields.kvnOutlineViewTypeColumn)
        return itemOf(item)->objectType();
    if (tableColumn == m_fields.kvnOutlineViewValueColumn)
        return itemOf(item)->value();
    if (tableColumn == m_fields.kvnOutlineViewKeyColumn)
        return itemOf(item)->name();
    return QStringLiteral("");
}

} // namespace kv::inspector
