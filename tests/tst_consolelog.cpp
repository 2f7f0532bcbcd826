// The console log: line format, timestamps, trimming, following the end,
// the banner and bringing the window to the front.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "console/ConsoleLog.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QApplication>
#include <QFontDatabase>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QtTest>

namespace {

// 6 December 2026 (a Sunday), 07:23:52.123, local time.
QDateTime fixedTime()
{
    return QDateTime(QDate(2026, 12, 6), QTime(7, 23, 52, 123));
}
const QString FixedStamp = QStringLiteral("Sun Dec 6 26 07:23:52.123 : ");

// Lines of `lineLength` characters each (the last one of them "\n"), as many
// as fit in `total`, then a tail of 'z' without a line end to reach `total`.
QString linesOf(qsizetype total, qsizetype lineLength)
{
    QString text;
    text.reserve(total);
    int n = 0;
    while (text.size() + lineLength <= total) {
        QString line = QStringLiteral("line %1 ").arg(n++);
        line = line.leftJustified(lineLength - 1, u'.', true);
        text += line + u'\n';
    }
    text += QString(total - text.size(), u'z');
    return text;
}

// Counts the events of one type an object receives while this lives.
class EventCounter : public QObject
{
public:
    EventCounter(QObject *watched, QEvent::Type type, int *count) : m_type(type), m_count(count)
    {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == m_type)
            ++*m_count;
        return false;
    }

private:
    QEvent::Type m_type;
    int *m_count;
};

// The scroll bar that scrolls the console's text.
QScrollBar *scrollBarOf(kv::ui::TextViewer *view)
{
    return view->verticalScrollBar();
}

} // namespace

class TestConsoleLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void timestamp_data();
    void timestamp();
    void timestampIgnoresTheUserLocale();
    void lineFormat_data();
    void lineFormat();
    void emptyMessageLeavesNoTrace_data();
    void emptyMessageLeavesNoTrace();
    void trim_data();
    void trim();
    void trimHappensOncePerLine();
    void trimRemovesWholeLinesOnly();
    void steadyStateStaysBounded();
    void followsWhenAtTheEnd();
    void followBoundaryIs80Points();
    void followIsMeasuredAfterTheTrim();
    void followIsMeasuredBeforeTheAppend();
    void shortLogAlwaysFollows();
    void batchWritesWhatSingleLinesWrite_data();
    void batchWritesWhatSingleLinesWrite();
    void nestedBatchesWriteOnce();
    void batchReplacingTheWholeLogKeepsTheScrollBar();
    void linesWriteWhatTheTextViewCallsWrite_data();
    void linesWriteWhatTheTextViewCallsWrite();
    void currentTimestampFollowsTheClock();
    void bannerAndFont();
    void showConsoleOrdersFront();
    void loggingWhileHidden();

private:
    void showConsoleWindow();

    std::unique_ptr<KVNController> controller;
    std::unique_ptr<kv::app::MainInterface> ui;
    int clockReads = 0;
};

void TestConsoleLog::init()
{
    clockReads = 0;
    kv::console::clockOverride = [this] {
        ++clockReads;
        return fixedTime();
    };
    controller = std::make_unique<KVNController>();
    ui = kv::app::loadMainInterface(controller.get());
}

void TestConsoleLog::cleanup()
{
    kv::console::clockOverride = {};
    ui.reset();
    controller.reset();
}

void TestConsoleLog::showConsoleWindow()
{
    controller->consoleWindow->resize(500, 300);
    controller->consoleWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(controller->consoleWindow));
}

void TestConsoleLog::timestamp_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("expected");
    QTest::newRow("single-digit day") << fixedTime() << FixedStamp;
    QTest::newRow("two-digit day, end of day")
        << QDateTime(QDate(2026, 10, 14), QTime(23, 59, 59, 999)) << QStringLiteral("Wed Oct 14 26 23:59:59.999 : ");
    QTest::newRow("year 2000, zero milliseconds")
        << QDateTime(QDate(2000, 1, 1), QTime(0, 0, 0, 0)) << QStringLiteral("Sat Jan 1 00 00:00:00.000 : ");
    QTest::newRow("five milliseconds") << QDateTime(QDate(2031, 2, 3), QTime(4, 5, 6, 5))
                                       << QStringLiteral("Mon Feb 3 31 04:05:06.005 : ");
    QTest::newRow("leap day") << QDateTime(QDate(2024, 2, 29), QTime(12, 0, 7, 70))
                              << QStringLiteral("Thu Feb 29 24 12:00:07.070 : ");
}

