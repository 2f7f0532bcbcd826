// Splitting store keys into their components, and the scanner behind it.

#include "browser/ColumnTree.h"
#include "browser/KeyScanner.h"

#include <QRandomGenerator>
#include <QTest>

using kv::DecomposedKeyPtr;

static QString u16(const char16_t *text)
{
    return QString::fromUtf16(text);
}

class TestDecomposedKey : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void workedExamples_data();
    void workedExamples();
    void scanningAgreesWithDirectPath_data();
    void scanningAgreesWithDirectPath();
    void randomKeysAgree();
    void skippableCharacters_data();
    void skippableCharacters();
    void scannerScanUpTo();
    void scannerScanString();
    void scannerIsAtEnd();
    void storeKeyIsCarried_data();
    void storeKeyIsCarried();
    void joinedSpellsKeyWhenNothingDropped_data();
    void joinedSpellsKeyWhenNothingDropped();
    void keysDifferingInDroppedWhiteSpaceHaveEqualComponents();
    void componentViews();
    void componentViewEquality_data();
    void componentViewEquality();
    void listKeepsOrderAndEmptyEntries();
    void emptyKeyList();
    void sharedKeyText();
};

void TestDecomposedKey::workedExamples_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("components");

    QTest::newRow("Domain:/A/B") << "Domain:/A/B" << QStringList{"Domain:", "/A", "/B"};
    QTest::newRow("Domain:") << "Domain:" << QStringList{"Domain:"};
    QTest::newRow("Domain:/") << "Domain:/" << QStringList{"Domain:", "/"};
    QTest::newRow("Domain:/A/") << "Domain:/A/" << QStringList{"Domain:", "/A", "/"};
    QTest::newRow("Domain://A") << "Domain://A" << QStringList{"Domain:", "/", "/A"};
    QTest::newRow("Domain:A/B") << "Domain:A/B" << QStringList{"Domain:", "A", "/B"};
    QTest::newRow("Domain:/A:B/D") << "Domain:/A:B/D" << QStringList{"Domain:", "/A:B", "/D"};
    QTest::newRow("Domain::/A") << "Domain::/A" << QStringList{"Domain:", ":", "/A"};
    QTest::newRow("Domain") << "Domain" << QStringList{"Domain:"};
    QTest::newRow("A/B") << "A/B" << QStringList{"A/B:"};
    QTest::newRow(":A/B") << ":A/B" << QStringList{};
    QTest::newRow("empty key") << "" << QStringList{};
    QTest::newRow("Do main:/A B/D") << "Do main:/A B/D" << QStringList{"Do main:", "/A B", "/D"};
    QTest::newRow(" Domain:/ A /B") << " Domain:/ A /B" << QStringList{"Domain:", "/A ", "/B"};
    QTest::newRow("Domain: A/B") << "Domain: A/B" << QStringList{"Domain:", "A", "/B"};
    QTest::newRow("Domain:/A/ ") << "Domain:/A/ " << QStringList{"Domain:", "/A", "/"};

    // Further cases of the same rules.
    QTest::newRow("blanks only") << "   " << QStringList{};
    QTest::newRow("blank before first colon") << " \t:A" << QStringList{};
    QTest::newRow("null key") << QString() << QStringList{};
    QTest::newRow("domain without colon, leading blank") << "  Domain" << QStringList{"Domain:"};
    QTest::newRow("domain without colon, trailing blank") << "Domain  " << QStringList{"Domain  :"};
    QTest::newRow("blank before colon stays") << "Domain :/A" << QStringList{"Domain :", "/A"};
    QTest::newRow("trailing blanks after colon") << "Domain:  " << QStringList{"Domain:"};
    QTest::newRow("blank between slashes") << "Domain:/ /A" << QStringList{"Domain:", "/", "/A"};
    QTest::newRow("three slashes") << "Domain:///" << QStringList{"Domain:", "/", "/", "/"};
    QTest::newRow("line break after slash") << "State:/\nNetwork" << QStringList{"State:", "/Network"};
    QTest::newRow("no-break space after slash") << u16(u"State:/\u00a0Net") << QStringList{"State:", "/Net"};
    QTest::newRow("U+0085 at start") << u16(u"\u0085X:/a") << QStringList{"X:", "/a"};
    QTest::newRow("line separator after colon") << u16(u"X:\u2028a/b") << QStringList{"X:", "a", "/b"};
    QTest::newRow("paragraph separator inside") << u16(u"X:/a\u2029b") << QStringList{"X:", u16(u"/a\u2029b")};
    QTest::newRow("ideographic space after slash") << u16(u"X:/\u3000a") << QStringList{"X:", "/a"};
    QTest::newRow("zero width space is kept") << u16(u"X:/\u200ba") << QStringList{"X:", u16(u"/\u200ba")};
    QTest::newRow("colon after colon only") << "Domain::" << QStringList{"Domain:", ":"};
    QTest::newRow("realistic") << "State:/Network/Interface/en0/IPv4"
                               << QStringList{"State:", "/Network", "/Interface", "/en0", "/IPv4"};
}

