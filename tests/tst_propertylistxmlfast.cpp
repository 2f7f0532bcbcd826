// The fast XML property-list reader against the strict one: on every
// document the fast reader accepts it must give exactly the strict reader's
// value (kinds, integer signedness, the sign of a real zero, dates, data,
// dictionary order), and it must accept the documents property-list writers
// commonly produce. Whatever it gives up on is read by the strict reader, so
// errors and unusual documents read exactly as before.

#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListReaders_p.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>

using kv::PropertyListArray;
using kv::PropertyListDictionary;
using kv::PropertyListValue;

namespace {

// Equality down to what operator== lets pass: the sign of a zero real, NaN
// payload aside, and whether a string or key is the same text.
bool identical(const PropertyListValue &a, const PropertyListValue &b, QString *where)
{
    using Kind = PropertyListValue::Kind;
    if (a.kind() != b.kind()) {
        *where = QStringLiteral("kind %1 against %2").arg(int(a.kind())).arg(int(b.kind()));
        return false;
    }
    switch (a.kind()) {
    case Kind::None: return true;
    case Kind::Dictionary: {
        const PropertyListDictionary &x = a.dictionary(), &y = b.dictionary();
        if (x.keys() != y.keys()) {
            *where = QStringLiteral("dictionary keys differ");
            return false;
        }
        for (auto it = x.cbegin(), jt = y.cbegin(); it != x.cend(); ++it, ++jt) {
            if (!identical(it.value(), jt.value(), where)) {
                *where = it.key() + QStringLiteral(" / ") + *where;
                return false;
            }
        }
        return true;
    }
    case Kind::Array: {
        const PropertyListArray &x = a.array(), &y = b.array();
        if (x.size() != y.size()) {
            *where = QStringLiteral("array sizes differ");
            return false;
        }
        for (qsizetype i = 0; i < x.size(); ++i) {
            if (!identical(x[i], y[i], where)) {
                *where = QStringLiteral("[%1] / ").arg(i) + *where;
                return false;
            }
        }
        return true;
    }
    case Kind::Real: {
        const double x = a.real(), y = b.real();
        if (std::isnan(x) || std::isnan(y)) {
            if (std::isnan(x) && std::isnan(y))
                return true;
        } else if (x == y && std::signbit(x) == std::signbit(y)) {
            return true;
        }
        *where = QStringLiteral("real %1 against %2").arg(x).arg(y);
        return false;
    }
    case Kind::Date:
        if (a.date() == b.date() && a.date().timeSpec() == b.date().timeSpec())
            return true;
        *where = QStringLiteral("date %1 against %2")
                     .arg(a.date().toString(Qt::ISODateWithMs), b.date().toString(Qt::ISODateWithMs));
        return false;
    default:
        if (a == b)
            return true;
        *where = QStringLiteral("%1 against %2").arg(a.description(), b.description());
        return false;
    }
}

QByteArray fileContent(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return f.readAll();
}

const QByteArray declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
// A document-type line naming an external definition, as files in the wild have.
const QByteArray documentType = "<!DOCTYPE plist SYSTEM \"file://localhost/plist.dtd\">\n";

QByteArray plist(const QByteArray &body)
{
    return declaration + documentType + "<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

QByteArray nestedArrays(int depth)
{
    return plist(QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth));
}

// What both readers make of `bytes`, compared; the fast reader's verdict is
// returned in *fastAccepted.
bool readersAgree(const QByteArray &bytes, bool *fastAccepted, QString *why)
{
    QString strictError;
    const PropertyListValue strict =
        kv::plistdetail::readXmlPropertyListStrict(bytes, &strictError, QStringLiteral("doc"));
    const PropertyListValue fast = kv::plistdetail::readXmlPropertyListFast(bytes);
    *fastAccepted = !fast.isNone();
    if (fast.isNone())
        return true;
    if (strict.isNone()) {
        *why = QStringLiteral("the fast reader accepts what the strict one refuses: ") + strictError;
        return false;
    }
    QString where;
    if (!identical(fast, strict, &where)) {
        *why = QStringLiteral("values differ at ") + where;
        return false;
    }
    // Read with the members of a top-level dictionary made on first use:
    // the same verdict, the same depth before anything is made, the same
    // value once made.
    const PropertyListValue deferred = kv::plistdetail::readXmlPropertyListFast(bytes, true);
    if (deferred.isNone()) {
        *why = QStringLiteral("refused when members are made on first use");
        return false;
    }
    if (deferred.depth() != strict.depth()) {
        *why = QStringLiteral("depth %1 when members are made on first use, %2 read whole")
                   .arg(deferred.depth())
                   .arg(strict.depth());
        return false;
    }
    if (!identical(deferred, strict, &where)) {
        *why = QStringLiteral("made on first use, values differ at ") + where;
        return false;
    }
    return true;
}

// A random value as writePropertyListXml can write it: strings with markup,
// carriage returns, non-ASCII and astral characters, every kind of number,
// data, dates, nesting.
class ValueMaker
{
public:
    explicit ValueMaker(quint32 seed) : m_random(seed) {}

