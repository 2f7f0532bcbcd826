// XML property lists: the writer's layout and escaping, round trips of every
// kind, refusals, the strict reader on malformed and hostile input, agreement
// with Python's plistlib, and atomic file writing.

#include "platform/plist/PropertyListFile.h"
#include "tests/PlistTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <unistd.h>

using kv::PropertyListArray;
using kv::PropertyListDictionary;
using kv::PropertyListValue;

Q_DECLARE_METATYPE(kv::PropertyListValue)

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}
PropertyListValue num(qint64 v)
{
    return PropertyListValue::fromInteger(v);
}
PropertyListValue real(double v)
{
    return PropertyListValue::fromReal(v);
}

PropertyListValue dict(std::initializer_list<std::pair<QString, PropertyListValue>> entries)
{
    PropertyListDictionary d;
    for (const auto &[k, v] : entries)
        d.insert(k, v);
    return PropertyListValue::fromDictionary(d);
}

PropertyListValue arr(std::initializer_list<PropertyListValue> items)
{
    return PropertyListValue::fromArray(PropertyListArray(items));
}

PropertyListValue date(int y, int mo, int d, int h, int mi, int s)
{
    return PropertyListValue::fromDate(QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC));
}

// Nested arrays: `depth` levels, the innermost one empty.
QByteArray nestedArrays(int depth)
{
    return "<plist><array>" + QByteArray("<array>").repeated(depth - 1) + QByteArray("</array>").repeated(depth - 1)
           + "</array></plist>";
}

QByteArray plist(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

const QByteArray prologue = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<plist version=\"1.0\">\n";
// The same with a document-type line naming an external definition.
const QByteArray externalDoctypePrologue = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                           "<!DOCTYPE plist SYSTEM \"file://localhost/plist.dtd\">\n"
                                           "<plist version=\"1.0\">\n";

QByteArray fileContent(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

bool writeContent(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A value touching every kind, for round trips and agreement checks.
PropertyListValue everyKind()
{
    return dict({
        {"string", str("hello <world> & \"friends\"")},
        {"empty string", str("")},
        {"unicode \u00e9\u65e5", str("\U0001F600 astral and \u00fc")},
        {"\U0001F680", str("astral key")},
        {"int", num(42)},
        {"negative", num(-17)},
        {"int64 min", num(std::numeric_limits<qint64>::min())},
        {"int64 max", num(std::numeric_limits<qint64>::max())},
        {"uint64 max", PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max())},
        {"2^63", PropertyListValue::fromUnsignedInteger(quint64(1) << 63)},
        {"real", real(0.1)},
        {"negative zero", real(-0.0)},
        {"big", real(1e300)},
        {"small", real(-2.5e-308)},
        {"denormal", real(5e-324)},
        {"third", real(1.0 / 3.0)},
        {"integral real", real(3.0)},
        {"true", PropertyListValue::fromBoolean(true)},
        {"false", PropertyListValue::fromBoolean(false)},
        {"data", PropertyListValue::fromData(QByteArray::fromHex("00ff10203040506070"))},
        {"long data", PropertyListValue::fromData(QByteArray(200, '\x5a'))},
        {"empty data", PropertyListValue::fromData(QByteArray())},
        {"date", date(2024, 2, 29, 13, 45, 30)},
        {"old date", date(1, 1, 1, 0, 0, 0)},
        {"far date", date(9999, 12, 31, 23, 59, 59)},
        {"array", arr({num(1), str("two"), arr({}), dict({})})},
        {"nested", dict({{"deeper", dict({{"deepest", arr({arr({PropertyListValue::fromBoolean(false)})})}})}})},
        {"whitespace", str("  tab\tnewline\n  trailing  ")},
    });
}

} // namespace

class TestPropertyListXml : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writeLayout();
    void writeScalarsAndEmpties();
    void writeDataWrapsLines();
    void roundTrip_data();
    void roundTrip();
    void roundTripEveryKindExactly();
    void roundTripSpecialReals_data();
    void roundTripSpecialReals();
    void carriageReturnsSurvive();
    void escapesMarkup();
    void refusesUncarriableCharacters_data();
    void refusesUncarriableCharacters();
    void refusesOtherUnwritableValues_data();
    void refusesOtherUnwritableValues();
    void readAccepts_data();
    void readAccepts();
    void readRejects_data();
    void readRejects();
    void errorNamesSourceAndPosition();
    void depthLimit();
    void truncatedDocumentsFail();
    void largeInputs();
    void plistlibReadsWhatWeWrite_data();
    void plistlibReadsWhatWeWrite();
    void weReadWhatPlistlibWrites_data();
    void weReadWhatPlistlibWrites();
    void plistlibFixtures_data();
    void plistlibFixtures();
    void writeFileReplacesWhole();
    void writeFileCreatesNew();
    void writeFileOntoDirectoryFails();
    void writeFileIntoMissingDirectoryFails();
    void writeFileIntoReadOnlyDirectoryFails();
    void unwritableValueLeavesFileUntouched();
    void readFileErrors();
};

