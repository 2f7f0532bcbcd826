// The rows of a text, apart from any view: where lines end, long lines cut
// into rows, lines wrapped at a width, positions and rows mapped both ways,
// and replacements that lay out again only the lines they touch.

#include "platform/ui/TextRowIndex.h"
#include "tests/TextTestSupport.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTest>
#include <QTextLayout>

#include <algorithm>

using kv::ui::TextRange;
using kv::ui::TextRowIndex;

namespace {

constexpr qsizetype Max = TextRowIndex::MaximumRowLength;

QList<QString> rowTexts(const TextRowIndex &index)
{
    QList<QString> rows;
    for (qsizetype row = 0; row < index.rowCount(); ++row) {
        const TextRange range = index.rowRange(row);
        rows.append(index.text().mid(range.location, range.length));
    }
    return rows;
}

QList<qsizetype> rowStarts(const TextRowIndex &index)
{
    QList<qsizetype> starts;
    for (qsizetype row = 0; row < index.rowCount(); ++row)
        starts.append(index.rowRange(row).location);
    return starts;
}

QList<qsizetype> rowLengths(const TextRowIndex &index)
{
    QList<qsizetype> lengths;
    for (qsizetype row = 0; row < index.rowCount(); ++row)
        lengths.append(index.rowRange(row).length);
    return lengths;
}

// The rows that begin a line, by number.
QList<qsizetype> lineStartRows(const TextRowIndex &index)
{
    QList<qsizetype> rows;
    for (qsizetype row = 0; row < index.rowCount(); ++row) {
        if (index.rowStartsLine(row))
            rows.append(row);
    }
    return rows;
}

using texttest::numberedLines;

QFont testFont()
{
    return QGuiApplication::font();
}

// A width that `fits` just fits into, in the test font, with room to spare
// for less than half an "x" more; 0 (no wrapping) for an empty `fits`.
qreal widthFitting(const QString &fits)
{
    if (fits.isEmpty())
        return 0;
    const QFontMetricsF metrics(testFont());
    return metrics.horizontalAdvance(fits) + metrics.horizontalAdvance(u'x') / 4;
}

// Compares every row of two indexes: where it starts, how long it is, and
// whether it begins a line.
void compareRows(const TextRowIndex &index, const TextRowIndex &expected)
{
    QCOMPARE(index.text(), expected.text());
    QCOMPARE(rowStarts(index), rowStarts(expected));
    QCOMPARE(rowLengths(index), rowLengths(expected));
    QCOMPARE(lineStartRows(index), lineStartRows(expected));
}

} // namespace

class TestTextRowIndex : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lineEnds_data();
    void lineEnds();
    void longLinesAreCut_data();
    void longLinesAreCut();
    void wrapping_data();
    void wrapping();
    void fixedPitchRowsBreakAsALayoutDoes_data();
    void fixedPitchRowsBreakAsALayoutDoes();
    void positionsAndRows_data();
    void positionsAndRows();
    void longestRow_data();
    void longestRow();
    void replacing_data();
    void replacing();
    void replacementsGiveTheRowsOfAFreshIndex_data();
    void replacementsGiveTheRowsOfAFreshIndex();
};