    PropertyListValue value(int depth)
    {
        const int kind = int(m_random.bounded(depth > 3 ? 7 : 9));
        switch (kind) {
        case 0: return PropertyListValue::fromString(text());
        case 1: return PropertyListValue::fromInteger(qint64(m_random.generate64()) >> m_random.bounded(64));
        case 2: return PropertyListValue::fromUnsignedInteger(m_random.generate64());
        case 3: return PropertyListValue::fromReal(real());
        case 4: return PropertyListValue::fromBoolean(m_random.bounded(2) == 1);
        case 5: {
            QByteArray data(int(m_random.bounded(80)), Qt::Uninitialized);
            for (char &c : data)
                c = char(m_random.bounded(256));
            return PropertyListValue::fromData(data);
        }
        case 6: {
            const qint64 seconds = qint64(m_random.bounded(3'000'000'000u)) - qint64(1'000'000'000);
            return PropertyListValue::fromDate(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC));
        }
        case 7: {
            PropertyListArray array;
            const int n = int(m_random.bounded(5));
            for (int i = 0; i < n; ++i)
                array.append(value(depth + 1));
            return PropertyListValue::fromArray(array);
        }
        default: {
            PropertyListDictionary dictionary;
            const int n = int(m_random.bounded(6));
            for (int i = 0; i < n; ++i)
                dictionary.insert(text(), value(depth + 1));
            return PropertyListValue::fromDictionary(dictionary);
        }
        }
    }

private:
    QString text()
    {
        static const QStringList pieces{
            QStringLiteral("a"),
            QStringLiteral("Key"),
            QStringLiteral(" "),
            QStringLiteral("<"),
            QStringLiteral(">"),
            QStringLiteral("&"),
            QStringLiteral("\""),
            QStringLiteral("'"),
            QStringLiteral("\r"),
            QStringLiteral("\r\n"),
            QStringLiteral("\n"),
            QStringLiteral("\t"),
            QStringLiteral("]]>"),
            QStringLiteral("]"),
            QStringLiteral("\u00e9"),
            QStringLiteral("\u65e5\u672c"),
            QStringLiteral("\U0001F600"),
            QStringLiteral("\u00a0"),
            QStringLiteral("\ufffd"),
            QStringLiteral("\uE000"),
            QStringLiteral("State:/Network/"),
            QStringLiteral("&amp;"),
            QStringLiteral("<!-- -->"),
            QStringLiteral("0"),
        };
        QString s;
        const int n = int(m_random.bounded(6));
        for (int i = 0; i < n; ++i)
            s += pieces[int(m_random.bounded(pieces.size()))];
        return s;
    }

    double real()
    {
        switch (m_random.bounded(6)) {
        case 0: return std::nan("");
        case 1: return m_random.bounded(2) ? HUGE_VAL : -HUGE_VAL;
        case 2: return m_random.bounded(2) ? 0.0 : -0.0;
        case 3: return double(qint64(m_random.generate64()) >> 40);
        default: {
            double d;
            do {
                const quint64 bits = m_random.generate64();
                std::memcpy(&d, &bits, sizeof d);
            } while (std::isnan(d));
            return d;
        }
        }
    }

    QRandomGenerator m_random;
};

} // namespace

class TestPropertyListXmlFast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void agreesWithStrictReader_data();
    void agreesWithStrictReader();
    void fixturesReadFast_data();
    void fixturesReadFast();
    void writtenValuesReadFast();
    void mutatedDocumentsAgree();
    void largeSnapshotReadsFast();
    void nestedKeysShared();
    void readPropertyListKeepsStrictErrors_data();
    void readPropertyListKeepsStrictErrors();
    void membersMadeOnFirstUse_data();
    void membersMadeOnFirstUse();
    void membersMadeOnFirstUseCompare();
};

