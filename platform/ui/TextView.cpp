#include "platform/ui/TextView.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace kv::ui {

TextView::TextView(QWidget *parent) : QTextEdit(parent)
{
    setAcceptRichText(false);
    setUndoRedoEnabled(false);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

void TextView::setString(const QString &string)
{
    setPlainText(string);
    syncScrollRange();
}

void TextView::syncScrollRange()
{
    // The text edit adjusts its scroll range as the layout reports sizes,
    // partly from the event loop; until then the range may be that of an
    // earlier text. Bring it up to date now, so that the visible area and
    // scrolling to the end agree with the text as it is.
    if (!isVisible())
        return;
    const QSizeF size = document()->documentLayout()->documentSize();
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, std::max(0, qRound(size.height()) - viewport()->height()));
}

QString TextView::string() const
{
    // The characters as given, with each paragraph break read back as "\n"
    // (toPlainText would also turn line separators into "\n" and no-break
    // spaces into spaces).
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

qsizetype TextView::stringLength() const
{
    // The document holds one paragraph separator per block boundary; its
    // character count includes one final separator that the text lacks.
    return std::max(0, document()->characterCount() - 1);
}

void TextView::replaceCharactersInRange(TextRange range, const QString &string)
{
    const qsizetype length = stringLength();
    const qsizetype start = std::clamp<qsizetype>(range.location, 0, length);
    const qsizetype end = std::clamp<qsizetype>(range.location + range.length, start, length);
    QTextCursor cursor(document());
    cursor.setPosition(int(start));
    cursor.setPosition(int(end), QTextCursor::KeepAnchor);
    QTextCharFormat format;
    format.setFont(textFont());
    cursor.insertText(string, format);
    syncScrollRange();
}

void TextView::scrollRangeToVisible(TextRange range)
{
    syncScrollRange();
    const qsizetype position = std::clamp<qsizetype>(range.location, 0, stringLength());
    QTextCursor cursor(document());
    cursor.setPosition(int(position));
    const QRect rect = cursorRect(cursor);
    QScrollBar *bar = verticalScrollBar();
    // Bring the position's line fully into view without moving further than needed.
    if (rect.bottom() > viewport()->height())
        bar->setValue(bar->value() + rect.bottom() - viewport()->height() + 1);
    else if (rect.top() < 0)
        bar->setValue(bar->value() + rect.top());
    if (position == stringLength())
        bar->setValue(bar->maximum());
}

void TextView::setTextFont(const QFont &font)
{
    setFont(font);
    document()->setDefaultFont(font);
    QTextCursor cursor(document());
    cursor.select(QTextCursor::Document);
    QTextCharFormat format;
    format.setFont(font);
    cursor.mergeCharFormat(format);
}

QFont TextView::textFont() const
{
    return document()->defaultFont();
}

void TextView::setEditable(bool editable)
{
    setReadOnly(!editable);
}

void TextView::setDrawsBackground(bool draws)
{
    viewport()->setAutoFillBackground(draws);
    if (!draws) {
        setFrameShape(QFrame::NoFrame);
        QPalette p = palette();
        p.setColor(QPalette::Base, Qt::transparent);
        setPalette(p);
    }
}

QRectF TextView::bounds() const
{
    const QSizeF docSize = document()->documentLayout()->documentSize();
    return QRectF(0, 0, viewport()->width(), std::max<qreal>(docSize.height(), viewport()->height()));
}

QRectF TextView::documentVisibleRect() const
{
    return QRectF(horizontalScrollBar()->value(), verticalScrollBar()->value(), viewport()->width(),
                  viewport()->height());
}

} // namespace kv::ui
