#include "platform/ui/OutlineView.h"

#include <QAbstractItemModel>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMetaMethod>

#include <algorithm>
#include <vector>

namespace kv::ui {

namespace {
constexpr int KeyColumnWidth = 220;
constexpr int OtherColumnWidth = 100;
} // namespace

// A thin item model over the outline view's data source. Each model index
// carries a node that holds the data source's item and the item's place
// (parent node and row), so that parent() answers without asking the data
// source. A parent's child nodes are made together, the first time one of
// them is asked for, and all are forgotten when the data is reloaded.
class OutlineModel : public QAbstractItemModel
{
public:
    explicit OutlineModel(OutlineView *view) : QAbstractItemModel(view), m_view(view) {}
    ~OutlineModel() override { clearNodes(); }

    struct Node
    {
        OutlineItem item = nullptr;
        Node *parent = nullptr;
        int row = 0;
        int childCount = -1; // -1: the children have not been made yet
        std::unique_ptr<Node[]> children;
    };

    static OutlineItem itemOf(const QModelIndex &index)
    {
        return index.isValid() ? static_cast<Node *>(index.internalPointer())->item : nullptr;
    }

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override
    {
        if (!hasIndex(row, column, parent))
            return QModelIndex();
        Node *parentNode = parent.isValid() ? static_cast<Node *>(parent.internalPointer()) : &m_root;
        if (parentNode->childCount < 0) {
            const int count = rowCount(parent);
            parentNode->children.reset(new Node[size_t(count)]);
            parentNode->childCount = count;
        }
        // A count that grew without a reload has no nodes for the new rows.
        if (row >= parentNode->childCount)
            return QModelIndex();
        Node &node = parentNode->children[size_t(row)];
        if (!node.item) {
            node.item = m_view->m_dataSource->outlineViewChild(m_view, row, parentNode->item);
            if (!node.item)
                return QModelIndex();
            node.parent = parentNode;
            node.row = row;
        }
        return createIndex(row, column, &node);
    }

    QModelIndex parent(const QModelIndex &child) const override
    {
        if (!child.isValid())
            return QModelIndex();
        const Node *parentNode = static_cast<Node *>(child.internalPointer())->parent;
        if (!parentNode || parentNode == &m_root)
            return QModelIndex();
        return createIndex(parentNode->row, 0, const_cast<Node *>(parentNode));
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        OutlineViewDataSource *dataSource = m_view->m_dataSource;
        if (!dataSource || parent.column() > 0)
            return 0;
        OutlineItem item = itemOf(parent);
        // Only the top and items said to be expandable are asked for a count:
        // an item without children may answer -1.
        if (item && !dataSource->outlineViewIsItemExpandable(m_view, item))
            return 0;
        return std::max(0, dataSource->outlineViewNumberOfChildrenOfItem(m_view, item));
    }

    int columnCount(const QModelIndex & = QModelIndex()) const override { return int(m_view->m_columns.size()); }

    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override
    {
        OutlineViewDataSource *dataSource = m_view->m_dataSource;
        if (!dataSource || parent.column() > 0)
            return false;
        if (!parent.isValid())
            return rowCount(parent) > 0;
        return dataSource->outlineViewIsItemExpandable(m_view, itemOf(parent));
    }

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override
    {
        if (!index.isValid() || !m_view->m_dataSource || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
            return QVariant();
        const QString text =
            m_view->m_dataSource->outlineViewObjectValueForTableColumn(m_view, column(index.column()), itemOf(index));
        if (text.isNull())
            return QVariant();
        // A cell shows at most MaximumCellText characters: laying out a
        // megabyte-long text (with its line breaks) for one row would hold
        // the window for minutes.
        constexpr qsizetype MaximumCellText = 10000;
        if (text.size() > MaximumCellText) {
            qsizetype cut = MaximumCellText - 1;
            if (text.at(cut - 1).isHighSurrogate())
                --cut;
            return QString(text.left(cut) + QChar(0x2026));
        }
        return text;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
            || section >= int(m_view->m_columns.size()))
            return QVariant();
        return column(section)->title();
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        if (!index.isValid() || !m_view->m_dataSource)
            return Qt::NoItemFlags;
        Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        OutlineItem item = itemOf(index);
        // Telling the view that leaves never have children keeps it from
        // asking about them again while it lays out and expands.
        if (!m_view->m_dataSource->outlineViewIsItemExpandable(m_view, item))
            flags |= Qt::ItemNeverHasChildren;
        if (m_view->m_delegate
            && m_view->m_delegate->outlineViewShouldEditTableColumn(m_view, column(index.column()), item))
            flags |= Qt::ItemIsEditable;
        return flags;
    }