void TestConsoleLog::timestamp()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, expected);
    QCOMPARE(kv::console::timestamp(time), expected);

    // The same through the log itself.
    kv::console::clockOverride = [time] { return time; };
    controller->consoleView->setString(QString());
    controller->updateLog(QStringLiteral("x"), LogNote);
    QCOMPARE(controller->consoleView->string(), expected + QStringLiteral("x\n"));
}

void TestConsoleLog::timestampIgnoresTheUserLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString stamp = kv::console::timestamp(fixedTime());
    QLocale::setDefault(previous);
    QCOMPARE(stamp, FixedStamp);
}

void TestConsoleLog::lineFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    const QString key = QStringLiteral("State:/Network/Global/IPv4");
    QTest::newRow("note") << key << 0 << FixedStamp + key + u'\n';
    QTest::newRow("updated") << key << 1 << FixedStamp + QStringLiteral("Key Updated: ") + key + u'\n';
    QTest::newRow("removed") << key << 2 << FixedStamp + QStringLiteral("Key Removed: ") + key + u'\n';
    QTest::newRow("added") << key << 3 << FixedStamp + QStringLiteral("Key Added: ") + key + u'\n';
    QTest::newRow("type 4 is a note") << key << 4 << FixedStamp + key + u'\n';
    QTest::newRow("type -1 is a note") << key << -1 << FixedStamp + key + u'\n';
    QTest::newRow("message with a line break")
        << QStringLiteral("two\nlines") << 3 << FixedStamp + QStringLiteral("Key Added: two\nlines\n");
    QTest::newRow("format characters are plain text")
        << QStringLiteral("%1 %s %@") << 1 << FixedStamp + QStringLiteral("Key Updated: %1 %s %@\n");
    QTest::newRow("non-ASCII and no-break space")
        << QStringLiteral("Setup:/Größe\u00a0x") << 0 << FixedStamp + QStringLiteral("Setup:/Größe\u00a0x\n");
    // Every kind of line break stays as it is in the message.
    const QString breaks = QStringLiteral("a\r\nb\rc\u2029d\u2028e\u0085f") + QChar(0xFDD0) + u'g' + QChar(0xFDD1);
    QTest::newRow("line breaks of every kind")
        << breaks << 2 << FixedStamp + QStringLiteral("Key Removed: ") + breaks + u'\n';
    QTest::newRow("message ending in a carriage return")
        << QStringLiteral("State:/a\r") << 0 << FixedStamp + QStringLiteral("State:/a\r\n");
}

void TestConsoleLog::lineFormat()
{
    QFETCH(QString, message);
    QFETCH(int, type);
    QFETCH(QString, expected);
    const QString before = QStringLiteral("earlier line\n");
    controller->consoleView->setString(before);
    controller->updateLog(message, type);
    QCOMPARE(controller->consoleView->string(), before + expected);
    QCOMPARE(clockReads, 1);
}

void TestConsoleLog::emptyMessageLeavesNoTrace_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("type");
    QTest::newRow("null note") << QString() << 0;
    QTest::newRow("empty note") << QStringLiteral("") << 0;
    QTest::newRow("empty added") << QStringLiteral("") << 3;
    QTest::newRow("null updated") << QString() << 1;
    QTest::newRow("empty other") << QStringLiteral("") << 9;
}

void TestConsoleLog::emptyMessageLeavesNoTrace()
{
    QFETCH(QString, message);
    QFETCH(int, type);
    // Long enough that a line would trigger a trim, scrolled to the top.
    showConsoleWindow();
    const QString before = linesOf(20500, 50);
    controller->consoleView->setString(before);
    QScrollBar *bar = scrollBarOf(controller->consoleView);
    bar->setValue(0);
    controller->updateLog(message, type);
    QCOMPARE(controller->consoleView->string(), before);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(clockReads, 0);
}

