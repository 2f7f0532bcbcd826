// What Find makes of a typed text: whether a key or a value's text matches
// (plain or as a regular expression, with or without case), where the
// matches are (for emphasis), and where a value first matches.

#include "find/FindQuery.h"

#include <QRegularExpression>
#include <QTest>

#include <vector>

Q_DECLARE_METATYPE(kv::PropertyListValue)

using namespace kv;
using namespace kv::find;

namespace {

FindOptions optionsFor(bool regularExpression, bool matchCase)
{
    FindOptions options;
    options.regularExpression = regularExpression;
    options.matchCase = matchCase;
    return options;
}

Matcher compiled(const QString &text, const FindOptions &options)
{
    QString error;
    const std::optional<Matcher> matcher = Matcher::compile(text, options, &error);
    if (!matcher)
        qFatal("cannot compile %s: %s", qPrintable(text), qPrintable(error));
    return *matcher;
}

// "0+2 4+2": spans as start+length.
QString spansText(const QList<MatchSpan> &spans)
{
    QStringList pieces;
    for (const MatchSpan &span : spans)
        pieces.append(QStringLiteral("%1+%2").arg(span.start).arg(span.length));
    return pieces.join(u' ');
}

PropertyListValue strings(const QStringList &texts)
{
    PropertyListArray array;
    for (const QString &text : texts)
        array.append(PropertyListValue::fromString(text));
    return PropertyListValue::fromArray(array);
}

// An interface's state, with one scalar of every kind.
PropertyListValue interfaceValue()
{
    PropertyListDictionary d;
    d.insert(QStringLiteral("Active"), PropertyListValue::fromBoolean(true));
    d.insert(QStringLiteral("Addresses"), strings({QStringLiteral("192.168.1.20"), QStringLiteral("10.0.0.7")}));
    d.insert(QStringLiteral("BroadcastAddresses"), strings({QStringLiteral("192.168.1.255")}));
    d.insert(QStringLiteral("Flags"), PropertyListValue::fromArray({strings({QStringLiteral("permanent")})}));
    d.insert(QStringLiteral("HardwareAddress"), PropertyListValue::fromData(QByteArray::fromHex("525400123456")));
    d.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(1500));
    d.insert(QStringLiteral("Signal"), PropertyListValue::fromReal(-61.5));
    d.insert(QStringLiteral("Updated"),
             PropertyListValue::fromDate(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC)));
    return PropertyListValue::fromDictionary(d);
}

} // namespace

class TestFindMatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Plain text stands anywhere in the text; without case, letters compare
    // by their case folding, as QString's case-insensitive search has it.
    void plainText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<bool>("expected");
        const QString key = QStringLiteral("State:/Network/Interface/eth0/IPv4");
        QTest::newRow("in the middle") << "eth0" << key << false << true;
        QTest::newRow("other case, ignored") << "ETH0/ipv" << key << false << true;
        QTest::newRow("other case, counted") << "ETH0" << key << true << false;
        QTest::newRow("same case, counted") << "eth0/IPv4" << key << true << true;
        QTest::newRow("absent") << "wlan" << key << false << false;
        QTest::newRow("at the start") << "state:/" << key << false << true;
        QTest::newRow("at the very end") << "pv4" << key << false << true;
        QTest::newRow("first and last letters but not between") << "sv4" << key << false << false;
        QTest::newRow("longer than the text") << key + "x" << key << false << false;
        QTest::newRow("whole text") << key.toUpper() << key << false << true;
        QTest::newRow("short text") << "b"
                                    << "ab" << false << true;
        QTest::newRow("text just past a block") << "abc"
                                                << "xxxxxxxxabc" << false << true;
        QTest::newRow("regex characters stand for themselves") << "a.b"
                                                               << "axb" << false << false;
        QTest::newRow("dot found as a dot") << "a.b"
                                            << "xa.bx" << false << true;
        QTest::newRow("not a letter: no case") << "@"
                                               << "`" << false << false;
        QTest::newRow("bracket is not a brace") << "["
                                                << "State:/{x}" << false << false;
        QTest::newRow("Latin-1 letters") << QStringLiteral("ÜBER") << QStringLiteral("State:/Über/alles") << false
                                         << true;
        QTest::newRow("Latin-1 letters, counted")
            << QStringLiteral("ÜBER") << QStringLiteral("State:/Über/alles") << true << false;
        QTest::newRow("sharp s is not ss") << QStringLiteral("straße") << "STRASSE" << false << false;
        QTest::newRow("Kelvin sign folds to k")
            << "kelvin" << QStringLiteral("State:/Temperature/\u212Aelvin/Now") << false << true;
        QTest::newRow("Kelvin sign, counted")
            << "kelvin" << QStringLiteral("State:/Temperature/\u212Aelvin/Now") << true << false;
        QTest::newRow("long s folds to s") << QStringLiteral("\u017Ftate:") << key << false << true;
        QTest::newRow("Greek") << QStringLiteral("ΩΜΈΓΑ") << QStringLiteral("Setup:/ωμέγα/x") << false << true;
        QTest::newRow("astral letters folded")
            << QStringLiteral("\U00010400x") << QStringLiteral("State:/\U00010428X") << false << true;
        QTest::newRow("astral letters, counted")
            << QStringLiteral("\U00010400") << QStringLiteral("State:/\U00010428") << true << false;
        QTest::newRow("emoji") << QStringLiteral("😀 h") << QStringLiteral("State:/Smile 😀 here") << false << true;
        QTest::newRow("line break") << "line\nbr"
                                    << "State:/Line\nBreak" << false << true;
        QTest::newRow("line break is not a space") << "line br"
                                                   << "State:/Line\nBreak" << false << false;
        QTest::newRow("carriage return") << "\r"
                                         << "State:/CRLF\r\n"
                                         << true << true;
    }

    void plainText()
    {
        QFETCH(QString, text);
        QFETCH(QString, subject);
        QFETCH(bool, matchCase);
        QFETCH(bool, expected);
        const Matcher matcher = compiled(text, optionsFor(false, matchCase));
        QCOMPARE(matcher.matches(subject), expected);
        // Emphasis finds the same.
        QCOMPARE(!matcher.spans(subject).isEmpty(), expected);
        // Also where the text stands in a long key, past the first blocks
        // of characters looked at together.
        const QString padded = QString(37, u'-') + subject + QString(19, u'=');
        QCOMPARE(matcher.matches(padded), expected);
    }

    // A regular expression matches anywhere unless anchored; "." takes line
    // ends too, as in the store's key patterns.
    void regularExpression_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<bool>("expected");
        QTest::newRow("anywhere") << "eth[0-9]+"
                                  << "State:/Network/Interface/eth12/Link" << false << true;
        QTest::newRow("anchored at the start") << "^State:"
                                               << "State:/x" << false << true;
        QTest::newRow("anchored, elsewhere") << "^State:"
                                             << "Setup:/State:" << false << false;
        QTest::newRow("anchored at the end") << "IPv4$"
                                             << "State:/Network/Global/IPv4" << true << true;
        QTest::newRow("case ignored") << "ETH\\d"
                                      << "eth0" << false << true;
        QTest::newRow("case counted") << "ETH\\d"
                                      << "eth0" << true << false;
        QTest::newRow("dot takes a line end") << "Line.Break"
                                              << "State:/Line\nBreak" << false << true;
        QTest::newRow("alternatives") << "wlan|ppp"
                                      << "State:/Network/Interface/ppp0" << false << true;
        QTest::newRow("astral character is one") << "^.$" << QStringLiteral("😀") << false << true;
        QTest::newRow("no match") << "^Setup:.*DNS$"
                                  << "State:/Network/Global/DNS" << false << false;
    }

    void regularExpression()
    {
        QFETCH(QString, text);
        QFETCH(QString, subject);
        QFETCH(bool, matchCase);
        QFETCH(bool, expected);
        const Matcher matcher = compiled(text, optionsFor(true, matchCase));
        QCOMPARE(matcher.matches(subject), expected);
        QCOMPARE(matcher.options().regularExpression, true);
        QCOMPARE(matcher.text(), text);
    }

    // Nothing typed finds nothing, and is no error.
    void emptyTextMatchesNothing_data()
    {
        QTest::addColumn<bool>("regularExpression");
        QTest::addColumn<QString>("subject");
        QTest::newRow("plain, empty subject") << false << "";
        QTest::newRow("plain, a key") << false << "State:/x";
        QTest::newRow("expression, empty subject") << true << "";
        QTest::newRow("expression, a key") << true << "State:/x";
    }

    void emptyTextMatchesNothing()
    {
        QFETCH(bool, regularExpression);
        QFETCH(QString, subject);
        QString error;
        const std::optional<Matcher> matcher =
            Matcher::compile(QString(), optionsFor(regularExpression, false), &error);
        QVERIFY(matcher);
        QVERIFY(error.isEmpty());
        QVERIFY(!matcher->matches(subject));
        QVERIFY(matcher->spans(subject).isEmpty());
        QVERIFY(!firstValueMatch(PropertyListValue::fromString(subject), *matcher));
    }

    // An expression that is not one is refused with the expression's own
    // complaint and where it is, on one line; as plain text it is fine.
    void invalidExpression_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("unclosed group") << "State:/(";
        QTest::newRow("unclosed class") << "[a-";
        QTest::newRow("ends inside an escape") << "eth0\\";
        QTest::newRow("nothing to repeat") << "*x";
        QTest::newRow("range out of order") << "a{3,1}";
        QTest::newRow("unknown group kind") << "(?<";
        QTest::newRow("line break inside") << "a\n(";
    }

    void invalidExpression()
    {
        QFETCH(QString, text);
        const QRegularExpression expression(text, QRegularExpression::DotMatchesEverythingOption);
        QVERIFY(!expression.isValid());
        QString error;
        QVERIFY(!Matcher::compile(text, optionsFor(true, false), &error));
        QVERIFY2(error.contains(expression.errorString()), qPrintable(error));
        QVERIFY2(error.contains(QStringLiteral("offset %1").arg(expression.patternErrorOffset())), qPrintable(error));
        QVERIFY(!error.contains(u'\n'));
        QVERIFY(!Matcher::compile(text, optionsFor(true, true), &error));

        error.clear();
        const std::optional<Matcher> plain = Matcher::compile(text, optionsFor(false, false), &error);
        QVERIFY(plain);
        QVERIFY(error.isEmpty());
        QVERIFY(plain->matches(QStringLiteral("key: ") + text + QStringLiteral(" end")));
    }

    // Every non-overlapping match, in order; zero-length matches (which an
    // expression can make) have nothing to show and leave no span.
    void spans_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("regularExpression");
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain, several") << "ab" << false << false << "abxxabab"
                                        << "0+2 4+2 6+2";
        QTest::newRow("plain, overlaps taken once") << "aa" << false << false << "aaaaa"
                                                    << "0+2 2+2";
        QTest::newRow("plain, case ignored") << "ETH" << false << false << "eth0 Eth1 ETH2"
                                             << "0+3 5+3 10+3";
        QTest::newRow("plain, case counted") << "Eth" << false << true << "eth0 Eth1 ETH2"
                                             << "5+3";
        QTest::newRow("plain, none") << "x" << false << false << "abc"
                                     << "";
        QTest::newRow("plain, non-ASCII")
            << QStringLiteral("über") << false << false << QStringLiteral("ÜBER über") << "0+4 5+4";
        QTest::newRow("plain, astral") << QStringLiteral("😀") << false << false << QStringLiteral("a😀b😀") << "1+2 4+2";
        QTest::newRow("plain, line breaks") << "\n"
                                            << false << false << "a\nb\n"
                                            << "1+1 3+1";
        QTest::newRow("expression, several") << "\\d+" << true << false << "en0 en12 lo"
                                             << "2+1 6+2";
        QTest::newRow("expression, case ignored") << "en" << true << false << "EN0 en1"
                                                  << "0+2 4+2";
        QTest::newRow("expression, zero-length and not") << "x*" << true << false << "axxbx"
                                                         << "1+2 4+1";
        QTest::newRow("expression, zero-length only") << "x*" << true << false << "abc"
                                                      << "";
        QTest::newRow("expression, an anchor") << "^" << true << false << "abc"
                                               << "";
        QTest::newRow("expression, word boundaries") << "\\b" << true << false << "a b"
                                                     << "";
        QTest::newRow("expression, astral") << "." << true << false << QStringLiteral("😀a") << "0+2 2+1";
        QTest::newRow("expression, across a line end") << "a.b" << true << false << "a\nb"
                                                       << "0+3";
    }

    void spans()
    {
        QFETCH(QString, text);
        QFETCH(bool, regularExpression);
        QFETCH(bool, matchCase);
        QFETCH(QString, subject);
        QFETCH(QString, expected);
        const Matcher matcher = compiled(text, optionsFor(regularExpression, matchCase));
        QCOMPARE(spansText(matcher.spans(subject)), expected);
    }

    // A value's first match, walking it in store order, and what is said
    // about it: the path to the entry and the scalar's text as the value tree
    // shows it.
    void valueMatch_data()
    {
        QTest::addColumn<PropertyListValue>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("regularExpression");
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<QString>("scalar");
        const PropertyListValue value = interfaceValue();
        QTest::newRow("entry name, holding a container")
            << value << "broadcast" << false << false << true << QStringList{"BroadcastAddresses"} << "";
        QTest::newRow("entry name, holding a scalar")
            << value << "mtu" << false << false << true << QStringList{"MTU"} << "1500";
        QTest::newRow("name before its own value")
            << value << "act" << false << false << true << QStringList{"Active"} << "true";
        QTest::newRow("scalar in an array")
            << value << "10.0.0" << false << false << true << QStringList{"Addresses", "1"} << "10.0.0.7";
        QTest::newRow("array in an array")
            << value << "perman" << false << false << true << QStringList{"Flags", "0", "0"} << "permanent";
        QTest::newRow("boolean as shown")
            << value << "TRUE" << false << false << true << QStringList{"Active"} << "true";
        QTest::newRow("number as shown") << value << "150" << false << false << true << QStringList{"MTU"} << "1500";
        QTest::newRow("real as shown") << value << "-61.5" << false << false << true << QStringList{"Signal"}
                                       << "-61.5";
        QTest::newRow("date as shown") << value << "2026-01-02 03:04" << false << false << true
                                       << QStringList{"Updated"} << "2026-01-02 03:04:05 +0000";
        QTest::newRow("data as shown") << value << "<52540012" << false << false << true
                                       << QStringList{"HardwareAddress"} << "<52540012 3456>";
        QTest::newRow("first in store order")
            << value << "1" << false << false << true << QStringList{"Addresses", "0"} << "192.168.1.20";
        QTest::newRow("first in store order, expression") << value << "^1\\d*\\.\\d+\\.1\\." << true << false << true
                                                          << QStringList{"Addresses", "0"} << "192.168.1.20";
        QTest::newRow("case counted") << value << "active" << false << true << false << QStringList{} << "";
        QTest::newRow("no match") << value << "zzz" << false << false << false << QStringList{} << "";
        QTest::newRow("array indexes are not names")
            << strings({"x", "y"}) << "1" << false << false << false << QStringList{} << "";
        QTest::newRow("top-level array") << PropertyListValue::fromArray(
            {PropertyListValue::fromString("a"), strings({"b"})})
                                         << "b" << false << false << true << QStringList{"1", "0"} << "b";
        QTest::newRow("top-level string")
            << PropertyListValue::fromString("alice") << "LIC" << false << false << true << QStringList{} << "alice";
        QTest::newRow("top-level number")
            << PropertyListValue::fromInteger(-42) << "-4" << false << false << true << QStringList{} << "-42";
        QTest::newRow("top-level scalar, no match")
            << PropertyListValue::fromString("alice") << "bob" << false << false << false << QStringList{} << "";
        QTest::newRow("empty dictionary")
            << PropertyListValue::fromDictionary({}) << "a" << false << false << false << QStringList{} << "";
        QTest::newRow("non-ASCII name") << PropertyListValue::fromDictionary({{"Grüße", strings({"x"})}}) << "GRÜ"
                                        << false << false << true << QStringList{"Grüße"} << "";
        QTest::newRow("line break in a string")
            << PropertyListValue::fromDictionary({{"Motd", strings({"a\nb"})}}) << "a\nb" << false << false << true
            << QStringList{"Motd", "0"} << "a\nb";
    }

    void valueMatch()
    {
        QFETCH(PropertyListValue, value);
        QFETCH(QString, text);
        QFETCH(bool, regularExpression);
        QFETCH(bool, matchCase);
        QFETCH(bool, found);
        QFETCH(QStringList, path);
        QFETCH(QString, scalar);
        const std::optional<ValueMatch> match =
            firstValueMatch(value, compiled(text, optionsFor(regularExpression, matchCase)));
        QCOMPARE(bool(match), found);
        if (!found)
            return;
        QCOMPARE(match->entryPath, path);
        QCOMPARE(match->scalarText, scalar);
    }

    // A value nested far deeper than any stack of calls would allow.
    void deepValue()
    {
        constexpr int depth = 20000;
        PropertyListValue value = PropertyListValue::fromString(QStringLiteral("bottom"));
        for (int i = 0; i < depth; ++i)
            value = PropertyListValue::fromArray({PropertyListValue::fromInteger(i), value});
        const std::optional<ValueMatch> match = firstValueMatch(value, compiled("bott", FindOptions()));
        QVERIFY(match);
        QCOMPARE(match->entryPath, QStringList(depth, QStringLiteral("1")));
        QCOMPARE(match->scalarText, QStringLiteral("bottom"));
        // The first number with a 7 in it is the one nearest the top: 19997,
        // two arrays down.
        const std::optional<ValueMatch> number = firstValueMatch(value, compiled("7", FindOptions()));
        QVERIFY(number);
        QCOMPARE(number->scalarText, QString::number(depth - 3));
        QCOMPARE(number->entryPath, (QStringList{"1", "1", "0"}));
    }

    void valueMatchText_data()
    {
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<QString>("scalar");
        QTest::addColumn<QString>("expected");
        QTest::newRow("scalar in an array")
            << QStringList{"Addresses", "0"} << "192.168.1.20" << QStringLiteral("Addresses › 0 = 192.168.1.20");
        QTest::newRow("entry holding a scalar") << QStringList{"MTU"} << "1500"
                                                << "MTU = 1500";
        QTest::newRow("container entry") << QStringList{"Flags", "0"} << "" << QStringLiteral("Flags › 0");
        QTest::newRow("top-level scalar") << QStringList{} << "alice"
                                          << "alice";
        QTest::newRow("line break kept") << QStringList{"Motd"} << "a\nb"
                                         << "Motd = a\nb";
    }

    void valueMatchText()
    {
        QFETCH(QStringList, path);
        QFETCH(QString, scalar);
        QFETCH(QString, expected);
        QCOMPARE(kv::find::valueMatchText(ValueMatch{path, scalar}), expected);
    }
};

QTEST_MAIN(TestFindMatcher)
#include "tst_findmatcher.moc"