void TestPropertyListXmlFast::agreesWithStrictReader_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("fast"); // whether the fast reader is to read it

    // Prologue forms.
    QTest::newRow("declaration and doctype") << plist("<string>x</string>") << true;
    QTest::newRow("no declaration, no doctype") << QByteArray("<plist><string>x</string></plist>") << true;
    QTest::newRow("declaration only") << declaration + "<plist version=\"1.0\"><true/></plist>" << true;
    QTest::newRow("declaration without encoding")
        << QByteArray("<?xml version=\"1.0\"?><plist><true/></plist>") << true;
    QTest::newRow("declaration, lower-case encoding")
        << QByteArray("<?xml version='1.0' encoding='utf-8'?><plist><true/></plist>") << true;
    QTest::newRow("declaration, standalone")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n<plist><true/></plist>") << true;
    QTest::newRow("declaration, version 1.1") << QByteArray("<?xml version=\"1.1\"?><plist><true/></plist>") << false;
    QTest::newRow("declaration, latin-1")
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>\xe9</string></plist>") << false;
    QTest::newRow("declaration after whitespace")
        << QByteArray(" <?xml version=\"1.0\"?><plist><true/></plist>") << false;
    QTest::newRow("whitespace before root") << QByteArray(" \n<plist><true/></plist>") << true;
    QTest::newRow("utf-8 bom") << QByteArray("\xef\xbb\xbf") + plist("<string>\xc3\xa9</string>") << true;
    QTest::newRow("utf-8 bom, no declaration")
        << QByteArray("\xef\xbb\xbf<plist><string>\xc3\xa9</string></plist>") << true;
    {
        QStringEncoder toUtf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
        const QByteArray utf16 = toUtf16(
            QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>\u00e9</string></plist>"));
        QTest::newRow("utf-16 document") << utf16 << false;
    }
    QTest::newRow("doctype without ids") << QByteArray("<!DOCTYPE plist><plist><true/></plist>") << true;
    QTest::newRow("doctype system") << QByteArray("<!DOCTYPE plist SYSTEM \"file.dtd\"><plist><true/></plist>") << true;
    QTest::newRow("doctype public") << QByteArray(
        "<!DOCTYPE plist PUBLIC \"-//Example//DTD PLIST 1.0//EN\" \"http://example.org/plist.dtd\">"
        "<plist><true/></plist>") << true;
    QTest::newRow("doctype with internal subset")
        << QByteArray("<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>") << false;
    QTest::newRow("doctype of another kind") << QByteArray("<!DOCTYPE html><plist><true/></plist>") << false;
    QTest::newRow("two doctypes") << QByteArray("<!DOCTYPE plist><!DOCTYPE plist><plist><true/></plist>") << false;
    QTest::newRow("comment before root") << QByteArray("<!-- hi --><plist><true/></plist>") << true;
    QTest::newRow("processing instruction") << QByteArray("<?foo bar?><plist><true/></plist>") << false;
    QTest::newRow("bare root") << QByteArray("<dict><key>a</key><false/></dict>") << false;
    QTest::newRow("plist with other attributes")
        << QByteArray("<plist version=\"1.0\" extra=\"x\"><true/></plist>") << false;
    QTest::newRow("plist version in single quotes") << QByteArray("<plist version='1.0'><true/></plist>") << false;

    // Text and references.
    QTest::newRow("predefined entities") << plist("<string>&lt;&gt;&amp;&quot;&apos;</string>") << true;
    QTest::newRow("character references")
        << plist("<string>&#x1F600;&#233;&#9;&#13;&#10;&#x41;&#0065;&#xe9;&#xE9;</string>") << true;
    QTest::newRow("reference with upper-case X") << plist("<string>&#X41;</string>") << false;
    QTest::newRow("reference to a surrogate") << plist("<string>&#xD83D;&#xDE00;</string>") << false;
    QTest::newRow("reference to nul") << plist("<string>&#0;</string>") << false;
    QTest::newRow("reference beyond unicode") << plist("<string>&#x110000;</string>") << false;
    QTest::newRow("reference to U+FFFE") << plist("<string>&#xFFFE;</string>") << false;
    QTest::newRow("reference without digits") << plist("<string>&#;</string>") << false;
    QTest::newRow("reference without semicolon") << plist("<string>&#65</string>") << false;
    QTest::newRow("undeclared entity") << plist("<string>&nbsp;</string>") << false;
    QTest::newRow("bare ampersand") << plist("<string>a & b</string>") << false;
    QTest::newRow("cdata") << plist("<string><![CDATA[<x> & ]]></string>") << false;
    QTest::newRow("cdata end in text") << plist("<string>a]]>b</string>") << false;
    QTest::newRow("brackets in text") << plist("<string>]] ] ]>] a[]</string>") << true;
    QTest::newRow("greater-than in text") << plist("<string>a > b</string>") << true;
    QTest::newRow("comment in text") << plist("<string>ab<!-- x -->cd</string>") << true;
    QTest::newRow("comment in integer") << plist("<integer>1<!-- x -->2</integer>") << true;
    QTest::newRow("empty comment") << plist("<!----><string>x</string>") << true;
    QTest::newRow("comment with double hyphen") << plist("<!-- a -- b --><string>x</string>") << false;
    QTest::newRow("comment ending in hyphen") << plist("<!-- a ---><string>x</string>") << false;
    QTest::newRow("unclosed comment") << plist("<!-- a <string>x</string>") << false;
    QTest::newRow("processing instruction in text") << plist("<string>a<?x y?>b</string>") << false;
    QTest::newRow("element in string") << plist("<string>a<b/>c</string>") << false;
    QTest::newRow("non-ASCII text") << plist("<string>caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80</string>")
                                    << true;
    QTest::newRow("non-ASCII key") << plist("<dict><key>\xf0\x9f\x9a\x80</key><true/></dict>") << true;
    QTest::newRow("byte order mark inside text") << plist("<string>\xef\xbb\xbfx</string>") << true;
    QTest::newRow("private use and replacement character")
        << plist("<string>\xee\x80\x80\xef\xbf\xbd</string>") << true;
    QTest::newRow("literal U+FFFF") << plist("<string>\xef\xbf\xbf</string>") << false;
    QTest::newRow("literal U+FDD0") << plist("<string>\xef\xb7\x90</string>") << false;
    QTest::newRow("literal C1 control") << plist("<string>\xc2\x85</string>") << false;
    QTest::newRow("literal DEL") << plist("<string>\x7f</string>") << false;
    QTest::newRow("control character") << plist("<string>\x01</string>") << false;
    QTest::newRow("nul byte") << plist(QByteArray("<string>a\0b</string>", 20)) << false;
    QTest::newRow("lone continuation byte") << plist("<string>\x80</string>") << false;
    QTest::newRow("overlong encoding") << plist("<string>\xc0\xaf</string>") << false;
    QTest::newRow("overlong three bytes") << plist("<string>\xe0\x80\xaf</string>") << false;
    QTest::newRow("encoded surrogate") << plist("<string>\xed\xa0\x80</string>") << false;
    QTest::newRow("beyond U+10FFFF") << plist("<string>\xf4\x90\x80\x80</string>") << false;
    QTest::newRow("truncated sequence") << plist("<string>\xe6\x97</string>") << false;
    QTest::newRow("latin-1 byte") << plist("<string>\xe9</string>") << false;

    // Line ends.
    QTest::newRow("CR LF in text") << plist("<string>a\r\nb</string>") << true;
    QTest::newRow("lone CR in text") << plist("<string>a\rb\r</string>") << true;
    QTest::newRow("CR CR LF in text") << plist("<string>a\r\r\nb</string>") << true;
    QTest::newRow("CR in key") << plist("<dict><key>a\r\nb</key><true/></dict>") << true;
    QTest::newRow("CR LF throughout") << QByteArray(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE plist>\r\n<plist version=\"1.0\">\r\n"
        "<dict>\r\n\t<key>a</key>\r\n\t<data>\r\n\tAAEC\r\n\t</data>\r\n</dict>\r\n</plist>\r\n")
                                      << true;
    QTest::newRow("CR reference and CR LF") << plist("<string>&#13;\r\n&#13;&#10;</string>") << true;

    // Scalars.
    QTest::newRow("empty elements") << plist(
        "<array><string/><string></string><dict/><dict></dict><array/><array></array><data/><data></data></array>")
                                    << true;
    QTest::newRow("whitespace-only string") << plist("<string> \t\n </string>") << true;
    QTest::newRow("integer with whitespace") << plist("<integer> 42\n\t</integer>") << true;
    QTest::newRow("integers") << plist(
        "<array><integer>-7</integer><integer>+12</integer><integer>-0</integer><integer>0x1F</integer>"
        "<integer>0XfF</integer><integer>18446744073709551615</integer>"
        "<integer>9223372036854775808</integer><integer>-9223372036854775808</integer>"
        "<integer>007</integer></array>")
                              << true;
    QTest::newRow("integers of 18 and 19 digits")
        << plist("<array><integer>999999999999999999</integer><integer>-999999999999999999</integer>"
                 "<integer>9223372036854775807</integer><integer>-9223372036854775807</integer>"
                 "<integer>0000000000000000001</integer><integer>-000000000000000000</integer>"
                 "<integer>1</integer><integer>-1</integer><integer>0</integer></array>")
        << true;
    QTest::newRow("integer of two minus signs") << plist("<integer>--1</integer>") << false;
    QTest::newRow("integer of a minus sign") << plist("<integer>-</integer>") << false;
    QTest::newRow("integer with inner space") << plist("<integer>1 2</integer>") << false;
    QTest::newRow("integer 2^64") << plist("<integer>18446744073709551616</integer>") << false;
    QTest::newRow("integer below int64 min") << plist("<integer>-9223372036854775809</integer>") << false;
    QTest::newRow("integer from a reference") << plist("<integer>&#49;2</integer>") << true;
    QTest::newRow("integer letters") << plist("<integer>12x</integer>") << false;
    QTest::newRow("empty integer") << plist("<integer/>") << false;
    QTest::newRow("reals") << plist(
        "<array><real>0.1</real><real>-0.0</real><real>1e400</real><real>1e-400</real><real>.5</real>"
        "<real>+2.5</real><real>nan</real><real>NaN</real><real>inf</real><real>-Infinity</real>"
        "<real>+infinity</real><real> 3 </real><real>1E+300</real><real>5e-324</real></array>")
                           << true;
    QTest::newRow("real hexadecimal") << plist("<real>0x1p3</real>") << false;
    QTest::newRow("real letters") << plist("<real>one</real>") << false;
    QTest::newRow("booleans") << plist("<array><true/><false/><true></true><false> \n</false></array>") << true;
    QTest::newRow("true holding text") << plist("<true>x</true>") << false;
    QTest::newRow("dates") << plist("<array><date>2024-02-29T13:45:30Z</date><date> 0001-01-01T00:00:00Z\n</date>"
                                    "<date>9999-12-31T23:59:59Z</date></array>")
                           << true;
    QTest::newRow("bad date") << plist("<date>2023-02-29T00:00:00Z</date>") << false;
    QTest::newRow("date with fraction") << plist("<date>2024-01-01T00:00:00.5Z</date>") << false;
    QTest::newRow("base64") << plist("<array><data>AAEC/v8=</data><data>\n\tAAEC\n\tAwQ=\n\t</data><data>AAECAwQ</data>"
                                     "<data>\r\nQQ==\r\n</data><data>QQ&#13;&#10;==</data></array>")
                            << true;
    QTest::newRow("bad base64") << plist("<data>A===</data>") << false;
    QTest::newRow("base64 padding inside") << plist("<data>QQ==QQ==</data>") << false;

    // Structure.
    QTest::newRow("keys out of order") << plist(
        "<dict><key>b</key><true/><key>a</key><false/><key>c</key><integer>1</integer></dict>")
                                       << true;
    QTest::newRow("repeated key") << plist("<dict><key>a</key><true/><key>a</key><false/></dict>") << false;
    QTest::newRow("repeated key, not adjacent")
        << plist("<dict><key>a</key><true/><key>c</key><true/><key>a</key><false/></dict>") << false;
    QTest::newRow("empty key") << plist("<dict><key/><string>v</string><key></key2></dict>") << false;
    QTest::newRow("empty key and value") << plist("<dict><key/><string>v</string></dict>") << true;
    QTest::newRow("key without value") << plist("<dict><key>a</key></dict>") << false;
    QTest::newRow("value without key") << plist("<dict><true/></dict>") << false;
    QTest::newRow("two keys") << plist("<dict><key>a</key><key>b</key><true/></dict>") << false;
    QTest::newRow("key in array") << plist("<array><key>a</key></array>") << false;
    QTest::newRow("text in dict") << plist("<dict>x<key>a</key><true/></dict>") << false;
    QTest::newRow("reference between elements") << plist("<array>&#32;<true/></array>") << false;
    QTest::newRow("comments between elements")
        << plist("<dict><!-- a --><key>a</key><!-- b --><true/><!-- c --></dict>") << true;
    QTest::newRow("unknown element") << plist("<array><foo/></array>") << false;
    QTest::newRow("element with attribute") << plist("<string a=\"b\">x</string>") << false;
    QTest::newRow("space in start tag") << plist("<string >x</string>") << false;
    QTest::newRow("space in end tag") << plist("<string>x</string >") << false;
    QTest::newRow("mismatched end tag") << plist("<string>x</integer>") << false;
    QTest::newRow("nested plist") << plist("<array><plist/></array>") << false;
    QTest::newRow("two values") << plist("<true/><false/>") << false;
    QTest::newRow("no value") << plist("") << false;
    QTest::newRow("trailing comment and space") << plist("<true/>") + "<!-- end -->\n\n" << true;
    QTest::newRow("trailing text") << plist("<true/>") + "x" << false;
    QTest::newRow("trailing element") << plist("<true/>") + "<plist/>" << false;
    QTest::newRow("truncated") << plist("<dict><key>a</key><string>b</string></dict>").chopped(12) << false;
    QTest::newRow("depth 512") << nestedArrays(512) << true;
    QTest::newRow("depth 512 with a scalar inside")
        << plist(QByteArray("<array>").repeated(511) + "<true/>" + QByteArray("</array>").repeated(511)) << true;
    QTest::newRow("depth 513") << nestedArrays(513) << false;
    QTest::newRow("depth 513 with a scalar inside")
        << plist(QByteArray("<array>").repeated(512) + "<true/>" + QByteArray("</array>").repeated(512)) << false;
    QTest::newRow("deep dictionaries") << plist(QByteArray("<dict><key>k</key>").repeated(300) + "<string>v</string>"
                                                + QByteArray("</dict>").repeated(300))
                                       << true;
    // More nested keys than the reader keeps to share: keys meet in its
    // slots, and each must still be its own.
    QByteArray manyKeys = "<dict>";
    for (int i = 0; i < 300; ++i)
        manyKeys += "<key>k" + QByteArray::number(i) + "</key><integer>" + QByteArray::number(i) + "</integer>";
    manyKeys += "</dict>";
    QTest::newRow("many nested keys, twice") << plist("<array>" + manyKeys + manyKeys + "</array>") << true;
    // A top level of more entries than are put in the dictionary at once:
    // keys out of order and repeated across those batches.
    const auto topLevel = [](int extraAt, const QByteArray &extraKey) {
        QByteArray entries = "<dict>";
        for (int i = 0; i < 2500; ++i) {
            const QByteArray key = i == extraAt ? extraKey : "k" + QByteArray::number(i).rightJustified(4, '0');
            entries += "<key>" + key + "</key><array><integer>" + QByteArray::number(i) + "</integer></array>";
        }
        return plist(entries + "</dict>");
    };
    QTest::newRow("large top level") << topLevel(-1, {}) << true;
    QTest::newRow("large top level, a key out of order") << topLevel(2100, "a") << true;
    QTest::newRow("large top level, a key repeated") << topLevel(2100, "k0010") << false;
    QTest::newRow("large top level, the last key repeated") << topLevel(2499, "k2498") << false;
}

