#include "platform/ui/TextViewer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace kv::ui {

namespace {

// Laid-out rows kept for painting again; a screenful is a few dozen.
constexpr qsizetype LayoutCacheSize = 512;
// QTextEdit's default distance between tab stops, so that both look alike.
constexpr qreal TabStopDistance = 80;
constexpr int DeferredDelayMs = 10;

bool isLineBreak(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029;
}

// The read-only text for assistive tools: the whole text, the selection, and
// where each character is drawn.
class TextViewerAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit TextViewerAccessible(TextViewer *viewer) : QAccessibleWidget(viewer, QAccessible::EditableText) {}

    TextViewer *viewer() const { return static_cast<TextViewer *>(widget()); }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return viewer()->string();
        QString text = QAccessibleWidget::text(t);
        // A viewer standing in for another widget answers to that one's name.
        if (text.isEmpty() && t == QAccessible::Name && viewer()->parentWidget())
            text = viewer()->parentWidget()->accessibleName();
        return text;
    }

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        const TextRange range = viewer()->selectedRange();
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && range.length > 0) {
            *startOffset = int(range.location);
            *endOffset = int(range.location + range.length);
        }
    }
    int selectionCount() const override { return viewer()->selectedRange().length > 0 ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex == 0)
            viewer()->setSelectedRange({cursorPosition(), 0});
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex == 0)
            viewer()->setSelectedRange({std::min(startOffset, endOffset), std::abs(endOffset - startOffset)});
    }
    int cursorPosition() const override
    {
        const TextRange range = viewer()->selectedRange();
        return int(range.location + range.length);
    }
    void setCursorPosition(int position) override
    {
        viewer()->setSelectedRange({position, 0});
        viewer()->scrollRangeToVisible({position, 0});
    }
    QString text(int startOffset, int endOffset) const override
    {
        const QString &text = viewer()->string();
        const qsizetype start = std::clamp<qsizetype>(startOffset, 0, text.size());
        const qsizetype end = std::clamp<qsizetype>(endOffset, start, text.size());
        return text.mid(start, end - start);
    }
    int characterCount() const override { return int(std::min<qsizetype>(viewer()->stringLength(), INT_MAX)); }
    QRect characterRect(int offset) const override
    {
        const QRect rect = viewer()->positionRect(offset);
        const QRect next = viewer()->positionRect(offset + 1);
        QRect character(rect.topLeft(),
                        QSize(std::max(1, next.top() == rect.top() ? next.left() - rect.left() : 1), rect.height()));
        return QRect(viewer()->viewport()->mapToGlobal(character.topLeft()), character.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        return int(viewer()->positionAt(viewer()->viewport()->mapFromGlobal(point)));
    }
    void scrollToSubstring(int startIndex, int) override { viewer()->scrollRangeToVisible({startIndex, 0}); }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return QString();
    }
};

QAccessibleInterface *accessibleTextViewer(const QString &className, QObject *object)
{
    if (className == QLatin1String("kv::ui::TextViewer") && object && object->isWidgetType())
        return new TextViewerAccessible(static_cast<TextViewer *>(object));
    return nullptr;
}

} // namespace

TextViewer::TextViewer(QWidget *parent) : QAbstractScrollArea(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleTextViewer);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(20);
    buildRows();
    updateScrollBars();
}

TextViewer::~TextViewer() = default;

const QString &TextViewer::string() const
{
    makeDeferredString();
    return m_text;
}

void TextViewer::setDeferredString(std::function<QString()> make)
{
    setString(QString());
    m_deferred = std::move(make);
    // Not a zero timer: one that comes due after the events already waiting,
    // so that the event loop turns (and paints) in between.
    if (m_deferred)
        m_deferredTimer.start(DeferredDelayMs, this);
}

void TextViewer::makeDeferredString() const
{
    if (!m_deferred)
        return;
    const std::function<QString()> make = std::move(m_deferred);
    m_deferred = nullptr;
    const_cast<TextViewer *>(this)->setString(make());
}

