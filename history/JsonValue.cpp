#include "history/JsonValue.h"

#include "platform/plist/PropertyListFile.h"

#include <QStringDecoder>

#include <cctype>
#include <cmath>
#include <limits>

namespace kv::history {

namespace {

const QLatin1String dataForm("$data");
const QLatin1String dateForm("$date");
const QLatin1String realForm("$real");

void appendHex4(QByteArray &out, char16_t unit)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += digits[(unit >> shift) & 0xf];
}

void appendReal(QByteArray &out, double real)
{
    if (std::isnan(real) || std::isinf(real)) {
        out += "{\"$real\":\"";
        out += std::isnan(real) ? "nan" : real > 0 ? "+infinity" : "-infinity";
        out += "\"}";
        return;
    }
    if (real == 0 && std::signbit(real)) {
        out += "-0.0";
        return;
    }
    const QByteArray text = QByteArray::number(real, 'g', QLocale::FloatingPointShortest);
    out += text;
    // "1" would read back as an integer.
    if (!text.contains('.') && !text.contains('e'))
        out += ".0";
}

// A dictionary key as written: one more "$" in front of a key that begins
// with one.
void appendKey(QByteArray &out, const QString &key)
{
    if (key.startsWith(QLatin1Char('$')))
        appendJsonString(out, QLatin1Char('$') + key);
    else
        appendJsonString(out, key);
}

void appendSpecial(QByteArray &out, QLatin1String form, const QString &text)
{
    out += "{\"";
    out += QByteArray(form.data(), form.size());
    out += "\":";
    appendJsonString(out, text);
    out += '}';
}

// --- reading -----------------------------------------------------------------

class Reader
{
public:
    explicit Reader(const QByteArray &text) : m_text(text) {}

    PropertyListValue read(QString *error)
    {
        skipSpace();
        PropertyListValue value;
        bool isNull = false;
        if (!readValue(&value, 1, &isNull))
            return fail(error);
        skipSpace();
        if (m_pos != m_text.size()) {
            setProblem(QStringLiteral("unexpected text after the value"));
            return fail(error);
        }
        return value;
    }

private:
    PropertyListValue fail(QString *error)
    {
        if (error)
            *error = QStringLiteral("byte offset %1: %2").arg(m_problemAt).arg(m_problem);
        return {};
    }

    bool setProblem(const QString &problem)
    {
        if (m_problem.isEmpty()) {
            m_problem = problem;
            m_problemAt = m_pos;
        }
        return false;
    }