void TestTextRowIndex::lineEnds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QString>>("rows");
    QTest::addColumn<QList<qsizetype>>("starts");
    QTest::newRow("empty") << QString() << QList<QString>{QString()} << QList<qsizetype>{0};
    QTest::newRow("one line") << QStringLiteral("abc") << QList<QString>{"abc"} << QList<qsizetype>{0};
    QTest::newRow("newlines") << QStringLiteral("a\nbc\n\nd") << QList<QString>{"a", "bc", "", "d"}
                              << QList<qsizetype>{0, 2, 5, 6};
    QTest::newRow("final newline") << QStringLiteral("a\n") << QList<QString>{"a", ""} << QList<qsizetype>{0, 2};
    QTest::newRow("only a newline") << QStringLiteral("\n") << QList<QString>{"", ""} << QList<qsizetype>{0, 1};
    // "\r\n" is one line end; "\n\r" two.
    QTest::newRow("CRLF and CR") << QStringLiteral("a\r\nb\rc\n\rd") << QList<QString>{"a", "b", "c", "", "d"}
                                 << QList<qsizetype>{0, 3, 5, 7, 8};
    QTest::newRow("CR, then CRLF") << QStringLiteral("a\r\r\nb") << QList<QString>{"a", "", "b"}
                                   << QList<qsizetype>{0, 2, 4};
    QTest::newRow("final CR") << QStringLiteral("a\r") << QList<QString>{"a", ""} << QList<qsizetype>{0, 2};
    QTest::newRow("final CRLF") << QStringLiteral("a\r\n") << QList<QString>{"a", ""} << QList<qsizetype>{0, 3};
    QTest::newRow("line separator") << (QStringLiteral("a") + QChar(0x2028) + u'b') << QList<QString>{"a", "b"}
                                    << QList<qsizetype>{0, 2};
    QTest::newRow("paragraph separator") << (QStringLiteral("a") + QChar(0x2029) + QChar(0x2029) + u'b')
                                         << QList<QString>{"a", "", "b"} << QList<qsizetype>{0, 2, 3};
    // A separator before "\n" does not pair with it as "\r" does.
    QTest::newRow("separator, then newline") << (QStringLiteral("a") + QChar(0x2028) + QStringLiteral("\nb"))
                                             << QList<QString>{"a", "", "b"} << QList<qsizetype>{0, 2, 3};
    QTest::newRow("every kind") << (QStringLiteral("1\n2\r\n3\r4") + QChar(0x2028) + u'5' + QChar(0x2029) + u'6')
                                << QList<QString>{"1", "2", "3", "4", "5", "6"} << QList<qsizetype>{0, 2, 5, 7, 9, 11};
    // Neither a vertical tab, a form feed nor U+0085 ends a line.
    QTest::newRow("other controls stay in the row")
        << (QStringLiteral("a\tb\vc\fd") + QChar(0x0085) + u'e')
        << QList<QString>{QStringLiteral("a\tb\vc\fd") + QChar(0x0085) + u'e'} << QList<qsizetype>{0};
    QTest::newRow("outside the basic plane")
        << QString::fromUcs4(U"\U0001F600x\ny") << QList<QString>{QString::fromUcs4(U"\U0001F600x"), "y"}
        << QList<qsizetype>{0, 4};
}

void TestTextRowIndex::lineEnds()
{
    QFETCH(QString, text);
    QFETCH(QList<QString>, rows);
    QFETCH(QList<qsizetype>, starts);
    TextRowIndex index;
    index.setText(text);
    QCOMPARE(index.text(), text);
    QCOMPARE(rowTexts(index), rows);
    QCOMPARE(rowStarts(index), starts);
    // Every row begins a line: none is long enough to be cut.
    QCOMPARE(lineStartRows(index).size(), index.rowCount());
}

void TestTextRowIndex::longLinesAreCut_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QList<qsizetype>>("lengths");
    QTest::newRow("exactly the maximum") << QString(Max, u'a') << QList<qsizetype>{Max};
    QTest::newRow("one more") << QString(Max + 1, u'a') << QList<qsizetype>{Max, 1};
    QTest::newRow("twice the maximum and one") << QString(2 * Max + 1, u'a') << QList<qsizetype>{Max, Max, 1};
    QTest::newRow("10 MB") << QString(10 * 1024 * 1024, u'x') << QList<qsizetype>(10 * 1024 * 1024 / Max, Max);
    // A pair astride the cut goes whole into the next row.
    QTest::newRow("surrogate pair at the cut")
        << QString(Max - 1, u'a') + QString::fromUcs4(U"\U0001F600") + QString(10, u'b')
        << QList<qsizetype>{Max - 1, 12};
    // A mark stays with the character it belongs to, whatever its kind.
    QTest::newRow("combining mark at the cut")
        << QString(Max, u'e') + QChar(0x0301) + QString(10, u'b') << QList<qsizetype>{Max - 1, 12};
    QTest::newRow("two marks at the cut")
        << QString(Max - 1, u'e') + QChar(0x0301) + QChar(0x0302) + QString(10, u'b') << QList<qsizetype>{Max - 2, 13};
    QTest::newRow("spacing mark at the cut")
        << QString(Max, u'a') + QChar(0x0903) + u'b' << QList<qsizetype>{Max - 1, 3};
    QTest::newRow("enclosing mark at the cut")
        << QString(Max, u'a') + QChar(0x20DD) + u'b' << QList<qsizetype>{Max - 1, 3};
    // Marks all the way back past the row's middle: a row of the maximum,
    // rather than one of half of it or less.
    QTest::newRow("marks from the middle on")
        << QString(Max / 2, u'a') + QString(Max, QChar(0x0301)) << QList<qsizetype>{Max, Max / 2};
}