void TestConsoleLog::trim_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<qsizetype>("removed");

    // Lines of 100 characters: index 1999 is the "\n" ending line 20.
    QTest::newRow("exactly 20000: no trim") << linesOf(20000, 100) << qsizetype(0);
    QTest::newRow("20001, index 1999 is a line end: exactly 2000") << linesOf(20001, 100) << qsizetype(2000);
    // Lines of 300: index 1999 lies in the line [1800, 2100).
    QTest::newRow("line holding 1999 ends at 2099") << linesOf(20001, 300) << qsizetype(2100);
    // Lines of 999: index 1998 ends a line, 1999 starts the next [1998, 2997).
    QTest::newRow("index 1999 starts a line") << linesOf(25000, 999) << qsizetype(2997);
    // One line without a line end: the whole text is that line.
    QTest::newRow("no line end at all") << QString(20001, u'y') << qsizetype(20001);
    {
        // The line holding 1999 ends with a line separator, not a paragraph break.
        QString text = linesOf(21000, 100);
        text[1999] = u'a';
        text[2049] = QChar::LineSeparator;
        QTest::newRow("line separator ends the line") << text << qsizetype(2050);
    }
    {
        QString text = linesOf(21000, 100);
        text[1999] = u'a';
        text[2009] = QChar(0x0085);
        QTest::newRow("next line ends the line") << text << qsizetype(2010);
    }
    {
        // Line ends of every kind count, "\r\n" as one.
        QString text = linesOf(21000, 100);
        text[1999] = u'\r';
        QTest::newRow("index 1999 is a carriage return") << text << qsizetype(2000);
        text[1999] = u'a';
        text[2020] = u'\r';
        text[2021] = u'\n';
        QTest::newRow("carriage return and line feed end the line") << text << qsizetype(2022);
        text[2021] = u'b';
        QTest::newRow("carriage return alone ends the line") << text << qsizetype(2021);
        text[2020] = QChar::ParagraphSeparator;
        QTest::newRow("paragraph separator ends the line") << text << qsizetype(2021);
        text[2020] = QChar(0xFDD0);
        QTest::newRow("U+FDD0 does not end a line") << text << qsizetype(2100);
    }
    {
        QString text = linesOf(21000, 100);
        text[1998] = u'\r';
        text[1999] = u'\n';
        QTest::newRow("index 1999 is the line feed of a pair") << text << qsizetype(2000);
    }
}

void TestConsoleLog::trim()
{
    QFETCH(QString, before);
    QFETCH(qsizetype, removed);
    controller->consoleView->setString(before);
    QCOMPARE(controller->consoleView->stringLength(), before.size());
    controller->updateLog(QStringLiteral("State:/new"), LogKeyAdded);
    const QString line = FixedStamp + QStringLiteral("Key Added: State:/new\n");
    QCOMPARE(controller->consoleView->string(), before.mid(removed) + line);
}

void TestConsoleLog::trimHappensOncePerLine()
{
    // 30000 characters: one call removes one chunk, leaving more than 20000.
    const QString before = linesOf(30000, 100);
    controller->consoleView->setString(before);
    controller->updateLog(QStringLiteral("a"), LogNote);
    QCOMPARE(controller->consoleView->stringLength(), 30000 - 2000 + FixedStamp.size() + 2);
    controller->updateLog(QStringLiteral("b"), LogNote);
    QCOMPARE(controller->consoleView->stringLength(), 30000 - 4000 + 2 * (FixedStamp.size() + 2));
    QVERIFY(controller->consoleView->string().startsWith(before.mid(4000)));
}

void TestConsoleLog::trimRemovesWholeLinesOnly()
{
    // Lines of varied length: after every trim the text starts at a line start.
    QString text;
    int n = 0;
    while (text.size() <= 20000) {
        text += QStringLiteral("entry %1 ").arg(n) + QString(n % 97, u'-') + u'\n';
        ++n;
    }
    controller->consoleView->setString(text);
    for (int i = 0; i < 60; ++i) {
        const QString before = controller->consoleView->string();
        controller->updateLog(QStringLiteral("key %1").arg(i), i % 4);
        const QString after = controller->consoleView->string();
        if (before.size() > 20000) {
            const qsizetype cut = before.indexOf(u'\n', 1999) + 1;
            QVERIFY(cut >= 2000);
            QVERIFY(after.startsWith(before.mid(cut)));
            QVERIFY(after.startsWith(QStringLiteral("entry ")) || after.startsWith(FixedStamp));
        } else {
            QVERIFY(after.startsWith(before));
        }
    }
}

