// The read-only text viewer: the text kept exactly, selection with the mouse
// and keyboard, copy, scrolling to the end, a deferred text, accessibility,
// and rows wrapped at the view's width. Where rows begin and end is tested
// with the row index itself, in tst_textrowindex.

#include "platform/ui/TextViewer.h"
#include "tests/TextTestSupport.h"

#include <QAbstractTextDocumentLayout>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

using kv::ui::TextRange;
using kv::ui::TextViewer;

namespace {

QList<QString> rowTexts(const TextViewer &viewer)
{
    QList<QString> rows;
    for (qsizetype row = 0; row < viewer.rowCount(); ++row) {
        const TextRange range = viewer.rowRange(row);
        rows.append(viewer.string().mid(range.location, range.length));
    }
    return rows;
}

using texttest::numberedLines;

// Number of pixels in `rect` of `image` that differ from the viewer's background.
int inkIn(const QImage &image, const QRect &rect, QRgb background)
{
    int ink = 0;
    const QRect area = rect.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            ink += image.pixel(x, y) != background;
    }
    return ink;
}

} // namespace

class TestTextViewer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QGuiApplication::clipboard()->clear(); }
    void selectAllAndCopyGiveTheWholeText_data();
    void selectAllAndCopyGiveTheWholeText();
    void copyWithoutSelectionLeavesClipboard();
    void mouseDragSelects();
    void doubleClickSelectsWord();
    void scrollingToTheEndShowsTheLastLine_data();
    void scrollingToTheEndShowsTheLastLine();
    void newTextStartsAtTheTop();
    void replaceCharacters_data();
    void replaceCharacters();
    void deferredText();
    void deferredTextReplacedUnmade();
    void accessibleText();
    void viewerKeepsTheTextAsGiven();
    void wrappedRowsBreakWhereTheTextEditBreaks_data();
    void wrappedRowsBreakWhereTheTextEditBreaks();
    void wrappedReplacementsGiveTheRowsOfAFreshText();
    void wrappedViewScrollsByPixels();
    void textFilledWhileHiddenWrapsWhenShown();
    void wrappedViewKeepsItsPlaceWhenResized_data();
    void wrappedViewKeepsItsPlaceWhenResized();
};

void TestTextViewer::selectAllAndCopyGiveTheWholeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("lines") << numberedLines(1000);
    QTest::newRow("CRLF kept") << QStringLiteral("a\r\nb\r\n");
    QTest::newRow("one long line") << QString(100000, u'z');
}