void TextViewer::setString(const QString &string)
{
    m_deferred = nullptr;
    m_deferredTimer.stop();
    m_text = string;
    m_anchor = m_position = 0;
    buildRows();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    viewport()->update();
}

void TextViewer::replaceCharactersInRange(TextRange range, const QString &string)
{
    makeDeferredString();
    const qsizetype start = std::clamp<qsizetype>(range.location, 0, m_text.size());
    const qsizetype end = std::clamp<qsizetype>(range.location + range.length, start, m_text.size());
    if (m_wraps && m_wrappedWidth == wrappedWidthKey()) {
        // Only the lines the replacement touches are laid out again: from the
        // start of the line holding `start` (or of the line before, when a
        // "\r" ends that one and the replacement may pair it with a "\n") to
        // the first line starting after `end`; the rows after it move.
        size_t first = size_t(rowOfPosition(start));
        while (first > 0 && !m_rows[first].lineStart)
            --first;
        if (first > 0 && m_text.at(m_rows[first].start - 1) == u'\r') {
            --first;
            while (first > 0 && !m_rows[first].lineStart)
                --first;
        }
        const qsizetype from = m_rows[first].start;
        auto after = std::upper_bound(m_rows.begin() + qsizetype(first), m_rows.end(), end,
                                      [](qsizetype p, const Row &row) { return p < row.start; });
        while (after != m_rows.end() && !after->lineStart)
            ++after;
        const size_t kept = size_t(after - m_rows.begin());
        const qsizetype delta = string.size() - (end - start);
        m_text.replace(start, end - start, string);
        std::vector<Row> middle;
        if (kept < m_rows.size())
            scanRows(from, m_rows[kept].start + delta, false, middle, nullptr, nullptr);
        else
            scanRows(from, m_text.size(), true, middle, nullptr, nullptr);
        for (size_t i = kept; i < m_rows.size(); ++i)
            m_rows[i].start += delta;
        m_rows.erase(m_rows.begin() + qsizetype(first), m_rows.begin() + qsizetype(kept));
        m_rows.insert(m_rows.begin() + qsizetype(first), middle.begin(), middle.end());
        resetLayouts();
    } else {
        m_text.replace(start, end - start, string);
        buildRows();
    }
    m_anchor = std::min(m_anchor, m_text.size());
    m_position = std::min(m_position, m_text.size());
    updateScrollBars();
    viewport()->update();
}

void TextViewer::buildRows()
{
    resetLayouts();
    m_rows.clear();
    qsizetype longest = 0, longestRow = 0;
    scanRows(0, m_text.size(), true, m_rows, &longest, &longestRow);
    m_wrappedWidth = wrappedWidthKey();
    // The widest row is taken to be the longest one until others, laid out
    // as they come into view, turn out wider.
    m_contentWidth = 0;
    if (!m_wraps && longest > 0)
        m_contentWidth = QFontMetricsF(font()).horizontalAdvance(m_text.mid(m_rows[size_t(longestRow)].start, longest));
}

void TextViewer::scanRows(qsizetype from, qsizetype to, bool toEnd, std::vector<Row> &rows, qsizetype *longest,
                          qsizetype *longestRow) const
{
    const char16_t *data = reinterpret_cast<const char16_t *>(m_text.constData());
    const qsizetype size = m_text.size();
    qsizetype lineStart = from;
    for (qsizetype i = from; i < to; ++i) {
        const char16_t c = data[i];
        if (c > u'\r' && c < 0x2028)
            continue;
        if (!isLineBreak(c))
            continue;
        addLineRows(lineStart, i, rows, longest, longestRow);
        if (c == u'\r' && i + 1 < size && data[i + 1] == u'\n')
            ++i;
        lineStart = i + 1;
    }
    if (toEnd)
        addLineRows(lineStart, size, rows, longest, longestRow);
}

int TextViewer::wrappedWidthKey() const
{
    if (!m_wraps)
        return -1;
    return isVisible() ? viewport()->width() : -2;
}

