#include "platform/ui/ColumnBrowser.h"

#include "platform/ui/Delegates.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QListView>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QStyledItemDelegate>

namespace kv::ui {

namespace {

// Item role holding whether a row is a leaf.
constexpr int LeafRole = Qt::UserRole + 1;
constexpr int ColumnRole = Qt::UserRole + 2; // the column a row is in

// A right-pointing chevron in the given colour.
QPixmap chevronPixmap(const QColor &color, qreal devicePixelRatio)
{
    const QSize size(8, 12);
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, 1.6);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    const QPointF points[3] = {QPointF(2.0, 2.0), QPointF(6.0, 6.0), QPointF(2.0, 10.0)};
    painter.drawPolyline(points, 3);
    return pixmap;
}

// Paints a chevron at the right edge of every row that is not a leaf.
class BrowserItemDelegate : public QStyledItemDelegate
{
public:
    BrowserItemDelegate(const ColumnBrowser *browser, QWidget *view) : QStyledItemDelegate(view), m_browser(browser) {}

    // Every row is as tall as one drawn with a chevron, so that rows line up
    // in every column whether it holds such rows or not.
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem measured = option;
        initStyleOption(&measured, index);
        addChevron(&measured);
        const QWidget *widget = measured.widget;
        const QStyle *style = widget ? widget->style() : QApplication::style();
        return style->sizeFromContents(QStyle::CT_ItemViewItem, &measured, QSize(), widget);
    }

    // The row as the style draws it, then the activity dot at its right end,
    // left of the chevron: in the highlight colour, or the highlighted text's
    // colour on a selected row (drawn in the highlight colour itself), with
    // the activity as its opacity.
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const qreal activity = m_browser->rowActivity(index.row(), index.data(ColumnRole).toInt());
        if (activity <= 0)
            return;
        const bool selected = option.state & QStyle::State_Selected;
        QColor colour = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Highlight);
        colour.setAlphaF(float(0.3 + 0.7 * std::min<qreal>(activity, 1)));
        const qreal diameter = std::clamp<qreal>(option.rect.height() * 0.4, 5, 9);
        const qreal right = option.rect.right() - (index.data(LeafRole).toBool() ? 4 : 16);
        const QRectF dot(right - diameter, option.rect.top() + (option.rect.height() - diameter) / 2, diameter,
                         diameter);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(colour);
        painter->drawEllipse(dot);
        painter->restore();
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (!index.data(LeafRole).toBool())
            addChevron(option);
    }

private:
    void addChevron(QStyleOptionViewItem *option) const
    {
        const QWidget *view = option->widget;
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->icon =
            m_browser->chevronIcon(view ? view->palette() : option->palette, view ? view->devicePixelRatioF() : 1.0);
        option->decorationSize = QSize(8, 12);
        option->decorationPosition = QStyleOptionViewItem::Right;
        option->decorationAlignment = Qt::AlignRight | Qt::AlignVCenter;
    }

    const ColumnBrowser *m_browser;
};

} // namespace

// The rows of one loaded column. The row count is asked once, when the column
// loads; each row's cell is asked the first time anything needs it (painting,
// type-ahead, path, selection) and kept for the life of the column.
class BrowserColumnModel : public QAbstractListModel
{
public:
    BrowserColumnModel(ColumnBrowser *browser, int column, int rows, QObject *parent)
        : QAbstractListModel(parent), m_browser(browser), m_column(column), m_rows(qMax(0, rows))
    {
        m_cells.reserve(size_t(m_rows));
        for (int r = 0; r < m_rows; ++r)
            m_cells.emplace_back(r, column);
        m_asked.assign(size_t(m_rows), false);
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override { return parent.isValid() ? 0 : m_rows; }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_rows)
            return {};
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
        case Qt::AccessibleTextRole: return cell(index.row())->title();
        case Qt::AccessibleDescriptionRole:
            return cell(index.row())->isLeaf() ? QString() : QStringLiteral("Has rows below");
        case LeafRole: return cell(index.row())->isLeaf();
        case ColumnRole: return m_column;
        default: return {};
        }
    }

    // The cell of `row`, asking the delegate if this is the first time.
    BrowserCell *cell(int row) const
    {
        if (row < 0 || row >= m_rows)
            return nullptr;
        if (!m_asked[size_t(row)]) {
            m_asked[size_t(row)] = true;
            if (!m_detached && m_browser->delegate())
                m_browser->delegate()->browserWillDisplayCell(m_browser, &m_cells[size_t(row)], row, m_column);
        }
        return &m_cells[size_t(row)];
    }

    // The column was closed: never ask the delegate about it again.
    void detach() { m_detached = true; }

