// Binary "bplist00" property lists: files written by Python's plistlib, hand
// built files for every object type, and malformed and hostile files
// (truncation, bad trailers, out-of-range offsets and counts, cycles, depth
// and expansion bombs).

#include "platform/plist/PropertyListFile.h"
#include "tests/BinaryPlistBuilder.h"
#include "tests/PlistTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <limits>
#include <optional>

using namespace bplisttest;
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

QByteArray single(const QByteArray &object)
{
    Bplist b;
    b.add(object);
    return b.build();
}

QByteArray fileContent(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList fixtureNames()
{
    QStringList names;
    const QDir dir(KEYVANE_TEST_DATA_DIR "/plist");
    for (const QString &file : dir.entryList({"*.bplist"}, QDir::Files, QDir::Name))
        names.append(QFileInfo(file).completeBaseName());
    return names;
}

// Arrays nested `depth` deep (the innermost empty), each its own object.
QByteArray nestedArrays(int depth)
{
    Bplist b;
    b.refSize = 2;
    b.add(arrayObject({}, 2));
    for (int i = 1; i < depth; ++i)
        b.add(arrayObject({quint64(i - 1)}, 2));
    b.top = quint64(depth - 1);
    return b.build();
}

} // namespace

class TestPropertyListBinary : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void plistlibFixtures_data();
    void plistlibFixtures();
    void plistlibSamples_data();
    void plistlibSamples();
    void plistlibReadsBackOurValues();
    void handBuilt_data();
    void handBuilt();
    void rejects_data();
    void rejects();
    void sharedObjectsAreFine();
    void depthLimit();
    void expansionBombIsRefused();
    void everyTruncationFails();
    void corruptedBytesNeverCrash();
    void oversizedFileIsRefusedUpFront();
    void membersMadeOnFirstUse_data();
    void membersMadeOnFirstUse();
    void corruptedMembersReadAlike();
    void largeTopLevelReadsAlike_data();
    void largeTopLevelReadsAlike();
    void membersAreMadeWhenFirstUsed();
    void unneededPagesAreGivenBack_data();
    void unneededPagesAreGivenBack();
    void keysReadFromTheFile_data();
    void keysReadFromTheFile();
};

void TestPropertyListBinary::plistlibFixtures_data()
{
    QTest::addColumn<QString>("name");
    const QStringList names = fixtureNames();
    QVERIFY(names.size() >= 6);
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << name;
}

void TestPropertyListBinary::plistlibFixtures()
{
    // Written by plistlib via tests/tools/plist_tool.py fixtures, with the
    // canonical text plistlib gave for each value.
    QFETCH(QString, name);
    const QString base = QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist/") + name;
    QString error;
    const PropertyListValue value = kv::readPropertyListFile(base + ".bplist", &error);
    QVERIFY2(!value.isNone(), qPrintable(error));
    QCOMPARE(plisttest::canonical(value), QString::fromUtf8(fileContent(base + ".canon")).trimmed());
    // The same value as plistlib wrote it in XML.
    QCOMPARE(kv::readPropertyListFile(base + ".xml", &error), value);
}

void TestPropertyListBinary::plistlibSamples_data()
{
    QTest::addColumn<QString>("sample");
    QTest::addColumn<QString>("error"); // empty when the file must read
    QTest::newRow("scalars") << "scalars" << QString();
    QTest::newRow("unicode") << "unicode" << QString();
    QTest::newRow("many") << "many" << QString();
    QTest::newRow("long string") << "long string" << QString();
    QTest::newRow("deep 512") << "deep 512" << QString();
    QTest::newRow("deep 513") << "deep 513"
                              << "values are nested deeper than 512 levels";
}

