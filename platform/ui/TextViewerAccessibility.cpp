#include "platform/ui/TextViewerAccessibility.h"

#include "platform/ui/TextViewer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace kv::ui {

TextViewerAccessible::TextViewerAccessible(TextViewer *viewer) : QAccessibleWidget(viewer, QAccessible::EditableText)
{}

TextViewer *TextViewerAccessible::viewer() const
{
    return static_cast<TextViewer *>(widget());
}

void *TextViewerAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TextViewerAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
}

QString TextViewerAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value)
        return viewer()->string();
    QString text = QAccessibleWidget::text(t);
    // A viewer standing in for another widget answers to that one's name.
    if (text.isEmpty() && t == QAccessible::Name && viewer()->parentWidget())
        text = viewer()->parentWidget()->accessibleName();
    return text;
}

void TextViewerAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    const TextRange range = viewer()->selectedRange();
    *startOffset = *endOffset = 0;
    if (selectionIndex == 0 && range.length > 0) {
        *startOffset = int(range.location);
        *endOffset = int(range.location + range.length);
    }
}

int TextViewerAccessible::selectionCount() const
{
    return viewer()->selectedRange().length > 0 ? 1 : 0;
}

void TextViewerAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void TextViewerAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        viewer()->setSelectedRange({cursorPosition(), 0});
}

void TextViewerAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        viewer()->setSelectedRange({std::min(startOffset, endOffset), std::abs(endOffset - startOffset)});
}

int TextViewerAccessible::cursorPosition() const
{
    const TextRange range = viewer()->selectedRange();
    return int(range.location + range.length);
}

void TextViewerAccessible::setCursorPosition(int position)
{
    viewer()->setSelectedRange({position, 0});
    viewer()->scrollRangeToVisible({position, 0});
}

QString TextViewerAccessible::text(int startOffset, int endOffset) const
{
    const QString &text = viewer()->string();
    const qsizetype start = std::clamp<qsizetype>(startOffset, 0, text.size());
    const qsizetype end = std::clamp<qsizetype>(endOffset, start, text.size());
    return text.mid(start, end - start);
}

int TextViewerAccessible::characterCount() const
{
    return int(std::min<qsizetype>(viewer()->stringLength(), INT_MAX));
}

QRect TextViewerAccessible::characterRect(int offset) const
{
    const QRect rect = viewer()->positionRect(offset);
    const QRect next = viewer()->positionRect(offset + 1);
    QRect character(rect.topLeft(),
                    QSize(std::max(1, next.top() == rect.top() ? next.left() - rect.left() : 1), rect.height()));
    return QRect(viewer()->viewport()->mapToGlobal(character.topLeft()), character.size());
}

int TextViewerAccessible::offsetAtPoint(const QPoint &point) const
{
    return int(viewer()->positionAt(viewer()->viewport()->mapFromGlobal(point)));
}

void TextViewerAccessible::scrollToSubstring(int startIndex, int)
{
    viewer()->scrollRangeToVisible({startIndex, 0});
}

QString TextViewerAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = offset;
    return QString();
}

namespace {

QAccessibleInterface *accessibleTextViewer(const QString &className, QObject *object)
{
    if (className == QLatin1String("kv::ui::TextViewer") && object && object->isWidgetType())
        return new TextViewerAccessible(static_cast<TextViewer *>(object));
    return nullptr;
}

} // namespace

void installTextViewerAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleTextViewer);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace kv::ui