qreal TextViewer::wrapWidth() const
{
    return std::max(1, viewport()->width() - 2 * margin());
}

void TextViewer::addLineRows(qsizetype start, qsizetype end, std::vector<Row> &rows, qsizetype *longest,
                             qsizetype *longestRow) const
{
    const char16_t *data = reinterpret_cast<const char16_t *>(m_text.constData());
    bool lineStart = true;
    // A hidden view breaks only at line breaks: it wraps its rows once shown
    // (at the width it is shown at), as a text edit lays out once shown.
    const bool wraps = m_wraps && isVisible();
    const auto add = [&](qsizetype from, qsizetype to) {
        if (wraps && to > from) {
            // Breaks where a text edit of the same width breaks the line.
            QTextLayout layout(m_text.mid(from, to - from), font());
            QTextOption option;
            option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            option.setTabStopDistance(TabStopDistance);
            layout.setTextOption(option);
            const qreal width = wrapWidth();
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
                line.setLineWidth(width);
            layout.endLayout();
            qsizetype next = from;
            for (int i = 0; i < layout.lineCount(); ++i) {
                const QTextLine line = layout.lineAt(i);
                const qsizetype rowEnd = i + 1 < layout.lineCount() ? from + line.textStart() + line.textLength() : to;
                if (rowEnd <= next)
                    continue;
                rows.push_back({next, rowEnd - next, lineStart});
                lineStart = false;
                next = rowEnd;
            }
            if (next < to) {
                rows.push_back({next, to - next, lineStart});
                lineStart = false;
            }
            return;
        }
        if (longest && to - from > *longest) {
            *longest = to - from;
            *longestRow = qsizetype(rows.size());
        }
        rows.push_back({from, to - from, lineStart});
        lineStart = false;
    };
    while (end - start > MaximumRowLength) {
        // Cut a long line without splitting a surrogate pair or parting a
        // mark from the character it belongs to.
        qsizetype cut = start + MaximumRowLength;
        while (cut > start + MaximumRowLength / 2
               && (QChar::isLowSurrogate(data[cut]) || QChar::category(char32_t(data[cut])) == QChar::Mark_NonSpacing
                   || QChar::category(char32_t(data[cut])) == QChar::Mark_SpacingCombining
                   || QChar::category(char32_t(data[cut])) == QChar::Mark_Enclosing))
            --cut;
        if (cut == start + MaximumRowLength / 2)
            cut = start + MaximumRowLength;
        add(start, cut);
        start = cut;
    }
    add(start, end);
}

void TextViewer::resetLayouts()
{
    m_layouts.clear();
}

int TextViewer::lineHeight() const
{
    return std::max(1, QFontMetrics(font()).lineSpacing());
}

qsizetype TextViewer::visibleRowCount() const
{
    return std::max(1, (viewport()->height() - 2 * margin()) / lineHeight());
}

qsizetype TextViewer::firstVisibleRow() const
{
    makeDeferredString();
    if (m_wraps)
        return std::max<qsizetype>(0, (qsizetype(verticalScrollBar()->value()) - margin()) / lineHeight());
    return verticalScrollBar()->value();
}

qsizetype TextViewer::scrollY() const
{
    makeDeferredString();
    if (m_wraps)
        return verticalScrollBar()->value();
    return firstVisibleRow() * lineHeight();
}

qsizetype TextViewer::rowY(qsizetype row) const
{
    return margin() + row * lineHeight() - scrollY();
}