void TestPropertyListXml::writeLayout()
{
    const PropertyListValue value =
        dict({{"b", arr({num(1), str("x")})}, {"a", dict({{"k", PropertyListValue::fromBoolean(true)}})}});
    QString error;
    const QByteArray text = kv::writePropertyListXml(value, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(text, prologue
                       + "<dict>\n"
                         "\t<key>a</key>\n"
                         "\t<dict>\n"
                         "\t\t<key>k</key>\n"
                         "\t\t<true/>\n"
                         "\t</dict>\n"
                         "\t<key>b</key>\n"
                         "\t<array>\n"
                         "\t\t<integer>1</integer>\n"
                         "\t\t<string>x</string>\n"
                         "\t</array>\n"
                         "</dict>\n"
                         "</plist>\n");
}

void TestPropertyListXml::writeScalarsAndEmpties()
{
    QString error;
    QCOMPARE(kv::writePropertyListXml(str("top"), &error), prologue + "<string>top</string>\n</plist>\n");
    QCOMPARE(kv::writePropertyListXml(arr({}), &error), prologue + "<array/>\n</plist>\n");
    QCOMPARE(kv::writePropertyListXml(dict({{"e", dict({})}, {"s", str("")}, {"d", PropertyListValue::fromData({})}}),
                                      &error),
             prologue
                 + "<dict>\n\t<key>d</key>\n\t<data></data>\n\t<key>e</key>\n\t<dict/>\n\t<key>s</key>\n"
                   "\t<string></string>\n</dict>\n</plist>\n");
    QCOMPARE(kv::writePropertyListXml(date(2001, 2, 3, 4, 5, 6), &error),
             prologue + "<date>2001-02-03T04:05:06Z</date>\n</plist>\n");
    QCOMPARE(kv::writePropertyListXml(real(0.1), &error), prologue + "<real>0.1</real>\n</plist>\n");
    QCOMPARE(kv::writePropertyListXml(real(-1e300), &error), prologue + "<real>-1e+300</real>\n</plist>\n");
    QCOMPARE(
        kv::writePropertyListXml(PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max()), &error),
        prologue + "<integer>18446744073709551615</integer>\n</plist>\n");
    QCOMPARE(kv::writePropertyListXml(num(std::numeric_limits<qint64>::min()), &error),
             prologue + "<integer>-9223372036854775808</integer>\n</plist>\n");
    QVERIFY(error.isEmpty());
}

void TestPropertyListXml::writeDataWrapsLines()
{
    QString error;
    const QByteArray bytes(100, '\x01');
    const QByteArray text = kv::writePropertyListXml(arr({PropertyListValue::fromData(bytes)}), &error);
    const QByteArray b64 = bytes.toBase64();
    QCOMPARE(text, prologue + "<array>\n\t<data>\n\t" + b64.left(68) + "\n\t" + b64.mid(68)
                       + "\n\t</data>\n</array>\n</plist>\n");
}

void TestPropertyListXml::roundTrip_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::newRow("string") << str("plain");
    QTest::newRow("empty string") << str("");
    QTest::newRow("spaces only") << str("   ");
    QTest::newRow("astral") << str("\U0001F600\U00010348");
    QTest::newRow("markup") << str("<a href=\"x\">&amp;</a> ]]> <![CDATA[");
    QTest::newRow("integer zero") << num(0);
    QTest::newRow("int64 min") << num(std::numeric_limits<qint64>::min());
    QTest::newRow("int64 max") << num(std::numeric_limits<qint64>::max());
    QTest::newRow("uint64 max") << PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max());
    QTest::newRow("real 0.1") << real(0.1);
    QTest::newRow("real 1e300") << real(1e300);
    QTest::newRow("real max") << real(std::numeric_limits<double>::max());
    QTest::newRow("real min normal") << real(std::numeric_limits<double>::min());
    QTest::newRow("real 123456789.125") << real(123456789.125);
    QTest::newRow("true") << PropertyListValue::fromBoolean(true);
    QTest::newRow("false") << PropertyListValue::fromBoolean(false);
    QTest::newRow("data") << PropertyListValue::fromData(QByteArray::fromHex("deadbeef00"));
    QTest::newRow("data 1 byte") << PropertyListValue::fromData("x");
    QTest::newRow("data 2 bytes") << PropertyListValue::fromData("xy");
    QTest::newRow("empty data") << PropertyListValue::fromData(QByteArray());
    QTest::newRow("date") << date(1999, 12, 31, 23, 59, 59);
    QTest::newRow("empty array") << arr({});
    QTest::newRow("empty dict") << dict({});
    QTest::newRow("dict order") << dict({{"b", num(1)}, {"B", num(2)}, {"a/c", num(3)}, {"a", num(4)}});
    QTest::newRow("unicode keys") << dict({{"\U0001F600", num(1)}, {"\uE000", num(2)}, {"\u00e9", num(3)}});
    QTest::newRow("every kind") << everyKind();
}

void TestPropertyListXml::roundTrip()
{
    QFETCH(PropertyListValue, value);
    QString error;
    const QByteArray text = kv::writePropertyListXml(value, &error);
    QVERIFY2(!text.isEmpty(), qPrintable(error));
    const PropertyListValue back = kv::readPropertyList(text, &error, "test");
    QVERIFY2(!back.isNone(), qPrintable(error));
    QCOMPARE(back, value);
    QCOMPARE(plisttest::canonical(back), plisttest::canonical(value));
}

void TestPropertyListXml::roundTripEveryKindExactly()
{
    // Canonical text compares reals bit for bit (so -0.0 is told from 0.0).
    const PropertyListValue value = everyKind();
    QString error;
    const PropertyListValue back = kv::readPropertyList(kv::writePropertyListXml(value, &error), &error);
    QCOMPARE(plisttest::canonical(back), plisttest::canonical(value));
    QVERIFY(std::signbit(back.value("negative zero").real()));
    QVERIFY(back.value("uint64 max").isUnsignedInteger());
    QCOMPARE(back.value("uint64 max").unsignedInteger(), std::numeric_limits<quint64>::max());
}

