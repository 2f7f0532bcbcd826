#pragma once

// A read-only view of a plain text of any size. Setting a text costs one scan
// of it (to find the line starts); painting lays out only the rows in view,
// so a text of many megabytes or a million lines shows at once. The whole
// text stays available: it scrolls, and can be selected with the mouse or
// all at once and copied.
//
// Lines end at "\n", "\r\n", "\r", U+2028 and U+2029. A line longer than
// MaximumRowLength is shown as several rows of at most that many characters
// (the text itself is unchanged), so that no row's layout grows with the
// text's size.
//
// With setWrapsLines(true) lines also break at the view's width, at word
// boundaries (or anywhere in a word wider than the view), and the view
// scrolls vertically by pixels and never horizontally. Replacing characters
// then lays out again only the lines the replacement touches.
//
// Where the rows are is the business of a TextRowIndex (TextRowIndex.h); what
// assistive tools see, of TextViewerAccessible (TextViewerAccessibility.h).

#include "platform/ui/TextRange.h"
#include "platform/ui/TextRowIndex.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QHash>
#include <QRectF>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QTextLayout;

namespace kv::ui {

// Lets the area's viewport fill its background, or makes it transparent
// and frameless (a text view or viewer used as a label-like panel).
void setScrollAreaDrawsBackground(QAbstractScrollArea *area, bool draws);

class TextViewer : public QAbstractScrollArea
{
    Q_OBJECT
public:
    static constexpr qsizetype MaximumRowLength = TextRowIndex::MaximumRowLength;

    explicit TextViewer(QWidget *parent = nullptr);
    ~TextViewer() override;

    // The text, exactly as given.
    void setString(const QString &string);
    const QString &string() const;
    qsizetype stringLength() const { return string().size(); }
    // Sets the text that `make` returns, called on the next turn of the event
    // loop, or at once when anything asks for the text first (so that a slow
    // text is made apart from the work that led to it). A later setString
    // or setDeferredString replaces it uncalled.
    void setDeferredString(std::function<QString()> make);
    bool hasDeferredString() const { return bool(m_deferred); }
    // Replaces `range` (clamped to the text) with `string`.
    void replaceCharactersInRange(TextRange range, const QString &string);
    // Scrolls so that the position `range.location` is visible.
    void scrollRangeToVisible(TextRange range);

    void setTextFont(const QFont &font);
    QFont textFont() const { return font(); }
    void setDrawsBackground(bool draws);
    void setWrapsLines(bool wraps);
    bool wrapsLines() const { return m_wraps; }

    // The selection (empty when nothing is selected).
    TextRange selectedRange() const;
    void setSelectedRange(TextRange range);
    QString selectedText() const;
    void selectAll();
    // Puts the selected text on the clipboard (nothing when none is selected).
    void copy() const;

    // Rows as shown: a line, or a part of a long line.
    qsizetype rowCount() const;
    TextRange rowRange(qsizetype row) const;
    // The first row at least partly in view, and the number of rows in view.
    qsizetype firstVisibleRow() const;
    qsizetype visibleRowCount() const;
    // The position in the text nearest to a point of the viewport.
    qsizetype positionAt(const QPoint &viewportPoint) const;
    // Where a position is drawn, in viewport coordinates (one line high).
    QRect positionRect(qsizetype position) const;

    // The whole text in its own coordinates: as wide as the visible area or
    // the widest row, as tall as all rows (at least the visible height).
    QRectF bounds() const;
    // The visible part, in the same coordinates.
    QRectF documentVisibleRect() const;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    // Sets a deferred text now, if there is one.
    void makeDeferredString() const;
    // Lays out all rows again, broken as the view is now.
    void buildRows();
    // buildRows() for a new width, keeping the end in view when it was, else
    // the first row's text on top.
    void rewrapKeepingPlace();
    // Once all rows are laid out: drops the rows kept laid out for painting,
    // notes the width the rows were broken for, and takes the widest row to
    // be the longest one again.
    void rowsLaidOut();
    qreal wrapWidth() const;
    // The width the index wraps rows at: 0 when not wrapping or hidden.
    qreal rowWrapWidth() const;
    // The width the rows are wrapped at: -1 when not wrapping, -2 while hidden.
    int wrappedWidthKey() const;
    // Vertical scroll position in pixels from the top of the text.
    qsizetype scrollY() const;
    // Where a row's top is drawn, in viewport coordinates.
    qsizetype rowY(qsizetype row) const;
    void resetLayouts();
    void updateScrollBars();
    int lineHeight() const;
    int margin() const { return 4; }
    QTextLayout *layoutOfRow(qsizetype row) const;
    qsizetype rowAtY(int viewportY) const;
    void moveSelectionEnd(qsizetype position);
    void selectionChanged();
    void autoScroll();

    mutable std::function<QString()> m_deferred;
    QBasicTimer m_deferredTimer;
    // The text and its rows.
    TextRowIndex m_index;
    qsizetype m_anchor = 0;
    qsizetype m_position = 0;
    // Width of the widest row known; grows as wider rows are laid out.
    mutable qreal m_contentWidth = 0;
    mutable QHash<qsizetype, std::shared_ptr<QTextLayout>> m_layouts;
    bool m_selecting = false;
    bool m_wraps = false;
    bool m_placingScrollBar = false;
    int m_wrappedWidth = -1;
    QPoint m_lastMousePoint;
    QBasicTimer m_autoScroll;
};

} // namespace kv::ui