void TestDecomposedKey::workedExamples()
{
    QFETCH(QString, key);
    QFETCH(QStringList, components);
    const DecomposedKeyPtr decomposed = kv::decomposedString(key);
    QVERIFY(decomposed);
    QCOMPARE(decomposed->components(), components);
    QCOMPARE(decomposed->count(), components.size());
    QCOMPARE(decomposed->isEmpty(), components.isEmpty());
    QCOMPARE(decomposed->joined(), components.join(QString()));
    for (int i = 0; i < components.size(); ++i) {
        QCOMPARE(decomposed->component(i), components.at(i));
        QCOMPARE(decomposed->componentView(i).toString(), components.at(i));
        QCOMPARE(decomposed->componentView(i).size(), components.at(i).size());
    }
    // The scanning path gives the same, whichever path was taken above.
    QCOMPARE(kv::decomposedStringByScanning(key)->components(), components);
}

void TestDecomposedKey::scanningAgreesWithDirectPath_data()
{
    QTest::addColumn<QString>("key");
    for (const char *key : {"", ":", "::", "/", "//", ":/", "a", "a:", "a:/", "a:b", "a:/b/", "a://b//c", "/a:/b",
                            "a/b/c", "a:b:c/d:e", "Setup:/Network/Service/1/DNS"})
        QTest::newRow(key) << QString::fromLatin1(key);
}

void TestDecomposedKey::scanningAgreesWithDirectPath()
{
    QFETCH(QString, key);
    QCOMPARE(kv::decomposedString(key)->components(), kv::decomposedStringByScanning(key)->components());
}

