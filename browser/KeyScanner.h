#pragma once

// A small text scanner over one string, used to split store keys.
//
// The scanner has a position that starts at 0 and a fixed set of characters
// it skips before each scan: white space and line breaks, that is the Unicode
// categories Zs, Zl and Zp plus U+0009 to U+000D and U+0085. A scan that does
// not succeed leaves the position where it was, skipped characters included.

#include <QChar>
#include <QStringView>

namespace kv {

// True for the characters every scan skips.
inline bool isSkippableCharacter(char16_t c)
{
    if (c < 0x80)
        return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c == 0x85)
        return true;
    switch (QChar::category(c)) {
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph: return true;
    default: return false;
    }
}

// True when `text` holds at least one skippable character.
bool containsSkippableCharacter(QStringView text);

class KeyScanner
{
public:
    explicit KeyScanner(QStringView text) : m_text(text) {}

    QStringView text() const { return m_text; }
    qsizetype scanLocation() const { return m_location; }
    void setScanLocation(qsizetype location) { m_location = qBound<qsizetype>(0, location, m_text.size()); }

    // Skips the skippable characters, then takes every character up to, not
    // including, the next occurrence of `stop` (or up to the end when `stop`
    // does not occur again). Fails, without moving, when nothing was taken.
    // On success `into` (when given) views the taken text inside text().
    bool scanUpToString(QStringView stop, QStringView *into = nullptr);

    // Skips the skippable characters; if the text continues with `string`
    // there, moves past it and succeeds. Otherwise fails without moving.
    bool scanString(QStringView string);

    // True when nothing but skippable characters is left after the position.
    bool isAtEnd() const;

private:
    qsizetype skipped() const;

    QStringView m_text;
    qsizetype m_location = 0;
};

} // namespace kv
