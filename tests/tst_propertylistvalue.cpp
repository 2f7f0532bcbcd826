// PropertyListValue: kinds, accessors, type names, equality, dictionary
// ordering, description text and depth.

#include "platform/plist/PropertyListValue.h"

#include <QTest>
#include <QTimeZone>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using kv::PropertyListArray;
using kv::PropertyListDictionary;
using kv::PropertyListValue;
using Kind = PropertyListValue::Kind;

Q_DECLARE_METATYPE(kv::PropertyListValue)
Q_DECLARE_METATYPE(kv::PropertyListValue::Kind)

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}
PropertyListValue num(qint64 v)
{
    return PropertyListValue::fromInteger(v);
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

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

} // namespace

class TestPropertyListValue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void kinds_data();
    void kinds();
    void accessorsOfOtherKinds();
    void integers_data();
    void integers();
    void equality_data();
    void equality();
    void dictionaryOrder();
    void lookups();
    void description_data();
    void description();
    void depth_data();
    void depth();
    void deepValueDepthIsIterative();
    void veryDeepValuesAreDestroyedWithoutRecursion();
    void deferredValuesKeptInBlocks();
};

void TestPropertyListValue::kinds_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("typeName");
    QTest::addColumn<bool>("isNumber");

    QTest::newRow("none") << PropertyListValue() << Kind::None << QString() << false;
    QTest::newRow("dictionary") << dict({{"a", num(1)}}) << Kind::Dictionary << "Dictionary" << false;
    QTest::newRow("array") << arr({num(1)}) << Kind::Array << "Array" << false;
    QTest::newRow("string") << str("x") << Kind::String << "String" << false;
    QTest::newRow("integer") << num(-3) << Kind::Integer << "Number" << true;
    QTest::newRow("unsigned") << PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max())
                              << Kind::Integer << "Number" << true;
    QTest::newRow("real") << PropertyListValue::fromReal(2.5) << Kind::Real << "Number" << true;
    QTest::newRow("boolean") << PropertyListValue::fromBoolean(false) << Kind::Boolean << "Boolean" << true;
    QTest::newRow("data") << PropertyListValue::fromData("\x01\x02") << Kind::Data << "Data" << false;
    QTest::newRow("date") << PropertyListValue::fromDate(utc(2020, 1, 1, 0, 0, 0)) << Kind::Date << "Date" << false;
}

void TestPropertyListValue::kinds()
{
    QFETCH(PropertyListValue, value);
    QFETCH(Kind, kind);
    QFETCH(QString, typeName);
    QFETCH(bool, isNumber);

    QCOMPARE(value.kind(), kind);
    QCOMPARE(value.typeName(), typeName);
    QCOMPARE(value.isNumber(), isNumber);
    QCOMPARE(value.isNone(), kind == Kind::None);
    QCOMPARE(bool(value), kind != Kind::None);
    QCOMPARE(value.isDictionary(), kind == Kind::Dictionary);
    QCOMPARE(value.isArray(), kind == Kind::Array);
    QCOMPARE(value.isString(), kind == Kind::String);
    QCOMPARE(value.isBoolean(), kind == Kind::Boolean);
    QCOMPARE(value.isData(), kind == Kind::Data);
    QCOMPARE(value.isDate(), kind == Kind::Date);
}

void TestPropertyListValue::accessorsOfOtherKinds()
{
    const PropertyListValue s = str("text");
    QVERIFY(s.dictionary().isEmpty());
    QVERIFY(s.array().isEmpty());
    QCOMPARE(s.integer(), 0);
    QCOMPARE(s.real(), 0.0);
    QCOMPARE(s.boolean(), false);
    QVERIFY(s.data().isNull());
    QVERIFY(!s.date().isValid());
    QCOMPARE(s.count(), 0);
    QVERIFY(s.value("text").isNone());
    QVERIFY(s.at(0).isNone());

    const PropertyListValue n = num(7);
    QVERIFY(n.string().isNull());
    QCOMPARE(n.real(), 7.0);
    QCOMPARE(n.boolean(), true);
    QCOMPARE(PropertyListValue::fromBoolean(true).integer(), 1);
    QCOMPARE(PropertyListValue::fromReal(-2.75).integer(), -2);
    QCOMPARE(PropertyListValue::fromReal(std::nan("")).integer(), 0);
    QCOMPARE(PropertyListValue::fromReal(1e30).integer(), 0);
    QCOMPARE(PropertyListValue::fromReal(0.0).boolean(), false);
}