void TestPropertyListBinary::plistlibSamples()
{
    PLIST_REQUIRE_PYTHON();
    QFETCH(QString, sample);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath("sample.bplist");
    QString failure;
    const QString expected = plisttest::runTool({"sample", sample, "binary", path}, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QString message;
    const PropertyListValue value = kv::readPropertyListFile(path, &message);
    if (error.isEmpty()) {
        QVERIFY2(!value.isNone(), qPrintable(message));
        QCOMPARE(plisttest::canonical(value), expected);
    } else {
        QVERIFY(value.isNone());
        QVERIFY2(message.startsWith(path + ": byte offset "), qPrintable(message));
        QVERIFY2(message.endsWith(error), qPrintable(message));
    }
}

void TestPropertyListBinary::plistlibReadsBackOurValues()
{
    // Our XML, turned into a binary list by plistlib, reads back equal.
    PLIST_REQUIRE_PYTHON();
    PropertyListDictionary d;
    d.insert("uint64 max", PropertyListValue::fromUnsignedInteger(std::numeric_limits<quint64>::max()));
    d.insert("int64 min", num(std::numeric_limits<qint64>::min()));
    d.insert("negative", num(-1));
    d.insert("reals", PropertyListValue::fromArray({PropertyListValue::fromReal(0.1), PropertyListValue::fromReal(-0.0),
                                                    PropertyListValue::fromReal(1e300)}));
    d.insert("date", PropertyListValue::fromDate(QDateTime(QDate(1969, 7, 20), QTime(20, 17, 40), Qt::UTC)));
    d.insert("\U0001F600 keys \u00e9", str("carriage\rreturn, astral \U00010348"));
    d.insert("data", PropertyListValue::fromData(QByteArray(300, '\x7f')));
    d.insert("nested",
             PropertyListValue::fromArray({PropertyListValue::fromDictionary({}), PropertyListValue::fromArray({})}));
    const PropertyListValue value = PropertyListValue::fromDictionary(d);

    QTemporaryDir dir;
    QString error, failure;
    QVERIFY2(kv::writePropertyListFile(dir.filePath("ours.plist"), value, &error), qPrintable(error));
    plisttest::runTool({"convert", "binary", dir.filePath("ours.plist"), dir.filePath("theirs.bplist")}, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const PropertyListValue back = kv::readPropertyListFile(dir.filePath("theirs.bplist"), &error);
    QVERIFY2(!back.isNone(), qPrintable(error));
    QCOMPARE(back, value);
    QCOMPARE(plisttest::canonical(back), plisttest::canonical(value));
}

void TestPropertyListBinary::handBuilt_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<PropertyListValue>("value");

    QTest::newRow("false") << single("\x08") << PropertyListValue::fromBoolean(false);
    QTest::newRow("true") << single("\x09") << PropertyListValue::fromBoolean(true);
    QTest::newRow("int 1 byte") << single(intObject(200)) << num(200);
    QTest::newRow("int 2 bytes") << single(intObject(65000)) << num(65000);
    QTest::newRow("int 4 bytes unsigned") << single("\x12\xff\xff\xff\xff") << num(0xffffffffLL);
    QTest::newRow("int 8 bytes negative") << single(intObject(-2)) << num(-2);
    QTest::newRow("int64 min") << single(intObject(std::numeric_limits<qint64>::min()))
                               << num(std::numeric_limits<qint64>::min());
    QTest::newRow("int 16 bytes uint64 max")
        << single(int16Object(0, ~quint64(0))) << PropertyListValue::fromUnsignedInteger(~quint64(0));
    QTest::newRow("int 16 bytes small") << single(int16Object(0, 5)) << num(5);
    QTest::newRow("int 16 bytes negative") << single(int16Object(~quint64(0), ~quint64(0))) << num(-1);
    QTest::newRow("double") << single(doubleObject(0.1)) << PropertyListValue::fromReal(0.1);
    QTest::newRow("float") << single(floatObject(1.5f)) << PropertyListValue::fromReal(1.5);
    QTest::newRow("date epoch") << single(dateObject(0))
                                << PropertyListValue::fromDate(QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
    QTest::newRow("date before epoch with ms")
        << single(dateObject(-1.5))
        << PropertyListValue::fromDate(QDateTime(QDate(2000, 12, 31), QTime(23, 59, 58, 500), Qt::UTC));
    QTest::newRow("data") << single(dataObject(QByteArray("\x00\x01", 2)))
                          << PropertyListValue::fromData(QByteArray("\x00\x01", 2));
    QTest::newRow("empty data") << single(dataObject({})) << PropertyListValue::fromData({});
    QTest::newRow("ascii") << single(asciiObject("eth0")) << str("eth0");
    QTest::newRow("ascii long count") << single(asciiObject(QByteArray(300, 'a'))) << str(QString(300, u'a'));
    QTest::newRow("utf16 astral") << single(utf16Object("\U0001F600\u00e9")) << str("\U0001F600\u00e9");
    QTest::newRow("empty string") << single(asciiObject({})) << str("");
    {
        Bplist b;
        b.add(arrayObject({1, 2, 1}));
        b.add(asciiObject("x"));
        b.add(intObject(7));
        QTest::newRow("array with shared element")
            << b.build() << PropertyListValue::fromArray({str("x"), num(7), str("x")});
    }
    {
        Bplist b;
        b.add(dictObject({1, 2}, {3, 4}));
        b.add(asciiObject("b"));
        b.add(utf16Object("a"));
        b.add(arrayObject({}));
        b.add("\x09");
        PropertyListDictionary d;
        d.insert("a", PropertyListValue::fromBoolean(true));
        d.insert("b", PropertyListValue::fromArray({}));
        QTest::newRow("dictionary") << b.build() << PropertyListValue::fromDictionary(d);
    }
    {
        Bplist b;
        b.refSize = 2;
        b.offsetSize = 4;
        b.top = 1;
        b.add(asciiObject("leaf"));
        b.add(arrayObject({0, 0}, 2));
        QTest::newRow("wide refs and offsets, top not first")
            << b.build() << PropertyListValue::fromArray({str("leaf"), str("leaf")});
    }
    {
        Bplist b;
        QList<quint64> refs;
        b.add(QByteArray()); // placeholder for the array
        for (int i = 0; i < 20; ++i)
            refs.append(b.add(intObject(i)));
        b.objects[0] = arrayObject(refs);
        PropertyListArray expected;
        for (int i = 0; i < 20; ++i)
            expected.append(num(i));
        QTest::newRow("array with extended count") << b.build() << PropertyListValue::fromArray(expected);
    }
}

void TestPropertyListBinary::handBuilt()
{
    QFETCH(QByteArray, bytes);
    QFETCH(PropertyListValue, value);
    QString error;
    const PropertyListValue read = kv::readPropertyList(bytes, &error, "bin");
    QVERIFY2(!read.isNone(), qPrintable(error));
    QCOMPARE(read, value);
    QCOMPARE(plisttest::canonical(read), plisttest::canonical(value));
}

void TestPropertyListBinary::rejects_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error"); // the message after "bin: "

    QTest::newRow("other version")
        << QByteArray("bplist15") + QByteArray(40, '\0')
        << "byte offset 6: unsupported binary property-list version \"15\" (only \"00\" is read)";
    QTest::newRow("header only") << QByteArray(
        "bplist00") << "byte offset 8: the input ends before the 32-byte trailer (it is only 8 bytes long)";
    QTest::newRow("short prefix") << QByteArray(
        "bplist") << "byte offset 6: unsupported binary property-list version \"\" (only \"00\" is read)";
    {
        Bplist b;
        b.add("\x09");
        b.trailerOffsetSize = 0;
        QTest::newRow("offset width 0") << b.build()
                                        << "byte offset 17: offset-table entries are 0 bytes wide; expected 1 to 8";
        b.trailerOffsetSize = 9;
        QTest::newRow("offset width 9") << b.build()
                                        << "byte offset 17: offset-table entries are 9 bytes wide; expected 1 to 8";
        b.trailerOffsetSize.reset();
        b.trailerRefSize = 0;
        QTest::newRow("ref width 0") << b.build()
                                     << "byte offset 18: object references are 0 bytes wide; expected 1 to 8";
        b.trailerRefSize.reset();
        b.objectCount = 0;
        QTest::newRow("no objects") << b.build() << "byte offset 19: the trailer says the file holds no objects";
        b.objectCount = 2;
        QTest::newRow("more objects than the table holds")
            << b.build()
            << "byte offset 19: an offset table of 2 entries of 2 bytes does not fit between byte 9 and the trailer";
        b.objectCount = std::numeric_limits<quint64>::max();
        QTest::newRow("object count overflow")
            << b.build()
            << "byte offset 19: an offset table of 18446744073709551615 entries of 2 bytes does not fit between byte 9 "
               "and the trailer";
        b.objectCount.reset();
        b.top = 1;
        QTest::newRow("top out of range")
            << b.build() << "byte offset 27: the top object is number 1, but there are only 1 objects";
        b.top = 0;
        b.tableOffset = 1000;
        QTest::newRow("table past the end")
            << b.build()
            << "byte offset 35: the offset table is said to start at byte 1000, outside "
               "the object area (bytes 9 to 11)";
        b.tableOffset = 3;
        QTest::newRow("table inside header")
            << b.build()
            << "byte offset 35: the offset table is said to start at byte 3, outside the "
               "object area (bytes 9 to 11)";
        b.tableOffset.reset();
        b.offsetOverrides = {{0, 60000}};
        QTest::newRow("object offset past table")
            << b.build()
            << "byte offset 9: object 0 is said to start at byte 60000, outside the "
               "object area (bytes 8 to 8)";
        b.offsetOverrides = {{0, 2}};
        QTest::newRow("object offset in header") << b.build()
                                                 << "byte offset 9: object 0 is said to start at byte 2, outside the "
                                                    "object area (bytes 8 to 8)";
    }
    {
        Bplist b;
        for (int i = 0; i < 300; ++i)
            b.add("\x09");
        b.refSize = 1;
        QTest::newRow("refs too narrow for the objects")
            << b.build() << "byte offset 915: 1-byte object references cannot name all 300 objects";
    }
    {
        Bplist b;
        b.add(arrayObject({5}));
        b.add("\x09");
        QTest::newRow("reference out of range")
            << b.build() << "byte offset 9: reference to object 5, but there are only 2 objects";
    }
    QTest::newRow("null") << single(QByteArray(1, '\0')) << "byte offset 8: null objects are not supported";
    QTest::newRow("fill") << single("\x0f") << "byte offset 8: fill bytes are not an object";
    QTest::newRow("unknown simple") << single("\x05") << "byte offset 8: unknown object marker 0x05";
    QTest::newRow("uid") << single("\x80\x01")
                         << "byte offset 8: UID objects (archived object references) are not supported";
    QTest::newRow("set") << single("\xc0") << "byte offset 8: set objects are not supported";
    QTest::newRow("ordered set") << single("\xb0") << "byte offset 8: set objects are not supported";
    QTest::newRow("unknown type 7") << single("\x71x") << "byte offset 8: unknown object marker 0x71";
    QTest::newRow("32-byte integer") << single("\x15" + QByteArray(32, '\0'))
                                     << "byte offset 8: integers of 32 bytes are not supported";
    QTest::newRow("16-byte integer too big")
        << single(int16Object(1, 0)) << "byte offset 8: a 16-byte integer outside the range -2^63 to 2^64 - 1";
    QTest::newRow("16-byte integer too small")
        << single(int16Object(~quint64(0), 0))
        << "byte offset 8: a 16-byte integer outside the range -2^63 to 2^64 - 1";
    QTest::newRow("integer cut off") << single("\x13\x01\x02")
                                     << "byte offset 8: the object's 8 bytes run past the offset table at byte 11";
    QTest::newRow("2-byte real") << single(QByteArray("\x21\x00\x00", 3))
                                 << "byte offset 8: reals of 2 bytes are not supported";
    QTest::newRow("real cut off") << single(QByteArray("\x23\x00", 2))
                                  << "byte offset 8: the object's 8 bytes run past the offset table at byte 10";
    QTest::newRow("date marker 0x32") << single("\x32\0\0\0\0") << "byte offset 8: unknown object marker 0x32";
    QTest::newRow("date nan") << single(dateObject(std::nan(""))) << "byte offset 8: the date is out of range";
    QTest::newRow("date huge") << single(dateObject(1e300)) << "byte offset 8: the date is out of range";
    QTest::newRow("date year 10000") << single(dateObject(2.6e11))
                                     << "byte offset 8: the date is outside the years 1 to 9999";
    QTest::newRow("ascii with high byte")
        << single(asciiObject("caf\xe9")) << "byte offset 12: byte 0xe9 in an ASCII string";
    QTest::newRow("string longer than file")
        << single("\x5f\x10\xff"
                  "abc")
        << "byte offset 8: an object of 255 bytes does not fit before the offset table at byte 14";
    QTest::newRow("utf16 count overflow")
        << single("\x6f\x13\x7f\xff\xff\xff\xff\xff\xff\xff")
        << "byte offset 8: an object of 9223372036854775807 characters does not fit before "
           "the offset table at byte 18";
    QTest::newRow("negative count") << single("\x4f\x13\xff\xff\xff\xff\xff\xff\xff\xff")
                                    << "byte offset 10: the object's size is negative";
    QTest::newRow("count not an integer")
        << single("\x5f\x23\0\0\0\0\0\0\0\0")
        << "byte offset 9: expected an integer giving the object's size, found marker 0x23";
    QTest::newRow("count cut off") << single("\x5f") << "byte offset 9: the object's size is cut off";
    QTest::newRow("count integer cut off")
        << single(QByteArray("\x5f\x12\x00", 3)) << "byte offset 9: the object's size is cut off";
    QTest::newRow("array refs past table")
        << single(QByteArray("\xa5\x00", 2))
        << "byte offset 8: an object of 5 elements does not fit before the offset table at byte 10";
    {
        // 2^62 + 1 entries of 4 bytes: a size past 2^64, which must not wrap
        // round to the 4 bytes there are.
        Bplist b;
        b.refSize = 2;
        b.add(QByteArray("\xdf\x13\x40\0\0\0\0\0\0\x01\0\0\0\0", 14));
        QTest::newRow("dictionary count overflow") << b.build()
                                                   << "byte offset 8: an object of 4611686018427387905 entries does "
                                                      "not fit before the offset table at byte 22";
    }
    {
        Bplist b;
        b.add(arrayObject({0}));
        QTest::newRow("array contains itself") << b.build() << "byte offset 8: object 0 contains itself";
    }
    {
        Bplist b;
        b.add(arrayObject({1}));
        b.add(dictObject({2}, {3}));
        b.add(asciiObject("k"));
        b.add(arrayObject({0}));
        QTest::newRow("cycle through ancestors") << b.build() << "byte offset 8: object 0 contains itself";
    }
    {
        Bplist b;
        b.add(dictObject({1}, {0}));
        b.add(asciiObject("self"));
        QTest::newRow("dictionary contains itself") << b.build() << "byte offset 8: object 0 contains itself";
    }
    {
        Bplist b;
        b.add(dictObject({1}, {1}));
        b.add(intObject(3));
        QTest::newRow("integer key") << b.build() << "byte offset 9: dictionary key (object 1) is not a string";
    }
    {
        Bplist b;
        b.add(dictObject({1}, {1}));
        b.add(arrayObject({}));
        QTest::newRow("array key") << b.build() << "byte offset 9: dictionary key (object 1) is not a string";
    }
    {
        Bplist b;
        b.add(dictObject({1, 2}, {3, 3}));
        b.add(asciiObject("same"));
        b.add(utf16Object("same"));
        b.add("\x08");
        QTest::newRow("duplicate keys") << b.build()
                                        << "byte offset 10: the key \"same\" appears twice in one dictionary";
    }
    {
        Bplist b;
        b.add(arrayObject({1}));
        b.add(QByteArray(1, '\0'));
        QTest::newRow("null inside array") << b.build() << "byte offset 10: null objects are not supported";
    }
}

void TestPropertyListBinary::rejects()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    QString message;
    const PropertyListValue value = kv::readPropertyList(bytes, &message, "bin");
    QVERIFY2(value.isNone(), qPrintable(plisttest::canonical(value)));
    QCOMPARE(message, "bin: " + error);
}