    void skipSpace()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text.at(m_pos);
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                break;
            ++m_pos;
        }
    }

    bool consume(const char *word)
    {
        const qsizetype length = qsizetype(qstrlen(word));
        if (m_text.mid(m_pos, length) != word)
            return false;
        m_pos += length;
        return true;
    }

    bool readValue(PropertyListValue *value, int depth, bool *isNull)
    {
        *isNull = false;
        if (depth > PropertyListMaximumDepth)
            return setProblem(QStringLiteral("nested more than %1 levels deep").arg(PropertyListMaximumDepth));
        if (m_pos >= m_text.size())
            return setProblem(QStringLiteral("a value was expected"));
        const char c = m_text.at(m_pos);
        if (c == '{')
            return readObject(value, depth);
        if (c == '[')
            return readArray(value, depth);
        if (c == '"') {
            QString string;
            if (!readString(&string))
                return false;
            *value = PropertyListValue::fromString(std::move(string));
            return true;
        }
        if (consume("true")) {
            *value = PropertyListValue::fromBoolean(true);
            return true;
        }
        if (consume("false")) {
            *value = PropertyListValue::fromBoolean(false);
            return true;
        }
        if (consume("null")) {
            *isNull = true;
            *value = {};
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return readNumber(value);
        return setProblem(QStringLiteral("a value was expected"));
    }

    bool readNumber(PropertyListValue *value)
    {
        const qsizetype start = m_pos;
        auto digits = [this] {
            const qsizetype from = m_pos;
            while (m_pos < m_text.size() && m_text.at(m_pos) >= '0' && m_text.at(m_pos) <= '9')
                ++m_pos;
            return m_pos - from;
        };
        const bool negative = m_pos < m_text.size() && m_text.at(m_pos) == '-';
        if (negative)
            ++m_pos;
        const qsizetype integerStart = m_pos;
        const qsizetype integerDigits = digits();
        if (integerDigits == 0 || (integerDigits > 1 && m_text.at(integerStart) == '0')) {
            m_pos = start;
            return setProblem(QStringLiteral("malformed number"));
        }
        bool real = false;
        if (m_pos < m_text.size() && m_text.at(m_pos) == '.') {
            ++m_pos;
            real = true;
            if (digits() == 0) {
                m_pos = start;
                return setProblem(QStringLiteral("malformed number"));
            }
        }
        if (m_pos < m_text.size() && (m_text.at(m_pos) == 'e' || m_text.at(m_pos) == 'E')) {
            ++m_pos;
            real = true;
            if (m_pos < m_text.size() && (m_text.at(m_pos) == '+' || m_text.at(m_pos) == '-'))
                ++m_pos;
            if (digits() == 0) {
                m_pos = start;
                return setProblem(QStringLiteral("malformed number"));
            }
        }
        const QByteArray text = m_text.mid(start, m_pos - start);
        bool ok = false;
        if (!real) {
            const qint64 integer = text.toLongLong(&ok);
            if (ok) {
                *value = PropertyListValue::fromInteger(integer);
                return true;
            }
            if (!negative) {
                const quint64 unsignedInteger = text.toULongLong(&ok);
                if (ok) {
                    *value = PropertyListValue::fromUnsignedInteger(unsignedInteger);
                    return true;
                }
            }
        }
        // Reals, and integers beyond 64 bits, as the nearest double.
        const double number = text.toDouble(&ok);
        if (!ok || !std::isfinite(number)) {
            m_pos = start;
            return setProblem(QStringLiteral("number out of range"));
        }
        *value = PropertyListValue::fromReal(number);
        return true;
    }

    bool readHex4(char16_t *unit)
    {
        if (m_pos + 4 > m_text.size())
            return setProblem(QStringLiteral("malformed \\u escape"));
        bool ok = false;
        const uint n = m_text.mid(m_pos, 4).toUInt(&ok, 16);
        for (qsizetype i = m_pos; i < m_pos + 4; ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(m_text.at(i))))
                ok = false;
        }
        if (!ok)
            return setProblem(QStringLiteral("malformed \\u escape"));
        m_pos += 4;
        *unit = char16_t(n);
        return true;
    }

    bool readString(QString *string)
    {
        ++m_pos; // the opening quote
        QString result;
        qsizetype runStart = m_pos;
        auto flushRun = [&]() {
            if (m_pos == runStart)
                return true;
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            result += decoder.decode(QByteArrayView(m_text.constData() + runStart, m_pos - runStart));
            if (decoder.hasError()) {
                m_pos = runStart;
                return setProblem(QStringLiteral("text that is not UTF-8"));
            }
            return true;
        };
        while (true) {
            if (m_pos >= m_text.size())
                return setProblem(QStringLiteral("unterminated string"));
            const char c = m_text.at(m_pos);
            if (c == '"') {
                if (!flushRun())
                    return false;
                ++m_pos;
                break;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return setProblem(QStringLiteral("control character in a string"));
            if (c != '\\') {
                ++m_pos;
                continue;
            }
            if (!flushRun())
                return false;
            ++m_pos;
            if (m_pos >= m_text.size())
                return setProblem(QStringLiteral("unterminated string"));
            const char escape = m_text.at(m_pos++);
            switch (escape) {
            case '"': result += QLatin1Char('"'); break;
            case '\\': result += QLatin1Char('\\'); break;
            case '/': result += QLatin1Char('/'); break;
            case 'b': result += QLatin1Char('\b'); break;
            case 'f': result += QLatin1Char('\f'); break;
            case 'n': result += QLatin1Char('\n'); break;
            case 'r': result += QLatin1Char('\r'); break;
            case 't': result += QLatin1Char('\t'); break;
            case 'u': {
                char16_t unit = 0;
                if (!readHex4(&unit))
                    return false;
                result += QChar(unit); // pairs join as they follow; a lone half stays as it is
                break;
            }
            default: --m_pos; return setProblem(QStringLiteral("unknown escape"));
            }
            runStart = m_pos;
        }
        *string = std::move(result);
        return true;
    }

    bool expect(char c, const char *what)
    {
        skipSpace();
        if (m_pos < m_text.size() && m_text.at(m_pos) == c) {
            ++m_pos;
            return true;
        }
        return setProblem(QStringLiteral("%1 was expected").arg(QLatin1String(what)));
    }

    bool readArray(PropertyListValue *value, int depth)
    {
        ++m_pos;
        PropertyListArray array;
        skipSpace();
        if (m_pos < m_text.size() && m_text.at(m_pos) == ']') {
            ++m_pos;
            *value = PropertyListValue::fromArray(std::move(array));
            return true;
        }
        while (true) {
            skipSpace();
            PropertyListValue element;
            bool isNull = false;
            const qsizetype at = m_pos;
            if (!readValue(&element, depth + 1, &isNull))
                return false;
            if (isNull) {
                m_pos = at;
                return setProblem(QStringLiteral("null inside an array"));
            }
            array.append(std::move(element));
            skipSpace();
            if (m_pos < m_text.size() && m_text.at(m_pos) == ',') {
                ++m_pos;
                continue;
            }
            if (!expect(']', "\",\" or \"]\""))
                return false;
            break;
        }
        *value = PropertyListValue::fromArray(std::move(array));
        return true;
    }

    bool readObject(PropertyListValue *value, int depth)
    {
        const qsizetype objectStart = m_pos;
        ++m_pos;
        PropertyListDictionary dictionary;
        QStringList special; // keys written as "$..." (one "$" only)
        skipSpace();
        if (m_pos < m_text.size() && m_text.at(m_pos) == '}') {
            ++m_pos;
            *value = PropertyListValue::fromDictionary(std::move(dictionary));
            return true;
        }
        while (true) {
            skipSpace();
            if (m_pos >= m_text.size() || m_text.at(m_pos) != '"')
                return setProblem(QStringLiteral("a key was expected"));
            const qsizetype keyAt = m_pos;
            QString key;
            if (!readString(&key))
                return false;
            if (!expect(':', "\":\""))
                return false;
            skipSpace();
            PropertyListValue element;
            bool isNull = false;
            const qsizetype at = m_pos;
            if (!readValue(&element, depth + 1, &isNull))
                return false;
            if (isNull) {
                m_pos = at;
                return setProblem(QStringLiteral("null inside an object"));
            }
            if (key.startsWith(QLatin1String("$$")))
                key.remove(0, 1);
            else if (key.startsWith(QLatin1Char('$')))
                special.append(key);
            if (dictionary.contains(key)) {
                m_pos = keyAt;
                return setProblem(QStringLiteral("repeated key"));
            }
            dictionary.insert(key, std::move(element));
            skipSpace();
            if (m_pos < m_text.size() && m_text.at(m_pos) == ',') {
                ++m_pos;
                continue;
            }
            if (!expect('}', "\",\" or \"}\""))
                return false;
            break;
        }
        if (special.isEmpty()) {
            *value = PropertyListValue::fromDictionary(std::move(dictionary));
            return true;
        }
        const qsizetype end = m_pos;
        m_pos = objectStart;
        if (dictionary.size() != 1)
            return setProblem(QStringLiteral("a \"$\" form must be the object's only key"));
        const QString form = special.first();
        const PropertyListValue text = dictionary.first();
        if (!text.isString())
            return setProblem(QStringLiteral("%1 takes a string").arg(form));
        if (form == dataForm) {
            const auto decoded =
                QByteArray::fromBase64Encoding(text.string().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded || text.string().size() % 4 != 0)
                return setProblem(QStringLiteral("malformed base64"));
            *value = PropertyListValue::fromData(*decoded);
        } else if (form == dateForm) {
            const QDateTime date = QDateTime::fromString(text.string(), Qt::ISODateWithMs);
            if (!date.isValid())
                return setProblem(QStringLiteral("malformed date"));
            *value = PropertyListValue::fromDate(date.toUTC());
        } else if (form == realForm) {
            const QString name = text.string();
            if (name == QLatin1String("nan"))
                *value = PropertyListValue::fromReal(std::numeric_limits<double>::quiet_NaN());
            else if (name == QLatin1String("+infinity"))
                *value = PropertyListValue::fromReal(std::numeric_limits<double>::infinity());
            else if (name == QLatin1String("-infinity"))
                *value = PropertyListValue::fromReal(-std::numeric_limits<double>::infinity());
            else
                return setProblem(QStringLiteral("unknown $real"));
        } else {
            return setProblem(QStringLiteral("unknown form %1").arg(form));
        }
        m_pos = end;
        return true;
    }

    const QByteArray &m_text;
    qsizetype m_pos = 0;
    QString m_problem;
    qsizetype m_problemAt = 0;
};

} // namespace