void TextViewer::updateScrollBars()
{
    // Vertically the view scrolls by rows, so that any number of them can be
    // reached; horizontally by pixels.
    QScrollBar *vertical = verticalScrollBar();
    if (m_wraps) {
        // By pixels, as tall as all rows and the margins. The scroll bar is
        // shown or hidden at once (not from the event loop), so that the
        // rows are always broken at the width that is shown; a narrower
        // width never has fewer rows, so this settles in one step.
        const auto total = [this] { return qsizetype(m_rows.size()) * lineHeight() + 2 * margin(); };
        if (!m_placingScrollBar) {
            const Qt::ScrollBarPolicy policy =
                total() > viewport()->height() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
            if (verticalScrollBarPolicy() != policy) {
                m_placingScrollBar = true;
                setVerticalScrollBarPolicy(policy);
                m_placingScrollBar = false;
            }
        }
        const qsizetype totalHeight = total();
        vertical->setRange(
            0, int(std::min<qsizetype>(std::max<qsizetype>(0, totalHeight - viewport()->height()), INT_MAX)));
        vertical->setPageStep(std::max(1, viewport()->height()));
        vertical->setSingleStep(lineHeight());
        horizontalScrollBar()->setRange(0, 0);
        return;
    }
    const qsizetype pageRows = visibleRowCount();
    const qsizetype last = std::max<qsizetype>(0, qsizetype(m_rows.size()) - pageRows);
    vertical->setRange(0, int(std::min<qsizetype>(last, INT_MAX)));
    vertical->setPageStep(int(std::min<qsizetype>(pageRows, INT_MAX)));
    QScrollBar *horizontal = horizontalScrollBar();
    const int width = int(std::min<qreal>(std::ceil(m_contentWidth) + 2 * margin(), INT_MAX / 2));
    horizontal->setRange(0, std::max(0, width - viewport()->width()));
    horizontal->setPageStep(std::max(1, viewport()->width()));
}

qsizetype TextViewer::rowCount() const
{
    makeDeferredString();
    return qsizetype(m_rows.size());
}

TextRange TextViewer::rowRange(qsizetype row) const
{
    makeDeferredString();
    if (row < 0 || row >= rowCount())
        return {};
    return {m_rows[size_t(row)].start, m_rows[size_t(row)].length};
}

