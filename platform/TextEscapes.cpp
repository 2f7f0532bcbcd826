#include "platform/TextEscapes.h"

#include <algorithm>

namespace kv {

namespace {

void appendUnicodeEscape(QString &out, char16_t c)
{
    out += QLatin1String("\\u");
    out += QString::number(uint(c), 16).rightJustified(4, u'0').toUpper();
}

// The escape of a line end, or null when `c` is not one.
const char *lineEndEscape(char16_t c)
{
    switch (c) {
    case u'\n': return "\\n";
    case u'\r': return "\\r";
    case u'\v': return "\\v";
    case u'\f': return "\\f";
    default: return nullptr;
    }
}

bool isUnicodeLineEnd(char16_t c)
{
    return c == 0x0085 || c == 0x2028 || c == 0x2029;
}

} // namespace

QString withLineEndsEscaped(const QString &text)
{
    const auto needsEscape = [](QChar c) { return lineEndEscape(c.unicode()) || isUnicodeLineEnd(c.unicode()); };
    if (std::none_of(text.cbegin(), text.cend(), needsEscape))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (const char *escape = lineEndEscape(c.unicode()))
            out += QLatin1String(escape);
        else if (isUnicodeLineEnd(c.unicode()))
            appendUnicodeEscape(out, c.unicode());
        else
            out += c;
    }
    return out;
}

QString cEscaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\\') {
            out += QLatin1String("\\\\");
        } else if (c == u'\n') {
            out += QLatin1String("\\n");
        } else if (c == u'\r') {
            out += QLatin1String("\\r");
        } else if (c == u'\t') {
            out += QLatin1String("\\t");
        } else if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029) {
            appendUnicodeEscape(out, c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            out += text.at(i);
            out += text.at(++i);
        } else if (QChar::isSurrogate(c)) {
            appendUnicodeEscape(out, c);
        } else {
            out += QChar(c);
        }
    }
    return out;
}

} // namespace kv