void appendJsonString(QByteArray &out, const QString &string)
{
    out += '"';
    const char16_t *units = reinterpret_cast<const char16_t *>(string.utf16());
    const qsizetype size = string.size();
    qsizetype runStart = 0;
    auto flush = [&](qsizetype end) {
        if (end > runStart)
            out += QStringView(units + runStart, end - runStart).toUtf8();
    };
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = units[i];
        const char *escape = nullptr;
        switch (unit) {
        case u'"': escape = "\\\""; break;
        case u'\\': escape = "\\\\"; break;
        case u'\n': escape = "\\n"; break;
        case u'\r': escape = "\\r"; break;
        case u'\t': escape = "\\t"; break;
        case u'\b': escape = "\\b"; break;
        case u'\f': escape = "\\f"; break;
        default: break;
        }
        bool lone = false;
        if (QChar::isHighSurrogate(unit))
            lone = i + 1 >= size || !QChar::isLowSurrogate(units[i + 1]);
        else if (QChar::isLowSurrogate(unit))
            lone = i == 0 || !QChar::isHighSurrogate(units[i - 1]);
        if (!escape && unit >= 0x20 && !lone)
            continue;
        flush(i);
        if (escape)
            out += escape;
        else
            appendHex4(out, unit);
        runStart = i + 1;
    }
    flush(size);
    out += '"';
}

