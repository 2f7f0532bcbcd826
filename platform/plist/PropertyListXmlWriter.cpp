// The XML writer behind writePropertyListXml.

#include "platform/plist/PropertyListReaders_p.h"

#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kv::plistdetail {

namespace {

QString codePointName(uint c)
{
    return QLatin1String("U+") + QString::number(c, 16).toUpper().rightJustified(4, u'0');
}

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

QByteArray writeXmlPropertyList(const PropertyListValue &value, QString *error)
{
    XmlWriter writer;
    if (!writer.write(value)) {
        if (error)
            *error = writer.error();
        return {};
    }
    return writer.text();
}

} // namespace kv::plistdetail