void TestTextRowIndex::longLinesAreCut()
{
    QFETCH(QString, line);
    QFETCH(QList<qsizetype>, lengths);
    // Between two short lines, so that the cut counts from the line's start.
    const QString text = QStringLiteral("first\r\n") + line + QStringLiteral("\nlast");
    TextRowIndex index;
    index.setText(text);
    QCOMPARE(index.text(), text);
    const QList<QString> rows = rowTexts(index);
    QCOMPARE(rows.first(), QStringLiteral("first"));
    QCOMPARE(rows.last(), QStringLiteral("last"));
    QCOMPARE(rowLengths(index).mid(1, rows.size() - 2), lengths);
    QCOMPARE(rows.mid(1, rows.size() - 2).join(QString()), line);
    // The later parts of the line do not begin one.
    QCOMPARE(lineStartRows(index), (QList<qsizetype>{0, 1, index.rowCount() - 1}));
}

void TestTextRowIndex::wrapping_data()
{
    QTest::addColumn<QString>("text");
    // The widest text a row may hold (the width is just wide enough for it),
    // or empty for no wrapping.
    QTest::addColumn<QString>("fits");
    QTest::addColumn<QList<QString>>("rows");
    QTest::addColumn<QList<qsizetype>>("lineStarts");
    QTest::newRow("not wrapping") << QStringLiteral("abc abc abc abc") << QString() << QList<QString>{"abc abc abc abc"}
                                  << QList<qsizetype>{0};
    QTest::newRow("wide enough") << QStringLiteral("abc abc") << QStringLiteral("abc abc") << QList<QString>{"abc abc"}
                                 << QList<qsizetype>{0};
    // The space a line breaks at ends the row before.
    QTest::newRow("at word boundaries") << QStringLiteral("abc abc abc abc abc") << QStringLiteral("abc abc")
                                        << QList<QString>{"abc abc ", "abc abc ", "abc"} << QList<qsizetype>{0};
    // Though its first letters would fit after the space.
    QTest::newRow("a word that does not fit goes to the next row")
        << QStringLiteral("abc abcabc") << QStringLiteral("abc abc") << QList<QString>{"abc ", "abcabc"}
        << QList<qsizetype>{0};
    QTest::newRow("spaces stay at the end of the row") << QStringLiteral("abc    abc") << QStringLiteral("abc")
                                                       << QList<QString>{"abc    ", "abc"} << QList<qsizetype>{0};
    QTest::newRow("a word wider than the width") << QStringLiteral("xxxxxxxxxx") << QStringLiteral("xxx")
                                                 << QList<QString>{"xxx", "xxx", "xxx", "x"} << QList<qsizetype>{0};
    QTest::newRow("a wide word after a short one") << QStringLiteral("ab xxxxxxxx") << QStringLiteral("xxx")
                                                   << QList<QString>{"ab ", "xxx", "xxx", "xx"} << QList<qsizetype>{0};
    QTest::newRow("line ends break as well")
        << QStringLiteral("abc\r\nabc abc abc\rabc") << QStringLiteral("abc abc")
        << QList<QString>{"abc", "abc abc ", "abc", "abc"} << QList<qsizetype>{0, 1, 3};
    QTest::newRow("empty lines stay empty rows")
        << QStringLiteral("\n\nabc abc abc\n") << QStringLiteral("abc")
        << QList<QString>{"", "", "abc ", "abc ", "abc", ""} << QList<qsizetype>{0, 1, 2, 5};
}

void TestTextRowIndex::wrapping()
{
    QFETCH(QString, text);
    QFETCH(QString, fits);
    QFETCH(QList<QString>, rows);
    QFETCH(QList<qsizetype>, lineStarts);
    TextRowIndex index;
    index.setText(text, testFont(), widthFitting(fits));
    QCOMPARE(rowTexts(index), rows);
    QCOMPARE(lineStartRows(index), lineStarts);

    // Laid out again at another width, and back.
    index.layOut(testFont(), 0);
    QCOMPARE(index.rowCount(), lineStarts.size());
    index.layOut(testFont(), widthFitting(fits));
    QCOMPARE(rowTexts(index), rows);
}

