#include "platform/ui/TextViewer.h"

#include "platform/ui/TextViewerAccessibility.h"

#include <QAccessible>
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
constexpr int DeferredDelayMs = 10;

} // namespace

TextViewer::TextViewer(QWidget *parent) : QAbstractScrollArea(parent)
{
    installTextViewerAccessibility();
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
    return m_index.text();
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
    m_anchor = m_position = 0;
    m_index.setText(string, font(), rowWrapWidth());
    rowsLaidOut();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    viewport()->update();
}

void TextViewer::replaceCharactersInRange(TextRange range, const QString &string)
{
    makeDeferredString();
    m_index.replace(range, string);
    // Wrapped at the width shown, the index has laid out again the lines the
    // replacement touches, and that is all. Otherwise all rows are laid out
    // again: at the width now shown, or (not wrapping) to find the widest row.
    if (m_wraps && m_wrappedWidth == wrappedWidthKey())
        resetLayouts();
    else
        buildRows();
    m_anchor = std::min(m_anchor, m_index.text().size());
    m_position = std::min(m_position, m_index.text().size());
    updateScrollBars();
    viewport()->update();
}

void TextViewer::buildRows()
{
    m_index.layOut(font(), rowWrapWidth());
    rowsLaidOut();
}

void TextViewer::rowsLaidOut()
{
    resetLayouts();
    m_wrappedWidth = wrappedWidthKey();
    // The widest row is taken to be the longest one until others, laid out
    // as they come into view, turn out wider.
    m_contentWidth = 0;
    if (!m_wraps) {
        const TextRange longest = m_index.rowRange(m_index.longestRow());
        if (longest.length > 0)
            m_contentWidth =
                QFontMetricsF(font()).horizontalAdvance(m_index.text().mid(longest.location, longest.length));
    }
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

qreal TextViewer::rowWrapWidth() const
{
    // A hidden view breaks only at line breaks: it wraps its rows once shown
    // (at the width it is shown at), as a text edit lays out once shown.
    return m_wraps && isVisible() ? wrapWidth() : 0;
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
        const auto total = [this] { return m_index.rowCount() * lineHeight() + 2 * margin(); };
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
    const qsizetype last = std::max<qsizetype>(0, m_index.rowCount() - pageRows);
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
    return m_index.rowCount();
}

TextRange TextViewer::rowRange(qsizetype row) const
{
    makeDeferredString();
    return m_index.rowRange(row);
}

QTextLayout *TextViewer::layoutOfRow(qsizetype row) const
{
    if (const auto it = m_layouts.constFind(row); it != m_layouts.cend())
        return it->get();
    if (m_layouts.size() >= LayoutCacheSize)
        m_layouts.clear();
    const TextRange r = m_index.rowRange(row);
    auto layout = std::make_shared<QTextLayout>(m_index.text().mid(r.location, r.length), font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(TextRowIndex::TabStopDistance);
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
    const TextRange r = m_index.rowRange(row);
    QTextLine line = layoutOfRow(row)->lineAt(0);
    if (!line.isValid())
        return r.location;
    const qreal x = viewportPoint.x() - margin() + horizontalScrollBar()->value();
    return r.location + std::clamp<qsizetype>(line.xToCursor(x), 0, r.length);
}

QRect TextViewer::positionRect(qsizetype position) const
{
    makeDeferredString();
    position = std::clamp<qsizetype>(position, 0, m_index.text().size());
    const qsizetype row = m_index.rowOfPosition(position);
    const TextRange r = m_index.rowRange(row);
    const QTextLine line = layoutOfRow(row)->lineAt(0);
    const qreal x = line.isValid() ? line.cursorToX(int(std::min(position - r.location, r.length))) : 0;
    const qsizetype y = rowY(row);
    return QRect(int(std::floor(x)) + margin() - horizontalScrollBar()->value(),
                 int(std::clamp<qsizetype>(y, INT_MIN / 2, INT_MAX / 2)), 1, lineHeight());
}

void TextViewer::scrollRangeToVisible(TextRange range)
{
    makeDeferredString();
    const qsizetype position = std::clamp<qsizetype>(range.location, 0, m_index.text().size());
    const qsizetype row = m_index.rowOfPosition(position);
    QScrollBar *vertical = verticalScrollBar();
    if (m_wraps) {
        // The position's row fully in view, moving no further than needed.
        const qsizetype top = margin() + row * lineHeight();
        const qsizetype value = vertical->value();
        if (position == m_index.text().size())
            vertical->setValue(vertical->maximum());
        else if (top < value)
            vertical->setValue(int(top));
        else if (top + lineHeight() > value + viewport()->height())
            vertical->setValue(int(top + lineHeight() - viewport()->height()));
        return;
    }
    if (position == m_index.text().size())
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
    const qsizetype start = std::clamp<qsizetype>(range.location, 0, m_index.text().size());
    const qsizetype end = std::clamp<qsizetype>(range.location + range.length, start, m_index.text().size());
    m_anchor = start;
    m_position = end;
    selectionChanged();
}

QString TextViewer::selectedText() const
{
    const TextRange range = selectedRange();
    return m_index.text().mid(range.location, range.length);
}

void TextViewer::selectAll()
{
    makeDeferredString();
    m_anchor = 0;
    m_position = m_index.text().size();
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
    const qsizetype rows = m_index.rowCount();
    for (qsizetype row = firstRow; row < rows && y < viewport()->height(); ++row, y += height) {
        if (y + height <= area.top() || y >= area.bottom() + 1)
            continue;
        const TextRange r = m_index.rowRange(row);
        QTextLayout *layout = layoutOfRow(row);
        QList<QTextLayout::FormatRange> formats;
        if (selection.length > 0 && selection.location < r.location + r.length && selectionEnd > r.location) {
            const qsizetype from = std::max(selection.location, r.location) - r.location;
            const qsizetype to = std::min(selectionEnd, r.location + r.length) - r.location;
            formats.append({int(from), int(to - from), selected});
        }
        layout->draw(&painter, QPointF(left, y), formats, area);
        // A selected line break shows as a small selected space at the end.
        const qsizetype end = r.location + r.length;
        if (selection.length > 0 && end < m_index.text().size()
            && TextRowIndex::isLineEnd(m_index.text().at(end).unicode()) && selection.location <= end
            && selectionEnd > end) {
            const QTextLine line = layout->lineAt(0);
            const qreal x = left + (line.isValid() ? line.naturalTextWidth() : 0);
            painter.fillRect(QRectF(x, y, QFontMetricsF(font()).horizontalAdvance(u' '), height),
                             palette().brush(group, QPalette::Highlight));
        }
    }
}

void TextViewer::rewrapKeepingPlace()
{
    // The reader's place: the end, when it was in view (a log that follows
    // its end, filled while hidden, shows its end when it is first shown),
    // else the text of the first row in view.
    QScrollBar *vertical = verticalScrollBar();
    const bool atTop = vertical->value() == 0;
    const bool atEnd = !atTop && vertical->value() >= vertical->maximum();
    const qsizetype top = m_index.rowRange(std::min(firstVisibleRow(), m_index.rowCount() - 1)).location;
    buildRows();
    updateScrollBars();
    if (atEnd) {
        vertical->setValue(vertical->maximum());
    } else if (!atTop) {
        const qsizetype row = m_index.rowOfPosition(top);
        vertical->setValue(row == 0 ? 0 : int(std::min<qsizetype>(margin() + row * lineHeight(), INT_MAX)));
    }
    viewport()->update();
}

void TextViewer::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (m_wraps && wrappedWidthKey() != m_wrappedWidth)
        rewrapKeepingPlace();
    else
        updateScrollBars();
}

void TextViewer::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    if (m_wraps && wrappedWidthKey() != m_wrappedWidth)
        rewrapKeepingPlace();
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
    const TextRange r = m_index.rowRange(m_index.rowOfPosition(position));
    const QString text = m_index.text().mid(r.location, r.length);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    const qsizetype offset = position - r.location;
    finder.setPosition(offset);
    qsizetype start = offset;
    if (!finder.isAtBoundary() || !(finder.boundaryReasons() & QTextBoundaryFinder::StartOfItem))
        start = std::max<qsizetype>(0, finder.toPreviousBoundary());
    finder.setPosition(offset);
    qsizetype end = finder.toNextBoundary();
    if (end < 0)
        end = r.length;
    m_anchor = r.location + start;
    m_position = r.location + end;
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
        scrollRangeToVisible({m_index.text().size(), 0});
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
    selectAllAction->setEnabled(!m_index.text().isEmpty());
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