void TestPropertyListBinary::sharedObjectsAreFine()
{
    // One dictionary used by two arrays and twice by a third: not a cycle.
    Bplist b;
    b.add(arrayObject({1, 2, 3}));
    b.add(arrayObject({4}));
    b.add(arrayObject({4}));
    b.add(arrayObject({4, 4}));
    b.add(dictObject({5}, {6}));
    b.add(asciiObject("k"));
    b.add(intObject(1));
    QString error;
    const PropertyListValue value = kv::readPropertyList(b.build(), &error);
    QVERIFY2(!value.isNone(), qPrintable(error));
    QCOMPARE(plisttest::canonical(value), QString("[[{s\"k\":i1}],[{s\"k\":i1}],[{s\"k\":i1},{s\"k\":i1}]]"));
    QCOMPARE(value.depth(), 4);
}

void TestPropertyListBinary::depthLimit()
{
    QString error;
    const PropertyListValue ok = kv::readPropertyList(nestedArrays(512), &error);
    QVERIFY2(!ok.isNone(), qPrintable(error));
    QCOMPARE(ok.depth(), 512);
    QVERIFY(kv::readPropertyList(nestedArrays(513), &error, "bin").isNone());
    QVERIFY2(error.startsWith("bin: byte offset ") && error.endsWith(": values are nested deeper than 512 levels"),
             qPrintable(error));

    // A scalar below 512 arrays is too deep as well.
    Bplist b;
    b.refSize = 2;
    b.add("\x09");
    for (int i = 1; i <= 512; ++i)
        b.add(arrayObject({quint64(i - 1)}, 2));
    b.top = 512;
    QVERIFY(kv::readPropertyList(b.build(), &error).isNone());
    QVERIFY2(error.endsWith("values are nested deeper than 512 levels"), qPrintable(error));

    // A shared subtree decoded once at a shallow level is still too deep
    // when it is used again deeper down.
    Bplist c;
    c.refSize = 2;
    // Object 0: array [1, 2]; 1: a chain of 300 arrays (objects 3..302,
    // 1 -> 3 -> ... -> empty); 2: a chain of 250 arrays ending in object 1.
    c.add(QByteArray());
    c.add(QByteArray());
    c.add(QByteArray());
    QList<quint64> chainA, chainB;
    for (int i = 0; i < 300; ++i)
        chainA.append(c.add(QByteArray()));
    for (int i = 0; i < 250; ++i)
        chainB.append(c.add(QByteArray()));
    c.objects[0] = arrayObject({1, 2}, 2);
    c.objects[1] = arrayObject({chainA[0]}, 2);
    for (int i = 0; i < 299; ++i)
        c.objects[int(chainA[i])] = arrayObject({chainA[i + 1]}, 2);
    c.objects[int(chainA[299])] = arrayObject({}, 2);
    c.objects[2] = arrayObject({chainB[0]}, 2);
    for (int i = 0; i < 249; ++i)
        c.objects[int(chainB[i])] = arrayObject({chainB[i + 1]}, 2);
    c.objects[int(chainB[249])] = arrayObject({1}, 2);
    QVERIFY(kv::readPropertyList(c.build(), &error).isNone());
    QVERIFY2(error.endsWith("values are nested deeper than 512 levels"), qPrintable(error));
}