void TestPropertyListValue::integers_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<bool>("isUnsigned");
    QTest::addColumn<qint64>("integer");
    QTest::addColumn<quint64>("unsignedInteger");

    const qint64 min = std::numeric_limits<qint64>::min();
    const qint64 max = std::numeric_limits<qint64>::max();
    const quint64 umax = std::numeric_limits<quint64>::max();
    QTest::newRow("zero") << num(0) << false << qint64(0) << quint64(0);
    QTest::newRow("int64 min") << num(min) << false << min << quint64(min);
    QTest::newRow("int64 max") << num(max) << false << max << quint64(max);
    QTest::newRow("small unsigned is signed")
        << PropertyListValue::fromUnsignedInteger(5) << false << qint64(5) << quint64(5);
    QTest::newRow("int64 max as unsigned")
        << PropertyListValue::fromUnsignedInteger(quint64(max)) << false << max << quint64(max);
    QTest::newRow("2^63") << PropertyListValue::fromUnsignedInteger(quint64(max) + 1) << true << min
                          << quint64(max) + 1;
    QTest::newRow("uint64 max") << PropertyListValue::fromUnsignedInteger(umax) << true << qint64(-1) << umax;
    // Integers of up to 56 bits are held in the value itself, the others in
    // a block of their own: both sides of the line.
    const qint64 inlineMax = (qint64(1) << 55) - 1;
    QTest::newRow("largest held inline") << num(inlineMax) << false << inlineMax << quint64(inlineMax);
    QTest::newRow("smallest held inline") << num(-inlineMax - 1) << false << -inlineMax - 1 << quint64(-inlineMax - 1);
    QTest::newRow("just above inline") << num(inlineMax + 1) << false << inlineMax + 1 << quint64(inlineMax + 1);
    QTest::newRow("just below inline") << num(-inlineMax - 2) << false << -inlineMax - 2 << quint64(-inlineMax - 2);
    QTest::newRow("minus one") << num(-1) << false << qint64(-1) << umax;
}

void TestPropertyListValue::integers()
{
    QFETCH(PropertyListValue, value);
    QFETCH(bool, isUnsigned);
    QFETCH(qint64, integer);
    QFETCH(quint64, unsignedInteger);
    QCOMPARE(value.isUnsignedInteger(), isUnsigned);
    QCOMPARE(value.integer(), integer);
    QCOMPARE(value.unsignedInteger(), unsignedInteger);
    QCOMPARE(value.real(), isUnsigned ? double(unsignedInteger) : double(integer));
    QCOMPARE(value.kind(), PropertyListValue::Kind::Integer);
    // The same number again, and inside a container that is copied and dropped.
    const PropertyListValue again = isUnsigned ? PropertyListValue::fromUnsignedInteger(unsignedInteger) : num(integer);
    QCOMPARE(value, again);
    QCOMPARE(value == num(integer == std::numeric_limits<qint64>::max() ? 0 : integer + 1), false);
    PropertyListValue held = arr({value, dict({{"n", value}})});
    const PropertyListValue copy = held;
    held = PropertyListValue();
    QCOMPARE(copy.at(1).value(QStringLiteral("n")).unsignedInteger(), unsignedInteger);
}