void TestConsoleLog::steadyStateStaysBounded()
{
    for (int i = 0; i < 2000; ++i)
        controller->updateLog(QStringLiteral("State:/Network/Service/%1/IPv4").arg(i), LogKeyUpdated);
    const qsizetype length = controller->consoleView->stringLength();
    QVERIFY2(length <= 20000 + 100, qPrintable(QString::number(length)));
    QVERIFY(length > 15000);
    const QString text = controller->consoleView->string();
    QVERIFY(text.startsWith(FixedStamp));
    QVERIFY(text.endsWith(QStringLiteral("Key Updated: State:/Network/Service/1999/IPv4\n")));
}

void TestConsoleLog::followsWhenAtTheEnd()
{
    showConsoleWindow();
    kv::ui::TextViewer *view = controller->consoleView;
    view->setString(linesOf(8000, 40));
    QScrollBar *bar = scrollBarOf(view);
    bar->setValue(bar->maximum());
    QVERIFY(bar->maximum() > 0);
    for (int i = 0; i < 5; ++i) {
        const int oldMaximum = bar->maximum();
        controller->updateLog(QStringLiteral("State:/k%1").arg(i), LogKeyAdded);
        QVERIFY(bar->maximum() > oldMaximum);
        QCOMPARE(bar->value(), bar->maximum());
        const QRectF visible = view->documentVisibleRect();
        QCOMPARE(visible.bottom(), view->bounds().height());
    }
}

void TestConsoleLog::followBoundaryIs80Points()
{
    showConsoleWindow();
    kv::ui::TextViewer *view = controller->consoleView;
    QScrollBar *bar = scrollBarOf(view);
    for (int extra : {0, 1}) {
        view->setString(linesOf(8000, 40));
        const double full = view->bounds().height();
        const double height = view->documentVisibleRect().height();
        // The bottom of the visible area 80 points (or more) above the end.
        const int atBoundary = int(std::floor(full - height - 80.0));
        bar->setValue(atBoundary + extra);
        QCOMPARE(bar->value(), atBoundary + extra);
        controller->updateLog(QStringLiteral("State:/boundary"), LogKeyAdded);
        if (extra == 0) {
            QCOMPARE(bar->value(), atBoundary);
            QVERIFY(bar->maximum() > bar->value() + 80);
        } else {
            QCOMPARE(bar->value(), bar->maximum());
        }
    }
}

void TestConsoleLog::followIsMeasuredAfterTheTrim()
{
    showConsoleWindow();
    kv::ui::TextViewer *view = controller->consoleView;
    QScrollBar *bar = scrollBarOf(view);
    // Short lines: the trim removes dozens of lines, so the text view
    // shrinks by far more than 200 points and the view ends up at the end.
    view->setString(linesOf(20010, 20));
    bar->setValue(bar->maximum() - 200);
    const int before = bar->value();
    controller->updateLog(QStringLiteral("State:/after-trim"), LogKeyAdded);
    QVERIFY(bar->maximum() < before);
    QCOMPARE(bar->value(), bar->maximum());

    // Without a trim the same distance keeps the view where it is.
    view->setString(linesOf(19000, 20));
    bar->setValue(bar->maximum() - 200);
    const int kept = bar->value();
    controller->updateLog(QStringLiteral("State:/no-trim"), LogKeyAdded);
    QCOMPARE(bar->value(), kept);
}

void TestConsoleLog::followIsMeasuredBeforeTheAppend()
{
    showConsoleWindow();
    kv::ui::TextViewer *view = controller->consoleView;
    QScrollBar *bar = scrollBarOf(view);
    view->setString(linesOf(8000, 40));
    // 70 points above the end: follows, although after a long appended
    // message the visible bottom is far more than 80 points above the end.
    bar->setValue(bar->maximum() - 70);
    QString message;
    for (int i = 0; i < 20; ++i)
        message += QStringLiteral("row %1\n").arg(i);
    message.chop(1);
    const int oldMaximum = bar->maximum();
    controller->updateLog(message, LogNote);
    QVERIFY(bar->maximum() > oldMaximum + 100);
    QCOMPARE(bar->value(), bar->maximum());
}