QTextLayout *TextViewer::layoutOfRow(qsizetype row) const
{
    if (const auto it = m_layouts.constFind(row); it != m_layouts.cend())
        return it->get();
    if (m_layouts.size() >= LayoutCacheSize)
        m_layouts.clear();
    const Row &r = m_rows[size_t(row)];
    auto layout = std::make_shared<QTextLayout>(m_text.mid(r.start, r.length), font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(TabStopDistance);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    layout->beginLayout();
    QTextLine line = layout->createLine();
    if (line.isValid())
        line.setLineWidth(1e7);
    layout->endLayout();
    if (!m_wraps && line.isValid() && line.naturalTextWidth() > m_contentWidth) {
        m_contentWidth = line.naturalTextWidth();
        // The scroll range follows once the current paint is done.
        QMetaObject::invokeMethod(
            const_cast<TextViewer *>(this), [this] { const_cast<TextViewer *>(this)->updateScrollBars(); },
            Qt::QueuedConnection);
    }
    m_layouts.insert(row, layout);
    return layout.get();
}

qsizetype TextViewer::rowOfPosition(qsizetype position) const
{
    // The last row starting at or before the position.
    const auto it = std::upper_bound(m_rows.begin(), m_rows.end(), position,
                                     [](qsizetype p, const Row &row) { return p < row.start; });
    return std::max<qsizetype>(0, qsizetype(it - m_rows.begin()) - 1);
}

qsizetype TextViewer::rowAtY(int viewportY) const
{
    const qsizetype offset = viewportY - rowY(0);
    const qsizetype row = offset < 0 ? -1 - (-offset - 1) / lineHeight() : offset / lineHeight();
    return std::clamp<qsizetype>(row, 0, rowCount() - 1);
}

qsizetype TextViewer::positionAt(const QPoint &viewportPoint) const
{
    makeDeferredString();
    const qsizetype row = rowAtY(viewportPoint.y());
    const Row &r = m_rows[size_t(row)];
    QTextLine line = layoutOfRow(row)->lineAt(0);
    if (!line.isValid())
        return r.start;
    const qreal x = viewportPoint.x() - margin() + horizontalScrollBar()->value();
    return r.start + std::clamp<qsizetype>(line.xToCursor(x), 0, r.length);
}

QRect TextViewer::positionRect(qsizetype position) const
{
    makeDeferredString();
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    const qsizetype row = rowOfPosition(position);
    const Row &r = m_rows[size_t(row)];
    const QTextLine line = layoutOfRow(row)->lineAt(0);
    const qreal x = line.isValid() ? line.cursorToX(int(std::min(position - r.start, r.length))) : 0;
    const qsizetype y = rowY(row);
    return QRect(int(std::floor(x)) + margin() - horizontalScrollBar()->value(),
                 int(std::clamp<qsizetype>(y, INT_MIN / 2, INT_MAX / 2)), 1, lineHeight());
}

void TextViewer::scrollRangeToVisible(TextRange range)
{
    makeDeferredString();
    const qsizetype position = std::clamp<qsizetype>(range.location, 0, m_text.size());
    const qsizetype row = rowOfPosition(position);
    QScrollBar *vertical = verticalScrollBar();
    if (m_wraps) {
        // The position's row fully in view, moving no further than needed.
        const qsizetype top = margin() + row * lineHeight();
        const qsizetype value = vertical->value();
        if (position == m_text.size())
            vertical->setValue(vertical->maximum());
        else if (top < value)
            vertical->setValue(int(top));
        else if (top + lineHeight() > value + viewport()->height())
            vertical->setValue(int(top + lineHeight() - viewport()->height()));
        return;
    }
    if (position == m_text.size())
        vertical->setValue(vertical->maximum());
    else if (row < firstVisibleRow())
        vertical->setValue(int(row));
    else if (row >= firstVisibleRow() + visibleRowCount())
        vertical->setValue(int(row - visibleRowCount() + 1));
    // Horizontally, bring the position's place into view.
    const QRect place = positionRect(position);
    QScrollBar *horizontal = horizontalScrollBar();
    const int inner = viewport()->width() - 2 * margin();
    if (place.left() < margin())
        horizontal->setValue(horizontal->value() + place.left() - margin());
    else if (place.left() >= margin() + inner)
        horizontal->setValue(horizontal->value() + place.left() - margin() - inner + 1);
}

void TextViewer::setTextFont(const QFont &font)
{
    setFont(font);
}

void TextViewer::setWrapsLines(bool wraps)
{
    if (wraps == m_wraps)
        return;
    m_wraps = wraps;
    setHorizontalScrollBarPolicy(wraps ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    if (!wraps)
        setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(wraps ? lineHeight() : 1);
    makeDeferredString();
    buildRows();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    viewport()->update();
}

void setScrollAreaDrawsBackground(QAbstractScrollArea *area, bool draws)
{
    area->viewport()->setAutoFillBackground(draws);
    if (!draws) {
        area->setFrameShape(QFrame::NoFrame);
        QPalette p = area->palette();
        p.setColor(QPalette::Base, Qt::transparent);
        area->setPalette(p);
    }
}

void TextViewer::setDrawsBackground(bool draws)
{
    setScrollAreaDrawsBackground(this, draws);
}

TextRange TextViewer::selectedRange() const
{
    makeDeferredString();
    return {std::min(m_anchor, m_position), std::abs(m_position - m_anchor)};
}

void TextViewer::setSelectedRange(TextRange range)
{
    makeDeferredString();
    const qsizetype start = std::clamp<qsizetype>(range.location, 0, m_text.size());
    const qsizetype end = std::clamp<qsizetype>(range.location + range.length, start, m_text.size());
    m_anchor = start;
    m_position = end;
    selectionChanged();
}

QString TextViewer::selectedText() const
{
    const TextRange range = selectedRange();
    return m_text.mid(range.location, range.length);
}

void TextViewer::selectAll()
{
    makeDeferredString();
    m_anchor = 0;
    m_position = m_text.size();
    selectionChanged();
}

void TextViewer::copy() const
{
    const TextRange range = selectedRange();
    if (range.length > 0)
        QGuiApplication::clipboard()->setText(selectedText());
}

void TextViewer::selectionChanged()
{
    viewport()->update();
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection() && m_anchor != m_position)
        clipboard->setText(selectedText(), QClipboard::Selection);
    if (QAccessible::isActive()) {
        const TextRange range = selectedRange();
        QAccessibleTextSelectionEvent event(this, int(range.location), int(range.location + range.length));
        QAccessible::updateAccessibility(&event);
    }
}

void TextViewer::moveSelectionEnd(qsizetype position)
{
    if (position == m_position)
        return;
    m_position = position;
    viewport()->update();
}

QRectF TextViewer::bounds() const
{
    makeDeferredString();
    const qreal height = qreal(rowCount()) * lineHeight() + 2 * margin();
    return QRectF(0, 0, std::max<qreal>(viewport()->width(), std::ceil(m_contentWidth) + 2 * margin()),
                  std::max<qreal>(height, viewport()->height()));
}

QRectF TextViewer::documentVisibleRect() const
{
    return QRectF(horizontalScrollBar()->value(), qreal(scrollY()), viewport()->width(), viewport()->height());
}

bool TextViewer::event(QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key == QKeySequence::Copy || key == QKeySequence::SelectAll) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void TextViewer::paintEvent(QPaintEvent *event)
{
    // A deferred text is not made here but when its turn comes: until then
    // the view shows what it has (nothing).
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));
    const TextRange selection = selectedRange();
    const qsizetype selectionEnd = selection.location + selection.length;

    const int height = lineHeight();
    const qreal left = margin() - horizontalScrollBar()->value();
    const QRect area = event->rect();
    const qsizetype firstRow = firstVisibleRow();
    int y = int(rowY(firstRow));
    const qsizetype rows = qsizetype(m_rows.size());
    for (qsizetype row = firstRow; row < rows && y < viewport()->height(); ++row, y += height) {
        if (y + height <= area.top() || y >= area.bottom() + 1)
            continue;
        const Row &r = m_rows[size_t(row)];
        QTextLayout *layout = layoutOfRow(row);
        QList<QTextLayout::FormatRange> formats;
        if (selection.length > 0 && selection.location < r.start + r.length && selectionEnd > r.start) {
            const qsizetype from = std::max(selection.location, r.start) - r.start;
            const qsizetype to = std::min(selectionEnd, r.start + r.length) - r.start;
            formats.append({int(from), int(to - from), selected});
        }
        layout->draw(&painter, QPointF(left, y), formats, area);
        // A selected line break shows as a small selected space at the end.
        const qsizetype end = r.start + r.length;
        if (selection.length > 0 && end < m_text.size() && isLineBreak(m_text.at(end).unicode())
            && selection.location <= end && selectionEnd > end) {
            const QTextLine line = layout->lineAt(0);
            const qreal x = left + (line.isValid() ? line.naturalTextWidth() : 0);
            painter.fillRect(QRectF(x, y, QFontMetricsF(font()).horizontalAdvance(u' '), height),
                             palette().brush(group, QPalette::Highlight));
        }
    }
}

