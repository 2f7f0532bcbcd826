// What Copy puts on the clipboard, read back from the clipboard itself.

#include "commands/Clipboard.h"
#include "platform/plist/PropertyListFile.h"

#include "HostileValues.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTest>

using kv::PropertyListValue;
namespace commands = kv::commands;

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

PropertyListValue date(int year, int month, int day, int hour, int minute, int second)
{
    return PropertyListValue::fromDate(QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC));
}

// { Addresses = ( 10.0.0.1, "Zürich" ); Blob = <0001>; Flags = ( ( permanent ) );
//   "Key with space" = "two\nlines"; On = true; When = "2024-03-05 06:07:08 +0000"; }
PropertyListValue nestedValue()
{
    return PropertyListValue::fromDictionary({
        {QStringLiteral("Addresses"), PropertyListValue::fromArray({str("10.0.0.1"), str(QStringLiteral("Zürich"))})},
        {QStringLiteral("Blob"), PropertyListValue::fromData(QByteArray("\x00\x01", 2))},
        {QStringLiteral("Flags"), PropertyListValue::fromArray({PropertyListValue::fromArray({str("permanent")})})},
        {QStringLiteral("Key with space"), str("two\nlines")},
        {QStringLiteral("On"), PropertyListValue::fromBoolean(true)},
        {QStringLiteral("When"), date(2024, 3, 5, 6, 7, 8)},
    });
}

const QString Sep = QStringLiteral(" \u203a ");

// Copies `text` as plain text and checks what the clipboard then offers.
void checkCopiedText(const QString &text)
{
    kv::commands::copyToClipboard(kv::commands::mimeDataForText(text));
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data && data->formats().contains(QStringLiteral("text/plain")));
    QCOMPARE(data->data(QStringLiteral("text/plain")), text.toUtf8());
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
}

} // namespace

class TestClipboard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QGuiApplication::clipboard()->clear(); }

    void valueText_data();
    void valueText();
    void entryPathText_data();
    void entryPathText();
    void propertyListReadsBack_data();
    void propertyListReadsBack();
    void uncarriableValueCopiesNothing_data();
    void uncarriableValueCopiesNothing();
};

void TestClipboard::valueText_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QString>("text");
    // Scalars as the Value column shows them: strings unquoted, as they are.
    QTest::newRow("string with line breaks") << str("first\nsecond\r\n") << QStringLiteral("first\nsecond\r\n");
    QTest::newRow("non-ASCII string") << str(QStringLiteral("Zürich – 東京 😀")) << QStringLiteral("Zürich – 東京 😀");
    QTest::newRow("largest unsigned integer")
        << PropertyListValue::fromUnsignedInteger(18446744073709551615ull) << QStringLiteral("18446744073709551615");
    QTest::newRow("real") << PropertyListValue::fromReal(0.1) << QStringLiteral("0.1");
    QTest::newRow("boolean") << PropertyListValue::fromBoolean(false) << QStringLiteral("false");
    QTest::newRow("data") << PropertyListValue::fromData(QByteArray("\x00\x01\xfe\xff\x10", 5))
                          << QStringLiteral("<0001feff 10>");
    QTest::newRow("date given east of UTC")
        << PropertyListValue::fromDate(QDateTime(QDate(2024, 3, 5), QTime(1, 0, 0), Qt::OffsetFromUTC, 7200))
        << QStringLiteral("2024-03-04 23:00:00 +0000");
    QTest::newRow("no value") << PropertyListValue() << QString();
    // Containers as the old-style text of the whole subtree.
    QTest::newRow("array") << PropertyListValue::fromArray({PropertyListValue::fromInteger(1), str("a b")})
                           << QStringLiteral("(\n    1,\n    \"a b\"\n)");
    QTest::newRow("nested dictionary") << nestedValue()
                                       << QStringLiteral("{\n"
                                                         "    Addresses = (\n"
                                                         "        10.0.0.1,\n"
                                                         "        \"Zürich\"\n"
                                                         "    );\n"
                                                         "    Blob = <0001>;\n"
                                                         "    Flags = (\n"
                                                         "        (\n"
                                                         "            permanent\n"
                                                         "        )\n"
                                                         "    );\n"
                                                         "    \"Key with space\" = \"two\\nlines\";\n"
                                                         "    On = true;\n"
                                                         "    When = \"2024-03-05 06:07:08 +0000\";\n"
                                                         "}");
}

void TestClipboard::valueText()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QString, text);
    QCOMPARE(commands::valueText(value), text);
    checkCopiedText(text);
}