void TestConsoleLog::shortLogAlwaysFollows()
{
    showConsoleWindow();
    controller->consoleView->setString(QString());
    controller->updateLog(QStringLiteral("first"), LogNote);
    QCOMPARE(scrollBarOf(controller->consoleView)->value(), 0);
    QCOMPARE(controller->consoleView->string(), FixedStamp + QStringLiteral("first\n"));
}

void TestConsoleLog::batchWritesWhatSingleLinesWrite_data()
{
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<int>("distanceFromEnd"); // -1: scrolled to the top
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("seed");
    QTest::addColumn<int>("aligned"); // 1: every line 100 long; 2: the same, with "\r\n" inside

    QTest::newRow("aligned, hidden, empty") << false << QString() << 0 << 700 << 0 << 1;
    QTest::newRow("aligned with CRLF, hidden, empty") << false << QString() << 0 << 700 << 0 << 2;
    QTest::newRow("aligned, shown, with text") << true << linesOf(19900, 100) << 0 << 700 << 0 << 1;
    QTest::newRow("aligned with CRLF, shown, with text") << true << linesOf(15000, 100) << 0 << 700 << 0 << 2;
    QTest::newRow("aligned, shown, 100 above the end") << true << linesOf(19900, 100) << 100 << 700 << 0 << 1;
    QTest::newRow("hidden, empty") << false << QString() << 0 << 3000 << 1 << 0;
    QTest::newRow("hidden, long text") << false << linesOf(23000, 70) << 0 << 800 << 2 << 0;
    QTest::newRow("shown, at the end") << true << linesOf(5000, 60) << 0 << 1500 << 3 << 0;
    QTest::newRow("shown, 79 above the end") << true << linesOf(12000, 60) << 79 << 700 << 4 << 0;
    QTest::newRow("shown, 81 above the end") << true << linesOf(12000, 60) << 81 << 700 << 5 << 0;
    QTest::newRow("shown, 150 above the end") << true << linesOf(19500, 40) << 150 << 300 << 6 << 0;
    QTest::newRow("shown, 400 above the end") << true << linesOf(19900, 60) << 400 << 300 << 7 << 0;
    QTest::newRow("shown, at the top") << true << linesOf(19900, 60) << -1 << 300 << 8 << 0;
    QTest::newRow("shown, last line unterminated")
        << true << linesOf(19990, 100) + QString(300, u'q') << 0 << 400 << 9 << 0;
    QTest::newRow("hidden, last line unterminated") << false << QString(19995, u'w') << 0 << 400 << 10 << 0;
    QTest::newRow("shown, text over the threshold") << true << linesOf(26000, 100) << 0 << 400 << 11 << 0;
}