void TestPropertyListValue::equality_data()
{
    QTest::addColumn<PropertyListValue>("a");
    QTest::addColumn<PropertyListValue>("b");
    QTest::addColumn<bool>("equal");

    QTest::newRow("none/none") << PropertyListValue() << PropertyListValue() << true;
    QTest::newRow("none/empty string") << PropertyListValue() << str("") << false;
    QTest::newRow("same string") << str("eth0") << str("eth0") << true;
    QTest::newRow("string case") << str("eth0") << str("ETH0") << false;
    QTest::newRow("integer/real same number") << num(1) << PropertyListValue::fromReal(1.0) << false;
    QTest::newRow("integer/boolean") << num(1) << PropertyListValue::fromBoolean(true) << false;
    QTest::newRow("integers") << num(-5) << num(-5) << true;
    QTest::newRow("integers differ") << num(-5) << num(5) << false;
    QTest::newRow("uint64 max / -1") << PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max())
                                     << num(-1) << false;
    QTest::newRow("nan/nan") << PropertyListValue::fromReal(std::nan("")) << PropertyListValue::fromReal(std::nan(""))
                             << true;
    QTest::newRow("nan/0") << PropertyListValue::fromReal(std::nan("")) << PropertyListValue::fromReal(0) << false;
    QTest::newRow("reals") << PropertyListValue::fromReal(0.1) << PropertyListValue::fromReal(0.1) << true;
    QTest::newRow("reals differ") << PropertyListValue::fromReal(0.1) << PropertyListValue::fromReal(0.2) << false;
    QTest::newRow("data") << PropertyListValue::fromData("ab") << PropertyListValue::fromData("ab") << true;
    QTest::newRow("data differ") << PropertyListValue::fromData("ab") << PropertyListValue::fromData("abc") << false;
    QTest::newRow("date in another zone")
        << PropertyListValue::fromDate(utc(2024, 5, 6, 7, 8, 9))
        << PropertyListValue::fromDate(QDateTime(QDate(2024, 5, 6), QTime(9, 8, 9), QTimeZone(7200))) << true;
    QTest::newRow("dates differ by a millisecond") << PropertyListValue::fromDate(utc(2024, 5, 6, 7, 8, 9, 1))
                                                   << PropertyListValue::fromDate(utc(2024, 5, 6, 7, 8, 9)) << false;
    QTest::newRow("arrays") << arr({num(1), str("a")}) << arr({num(1), str("a")}) << true;
    QTest::newRow("array order") << arr({num(1), str("a")}) << arr({str("a"), num(1)}) << false;
    QTest::newRow("array length") << arr({num(1)}) << arr({num(1), num(1)}) << false;
    QTest::newRow("dictionaries") << dict({{"a", num(1)}, {"b", arr({})}}) << dict({{"b", arr({})}, {"a", num(1)}})
                                  << true;
    QTest::newRow("dictionary values differ") << dict({{"a", num(1)}}) << dict({{"a", num(2)}}) << false;
    QTest::newRow("booleans") << PropertyListValue::fromBoolean(true) << PropertyListValue::fromBoolean(true) << true;
    QTest::newRow("booleans differ") << PropertyListValue::fromBoolean(true) << PropertyListValue::fromBoolean(false)
                                     << false;
    QTest::newRow("false/zero") << PropertyListValue::fromBoolean(false) << num(0) << false;
    QTest::newRow("inline/block integers") << num(qint64(1) << 55) << num((qint64(1) << 55) - 1) << false;
    QTest::newRow("block integers") << num(qint64(1) << 60) << num(qint64(1) << 60) << true;
    QTest::newRow("flags in dictionaries") << dict({{"a", PropertyListValue::fromBoolean(true)}})
                                           << dict({{"a", PropertyListValue::fromBoolean(true)}}) << true;
    QTest::newRow("dictionary keys differ") << dict({{"a", num(1)}}) << dict({{"A", num(1)}}) << false;
    QTest::newRow("nested differ deep") << dict({{"a", arr({dict({{"x", str("1")}})})}})
                                        << dict({{"a", arr({dict({{"x", str("2")}})})}}) << false;
    QTest::newRow("empty dict/empty array") << dict({}) << arr({}) << false;
}

