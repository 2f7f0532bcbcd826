#include "find/ui/FindResultsView.h"

#include "find/FindQuery.h"
#include "find/FindSearch.h"

#include <QApplication>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextLayout>

#include <algorithm>

namespace kv::find {

namespace {

// Longer keys are shown cut, so that a row's layout never grows with a key.
constexpr qsizetype MaximumShownLength = 1000;

// Line ends shown as one visible mark each, so that a key stays on its row
// and the matched spans keep their positions.
QString shownText(const QString &text)
{
    QString shown = text.left(MaximumShownLength);
    for (QChar &c : shown) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\r' || u == 0x0085 || u == 0x2028 || u == 0x2029)
            c = QChar(0x21B5); // ↵
    }
    if (text.size() > MaximumShownLength)
        shown += QChar(0x2026); // …
    return shown;
}

// Draws a row: the key, each match in bold over the highlight colour, and a
// value match after it in the palette's placeholder colour.
class ResultDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

        const auto *model = static_cast<const FindResultsModel *>(index.model());
        const QString key = index.data(Qt::DisplayRole).toString();
        const QString shownKey = shownText(key);
        const QString valueMatch = index.data(FindResultsModel::ValueMatchRole).toString();
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette &palette = option.palette;
        const QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);

        QList<QTextLayout::FormatRange> formats;
        if (const std::optional<Matcher> &matcher = model->search()->matcher()) {
            QColor mark = palette.color(QPalette::Highlight);
            mark.setAlpha(selected ? 0 : 70);
            for (const MatchSpan &span : matcher->spans(key)) {
                if (span.start >= shownKey.size())
                    break;
                QTextLayout::FormatRange range;
                range.start = int(span.start);
                range.length = int(std::min(span.length, shownKey.size() - span.start));
                range.format.setFontWeight(QFont::Bold);
                range.format.setBackground(mark);
                formats.append(range);
            }
        }

        const QRect area =
            style->subElementRect(QStyle::SE_ItemViewItemText, &background, widget).adjusted(2, 0, -2, 0);
        painter->save();
        painter->setClipRect(area);
        painter->setPen(text);
        QTextLayout layout(shownKey, option.font);
        layout.setFormats(formats);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e6);
        layout.endLayout();
        const qreal y = area.top() + (area.height() - line.height()) / 2;
        layout.draw(painter, QPointF(area.left(), y));
        if (!valueMatch.isEmpty()) {
            const qreal x = area.left() + line.naturalTextWidth() + option.fontMetrics.horizontalAdvance(u' ') * 3;
            painter->setPen(selected ? text : palette.color(QPalette::PlaceholderText));
            painter->drawText(QRectF(x, area.top(), area.right() - x, area.height()), Qt::AlignVCenter,
                              shownText(valueMatch));
        }
        painter->restore();
    }
};

} // namespace

FindResultsModel::FindResultsModel(const FindSearch *search, QObject *parent)
    : QAbstractListModel(parent), m_search(search)
{}

int FindResultsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows);
}

QVariant FindResultsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_search->hitCount())
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole: return m_search->hitKey(index.row());
    case ValueMatchRole: {
        const FindHit hit = m_search->hitAt(index.row());
        return hit.valueMatch ? valueMatchText(*hit.valueMatch) : QString();
    }
    default: return QVariant();
    }
}

void FindResultsModel::refresh()
{
    beginResetModel();
    m_rows = m_search->hitCount();
    endResetModel();
}

int FindResultsModel::rowOfKey(const QString &key) const
{
    // The hits are in key order.
    qsizetype low = 0, high = m_search->hitCount();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (m_search->hitKey(middle) < key)
            low = middle + 1;
        else
            high = middle;
    }
    return low < m_search->hitCount() && m_search->hitKey(low) == key ? int(low) : -1;
}

FindResultsView::FindResultsView(const FindSearch *search, QWidget *parent)
    : QListView(parent), m_model(new FindResultsModel(search, this))
{
    setObjectName(QStringLiteral("findResults"));
    setAccessibleName(tr("Find results"));
    setModel(m_model);
    setItemDelegate(new ResultDelegate(this));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex &current) {
        if (!m_refreshing && current.isValid())
            Q_EMIT currentKeyChanged(current.data(Qt::DisplayRole).toString());
    });
}

QString FindResultsView::currentKey() const
{
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.data(Qt::DisplayRole).toString() : QString();
}

bool FindResultsView::setCurrentKey(const QString &key)
{
    const int row = m_model->rowOfKey(key);
    if (row < 0)
        return false;
    const QModelIndex index = m_model->index(row);
    setCurrentIndex(index);
    scrollTo(index);
    return true;
}

void FindResultsView::moveCurrent(int step)
{
    const int rows = m_model->rowCount();
    if (rows == 0)
        return;
    const QModelIndex current = currentIndex();
    const int from = current.isValid() ? current.row() : (step > 0 ? -1 : rows);
    const int row = std::clamp(from + step, 0, rows - 1);
    const QModelIndex index = m_model->index(row);
    setCurrentIndex(index);
    scrollTo(index);
}

void FindResultsView::refresh()
{
    const QString key = currentKey();
    m_refreshing = true;
    m_model->refresh();
    if (!key.isEmpty())
        setCurrentKey(key);
    m_refreshing = false;
}

} // namespace kv::find