void TestConsoleLog::batchWritesWhatSingleLinesWrite()
{
    QFETCH(bool, shown);
    QFETCH(QString, initial);
    QFETCH(int, distanceFromEnd);
    QFETCH(int, lines);
    QFETCH(int, seed);
    QFETCH(int, aligned);

    // Messages of many kinds: short and long (wrapping, longer than a trim
    // chunk), with line breaks of every sort inside.
    QRandomGenerator random{quint32(seed)};
    QStringList messages;
    QList<int> types;
    static const QString breaks[] = {QStringLiteral("\n"),
                                     QStringLiteral("\r\n"),
                                     QStringLiteral("\r"),
                                     QString(QChar::LineSeparator),
                                     QString(QChar::ParagraphSeparator),
                                     QString(QChar(0x0085))};
    for (int i = 0; i < lines; ++i) {
        QString message = QStringLiteral("State:/Network/Service/%1/IPv4").arg(random.generate(), 8, 16, QChar(u'0'));
        const int kind = random.bounded(40);
        if (kind == 0)
            message += QString(random.bounded(100, 2600), u'x');
        else if (kind < 4)
            message += breaks[random.bounded(6)] + QStringLiteral("more");
        else if (kind < 8)
            message += QString(random.bounded(40, 160), u'y');
        else if (kind == 8)
            message += u'\r'; // the "\n" that ends the line follows it
        messages << message;
        types << random.bounded(-1, 5);
        if (aligned) {
            // The whole line (as the view stores it) 100 characters long.
            const int room = 100 - int(FixedStamp.size()) - int(QStringLiteral("Key Added: ").size()) - 1;
            messages.last() =
                aligned == 1 ? QString(room, u'a')
                             : QString(room / 2, u'c') + QStringLiteral("\r\n") + QString(room - room / 2 - 1, u'd');
            types.last() = LogKeyAdded;
        }
    }

    qint64 tick = 0;
    kv::console::clockOverride = [&tick] { return fixedTime().addMSecs(tick++); };
    auto run = [&](KVNController *c, bool batched) {
        if (shown) {
            c->consoleWindow->resize(500, 300);
            c->consoleWindow->show();
            QVERIFY(QTest::qWaitForWindowExposed(c->consoleWindow));
        }
        c->consoleView->setString(initial);
        QScrollBar *bar = scrollBarOf(c->consoleView);
        bar->setValue(distanceFromEnd < 0 ? 0 : bar->maximum() - distanceFromEnd);
        tick = 0;
        std::optional<kv::console::LogBatch> batch;
        if (batched)
            batch.emplace(c->console());
        for (int i = 0; i < lines; ++i)
            c->updateLog(messages.at(i), types.at(i));
        if (batched)
            QCOMPARE(c->consoleView->string(), initial); // held back
        batch.reset();
    };

    auto other = std::make_unique<KVNController>();
    auto otherUi = kv::app::loadMainInterface(other.get());
    run(other.get(), false);
    run(controller.get(), true);
    kv::ui::TextViewer *single = other->consoleView;
    kv::ui::TextViewer *batched = controller->consoleView;
    QCOMPARE(batched->stringLength(), single->stringLength());
    QCOMPARE(batched->string(), single->string());
    // The scroll range follows the layout, which may finish from the event loop.
    QTest::qWait(50);
    QCOMPARE(scrollBarOf(batched)->maximum(), scrollBarOf(single)->maximum());
    QCOMPARE(scrollBarOf(batched)->value(), scrollBarOf(single)->value());
    QVERIFY(single->stringLength() < 20000 + 3000);
}

void TestConsoleLog::batchReplacingTheWholeLogKeepsTheScrollBar()
{
    // A batch longer than the log keeps leaves none of the text before it:
    // the view goes from one long text to another without being empty on
    // the way, so its scroll bar stays and its rows are not broken again at
    // another width.
    controller->consoleWindow->resize(500, 300);
    controller->consoleWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(controller->consoleWindow));
    controller->consoleView->setString(linesOf(19900, 100));
    QScrollBar *bar = scrollBarOf(controller->consoleView);
    bar->setValue(bar->maximum());
    QVERIFY(bar->isVisible());
    int hidden = 0;
    EventCounter counter(bar, QEvent::Hide, &hidden);
    {
        kv::console::LogBatch batch(controller->console());
        for (int i = 0; i < 700; ++i)
            controller->updateLog(QString(60, u'a'), LogKeyAdded);
    }
    QVERIFY(controller->consoleView->string().endsWith(QString(60, u'a') + u'\n'));
    QVERIFY(!controller->consoleView->string().contains(QStringLiteral("line ")));
    QCOMPARE(hidden, 0);
    QVERIFY(bar->isVisible());
}

void TestConsoleLog::linesWriteWhatTheTextViewCallsWrite_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<int>("distanceFromEnd"); // -1: scrolled to the top
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("seed");

    QTest::newRow("empty") << QString() << 0 << 500 << 21;
    QTest::newRow("at the end") << linesOf(19000, 60) << 0 << 400 << 22;
    QTest::newRow("over the threshold") << linesOf(24000, 90) << 0 << 300 << 23;
    QTest::newRow("79 above the end") << linesOf(12000, 60) << 79 << 300 << 24;
    QTest::newRow("81 above the end") << linesOf(12000, 60) << 81 << 300 << 25;
    QTest::newRow("300 above the end, trimming") << linesOf(19900, 40) << 300 << 300 << 26;
    QTest::newRow("at the top") << linesOf(19900, 60) << -1 << 300 << 27;
    QTest::newRow("last line unterminated") << linesOf(19990, 100) + QString(300, u'q') << 0 << 200 << 28;
}