void TextViewer::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (m_wraps && wrappedWidthKey() != m_wrappedWidth) {
        buildRows();
        viewport()->update();
    }
    updateScrollBars();
}

void TextViewer::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    if (m_wraps && wrappedWidthKey() != m_wrappedWidth) {
        buildRows();
        updateScrollBars();
        viewport()->update();
    }
}

void TextViewer::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        buildRows();
        updateScrollBars();
        viewport()->update();
    } else if (event->type() == QEvent::PaletteChange) {
        viewport()->update();
    }
}

void TextViewer::scrollContentsBy(int, int)
{
    viewport()->update();
}

void TextViewer::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const qsizetype position = positionAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier))
        m_anchor = position;
    m_position = position;
    m_selecting = true;
    m_lastMousePoint = event->position().toPoint();
    viewport()->update();
}

void TextViewer::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting || !(event->buttons() & Qt::LeftButton))
        return;
    m_lastMousePoint = event->position().toPoint();
    moveSelectionEnd(positionAt(m_lastMousePoint));
    if (viewport()->rect().contains(m_lastMousePoint))
        m_autoScroll.stop();
    else if (!m_autoScroll.isActive())
        m_autoScroll.start(50, this);
}

void TextViewer::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_selecting) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    m_selecting = false;
    m_autoScroll.stop();
    selectionChanged();
}