void TestTextViewer::selectAllAndCopyGiveTheWholeText()
{
    QFETCH(QString, text);
    TextViewer viewer;
    viewer.resize(300, 200);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setString(text);
    viewer.setFocus();
    QTest::keyClick(&viewer, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(viewer.selectedText(), text);
    QCOMPARE(viewer.selectedRange().location, 0);
    QCOMPARE(viewer.selectedRange().length, text.size());
    QTest::keyClick(&viewer, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
}

void TestTextViewer::copyWithoutSelectionLeavesClipboard()
{
    TextViewer viewer;
    viewer.setString(QStringLiteral("text"));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    viewer.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    viewer.setSelectedRange({1, 2});
    QCOMPARE(viewer.selectedText(), QStringLiteral("ex"));
    viewer.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("ex"));
    // A range past the end is clamped to the text.
    viewer.setSelectedRange({2, 100});
    QCOMPARE(viewer.selectedText(), QStringLiteral("xt"));
}

void TestTextViewer::mouseDragSelects()
{
    TextViewer viewer;
    viewer.resize(400, 300);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setString(QStringLiteral("alpha beta\ngamma delta\nepsilon"));
    // From the start of row 0 to just before "delta" in row 1.
    const QPoint from = viewer.positionRect(0).center();
    const qsizetype target = viewer.string().indexOf(QStringLiteral("delta"));
    const QPoint to = viewer.positionRect(target).center();
    QTest::mousePress(viewer.viewport(), Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, to, viewer.viewport()->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(viewer.viewport(), &move);
    QTest::mouseRelease(viewer.viewport(), Qt::LeftButton, {}, to);
    QCOMPARE(viewer.selectedText(), QStringLiteral("alpha beta\ngamma "));
    QCOMPARE(viewer.positionAt(to), target);
}

void TestTextViewer::doubleClickSelectsWord()
{
    TextViewer viewer;
    viewer.resize(400, 300);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setString(QStringLiteral("alpha beta\ngamma delta"));
    const qsizetype inside = viewer.string().indexOf(QStringLiteral("elta")) + 1;
    const QPoint point = viewer.positionRect(inside).center();
    QTest::mouseDClick(viewer.viewport(), Qt::LeftButton, {}, point);
    QCOMPARE(viewer.selectedText(), QStringLiteral("delta"));
}

void TestTextViewer::scrollingToTheEndShowsTheLastLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("lastRow");
    QTest::newRow("many lines") << numberedLines(100000) << QStringLiteral("line 99999");
    QTest::newRow("one long line") << QString(200000, u'x') + QStringLiteral("END") << QString();
}

void TestTextViewer::scrollingToTheEndShowsTheLastLine()
{
    QFETCH(QString, text);
    QFETCH(QString, lastRow);
    TextViewer viewer;
    viewer.resize(300, 200);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setString(text);
    const qsizetype last = viewer.rowCount() - 1;
    if (!lastRow.isEmpty())
        QCOMPARE(rowTexts(viewer).last(), lastRow);
    QVERIFY(viewer.firstVisibleRow() + viewer.visibleRowCount() <= last);

    viewer.setFocus();
    QTest::keyClick(&viewer, Qt::Key_End, Qt::ControlModifier);
    QVERIFY(viewer.firstVisibleRow() <= last);
    QVERIFY(viewer.firstVisibleRow() + viewer.visibleRowCount() > last);
    const QRect end = viewer.positionRect(text.size());
    QVERIFY2(viewer.viewport()->rect().contains(end.center()),
             qPrintable(QStringLiteral("%1,%2").arg(end.x()).arg(end.y())));
    // The visible rectangle reaches the bottom of the text.
    QVERIFY(viewer.documentVisibleRect().bottom() >= viewer.bounds().bottom() - viewer.viewport()->height());

    // The last characters are drawn where they are said to be.
    const QImage image = viewer.viewport()->grab().toImage();
    const QRgb background = image.pixel(image.width() - 1, 0);
    const QRect lastText(viewer.positionRect(text.size() - 3).topLeft(), end.bottomLeft());
    QVERIFY(inkIn(image, lastText, background) > 0);

    // And back to the top.
    QTest::keyClick(&viewer, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(viewer.firstVisibleRow(), 0);
    QCOMPARE(viewer.documentVisibleRect().topLeft(), QPointF(0, 0));
}

void TestTextViewer::newTextStartsAtTheTop()
{
    TextViewer viewer;
    viewer.resize(300, 200);
    viewer.show();
    viewer.setString(numberedLines(1000));
    viewer.scrollRangeToVisible({viewer.stringLength(), 0});
    viewer.selectAll();
    QVERIFY(viewer.firstVisibleRow() > 0);
    viewer.setString(QStringLiteral("other\ntext"));
    QCOMPARE(viewer.firstVisibleRow(), 0);
    QCOMPARE(viewer.selectedRange().length, 0);
    QCOMPARE(viewer.rowCount(), 2);
    viewer.setString(QString());
    QCOMPARE(viewer.string(), QString());
    QCOMPARE(viewer.rowCount(), 1);
}

void TestTextViewer::replaceCharacters_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("location");
    QTest::addColumn<qsizetype>("length");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("result");
    QTest::newRow("append") << QStringLiteral("a\nb") << qsizetype(3) << qsizetype(0) << QStringLiteral("\nc")
                            << QStringLiteral("a\nb\nc");
    QTest::newRow("middle") << QStringLiteral("abc") << qsizetype(1) << qsizetype(1) << QStringLiteral("XY")
                            << QStringLiteral("aXYc");
    QTest::newRow("past the end") << QStringLiteral("abc") << qsizetype(10) << qsizetype(5) << QStringLiteral("d")
                                  << QStringLiteral("abcd");
    QTest::newRow("negative") << QStringLiteral("abc") << qsizetype(-5) << qsizetype(6) << QStringLiteral("z")
                              << QStringLiteral("zbc");
}

void TestTextViewer::replaceCharacters()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, location);
    QFETCH(qsizetype, length);
    QFETCH(QString, replacement);
    QFETCH(QString, result);
    TextViewer viewer;
    viewer.setString(text);
    viewer.replaceCharactersInRange({location, length}, replacement);
    QCOMPARE(viewer.string(), result);
    QCOMPARE(rowTexts(viewer), result.split(u'\n'));
}