void TestPropertyListXml::roundTripSpecialReals_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("nan") << std::nan("") << QByteArray("nan");
    QTest::newRow("+inf") << HUGE_VAL << QByteArray("+infinity");
    QTest::newRow("-inf") << -HUGE_VAL << QByteArray("-infinity");
    QTest::newRow("-0") << -0.0 << QByteArray("-0.0");
    QTest::newRow("0") << 0.0 << QByteArray("0");
}

void TestPropertyListXml::roundTripSpecialReals()
{
    QFETCH(double, value);
    QFETCH(QByteArray, text);
    QString error;
    const QByteArray xml = kv::writePropertyListXml(real(value), &error);
    QVERIFY(xml.contains("<real>" + text + "</real>"));
    const PropertyListValue back = kv::readPropertyList(xml, &error);
    QVERIFY2(back.kind() == PropertyListValue::Kind::Real, qPrintable(error));
    QCOMPARE(plisttest::canonical(back), plisttest::canonical(real(value)));
}

void TestPropertyListXml::carriageReturnsSurvive()
{
    // A raw CR in XML text reads back as a newline; the writer uses &#13;.
    const PropertyListValue value = dict({{"line\r\nend", str("a\rb\r\nc")}});
    QString error;
    const QByteArray text = kv::writePropertyListXml(value, &error);
    QVERIFY(!text.contains('\r'));
    QVERIFY(text.contains("a&#13;b&#13;\nc"));
    QCOMPARE(kv::readPropertyList(text, &error), value);
}

void TestPropertyListXml::escapesMarkup()
{
    QString error;
    const QByteArray text = kv::writePropertyListXml(dict({{"<k&>", str("x < y && y > z")}}), &error);
    QVERIFY(text.contains("<key>&lt;k&amp;&gt;</key>"));
    QVERIFY(text.contains("<string>x &lt; y &amp;&amp; y &gt; z</string>"));
}

void TestPropertyListXml::refusesUncarriableCharacters_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QString>("error");

    QTest::newRow("control in nested value")
        << dict({{"State:/Foo", dict({{"Bar", str(QString("x") + QChar(1) + "y")}})}})
        << "value at \"State:/Foo\" / \"Bar\" holds a character that XML cannot carry (U+0001)";
    QTest::newRow("nul at top") << str(QString(QChar(0)))
                                << "value at the top level holds a character that XML cannot carry (U+0000)";
    QTest::newRow("control in key")
        << dict({{"State:/Foo", dict({{QString("B") + QChar(0x1f), str("ok")}})}})
        << "key at \"State:/Foo\" / \"B\\u001F\" holds a character that XML cannot carry (U+001F)";
    QTest::newRow("in array") << dict({{"list", arr({str("fine"), str(QString(QChar(0xFFFE)))})}})
                              << "value at \"list\" / [1] holds a character that XML cannot carry (U+FFFE)";
    QTest::newRow("U+FFFF") << arr({str(QString(QChar(0xFFFF)))})
                            << "value at [0] holds a character that XML cannot carry (U+FFFF)";
    QTest::newRow("lone high surrogate") << arr({str(QString("a") + QChar(0xD83D))})
                                         << "value at [0] holds a character that XML cannot carry (U+D83D)";
    QTest::newRow("lone low surrogate") << arr({str(QString(QChar(0xDE00)) + "a")})
                                        << "value at [0] holds a character that XML cannot carry (U+DE00)";
    QTest::newRow("reversed surrogates") << arr({str(QString(QChar(0xDE00)) + QChar(0xD83D))})
                                         << "value at [0] holds a character that XML cannot carry (U+DE00)";
    QTest::newRow("escape char") << dict({{"k", str("\x1b[0m")}})
                                 << "value at \"k\" holds a character that XML cannot carry (U+001B)";
}

void TestPropertyListXml::refusesUncarriableCharacters()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QString, error);
    QString message;
    QCOMPARE(kv::writePropertyListXml(value, &message), QByteArray());
    QCOMPARE(message, error);
}

void TestPropertyListXml::refusesOtherUnwritableValues_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QString>("error");

    PropertyListValue deep = arr({});
    for (int i = 1; i < kv::PropertyListMaximumDepth + 1; ++i)
        deep = arr({deep});
    QTest::newRow("none") << PropertyListValue() << "there is no value to write";
    QTest::newRow("none inside") << dict({{"a", arr({num(1), PropertyListValue()})}})
                                 << "value at \"a\" / [1] is empty (it has no kind)";
    QTest::newRow("date before year 1")
        << dict({{"d", PropertyListValue::fromDate(QDateTime(QDate(-5, 1, 1), QTime(0, 0), Qt::UTC))}})
        << "date at \"d\" is outside the years 1 to 9999 that XML property lists can carry";
    QTest::newRow("date after 9999")
        << dict({{"d", PropertyListValue::fromDate(QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC))}})
        << "date at \"d\" is outside the years 1 to 9999 that XML property lists can carry";
    QTest::newRow("invalid date") << arr({PropertyListValue::fromDate(QDateTime())})
                                  << "date at [0] is outside the years 1 to 9999 that XML property lists can carry";
    QTest::newRow("too deep") << deep
                              << QString("value at ") + QString("[0] / ").repeated(511)
                                     + "[0] is nested deeper than 512 levels";
}