private:
    ColumnBrowser *m_browser;
    int m_column;
    int m_rows;
    bool m_detached = false;
    mutable std::vector<BrowserCell> m_cells;
    mutable std::vector<bool> m_asked;
};

// The list view of one column. Selection is the browser's: the view reports
// clicks and keys to it and shows what it selected.
class BrowserColumnView : public QListView
{
public:
    BrowserColumnView(ColumnBrowser *browser, int column, QWidget *parent)
        : QListView(parent), m_browser(browser), m_column(column)
    {
        setSelectionMode(QAbstractItemView::SingleSelection);
        setSelectionBehavior(QAbstractItemView::SelectRows);
        setEditTriggers(QAbstractItemView::NoEditTriggers);
        setUniformItemSizes(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setTextElideMode(Qt::ElideMiddle);
        setDragEnabled(false);
        setFocusPolicy(Qt::StrongFocus);
        setItemDelegate(new BrowserItemDelegate(browser, this));
        setAccessibleName(QStringLiteral("Column %1").arg(column + 1));
    }

    int column() const { return m_column; }
    void detach() { m_detached = true; }

protected:
    void showEvent(QShowEvent *event) override
    {
        QListView::showEvent(event);
        const QModelIndex current = selectionModel() ? selectionModel()->currentIndex() : QModelIndex();
        if (current.isValid())
            scrollTo(current);
    }

    void mousePressEvent(QMouseEvent *event) override
    {
        event->accept();
        if (m_detached || event->button() != Qt::LeftButton)
            return;
        const QModelIndex index = indexAt(event->position().toPoint());
        if (index.isValid())
            m_browser->userSelectRow(index.row(), m_column);
        else
            setFocus(Qt::MouseFocusReason);
    }

    void contextMenuEvent(QContextMenuEvent *event) override
    {
        if (m_detached || !m_browser->hasContextMenuReceiver()) {
            QListView::contextMenuEvent(event);
            return;
        }
        event->accept();
        if (event->reason() == QContextMenuEvent::Keyboard) {
            // About the selected row, shown below it while it is in sight.
            const int row = m_browser->selectedRowInColumn(m_column);
            QRect rect = row >= 0 ? visualRect(model()->index(row, 0)) : QRect();
            if (!rect.isValid() || !viewport()->rect().intersects(rect))
                rect = QRect(viewport()->rect().topLeft(), QSize(1, 1));
            Q_EMIT m_browser->contextMenuRequestedForRow(row, m_column,
                                                         viewport()->mapToGlobal(QPoint(rect.left(), rect.bottom())));
            return;
        }
        // Mouse events arrive with the position in viewport coordinates.
        const QModelIndex index = indexAt(event->pos());
        Q_EMIT m_browser->contextMenuRequestedForRow(index.isValid() ? index.row() : -1, m_column, event->globalPos());
    }

    void mouseMoveEvent(QMouseEvent *event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent *event) override { event->accept(); }

    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        event->accept();
        if (m_detached || event->button() != Qt::LeftButton)
            return;
        const QModelIndex index = indexAt(event->position().toPoint());
        if (index.isValid())
            m_browser->userDoubleClickRow(index.row(), m_column);
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        if (m_detached) {
            event->ignore();
            return;
        }
        const int rows = model() ? model()->rowCount() : 0;
        const int selected = m_browser->selectedRowInColumn(m_column);
        switch (event->key()) {
        case Qt::Key_Up:
            if (rows > 0)
                moveTo(selected < 0 ? rows - 1 : qMax(0, selected - 1), selected);
            event->accept();
            return;
        case Qt::Key_Down:
            if (rows > 0)
                moveTo(selected < 0 ? 0 : qMin(rows - 1, selected + 1), selected);
            event->accept();
            return;
        case Qt::Key_Home:
            if (rows > 0)
                moveTo(0, selected);
            event->accept();
            return;
        case Qt::Key_End:
            if (rows > 0)
                moveTo(rows - 1, selected);
            event->accept();
            return;
        case Qt::Key_Right:
            m_browser->userMoveRight(m_column);
            event->accept();
            return;
        case Qt::Key_Left:
            m_browser->userMoveLeft(m_column);
            event->accept();
            return;
        default: break;
        }
        const QString text = event->text();
        const Qt::KeyboardModifiers modifiers = event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
        if (!text.isEmpty() && text.at(0).isPrint() && modifiers == Qt::NoModifier) {
            keyboardSearch(text);
            event->accept();
            return;
        }
        event->ignore();
    }

public:
    // Type-ahead: select the row whose title begins with what was typed.
    void keyboardSearch(const QString &search) override
    {
        if (m_detached)
            return;
        QListView::keyboardSearch(search);
        const QModelIndex current = currentIndex();
        if (current.isValid() && current.row() != m_browser->selectedRowInColumn(m_column))
            m_browser->userSelectRow(current.row(), m_column);
        else
            m_browser->showSelection(m_column); // keep the view showing the browser's selection
    }

private:
    void moveTo(int row, int selected)
    {
        if (row != selected)
            m_browser->userSelectRow(row, m_column);
    }

