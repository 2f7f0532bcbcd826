#include "platform/ui/OutlineView.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QHeaderView>

#include <algorithm>
#include <vector>

namespace kv::ui {

namespace {
constexpr int KeyColumnWidth = 220;
constexpr int OtherColumnWidth = 100;
} // namespace

// A thin item model over the outline view's data source. Each model index
// carries the data source's item as its internal pointer; the items' places
// (parent item and row) are remembered as they are handed out, so that
// parent() can answer without asking the data source, and forgotten when the
// data is reloaded.
class OutlineModel : public QAbstractItemModel
{
public:
    explicit OutlineModel(OutlineView *view) : QAbstractItemModel(view), m_view(view) {}

    struct Place
    {
        OutlineItem parent = nullptr;
        int row = 0;
    };

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override
    {
        if (!hasIndex(row, column, parent))
            return QModelIndex();
        OutlineItem parentItem = parent.isValid() ? parent.internalPointer() : nullptr;
        OutlineItem item = m_view->m_dataSource->outlineViewChild(m_view, row, parentItem);
        if (!item)
            return QModelIndex();
        m_places.insert(item, Place{parentItem, row});
        return createIndex(row, column, item);
    }

    QModelIndex parent(const QModelIndex &child) const override
    {
        if (!child.isValid())
            return QModelIndex();
        const auto it = m_places.constFind(child.internalPointer());
        if (it == m_places.cend() || !it->parent)
            return QModelIndex();
        const auto parentPlace = m_places.constFind(it->parent);
        if (parentPlace == m_places.cend())
            return QModelIndex();
        return createIndex(parentPlace->row, 0, it->parent);
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        OutlineViewDataSource *dataSource = m_view->m_dataSource;
        if (!dataSource || parent.column() > 0)
            return 0;
        OutlineItem item = parent.isValid() ? parent.internalPointer() : nullptr;
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
        return dataSource->outlineViewIsItemExpandable(m_view, parent.internalPointer());
    }

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override
    {
        if (!index.isValid() || !m_view->m_dataSource || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
            return QVariant();
        const QString text = m_view->m_dataSource->outlineViewObjectValueForTableColumn(
            m_view, column(index.column()), index.internalPointer());
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
        OutlineItem item = index.internalPointer();
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
        m_places.clear();
        change();
        endResetModel();
    }

    const Place *placeOf(OutlineItem item) const
    {
        const auto it = m_places.constFind(item);
        return it == m_places.cend() ? nullptr : &*it;
    }

private:
    TableColumn *column(int section) const { return m_view->m_columns[size_t(section)].get(); }

    OutlineView *m_view;
    mutable QHash<OutlineItem, Place> m_places;
};

OutlineView::OutlineView(QWidget *parent) : QTreeView(parent), m_model(new OutlineModel(this))
{
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
    if (!item)
        return QModelIndex();
    if (!m_model->placeOf(item)) {
        // Top-level items may not have been asked for yet (after a reload).
        const int rows = m_model->rowCount();
        for (int row = 0; row < rows && !m_model->placeOf(item); ++row)
            m_model->index(row, 0);
    }
    // The chain of places from the item up to the top, then down again.
    std::vector<int> rows;
    for (OutlineItem current = item; current;) {
        const OutlineModel::Place *place = m_model->placeOf(current);
        if (!place)
            return QModelIndex();
        rows.push_back(place->row);
        current = place->parent;
    }
    QModelIndex index;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        index = m_model->index(*it, 0, index);
        if (!index.isValid())
            return QModelIndex();
    }
    return index.internalPointer() == item ? index : QModelIndex();
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
        if (!m_dataSource->outlineViewIsItemExpandable(this, index.internalPointer()))
            continue;
        expand(index);
        const int rows = m_model->rowCount(index);
        for (int row = 0; row < rows; ++row) {
            const QModelIndex child = m_model->index(row, 0, index);
            if (child.isValid() && m_dataSource->outlineViewIsItemExpandable(this, child.internalPointer()))
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
    return indexAtRow(row).internalPointer();
}

QString OutlineView::textAt(int row, int column) const
{
    const QModelIndex index = indexAtRow(row);
    if (!index.isValid() || column < 0 || column >= int(m_columns.size()))
        return QString();
    return m_model->data(m_model->index(index.row(), column, index.parent())).toString();
}

} // namespace kv::ui
