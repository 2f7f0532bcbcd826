// The JSON form of property-list values: written compactly for every kind
// and read back to the same value; what reading accepts and refuses.

#include "history/JsonValue.h"
#include "platform/plist/PropertyListFile.h"

#include <QTest>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(kv::PropertyListValue)

using namespace kv;
using namespace kv::history;

namespace {

PropertyListValue dictionary(std::initializer_list<std::pair<QString, PropertyListValue>> entries)
{
    PropertyListDictionary d;
    for (const auto &[key, value] : entries)
        d.insert(key, value);
    return PropertyListValue::fromDictionary(d);
}

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

PropertyListValue integer(qint64 n)
{
    return PropertyListValue::fromInteger(n);
}

bool isNan(const PropertyListValue &value)
{
    return value.kind() == PropertyListValue::Kind::Real && std::isnan(value.real());
}

} // namespace

class TestJsonValue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every kind is written as documented and reads back as the same value.
    void bothWays_data()
    {
        QTest::addColumn<PropertyListValue>("value");
        QTest::addColumn<QByteArray>("json");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("none") << PropertyListValue() << QByteArray("null");
        QTest::newRow("empty dictionary") << PropertyListValue::fromDictionary({}) << QByteArray("{}");
        QTest::newRow("dictionary in store order")
            << dictionary({{"b", integer(1)}, {"B", integer(2)}, {"a", integer(3)}})
            << QByteArray("{\"B\":2,\"a\":3,\"b\":1}");
        QTest::newRow("key beginning with $")
            << dictionary({{"$data", str("x")}, {"$", str("y")}}) << QByteArray("{\"$$\":\"y\",\"$$data\":\"x\"}");
        QTest::newRow("empty array") << PropertyListValue::fromArray({}) << QByteArray("[]");
        QTest::newRow("nested") << PropertyListValue::fromArray(
            {integer(1), str("x"), PropertyListValue::fromArray({PropertyListValue::fromBoolean(true)}),
             dictionary({{"k", PropertyListValue::fromBoolean(false)}})})
                                << QByteArray("[1,\"x\",[true],{\"k\":false}]");
        QTest::newRow("escapes") << str("a\"b\\c\nd\re\tf\bg\fh\x01i/")
                                 << QByteArray("\"a\\\"b\\\\c\\nd\\re\\tf\\bg\\fh\\u0001i/\"");
        QTest::newRow("non-ASCII as UTF-8") << str(QStringLiteral("Zürich ✓ \U0001F600 \u2028"))
                                            << QStringLiteral("\"Zürich ✓ \U0001F600 \u2028\"").toUtf8();
        QTest::newRow("lone surrogates") << str(QString(QChar(0xD800)) + "x" + QChar(0xDC00))
                                         << QByteArray("\"\\ud800x\\udc00\"");
        QTest::newRow("zero") << integer(0) << QByteArray("0");
        QTest::newRow("smallest integer")
            << integer(std::numeric_limits<qint64>::min()) << QByteArray("-9223372036854775808");
        QTest::newRow("largest signed") << integer(std::numeric_limits<qint64>::max())
                                        << QByteArray("9223372036854775807");
        QTest::newRow("largest unsigned") << PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max())
                                          << QByteArray("18446744073709551615");
        QTest::newRow("real") << PropertyListValue::fromReal(-61.5) << QByteArray("-61.5");
        QTest::newRow("whole real") << PropertyListValue::fromReal(1) << QByteArray("1.0");
        QTest::newRow("negative zero") << PropertyListValue::fromReal(-0.0) << QByteArray("-0.0");
        QTest::newRow("shortest round trip") << PropertyListValue::fromReal(0.1) << QByteArray("0.1");
        QTest::newRow("large real") << PropertyListValue::fromReal(1e300) << QByteArray("1e+300");
        QTest::newRow("not a number") << PropertyListValue::fromReal(std::nan("")) << QByteArray("{\"$real\":\"nan\"}");
        QTest::newRow("infinity") << PropertyListValue::fromReal(inf) << QByteArray("{\"$real\":\"+infinity\"}");
        QTest::newRow("minus infinity") << PropertyListValue::fromReal(-inf) << QByteArray("{\"$real\":\"-infinity\"}");
        QTest::newRow("true") << PropertyListValue::fromBoolean(true) << QByteArray("true");
        QTest::newRow("false") << PropertyListValue::fromBoolean(false) << QByteArray("false");
        QTest::newRow("data") << PropertyListValue::fromData(QByteArray("\x00\x01\x02\xff", 4))
                              << QByteArray("{\"$data\":\"AAEC/w==\"}");
        QTest::newRow("empty data") << PropertyListValue::fromData({}) << QByteArray("{\"$data\":\"\"}");
        QTest::newRow("date") << PropertyListValue::fromDate(
            QDateTime(QDate(2026, 12, 8), QTime(16, 19, 6, 526), Qt::UTC))
                              << QByteArray("{\"$date\":\"2026-12-08T16:19:06.526+00:00\"}");
    }

    void bothWays()
    {
        QFETCH(PropertyListValue, value);
        QFETCH(QByteArray, json);
        QCOMPARE(jsonText(value), json);
        QString error;
        const PropertyListValue read = valueFromJson(json, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(read.kind(), value.kind());
        QCOMPARE(read.isUnsignedInteger(), value.isUnsignedInteger());
        if (isNan(value))
            QVERIFY(isNan(read));
        else
            QVERIFY2(read == value, qPrintable(read.description()));
        if (value.kind() == PropertyListValue::Kind::Real)
            QCOMPARE(std::signbit(read.real()), std::signbit(value.real()));
    }

    // JSON that this program does not write, read as any JSON reader would.
    void reading_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<PropertyListValue>("expected");
        QTest::newRow("white space") << QByteArray(" \t\r\n{ \"a\" : [ 1 , 2 ] }\n")
                                     << dictionary({{"a", PropertyListValue::fromArray({integer(1), integer(2)})}});
        QTest::newRow("keys in any order")
            << QByteArray("{\"b\":1,\"a\":2}") << dictionary({{"a", integer(2)}, {"b", integer(1)}});
        QTest::newRow("escaped characters")
            << QByteArray("\"\\u00e9\\/\\ud83d\\ude00\"") << str(QStringLiteral("é/\U0001F600"));
        QTest::newRow("exponent") << QByteArray("1E2") << PropertyListValue::fromReal(100);
        QTest::newRow("beyond 64 bits") << QByteArray("18446744073709551616")
                                        << PropertyListValue::fromReal(18446744073709551616.0);
        QTest::newRow("below the smallest integer")
            << QByteArray("-9223372036854775809") << PropertyListValue::fromReal(-9223372036854775809.0);
        QTest::newRow("date in Z form") << QByteArray("{\"$date\":\"2026-12-08T16:19:06.526Z\"}")
                                        << PropertyListValue::fromDate(
                                               QDateTime(QDate(2026, 12, 8), QTime(16, 19, 6, 526), Qt::UTC));
        QTest::newRow("date with another offset")
            << QByteArray("{\"$date\":\"2026-12-08T18:19:06.526+02:00\"}")
            << PropertyListValue::fromDate(QDateTime(QDate(2026, 12, 8), QTime(16, 19, 6, 526), Qt::UTC));
    }

    void reading()
    {
        QFETCH(QByteArray, json);
        QFETCH(PropertyListValue, expected);
        QString error;
        const PropertyListValue read = valueFromJson(json, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(read.kind(), expected.kind());
        QVERIFY2(read == expected, qPrintable(read.description()));
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("offset");
        QTest::newRow("nothing") << QByteArray("") << 0;
        QTest::newRow("trailing comma") << QByteArray("[1,]") << 3;
        QTest::newRow("repeated key") << QByteArray("{\"a\":1,\"a\":2}") << 7;
        QTest::newRow("repeated key once unescaped") << QByteArray("{\"$$a\":1,\"$a\":2}") << 9;
        QTest::newRow("null in an array") << QByteArray("[1,null]") << 3;
        QTest::newRow("null in an object") << QByteArray("{\"a\":null}") << 5;
        QTest::newRow("leading zero") << QByteArray("01") << 0;
        QTest::newRow("bare minus") << QByteArray("-") << 0;
        QTest::newRow("fraction without digits") << QByteArray("1.") << 0;
        QTest::newRow("real out of range") << QByteArray("1e999") << 0;
        QTest::newRow("not UTF-8") << QByteArray("\"ab\xff\"") << 1;
        QTest::newRow("control character") << QByteArray("\"a\x01\"") << 2;
        QTest::newRow("unknown escape") << QByteArray("\"\\x\"") << 2;
        QTest::newRow("short \\u escape") << QByteArray("\"\\u12\"") << 3;
        QTest::newRow("unterminated string") << QByteArray("\"abc") << 4;
        QTest::newRow("text after the value") << QByteArray("1 2") << 2;
        QTest::newRow("misspelt word") << QByteArray("tru") << 0;
        QTest::newRow("malformed base64") << QByteArray("{\"$data\":\"@@@@\"}") << 0;
        QTest::newRow("unpadded base64") << QByteArray("{\"$data\":\"AAE\"}") << 0;
        QTest::newRow("malformed date") << QByteArray("[{\"$date\":\"yesterday\"}]") << 1;
        QTest::newRow("form with another key") << QByteArray("{\"$data\":\"AA==\",\"x\":1}") << 0;
        QTest::newRow("form of a number") << QByteArray("{\"$data\":1}") << 0;
        QTest::newRow("unknown form") << QByteArray("{\"$number\":\"1\"}") << 0;
        QTest::newRow("unknown real") << QByteArray("{\"$real\":\"inf\"}") << 0;
        QTest::newRow("too deep") << QByteArray(PropertyListMaximumDepth + 1, '[')
                                         + QByteArray(PropertyListMaximumDepth + 1, ']')
                                  << PropertyListMaximumDepth;
    }

    void refused()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, offset);
        QString error;
        const PropertyListValue read = valueFromJson(json, &error);
        QVERIFY(read.isNone());
        QVERIFY2(error.startsWith(QStringLiteral("byte offset %1: ").arg(offset)), qPrintable(error));
    }

    // The deepest value that may be held is written and read back.
    void deepestValue()
    {
        const QByteArray json =
            QByteArray(PropertyListMaximumDepth - 1, '[') + "1" + QByteArray(PropertyListMaximumDepth - 1, ']');
        QString error;
        const PropertyListValue read = valueFromJson(json, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(read.depth(), PropertyListMaximumDepth);
        QCOMPARE(jsonText(read), json);
    }
};

QTEST_MAIN(TestJsonValue)
#include "tst_jsonvalue.moc"
