#pragma once

#include "platform/ui/TextRange.h"

#include <QRectF>
#include <QTextEdit>

#include <functional>

namespace kv::ui {

class TextViewer;

// A multi-line text view that scrolls by pixel. Its string is plain text in
// one font (the view's font).
//
// With setUsesTextViewer(true) the view shows its text read-only in a
// TextViewer laid over it instead, whose work grows with what is visible
// rather than with the text's size; the methods below then act on the
// viewer, and string() gives the text exactly as it was set. With
// `wrapsLines` the viewer also breaks lines at its width, as the text edit
// does.
class TextView : public QTextEdit
{
    Q_OBJECT
public:
    explicit TextView(QWidget *parent = nullptr);
    ~TextView() override;

    void setUsesTextViewer(bool uses, bool wrapsLines = false);
    // The viewer in use, or null.
    TextViewer *textViewer() const { return m_viewer; }

    void setString(const QString &string);
    // Sets the text that `make` returns. A view using a text viewer calls it
    // on the next turn of the event loop, or at once when the text is asked
    // for first; otherwise it is called at once.
    void setDeferredString(std::function<QString()> make);
    // The text; every paragraph break reads as "\n" (a "\r\n" or "\r" given
    // to setString or replaceCharactersInRange is stored as one break).
    QString string() const;
    // Length of string() in UTF-16 code units, without building the string.
    qsizetype stringLength() const;
    // Replaces `range` (clamped to the text) with `string`, in the view's font.
    void replaceCharactersInRange(TextRange range, const QString &string);
    // Scrolls so that the position `range.location` is visible.
    void scrollRangeToVisible(TextRange range);
    // The font of all text, present and future.
    void setTextFont(const QFont &font);
    QFont textFont() const;
    // A view using a text viewer stays read-only.
    void setEditable(bool editable);
    bool isEditable() const { return !isReadOnly(); }
    void setDrawsBackground(bool draws);
    // The whole text view in its own coordinates: as wide as the visible
    // area, as tall as the laid-out text (at least the visible height).
    QRectF bounds() const;
    // The visible part of the text view, in the text view's coordinates
    // (y grows downwards from the top of the text).
    QRectF documentVisibleRect() const;

private:
    void syncScrollRange();

    TextViewer *m_viewer = nullptr;
    bool m_wrapsLines = false;
};

} // namespace kv::ui