    ColumnBrowser *m_browser;
    int m_column;
    bool m_detached = false;
};

ColumnBrowser::ColumnBrowser(QWidget *parent) : QScrollArea(parent)
{
    setAccessibleName(QStringLiteral("Key browser"));
    setWidgetResizable(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::NoFocus);
    m_container = new QWidget;
    setWidget(m_container);
    layoutColumns();
}

ColumnBrowser::~ColumnBrowser()
{
    // The views go with the container; make sure none asks the delegate again.
    for (Column &column : m_columns) {
        column.model->detach();
        column.view->detach();
    }
}

void ColumnBrowser::setTarget(QObject *target)
{
    m_action.setTarget(target);
    m_doubleAction.setTarget(target);
}

void ColumnBrowser::setPathSeparator(const QString &separator)
{
    m_separator = separator;
}

void ColumnBrowser::setColumnWidth(int width)
{
    m_columnWidth = qMax(40, width);
    layoutColumns();
}

void ColumnBrowser::setRowActivity(RowActivity activity)
{
    m_rowActivity = std::move(activity);
    refreshRowActivity();
}

void ColumnBrowser::refreshRowActivity()
{
    for (const Column &column : m_columns) {
        if (column.view)
            column.view->viewport()->update();
    }
}

QIcon ColumnBrowser::chevronIcon(const QPalette &palette, qreal devicePixelRatio) const
{
    const QColor plain = palette.color(QPalette::Text);
    const QColor selected = palette.color(QPalette::HighlightedText);
    if (m_chevron.isNull() || plain != m_chevronColor || selected != m_chevronSelectedColor
        || devicePixelRatio != m_chevronRatio) {
        QIcon icon;
        icon.addPixmap(chevronPixmap(plain, devicePixelRatio), QIcon::Normal);
        icon.addPixmap(chevronPixmap(selected, devicePixelRatio), QIcon::Selected);
        m_chevron = icon;
        m_chevronColor = plain;
        m_chevronSelectedColor = selected;
        m_chevronRatio = devicePixelRatio;
    }
    return m_chevron;
}

void ColumnBrowser::loadColumnZero()
{
    closeColumnsAfter(-1);
    loadColumn(0);
}