void TestClipboard::entryPathText_data()
{
    const QString key = QStringLiteral("State:/Network/Interface/eth0/IPv4");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("entryPath");
    QTest::addColumn<QString>("text");
    QTest::newRow("the key's value itself") << key << QStringList() << key;
    QTest::newRow("array element in a dictionary")
        << key << QStringList{"Addresses", "0"} << QStringLiteral("State:/Network/Interface/eth0/IPv4 › Addresses › 0");
    QTest::newRow("non-ASCII") << QStringLiteral("Setup:/Zürich") << QStringList{QStringLiteral("名前")}
                               << QStringLiteral("Setup:/Zürich › 名前");
    QTest::newRow("line breaks kept") << QStringLiteral("State:/Line\nBreak") << QStringList{"a\nb"}
                                      << QStringLiteral("State:/Line\nBreak") + Sep + "a\nb";
    // An empty dictionary key is an entry of its own: the path keeps its length.
    QTest::newRow("empty entry name") << key << QStringList{"", "x"} << key + Sep + Sep + "x";
    QTest::newRow("no key") << QString() << QStringList{"Addresses", "0"} << QStringLiteral("Addresses") + Sep + "0";
}

void TestClipboard::entryPathText()
{
    QFETCH(QString, key);
    QFETCH(QStringList, entryPath);
    QFETCH(QString, text);
    QCOMPARE(commands::entryPathText(key, entryPath), text);
    checkCopiedText(text);
}

void TestClipboard::propertyListReadsBack_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::newRow("nested dictionary") << nestedValue();
    QTest::newRow("array of every scalar") << PropertyListValue::fromArray({
        str("plain"),
        PropertyListValue::fromUnsignedInteger(18446744073709551615ull),
        PropertyListValue::fromReal(0.1),
        PropertyListValue::fromBoolean(false),
        PropertyListValue::fromData(QByteArray(200, '\xfe')),
        date(1, 1, 1, 0, 0, 0),
    });
    QTest::newRow("markup, line breaks, non-ASCII") << PropertyListValue::fromDictionary(
        {{QStringLiteral("a<b>&\"c\"\nd"), str(QStringLiteral("x\r\ny\tz & </string> Zürich 😀"))}});
    QTest::newRow("string at the top") << str("eth0");
}

void TestClipboard::propertyListReadsBack()
{
    QFETCH(PropertyListValue, value);
    QString error = QStringLiteral("untouched");
    QPointer<QMimeData> made = commands::mimeDataForPropertyList(value, &error);
    commands::copyToClipboard(made);
    QCOMPARE(error, QStringLiteral("untouched"));
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data && data == made); // handed over, not copied
    QVERIFY(data->formats().contains(QStringLiteral("text/plain")));
    const QByteArray typed = data->data(QStringLiteral("application/x-plist"));
    QVERIFY(typed.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"));
    QCOMPARE(data->data(QStringLiteral("text/plain")), typed);
    QCOMPARE(data->text(), QString::fromUtf8(typed));
    QString readError;
    QCOMPARE(kv::readPropertyList(typed, &readError), value);
    QVERIFY2(readError.isEmpty(), qPrintable(readError));

    // The clipboard frees it when something else is copied.
    commands::copyToClipboard(commands::mimeDataForText(QStringLiteral("next")));
    QTRY_VERIFY(made.isNull());
}

void TestClipboard::uncarriableValueCopiesNothing_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QStringList>("errorNames"); // what the error must name
    QTest::newRow("control character in a string")
        << PropertyListValue::fromDictionary({{QStringLiteral("Name"), str(QStringLiteral("a\u0001b"))}})
        << QStringList{"\"Name\"", "U+0001"};
    QTest::newRow("non-character in a key")
        << PropertyListValue::fromDictionary({{QStringLiteral("Bad\uFFFE"), str("x")}}) << QStringList{"U+FFFE"};
    QTest::newRow("lone surrogate in an array")
        << PropertyListValue::fromArray({str("fine"), str(QString(QChar(0xD800)))}) << QStringList{"[1]", "U+D800"};
    QTest::newRow("date past year 9999") << PropertyListValue::fromArray({date(10000, 1, 1, 0, 0, 0)})
                                         << QStringList{"[0]", "9999"};
    QTest::newRow("no value inside an array")
        << PropertyListValue::fromArray({PropertyListValue()}) << QStringList{"[0]", "empty"};
    QTest::newRow("no value at all") << PropertyListValue() << QStringList{"no value"};
    QTest::newRow("nested too deep") << hostile::nestedValue(kv::PropertyListMaximumDepth + 1)
                                     << QStringList{QString::number(kv::PropertyListMaximumDepth)};
}

void TestClipboard::uncarriableValueCopiesNothing()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QStringList, errorNames);
    commands::copyToClipboard(commands::mimeDataForText(QStringLiteral("before")));
    QString error;
    QMimeData *data = commands::mimeDataForPropertyList(value, &error);
    QVERIFY(!data);
    for (const QString &name : errorNames)
        QVERIFY2(error.contains(name), qPrintable(error));
    QVERIFY(!commands::mimeDataForPropertyList(value, nullptr));
    commands::copyToClipboard(data); // a failed copy leaves what was there
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
}

QTEST_MAIN(TestClipboard)
#include "tst_clipboard.moc"