void TestDecomposedKey::randomKeysAgree()
{
    // Keys made of the characters that matter, without white space, take the
    // direct path; it must give what scanning gives. Longer keys with white
    // space and line breaks among them (which the direct path must notice
    // wherever they stand, as it looks at several characters at a time) are
    // handed to the scanner, with the same result.
    QRandomGenerator random(20240611);
    const QString plain = QStringLiteral("ab:/:/-.");
    std::vector<kv::ComponentView> views;
    const QString mixed = plain + QStringLiteral("~!\x84\u00e9\u0101") + QChar(u' ') + QChar(u'\t') + QChar(u'\n')
                          + QChar(0x85) + QChar(0xa0) + QChar(0x2028) + QChar(0x3000) + QChar(0x1f);
    for (int n = 0; n < 40000; ++n) {
        const bool spaced = n % 2 == 1;
        const QString &alphabet = spaced ? mixed : plain;
        QString key;
        const int length = random.bounded(spaced ? 40 : 12);
        for (int i = 0; i < length; ++i) {
            // Mostly letters in the long keys, so that long runs without
            // anything to look at come up.
            const bool letter = spaced && random.bounded(4) != 0;
            key.append(letter ? QChar(u'a' + random.bounded(26)) : alphabet.at(random.bounded(alphabet.size())));
        }
        const QStringList scanned = kv::decomposedStringByScanning(key)->components();
        // What a first column asks, answered before the path is split.
        const kv::DecomposedKeyPtr fresh = kv::decomposedString(key);
        QCOMPARE(fresh->hasComponent(0), !scanned.isEmpty());
        QCOMPARE(fresh->hasComponentsAfter(0), scanned.size() > 1);
        if (!scanned.isEmpty())
            QCOMPARE(fresh->componentView(0).toString(), scanned.first());
        QCOMPARE(fresh->components(), scanned);
        // Seen without a DecomposedKey: the same texts, slashes and colons.
        kv::componentViews(key, views);
        QCOMPARE(qsizetype(views.size()), qsizetype(fresh->count()));
        for (int i = 0; i < fresh->count(); ++i) {
            const kv::ComponentView made = fresh->componentView(i);
            QVERIFY2(views[size_t(i)].text == made.text && views[size_t(i)].slash == made.slash
                         && views[size_t(i)].colon == made.colon,
                     qPrintable(key));
        }
        const kv::DecomposedKeyPtr second = kv::decomposedString(key);
        QCOMPARE(second->hasComponent(1), scanned.size() > 1);
        QCOMPARE(second->hasComponentsAfter(1), scanned.size() > 2);
        const QStringList direct = kv::decomposedString(key)->components();
        if (direct != scanned)
            QFAIL(qPrintable(QStringLiteral("key \"%1\": %2 vs %3")
                                 .arg(key, direct.join(QLatin1Char('|')), scanned.join(QLatin1Char('|')))));
        // Without white space, nothing is dropped: a key with ":" is spelled again.
        if (!spaced && key.contains(u':') && !scanned.isEmpty())
            QCOMPARE(scanned.join(QString()), key);
    }
}

void TestDecomposedKey::skippableCharacters_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("skippable");
    QTest::newRow("space") << 0x20 << true;
    QTest::newRow("tab") << 0x09 << true;
    QTest::newRow("line feed") << 0x0A << true;
    QTest::newRow("vertical tab") << 0x0B << true;
    QTest::newRow("form feed") << 0x0C << true;
    QTest::newRow("carriage return") << 0x0D << true;
    QTest::newRow("next line") << 0x85 << true;
    QTest::newRow("no-break space") << 0xA0 << true;
    QTest::newRow("en quad") << 0x2000 << true;
    QTest::newRow("line separator") << 0x2028 << true;
    QTest::newRow("paragraph separator") << 0x2029 << true;
    QTest::newRow("ideographic space") << 0x3000 << true;
    QTest::newRow("U+0008") << 0x08 << false;
    QTest::newRow("U+000E") << 0x0E << false;
    QTest::newRow("U+001F") << 0x1F << false;
    QTest::newRow("zero width space") << 0x200B << false;
    QTest::newRow("letter") << int('a') << false;
    QTest::newRow("colon") << int(':') << false;
    QTest::newRow("slash") << int('/') << false;
    QTest::newRow("U+0084") << 0x84 << false;
}

void TestDecomposedKey::skippableCharacters()
{
    QFETCH(int, code);
    QFETCH(bool, skippable);
    QCOMPARE(kv::isSkippableCharacter(char16_t(code)), skippable);
    QCOMPARE(kv::containsSkippableCharacter(QString(QChar(code)) + QLatin1Char('x')), skippable);
}

void TestDecomposedKey::scannerScanUpTo()
{
    const QString text = QStringLiteral("  ab :cd");
    kv::KeyScanner scanner(text);
    QStringView taken;
    QVERIFY(scanner.scanUpToString(u":", &taken));
    QCOMPARE(taken.toString(), QStringLiteral("ab "));
    QCOMPARE(scanner.scanLocation(), 5);
    // At the stop text: nothing taken, fails without moving.
    QVERIFY(!scanner.scanUpToString(u":", &taken));
    QCOMPARE(scanner.scanLocation(), 5);
    QVERIFY(scanner.scanString(u":"));
    // Stop text absent: takes the rest.
    QVERIFY(scanner.scanUpToString(u"/", &taken));
    QCOMPARE(taken.toString(), QStringLiteral("cd"));
    QCOMPARE(scanner.scanLocation(), text.size());

    // Only skippable characters before the stop: fails, position unchanged.
    const QString blanks = QStringLiteral("x  :");
    kv::KeyScanner second(blanks);
    second.setScanLocation(1);
    QVERIFY(!second.scanUpToString(u":", &taken));
    QCOMPARE(second.scanLocation(), 1);
}