void TestPropertyListXmlFast::agreesWithStrictReader()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, fast);
    bool accepted = false;
    QString why;
    QVERIFY2(readersAgree(document, &accepted, &why), qPrintable(why));
    QCOMPARE(accepted, fast);
    // Through the reader that chooses: the strict reader's value or error.
    QString strictError, error;
    const PropertyListValue strict =
        kv::plistdetail::readXmlPropertyListStrict(document, &strictError, QStringLiteral("doc"));
    const PropertyListValue chosen = kv::plistdetail::readXmlPropertyList(document, &error, QStringLiteral("doc"));
    QVERIFY(identical(chosen, strict, &why));
    QCOMPARE(error, strictError);
}

// A key repeated in nested dictionaries is made once and shared.
void TestPropertyListXmlFast::nestedKeysShared()
{
    const QByteArray entry = "<dict><key>Name</key><true/><key>MTU</key><integer>1</integer></dict>";
    const PropertyListValue value =
        kv::plistdetail::readXmlPropertyListFast(plist("<array>" + entry + entry + "</array>"));
    QCOMPARE(value.array().size(), 2);
    const QStringList first = value.array().at(0).dictionary().keys();
    const QStringList second = value.array().at(1).dictionary().keys();
    QCOMPARE(first, (QStringList{"MTU", "Name"}));
    QCOMPARE(second, first);
    for (qsizetype i = 0; i < first.size(); ++i)
        QCOMPARE(second.at(i).constData(), first.at(i).constData());
}