void TestPropertyListXml::refusesOtherUnwritableValues()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QString, error);
    QString message;
    QCOMPARE(kv::writePropertyListXml(value, &message), QByteArray());
    QCOMPARE(message, error);
}

void TestPropertyListXml::readAccepts_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<PropertyListValue>("value");

    QTest::newRow("no declaration, no doctype") << QByteArray("<plist><string>a</string></plist>") << str("a");
    QTest::newRow("declaration, no doctype") << prologue + "<integer>5</integer></plist>" << num(5);
    QTest::newRow("external doctype, system")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist SYSTEM \"file://localhost/plist.dtd\">\n<plist version=\"1.0\">"
                      "<integer>5</integer></plist>")
        << num(5);
    QTest::newRow("external doctype, public")
        << QByteArray("<!DOCTYPE plist PUBLIC \"-//Example//DTD PLIST 1.0//EN\" \"http://example.org/plist.dtd\">"
                      "<plist version=\"1.0\"><integer>5</integer></plist>")
        << num(5);
    QTest::newRow("doctype without ids") << QByteArray("<!DOCTYPE plist><plist><true/></plist>")
                                         << PropertyListValue::fromBoolean(true);
    QTest::newRow("bare root") << QByteArray("<dict><key>a</key><false/></dict>")
                               << dict({{"a", PropertyListValue::fromBoolean(false)}});
    QTest::newRow("comments and whitespace")
        << QByteArray("<?xml version=\"1.0\"?>\n<!-- top -->\n<plist>\n <!-- c -->\n<array>\n <!-- inside -->\n"
                      " <integer> 7 </integer>\n</array>\n</plist>\n<!-- tail -->\n")
        << arr({num(7)});
    QTest::newRow("processing instruction") << QByteArray("<plist><?foo bar?><string>x</string></plist>") << str("x");
    QTest::newRow("empty elements") << plist("<array><string/><dict/><array/><data/><string></string></array>")
                                    << arr({str(""), dict({}), arr({}), PropertyListValue::fromData({}), str("")});
    QTest::newRow("predefined entities") << plist("<string>&lt;&gt;&amp;&quot;&apos;</string>") << str("<>&\"'");
    QTest::newRow("character references") << plist("<string>&#x1F600;&#233;&#9;</string>") << str("\U0001F600\u00e9\t");
    QTest::newRow("cdata") << plist("<string><![CDATA[<not markup> & ]]></string>") << str("<not markup> & ");
    QTest::newRow("text with comment inside") << plist("<string>ab<!-- x -->cd</string>") << str("abcd");
    QTest::newRow("whitespace kept in string") << plist("<string>  a \n b  </string>") << str("  a \n b  ");
    QTest::newRow("hex integer") << plist("<integer>0x1F</integer>") << num(31);
    QTest::newRow("plus integer") << plist("<integer>+12</integer>") << num(12);
    QTest::newRow("negative zero integer") << plist("<integer>-0</integer>") << num(0);
    QTest::newRow("uint64 max") << plist("<integer>18446744073709551615</integer>")
                                << PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max());
    QTest::newRow("int64 min") << plist("<integer>-9223372036854775808</integer>")
                               << num(std::numeric_limits<qint64>::min());
    QTest::newRow("real integer text") << plist("<real>1</real>") << real(1.0);
    QTest::newRow("real exponent") << plist("<real>-1.5E-3</real>") << real(-0.0015);
    QTest::newRow("real leading dot") << plist("<real>.5</real>") << real(0.5);
    QTest::newRow("real plus") << plist("<real>+2.5</real>") << real(2.5);
    QTest::newRow("real inf") << plist("<real>inf</real>") << real(HUGE_VAL);
    QTest::newRow("real -Infinity") << plist("<real>-Infinity</real>") << real(-HUGE_VAL);
    QTest::newRow("real overflow") << plist("<real>1e400</real>") << real(HUGE_VAL);
    QTest::newRow("real underflow") << plist("<real>1e-400</real>") << real(0.0);
    QTest::newRow("real nan") << plist("<real>NaN</real>") << real(std::nan(""));
    QTest::newRow("base64 wrapped") << plist("<data>\n\tAAEC\n\tAwQ=\n\t</data>")
                                    << PropertyListValue::fromData(QByteArray::fromHex("0001020304"));
    QTest::newRow("base64 unpadded") << plist("<data>AAECAwQ</data>")
                                     << PropertyListValue::fromData(QByteArray::fromHex("0001020304"));
    QTest::newRow("date") << plist("<date>2024-02-29T23:59:59Z</date>") << date(2024, 2, 29, 23, 59, 59);
    QTest::newRow("date with spaces") << plist("<date> 2000-01-01T00:00:00Z\n</date>") << date(2000, 1, 1, 0, 0, 0);
    QTest::newRow("true with whitespace") << plist("<true> </true>") << PropertyListValue::fromBoolean(true);
    QTest::newRow("attributes ignored") << QByteArray(
        "<plist version=\"1.0\" extra=\"x\"><string a=\"b\">s</string></plist>")
                                        << str("s");
    QStringEncoder toUtf16(QStringEncoder::Utf16LE);
    const QByteArray utf16 = "\xff\xfe" + QByteArray(toUtf16(QString("<plist><string>\u00e9</string></plist>")));
    QTest::newRow("utf-16 document") << utf16 << str("\u00e9");
    QTest::newRow("utf-8 bom") << QByteArray("\xef\xbb\xbf<plist><string>\xc3\xa9</string></plist>") << str("\u00e9");
    QTest::newRow("keys order independent")
        << plist("<dict><key>z</key><integer>1</integer><key>A</key><integer>2</integer></dict>")
        << dict({{"A", num(2)}, {"z", num(1)}});
    QTest::newRow("empty key") << plist("<dict><key/><string>v</string></dict>") << dict({{"", str("v")}});
}