void TestTextViewer::deferredText()
{
    TextViewer viewer;
    viewer.resize(300, 200);
    viewer.show();
    viewer.setString(QStringLiteral("old"));
    int made = 0;
    viewer.setDeferredString([&made] {
        ++made;
        return QStringLiteral("new\ntext");
    });
    QVERIFY(viewer.hasDeferredString());
    QCOMPARE(made, 0);
    // Made when the event loop turns.
    QTRY_VERIFY(!viewer.hasDeferredString());
    QCOMPARE(made, 1);
    QCOMPARE(viewer.string(), QStringLiteral("new\ntext"));

    // Made at once when asked for first, and only once.
    viewer.setDeferredString([&made] {
        ++made;
        return QStringLiteral("asked");
    });
    QCOMPARE(viewer.stringLength(), 5);
    QCOMPARE(viewer.string(), QStringLiteral("asked"));
    QCOMPARE(made, 2);
    QTest::qWait(30);
    QCOMPARE(made, 2);
}

void TestTextViewer::deferredTextReplacedUnmade()
{
    TextViewer viewer;
    bool made = false;
    viewer.setDeferredString([&made] {
        made = true;
        return QStringLiteral("never");
    });
    viewer.setString(QStringLiteral("instead"));
    QTest::qWait(30);
    QVERIFY(!made);
    QCOMPARE(viewer.string(), QStringLiteral("instead"));
}

void TestTextViewer::accessibleText()
{
    QWidget parent;
    parent.setAccessibleName(QStringLiteral("Inspector text"));
    auto *viewer = new TextViewer(&parent);
    viewer->setString(QStringLiteral("one\ntwo"));
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(viewer);
    QVERIFY(accessible);
    QCOMPARE(accessible->role(), QAccessible::EditableText);
    QVERIFY(accessible->state().readOnly);
    QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Inspector text"));
    QAccessibleTextInterface *text = accessible->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), 7);
    QCOMPARE(text->text(0, 7), QStringLiteral("one\ntwo"));
    QCOMPARE(text->text(4, 100), QStringLiteral("two"));
    text->setSelection(0, 4, 7);
    QCOMPARE(viewer->selectedText(), QStringLiteral("two"));
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    QCOMPARE(start, 4);
    QCOMPARE(end, 7);
    viewer->setAccessibleName(QStringLiteral("Own name"));
    QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Own name"));
}

// The inspector and the console hold a viewer directly: the text stays
// exactly as given ("\r\n" included) through every text call, and the user
// cannot edit it.
void TestTextViewer::viewerKeepsTheTextAsGiven()
{
    TextViewer viewer;
    viewer.setAccessibleName(QStringLiteral("Inspector text"));
    viewer.setString(QStringLiteral("a\r\nb"));
    QCOMPARE(viewer.string(), QStringLiteral("a\r\nb"));
    QCOMPARE(viewer.stringLength(), 4);
    viewer.replaceCharactersInRange({4, 0}, QStringLiteral("c\u2029d"));
    QCOMPARE(viewer.string(), QStringLiteral("a\r\nbc\u2029d"));
    viewer.setDeferredString([] { return QStringLiteral("later\r"); });
    QCOMPARE(viewer.string(), QStringLiteral("later\r"));
    viewer.resize(300, 200);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setFocus();
    QTest::keyClicks(&viewer, QStringLiteral("typed"));
    QTest::keyClick(&viewer, Qt::Key_Backspace);
    QCOMPARE(viewer.string(), QStringLiteral("later\r"));
    QCOMPARE(viewer.accessibleName(), QStringLiteral("Inspector text"));
}

void TestTextViewer::wrappedRowsBreakWhereTheTextEditBreaks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::newRow("short lines") << numberedLines(30) << 300;
    QTest::newRow("words") << QStringLiteral("Key Updated: the quick brown fox jumps over the lazy dog ").repeated(12)
                           << 260;
    QTest::newRow("one long word") << QString(700, u'x') << 230;
    QTest::newRow("key paths") << QStringLiteral("Sun Dec 6 26 07:23:52.123 : Key Added: State:/Network/Service/"
                                                 "4E2B-93A1-0000-1111/IPv4/Addresses/Router\n")
                                      .repeated(9)
                               << 320;
    QTest::newRow("spaces and tabs") << QStringLiteral("a\tb    c  d\t\te ").repeated(40) << 250;
    QTest::newRow("empty lines") << QStringLiteral("\n\nabc def ghi jkl\n\n") << 120;
}

