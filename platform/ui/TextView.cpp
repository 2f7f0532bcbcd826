#include "platform/ui/TextView.h"

#include "platform/ui/TextViewer.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

namespace kv::ui {

TextView::TextView(QWidget *parent) : QTextEdit(parent)
{
    setAcceptRichText(false);
    setUndoRedoEnabled(false);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

TextView::~TextView() = default;

void TextView::setUsesTextViewer(bool uses, bool wrapsLines)
{
    m_wrapsLines = uses && wrapsLines;
    if (uses == bool(m_viewer)) {
        if (m_viewer)
            m_viewer->setWrapsLines(m_wrapsLines);
        return;
    }
    if (uses) {
        const QString text = string();
        m_viewer = new TextViewer(this);
        m_viewer->setObjectName(objectName().isEmpty() ? QString() : objectName() + QStringLiteral("Viewer"));
        m_viewer->setFont(textFont());
        m_viewer->setAccessibleName(accessibleName());
        m_viewer->setAccessibleDescription(accessibleDescription());
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_viewer);
        // The text edit underneath keeps nothing and shows nothing.
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setFrameShape(QFrame::NoFrame);
        setReadOnly(true);
        setPlainText(QString());
        setFocusProxy(m_viewer);
        m_viewer->setWrapsLines(m_wrapsLines);
        m_viewer->setString(text);
    } else {
        const QString text = m_viewer->string();
        setFocusProxy(nullptr);
        delete layout();
        delete m_viewer;
        m_viewer = nullptr;
        setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        setFrameShape(QFrame::StyledPanel);
        setString(text);
    }
}

void TextView::setString(const QString &string)
{
    if (m_viewer) {
        m_viewer->setString(string);
        return;
    }
    setPlainText(string);
    syncScrollRange();
}

void TextView::setDeferredString(std::function<QString()> make)
{
    if (m_viewer)
        m_viewer->setDeferredString(std::move(make));
    else
        setString(make ? make() : QString());
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
    if (m_viewer)
        return m_viewer->string();
    // The characters as given, with each paragraph break read back as "\n"
    // (toPlainText would also turn line separators into "\n" and no-break
    // spaces into spaces).
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

qsizetype TextView::stringLength() const
{
    if (m_viewer)
        return m_viewer->stringLength();
    // The document holds one paragraph separator per block boundary; its
    // character count includes one final separator that the text lacks.
    return std::max(0, document()->characterCount() - 1);
}

void TextView::replaceCharactersInRange(TextRange range, const QString &string)
{
    if (m_viewer) {
        m_viewer->replaceCharactersInRange(range, string);
        return;
    }
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
    if (m_viewer) {
        m_viewer->scrollRangeToVisible(range);
        return;
    }
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
    if (m_viewer)
        m_viewer->setTextFont(font);
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
    setReadOnly(!editable || m_viewer);
}

void TextView::setDrawsBackground(bool draws)
{
    if (m_viewer)
        m_viewer->setDrawsBackground(draws);
    setScrollAreaDrawsBackground(this, draws);
}

QRectF TextView::bounds() const
{
    if (m_viewer)
        return m_viewer->bounds();
    const QSizeF docSize = document()->documentLayout()->documentSize();
    return QRectF(0, 0, viewport()->width(), std::max<qreal>(docSize.height(), viewport()->height()));
}

QRectF TextView::documentVisibleRect() const
{
    if (m_viewer)
        return m_viewer->documentVisibleRect();
    return QRectF(horizontalScrollBar()->value(), verticalScrollBar()->value(), viewport()->width(),
                  viewport()->height());
}

} // namespace kv::ui
