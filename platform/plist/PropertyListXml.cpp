// XML property lists: the writer (writePropertyListXml) and the strict reader
// behind readPropertyList.

#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListReaders_p.h"
#include "platform/plist/PropertyListXmlFast.h"

#include <QDate>
#include <QLocale>
#include <QStringList>
#include <QTime>
#include <QTimeZone>
#include <QXmlStreamReader>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <vector>

namespace kv {

// ---------------------------------------------------------------------------
// Shared helpers
// ---------------------------------------------------------------------------

namespace {

// Shows a key in an error message: quoted, with characters that would not
// read well (controls, unpaired surrogates, non-characters) as \uXXXX.
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

QString codePointName(uint c)
{
    return QLatin1String("U+") + QString::number(c, 16).toUpper().rightJustified(4, u'0');
}

} // namespace

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

namespace {

// The XML declaration and the plist element that every XML property list
// starts with. A document-type line is optional for readers and not written.
constexpr char xmlPrologue[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<plist version=\"1.0\">\n";

constexpr char xmlEpilogue[] = "</plist>\n";

// Base64 lines in <data> hold this many characters (a multiple of 4).
constexpr int base64LineLength = 68;

class XmlWriter
{
public:
    bool write(const PropertyListValue &value)
    {
        m_out.reserve(4096);
        m_out += xmlPrologue;
        if (value.isNone())
            return fail(QStringLiteral("there is no value to write"));
        if (!writeValue(value, 0))
            return false;
        m_out += xmlEpilogue;
        return true;
    }

    QByteArray text() const { return m_out; }
    QString error() const { return m_error; }

private:
    bool fail(const QString &message)
    {
        m_error = message;
        return false;
    }

    // The key path to the value being written, made only for messages.
    QString pathText() const
    {
        if (m_path.empty())
            return QStringLiteral("the top level");
        QStringList parts;
        for (const PathStep &step : m_path)
            parts.append(step.key ? quotedForMessage(*step.key)
                                  : QLatin1Char('[') + QString::number(step.index) + QLatin1Char(']'));
        return parts.join(QLatin1String(" / "));
    }

    void indent(int level) { m_out.append(level, '\t'); }

    // Appends s with <, & and > escaped and carriage returns as character
    // references (a raw CR would read back as a newline). Returns false and
    // sets *bad to the code point when s holds a character XML cannot carry.
    bool appendEscaped(const QString &s, uint *bad)
    {
        const QChar *p = s.constData();
        const qsizetype n = s.size();
        qsizetype runStart = 0;
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t c = p[i].unicode();
            if (c >= 0x20 && c < 0xd800 && c != u'<' && c != u'&' && c != u'>')
                continue;
            if (c == u'\t' || c == u'\n' || (c >= 0xe000 && c < 0xfffe))
                continue;
            if (QChar::isHighSurrogate(c) && i + 1 < n && p[i + 1].isLowSurrogate()) {
                ++i;
                continue;
            }
            m_out += QStringView(p + runStart, i - runStart).toUtf8();
            runStart = i + 1;
            switch (c) {
            case u'<': m_out += "&lt;"; break;
            case u'>': m_out += "&gt;"; break;
            case u'&': m_out += "&amp;"; break;
            case u'\r': m_out += "&#13;"; break;
            default: *bad = c; return false;
            }
        }
        m_out += QStringView(p + runStart, n - runStart).toUtf8();
        return true;
    }

    bool writeString(const char *tag, const QString &s, const QString &what)
    {
        m_out += '<';
        m_out += tag;
        m_out += '>';
        uint bad = 0;
        if (!appendEscaped(s, &bad))
            return fail(QStringLiteral("%1 at %2 holds a character that XML cannot carry (%3)")
                            .arg(what, pathText(), codePointName(bad)));
        m_out += "</";
        m_out += tag;
        m_out += ">\n";
        return true;
    }

    bool writeValue(const PropertyListValue &value, int level)
    {
        if (level >= PropertyListMaximumDepth)
            return fail(QStringLiteral("value at %1 is nested deeper than %2 levels")
                            .arg(pathText())
                            .arg(PropertyListMaximumDepth));
        indent(level);
        switch (value.kind()) {
        case PropertyListValue::Kind::None:
            return fail(QStringLiteral("value at %1 is empty (it has no kind)").arg(pathText()));
        case PropertyListValue::Kind::Dictionary: {
            const PropertyListDictionary &dict = value.dictionary();
            if (dict.isEmpty()) {
                m_out += "<dict/>\n";
                return true;
            }
            m_out += "<dict>\n";
            for (auto it = dict.cbegin(); it != dict.cend(); ++it) {
                m_path.push_back({&it.key(), 0});
                indent(level + 1);
                if (!writeString("key", it.key(), QStringLiteral("key")))
                    return false;
                if (!writeValue(it.value(), level + 1))
                    return false;
                m_path.pop_back();
            }
            indent(level);
            m_out += "</dict>\n";
            return true;
        }
        case PropertyListValue::Kind::Array: {
            const PropertyListArray &array = value.array();
            if (array.isEmpty()) {
                m_out += "<array/>\n";
                return true;
            }
            m_out += "<array>\n";
            for (qsizetype i = 0; i < array.size(); ++i) {
                m_path.push_back({nullptr, i});
                if (!writeValue(array[i], level + 1))
                    return false;
                m_path.pop_back();
            }
            indent(level);
            m_out += "</array>\n";
            return true;
        }
        case PropertyListValue::Kind::String: return writeString("string", value.string(), QStringLiteral("value"));
        case PropertyListValue::Kind::Integer:
            m_out += "<integer>";
            m_out += value.isUnsignedInteger() ? QByteArray::number(value.unsignedInteger())
                                               : QByteArray::number(value.integer());
            m_out += "</integer>\n";
            return true;
        case PropertyListValue::Kind::Real: {
            const double v = value.real();
            m_out += "<real>";
            if (std::isnan(v))
                m_out += "nan";
            else if (std::isinf(v))
                m_out += v > 0 ? "+infinity" : "-infinity";
            else if (v == 0 && std::signbit(v))
                m_out += "-0.0"; // the shortest form drops the sign of zero
            else
                m_out += QByteArray::number(v, 'g', QLocale::FloatingPointShortest);
            m_out += "</real>\n";
            return true;
        }
        case PropertyListValue::Kind::Boolean: m_out += value.boolean() ? "<true/>\n" : "<false/>\n"; return true;
        case PropertyListValue::Kind::Data: {
            const QByteArray data = value.data();
            if (data.isEmpty()) {
                m_out += "<data></data>\n";
                return true;
            }
            const QByteArray encoded = data.toBase64();
            m_out += "<data>\n";
            for (qsizetype at = 0; at < encoded.size(); at += base64LineLength) {
                indent(level);
                m_out.append(encoded.constData() + at, std::min<qsizetype>(base64LineLength, encoded.size() - at));
                m_out += '\n';
            }
            indent(level);
            m_out += "</data>\n";
            return true;
        }
        case PropertyListValue::Kind::Date: {
            const QDateTime date = value.date().toUTC();
            if (!date.isValid() || date.date().year() < 1 || date.date().year() > 9999)
                return fail(
                    QStringLiteral("date at %1 is outside the years 1 to 9999 that XML property lists can carry")
                        .arg(pathText()));
            m_out += "<date>";
            m_out += date.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'")).toLatin1();
            m_out += "</date>\n";
            return true;
        }
        }
        return fail(QStringLiteral("value at %1 has an unknown kind").arg(pathText()));
    }

    struct PathStep
    {
        const QString *key; // a dictionary key, or null for an array index
        qsizetype index;
    };

    QByteArray m_out;
    std::vector<PathStep> m_path;
    QString m_error;
};

} // namespace

QByteArray writePropertyListXml(const PropertyListValue &value, QString *error)
{
    XmlWriter writer;
    if (!writer.write(value)) {
        if (error)
            *error = writer.error();
        return {};
    }
    return writer.text();
}

// ---------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------

namespace plistdetail {

namespace {

bool isXmlSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

QStringView trimmed(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isXmlSpace(s[b].unicode()))
        ++b;
    while (e > b && isXmlSpace(s[e - 1].unicode()))
        --e;
    return s.mid(b, e - b);
}

// A short, single-line rendering of element text for messages.
QString excerpt(QStringView text)
{
    QString shown = trimmed(text).left(40).toString();
    if (trimmed(text).size() > 40)
        shown += QStringLiteral("...");
    return quotedForMessage(shown);
}

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

namespace {

// Counts the references to undeclared entities the XML reader meets. With an
// external document type it reads such a reference in element text as
// nothing, without an error; the reader refuses it instead, as it does one
// between elements.
class UndeclaredEntityCounter : public QXmlStreamEntityResolver
{
public:
    QString resolveUndeclaredEntity(const QString &name) override
    {
        ++count;
        lastName = name;
        return QString(); // unknown: no replacement text
    }
    int count = 0;
    QString lastName;
};

class XmlReader
{
public:
    XmlReader(const QByteArray &bytes, const QString &source) : m_xml(bytes), m_source(source)
    {
        m_xml.setEntityResolver(&m_undeclared);
    }