void TestPropertyListBinary::expansionBombIsRefused()
{
    // Object n is [n+1, n+1]: 60 objects that would expand to 2^60 values.
    Bplist b;
    for (int i = 0; i < 60; ++i)
        b.add(arrayObject({quint64(i + 1), quint64(i + 1)}));
    b.add(asciiObject("leaf"));
    QString error;
    QVERIFY(kv::readPropertyList(b.build(), &error, "bin").isNone());
    QVERIFY2(error.contains("the shared objects expand to more than 16777216 values"), qPrintable(error));

    // Moderate sharing stays well within the limit.
    Bplist small;
    for (int i = 0; i < 10; ++i)
        small.add(arrayObject({quint64(i + 1), quint64(i + 1)}));
    small.add(asciiObject("leaf"));
    const PropertyListValue value = kv::readPropertyList(small.build(), &error);
    QVERIFY2(!value.isNone(), qPrintable(error));
    QCOMPARE(value.depth(), 11);
}

void TestPropertyListBinary::everyTruncationFails()
{
    for (const QString &name : fixtureNames()) {
        const QByteArray bytes = fileContent(QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist/") + name + ".bplist");
        QVERIFY(!bytes.isEmpty());
        for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
            QString error;
            const PropertyListValue value = kv::readPropertyList(bytes.left(cut), &error, "cut");
            QVERIFY2(value.isNone(), qPrintable(QString("%1 cut at %2 read as a value").arg(name).arg(cut)));
            QVERIFY2(error.startsWith("cut: "), qPrintable(error));
        }
    }
}

void TestPropertyListBinary::corruptedBytesNeverCrash()
{
    // Every byte of every fixture changed in a few ways: each read either
    // succeeds or fails with a message (the sanitizer builds check memory).
    int failures = 0, reads = 0;
    for (const QString &name : fixtureNames()) {
        const QByteArray bytes = fileContent(QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist/") + name + ".bplist");
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            for (uchar flip : {uchar(0x01), uchar(0x0f), uchar(0x80), uchar(0xff)}) {
                QByteArray changed = bytes;
                changed[i] = char(uchar(changed[i]) ^ flip);
                QString error;
                const PropertyListValue value = kv::readPropertyList(changed, &error, "fuzz");
                ++reads;
                if (value.isNone()) {
                    ++failures;
                    QVERIFY2(error.startsWith("fuzz: "), qPrintable(error));
                } else {
                    QVERIFY(value.depth() <= kv::PropertyListMaximumDepth);
                }
            }
        }
    }
    QVERIFY(failures > 0);
    QVERIFY(failures < reads);
}

void TestPropertyListBinary::oversizedFileIsRefusedUpFront()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("huge.bplist");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write("bplist00") == 8);
    QVERIFY(f.resize(kv::PropertyListMaximumInputSize + 1)); // sparse: no disk used
    f.close();
    QString error;
    QVERIFY(kv::readPropertyListFile(path, &error).isNone());
    QCOMPARE(error,
             QString("cannot read \"%1\": the file is 512.0 MiB, more than the 512.0 MiB a property list may have")
                 .arg(path));
}

