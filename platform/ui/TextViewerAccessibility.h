#pragma once

// What assistive tools see of a TextViewer: a read-only, multi-line text
// whose characters, selection and drawn places they can ask for.

#include <QAccessibleWidget>

namespace kv::ui {

class TextViewer;

class TextViewerAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit TextViewerAccessible(TextViewer *viewer);

    TextViewer *viewer() const;

    void *interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;
};

// Has assistive tools given a TextViewerAccessible for every TextViewer.
// Only the first call installs it; every viewer makes one.
void installTextViewerAccessibility();

} // namespace kv::ui