void TestPropertyListValue::equality()
{
    QFETCH(PropertyListValue, a);
    QFETCH(PropertyListValue, b);
    QFETCH(bool, equal);
    QCOMPARE(a == b, equal);
    QCOMPARE(b == a, equal);
    QCOMPARE(a != b, !equal);
    QVERIFY(a == a);
}

void TestPropertyListValue::dictionaryOrder()
{
    const PropertyListValue d = dict({{"b", num(4)}, {"a/c", num(3)}, {"B", num(1)}, {"a", num(2)}});
    QCOMPARE(d.dictionary().keys(), (QStringList{"B", "a", "a/c", "b"}));
    QVERIFY(kv::storeKeyLessThan("B", "a"));
    QVERIFY(kv::storeKeyLessThan("a", "a/c"));
    QVERIFY(!kv::storeKeyLessThan("b", "a/c"));
    QVERIFY(kv::storeKeyCompare("a", "b") < 0);
    QVERIFY(kv::storeKeyCompare("b", "B") > 0);
    QCOMPARE(kv::storeKeyCompare("x", "x"), 0);
}

void TestPropertyListValue::lookups()
{
    const PropertyListValue d = dict({{"k", str("v")}, {"n", num(2)}});
    QCOMPARE(d.count(), 2);
    QCOMPARE(d.value("k"), str("v"));
    QVERIFY(d.value("missing").isNone());
    QVERIFY(d.at(0).isNone());

    const PropertyListValue a = arr({str("x"), num(9)});
    QCOMPARE(a.count(), 2);
    QCOMPARE(a.at(1), num(9));
    QVERIFY(a.at(2).isNone());
    QVERIFY(a.at(-1).isNone());

    // Copies share their data.
    const PropertyListValue copy = d;
    QCOMPARE(copy.identity(), d.identity());
    QVERIFY(PropertyListValue().identity() == nullptr);
}

void TestPropertyListValue::description_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("none") << PropertyListValue() << QString();
    QTest::newRow("top-level string unquoted") << str("two words") << "two words";
    QTest::newRow("integer") << num(-42) << "-42";
    QTest::newRow("uint64 max") << PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max())
                                << "18446744073709551615";
    QTest::newRow("real") << PropertyListValue::fromReal(0.1) << "0.1";
    QTest::newRow("infinity") << PropertyListValue::fromReal(-HUGE_VAL) << "-infinity";
    QTest::newRow("boolean") << PropertyListValue::fromBoolean(true) << "true";
    QTest::newRow("data") << PropertyListValue::fromData(QByteArray::fromHex("0102030405")) << "<01020304 05>";
    QTest::newRow("date") << PropertyListValue::fromDate(utc(2024, 1, 2, 3, 4, 5)) << "2024-01-02 03:04:05 +0000";
    QTest::newRow("empty array") << arr({}) << "(\n)";
    QTest::newRow("nested") << dict({{"name", str("eth0")},
                                     {"list", arr({num(1), PropertyListValue::fromBoolean(true), str("two words")})},
                                     {"empty", dict({})},
                                     {"bytes", PropertyListValue::fromData(QByteArray::fromHex("0102030405"))},
                                     {"when", PropertyListValue::fromDate(utc(2024, 1, 2, 3, 4, 5))},
                                     {"pi", PropertyListValue::fromReal(3.5)},
                                     {"odd key", str("say \"hi\"\n")}})
                            << "{\n"
                               "    bytes = <01020304 05>;\n"
                               "    empty = {\n"
                               "    };\n"
                               "    list = (\n"
                               "        1,\n"
                               "        true,\n"
                               "        \"two words\"\n"
                               "    );\n"
                               "    name = eth0;\n"
                               "    \"odd key\" = \"say \\\"hi\\\"\\n\";\n"
                               "    pi = 3.5;\n"
                               "    when = \"2024-01-02 03:04:05 +0000\";\n"
                               "}";
}