namespace {

// A document whose top-level dictionary holds "m" -> `member` (object 2,
// plus `more` objects after it) and "n" -> 1.
QByteArray underTopDictionary(const QByteArray &member, const QList<QByteArray> &more = {})
{
    Bplist b;
    b.add(dictObject({1, 3}, {2, 4})); // 0
    b.add(asciiObject("m"));           // 1
    b.add(member);                     // 2
    b.add(asciiObject("n"));           // 3
    b.add(intObject(1));               // 4
    for (const QByteArray &object : more)
        b.add(object); // 5, 6, ...
    return b.build();
}

// Reads `bytes` whole and with the top-level members made on first use: both
// refuse it with the same message, or both read it as the same value with
// the same depth known before anything is made.
void checkReadAlike(const QByteArray &bytes, const char *what)
{
    QString wholeError, lazyError;
    const PropertyListValue whole = kv::readPropertyList(bytes, &wholeError, "bin");
    const PropertyListValue lazy =
        kv::readPropertyList(bytes, &lazyError, "bin", kv::PropertyListReading::TopLevelOnUse);
    QVERIFY2(lazyError == wholeError, what);
    QVERIFY2(lazy.isNone() == whole.isNone(), what);
    if (whole.isNone())
        return;
    QVERIFY2(lazy.depth() == whole.depth(), what);
    QVERIFY2(lazy == whole, what);
    QVERIFY2(plisttest::canonical(lazy) == plisttest::canonical(whole), what);
}

} // namespace

void TestPropertyListBinary::membersMadeOnFirstUse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("reads");

    QTest::newRow("dictionary member") << underTopDictionary(dictObject({3}, {5}), {asciiObject("x")}) << true;
    QTest::newRow("array sharing the top's objects")
        << underTopDictionary(arrayObject({3, 4, 4, 5}), {arrayObject({4})}) << true;
    QTest::newRow("member holding the top dictionary") << underTopDictionary(arrayObject({0})) << false;
    QTest::newRow("member holding itself") << underTopDictionary(arrayObject({5}), {arrayObject({2})}) << false;
    QTest::newRow("keys equal across encodings")
        << underTopDictionary(dictObject({5, 6}, {4, 4}), {asciiObject("k"), utf16Object("k")}) << false;
    QTest::newRow("one key twice") << underTopDictionary(dictObject({3, 3}, {4, 4})) << false;
    QTest::newRow("non-string key") << underTopDictionary(dictObject({4}, {4})) << false;
    QTest::newRow("non-string key met before as a value")
        << underTopDictionary(arrayObject({4, 5}), {dictObject({4}, {4})}) << false;
    QTest::newRow("high byte in ascii") << underTopDictionary(arrayObject({5}), {asciiObject("\xe9")}) << false;
    {
        // Two dictionaries, the first with the keys "k" and "l" (objects 5
        // and 6); object 7 is "k" again in UTF-16.
        const auto twoDictionaries = [](QList<quint64> secondKeys) {
            return underTopDictionary(arrayObject({8, 9}),
                                      {asciiObject("k"), asciiObject("l"), utf16Object("k"), dictObject({5, 6}, {4, 4}),
                                       dictObject(secondKeys, {4, 4})});
        };
        QTest::newRow("key objects shared by two dictionaries") << twoDictionaries({5, 6}) << true;
        QTest::newRow("shared keys in another order") << twoDictionaries({6, 5}) << true;
        QTest::newRow("the second dictionary's key twice") << twoDictionaries({5, 5}) << false;
        QTest::newRow("the second dictionary's keys equal in text") << twoDictionaries({5, 7}) << false;
    }
    for (const QByteArray &key : {asciiObject("\xe9"), intObject(7)}) {
        Bplist b;
        b.add(dictObject({1}, {2})); // a top-level key that is no key
        b.add(key);
        b.add(arrayObject({}));
        QTest::newRow(key.size() == 2 && key[0] == '\x51' ? "top-level key with a high byte" : "top-level key a number")
            << b.build() << false;
    }
    QTest::newRow("16-byte integer out of range") << underTopDictionary(arrayObject({5}), {int16Object(1, 0)}) << false;
    QTest::newRow("16-byte negative integer")
        << underTopDictionary(arrayObject({5}), {int16Object(~quint64(0), ~quint64(0))}) << true;
    QTest::newRow("date out of range") << underTopDictionary(arrayObject({5}), {dateObject(1e12)}) << false;
    QTest::newRow("null object") << underTopDictionary(arrayObject({5}), {QByteArray(1, '\0')}) << false;
    // The last objects, whose bytes would run into the offset table.
    QTest::newRow("integer cut off") << underTopDictionary(arrayObject({5}), {QByteArray("\x13\0\0", 3)}) << false;
    QTest::newRow("string cut off") << underTopDictionary(arrayObject({5}), {QByteArray("\x55"
                                                                                        "ab")})
                                    << false;
    QTest::newRow("reference past the objects") << underTopDictionary(arrayObject({9})) << false;
    {
        // A member that expands to 2^40 values through shared objects.
        QList<QByteArray> chain;
        for (int i = 0; i < 40; ++i)
            chain.append(arrayObject({quint64(6 + i), quint64(6 + i)}));
        chain.append(asciiObject("leaf"));
        QTest::newRow("expansion bomb") << underTopDictionary(arrayObject({5}), chain) << false;
    }
    for (const int tall : {14, 15, 40}) {
        // Arrays nested `tall` deep around a boolean, met first near the
        // top, then again at the end of a chain of arrays long enough to put
        // the boolean at the depth limit, or one past it.
        for (const int past : {0, 1}) {
            const int chain = 509 - tall + past;
            Bplist b;
            b.refSize = 2;
            b.add(dictObject({1}, {2}, 2));
            b.add(asciiObject("m"));
            const quint64 shared = 4, chainStart = shared + quint64(tall);
            b.add(arrayObject({shared, chainStart}, 2));
            b.add("\x09");
            for (int i = 0; i < tall; ++i)
                b.add(i + 1 < tall ? arrayObject({shared + quint64(i) + 1}, 2) : arrayObject({3}, 2));
            for (int i = 0; i < chain; ++i)
                b.add(arrayObject({i + 1 < chain ? chainStart + quint64(i) + 1 : shared}, 2));
            QTest::addRow("a shared member %d tall met again %s the depth limit", tall, past ? "past" : "at")
                << b.build() << !past;
        }
    }
    {
        // Members nested exactly as deep as allowed, and one level deeper.
        for (const int levels : {510, 511}) {
            Bplist b;
            b.refSize = 2;
            b.add(dictObject({1}, {2}, 2));
            b.add(asciiObject("m"));
            for (int i = 0; i < levels; ++i)
                b.add(arrayObject({quint64(3 + i)}, 2));
            b.add("\x09");
            QTest::newRow(levels == 510 ? "member at the depth limit" : "member past the depth limit")
                << b.build() << (levels == 510);
        }
    }
}