void TestPropertyListXml::readAccepts()
{
    QFETCH(QByteArray, xml);
    QFETCH(PropertyListValue, value);
    QString error;
    const PropertyListValue read = kv::readPropertyList(xml, &error, "doc");
    QVERIFY2(!read.isNone(), qPrintable(error));
    QCOMPARE(plisttest::canonical(read), plisttest::canonical(value));
}

void TestPropertyListXml::readRejects_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("error"); // the whole message after "doc: "

    QTest::newRow("empty input") << QByteArray() << "the input is empty, not a property list";
    QTest::newRow("not xml") << QByteArray("hello") << "line 1, column 1: malformed XML: Start tag expected.";
    QTest::newRow("only declaration") << QByteArray("<?xml version=\"1.0\"?>\n")
                                      << "line 2, column 0: malformed XML: Premature end of document.";
    QTest::newRow("empty plist") << QByteArray("<plist></plist>") << "line 1, column 15: <plist> holds no value";
    QTest::newRow("empty plist element") << QByteArray("<plist/>") << "line 1, column 8: <plist> holds no value";
    QTest::newRow("two values") << QByteArray("<plist><true/><false/></plist>")
                                << "line 1, column 22: <plist> holds more than one value (found <false> after it)";
    QTest::newRow("nested plist") << QByteArray("<plist><array><plist/></array></plist>")
                                  << "line 1, column 22: <plist> may only be the outermost element";
    QTest::newRow("integer letters") << plist("<integer>abc</integer>")
                                     << "line 3, column 9: <integer> holds \"abc\", which is not an integer from "
                                        "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer empty") << plist("<integer></integer>")
                                   << "line 3, column 9: <integer> holds \"\", which is not an integer from "
                                      "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer trailing junk") << plist("<integer>12x</integer>")
                                           << "line 3, column 9: <integer> holds \"12x\", which is not an integer from "
                                              "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer real text") << plist("<integer>1.5</integer>")
                                       << "line 3, column 9: <integer> holds \"1.5\", which is not an integer from "
                                          "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer 2^64") << plist("<integer>18446744073709551616</integer>")
                                  << "line 3, column 9: <integer> holds \"18446744073709551616\", which is not an "
                                     "integer from -9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer below int64 min")
        << plist("<integer>-9223372036854775809</integer>")
        << "line 3, column 9: <integer> holds \"-9223372036854775809\", which is not an integer from "
           "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer sign only") << plist("<integer>-</integer>")
                                       << "line 3, column 9: <integer> holds \"-\", which is not an integer from "
                                          "-9223372036854775808 to 18446744073709551615";
    QTest::newRow("integer hex prefix only") << plist("<integer>0x</integer>")
                                             << "line 3, column 9: <integer> holds \"0x\", which is not an integer "
                                                "from -9223372036854775808 to 18446744073709551615";
    QTest::newRow("real letters") << plist("<real>x</real>")
                                  << "line 3, column 6: <real> holds \"x\", which is not a number";
    QTest::newRow("real empty") << plist("<real/>") << "line 3, column 7: <real> holds \"\", which is not a number";
    QTest::newRow("real comma") << plist("<real>1,5</real>")
                                << "line 3, column 6: <real> holds \"1,5\", which is not a number";
    QTest::newRow("real hex") << plist("<real>0x1p3</real>")
                              << "line 3, column 6: <real> holds \"0x1p3\", which is not a number";
    QTest::newRow("real double sign") << plist("<real>+-1</real>")
                                      << "line 3, column 6: <real> holds \"+-1\", which is not a number";
    QTest::newRow("real trailing junk") << plist("<real>1e5e</real>")
                                        << "line 3, column 6: <real> holds \"1e5e\", which is not a number";
    QTest::newRow("bad base64 char") << plist("<data>AA*A</data>")
                                     << "line 3, column 6: <data> holds \"AA*A\", which is not valid base64";
    QTest::newRow("base64 padding in middle")
        << plist("<data>AA==AAAA</data>") << "line 3, column 6: <data> holds \"AA==AAAA\", which is not valid base64";
    QTest::newRow("base64 lone char") << plist("<data>AAAAA</data>")
                                      << "line 3, column 6: <data> holds \"AAAAA\", which is not valid base64";
    QTest::newRow("base64 too much padding")
        << plist("<data>AA===</data>") << "line 3, column 6: <data> holds \"AA===\", which is not valid base64";
    QTest::newRow("date garbage") << plist("<date>yesterday</date>")
                                  << "line 3, column 6: <date> holds \"yesterday\", which is not a date of the form "
                                     "YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("date month 13") << plist("<date>2024-13-01T00:00:00Z</date>")
                                   << "line 3, column 6: <date> holds \"2024-13-01T00:00:00Z\", which is not a date of "
                                      "the form YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("date Feb 30") << plist("<date>2023-02-29T00:00:00Z</date>")
                                 << "line 3, column 6: <date> holds \"2023-02-29T00:00:00Z\", which is not a date of "
                                    "the form YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("date hour 24") << plist("<date>2023-01-01T24:00:00Z</date>")
                                  << "line 3, column 6: <date> holds \"2023-01-01T24:00:00Z\", which is not a date of "
                                     "the form YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("date without Z") << plist("<date>2023-01-01T00:00:00</date>")
                                    << "line 3, column 6: <date> holds \"2023-01-01T00:00:00\", which is not a date of "
                                       "the form YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("date year 0") << plist("<date>0000-01-01T00:00:00Z</date>")
                                 << "line 3, column 6: <date> holds \"0000-01-01T00:00:00Z\", which is not a date of "
                                    "the form YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("unknown tag") << plist("<float>1</float>") << "line 3, column 7: unknown element <float>";
    QTest::newRow("unknown tag in array")
        << plist("<array><string>a</string><blob/></array>") << "line 3, column 32: unknown element <blob>";
    QTest::newRow("true with content") << plist("<true>yes</true>")
                                       << "line 3, column 6: <true/> must be empty but holds \"yes\"";
    QTest::newRow("element inside string")
        << plist("<string>a<b/></string>") << "line 3, column 13: malformed XML: Expected character data.";
    QTest::newRow("text in array") << plist("<array>loose</array>")
                                   << "line 3, column 13: unexpected text \"loose\" in <array>";
    QTest::newRow("text in plist") << QByteArray("<plist>x<true/></plist>")
                                   << "line 1, column 9: unexpected text \"x\" in <plist>";
    QTest::newRow("value without key") << plist("<dict><string>v</string></dict>")
                                       << "line 3, column 14: expected <key> in <dict>, found <string>";
    QTest::newRow("key without value") << plist("<dict><key>k</key></dict>")
                                       << "line 3, column 25: the key \"k\" has no value before </dict>";
    QTest::newRow("two keys") << plist("<dict><key>a</key><key>b</key><true/></dict>")
                              << "line 3, column 23: <key> follows the key \"a\", which has no value";
    QTest::newRow("key in array") << plist("<array><key>a</key></array>")
                                  << "line 3, column 12: <key> in <array>; keys belong only in <dict>";
    QTest::newRow("key at top") << QByteArray("<plist><key>a</key></plist>")
                                << "line 1, column 12: <key> in <plist>; keys belong only in <dict>";
    QTest::newRow("duplicate key") << plist("<dict><key>a</key><true/><key>a</key><false/></dict>")
                                   << "line 3, column 30: the key \"a\" appears twice in one <dict>";
    QTest::newRow("nested key in key") << plist("<dict><key><key/></key><true/></dict>")
                                       << "line 3, column 17: malformed XML: Expected character data.";
    QTest::newRow("mismatched tags") << plist("<array></dict>")
                                     << "line 3, column 14: malformed XML: Opening and ending tag mismatch.";
    QTest::newRow("undeclared entity") << plist("<string>&nbsp;</string>")
                                       << "line 3, column 14: malformed XML: Entity 'nbsp' not declared.";
    QTest::newRow("undeclared entity in text, external doctype")
        << externalDoctypePrologue + "<string>a&nbsp;b</string>\n</plist>\n"
        << "line 4, column 25: reference to the undeclared entity \"nbsp\"";
    QTest::newRow("undeclared entity in a key, external doctype")
        << externalDoctypePrologue + "<dict><key>&k;</key><true/></dict>\n</plist>\n"
        << "line 4, column 20: reference to the undeclared entity \"k\"";
    QTest::newRow("entity declaration")
        << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY e \"expanded\">\n]>\n"
                      "<plist><string>&e;</string></plist>")
        << "line 4, column 2: document type declarations with an internal subset (such as entity declarations) are "
           "not accepted";
    QTest::newRow("external entity")
        << QByteArray("<!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><plist><string>&x;</string></plist>")
        << "line 1, column 58: document type declarations with an internal subset (such as entity declarations) are "
           "not accepted";
    QTest::newRow("empty internal subset") << QByteArray("<!DOCTYPE plist []><plist><true/></plist>")
                                           << "line 1, column 19: document type declarations with an internal subset "
                                              "(such as entity declarations) are not accepted";
    QTest::newRow("other doctype") << QByteArray("<!DOCTYPE html><plist><true/></plist>")
                                   << "line 1, column 15: the document type is \"html\", not plist";
    QTest::newRow("entity outside doctype")
        << QByteArray("<!ENTITY e \"x\"><plist/>")
        << "line 1, column 10: malformed XML: Expected '-' or 'DOCTYPE', but got 'ENTITY'.";
    QTest::newRow("invalid char ref") << plist("<string>&#1;</string>")
                                      << "line 3, column 12: malformed XML: Invalid character reference.";
    QTest::newRow("extra content") << QByteArray("<plist><true/></plist><plist><true/></plist>")
                                   << "line 1, column 29: malformed XML: Extra content at end of document.";
    QTest::newRow("invalid utf-8") << QByteArray("<plist><string>\xff\xfe\xfd</string></plist>")
                                   << "line 1, column 2: malformed XML: Encountered incorrectly encoded content.";
}