void TestPropertyListValue::description()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QString, text);
    QCOMPARE(value.description(), text);
}

void TestPropertyListValue::depth_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<int>("depth");

    QTest::newRow("none") << PropertyListValue() << 0;
    QTest::newRow("scalar") << str("x") << 1;
    QTest::newRow("empty array") << arr({}) << 1;
    QTest::newRow("empty dictionary") << dict({}) << 1;
    QTest::newRow("array of scalar") << arr({num(1)}) << 2;
    QTest::newRow("array of empty array") << arr({arr({})}) << 2;
    QTest::newRow("uneven") << dict({{"a", num(1)}, {"b", arr({dict({{"c", arr({num(2)})}})})}}) << 5;
}

void TestPropertyListValue::depth()
{
    QFETCH(PropertyListValue, value);
    QFETCH(int, depth);
    QCOMPARE(value.depth(), depth);
}

void TestPropertyListValue::deepValueDepthIsIterative()
{
    PropertyListValue v = arr({});
    for (int i = 1; i < 5000; ++i)
        v = arr({v});
    QCOMPARE(v.depth(), 5000);
}

void TestPropertyListValue::veryDeepValuesAreDestroyedWithoutRecursion()
{
    // Far deeper than any reader or the store accepts: values built in code
    // must still be destroyed without one stack frame per level.
    PropertyListValue inner = str("leaf");
    for (int i = 0; i < 200000; ++i)
        inner = (i % 2) ? arr({inner}) : dict({{"k", inner}});
    PropertyListValue shared = inner;
    QCOMPARE(shared.depth(), 200001);
    inner = PropertyListValue();
    // The other holder still sees the whole value.
    QCOMPARE(shared.depth(), 200001);
    shared = PropertyListValue();
    QVERIFY(shared.isNone());
}

void TestPropertyListValue::deferredValuesKeptInBlocks()
{
    // Values deferred by the thousand share blocks of memory: each is made
    // from its own place when used, holds its document until then, and goes
    // on its own, in any order and on any thread, with the blocks outliving
    // the maker while a value is left in them (the sanitizers see the rest).
    const auto read = [](const QByteArray &, qsizetype begin, qsizetype end) {
        return PropertyListValue::fromArray(
            {PropertyListValue::fromInteger(begin), PropertyListValue::fromInteger(end)});
    };
    const PropertyListValue::DocumentReference document = PropertyListValue::deferredDocument(QByteArray(1, 'x'), read);
    constexpr int count = 10000; // several blocks
    std::vector<PropertyListValue> values;
    {
        PropertyListValue::DeferredBlocks blocks;
        for (int i = 0; i < count; ++i) {
            PropertyListValue value = PropertyListValue::deferred(Kind::Array, 2, document, i % 2, 1, &blocks);
            if (i % 7 != 0) // every seventh goes at once, while its block is still taken from
                values.push_back(std::move(value));
        }
    }
    QCOMPARE(document->references.load(), 1 + int(values.size()));
    int read_ = 0;
    for (size_t i = 0; i < values.size(); i += 3, ++read_) {
        QCOMPARE(values[i].depth(), 2);
        QCOMPARE(values[i].at(0).integer(), values[i].deferredBegin());
        QCOMPARE(values[i].at(1), num(1));
    }
    QCOMPARE(document->references.load(), 1 + int(values.size()) - read_);
    QCOMPARE(values[1], values[3]); // unread, the same place: equal
    QVERIFY(values[0] != values[1]);

    std::vector<PropertyListValue> elsewhere;
    for (size_t i = 0; i < values.size(); i += 2)
        elsewhere.push_back(std::exchange(values[i], PropertyListValue()));
    std::thread other([&elsewhere] { elsewhere.clear(); });
    while (!values.empty())
        values.pop_back();
    other.join();
    QCOMPARE(document->references.load(), 1);
}

QTEST_MAIN(TestPropertyListValue)
#include "tst_propertylistvalue.moc"