    PropertyListValue read(QString *error)
    {
        while (!m_failed && !m_xml.atEnd()) {
            switch (m_xml.readNext()) {
            case QXmlStreamReader::DTD: checkDocumentType(); break;
            case QXmlStreamReader::StartElement: startElement(); break;
            case QXmlStreamReader::EndElement: endElement(); break;
            case QXmlStreamReader::Characters:
                if (!m_xml.isWhitespace())
                    failHere(QStringLiteral("unexpected text %1 %2").arg(excerpt(m_xml.text()), placeText()));
                break;
            case QXmlStreamReader::EntityReference:
                failHere(QStringLiteral("reference to the undeclared entity \"%1\"").arg(m_xml.name().toString()));
                break;
            default: break; // declaration, comments, processing instructions, end of document
            }
        }
        if (!m_failed && m_xml.hasError())
            failXml();
        if (!m_failed && m_result.isNone())
            fail(m_xml.lineNumber(), m_xml.columnNumber(), QStringLiteral("the document holds no property-list value"));
        if (m_failed) {
            *error = m_error;
            return {};
        }
        return m_result;
    }

private:
    struct Frame
    {
        bool isDictionary = false;
        PropertyListArray array;
        PropertyListDictionary dictionary;
        QString key;
        bool haveKey = false;
    };