void TestPropertyListXmlFast::fixturesReadFast_data()
{
    QTest::addColumn<QString>("path");
    const QStringList folders{QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist"),
                              QStringLiteral(KEYVANE_TEST_DATA_DIR "/store"),
                              QStringLiteral(KEYVANE_SOURCE_DIR "/fuzz/corpus/plist_xml")};
    for (const QString &folder : folders) {
        const QDir dir(folder);
        for (const QString &name : dir.entryList({QStringLiteral("*.xml"), QStringLiteral("*.plist")}, QDir::Files))
            QTest::newRow(qPrintable(dir.dirName() + QLatin1Char('/') + name)) << dir.filePath(name);
    }
}

// Every committed XML fixture that the strict reader reads is read by the
// fast one too, to the same value (the malformed one is read by neither).
void TestPropertyListXmlFast::fixturesReadFast()
{
    QFETCH(QString, path);
    const QByteArray bytes = fileContent(path);
    QString error;
    const PropertyListValue strict = kv::plistdetail::readXmlPropertyListStrict(bytes, &error, path);
    bool accepted = false;
    QString why;
    QVERIFY2(readersAgree(bytes, &accepted, &why), qPrintable(why));
    QCOMPARE(accepted, !strict.isNone());
}

// Values of every kind as this program writes them are all read by the
// fast reader, to the value written.
void TestPropertyListXmlFast::writtenValuesReadFast()
{
    ValueMaker maker(20261208);
    int written = 0;
    for (int i = 0; i < 400; ++i) {
        const PropertyListValue value = maker.value(0);
        QString error;
        const QByteArray bytes = kv::writePropertyListXml(value, &error);
        if (bytes.isEmpty())
            continue; // a string the writer cannot carry
        ++written;
        bool accepted = false;
        QString why;
        QVERIFY2(readersAgree(bytes, &accepted, &why), qPrintable(QString::number(i) + QLatin1String(": ") + why));
        QVERIFY2(accepted, bytes.left(400).constData());
        const PropertyListValue fast = kv::plistdetail::readXmlPropertyListFast(bytes);
        QVERIFY2(fast == value, qPrintable(value.description().left(400)));
        // The same value as a member of a snapshot-like dictionary, whose
        // containers are made on first use when asked.
        const PropertyListValue wrapped = PropertyListValue::fromDictionary(
            {{QStringLiteral("State:/A"), value},
             {QStringLiteral("State:/B"), PropertyListValue::fromArray({value, value})}});
        const QByteArray wrappedBytes = kv::writePropertyListXml(wrapped, &error);
        QVERIFY2(readersAgree(wrappedBytes, &accepted, &why),
                 qPrintable(QString::number(i) + QLatin1String(": ") + why));
        QVERIFY(accepted);
        QVERIFY(kv::plistdetail::readXmlPropertyListFast(wrappedBytes, true) == wrapped);
    }
    QVERIFY(written > 300);
}