    // Wraps a change of everything the data source answers.
    template<typename F>
    void reset(F &&change)
    {
        beginResetModel();
        clearNodes();
        change();
        endResetModel();
    }

    // The index of a node made so far for `item` (searched in the order the
    // rows are shown), or an invalid index.
    QModelIndex indexOfMadeItem(OutlineItem item) const
    {
        std::vector<const Node *> pending{&m_root};
        while (!pending.empty()) {
            const Node *node = pending.back();
            pending.pop_back();
            for (int row = 0; row < node->childCount; ++row) {
                const Node &child = node->children[size_t(row)];
                if (child.item == item)
                    return createIndex(row, 0, const_cast<Node *>(&child));
            }
            for (int row = node->childCount - 1; row >= 0; --row) {
                if (node->children[size_t(row)].childCount > 0)
                    pending.push_back(&node->children[size_t(row)]);
            }
        }
        return QModelIndex();
    }

private:
    TableColumn *column(int section) const { return m_view->m_columns[size_t(section)].get(); }

    // Without one stack frame per level of the tree.
    void clearNodes()
    {
        std::vector<std::pair<std::unique_ptr<Node[]>, int>> pending;
        if (m_root.childCount > 0)
            pending.emplace_back(std::move(m_root.children), m_root.childCount);
        m_root = Node();
        while (!pending.empty()) {
            auto [nodes, count] = std::move(pending.back());
            pending.pop_back();
            for (int i = 0; i < count; ++i) {
                if (nodes[size_t(i)].childCount > 0)
                    pending.emplace_back(std::move(nodes[size_t(i)].children), nodes[size_t(i)].childCount);
            }
        }
    }