void TestConsoleLog::linesWriteWhatTheTextViewCallsWrite()
{
    // Each line, written alone, against the same steps made with the text
    // view's own calls: trim, measure, append, scrollRangeToVisible of the
    // end when following. Text, scroll range and position agree after every line.
    QFETCH(QString, initial);
    QFETCH(int, distanceFromEnd);
    QFETCH(int, lines);
    QFETCH(int, seed);

    QRandomGenerator random{quint32(seed)};
    static const QString breaks[] = {QStringLiteral("\n"), QStringLiteral("\r\n"), QString(QChar::LineSeparator),
                                     QStringLiteral("\r"), QString(QChar::ParagraphSeparator)};
    auto reference = std::make_unique<KVNController>();
    auto referenceUi = kv::app::loadMainInterface(reference.get());
    for (KVNController *c : {controller.get(), reference.get()}) {
        c->consoleWindow->resize(500, 300);
        c->consoleWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(c->consoleWindow));
        c->consoleView->setString(initial);
        QScrollBar *bar = scrollBarOf(c->consoleView);
        bar->setValue(distanceFromEnd < 0 ? 0 : bar->maximum() - distanceFromEnd);
    }
    kv::ui::TextViewer *view = controller->consoleView;
    kv::ui::TextViewer *expected = reference->consoleView;
    QScrollBar *bar = scrollBarOf(view);
    QScrollBar *expectedBar = scrollBarOf(expected);
    QCOMPARE(bar->value(), expectedBar->value());

    int followed = 0;
    for (int i = 0; i < lines; ++i) {
        QString message = QStringLiteral("State:/Network/Service/%1/IPv4").arg(random.generate(), 8, 16, QChar(u'0'));
        const int kind = random.bounded(20);
        if (kind == 0)
            message += QString(random.bounded(100, 2600), u'x');
        else if (kind < 3)
            message += breaks[random.bounded(5)] + QStringLiteral("more");
        else if (kind < 6)
            message += QString(random.bounded(40, 160), u'y');
        const int type = random.bounded(-1, 5);
        controller->updateLog(message, type);

        // The same line with the text view's calls.
        const QString line = FixedStamp + kv::console::prefixForType(type) + message + u'\n';
        const qsizetype length = expected->stringLength();
        if (length > kv::console::TrimThreshold) {
            const QString text = expected->string();
            qsizetype end = length;
            for (qsizetype p = kv::console::TrimChunk - 1; p < text.size(); ++p) {
                const QChar c = text.at(p);
                if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator
                    || c == QChar(0x0085)) {
                    end = c == u'\r' && p + 1 < text.size() && text.at(p + 1) == u'\n' ? p + 2 : p + 1;
                    break;
                }
            }
            expected->replaceCharactersInRange({0, end}, QString());
        }
        const QRectF visible = expected->documentVisibleRect();
        const bool follow = kv::console::FollowMargin + float(visible.y()) + float(visible.height())
                            > float(expected->bounds().height());
        expected->replaceCharactersInRange({expected->stringLength(), 0}, line);
        if (follow) {
            expected->scrollRangeToVisible({expected->stringLength(), 0});
            ++followed;
        }

        QCOMPARE(view->stringLength(), expected->stringLength());
        QCOMPARE(bar->maximum(), expectedBar->maximum());
        QCOMPARE(bar->value(), expectedBar->value());
        if (i % 16 == 0 || i == lines - 1)
            QCOMPARE(view->string(), expected->string());
    }
    // The table has cases that follow the end and cases that do not.
    if (distanceFromEnd == 0)
        QCOMPARE(followed, lines);
    if (distanceFromEnd < 0)
        QCOMPARE(followed, 0);
}

void TestConsoleLog::nestedBatchesWriteOnce()
{
    controller->consoleView->setString(QStringLiteral("start\n"));
    {
        kv::console::LogBatch outer(controller->console());
        controller->updateLog(QStringLiteral("one"), LogKeyAdded);
        {
            kv::console::LogBatch inner(controller->console());
            controller->updateLog(QStringLiteral("two"), LogKeyRemoved);
            // Another controller's lines are not held back.
            KVNController other;
            auto otherUi = kv::app::loadMainInterface(&other);
            other.updateLog(QStringLiteral("elsewhere"), LogNote);
            QCOMPARE(other.consoleView->string(), FixedStamp + QStringLiteral("elsewhere\n"));
        }
        QCOMPARE(controller->consoleView->string(), QStringLiteral("start\n"));
        controller->updateLog(QString(), LogKeyAdded);
        controller->updateLog(QStringLiteral("three"), LogKeyUpdated);
    }
    QCOMPARE(controller->consoleView->string(),
             QStringLiteral("start\n") + FixedStamp + QStringLiteral("Key Added: one\n") + FixedStamp
                 + QStringLiteral("Key Removed: two\n") + FixedStamp + QStringLiteral("Key Updated: three\n"));
}