// Documents damaged at random (bytes replaced, removed, repeated, markup
// inserted): whenever the fast reader still accepts one, the strict reader
// reads the same value.
void TestPropertyListXmlFast::mutatedDocumentsAgree()
{
    QList<QByteArray> seeds;
    for (const QString &name :
         {QStringLiteral("scalars.xml"), QStringLiteral("unicode.xml"), QStringLiteral("nested.xml")})
        seeds.append(fileContent(QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist/") + name));
    seeds.append(plist("<dict><key>a&amp;b</key><string>x&#x1F600;\r\ny</string><key>d</key><data>QQ==</data>"
                       "<key>n</key><array><integer>1</integer><real>2.5</real><date>2001-01-01T00:00:00Z</date>"
                       "<true/><false/><string/><dict/></array></dict>"));
    seeds.append(plist("<dict><key>A</key><dict><key>Addresses</key><array><string>10.0.0.1</string></array>"
                       "<key>B</key><dict><key>x</key><integer>-1</integer><key>y</key><real>1e3</real></dict>"
                       "<key>Z\xc3\xa9</key><data>AAEC</data></dict>"
                       "<key>B</key><array><dict><key>b</key><true/><key>a</key><false/></dict><array/>"
                       "<date>2020-02-29T12:00:00Z</date></array>"
                       "<key>C</key><dict><key>a&amp;</key><string>1</string><key>a</key><string>2</string></dict>"
                       "<key>D</key><dict><key>a</key><array><integer>1</integer><string>x &lt; y</string></array>"
                       "<key>b</key><dict/></dict></dict>"));
    static const QList<QByteArray> fragments{"<",
                                             ">",
                                             "/",
                                             "&",
                                             ";",
                                             "#",
                                             "x",
                                             "]",
                                             "!",
                                             "-",
                                             "?",
                                             "=",
                                             "\"",
                                             "'",
                                             " ",
                                             "\t",
                                             "\r",
                                             "\n",
                                             "\r\n",
                                             "\x80",
                                             "\xc3",
                                             "\xef\xbf\xbe",
                                             "\xf0\x9f\x98\x80",
                                             "\x00",
                                             "\x7f",
                                             "<!--",
                                             "-->",
                                             "&amp;",
                                             "&#x1F600;",
                                             "&#13;",
                                             "<![CDATA[",
                                             "]]>",
                                             "<dict>",
                                             "</dict>",
                                             "<key>a</key>",
                                             "<string>",
                                             "</string>",
                                             "<true/>",
                                             "<array/>",
                                             "<?x?>",
                                             "0x",
                                             "-",
                                             "e5",
                                             "=",
                                             "Z"};
    QRandomGenerator random(4242);
    int accepted = 0, total = 0;
    for (int round = 0; round < 8000; ++round) {
        QByteArray doc = seeds[int(random.bounded(seeds.size()))];
        const int edits = random.bounded(3) == 0 ? 2 : 1;
        for (int e = 0; e < edits && !doc.isEmpty(); ++e) {
            const qsizetype at = qsizetype(random.bounded(quint32(doc.size())));
            switch (random.bounded(4)) {
            case 0: doc[at] = char(random.bounded(256)); break;
            case 1: doc.remove(at, 1 + qsizetype(random.bounded(8))); break;
            case 2: doc.insert(at, doc.mid(at, 1 + qsizetype(random.bounded(16)))); break;
            default: doc.insert(at, fragments[int(random.bounded(fragments.size()))]); break;
            }
        }
        bool fast = false;
        QString why;
        QVERIFY2(
            readersAgree(doc, &fast, &why),
            qPrintable(why + QLatin1String("\n") + QString::fromLatin1(doc.toPercentEncoding(" <>/=\"'\n\t!?-:#;&"))));
        accepted += fast;
        ++total;
    }
    // Many edits land in text or whitespace, so a good part of the damaged
    // documents stays readable: the comparison above did cover accepted ones.
    qInfo("%d of %d damaged documents read by the fast reader", accepted, total);
    QVERIFY2(accepted > total / 20, qPrintable(QStringLiteral("%1 of %2").arg(accepted).arg(total)));
}

// The start-up case: a large snapshot as this program writes it.
void TestPropertyListXmlFast::largeSnapshotReadsFast()
{
    PropertyListDictionary contents;
    for (int i = 0; i < 3000; ++i) {
        PropertyListDictionary value;
        value.insert(QStringLiteral("Addresses"), PropertyListValue::fromArray({PropertyListValue::fromString(
                                                      QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256))}));
        value.insert(QStringLiteral("Index"), PropertyListValue::fromInteger(i));
        value.insert(QStringLiteral("Name \u00e9"), PropertyListValue::fromString(QStringLiteral("en%1 <&>").arg(i)));
        contents.insert(QStringLiteral("State:/Network/Service/%1/IPv4").arg(i, 6, 10, QLatin1Char('0')),
                        PropertyListValue::fromDictionary(value));
    }
    const PropertyListValue value = PropertyListValue::fromDictionary(contents);
    QString error;
    const QByteArray bytes = kv::writePropertyListXml(value, &error);
    QVERIFY2(!bytes.isEmpty(), qPrintable(error));
    bool accepted = false;
    QString why;
    QVERIFY2(readersAgree(bytes, &accepted, &why), qPrintable(why));
    QVERIFY(accepted);
    QVERIFY(kv::plistdetail::readXmlPropertyListFast(bytes) == value);
}

void TestPropertyListXmlFast::readPropertyListKeepsStrictErrors_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("error");
    QTest::newRow("repeated key") << plist("<dict><key>a</key><true/><key>a</key><false/></dict>")
                                  << "doc: line 4, column 30: the key \"a\" appears twice in one <dict>";
    QTest::newRow("bad integer") << plist("<integer>12x</integer>")
                                 << "doc: line 4, column 9: <integer> holds \"12x\", which is not an integer from "
                                    "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("too deep") << nestedArrays(513)
                              << "doc: line 4, column 3591: values are nested deeper than 512 levels";
    QTest::newRow("undeclared entity") << QByteArray("<plist><string>&nbsp;</string></plist>")
                                       << "doc: line 1, column 21: malformed XML: Entity 'nbsp' not declared.";
}