void TestPropertyListXml::readRejects()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, error);
    QString message;
    const PropertyListValue value = kv::readPropertyList(xml, &message, "doc");
    QVERIFY(value.isNone());
    QCOMPARE(message, "doc: " + error);
}

void TestPropertyListXml::errorNamesSourceAndPosition()
{
    QString message;
    QVERIFY(kv::readPropertyList("<plist>\n<array>\n\t<integer>nope</integer>\n</array>\n</plist>", &message).isNone());
    QCOMPARE(message, "property list: line 3, column 10: <integer> holds \"nope\", which is not an integer from "
                      "-9223372036854775808 to 18446744073709551615");
    // A null error pointer is allowed.
    QVERIFY(kv::readPropertyList("<plist/>", nullptr).isNone());
}

void TestPropertyListXml::depthLimit()
{
    QString error;
    const PropertyListValue ok = kv::readPropertyList(nestedArrays(512), &error, "deep");
    QVERIFY2(!ok.isNone(), qPrintable(error));
    QCOMPARE(ok.depth(), 512);

    QVERIFY(kv::readPropertyList(nestedArrays(513), &error, "deep").isNone());
    QCOMPARE(error, QString("deep: line 1, column %1: values are nested deeper than 512 levels").arg(14 + 512 * 7));

    // A scalar at level 513 is as deep as a container there.
    const QByteArray scalarTooDeep =
        "<plist>" + QByteArray("<array>").repeated(512) + "<true/>" + QByteArray("</array>").repeated(512) + "</plist>";
    QVERIFY(kv::readPropertyList(scalarTooDeep, &error, "deep").isNone());
    QVERIFY(error.endsWith("values are nested deeper than 512 levels"));
    const QByteArray scalarAtLimit =
        "<plist>" + QByteArray("<array>").repeated(511) + "<true/>" + QByteArray("</array>").repeated(511) + "</plist>";
    QCOMPARE(kv::readPropertyList(scalarAtLimit, &error).depth(), 512);

    // A depth bomb far past the limit fails fast and cleanly.
    const QByteArray bomb = "<plist>" + QByteArray("<dict><key>k</key>").repeated(200000);
    QVERIFY(kv::readPropertyList(bomb, &error).isNone());
    QVERIFY(error.endsWith("values are nested deeper than 512 levels"));

    // What the writer writes at the limit reads back.
    QCOMPARE(kv::readPropertyList(kv::writePropertyListXml(ok, &error), &error), ok);
}