void TestConsoleLog::currentTimestampFollowsTheClock()
{
    QCOMPARE(kv::console::currentTimestamp(), FixedStamp);
    kv::console::clockOverride = {};
    const QRegularExpression format(QStringLiteral(
        "^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([1-9]|[12][0-9]|3[01]) "
        "[0-9]{2} ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} : $"));
    for (int attempt = 0; attempt < 50; ++attempt) {
        const QDateTime before = QDateTime::currentDateTime();
        const QString stamp = kv::console::currentTimestamp();
        const QDateTime after = QDateTime::currentDateTime();
        QVERIFY2(format.match(stamp).hasMatch(), qPrintable(stamp));
        // Within the same second the text up to the seconds is that of the clock.
        const QString head = kv::console::timestamp(before).left(stamp.size() - 6);
        if (kv::console::timestamp(after).left(stamp.size() - 6) == head)
            QCOMPARE(stamp.left(stamp.size() - 6), head);
        const int ms = stamp.mid(stamp.size() - 6, 3).toInt();
        if (before.time().msec() <= after.time().msec())
            QVERIFY(ms >= before.time().msec() && ms <= after.time().msec());
        QTest::qWait(7);
    }
}

void TestConsoleLog::bannerAndFont()
{
    controller->initLog();
    const kv::ui::Bundle &bundle = kv::ui::Bundle::mainBundle();
    const QString version = bundle.localInfoDictionary().value(QStringLiteral("CFBundleShortVersionString")).toString();
    const QString build = bundle.infoDictionary().value(QStringLiteral("CFBundleVersion")).toString();
    QCOMPARE(version, QStringLiteral(KEYVANE_VERSION));
    QCOMPARE(build, QStringLiteral(KEYVANE_BUILD_NUMBER));
    QCOMPARE(controller->consoleView->string(), FixedStamp + QStringLiteral("Keyvane ") + version
                                                    + QStringLiteral(" (build ") + build + QStringLiteral(")\n"));

    const QFont font = controller->consoleView->textFont();
    QCOMPARE(font.pointSizeF(), 10.0);
    QCOMPARE(font.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    // Lines appended later take the same font.
    controller->updateLog(QStringLiteral("State:/later"), LogKeyAdded);
    const QFont shown = controller->consoleView->textFont();
    QCOMPARE(shown.pointSizeF(), 10.0);
    QCOMPARE(shown.family(), font.family());
}

void TestConsoleLog::showConsoleOrdersFront()
{
    // (The offscreen platform activates every window it shows, so that the
    // console does not take the focus is left to the window's own tests.)
    QVERIFY(!controller->consoleWindow->isVisible());
    controller->showConsole(nullptr);
    QVERIFY(controller->consoleWindow->isVisible());
    const QString text = controller->consoleView->string();

    // Already in front: nothing changes.
    controller->showConsole(controller.get());
    QVERIFY(controller->consoleWindow->isVisible());
    QCOMPARE(controller->consoleView->string(), text);

    // Minimized: shown again.
    controller->consoleWindow->showMinimized();
    controller->showConsole(controller.get());
    QVERIFY(controller->consoleWindow->isVisible());
    QVERIFY(!controller->consoleWindow->isMinimized());
}

void TestConsoleLog::loggingWhileHidden()
{
    QVERIFY(!controller->consoleWindow->isVisible());
    controller->consoleView->setString(linesOf(20001, 100));
    controller->updateLog(QStringLiteral("hidden"), LogKeyRemoved);
    QCOMPARE(controller->consoleView->string(),
             linesOf(20001, 100).mid(2000) + FixedStamp + QStringLiteral("Key Removed: hidden\n"));
}

QTEST_MAIN(TestConsoleLog)
#include "tst_consolelog.moc"