void TextViewer::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    // The word under the pointer, found within its row.
    const qsizetype position = positionAt(event->position().toPoint());
    const Row &r = m_rows[size_t(rowOfPosition(position))];
    const QString text = m_text.mid(r.start, r.length);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    const qsizetype offset = position - r.start;
    finder.setPosition(offset);
    qsizetype start = offset;
    if (!finder.isAtBoundary() || !(finder.boundaryReasons() & QTextBoundaryFinder::StartOfItem))
        start = std::max<qsizetype>(0, finder.toPreviousBoundary());
    finder.setPosition(offset);
    qsizetype end = finder.toNextBoundary();
    if (end < 0)
        end = r.length;
    m_anchor = r.start + start;
    m_position = r.start + end;
    m_selecting = false;
    selectionChanged();
}

void TextViewer::keyPressEvent(QKeyEvent *event)
{
    makeDeferredString();
    QScrollBar *vertical = verticalScrollBar();
    QScrollBar *horizontal = horizontalScrollBar();
    if (event == QKeySequence::Copy)
        copy();
    else if (event == QKeySequence::SelectAll)
        selectAll();
    else if (event == QKeySequence::MoveToStartOfDocument || event == QKeySequence::SelectStartOfDocument) {
        vertical->setValue(0);
        horizontal->setValue(0);
    } else if (event == QKeySequence::MoveToEndOfDocument || event == QKeySequence::SelectEndOfDocument) {
        vertical->setValue(vertical->maximum());
        scrollRangeToVisible({m_text.size(), 0});
    } else if (event == QKeySequence::MoveToStartOfLine)
        horizontal->setValue(0);
    else if (event == QKeySequence::MoveToEndOfLine)
        horizontal->setValue(horizontal->maximum());
    else if (event == QKeySequence::MoveToNextPage)
        vertical->triggerAction(QAbstractSlider::SliderPageStepAdd);
    else if (event == QKeySequence::MoveToPreviousPage)
        vertical->triggerAction(QAbstractSlider::SliderPageStepSub);
    else
        QAbstractScrollArea::keyPressEvent(event);
}

void TextViewer::contextMenuEvent(QContextMenuEvent *event)
{
    makeDeferredString();
    QMenu menu(this);
    QAction *copyAction = menu.addAction(tr("&Copy"), this, &TextViewer::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(selectedRange().length > 0);
    menu.addSeparator();
    QAction *selectAllAction = menu.addAction(tr("Select All"), this, &TextViewer::selectAll);
    selectAllAction->setShortcut(QKeySequence::SelectAll);
    selectAllAction->setEnabled(!m_text.isEmpty());
    menu.exec(event->globalPos());
}

void TextViewer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_autoScroll.timerId()) {
        autoScroll();
        return;
    }
    if (event->timerId() == m_deferredTimer.timerId()) {
        m_deferredTimer.stop();
        makeDeferredString();
        return;
    }
    QAbstractScrollArea::timerEvent(event);
}

void TextViewer::autoScroll()
{
    const QRect area = viewport()->rect();
    if (m_lastMousePoint.y() < area.top())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (m_lastMousePoint.y() > area.bottom())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    if (m_lastMousePoint.x() < area.left())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (m_lastMousePoint.x() > area.right())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    moveSelectionEnd(positionAt(m_lastMousePoint));
}

void TextViewer::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TextViewer::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

} // namespace kv::ui