void TestTextViewer::wrappedRowsBreakWhereTheTextEditBreaks()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    TextViewer viewer;
    viewer.setWrapsLines(true);
    viewer.resize(width, 400);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setString(text);
    QVERIFY(!viewer.horizontalScrollBar()->isVisible());

    // A text document of the viewer's width, as a text edit lays it out.
    QTextDocument document;
    document.setDefaultFont(viewer.font());
    document.setDocumentMargin(4);
    QTextOption option = document.defaultTextOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    document.setDefaultTextOption(option);
    document.setPlainText(text);
    document.setTextWidth(viewer.viewport()->width());
    document.documentLayout()->documentSize();
    QList<TextRange> expected;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QTextLayout *layout = block.layout();
        for (int i = 0; i < layout->lineCount(); ++i) {
            const QTextLine line = layout->lineAt(i);
            expected.append({block.position() + line.textStart(), line.textLength()});
        }
    }
    QList<TextRange> rows;
    for (qsizetype row = 0; row < viewer.rowCount(); ++row)
        rows.append(viewer.rowRange(row));
    QVERIFY(rows.size() > 1);
    QCOMPARE(rows.size(), expected.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows[i].location, expected[i].location);
        QCOMPARE(rows[i].length, expected[i].length);
    }
}

void TestTextViewer::wrappedReplacementsGiveTheRowsOfAFreshText()
{
    // Replacements at the end, at the start and inside, some of them pairing
    // or parting "\r" and "\n": the rows kept up to date line by line are
    // those of the whole text laid out again.
    TextViewer viewer, fresh;
    for (TextViewer *v : {&viewer, &fresh}) {
        v->setWrapsLines(true);
        v->resize(260, 200);
        v->show();
        QVERIFY(QTest::qWaitForWindowExposed(v));
    }
    QRandomGenerator random(7);
    static const QString pieces[] = {QStringLiteral("\n"),
                                     QStringLiteral("\r"),
                                     QStringLiteral("\r\n"),
                                     QStringLiteral("word "),
                                     QStringLiteral("State:/Network/Global/IPv4"),
                                     QString(QChar::LineSeparator),
                                     QString(90, u'w'),
                                     QStringLiteral("a b c d e f g h ")};
    viewer.setString(numberedLines(12));
    int changes = 0;
    for (int step = 0; step < 400; ++step) {
        QString insert;
        for (int n = int(random.bounded(4)); n >= 0; --n)
            insert += pieces[random.bounded(int(std::size(pieces)))];
        const qsizetype length = viewer.stringLength();
        const int where = int(random.bounded(3));
        TextRange range;
        if (where == 0)
            range = {length, 0};
        else if (where == 1)
            range = {0, std::min<qsizetype>(length, random.bounded(40))};
        else {
            const qsizetype at = length ? random.bounded(int(length)) : 0;
            range = {at, std::min<qsizetype>(length - at, random.bounded(6))};
        }
        if (where == 1)
            insert.clear();
        QString expectedText = viewer.string();
        expectedText.replace(range.location, range.length, insert);
        viewer.replaceCharactersInRange(range, insert);
        QCOMPARE(viewer.string(), expectedText);
        if (viewer.stringLength() > 3000)
            viewer.replaceCharactersInRange({0, 1500}, QString());
        fresh.setString(viewer.string());
        QCOMPARE(viewer.viewport()->width(), fresh.viewport()->width());
        QCOMPARE(rowTexts(viewer), rowTexts(fresh));
        for (qsizetype row = 0; row < viewer.rowCount(); ++row)
            QCOMPARE(viewer.rowRange(row).location, fresh.rowRange(row).location);
        changes += range.length > 0 || !insert.isEmpty();
    }
    QVERIFY(changes > 300);
}

