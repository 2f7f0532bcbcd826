// Element text to value, shared by the strict and the fast XML reader so that
// both read every number, date and piece of data the same; and keys shown in
// messages, shared by the strict reader and the writer.

#include "platform/plist/PropertyListReaders_p.h"

#include <QDate>
#include <QTime>

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace kv::plistdetail {

namespace {

locale_t cNumericLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return c;
}

int digitsAt(QStringView s, qsizetype at, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = s[at + i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

int base64Value(char16_t c)
{
    if (c >= u'A' && c <= u'Z')
        return c - u'A';
    if (c >= u'a' && c <= u'z')
        return c - u'a' + 26;
    if (c >= u'0' && c <= u'9')
        return c - u'0' + 52;
    if (c == u'+')
        return 62;
    if (c == u'/')
        return 63;
    return -1;
}

} // namespace

// Decimal (optionally signed) or 0x-prefixed hexadecimal integers from
// -2^63 to 2^64 - 1.
bool parseInteger(QStringView text, PropertyListValue *out)
{
    QStringView s = trimmed(text);
    bool negative = false;
    if (!s.isEmpty() && (s[0] == u'-' || s[0] == u'+')) {
        negative = s[0] == u'-';
        s = s.mid(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
        base = 16;
        s = s.mid(2);
    }
    if (s.isEmpty())
        return false;
    quint64 magnitude = 0;
    for (QChar ch : s) {
        const char16_t c = ch.unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return false;
        if (magnitude > (std::numeric_limits<quint64>::max() - quint64(digit)) / quint64(base))
            return false;
        magnitude = magnitude * quint64(base) + quint64(digit);
    }
    if (negative) {
        constexpr quint64 limit = quint64(std::numeric_limits<qint64>::max()) + 1;
        if (magnitude > limit)
            return false;
        *out = PropertyListValue::fromInteger(magnitude == limit ? std::numeric_limits<qint64>::min()
                                                                 : -qint64(magnitude));
    } else {
        *out = PropertyListValue::fromUnsignedInteger(magnitude);
    }
    return true;
}

// Decimal reals ("0.1", "-1e300", ".5"), and nan / inf / infinity in any case
// with an optional sign. Values beyond the range of a double become infinite
// or zero, as C's strtod makes them.
bool parseReal(QStringView text, double *out)
{
    const QStringView s = trimmed(text);
    if (s.isEmpty() || s.size() > 1024)
        return false;
    char buffer[1025];
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c >= 0x80)
            return false;
        buffer[i] = char(c);
    }
    const char *begin = buffer;
    const char *end = buffer + s.size();
    buffer[s.size()] = 0;
    // from_chars takes no leading '+' and no hexadecimal form without being
    // asked, which is what is wanted here.
    const char *start = begin;
    if (*start == '+') {
        ++start;
        if (start == end || *start == '-' || *start == '+')
            return false;
    }
    double value = 0;
    const auto [ptr, ec] = std::from_chars(start, end, value, std::chars_format::general);
    if (ptr != end)
        return false;
    if (ec == std::errc::result_out_of_range) {
        char *stop = nullptr;
        value = strtod_l(begin, &stop, cNumericLocale());
        if (stop != end)
            return false;
    } else if (ec != std::errc()) {
        return false;
    }
    *out = value;
    return true;
}

// Exactly YYYY-MM-DDTHH:MM:SSZ, UTC.
bool parseDate(QStringView text, QDateTime *out)
{
    const QStringView s = trimmed(text);
    if (s.size() != 20 || s[4] != u'-' || s[7] != u'-' || s[10] != u'T' || s[13] != u':' || s[16] != u':'
        || s[19] != u'Z')
        return false;
    const int year = digitsAt(s, 0, 4), month = digitsAt(s, 5, 2), day = digitsAt(s, 8, 2);
    const int hour = digitsAt(s, 11, 2), minute = digitsAt(s, 14, 2), second = digitsAt(s, 17, 2);
    if (year < 1 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0
        || second > 59)
        return false;
    const QDate date(year, month, day);
    if (!date.isValid())
        return false;
    *out = QDateTime(date, QTime(hour, minute, second), Qt::UTC);
    return out->isValid();
}

// Standard base64; whitespace anywhere is skipped; '=' padding, when present,
// must be correct and last; unpadded text is accepted.
bool decodeBase64(QStringView text, QByteArray *out)
{
    QByteArray result;
    result.reserve(text.size() * 3 / 4 + 3);
    quint32 accumulator = 0;
    int pending = 0; // characters in the current group of four
    int padding = 0;
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        if (isXmlSpace(c))
            continue;
        if (c == u'=') {
            if (pending < 2 || pending + padding >= 4)
                return false;
            ++padding;
            continue;
        }
        if (padding > 0)
            return false;
        const int v = base64Value(c);
        if (v < 0)
            return false;
        accumulator = (accumulator << 6) | quint32(v);
        if (++pending == 4) {
            result += char((accumulator >> 16) & 0xff);
            result += char((accumulator >> 8) & 0xff);
            result += char(accumulator & 0xff);
            accumulator = 0;
            pending = 0;
        }
    }
    if (padding > 0 && pending + padding != 4)
        return false;
    if (pending == 1)
        return false;
    if (pending == 2) {
        result += char((accumulator >> 4) & 0xff);
    } else if (pending == 3) {
        result += char((accumulator >> 10) & 0xff);
        result += char((accumulator >> 2) & 0xff);
    }
    *out = std::move(result);
    return true;
}

// Keys and text in messages: "\u" escapes for what would not read well.
QString quotedForMessage(const QString &s)
{
    QString out;
    out.reserve(s.size() + 2);
    out += u'"';
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c == u'"' || c == u'\\') {
            out += u'\\';
            out += QChar(c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            out += QChar(c);
            out += s[++i];
        } else if (c < 0x20 || c == 0x7f || QChar::isSurrogate(c) || c == 0xfffe || c == 0xffff) {
            out += QLatin1String("\\u") + QString::number(uint(c), 16).toUpper().rightJustified(4, u'0');
        } else {
            out += QChar(c);
        }
    }
    out += u'"';
    return out;
}

} // namespace kv::plistdetail