void TestDecomposedKey::scannerScanString()
{
    const QString text = QStringLiteral("a \t/b");
    kv::KeyScanner scanner(text);
    QVERIFY(!scanner.scanString(u"/"));
    QCOMPARE(scanner.scanLocation(), 0);
    scanner.setScanLocation(1);
    QVERIFY(!scanner.scanString(u"b"));
    QCOMPARE(scanner.scanLocation(), 1); // failure leaves the skipped blanks in place
    QVERIFY(scanner.scanString(u"/"));
    QCOMPARE(scanner.scanLocation(), 4);
    QVERIFY(scanner.scanString(u"b"));
    QVERIFY(scanner.isAtEnd());
    QVERIFY(!scanner.scanString(u"b"));
}

void TestDecomposedKey::scannerIsAtEnd()
{
    const QString text = u16(u"a \u2028\n");
    kv::KeyScanner scanner(text);
    QVERIFY(!scanner.isAtEnd());
    scanner.setScanLocation(1);
    QVERIFY(scanner.isAtEnd());
    QCOMPARE(scanner.scanLocation(), 1); // asking does not move
    kv::KeyScanner empty(QStringView{});
    QVERIFY(empty.isAtEnd());
}

void TestDecomposedKey::storeKeyIsCarried_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("joined");
    QTest::newRow("no colon") << "Domain"
                              << "Domain:";
    QTest::newRow("blank after slash") << "Domain:/ A"
                                       << "Domain:/A";
    QTest::newRow("leading blank") << " Domain:/A"
                                   << "Domain:/A";
    QTest::newRow("blank after colon") << "Domain: A"
                                       << "Domain:A";
    QTest::newRow("trailing blank") << "Domain:/A/ "
                                    << "Domain:/A/";
    QTest::newRow("nothing dropped") << "Domain:/A B"
                                     << "Domain:/A B";
}

void TestDecomposedKey::storeKeyIsCarried()
{
    QFETCH(QString, key);
    QFETCH(QString, joined);
    for (const DecomposedKeyPtr &decomposed : {kv::decomposedString(key), kv::decomposedStringByScanning(key)}) {
        QCOMPARE(decomposed->joined(), joined);
        QCOMPARE(decomposed->storeKey(), key);
    }
}

void TestDecomposedKey::joinedSpellsKeyWhenNothingDropped_data()
{
    QTest::addColumn<QString>("key");
    for (const char *key : {"Domain:/A/B", "Domain:", "Domain:/", "Domain:/A/", "Domain://A", "Domain:A/B",
                            "Domain:/A:B/D", "Domain::/A", "Do main:/A B/D", "Domain :/A /B"})
        QTest::newRow(key) << QString::fromLatin1(key);
}

void TestDecomposedKey::joinedSpellsKeyWhenNothingDropped()
{
    QFETCH(QString, key);
    const DecomposedKeyPtr decomposed = kv::decomposedString(key);
    QCOMPARE(decomposed->joined(), key);
    QCOMPARE(decomposed->storeKey(), key);
}

void TestDecomposedKey::keysDifferingInDroppedWhiteSpaceHaveEqualComponents()
{
    const DecomposedKeyPtr a = kv::decomposedString(QStringLiteral("Domain:/A"));
    const DecomposedKeyPtr b = kv::decomposedString(QStringLiteral("Domain:/ A"));
    const DecomposedKeyPtr c = kv::decomposedString(QStringLiteral("Domain:/A "));
    QVERIFY(a->hasSameComponents(*b));
    QVERIFY(b->hasSameComponents(*a));
    QVERIFY(!a->hasSameComponents(*c));
    QCOMPARE(a->components(), b->components());
    QVERIFY(a->storeKey() != b->storeKey());
}