void ColumnBrowser::loadColumn(int column)
{
    Q_ASSERT(column == numberOfColumns());
    const int rows = m_delegate ? qMax(0, m_delegate->browserNumberOfRowsInColumn(this, column)) : 0;
    // The delegate may not reshape the browser while answering; if it did,
    // the column goes after whatever columns are there now.
    column = numberOfColumns();
    auto *view = new BrowserColumnView(this, column, m_container);
    auto *model = new BrowserColumnModel(this, column, rows, view);
    view->setModel(model);
    m_columns.push_back(Column{view, model, -1});
    layoutColumns();
    view->show();
    scrollToLastColumn();
}

void ColumnBrowser::closeColumnsAfter(int column)
{
    bool hadFocus = false;
    while (numberOfColumns() > column + 1) {
        Column last = m_columns.back();
        m_columns.pop_back();
        last.model->detach();
        last.view->detach();
        hadFocus = hadFocus || last.view->hasFocus();
        last.view->hide();
        // Deleted later: the view may be the one whose event led here.
        last.view->deleteLater();
    }
    if (hadFocus && column >= 0 && column < numberOfColumns())
        m_columns[size_t(column)].view->setFocus();
    layoutColumns();
}

void ColumnBrowser::layoutColumns()
{
    const int height = viewport()->height();
    const int width = qMax(viewport()->width(), numberOfColumns() * m_columnWidth);
    m_container->resize(width, height);
    for (int c = 0; c < numberOfColumns(); ++c)
        m_columns[size_t(c)].view->setGeometry(c * m_columnWidth, 0, m_columnWidth, height);
}

void ColumnBrowser::scrollToLastColumn()
{
    const int right = numberOfColumns() * m_columnWidth;
    QScrollBar *bar = horizontalScrollBar();
    const int wanted = qMax(0, right - viewport()->width());
    if (bar->maximum() < wanted)
        bar->setRange(0, wanted);
    bar->setValue(wanted);
}

void ColumnBrowser::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    layoutColumns();
    scrollToLastColumn();
}

QStringList ColumnBrowser::pathTitles() const
{
    QStringList titles;
    for (int c = 0; c < numberOfColumns(); ++c) {
        const int row = m_columns[size_t(c)].selectedRow;
        if (row < 0)
            break;
        titles.append(titleOfRow(row, c));
    }
    return titles;
}

QString ColumnBrowser::path() const
{
    return m_separator + pathTitles().join(m_separator);
}

void ColumnBrowser::replaceColumnRows(int column, int rows)
{
    if (column < 0 || column >= numberOfColumns())
        return;
    Column &c = m_columns[size_t(column)];
    BrowserColumnModel *old = c.model;
    c.model = new BrowserColumnModel(this, column, rows, c.view);
    c.selectedRow = -1;
    c.view->setModel(c.model);
    old->detach();
    old->deleteLater();
}

void ColumnBrowser::markRowSelected(int row, int column)
{
    if (column < 0 || column >= numberOfColumns() || row < 0 || row >= numberOfRowsInColumn(column))
        return;
    m_columns[size_t(column)].selectedRow = row;
    showSelection(column);
}

bool ColumnBrowser::setPath(const QString &path)
{
    QStringList pieces;
    if (m_separator.isEmpty()) {
        if (!path.isEmpty())
            pieces.append(path);
    } else {
        pieces = path.split(m_separator, Qt::KeepEmptyParts);
        if (path.startsWith(m_separator))
            pieces.removeFirst();
        if (!pieces.isEmpty() && pieces.last().isEmpty())
            pieces.removeLast();
    }

    if (numberOfColumns() == 0)
        loadColumnZero();
    else
        selectRow(-1, 0);

    for (int column = 0; column < pieces.size(); ++column) {
        // A leaf row (or no row) was selected before: nothing to match in.
        if (column >= numberOfColumns() || !m_delegate)
            return false;
        if (!m_delegate->browserSelectCellWithString(this, pieces.at(column), column))
            return false;
    }
    return true;
}

int ColumnBrowser::selectedRowInColumn(int column) const
{
    if (column < 0 || column >= numberOfColumns())
        return -1;
    return m_columns[size_t(column)].selectedRow;
}