    enum class State { BeforeRoot, InPlist, InBareRoot, Done };

    void fail(qint64 line, qint64 column, const QString &what)
    {
        if (m_failed)
            return;
        m_failed = true;
        m_error = QStringLiteral("%1: line %2, column %3: %4").arg(m_source).arg(line).arg(column).arg(what);
    }

    void failHere(const QString &what) { fail(m_xml.lineNumber(), m_xml.columnNumber(), what); }

    void failXml() { failHere(QStringLiteral("malformed XML: ") + m_xml.errorString()); }

    QString placeText() const
    {
        if (m_stack.empty())
            return m_state == State::InPlist ? QStringLiteral("in <plist>") : QStringLiteral("outside the value");
        return m_stack.back().isDictionary ? QStringLiteral("in <dict>") : QStringLiteral("in <array>");
    }

    void checkDocumentType()
    {
        const QStringView text = m_xml.text();
        if (!m_xml.entityDeclarations().isEmpty() || !m_xml.notationDeclarations().isEmpty() || text.contains(u'['))
            failHere(QStringLiteral("document type declarations with an internal subset (such as entity "
                                    "declarations) are not accepted"));
        else if (m_xml.dtdName() != u"plist")
            failHere(QStringLiteral("the document type is \"%1\", not plist").arg(m_xml.dtdName().toString()));
    }

    // The text of the current element, which must hold nothing but text.
    bool elementText(QString *text)
    {
        const int undeclaredBefore = m_undeclared.count;
        *text = m_xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (m_xml.hasError()) {
            failXml();
            return false;
        }
        if (m_undeclared.count != undeclaredBefore) {
            failHere(QStringLiteral("reference to the undeclared entity \"%1\"").arg(m_undeclared.lastName));
            return false;
        }
        return true;
    }

