// etcd keys and values in the store: the key mapping both ways, the range
// end of a key prefix, and how value bytes are shown and stored.

#include "platform/etcd/EtcdKeys.h"
#include "tests/PlistTestSupport.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

using kv::PropertyListValue;

Q_DECLARE_METATYPE(kv::PropertyListValue)

namespace {

QString escaped(std::initializer_list<uchar> bytes)
{
    QString text;
    for (uchar byte : bytes)
        text += QChar(char16_t(0xDC00 + byte));
    return text;
}

QByteArray nestedArrays(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

} // namespace

class TestEtcdKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keyMapping_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("etcdKey");
        QTest::addColumn<QString>("storeKey");
        const QByteArray p = "/keyvane/";
        QTest::newRow("host, domain, path")
            << p << p + "web-1/State:/Network/Global/IPv4" << QString("web-1:/State:/Network/Global/IPv4");
        QTest::newRow("other key space") << QByteArray("/") << QByteArray("/registry/pods/default/x")
                                         << "registry:/pods/default/x";
        QTest::newRow("no slash") << p << p + "foo" << QString("foo:");
        QTest::newRow("no slash, ends in colon") << p << p + "foo:" << QString("foo::");
        QTest::newRow("empty") << p << p << ":";
        QTest::newRow("empty first piece") << p << p + "/a/b" << QString(":/a/b");
        QTest::newRow("first piece ends in colon") << p << p + "a:/b" << QString("a::/b");
        QTest::newRow("colons and slashes later") << p << p + "h/x::/y:/z/" << QString("h:/x::/y:/z/");
        QTest::newRow("non-UTF-8 bytes") << p << p + "\xff\xc3/\x80" << escaped({0xff, 0xc3}) + ":/" + escaped({0x80});
        QTest::newRow("valid then stray continuation")
            << p << p + "\xc3\xa9\xa9" << QStringLiteral("\u00e9") + escaped({0xa9}) + ":";
        QTest::newRow("truncated sequence") << p << p + "\xe2\x82" << escaped({0xe2, 0x82}) + ":";
        QTest::newRow("encoded surrogate") << p << p + "\xed\xa0\x80" << escaped({0xed, 0xa0, 0x80}) + ":";
        QTest::newRow("overlong slash is no slash") << p << p + "a\xc0\xaf"
                                                    << "a" + escaped({0xc0, 0xaf}) + ":";
        QTest::newRow("past U+10FFFF") << p << p + "\xf4\x90\x80\x80" << escaped({0xf4, 0x90, 0x80, 0x80}) + ":";
        QTest::newRow("astral and BMP") << p << p + "\xf0\x9f\x98\x80/\xe2\x9c\x93"
                                        << QStringLiteral("\U0001F600:/\u2713");
        QTest::newRow("byte order mark and NUL")
            << p << p + QByteArray("\xef\xbb\xbf\0x", 5) << QStringLiteral("\uFEFF") + QChar(0) + "x:";
        QTest::newRow("prefix /") << QByteArray("/") << QByteArray("/a/b") << "a:/b";
        QTest::newRow("empty prefix") << QByteArray() << QByteArray("k/v") << "k:/v";
        QTest::newRow("prefix ends inside a sequence")
            << QByteArray("p\xc3") << QByteArray("p\xc3\xa9") << escaped({0xa9}) + ":";
    }

    void keyMapping()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, etcdKey);
        QFETCH(QString, storeKey);
        const QString made = kv::etcd::storeKeyFromEtcd(etcdKey, prefix);
        QCOMPARE(made, storeKey);
        const std::optional<QByteArray> back = kv::etcd::etcdKeyFromStore(made, prefix);
        QVERIFY(back);
        QCOMPARE(*back, etcdKey);
    }

    void keysNotMadeByTheMapping_data()
    {
        QTest::addColumn<QString>("storeKey");
        QTest::newRow("empty") << "";
        QTest::newRow("no colon") << "foo";
        QTest::newRow("colon inside") << "foo:bar";
        QTest::newRow("slash before the separator") << "a/b:/c";
        QTest::newRow("slash, no separator") << "a/b:";
        QTest::newRow("lone high surrogate") << QString(QChar(0xD800)) + ":/x";
        QTest::newRow("low surrogate of an ASCII byte") << escaped({0x41}) + ":";
        QTest::newRow("escapes that spell UTF-8") << "x:/" + escaped({0xc3, 0xa9});
    }

    void keysNotMadeByTheMapping()
    {
        QFETCH(QString, storeKey);
        QVERIFY(!kv::etcd::etcdKeyFromStore(storeKey, "/keyvane/"));
    }

    void prefixRangeEnd_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("end");
        QTest::newRow("plain") << QByteArray("/keyvane/") << QByteArray("/keyvane0");
        QTest::newRow("last byte 0xFE") << QByteArray("a\xfe") << QByteArray("a\xff");
        QTest::newRow("trailing 0xFF dropped") << QByteArray("a\x7f\xff\xff") << QByteArray("a\x80");
        QTest::newRow("NUL") << QByteArray(1, '\0') << QByteArray("\x01");
        QTest::newRow("empty") << QByteArray() << QByteArray(1, '\0');
        QTest::newRow("all 0xFF") << QByteArray("\xff\xff") << QByteArray(1, '\0');
    }

    void prefixRangeEnd()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, end);
        const QByteArray made = kv::etcd::prefixRangeEnd(prefix);
        QCOMPARE(made, end);
        // Every key under the prefix sorts before the end (bytes compare unsigned).
        if (made != QByteArray(1, '\0'))
            QVERIFY(prefix + QByteArray(16, '\xff') < made);
    }

    void values_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("canonical");
        QTest::newRow("XML property list")
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>a</key>"
                          "<integer>1</integer></dict></plist>")
            << "{s\"a\":i1}";
        QTest::newRow("XML after byte order mark and space")
            << QByteArray("\xef\xbb\xbf\n <plist version=\"1.0\"><string>x</string></plist>") << "s\"x\"";
        QTest::newRow("invalid XML behind a header")
            << QByteArray("<plist><dict><key>a</key></plist>") << "s\"<plist><dict><key>a</key></plist>\"";
        QTest::newRow("invalid binary behind a header") << QByteArray("bplist00 no more") << "s\"bplist00 no more\"";
        QTest::newRow("JSON object") << QByteArray(" {\"n\": 3, \"r\": 2.5, \"big\": 9223372036854775807, \"huge\": "
                                                   "9223372036854775808, \"t\": true, \"f\": false, \"s\": \"x\", "
                                                   "\"z\": null, \"o\": {\"a\": [-1]}}")
                                     << "{s\"big\":i9223372036854775807,s\"f\":false,s\"huge\":r43e0000000000000,"
                                        "s\"n\":i3,s\"o\":{s\"a\":[i-1]},s\"r\":r4004000000000000,s\"s\":s\"x\","
                                        "s\"t\":true,s\"z\":s\"\"}";
        QTest::newRow("JSON array, null keeps its place")
            << QByteArray("[1, null, \"b\", 1.0, 1e3, -0.5]") << "[i1,s\"\",s\"b\",i1,i1000,rbfe0000000000000]";
        QTest::newRow("JSON repeated key") << QByteArray("{\"a\": 1, \"a\": 2}") << "{s\"a\":i2}";
        QTest::newRow("JSON scalar is text") << QByteArray("42") << "s\"42\"";
        QTest::newRow("not JSON behind a brace") << QByteArray("{a}") << "s\"{a}\"";
        QTest::newRow("JSON 512 deep") << nestedArrays(512) << QString::fromLatin1(nestedArrays(512));
        QTest::newRow("JSON 513 deep") << nestedArrays(513) << "s\"" + QString::fromLatin1(nestedArrays(513)) + "\"";
        QTest::newRow("JSON 100000 deep")
            << nestedArrays(100000) << "s\"" + QString::fromLatin1(nestedArrays(100000)) + "\"";
        QTest::newRow("text") << QByteArray("h\xc3\xb6st") << "s\"h\\u00f6st\"";
        QTest::newRow("byte order mark stays") << QByteArray("\xef\xbb\xbfhi") << "s\"\\ufeffhi\"";
        QTest::newRow("invalid UTF-8") << QByteArray("a\xff") << "d61ff";
        QTest::newRow("truncated UTF-8") << QByteArray("a\xc3") << "d61c3";
        QTest::newRow("empty") << QByteArray() << "s\"\"";
    }

    void values()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, canonical);
        QCOMPARE(plisttest::canonical(kv::etcd::valueFromEtcd(bytes)), canonical);
    }

    void binaryPropertyList_data()
    {
        QTest::addColumn<QString>("sample");
        for (const char *sample : {"scalars", "unicode", "nested"})
            QTest::newRow(sample) << sample;
    }

    void binaryPropertyList()
    {
        PLIST_REQUIRE_PYTHON();
        QFETCH(QString, sample);
        QTemporaryDir dir;
        const QString path = dir.filePath("sample.bplist");
        QString failure;
        const QString expected = plisttest::runTool({"sample", sample, "binary", path}, &failure);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(plisttest::canonical(kv::etcd::valueFromEtcd(file.readAll())), expected);
    }

    void largeValues_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<PropertyListValue>("value");
        const qsizetype size = 10 * 1024 * 1024;
        const QByteArray text(size, 'x');
        QTest::newRow("text") << text << PropertyListValue::fromString(QString::fromLatin1(text));
        QTest::newRow("JSON") << "[\"" + text + "\"]"
                              << PropertyListValue::fromArray(
                                     {PropertyListValue::fromString(QString::fromLatin1(text))});
        QTest::newRow("bytes") << QByteArray(size, '\xff') << PropertyListValue::fromData(QByteArray(size, '\xff'));
    }

    void largeValues()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(PropertyListValue, value);
        QVERIFY(kv::etcd::valueFromEtcd(bytes) == value);
    }

    void storedValuesReadBack_data()
    {
        QTest::addColumn<PropertyListValue>("value");
        kv::PropertyListDictionary dictionary;
        dictionary.insert("when", PropertyListValue::fromDate(QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC)));
        dictionary.insert("list", PropertyListValue::fromArray(
                                      {PropertyListValue::fromReal(0.1), PropertyListValue::fromBoolean(true)}));
        QTest::newRow("dictionary") << PropertyListValue::fromDictionary(dictionary);
        QTest::newRow("string that reads as JSON") << PropertyListValue::fromString("{\"a\": 1}");
        QTest::newRow("empty string") << PropertyListValue::fromString(QString());
        QTest::newRow("data") << PropertyListValue::fromData(QByteArray("\0\xff", 2));
    }

    void storedValuesReadBack()
    {
        QFETCH(PropertyListValue, value);
        QString error;
        const QByteArray bytes = kv::etcd::etcdBytesFromValue(value, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(bytes.startsWith("<?xml"));
        QVERIFY(kv::etcd::valueFromEtcd(bytes) == value);
    }

    void unstorableValues_data()
    {
        QTest::addColumn<PropertyListValue>("value");
        QTest::newRow("none") << PropertyListValue();
        QTest::newRow("control character") << PropertyListValue::fromString(QStringLiteral("a\u0001"));
    }

    void unstorableValues()
    {
        QFETCH(PropertyListValue, value);
        QString error;
        QVERIFY(kv::etcd::etcdBytesFromValue(value, &error).isEmpty());
        QVERIFY(!error.isEmpty());
    }
};

QTEST_MAIN(TestEtcdKeys)
#include "tst_etcdkeys.moc"