// Documents the fast reader gives up on get the strict reader's error.
void TestPropertyListXmlFast::readPropertyListKeepsStrictErrors()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, error);
    QVERIFY(kv::plistdetail::readXmlPropertyListFast(document).isNone());
    QString message;
    QVERIFY(kv::readPropertyList(document, &message, QStringLiteral("doc")).isNone());
    QCOMPARE(message, error);
}

void TestPropertyListXmlFast::membersMadeOnFirstUse_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("error"); // when refused; empty: compared with the whole read only
    // The dictionary is the first level.
    const QByteArray deep = QByteArray("<array>").repeated(511) + QByteArray("</array>").repeated(511);
    const QByteArray tooDeep = QByteArray("<array>").repeated(512) + QByteArray("</array>").repeated(512);
    QTest::newRow("snapshot-like") << plist("<dict><key>State:/A</key><dict><key>Addresses</key><array><string>"
                                            "10.0.0.1</string></array><key>Index</key><integer>1</integer></dict>"
                                            "<key>State:/B</key><array><true/><dict/><array/></array></dict>")
                                   << QString();
    QTest::newRow("scalars and empty containers beside")
        << plist("<dict><key>a</key><string>x</string><key>b</key>"
                 "<dict/><key>c</key><array></array><key>d</key>"
                 "<dict><key>e</key><integer>7</integer></dict></dict>")
        << QString();
    QTest::newRow("unsorted keys inside") << plist("<dict><key>k</key><dict><key>b</key><true/><key>a</key><false/>"
                                                   "<key>c</key><dict><key>z</key><true/><key>y</key><true/></dict>"
                                                   "</dict></dict>")
                                          << QString();
    QTest::newRow("keys with references and non-ASCII inside")
        << plist("<dict><key>k</key><dict><key>a&lt;</key><true/><key>\xc3\xa9</key><false/><key>&#x41;</key>"
                 "<true/></dict></dict>")
        << QString();
    QTest::newRow("empty keys inside") << plist("<dict><key>k</key><dict><key/><true/><key>a</key><true/></dict>"
                                                "<key>l</key><dict><key></key><true/></dict></dict>")
                                       << QString();
    QTest::newRow("deepest allowed member") << plist("<dict><key>k</key>" + deep + "</dict>") << QString();
    QTest::newRow("repeated key inside") << plist("<dict><key>k</key><dict><key>a</key><true/><key>a</key><false/>"
                                                  "</dict></dict>")
                                         << "doc: line 4, column 48: the key \"a\" appears twice in one <dict>";
    QTest::newRow("repeated key after a nested one")
        << plist("<dict><key>k</key><dict><key>a</key><dict><key>b</key><true/></dict><key>a</key><true/>"
                 "</dict></dict>")
        << "doc: line 4, column 73: the key \"a\" appears twice in one <dict>";
    QTest::newRow("bad integer deep inside") << plist("<dict><key>k</key><array><array><integer>1x</integer>"
                                                      "</array></array></dict>")
                                             << "doc: line 4, column 41: <integer> holds \"1x\", which is not an "
                                                "integer from -9223372036854775808 to 18446744073709551615";
    QTest::newRow("bad base64 inside") << plist("<dict><key>k</key><dict><key>d</key><data>A=A=</data></dict></dict>")
                                       << "doc: line 4, column 42: <data> holds \"A=A=\", which is not valid base64";
    QTest::newRow("member nested too deep") << plist("<dict><key>k</key>" + tooDeep + "</dict>")
                                            << "doc: line 4, column 3602: values are nested deeper than 512 levels";
    QTest::newRow("unclosed member") << plist("<dict><key>k</key><dict><key>a</key><true/></dict>") << QString();
}

