// The strict XML reader: QXmlStreamReader underneath, so that every
// well-formed document reads and every error is told with its line and
// column. Documents the fast reader gives up on come here.

#include "platform/plist/PropertyListReaders_p.h"

#include <QXmlStreamReader>

#include <vector>

namespace kv::plistdetail {

namespace {

// A short, single-line rendering of element text for messages.
QString excerpt(QStringView text)
{
    QString shown = trimmed(text).left(40).toString();
    if (trimmed(text).size() > 40)
        shown += QStringLiteral("...");
    return quotedForMessage(shown);
}

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

} // namespace kv::plistdetail