void ColumnBrowser::selectRow(int row, int column)
{
    if (column < 0 || column >= numberOfColumns())
        return;
    if (row < -1 || row >= numberOfRowsInColumn(column))
        return;
    const bool hadFocus = focusIsInside();
    closeColumnsAfter(column);
    m_columns[size_t(column)].selectedRow = row;
    showSelection(column);
    if (row >= 0) {
        const BrowserCell *cell = loadedCellAtRow(row, column);
        if (cell && !cell->isLeaf())
            loadColumn(column + 1);
    }
    if (hadFocus)
        m_columns[size_t(column)].view->setFocus();
}

void ColumnBrowser::showSelection(int column)
{
    if (column < 0 || column >= numberOfColumns())
        return;
    const Column &c = m_columns[size_t(column)];
    QItemSelectionModel *selection = c.view->selectionModel();
    if (c.selectedRow < 0) {
        selection->clear();
        return;
    }
    const QModelIndex index = c.model->index(c.selectedRow, 0);
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    // A hidden view scrolls when it is shown; laying it out now would ask
    // the delegate about rows nobody sees.
    if (c.view->isVisible())
        c.view->scrollTo(index);
}

QList<BrowserCell *> ColumnBrowser::selectedCells() const
{
    const int column = selectedColumn();
    if (column < 0)
        return {};
    return {loadedCellAtRow(m_columns[size_t(column)].selectedRow, column)};
}

int ColumnBrowser::selectedColumn() const
{
    for (int c = numberOfColumns() - 1; c >= 0; --c) {
        if (m_columns[size_t(c)].selectedRow >= 0)
            return c;
    }
    return -1;
}

int ColumnBrowser::numberOfRowsInColumn(int column) const
{
    if (column < 0 || column >= numberOfColumns())
        return 0;
    return m_columns[size_t(column)].model->rowCount();
}

BrowserCell *ColumnBrowser::loadedCellAtRow(int row, int column) const
{
    if (column < 0 || column >= numberOfColumns())
        return nullptr;
    return m_columns[size_t(column)].model->cell(row);
}

QString ColumnBrowser::titleOfRow(int row, int column) const
{
    const BrowserCell *cell = loadedCellAtRow(row, column);
    return cell ? cell->title() : QString();
}

bool ColumnBrowser::isLeafRow(int row, int column) const
{
    const BrowserCell *cell = loadedCellAtRow(row, column);
    return cell ? cell->isLeaf() : true;
}

QWidget *ColumnBrowser::columnView(int column) const
{
    if (column < 0 || column >= numberOfColumns())
        return nullptr;
    return m_columns[size_t(column)].view;
}

bool ColumnBrowser::focusIsInside() const
{
    const QWidget *focus = QApplication::focusWidget();
    return focus && (focus == this || isAncestorOf(focus));
}

void ColumnBrowser::userSelectRow(int row, int column)
{
    selectRow(row, column);
    if (column < numberOfColumns())
        m_columns[size_t(column)].view->setFocus(Qt::OtherFocusReason);
    m_action.send(this);
}

void ColumnBrowser::userDoubleClickRow(int row, int column)
{
    if (selectedRowInColumn(column) != row)
        userSelectRow(row, column);
    m_doubleAction.send(this);
}

void ColumnBrowser::userMoveRight(int column)
{
    const int next = column + 1;
    if (next >= numberOfColumns() || numberOfRowsInColumn(next) == 0)
        return;
    if (selectedRowInColumn(next) >= 0) {
        m_columns[size_t(next)].view->setFocus(Qt::OtherFocusReason);
        return;
    }
    userSelectRow(0, next);
}

bool ColumnBrowser::hasContextMenuReceiver() const
{
    return isSignalConnected(QMetaMethod::fromSignal(&ColumnBrowser::contextMenuRequestedForRow));
}

void ColumnBrowser::userMoveLeft(int column)
{
    if (column <= 0 || column >= numberOfColumns())
        return;
    // Back to the row this column opened from: this column keeps its rows but
    // loses its selection, and the columns right of it close.
    closeColumnsAfter(column);
    m_columns[size_t(column)].selectedRow = -1;
    showSelection(column);
    m_columns[size_t(column - 1)].view->setFocus(Qt::OtherFocusReason);
    m_action.send(this);
}

} // namespace kv::ui