void TestDecomposedKey::componentViews()
{
    const DecomposedKeyPtr key = kv::decomposedString(QStringLiteral("Dom:/ab//c"));
    QCOMPARE(key->count(), 4);
    const kv::ComponentView domain = key->componentView(0);
    QVERIFY(!domain.slash);
    QVERIFY(domain.colon);
    QCOMPARE(domain.text.toString(), QStringLiteral("Dom"));
    const kv::ComponentView piece = key->componentView(1);
    QVERIFY(piece.slash);
    QVERIFY(!piece.colon);
    QCOMPARE(piece.text.toString(), QStringLiteral("ab"));
    // The view points into the one copy of the key.
    QCOMPARE(piece.text.data(), key->storeKey().constData() + 5);
    const kv::ComponentView lone = key->componentView(2);
    QVERIFY(lone.slash);
    QVERIFY(lone.text.isEmpty());
    QCOMPARE(lone.toString(), QStringLiteral("/"));
}

void TestDecomposedKey::componentViewEquality_data()
{
    QTest::addColumn<QString>("keyA");
    QTest::addColumn<int>("indexA");
    QTest::addColumn<QString>("keyB");
    QTest::addColumn<int>("indexB");
    QTest::addColumn<bool>("equal");
    QTest::newRow("same domain") << "D:/a" << 0 << "D:/b" << 0 << true;
    QTest::newRow("domain with and without colon in key") << "A/B" << 0 << "A/B:/x" << 0 << true;
    QTest::newRow("different domain") << "D:/a" << 0 << "E:/a" << 0 << false;
    QTest::newRow("case differs") << "D:/a" << 1 << "D:/A" << 1 << false;
    QTest::newRow("same piece") << "D:/a/x" << 1 << "E:/a" << 1 << true;
    QTest::newRow("slash piece against plain text") << "D:/a" << 1 << "D:a" << 1 << false;
    QTest::newRow("slash piece against text spelled with slash") << "D:/a" << 1 << "/a:" << 0 << false;
    QTest::newRow("domain against piece spelling the same") << "x:" << 0 << "D:x:" << 1 << true;
    QTest::newRow("lone slash against lone slash") << "D://" << 1 << "E:/" << 1 << true;
    QTest::newRow("prefix") << "D:/ab" << 1 << "D:/a" << 1 << false;
}

void TestDecomposedKey::componentViewEquality()
{
    QFETCH(QString, keyA);
    QFETCH(int, indexA);
    QFETCH(QString, keyB);
    QFETCH(int, indexB);
    QFETCH(bool, equal);
    const DecomposedKeyPtr a = kv::decomposedString(keyA);
    const DecomposedKeyPtr b = kv::decomposedString(keyB);
    QCOMPARE(a->componentView(indexA) == b->componentView(indexB), equal);
    QCOMPARE(b->componentView(indexB) == a->componentView(indexA), equal);
    // Equality of views is equality of the spelled strings.
    QCOMPARE(a->component(indexA) == b->component(indexB), equal);
}

void TestDecomposedKey::listKeepsOrderAndEmptyEntries()
{
    const QStringList keys{QString(), QStringLiteral(":x"), QStringLiteral("A:/b"), QStringLiteral("B")};
    const kv::DecomposedKeyList list = kv::decomposedStrings(keys);
    QCOMPARE(list.size(), size_t(4));
    QVERIFY(list[0]->isEmpty());
    QVERIFY(list[1]->isEmpty());
    QCOMPARE(list[1]->storeKey(), QStringLiteral(":x"));
    QCOMPARE(list[2]->components(), (QStringList{"A:", "/b"}));
    QCOMPARE(list[3]->components(), QStringList{"B:"});
}

void TestDecomposedKey::emptyKeyList()
{
    QVERIFY(kv::decomposedStrings(QStringList()).empty());
}

void TestDecomposedKey::sharedKeyText()
{
    // One copy of each key: the DecomposedKey shares the string's data.
    const QString key = QStringLiteral("State:/Network/Global/IPv4");
    const DecomposedKeyPtr decomposed = kv::decomposedString(key);
    QCOMPARE(decomposed->storeKey().constData(), key.constData());
}

QTEST_MAIN(TestDecomposedKey)
#include "tst_decomposedkey.moc"