void appendJson(QByteArray &out, const PropertyListValue &value)
{
    switch (value.kind()) {
    case PropertyListValue::Kind::None: out += "null"; return;
    case PropertyListValue::Kind::Dictionary: {
        out += '{';
        const PropertyListDictionary &dictionary = value.dictionary();
        bool first = true;
        for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
            if (!first)
                out += ',';
            first = false;
            appendKey(out, it.key());
            out += ':';
            appendJson(out, it.value());
        }
        out += '}';
        return;
    }
    case PropertyListValue::Kind::Array: {
        out += '[';
        bool first = true;
        for (const PropertyListValue &element : value.array()) {
            if (!first)
                out += ',';
            first = false;
            appendJson(out, element);
        }
        out += ']';
        return;
    }
    case PropertyListValue::Kind::String: appendJsonString(out, value.string()); return;
    case PropertyListValue::Kind::Integer:
        out += value.isUnsignedInteger() ? QByteArray::number(value.unsignedInteger())
                                         : QByteArray::number(value.integer());
        return;
    case PropertyListValue::Kind::Real: appendReal(out, value.real()); return;
    case PropertyListValue::Kind::Boolean: out += value.boolean() ? "true" : "false"; return;
    case PropertyListValue::Kind::Data:
        appendSpecial(out, dataForm, QString::fromLatin1(value.data().toBase64()));
        return;
    case PropertyListValue::Kind::Date: appendSpecial(out, dateForm, isoUtcText(value.date())); return;
    }
}

QByteArray jsonText(const PropertyListValue &value)
{
    QByteArray out;
    appendJson(out, value);
    return out;
}

PropertyListValue valueFromJson(const QByteArray &json, QString *error)
{
    return Reader(json).read(error);
}

QString isoUtcText(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QStringLiteral("+00:00");
}

} // namespace kv::history