void TestTextRowIndex::fixedPitchRowsBreakAsALayoutDoes_data()
{
    // Lines of a log in its fixed-pitch font, around the width of a row of
    // `columns` characters: a row that fits is taken without a layout.
    QTest::addColumn<QString>("line");
    QTest::addColumn<qreal>("columns");
    const QString line = QStringLiteral("Wed Dec 9 26 02:04:17.123 : Key Removed: host00100:/State:/Network/eth0/Key0");
    const qreal length = qreal(line.size());
    QTest::newRow("far narrower") << line << length * 2;
    QTest::newRow("two characters to spare") << line << length + 2;
    QTest::newRow("one to spare") << line << length + 1;
    QTest::newRow("exactly as wide") << line << length;
    QTest::newRow("half a character short") << line << length - 0.5;
    QTest::newRow("one short") << line << length - 1;
    QTest::newRow("half as wide") << line << length / 2;
    QTest::newRow("tabs") << QStringLiteral("a\tb\tc\td\te\tf\tg") << qreal(12);
    QTest::newRow("not ASCII") << QStringLiteral("Key Added: caf\u00e9 \u00e9t\u00e9 \u00e9t\u00e9") << qreal(20);
}

void TestTextRowIndex::fixedPitchRowsBreakAsALayoutDoes()
{
    QFETCH(QString, line);
    QFETCH(qreal, columns);
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const qreal width = QFontMetricsF(font).horizontalAdvance(u'M') * columns;
    TextRowIndex index;
    index.setText(line, font, width);

    QTextLayout layout(line, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(TextRowIndex::TabStopDistance);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine())
        row.setLineWidth(width);
    layout.endLayout();
    QList<QString> expected;
    for (int i = 0; i < layout.lineCount(); ++i)
        expected.append(line.mid(layout.lineAt(i).textStart(), layout.lineAt(i).textLength()));
    QCOMPARE(rowTexts(index), expected);
}

void TestTextRowIndex::positionsAndRows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fits");
    QTest::addColumn<qsizetype>("position");
    QTest::addColumn<qsizetype>("row");
    const QString lines = QStringLiteral("ab\ncd\r\nef");
    QTest::newRow("start") << lines << QString() << qsizetype(0) << qsizetype(0);
    QTest::newRow("inside the first row") << lines << QString() << qsizetype(1) << qsizetype(0);
    // A line end belongs to the row it ends.
    QTest::newRow("at a newline") << lines << QString() << qsizetype(2) << qsizetype(0);
    QTest::newRow("after a newline") << lines << QString() << qsizetype(3) << qsizetype(1);
    QTest::newRow("at CR of CRLF") << lines << QString() << qsizetype(5) << qsizetype(1);
    QTest::newRow("between CR and LF") << lines << QString() << qsizetype(6) << qsizetype(1);
    QTest::newRow("after CRLF") << lines << QString() << qsizetype(7) << qsizetype(2);
    QTest::newRow("end") << lines << QString() << qsizetype(9) << qsizetype(2);
    QTest::newRow("end after a final newline") << QStringLiteral("ab\n") << QString() << qsizetype(3) << qsizetype(1);
    QTest::newRow("end of the empty text") << QString() << QString() << qsizetype(0) << qsizetype(0);
    QTest::newRow("before the start") << lines << QString() << qsizetype(-4) << qsizetype(0);
    QTest::newRow("past the end") << lines << QString() << qsizetype(100) << qsizetype(2);
    // Where a long line is cut, the position goes with the later row.
    const QString longLine = QString(Max + 5, u'a') + QStringLiteral("\nb");
    QTest::newRow("before the cut") << longLine << QString() << qsizetype(Max - 1) << qsizetype(0);
    QTest::newRow("at the cut") << longLine << QString() << qsizetype(Max) << qsizetype(1);
    QTest::newRow("after a cut line") << longLine << QString() << qsizetype(Max + 6) << qsizetype(2);
    // Likewise where a line wraps.
    const QString words = QStringLiteral("abc abc abc\nabc");
    QTest::newRow("at the wrapping space") << words << QStringLiteral("abc abc") << qsizetype(7) << qsizetype(0);
    QTest::newRow("at the wrap") << words << QStringLiteral("abc abc") << qsizetype(8) << qsizetype(1);
    QTest::newRow("after a wrapped line") << words << QStringLiteral("abc abc") << qsizetype(12) << qsizetype(2);
}

