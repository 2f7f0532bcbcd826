#pragma once

// The rows of a plain text: where its lines start, and how each line is
// shown as rows. Setting a text costs one scan of it; replacing characters
// lays out again only the lines the replacement touches. It knows nothing of
// widgets, so that any view (or a test) can ask it where rows are.
//
// Lines end at "\n", "\r\n", "\r", U+2028 and U+2029. A line longer than
// MaximumRowLength is several rows of at most that many characters (the text
// itself is unchanged), so that no row's layout grows with the text's size.
//
// Given a width, lines also break where a text edit of that width showing
// the text in the given font breaks them: at word boundaries, or anywhere in
// a word wider than the width.

#include "platform/ui/TextRange.h"

#include <QFont>
#include <QString>

#include <optional>
#include <vector>

namespace kv::ui {

class TextRowIndex
{
public:
    static constexpr qsizetype MaximumRowLength = 4096;
    // The distance between tab stops rows are wrapped with: a text edit's
    // default, so that both break lines alike. A view draws rows with it too,
    // so that they are as wide as they were taken to be.
    static constexpr qreal TabStopDistance = 80;

    static constexpr bool isLineEnd(char16_t c) { return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029; }

    // An empty text: one empty row.
    TextRowIndex();

    // The text, exactly as given.
    const QString &text() const { return m_text; }
    // Sets the text and lays out all its rows. With a `wrapWidth` above 0
    // lines also break at that width in `font`; otherwise only where they
    // end and at MaximumRowLength.
    void setText(const QString &text, const QFont &font = QFont(), qreal wrapWidth = 0);
    // Lays out all rows again, broken as setText describes.
    void layOut(const QFont &font, qreal wrapWidth);
    // The rows a replacement laid out again: `removed` rows from `first` on
    // gave way to `added` rows. The rows after them moved (by the change in
    // length) and are otherwise as they were.
    struct Relayout
    {
        qsizetype first = 0;
        qsizetype removed = 0;
        qsizetype added = 0;
    };
    // Replaces `range` (clamped to the text) with `string`. Only the lines
    // the replacement touches are laid out again, broken as by the last
    // setText or layOut: from the line holding the range's start (or the
    // line before, when a "\r" ends that one, which the replacement may pair
    // with a "\n") to the first line starting after the range's end.
    Relayout replace(TextRange range, const QString &string);

    // Never 0: an empty text, or one ending in a line end, ends in an empty row.
    qsizetype rowCount() const { return qsizetype(m_rows.size()); }
    // The characters of `row` (without its line end), or an empty range at 0
    // for a row that does not exist.
    TextRange rowRange(qsizetype row) const
    {
        if (row < 0 || row >= rowCount())
            return {};
        const Row &r = m_rows[size_t(row)];
        return {r.start, r.length};
    }
    // Whether `row` begins a line (and is not a later part of one).
    bool rowStartsLine(qsizetype row) const { return row >= 0 && row < rowCount() && m_rows[size_t(row)].lineStart; }
    // The row holding `position`: the last row starting at or before it. So
    // where a line is cut or wrapped the position goes with the later row,
    // and a line end with the row it ends.
    qsizetype rowOfPosition(qsizetype position) const;
    // The first of the longest rows, by characters: where the widest row of
    // an unwrapped text is likely to be.
    qsizetype longestRow() const;

private:
    struct Row
    {
        qsizetype start = 0;
        qsizetype length = 0;
        // Whether the row begins a line (and not a part of one).
        bool lineStart = true;
    };

    // Appends to `rows` the rows of the lines in [from, to): `to` is a line's
    // start, or the text's end when `toEnd` (its last line then counts even
    // when empty).
    void scanRows(qsizetype from, qsizetype to, bool toEnd, std::vector<Row> &rows) const;
    // Appends the rows of the line [start, end).
    void addLineRows(qsizetype start, qsizetype end, std::vector<Row> &rows) const;

    // Whether [from, to) is printable ASCII narrower than the wrap width by a
    // character and a fiftieth of the width at least: one row, without
    // laying it out.
    bool fitsUnlaidOut(qsizetype from, qsizetype to) const;

    QString m_text;
    QFont m_font;
    qreal m_wrapWidth = 0;
    // The advance of every printable ASCII character in m_font when the font
    // gives them all the same one (a fixed-pitch font), else 0; found when
    // first wrapping in the font.
    std::optional<qreal> m_asciiAdvance;
    std::vector<Row> m_rows;
};

} // namespace kv::ui