    void startElement()
    {
        const QStringView name = m_xml.name();
        const qint64 line = m_xml.lineNumber(), column = m_xml.columnNumber();

        if (name == u"plist") {
            if (m_state != State::BeforeRoot)
                return fail(line, column, QStringLiteral("<plist> may only be the outermost element"));
            m_state = State::InPlist;
            return;
        }
        if (m_state == State::BeforeRoot)
            m_state = State::InBareRoot;
        if (m_stack.empty() && !m_result.isNone())
            return fail(line, column,
                        QStringLiteral("<plist> holds more than one value (found <%1> after it)").arg(name.toString()));

        if (name == u"key") {
            if (m_stack.empty() || !m_stack.back().isDictionary)
                return fail(line, column, QStringLiteral("<key> %1; keys belong only in <dict>").arg(placeText()));
            Frame &frame = m_stack.back();
            if (frame.haveKey)
                return fail(
                    line, column,
                    QStringLiteral("<key> follows the key %1, which has no value").arg(quotedForMessage(frame.key)));
            QString key;
            if (!elementText(&key))
                return;
            if (frame.dictionary.contains(key))
                return fail(line, column,
                            QStringLiteral("the key %1 appears twice in one <dict>").arg(quotedForMessage(key)));
            frame.key = std::move(key);
            frame.haveKey = true;
            return;
        }

        if (!m_stack.empty() && m_stack.back().isDictionary && !m_stack.back().haveKey)
            return fail(line, column, QStringLiteral("expected <key> in <dict>, found <%1>").arg(name.toString()));
        if (int(m_stack.size()) + 1 > PropertyListMaximumDepth)
            return fail(line, column,
                        QStringLiteral("values are nested deeper than %1 levels").arg(PropertyListMaximumDepth));

        if (name == u"dict" || name == u"array") {
            Frame frame;
            frame.isDictionary = name == u"dict";
            m_stack.push_back(std::move(frame));
            return;
        }

        PropertyListValue value;
        QString text;
        if (name == u"string") {
            if (!elementText(&text))
                return;
            value = PropertyListValue::fromString(std::move(text));
        } else if (name == u"integer") {
            if (!elementText(&text))
                return;
            if (!parseInteger(text, &value))
                return fail(line, column,
                            QStringLiteral("<integer> holds %1, which is not an integer from "
                                           "-9223372036854775808 to 18446744073709551615")
                                .arg(excerpt(text)));
        } else if (name == u"real") {
            if (!elementText(&text))
                return;
            double real = 0;
            if (!parseReal(text, &real))
                return fail(line, column, QStringLiteral("<real> holds %1, which is not a number").arg(excerpt(text)));
            value = PropertyListValue::fromReal(real);
        } else if (name == u"true" || name == u"false") {
            const bool truth = name == u"true";
            if (!elementText(&text))
                return;
            if (!trimmed(text).isEmpty())
                return fail(line, column,
                            QStringLiteral("<%1/> must be empty but holds %2")
                                .arg(truth ? QStringLiteral("true") : QStringLiteral("false"), excerpt(text)));
            value = PropertyListValue::fromBoolean(truth);
        } else if (name == u"data") {
            if (!elementText(&text))
                return;
            QByteArray bytes;
            if (!decodeBase64(text, &bytes))
                return fail(line, column,
                            QStringLiteral("<data> holds %1, which is not valid base64").arg(excerpt(text)));
            value = PropertyListValue::fromData(std::move(bytes));
        } else if (name == u"date") {
            if (!elementText(&text))
                return;
            QDateTime date;
            if (!parseDate(text, &date))
                return fail(line, column,
                            QStringLiteral("<date> holds %1, which is not a date of the form "
                                           "YYYY-MM-DDTHH:MM:SSZ")
                                .arg(excerpt(text)));
            value = PropertyListValue::fromDate(date);
        } else {
            return fail(line, column, QStringLiteral("unknown element <%1>").arg(name.toString()));
        }
        deliver(std::move(value));
    }

    void endElement()
    {
        const QStringView name = m_xml.name();
        if (name == u"plist") {
            if (m_result.isNone())
                failHere(QStringLiteral("<plist> holds no value"));
            m_state = State::Done;
            return;
        }
        // Scalar elements are consumed whole by elementText(), so only
        // containers end here; the XML reader has checked the nesting.
        Frame &frame = m_stack.back();
        if (frame.isDictionary && frame.haveKey)
            return failHere(QStringLiteral("the key %1 has no value before </dict>").arg(quotedForMessage(frame.key)));
        PropertyListValue value = frame.isDictionary ? PropertyListValue::fromDictionary(std::move(frame.dictionary))
                                                     : PropertyListValue::fromArray(std::move(frame.array));
        m_stack.pop_back();
        deliver(std::move(value));
    }

    void deliver(PropertyListValue value)
    {
        if (m_stack.empty()) {
            m_result = std::move(value);
            return;
        }
        Frame &frame = m_stack.back();
        if (frame.isDictionary) {
            frame.dictionary.insert(std::move(frame.key), std::move(value));
            frame.key = QString();
            frame.haveKey = false;
        } else {
            frame.array.append(std::move(value));
        }
    }

    UndeclaredEntityCounter m_undeclared;
    QXmlStreamReader m_xml;
    QString m_source;
    std::vector<Frame> m_stack;
    PropertyListValue m_result;
    State m_state = State::BeforeRoot;
    bool m_failed = false;
    QString m_error;
};

} // namespace

PropertyListValue readXmlPropertyListStrict(const QByteArray &bytes, QString *error, const QString &source)
{
    XmlReader reader(bytes, source);
    return reader.read(error);
}

PropertyListValue readXmlPropertyList(const QByteArray &bytes, QString *error, const QString &source,
                                      PropertyListReading reading)
{
    // The fast reader takes the documents it reads in full; everything else,
    // errors included, is read by the strict reader, which gives the same
    // value for any document both read and every error message.
    PropertyListValue value = readXmlPropertyListFast(bytes, reading == PropertyListReading::TopLevelOnUse);
    if (!value.isNone())
        return value;
    return readXmlPropertyListStrict(bytes, error, source);
}

} // namespace plistdetail

} // namespace kv