void TestTextRowIndex::positionsAndRows()
{
    QFETCH(QString, text);
    QFETCH(QString, fits);
    QFETCH(qsizetype, position);
    QFETCH(qsizetype, row);
    TextRowIndex index;
    index.setText(text, testFont(), widthFitting(fits));
    QCOMPARE(index.rowOfPosition(position), row);

    // And back: the row's range holds the position (clamped to the text),
    // at its end only when a line end or the text's end comes next.
    const TextRange range = index.rowRange(row);
    const qsizetype clamped = std::clamp<qsizetype>(position, 0, text.size());
    QVERIFY(range.location <= clamped);
    const qsizetype end = range.location + range.length;
    QVERIFY(clamped <= end + 1);
    if (clamped >= end && end < text.size())
        QVERIFY(TextRowIndex::isLineEnd(text.at(end).unicode()));
    QCOMPARE(index.rowOfPosition(range.location), row);

    // Rows that do not exist have no characters.
    QCOMPARE(index.rowRange(-1).length, 0);
    QCOMPARE(index.rowRange(index.rowCount()).length, 0);
    QVERIFY(!index.rowStartsLine(index.rowCount()));
}

void TestTextRowIndex::longestRow_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("longest");
    QTest::newRow("empty") << QString() << qsizetype(0);
    QTest::newRow("empty lines") << QStringLiteral("\n\n") << qsizetype(0);
    QTest::newRow("in the middle") << QStringLiteral("a\nabc\nab") << qsizetype(1);
    QTest::newRow("the first of equals") << QStringLiteral("a\nabc\nabc") << qsizetype(1);
    // CRLF counts for neither row.
    QTest::newRow("line ends do not count") << QStringLiteral("ab\r\nabc") << qsizetype(1);
    QTest::newRow("a cut line") << QStringLiteral("ab\n") + QString(Max + 1, u'a') << qsizetype(1);
}

void TestTextRowIndex::longestRow()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, longest);
    TextRowIndex index;
    index.setText(text);
    QCOMPARE(index.longestRow(), longest);
}

