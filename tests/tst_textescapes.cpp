// Texts made one line long: the system log's reports (line ends escaped,
// nothing else touched) and the command line's keys (C-style escapes).

#include "platform/SystemLog.h"
#include "platform/TextEscapes.h"

#include <QTest>

class TestTextEscapes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void systemLogReportIsOneLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        QTest::newRow("no line end") << "There are no keys in configuration store"
                                     << "There are no keys in configuration store";
        QTest::newRow("backslash stays") << "C:\\path \\n"
                                         << "C:\\path \\n";
        QTest::newRow("line feed") << "Export to /tmp/a\nb.plist failed: no"
                                   << "Export to /tmp/a\\nb.plist failed: no";
        QTest::newRow("carriage return, line feed") << "a\r\nb"
                                                    << "a\\r\\nb";
        QTest::newRow("vertical tab, form feed") << "a\vb\fc"
                                                 << "a\\vb\\fc";
        QTest::newRow("unicode line ends") << QStringLiteral("a\u0085b\u2028c\u2029d") << "a\\u0085b\\u2028c\\u2029d";
        QTest::newRow("tab and other controls stay") << "a\tb\x01"
                                                     << "a\tb\x01";
    }

    void systemLogReportIsOneLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, line);
        QCOMPARE(kv::withLineEndsEscaped(text), line);
        kv::SystemLogCapture log;
        kv::systemLog(text);
        QCOMPARE(log.lines(), QStringList{line});
    }

    void cEscapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("escaped");
        QTest::newRow("plain") << "State:/Network/Global/IPv4"
                               << "State:/Network/Global/IPv4";
        QTest::newRow("named escapes") << "a\\b\nc\rd\te"
                                       << "a\\\\b\\nc\\rd\\te";
        QTest::newRow("other controls") << QString("nul") + QChar(0) + "\x1b\x7f" + QChar(0x9f)
                                        << "nul\\u0000\\u001B\\u007F\\u009F";
        QTest::newRow("separators") << QStringLiteral("\u2028\u2029\u0085") << "\\u2028\\u2029\\u0085";
        QTest::newRow("surrogate pair stays")
            << QStringLiteral("smile \U0001F600") << QStringLiteral("smile \U0001F600");
        QTest::newRow("lone surrogates") << QString("hi ") + QChar(0xD800) + " lo " + QChar(0xDC00)
                                         << "hi \\uD800 lo \\uDC00";
        QTest::newRow("high surrogate at the end") << QString("x") + QChar(0xDBFF) << "x\\uDBFF";
        QTest::newRow("non-ASCII stays") << QStringLiteral("ü ✓ \u00a0") << QStringLiteral("ü ✓ \u00a0");
    }

    void cEscapes()
    {
        QFETCH(QString, text);
        QFETCH(QString, escaped);
        QCOMPARE(kv::cEscaped(text), escaped);
    }
};

QTEST_MAIN(TestTextEscapes)
#include "tst_textescapes.moc"