void TestPropertyListBinary::membersMadeOnFirstUse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, reads);
    QString error;
    QCOMPARE(!kv::readPropertyList(bytes, &error, "bin").isNone(), reads);
    checkReadAlike(bytes, QTest::currentDataTag());
}

void TestPropertyListBinary::membersAreMadeWhenFirstUsed()
{
    // Bytes changed after reading show in a member not yet used, and not in
    // one already used: each is made from the bytes when first looked into.
    const QByteArray bytes = underTopDictionary(arrayObject({5}), {asciiObject("x")});
    QByteArray buffer(bytes.constData(), bytes.size());
    QString error;
    const PropertyListValue first = kv::readPropertyList(QByteArray::fromRawData(buffer.constData(), buffer.size()),
                                                         &error, "bin", kv::PropertyListReading::TopLevelOnUse);
    const PropertyListValue second = kv::readPropertyList(QByteArray::fromRawData(buffer.constData(), buffer.size()),
                                                          &error, "bin", kv::PropertyListReading::TopLevelOnUse);
    QCOMPARE(second.value("m").at(0), str("x"));
    const qsizetype at = buffer.indexOf("\x51x");
    QVERIFY(at > 0);
    buffer[at + 1] = 'y';
    QCOMPARE(first.value("m").at(0), str("y"));
    QCOMPARE(second.value("m").at(0), str("x"));
}

void TestPropertyListBinary::corruptedMembersReadAlike()
{
    // Every byte of every fixture with a top-level dictionary, changed in a
    // few ways, reads alike both ways.
    int checked = 0;
    for (const QString &name : fixtureNames()) {
        const QByteArray bytes = fileContent(QStringLiteral(KEYVANE_TEST_DATA_DIR "/plist/") + name + ".bplist");
        if (!kv::readPropertyList(bytes, nullptr).isDictionary())
            continue;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            for (uchar flip : {uchar(0x01), uchar(0x0f), uchar(0x80), uchar(0xff)}) {
                QByteArray changed = bytes;
                changed[i] = char(uchar(changed[i]) ^ flip);
                checkReadAlike(changed, qPrintable(QString("%1, byte %2 ^ %3").arg(name).arg(i).arg(flip)));
                if (QTest::currentTestFailed())
                    return;
                ++checked;
            }
        }
    }
    QVERIFY(checked > 0);
}

namespace {

// What entry `at` of a large top-level dictionary is made into.
enum class Fault {
    None,
    KeyTwice,
    KeyOutOfOrder,
    KeyNotString,
    KeyNotAscii,
    KeyInUtf16,
    ValueHoldingTop,
    ValueHoldingItself,
    BadScalar
};

// A top-level dictionary of `entries` entries (keys "k00000" on, values by
// turns a dictionary, an array and an integer, sharing their keys and
// elements), entry `at` changed by `fault`.
QByteArray largeTopLevel(int entries, int at, Fault fault)
{
    Bplist b;
    b.refSize = 2;
    b.offsetSize = 4;
    QList<quint64> keys, values;
    b.add(QByteArray()); // 0: the top dictionary, made last
    const quint64 shared = b.add(asciiObject("shared"));
    const quint64 element = b.add(intObject(7));
    for (int i = 0; i < entries; ++i) {
        const bool faulty = i == at;
        if (faulty && fault == Fault::KeyTwice)
            keys.append(keys.last());
        else if (faulty && fault == Fault::KeyNotString)
            keys.append(element);
        else if (faulty && fault == Fault::KeyNotAscii)
            keys.append(b.add(asciiObject(QByteArray("k\xe9") + QByteArray::number(i))));
        else if (faulty && fault == Fault::KeyInUtf16)
            keys.append(b.add(utf16Object(QStringLiteral("k%1\u00e9").arg(i, 5, 10, QLatin1Char('0')))));
        else if (faulty && fault == Fault::KeyOutOfOrder)
            keys.append(b.add(asciiObject("a" + QByteArray::number(i))));
        else
            keys.append(b.add(asciiObject(QByteArray("k") + QByteArray::number(i).rightJustified(5, '0'))));
        const quint64 value = quint64(b.objects.size());
        if (faulty && fault == Fault::ValueHoldingTop)
            b.add(arrayObject({element, 0}, 2));
        else if (faulty && fault == Fault::ValueHoldingItself)
            b.add(arrayObject({value}, 2));
        else if (faulty && fault == Fault::BadScalar)
            b.add(QByteArray(1, '\0'));
        else if (i % 3 == 0)
            b.add(dictObject({shared}, {element}, 2));
        else if (i % 3 == 1)
            b.add(arrayObject({element, shared}, 2));
        else
            b.add(intObject(i));
        values.append(value);
    }
    b.objects[0] = dictObject(keys, values, 2);
    return b.build();
}

// `entries` top-level entries, each value an array holding one shared
// array of `shared` integers: each value expands to shared + 2 values.
QByteArray expandingTopLevel(int entries, int shared)
{
    Bplist b;
    b.refSize = 2;
    b.offsetSize = 4;
    b.add(QByteArray()); // 0: the top dictionary, made last
    QList<quint64> elements, keys, values;
    for (int i = 0; i < shared; ++i)
        elements.append(b.add(intObject(i)));
    const quint64 sharedArray = b.add(arrayObject(elements, 2));
    for (int i = 0; i < entries; ++i) {
        keys.append(b.add(asciiObject(QByteArray("k") + QByteArray::number(i).rightJustified(5, '0'))));
        values.append(b.add(arrayObject({sharedArray}, 2)));
    }
    b.objects[0] = dictObject(keys, values, 2);
    return b.build();
}

// How valuesInOrder() departs from a writer's layout.
struct InOrderLayout
{
    int containerSharedAt = -1; // this value holds value 10's array
    int longStringAt = -1;      // this value and value 0 hold one long string
    int valueSharedAt = -1;     // this entry's value is value 100's
    int chainLevels = 0;        // each chunk of 1024 values holds a chain this deep
};

// 6000 top-level entries laid out as writers lay them out: the keys, then
// each value (an array of a string and an integer) followed by what it
// holds; with `chainLevels`, each value also holds the head of a chain of
// arrays (each holding the next twice) laid after its chunk's values.
QByteArray valuesInOrder(const InOrderLayout &layout)
{
    constexpr int entries = 6000, chunk = 1024;
    Bplist b;
    b.refSize = 4;
    b.offsetSize = 4;
    b.add(QByteArray()); // 0: the top dictionary, made last
    QList<quint64> keys, values;
    for (int i = 0; i < entries; ++i)
        keys.append(b.add(asciiObject(QByteArray("k") + QByteArray::number(i).rightJustified(5, '0'))));
    quint64 longString = 0;
    for (int first = 0; first < entries; first += chunk) {
        const int end = std::min(entries, first + chunk);
        // A chain's head comes after the chunk's values: each value takes
        // three objects, or four with the long string.
        const quint64 chainHead = quint64(b.objects.size()) + 3 * quint64(end - first) + (first == 0 ? 1 : 0);
        for (int i = first; i < end; ++i) {
            const quint64 value = quint64(b.objects.size());
            values.append(value);
            QList<quint64> held{value + 1, value + 2};
            if (i == layout.containerSharedAt)
                held.append(values[10]);
            if (i == layout.longStringAt)
                held.append(longString);
            if (layout.chainLevels > 0)
                held.append(chainHead);
            b.add(arrayObject(held, 4));
            b.add(asciiObject("10.0." + QByteArray::number(i)));
            b.add(intObject(i));
            if (i == 0) {
                longString = b.add(asciiObject(QByteArray(100, 'x')));
                b.objects[int(value)] = arrayObject({value + 1, value + 2, longString}, 4);
            }
        }
        if (layout.chainLevels > 0) {
            Q_ASSERT(quint64(b.objects.size()) == chainHead);
            for (int level = 0; level < layout.chainLevels; ++level) {
                const quint64 next = quint64(b.objects.size()) + 1;
                b.add(arrayObject({next, next}, 4));
            }
            b.add(intObject(0));
        }
    }
    if (layout.valueSharedAt >= 0)
        values[layout.valueSharedAt] = values[100];
    b.objects[0] = dictObject(keys, values, 4);
    return b.build();
}

} // namespace