void TestTextRowIndex::replacing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fits");
    QTest::addColumn<qsizetype>("location");
    QTest::addColumn<qsizetype>("length");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("result");
    // The rows laid out again: the first, how many went and how many came.
    QTest::addColumn<qsizetype>("first");
    QTest::addColumn<qsizetype>("removed");
    QTest::addColumn<qsizetype>("added");

    QTest::newRow("append a line") << QStringLiteral("a\nb") << QString() << qsizetype(3) << qsizetype(0)
                                   << QStringLiteral("\nc") << QStringLiteral("a\nb\nc") << qsizetype(1) << qsizetype(1)
                                   << qsizetype(2);
    QTest::newRow("inside a line") << QStringLiteral("abc") << QString() << qsizetype(1) << qsizetype(1)
                                   << QStringLiteral("XY") << QStringLiteral("aXYc") << qsizetype(0) << qsizetype(1)
                                   << qsizetype(1);
    QTest::newRow("past the end") << QStringLiteral("abc") << QString() << qsizetype(10) << qsizetype(5)
                                  << QStringLiteral("d") << QStringLiteral("abcd") << qsizetype(0) << qsizetype(1)
                                  << qsizetype(1);
    QTest::newRow("before the start") << QStringLiteral("abc") << QString() << qsizetype(-5) << qsizetype(6)
                                      << QStringLiteral("z") << QStringLiteral("zbc") << qsizetype(0) << qsizetype(1)
                                      << qsizetype(1);
    // Lines away from the replacement are not laid out again.
    QTest::newRow("one line of many") << QStringLiteral("a\nb\nc\nd\ne") << QString() << qsizetype(4) << qsizetype(1)
                                      << QStringLiteral("C\nC") << QStringLiteral("a\nb\nC\nC\nd\ne") << qsizetype(2)
                                      << qsizetype(1) << qsizetype(2);
    QTest::newRow("removing lines") << QStringLiteral("a\nb\nc\nd\ne") << QString() << qsizetype(2) << qsizetype(4)
                                    << QString() << QStringLiteral("a\nd\ne") << qsizetype(1) << qsizetype(3)
                                    << qsizetype(1);

    // "\r" and "\n" joined into one line end, or parted into two.
    QTest::newRow("LF after CR") << QStringLiteral("ab\rcd\nef") << QString() << qsizetype(3) << qsizetype(0)
                                 << QStringLiteral("\n") << QStringLiteral("ab\r\ncd\nef") << qsizetype(0)
                                 << qsizetype(2) << qsizetype(2);
    QTest::newRow("CR before LF") << QStringLiteral("ab\ncd\nef") << QString() << qsizetype(2) << qsizetype(0)
                                  << QStringLiteral("\r") << QStringLiteral("ab\r\ncd\nef") << qsizetype(0)
                                  << qsizetype(1) << qsizetype(1);
    QTest::newRow("LF appended after a final CR")
        << QStringLiteral("x\nab\r") << QString() << qsizetype(5) << qsizetype(0) << QStringLiteral("\n")
        << QStringLiteral("x\nab\r\n") << qsizetype(1) << qsizetype(2) << qsizetype(2);
    QTest::newRow("removing what parts CR from LF")
        << QStringLiteral("ab\rx\ncd") << QString() << qsizetype(3) << qsizetype(1) << QString()
        << QStringLiteral("ab\r\ncd") << qsizetype(0) << qsizetype(2) << qsizetype(1);
    QTest::newRow("inserting between CR and LF")
        << QStringLiteral("ab\r\ncd\nef") << QString() << qsizetype(3) << qsizetype(0) << QStringLiteral("x")
        << QStringLiteral("ab\rx\ncd\nef") << qsizetype(0) << qsizetype(1) << qsizetype(2);
    QTest::newRow("removing CR of CRLF") << QStringLiteral("ab\r\ncd\nef") << QString() << qsizetype(2) << qsizetype(1)
                                         << QString() << QStringLiteral("ab\ncd\nef") << qsizetype(0) << qsizetype(1)
                                         << qsizetype(1);
    QTest::newRow("removing LF of CRLF") << QStringLiteral("ab\r\ncd\nef") << QString() << qsizetype(3) << qsizetype(1)
                                         << QString() << QStringLiteral("ab\rcd\nef") << qsizetype(0) << qsizetype(2)
                                         << qsizetype(2);
    QTest::newRow("a separator becomes a letter")
        << (QStringLiteral("ab") + QChar(0x2028) + QStringLiteral("cd\nef")) << QString() << qsizetype(2)
        << qsizetype(1) << QStringLiteral("-") << QStringLiteral("ab-cd\nef") << qsizetype(0) << qsizetype(2)
        << qsizetype(1);

    // A cut line is cut again from its start.
    QTest::newRow("inside a cut line") << QString(Max + 10, u'a') + QStringLiteral("\nz") << QString()
                                       << qsizetype(Max + 2) << qsizetype(0) << QStringLiteral("b")
                                       << QString(Max + 2, u'a') + u'b' + QString(8, u'a') + QStringLiteral("\nz")
                                       << qsizetype(0) << qsizetype(2) << qsizetype(2);
    QTest::newRow("shortening a cut line")
        << QStringLiteral("z\n") + QString(Max + 10, u'a') << QString() << qsizetype(2) << qsizetype(20) << QString()
        << QStringLiteral("z\n") + QString(Max - 10, u'a') << qsizetype(1) << qsizetype(2) << qsizetype(1);

    // Wrapped lines are wrapped again, and only those touched.
    QTest::newRow("a line wraps") << QStringLiteral("abc\nabc\nabc") << QStringLiteral("abc abc") << qsizetype(5)
                                  << qsizetype(0) << QStringLiteral("bc abc a")
                                  << QStringLiteral("abc\nabc abc abc\nabc") << qsizetype(1) << qsizetype(1)
                                  << qsizetype(2);
    QTest::newRow("a line stops wrapping")
        << QStringLiteral("abc\nabc abc abc\nabc") << QStringLiteral("abc abc") << qsizetype(7) << qsizetype(8)
        << QString() << QStringLiteral("abc\nabc\nabc") << qsizetype(1) << qsizetype(2) << qsizetype(1);
    QTest::newRow("CR joins a wrapped line's LF")
        << QStringLiteral("abc abc abc\rx\nabc") << QStringLiteral("abc abc") << qsizetype(12) << qsizetype(1)
        << QString() << QStringLiteral("abc abc abc\r\nabc") << qsizetype(0) << qsizetype(3) << qsizetype(2);
}