void TestPropertyListXml::truncatedDocumentsFail()
{
    QString error;
    const QByteArray text = kv::writePropertyListXml(everyKind(), &error);
    QVERIFY(!text.isEmpty());
    // Every cut short of the closing tag fails with a message; none crash.
    const qsizetype end = text.lastIndexOf("</plist>");
    for (qsizetype cut = 1; cut < end; cut += 7) {
        QString message;
        const PropertyListValue value = kv::readPropertyList(text.left(cut), &message, "cut");
        QVERIFY2(value.isNone(), qPrintable(QString("cut at %1 read as a value").arg(cut)));
        QVERIFY2(message.startsWith("cut: line "), qPrintable(message));
    }
}

void TestPropertyListXml::largeInputs()
{
    // A 10 MB string and a large array (the speed is measured in release
    // builds; here the results are checked).
    QString error;
    const QString big(10 * 1000 * 1000, u'q');
    const QByteArray text = kv::writePropertyListXml(dict({{"big", str(big)}}), &error);
    QCOMPARE(kv::readPropertyList(text, &error).value("big").string().size(), big.size());

    PropertyListArray many;
    for (int i = 0; i < 200000; ++i)
        many.append(num(i));
    const QByteArray arrayText = kv::writePropertyListXml(PropertyListValue::fromArray(many), &error);
    const PropertyListValue back = kv::readPropertyList(arrayText, &error);
    QCOMPARE(back.count(), 200000);
    QCOMPARE(back.at(199999), num(199999));
}

void TestPropertyListXml::plistlibReadsWhatWeWrite_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::newRow("every kind") << everyKind();
    QTest::newRow("scalar root") << str("only");
    QTest::newRow("markup and quotes") << dict({{"<&>\"'", str("]]> <![CDATA[ &amp; \"'")}});
    QTest::newRow("carriage return") << dict({{"k", str("a\rb")}});
    QTest::newRow("specials") << arr({real(HUGE_VAL), real(-HUGE_VAL), real(-0.0), real(5e-324)});
    QTest::newRow("nan") << arr({real(std::nan(""))});
    QTest::newRow("long data") << PropertyListValue::fromData(QByteArray(5000, '\xa5'));
}

