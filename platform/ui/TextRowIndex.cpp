#include "platform/ui/TextRowIndex.h"

#include <QFontMetricsF>
#include <QTextLayout>

#include <algorithm>

namespace kv::ui {

namespace {

// The one advance of the printable ASCII characters in `font`, or 0 when
// they differ.
qreal uniformAsciiAdvance(const QFont &font)
{
    const QFontMetricsF metrics(font);
    const qreal advance = metrics.horizontalAdvance(QLatin1Char('M'));
    for (char c = 0x20; c < 0x7f; ++c) {
        if (metrics.horizontalAdvance(QLatin1Char(c)) != advance)
            return 0;
    }
    return advance > 0 ? advance : 0;
}

} // namespace

TextRowIndex::TextRowIndex()
{
    scanRows(0, 0, true, m_rows);
}

void TextRowIndex::setText(const QString &text, const QFont &font, qreal wrapWidth)
{
    m_text = text;
    layOut(font, wrapWidth);
}

void TextRowIndex::layOut(const QFont &font, qreal wrapWidth)
{
    if (font != m_font)
        m_asciiAdvance.reset();
    if (wrapWidth > 0 && !m_asciiAdvance)
        m_asciiAdvance = uniformAsciiAdvance(font);
    m_font = font;
    m_wrapWidth = wrapWidth;
    m_rows.clear();
    scanRows(0, m_text.size(), true, m_rows);
}

TextRowIndex::Relayout TextRowIndex::replace(TextRange range, const QString &string)
{
    const qsizetype start = std::clamp<qsizetype>(range.location, 0, m_text.size());
    const qsizetype end = std::clamp<qsizetype>(range.location + range.length, start, m_text.size());
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
        scanRows(from, m_rows[kept].start + delta, false, middle);
    else
        scanRows(from, m_text.size(), true, middle);
    for (size_t i = kept; i < m_rows.size(); ++i)
        m_rows[i].start += delta;
    m_rows.erase(m_rows.begin() + qsizetype(first), m_rows.begin() + qsizetype(kept));
    m_rows.insert(m_rows.begin() + qsizetype(first), middle.begin(), middle.end());
    return {qsizetype(first), qsizetype(kept - first), qsizetype(middle.size())};
}

bool TextRowIndex::fitsUnlaidOut(qsizetype from, qsizetype to) const
{
    // A log's lines are mostly such; laying each out would be most of the
    // cost of adding it. A character's width and a fiftieth of the row are
    // kept to spare, against any rounding of the advances in a layout.
    const qreal advance = m_asciiAdvance.value_or(0);
    if (advance <= 0 || qreal(to - from + 1) * advance > m_wrapWidth * 0.98)
        return false;
    const char16_t *data = reinterpret_cast<const char16_t *>(m_text.constData());
    for (qsizetype i = from; i < to; ++i) {
        if (data[i] < 0x20 || data[i] > 0x7e)
            return false;
    }
    return true;
}

qsizetype TextRowIndex::rowOfPosition(qsizetype position) const
{
    // The last row starting at or before the position.
    const auto it = std::upper_bound(m_rows.begin(), m_rows.end(), position,
                                     [](qsizetype p, const Row &row) { return p < row.start; });
    return std::max<qsizetype>(0, qsizetype(it - m_rows.begin()) - 1);
}

qsizetype TextRowIndex::longestRow() const
{
    const auto longest =
        std::max_element(m_rows.begin(), m_rows.end(), [](const Row &a, const Row &b) { return a.length < b.length; });
    return qsizetype(longest - m_rows.begin());
}

void TextRowIndex::scanRows(qsizetype from, qsizetype to, bool toEnd, std::vector<Row> &rows) const
{
    const char16_t *data = reinterpret_cast<const char16_t *>(m_text.constData());
    const qsizetype size = m_text.size();
    qsizetype lineStart = from;
    for (qsizetype i = from; i < to; ++i) {
        const char16_t c = data[i];
        if (c > u'\r' && c < 0x2028)
            continue;
        if (!isLineEnd(c))
            continue;
        addLineRows(lineStart, i, rows);
        if (c == u'\r' && i + 1 < size && data[i + 1] == u'\n')
            ++i;
        lineStart = i + 1;
    }
    if (toEnd)
        addLineRows(lineStart, size, rows);
}

void TextRowIndex::addLineRows(qsizetype start, qsizetype end, std::vector<Row> &rows) const
{
    const char16_t *data = reinterpret_cast<const char16_t *>(m_text.constData());
    bool lineStart = true;
    const bool wraps = m_wrapWidth > 0;
    const auto add = [&](qsizetype from, qsizetype to) {
        if (wraps && to > from && !fitsUnlaidOut(from, to)) {
            // Breaks where a text edit of the same width breaks the line.
            QTextLayout layout(m_text.mid(from, to - from), m_font);
            QTextOption option;
            option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            option.setTabStopDistance(TabStopDistance);
            layout.setTextOption(option);
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
                line.setLineWidth(m_wrapWidth);
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

} // namespace kv::ui