void TestPropertyListBinary::largeTopLevelReadsAlike_data()
{
    // Large enough for the keys and the values to be read apart; the fault
    // met first by one side, last by the other, or both at once.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("reads");
    constexpr int entries = 6000;
    QTest::newRow("no fault") << largeTopLevel(entries, -1, Fault::None) << true;
    QTest::newRow("a key out of order") << largeTopLevel(entries, entries / 2, Fault::KeyOutOfOrder) << true;
    // 6000 values of 3002 each pass 2^24 together, and neither half alone:
    // the values may be checked by both threads.
    QTest::newRow("values expanding past the limit together") << expandingTopLevel(entries, 3000) << false;
    // Keys are made in chunks of 1024, by either thread.
    for (const int at : {1023, 1024, entries - 1})
        QTest::addRow("a key in UTF-16, entry %d", at) << largeTopLevel(entries, at, Fault::KeyInUtf16) << true;
    const struct
    {
        const char *name;
        Fault fault;
    } faults[] = {{"a key twice", Fault::KeyTwice},
                  {"a key with a byte above 0x7f", Fault::KeyNotAscii},
                  {"a key not a string", Fault::KeyNotString},
                  {"a value holding the top dictionary", Fault::ValueHoldingTop},
                  {"a value holding itself", Fault::ValueHoldingItself},
                  {"a bad scalar value", Fault::BadScalar}};
    for (const auto &f : faults) {
        for (const int at : {f.fault == Fault::KeyTwice ? 1 : 0, 1024, entries / 2, entries - 1})
            QTest::addRow("%s, entry %d", f.name, at) << largeTopLevel(entries, at, f.fault) << false;
    }
    // Values laid out in order are checked a chunk at a time; what the order
    // does not prove sound is checked value by value.
    QTest::newRow("values in order") << valuesInOrder({}) << true;
    QTest::newRow("a value holding an earlier value's array") << valuesInOrder({.containerSharedAt = 500}) << true;
    QTest::newRow("a value holding an earlier chunk's array") << valuesInOrder({.containerSharedAt = 2000}) << true;
    QTest::newRow("a long string held in two chunks") << valuesInOrder({.longStringAt = 3000}) << true;
    QTest::newRow("an entry holding an earlier entry's value") << valuesInOrder({.valueSharedAt = 1500}) << true;
    // Each value expands to about 2^13 values: 6000 of them pass 2^24.
    QTest::newRow("values in order expanding past the limit together") << valuesInOrder({.chainLevels = 11}) << false;
    QTest::newRow("values in order expanding within the limit") << valuesInOrder({.chainLevels = 10}) << true;
}

void TestPropertyListBinary::largeTopLevelReadsAlike()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, reads);
    QString error;
    const PropertyListValue whole = kv::readPropertyList(bytes, &error, "bin");
    QCOMPARE(!whole.isNone(), reads);
    checkReadAlike(bytes, QTest::currentDataTag());
    if (reads)
        QCOMPARE(whole.count(), 6000);
}

// Once a large top-level dictionary is read with its values made on use, the
// pages that hold only its keys go back to the system (they read as zeros
// then); every value still reads as the whole reader reads it.
void TestPropertyListBinary::unneededPagesAreGivenBack_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("givenBack");
    const int middle = TopLevelLayout().entries / 2;
    QTest::newRow("keys, then values") << topLevelFile({}) << true;
    QTest::newRow("a value holding a key") << topLevelFile({.holdingKeyAt = middle + 10}) << true;
    QTest::newRow("pages of data among the keys") << topLevelFile({.holdingDataAt = middle + 10}) << true;
    QTest::newRow("a top-level string among the keys") << topLevelFile({.scalarAt = middle + 10}) << true;
    QTest::newRow("keys and values interleaved") << topLevelFile({.interleaved = true}) << false;
    // Large enough for two threads to check the values, each marking the
    // pages its values need.
    QTest::newRow("keys, then values, 6000") << topLevelFile({.entries = 6000}) << true;
    QTest::newRow("a value holding a key, 6000") << topLevelFile({.entries = 6000, .holdingKeyAt = 5000}) << true;
    QTest::newRow("a small file") << topLevelFile({.entries = 3}) << false;
    // Raw data: bytes the reader does not own are left alone.
    static const QByteArray held = topLevelFile({});
    QTest::newRow("bytes not owned") << QByteArray::fromRawData(held.constData(), held.size()) << false;
}