void TestTextRowIndex::replacing()
{
    QFETCH(QString, text);
    QFETCH(QString, fits);
    QFETCH(qsizetype, location);
    QFETCH(qsizetype, length);
    QFETCH(QString, replacement);
    QFETCH(QString, result);
    QFETCH(qsizetype, first);
    QFETCH(qsizetype, removed);
    QFETCH(qsizetype, added);
    const QFont font = testFont();
    const qreal width = widthFitting(fits);
    TextRowIndex index;
    index.setText(text, font, width);
    const qsizetype rowsBefore = index.rowCount();
    const TextRowIndex::Relayout relayout = index.replace({location, length}, replacement);
    QCOMPARE(index.text(), result);
    QCOMPARE(relayout.first, first);
    QCOMPARE(relayout.removed, removed);
    QCOMPARE(relayout.added, added);
    QCOMPARE(index.rowCount(), rowsBefore - removed + added);

    TextRowIndex fresh;
    fresh.setText(result, font, width);
    compareRows(index, fresh);
}

void TestTextRowIndex::replacementsGiveTheRowsOfAFreshIndex_data()
{
    QTest::addColumn<bool>("wraps");
    QTest::newRow("not wrapping") << false;
    QTest::newRow("wrapping") << true;
}

void TestTextRowIndex::replacementsGiveTheRowsOfAFreshIndex()
{
    // Replacements at the end, at the start and inside, some of them pairing
    // or parting "\r" and "\n" or making lines longer than a row: the rows
    // kept up to date line by line are those of the whole text laid out
    // again.
    QFETCH(bool, wraps);
    const QFont font = testFont();
    const qreal width = wraps ? widthFitting(QStringLiteral("State:/Network/Global")) : 0;
    QRandomGenerator random(11);
    static const QString pieces[] = {QStringLiteral("\n"),
                                     QStringLiteral("\r"),
                                     QStringLiteral("\r\n"),
                                     QStringLiteral("word "),
                                     QStringLiteral("State:/Network/Global/IPv4"),
                                     QString(QChar::LineSeparator),
                                     QString(QChar::ParagraphSeparator),
                                     QString(90, u'w'),
                                     QString(Max / 2 + 7, u'v'),
                                     QStringLiteral("a b c d e f g h ")};
    TextRowIndex index;
    index.setText(numberedLines(12), font, width);
    int changes = 0;
    for (int step = 0; step < 300; ++step) {
        QString insert;
        for (int n = int(random.bounded(4)); n >= 0; --n)
            insert += pieces[random.bounded(int(std::size(pieces)))];
        const qsizetype length = index.text().size();
        const int where = int(random.bounded(3));
        TextRange range;
        if (where == 0) {
            range = {length, 0};
        } else if (where == 1) {
            range = {0, std::min<qsizetype>(length, random.bounded(40))};
            insert.clear();
        } else {
            const qsizetype at = length ? random.bounded(int(length)) : 0;
            range = {at, std::min<qsizetype>(length - at, random.bounded(6))};
        }
        QString expected = index.text();
        expected.replace(range.location, range.length, insert);
        index.replace(range, insert);
        QCOMPARE(index.text(), expected);
        changes += range.length > 0 || !insert.isEmpty();
        // Kept short, so that lines of many rows come and go.
        if (index.text().size() > 3 * Max)
            index.replace({0, 2 * Max}, QString());
        TextRowIndex fresh;
        fresh.setText(index.text(), font, width);
        compareRows(index, fresh);
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY(changes > 200);
}

QTEST_MAIN(TestTextRowIndex)
#include "tst_textrowindex.moc"