void TestPropertyListXml::plistlibReadsWhatWeWrite()
{
    PLIST_REQUIRE_PYTHON();
    QFETCH(PropertyListValue, value);
    QTemporaryDir dir;
    const QString path = dir.filePath("ours.plist");
    QString error;
    QVERIFY2(kv::writePropertyListFile(path, value, &error), qPrintable(error));
    QString failure;
    const QString theirs = plisttest::runTool({"canon", path}, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(theirs, plisttest::canonical(value));
}

void TestPropertyListXml::weReadWhatPlistlibWrites_data()
{
    QTest::addColumn<QString>("sample");
    for (const char *name :
         {"scalars", "unicode", "nested", "shared", "array", "long string", "many", "scalar root", "deep 512"})
        QTest::newRow(name) << QString(name);
}

void TestPropertyListXml::weReadWhatPlistlibWrites()
{
    PLIST_REQUIRE_PYTHON();
    QFETCH(QString, sample);
    QTemporaryDir dir;
    const QString path = dir.filePath("theirs.plist");
    QString failure;
    const QString expected = plisttest::runTool({"sample", sample, "xml", path}, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QString error;
    const PropertyListValue value = kv::readPropertyListFile(path, &error);
    QVERIFY2(!value.isNone(), qPrintable(error));
    QCOMPARE(plisttest::canonical(value), expected);
}

void TestPropertyListXml::plistlibFixtures_data()
{
    QTest::addColumn<QString>("name");
    const QDir dir(KEYVANE_TEST_DATA_DIR "/plist");
    const QStringList files = dir.entryList({"*.xml"}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 6);
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << QFileInfo(file).completeBaseName();
}

void TestPropertyListXml::plistlibFixtures()
{
    // Files written by plistlib (tests/tools/plist_tool.py fixtures), with
    // the canonical text plistlib gave for them.
    QFETCH(QString, name);
    const QString base = QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist/") + name;
    QString error;
    const PropertyListValue value = kv::readPropertyListFile(base + ".xml", &error);
    QVERIFY2(!value.isNone(), qPrintable(error));
    QCOMPARE(plisttest::canonical(value), QString::fromUtf8(fileContent(base + ".canon")).trimmed());
}

void TestPropertyListXml::writeFileReplacesWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("export.plist");
    QVERIFY(writeContent(path, QByteArray(100000, 'o'))); // longer than the new content
    QString error;
    const PropertyListValue value = dict({{"k", str("v")}});
    QVERIFY2(kv::writePropertyListFile(path, value, &error), qPrintable(error));
    QCOMPARE(fileContent(path), kv::writePropertyListXml(value, &error));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"export.plist"});
    QCOMPARE(kv::readPropertyListFile(path, &error), value);
}

void TestPropertyListXml::writeFileCreatesNew()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("new.plist");
    QString error;
    QVERIFY2(kv::writePropertyListFile(path, everyKind(), &error), qPrintable(error));
    QCOMPARE(kv::readPropertyListFile(path, &error), everyKind());
}

void TestPropertyListXml::writeFileOntoDirectoryFails()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("taken");
    QVERIFY(QDir(dir.path()).mkdir("taken"));
    QVERIFY(writeContent(path + "/inside.txt", "keep"));
    QString error;
    QVERIFY(!kv::writePropertyListFile(path, str("x"), &error));
    QCOMPARE(error, QString("cannot write \"%1\": it is a directory").arg(path));
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(fileContent(path + "/inside.txt"), QByteArray("keep"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"taken"});
}

void TestPropertyListXml::writeFileIntoMissingDirectoryFails()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("missing/out.plist");
    QString error;
    QVERIFY(!kv::writePropertyListFile(path, str("x"), &error));
    QVERIFY2(error.startsWith(QString("cannot write \"%1\": ").arg(path)), qPrintable(error));
    QVERIFY(error.size() > QString("cannot write \"%1\": ").arg(path).size());
    QVERIFY(!QFileInfo::exists(path));
}

void TestPropertyListXml::writeFileIntoReadOnlyDirectoryFails()
{
    if (::geteuid() == 0)
        QSKIP("running as root: permissions do not stop root from writing");
    QTemporaryDir dir;
    const QString sub = dir.filePath("ro");
    QVERIFY(QDir(dir.path()).mkdir("ro"));
    const QString path = sub + "/export.plist";
    QVERIFY(writeContent(path, "old content"));
    QVERIFY(QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QString error;
    const bool written = kv::writePropertyListFile(path, str("new"), &error);
    const QStringList left = QDir(sub).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(!written);
    QVERIFY2(error.startsWith(QString("cannot write \"%1\": ").arg(path)), qPrintable(error));
    QCOMPARE(fileContent(path), QByteArray("old content"));
    QCOMPARE(left, QStringList{"export.plist"});
}

void TestPropertyListXml::unwritableValueLeavesFileUntouched()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("export.plist");
    QVERIFY(writeContent(path, "old content"));
    QString error;
    QVERIFY(!kv::writePropertyListFile(path, dict({{"State:/Foo", dict({{"Bar", str(QString(QChar(1)))}})}}), &error));
    QCOMPARE(error, QString("cannot write \"%1\": value at \"State:/Foo\" / \"Bar\" holds a character that XML cannot "
                            "carry (U+0001)")
                        .arg(path));
    QCOMPARE(fileContent(path), QByteArray("old content"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"export.plist"});
}

void TestPropertyListXml::readFileErrors()
{
    QTemporaryDir dir;
    QString error;
    const QString missing = dir.filePath("missing.plist");
    QVERIFY(kv::readPropertyListFile(missing, &error).isNone());
    QCOMPARE(error, QString("cannot read \"%1\": No such file or directory").arg(missing));

    QVERIFY(kv::readPropertyListFile(dir.path(), &error).isNone());
    QCOMPARE(error, QString("cannot read \"%1\": it is a directory").arg(dir.path()));

    const QString bad = dir.filePath("bad.plist");
    QVERIFY(writeContent(bad, "<plist><integer>1e3</integer></plist>"));
    QVERIFY(kv::readPropertyListFile(bad, &error).isNone());
    QCOMPARE(error, bad
                        + ": line 1, column 16: <integer> holds \"1e3\", which is not an integer from "
                          "-9223372036854775808 to 18446744073709551615");

    const QString empty = dir.filePath("empty.plist");
    QVERIFY(writeContent(empty, ""));
    QVERIFY(kv::readPropertyListFile(empty, &error).isNone());
    QCOMPARE(error, empty + ": the input is empty, not a property list");
}

QTEST_MAIN(TestPropertyListXml)
#include "tst_propertylistxml.moc"