void TestPropertyListBinary::unneededPagesAreGivenBack()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, givenBack);
    QString error;
    const PropertyListValue whole =
        kv::readPropertyList(QByteArray(bytes.constData(), bytes.size()), &error, "bin"); // bytes of its own
    QVERIFY2(whole.isDictionary(), qPrintable(error));
    const PropertyListValue lazy = kv::readPropertyList(bytes, &error, "bin", kv::PropertyListReading::TopLevelOnUse);
    QVERIFY2(lazy.isDictionary(), qPrintable(error));
    bytes = QByteArray(); // the document holds the bytes alone
    const kv::ByteRanges released = kv::releaseUnneededBytes(lazy.dictionary());
    QCOMPARE(!released.empty(), givenBack);
    QCOMPARE(lazy.count(), whole.count());
    for (auto i = lazy.dictionary().cbegin(), j = whole.dictionary().cbegin(); j != whole.dictionary().cend();
         ++i, ++j) {
        QCOMPARE(i.key(), j.key());
        QVERIFY2(plisttest::canonical(i.value()) == plisttest::canonical(j.value()), qPrintable(j.key()));
    }
}

namespace {

// Where keysThenValues() puts a data object of three pages: nowhere, or
// right after the first key (starting before the keys' first whole page),
// held by the last entry's array or as the last entry's value itself.
enum class DataAfterFirstKey { None, InArray, AtTop };

// `entries` top-level keys in the file's order (or, but for the first and
// the last, scattered), then their values (arrays of a string); key `at`
// made of `keyAt`'s object instead.
QByteArray keysThenValues(int entries, bool scattered = false, int at = -1, const QByteArray &keyAt = {},
                          DataAfterFirstKey data = DataAfterFirstKey::None)
{
    Bplist b;
    b.refSize = 4;
    b.offsetSize = 4;
    b.add(QByteArray()); // 0: the top dictionary, made last
    QList<quint64> keys(entries), values(entries);
    quint64 pages = 0;
    for (int n = 0; n < entries; ++n) {
        const int i = scattered && n > 0 && n < entries - 1 ? int(qint64(n) * 7919 % (entries - 2)) + 1 : n;
        keys[i] = b.add(i == at ? keyAt : asciiObject(topLevelKeyText(i)));
        if (n == 0 && data != DataAfterFirstKey::None)
            pages = b.add(dataObject(QByteArray(3 * 4096, 'd')));
    }
    for (int i = 0; i < entries; ++i) {
        const quint64 address = b.add(asciiObject("10.0.0." + QByteArray::number(i)));
        const bool last = i == entries - 1;
        values[i] = last && data == DataAfterFirstKey::AtTop     ? pages
                    : last && data == DataAfterFirstKey::InArray ? b.add(arrayObject({address, pages}, 4))
                                                                 : b.add(arrayObject({address}, 4));
    }
    b.objects[0] = dictObject(keys, values, 4);
    return b.build();
}

} // namespace

// A large file is read leaving its keys' pages out, and the keys read from
// the file as they are made; anything else found there, or a fault, has the
// pages read in and the file read again. Either way, the same value or the
// same error as the bytes read whole.
void TestPropertyListBinary::keysReadFromTheFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("leftOut"); // the keys' pages stay unread
    QTest::addColumn<int>("cutTo");    // bytes the file is cut to once read (-1: kept)
    constexpr int entries = 6000;
    QTest::newRow("keys, then values") << topLevelFile({.entries = entries}) << true << -1;
    QTest::newRow("keys scattered") << keysThenValues(entries, true) << false << -1;
    QTest::newRow("a value holding a key") << topLevelFile({.entries = entries, .holdingKeyAt = 5000}) << false << -1;
    QTest::newRow("pages of data among the keys")
        << topLevelFile({.entries = entries, .holdingDataAt = 5000}) << false << -1;
    QTest::newRow("a top-level string among the keys")
        << topLevelFile({.entries = entries, .scalarAt = 3010}) << false << -1;
    // Its marker before the keys' pages, its bytes in them.
    QTest::newRow("data running into the keys' pages, in an array")
        << keysThenValues(entries, false, -1, {}, DataAfterFirstKey::InArray) << false << -1;
    QTest::newRow("data running into the keys' pages, at the top")
        << keysThenValues(entries, false, -1, {}, DataAfterFirstKey::AtTop) << false << -1;
    QTest::newRow("keys and values interleaved")
        << topLevelFile({.entries = entries, .interleaved = true}) << false << -1;
    QTest::newRow("a key in UTF-16") << keysThenValues(entries, false, 3000,
                                                       utf16Object(QStringLiteral("State:/\u00e9t\u00e9")))
                                     << true << -1;
    // Longer than a chunk's window reads on past its last key; the first
    // key runs from before the first whole page of keys into it.
    for (const int at : {0, 1023, 3000})
        QTest::addRow("a key of 5000 characters, entry %d", at)
            << keysThenValues(entries, false, at, asciiObject("State:/" + QByteArray(5000, 'x'))) << true << -1;
    QTest::newRow("a key with a byte above 0x7f")
        << keysThenValues(entries, false, 3000, asciiObject("State:/\xe9")) << false << -1;
    QTest::newRow("a key not a string") << keysThenValues(entries, false, 3000, intObject(7)) << false << -1;
    QTest::newRow("a key twice") << keysThenValues(entries, false, 3000, asciiObject(topLevelKeyText(2999))) << false
                                 << -1;
    QTest::newRow("a key cut off") << keysThenValues(entries, false, 3000, QByteArray(1, '\x5f')) << false << -1;
    QTest::newRow("the file cut short once read") << topLevelFile({.entries = entries}) << false << 40000;
}

void TestPropertyListBinary::keysReadFromTheFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, leftOut);
    QFETCH(int, cutTo);
    QTemporaryDir dir;
    const QString path = dir.filePath("large.bplist");
    {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray read;
    kv::UnreadBytes unread;
    QVERIFY(kv::readPropertyListFileContents(file, &read, kv::PropertyListMaximumInputSize, &unread));
    QVERIFY2(!unread.empty(), "the keys' pages were read"); // every file here has its keys together
    QCOMPARE(read.size(), bytes.size());
    if (cutTo >= 0)
        QVERIFY(QFile::resize(path, cutTo));
    QString error, wholeError;
    const PropertyListValue value =
        kv::readPropertyList(read, &error, "bin", kv::PropertyListReading::TopLevelOnUse, &unread);
    QCOMPARE(!unread.empty(), leftOut);
    if (cutTo >= 0) {
        QVERIFY(value.isNone());
        QCOMPARE(error, QStringLiteral("bin: the file was cut short while it was read"));
        return;
    }
    const PropertyListValue whole = kv::readPropertyList(bytes, &wholeError, "bin");
    QCOMPARE(error, wholeError);
    QCOMPARE(value.isNone(), whole.isNone());
    if (!whole.isNone()) {
        QCOMPARE(value, whole);
        QCOMPARE(plisttest::canonical(value), plisttest::canonical(whole));
    }
}

QTEST_MAIN(TestPropertyListBinary)
#include "tst_propertylistbinary.moc"