    OutlineView *m_view;
    mutable Node m_root;
};

OutlineView::OutlineView(QWidget *parent) : QTreeView(parent), m_model(new OutlineModel(this))
{
    // Under the name the signal uses, for queued connections and spies.
    qRegisterMetaType<OutlineItem>("kv::ui::OutlineItem");
    setModel(m_model);
    setUniformRowHeights(true);
    setAlternatingRowColors(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAccessibleName(tr("Value tree"));
    header()->setStretchLastSection(true);
}

OutlineView::~OutlineView()
{
    // The model asks the data source while it is torn down; forget it first.
    m_dataSource = nullptr;
    m_delegate = nullptr;
}

void OutlineView::setDataSource(OutlineViewDataSource *dataSource)
{
    m_model->reset([&] { m_dataSource = dataSource; });
}

TableColumn *OutlineView::addTableColumn(const QString &identifier, const QString &title)
{
    TableColumn *column = nullptr;
    m_model->reset([&] {
        m_columns.push_back(std::make_unique<TableColumn>(identifier, title));
        column = m_columns.back().get();
    });
    const int section = int(m_columns.size()) - 1;
    setColumnWidth(section, section == 0 ? KeyColumnWidth : OtherColumnWidth);
    return column;
}

QList<TableColumn *> OutlineView::tableColumns() const
{
    QList<TableColumn *> columns;
    columns.reserve(qsizetype(m_columns.size()));
    for (const auto &column : m_columns)
        columns.append(column.get());
    return columns;
}

void OutlineView::reloadData()
{
    m_model->reset([] {});
}

QModelIndex OutlineView::indexForItem(OutlineItem item) const
{
    if (!item || !m_dataSource)
        return QModelIndex();
    // Top-level items may not have been asked for yet (after a reload).
    const int rows = m_model->rowCount();
    for (int row = 0; row < rows; ++row) {
        const QModelIndex index = m_model->index(row, 0);
        if (index.isValid() && OutlineModel::itemOf(index) == item)
            return index;
    }
    return m_model->indexOfMadeItem(item);
}

void OutlineView::expandItem(OutlineItem item, bool expandChildren)
{
    if (!m_dataSource)
        return;
    const QModelIndex start = indexForItem(item);
    if (item && !start.isValid())
        return;
    if (!expandChildren) {
        if (start.isValid())
            expand(start);
        return;
    }
    // The whole tree: let the view expand everything in one layout pass.
    if (!item || (m_model->rowCount() == 1 && m_model->index(0, 0) == start)) {
        expandAll();
        return;
    }
    // A subtree: record every expandable item as expanded and lay out once.
    scheduleDelayedItemsLayout();
    std::vector<QModelIndex> pending{start};
    while (!pending.empty()) {
        const QModelIndex index = pending.back();
        pending.pop_back();
        if (!m_dataSource->outlineViewIsItemExpandable(this, OutlineModel::itemOf(index)))
            continue;
        expand(index);
        const int rows = m_model->rowCount(index);
        for (int row = 0; row < rows; ++row) {
            const QModelIndex child = m_model->index(row, 0, index);
            if (child.isValid() && m_dataSource->outlineViewIsItemExpandable(this, OutlineModel::itemOf(child)))
                pending.push_back(child);
        }
    }
}

bool OutlineView::isItemExpanded(OutlineItem item) const
{
    const QModelIndex index = indexForItem(item);
    return index.isValid() && isExpanded(index);
}

QModelIndex OutlineView::indexAtRow(int row) const
{
    if (row < 0 || !m_dataSource)
        return QModelIndex();
    // Depth-first over the shown rows, in display order.
    int current = 0;
    std::vector<std::pair<QModelIndex, int>> stack{{QModelIndex(), 0}};
    while (!stack.empty()) {
        auto &[parent, next] = stack.back();
        if (next >= m_model->rowCount(parent)) {
            stack.pop_back();
            continue;
        }
        const QModelIndex child = m_model->index(next++, 0, parent);
        if (current++ == row)
            return child;
        if (isExpanded(child))
            stack.emplace_back(child, 0);
    }
    return QModelIndex();
}

int OutlineView::numberOfRows() const
{
    if (!m_dataSource)
        return 0;
    int count = 0;
    std::vector<QModelIndex> pending{QModelIndex()};
    while (!pending.empty()) {
        const QModelIndex parent = pending.back();
        pending.pop_back();
        const int rows = m_model->rowCount(parent);
        count += rows;
        for (int row = 0; row < rows; ++row) {
            const QModelIndex child = m_model->index(row, 0, parent);
            if (isExpanded(child))
                pending.push_back(child);
        }
    }
    return count;
}

OutlineItem OutlineView::itemAtRow(int row) const
{
    return OutlineModel::itemOf(indexAtRow(row));
}

QString OutlineView::textAt(int row, int column) const
{
    const QModelIndex index = indexAtRow(row);
    if (!index.isValid() || column < 0 || column >= int(m_columns.size()))
        return QString();
    return m_model->data(m_model->index(index.row(), column, index.parent())).toString();
}

OutlineItem OutlineView::currentItem() const
{
    return OutlineModel::itemOf(currentIndex());
}

QList<OutlineItem> OutlineView::itemPath(OutlineItem item) const
{
    QList<OutlineItem> path;
    for (QModelIndex index = indexForItem(item); index.isValid(); index = index.parent())
        path.prepend(OutlineModel::itemOf(index));
    return path;
}

void OutlineView::contextMenuEvent(QContextMenuEvent *event)
{
    if (!isSignalConnected(QMetaMethod::fromSignal(&OutlineView::contextMenuRequestedForItem))) {
        QTreeView::contextMenuEvent(event);
        return;
    }
    event->accept();
    // From the keyboard the menu is about the current row and opens below
    // it, wherever the pointer is; from the mouse it is about the row under
    // the pointer (which a right press has already made current).
    if (event->reason() == QContextMenuEvent::Keyboard) {
        const QModelIndex current = currentIndex();
        QRect rect = current.isValid() ? visualRect(current) : QRect();
        if (!rect.isValid() || !viewport()->rect().intersects(rect))
            rect = QRect(viewport()->rect().topLeft(), QSize(1, 1));
        Q_EMIT contextMenuRequestedForItem(OutlineModel::itemOf(current),
                                           viewport()->mapToGlobal(QPoint(rect.left(), rect.bottom())));
        return;
    }
    // Mouse events arrive with the position in viewport coordinates.
    Q_EMIT contextMenuRequestedForItem(OutlineModel::itemOf(indexAt(event->pos())), event->globalPos());
}

void OutlineView::keyPressEvent(QKeyEvent *event)
{
    // `*` expands the current row's whole subtree. QTreeView does this too,
    // but then also treats the `*` as type-ahead, which moves the current
    // row to one whose text begins with `*`, and it visits every leaf;
    // expandItem visits only the expandable rows and lays out once.
    const Qt::KeyboardModifiers commandModifiers = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if (event->key() == Qt::Key_Asterisk && !(event->modifiers() & commandModifiers) && itemsExpandable()) {
        if (const OutlineItem item = currentItem())
            expandItem(item, true);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

} // namespace kv::ui