// A document read with the members of its top-level dictionary made on first
// use is refused exactly when, and with the error, it is refused read whole;
// when read, it is the same value at every level, with the same depth known
// before anything is made.
void TestPropertyListXmlFast::membersMadeOnFirstUse()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, error);
    QString wholeError, deferredError;
    const PropertyListValue whole = kv::readPropertyList(document, &wholeError, QStringLiteral("doc"));
    const PropertyListValue deferred =
        kv::readPropertyList(document, &deferredError, QStringLiteral("doc"), kv::PropertyListReading::TopLevelOnUse);
    if (!error.isEmpty())
        QCOMPARE(wholeError, error);
    QCOMPARE(deferredError, wholeError);
    QCOMPARE(deferred.isNone(), whole.isNone());
    if (whole.isNone())
        return;
    QCOMPARE(deferred.depth(), whole.depth());
    QString where;
    QVERIFY2(identical(deferred, whole, &where), qPrintable(where));
    QCOMPARE(deferred.description(), whole.description());
    QCOMPARE(kv::writePropertyListXml(deferred, &where), kv::writePropertyListXml(whole, &where));
}

// Members made on first use compare as the values they stand for: with each
// other before either is made, with values read whole, and after being made.
void TestPropertyListXmlFast::membersMadeOnFirstUseCompare()
{
    const QByteArray first = plist("<dict><key>a</key><dict><key>x</key><integer>1</integer></dict>"
                                   "<key>b</key><dict><key>x</key><integer>1</integer></dict>"
                                   "<key>c</key><dict><key>x</key><integer>01</integer></dict>"
                                   "<key>d</key><dict><key>x</key><integer>2</integer></dict>"
                                   "<key>e</key><array><integer>1</integer></array></dict>");
    // Made twice from the same bytes, and once from bytes elsewhere.
    const auto read = [](const QByteArray &bytes) {
        return kv::readPropertyList(bytes, nullptr, QString(), kv::PropertyListReading::TopLevelOnUse);
    };
    const PropertyListValue one = read(first), two = read(first), whole = kv::readPropertyList(first, nullptr);
    const QByteArray shifted = plist("<dict><key>a</key>\n  <dict><key>x</key><integer>1</integer></dict>\n</dict>");
    const PropertyListValue three = read(shifted);
    for (const QString &key : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
        QVERIFY2(one.value(key) == two.value(QStringLiteral("a")), qPrintable(key));
        QVERIFY2(one.value(key) == three.value(QStringLiteral("a")), qPrintable(key));
        QVERIFY2(whole.value(key) == one.value(key), qPrintable(key));
        QVERIFY2(one.value(key) == whole.value(key), qPrintable(key));
    }
    QVERIFY(one.value(QStringLiteral("d")) != two.value(QStringLiteral("a")));
    QVERIFY(one.value(QStringLiteral("d")) != whole.value(QStringLiteral("c")));
    // A dictionary and an array holding the same text never compare equal.
    QVERIFY(one.value(QStringLiteral("e")) != two.value(QStringLiteral("a")));
    QCOMPARE(one.value(QStringLiteral("e")).typeName(), QStringLiteral("Array"));
    QCOMPARE(one.value(QStringLiteral("a")).typeName(), QStringLiteral("Dictionary"));
    // Made, a value is still the same value and the same shared data.
    const PropertyListValue member = one.value(QStringLiteral("d"));
    const void *identity = member.identity();
    member.read();
    QCOMPARE(member.identity(), identity);
    QCOMPARE(member.value(QStringLiteral("x")).integer(), 2);
    QCOMPARE(one.value(QStringLiteral("d")).count(), 1);
    QVERIFY(member == two.value(QStringLiteral("d")));
    // The bytes read stay with the values: the caller's array can go.
    PropertyListValue kept;
    {
        QByteArray transient = first;
        transient.detach();
        kept = read(transient).value(QStringLiteral("d"));
        transient.fill('x');
    }
    QCOMPARE(kept.value(QStringLiteral("x")).integer(), 2);
    // A document over bytes it does not own is read from a copy of them.
    QByteArray owner = first;
    owner.detach();
    PropertyListValue raw = read(QByteArray::fromRawData(owner.constData(), owner.size())).value(QStringLiteral("d"));
    owner.fill('x');
    QCOMPARE(raw.value(QStringLiteral("x")).integer(), 2);
}

QTEST_MAIN(TestPropertyListXmlFast)
#include "tst_propertylistxmlfast.moc"