void TestTextViewer::wrappedViewScrollsByPixels()
{
    TextViewer viewer;
    viewer.setWrapsLines(true);
    viewer.resize(300, 200);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setString(QStringLiteral("one two three four five six seven eight nine ten\n").repeated(40));
    const int lineHeight = QFontMetrics(viewer.font()).lineSpacing();
    QVERIFY(viewer.rowCount() > 41);
    QScrollBar *bar = viewer.verticalScrollBar();
    QVERIFY(bar->isVisible());
    // As tall as the rows and a margin above and below.
    QCOMPARE(viewer.bounds().height(), qreal(viewer.rowCount() * lineHeight + 8));
    QCOMPARE(bar->maximum(), int(viewer.bounds().height()) - viewer.viewport()->height());
    bar->setValue(37);
    QCOMPARE(viewer.documentVisibleRect().y(), 37.0);
    QCOMPARE(viewer.firstVisibleRow(), qsizetype((37 - 4) / lineHeight));
    viewer.scrollRangeToVisible({viewer.stringLength(), 0});
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(viewer.documentVisibleRect().bottom(), viewer.bounds().height());
    // A short text needs no scroll bar.
    viewer.setString(QStringLiteral("short"));
    QVERIFY(!bar->isVisible());
    QCOMPARE(viewer.rowCount(), 1);
}

void TestTextViewer::textFilledWhileHiddenWrapsWhenShown()
{
    const QString line = QStringLiteral("Key Added: State:/Network/Service/4E2B-93A1/IPv4/Addresses/Router/Part\n");
    TextViewer hidden, shown;
    for (TextViewer *v : {&hidden, &shown}) {
        v->setWrapsLines(true);
        v->resize(260, 200);
    }
    shown.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shown));
    for (int i = 0; i < 30; ++i) {
        hidden.replaceCharactersInRange({hidden.stringLength(), 0}, line);
        shown.replaceCharactersInRange({shown.stringLength(), 0}, line);
    }
    hidden.replaceCharactersInRange({0, line.size()}, QString());
    shown.replaceCharactersInRange({0, line.size()}, QString());
    // Hidden, a line is a row.
    QCOMPARE(hidden.rowCount(), 30);
    QVERIFY(shown.rowCount() > 30);
    hidden.show();
    QVERIFY(QTest::qWaitForWindowExposed(&hidden));
    QCOMPARE(hidden.viewport()->width(), shown.viewport()->width());
    QCOMPARE(rowTexts(hidden), rowTexts(shown));
    QCOMPARE(hidden.verticalScrollBar()->maximum(), shown.verticalScrollBar()->maximum());
}

void TestTextViewer::wrappedViewKeepsItsPlaceWhenResized_data()
{
    QTest::addColumn<bool>("hidden");    // filled and scrolled while hidden, then shown
    QTest::addColumn<int>("scrolledTo"); // -1: the end
    QTest::addColumn<int>("width");
    QTest::newRow("at the top, narrower") << false << 0 << 200;
    QTest::newRow("at the end, narrower") << false << -1 << 200;
    QTest::newRow("at the end, wider") << false << -1 << 420;
    QTest::newRow("in the middle, narrower") << false << 300 << 200;
    QTest::newRow("in the middle, wider") << false << 300 << 420;
    // A log that follows its end, filled while hidden, shows its end.
    QTest::newRow("at the end while hidden") << true << -1 << 200;
    QTest::newRow("at the top while hidden") << true << 0 << 200;
}

void TestTextViewer::wrappedViewKeepsItsPlaceWhenResized()
{
    QFETCH(bool, hidden);
    QFETCH(int, scrolledTo);
    QFETCH(int, width);
    TextViewer viewer;
    viewer.setWrapsLines(true);
    viewer.resize(300, 200);
    if (!hidden) {
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    }
    QString text;
    for (int i = 0; i < 200; ++i)
        text += QStringLiteral("line %1: one two three four five six seven eight\n").arg(i);
    viewer.setString(text);
    QScrollBar *bar = viewer.verticalScrollBar();
    QVERIFY(bar->maximum() > 300);
    bar->setValue(scrolledTo < 0 ? bar->maximum() : scrolledTo);
    const qsizetype topText = viewer.rowRange(viewer.firstVisibleRow()).location;
    viewer.resize(width, 200);
    if (hidden) {
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    }
    QCoreApplication::processEvents();
    if (scrolledTo < 0) {
        QCOMPARE(bar->value(), bar->maximum());
    } else if (scrolledTo == 0) {
        QCOMPARE(bar->value(), 0);
    } else {
        // The row that was on top is on top again, whole.
        const TextRange row = viewer.rowRange(viewer.firstVisibleRow());
        QVERIFY2(row.location <= topText && topText < row.location + row.length,
                 qPrintable(QStringLiteral("%1 in [%2, +%3)").arg(topText).arg(row.location).arg(row.length)));
    }
}

QTEST_MAIN(TestTextViewer)
#include "tst_textviewer.moc"
