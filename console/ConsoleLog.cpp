#include "console/ConsoleLog.h"

#include "platform/ProgramInfo.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QFontDatabase>
#include <QLocale>
#include <QScrollBar>

#include <algorithm>
#include <limits>

namespace kv::console {

std::function<QDateTime()> clockOverride;

QDateTime currentDateTime()
{
    if (clockOverride)
        return clockOverride();
    return QDateTime::currentDateTime();
}

QString timestamp(const QDateTime &dateTime)
{
    // The C locale names days and months in English; "d" is the day without
    // padding and "zzz" the milliseconds with three digits.
    return QLocale::c().toString(dateTime, QStringLiteral("ddd MMM d yy HH:mm:ss.zzz")) + QStringLiteral(" : ");
}

QString prefixForType(qint32 type)
{
    switch (type) {
    case LogKeyUpdated: return QStringLiteral("Key Updated: ");
    case LogKeyRemoved: return QStringLiteral("Key Removed: ");
    case LogKeyAdded: return QStringLiteral("Key Added: ");
    default: return QString();
    }
}

QString currentTimestamp()
{
    QString text;
    appendCurrentTimestamp(text);
    return text;
}

namespace {

// The timestamp's text up to the seconds ("ddd MMM d yy HH:mm:ss.") for the
// second holding `msecs` since the epoch, and the milliseconds past it.
// Local time changes its offset only at whole seconds: the text is made
// once a second.
const QString &secondText(qint64 msecs, int *millisecond)
{
    const qint64 second = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    *millisecond = int(msecs - second * 1000);
    static qint64 cachedSecond = std::numeric_limits<qint64>::min();
    static QString cachedText;
    if (second != cachedSecond) {
        cachedText = QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(second * 1000),
                                           QStringLiteral("ddd MMM d yy HH:mm:ss."));
        cachedSecond = second;
    }
    return cachedText;
}

// The milliseconds and " : " after secondText().
constexpr qsizetype TimestampTail = 6;

// Appends the timestamp of the time `msecs` since the epoch.
void appendTimestamp(QString &text, qint64 msecs)
{
    int millisecond = 0;
    text += secondText(msecs, &millisecond);
    text += QChar(u'0' + millisecond / 100);
    text += QChar(u'0' + millisecond / 10 % 10);
    text += QChar(u'0' + millisecond % 10);
    text += QLatin1StringView(" : ");
}

using HeldLine = ConsoleLog::HeldLine;

// A line logged now.
HeldLine heldLine(const QString &message, qint32 type)
{
    HeldLine line;
    if (clockOverride) {
        line.overridden = clockOverride();
        line.isOverridden = true;
    } else {
        line.msecs = QDateTime::currentMSecsSinceEpoch();
    }
    line.type = type;
    line.message = message;
    return line;
}

// Appends the timestamp of the time a line was logged.
void appendTimestamp(QString &text, const HeldLine &line)
{
    if (line.isOverridden)
        text += timestamp(line.overridden);
    else
        appendTimestamp(text, line.msecs);
}

} // namespace

void appendCurrentTimestamp(QString &text)
{
    appendTimestamp(text, heldLine(QString(), 0));
}

namespace {

// The text of a line: timestamp, the type's prefix, the message, "\n".
QString lineText(const HeldLine &line)
{
    const QString prefix = prefixForType(line.type);
    QString text;
    text.reserve(32 + prefix.size() + line.message.size());
    appendTimestamp(text, line);
    text += prefix;
    text += line.message;
    text += u'\n';
    return text;
}

// lineText(line).size(), without making the text.
qsizetype lineLength(const HeldLine &line)
{
    int millisecond = 0;
    const qsizetype stamp = line.isOverridden ? timestamp(line.overridden).size()
                                              : secondText(line.msecs, &millisecond).size() + TimestampTail;
    return stamp + prefixForType(line.type).size() + line.message.size() + 1;
}

// Ends a line of the log's string: "\n", "\r" (with a "\n" after it, the
// two end the line together), U+0085, U+2028 and U+2029.
bool isLineTerminator(QChar c)
{
    return c == u'\n' || c == u'\r' || c == QChar(0x0085) || c == QChar::LineSeparator
           || c == QChar::ParagraphSeparator;
}

// Where the line holding `position` ends in `text`: just after its
// terminator, or -1 when it is the text's last line and has no terminator.
qsizetype lineEndFrom(const QString &text, qsizetype position)
{
    for (qsizetype i = std::max<qsizetype>(0, position); i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!isLineTerminator(c))
            continue;
        return c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n' ? i + 2 : i + 1;
    }
    return -1;
}

// Where the line holding `position` ends in the viewer's text (-1 as above).
qsizetype lineEndInView(const kv::ui::TextViewer *view, qsizetype position)
{
    return lineEndFrom(view->string(), position);
}

// Where the line holding `position` ends in `text`: just after its
// terminator, or the end of the text when it has none.
qsizetype lineEndInString(const QString &text, qsizetype position)
{
    const qsizetype end = lineEndFrom(text, position);
    return end < 0 ? text.size() : end;
}

// Scrolls the view to the end of its text, where scrollRangeToVisible of the
// text's end leaves it: the scroll bar at its maximum. The viewer draws the
// new rows on its next paint instead of moving pixels.
void scrollToEnd(kv::ui::TextViewer *view)
{
    QScrollBar *bar = view->verticalScrollBar();
    bar->setValue(bar->maximum());
}

// Writes one line: trims the log, measures whether the view follows the
// end, appends the line and scrolls to the end if it follows. Returns
// whether it followed.
bool writeLine(kv::ui::TextViewer *view, const kv::ui::ScrollView *clipView, const QString &line)
{
    // Keep the log bounded: drop whole lines from the top, at least
    // TrimChunk characters, once the text is longer than TrimThreshold.
    const qsizetype length = view->stringLength();
    if (length > TrimThreshold) {
        const qsizetype end = lineEndInView(view, TrimChunk - 1);
        view->replaceCharactersInRange({0, end < 0 ? length : end}, QString());
    }

    // Whether the user is looking at the end of the log: measured after the
    // trim and before the new line.
    const QRectF visible = clipView ? clipView->contentView().documentVisibleRect() : QRectF();
    float follow = FollowMargin + float(visible.y());
    follow = follow + float(visible.height());
    const float full = float(view->bounds().height());

    view->replaceCharactersInRange({view->stringLength(), 0}, line);

    if (follow > full) {
        scrollToEnd(view);
        return true;
    }
    return false;
}

// Whether `text` holds a line terminator.
bool hasLineTerminator(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), isLineTerminator);
}

// Writes lines[from...] to a view that follows the end of the log (the last
// line written followed). Each later line would follow too: at the end of
// the text, a trim only pulls the end up to the visible area, and an append
// is scrolled to. So the result is the text after every trim and append, at
// the end: worked out on the lines' lengths, then made with one cut at the
// top and one append of the lines that stay.
void writeLinesFollowing(kv::ui::TextViewer *view, const std::vector<HeldLine> &lines, size_t from)
{
    if (from >= lines.size())
        return;
    // The log is the view's text from viewCut on, then the pending lines
    // (lines[from...] one after another) from pendingCut on. start[k] is
    // where lines[from + k] begins among them.
    std::vector<qsizetype> start{0};
    start.reserve(lines.size() - from + 1);
    for (size_t i = from; i < lines.size(); ++i)
        start.push_back(start.back() + lineLength(lines[i]));
    // Where the line holding `position` ends among the first `count` pending
    // lines: just after its terminator, or their end (as lineEndInString).
    // A line ends at its own end unless its message holds terminators.
    const auto pendingLineEnd = [&](qsizetype position, size_t count) {
        if (position >= start[count])
            return start[count];
        const size_t k =
            size_t(std::upper_bound(start.cbegin(), start.cbegin() + qsizetype(count) + 1, position) - start.cbegin())
            - 1;
        const HeldLine &line = lines[from + k];
        if (!hasLineTerminator(line.message))
            return start[k + 1];
        return start[k] + lineEndInString(lineText(line), position - start[k]);
    };

    const qsizetype viewLength = view->stringLength();
    qsizetype viewCut = 0;
    qsizetype pendingCut = 0;
    for (size_t i = from; i < lines.size(); ++i) {
        const size_t pending = i - from; // the lines before this one
        const qsizetype inView = viewLength - viewCut;
        if (inView + (start[pending] - pendingCut) > TrimThreshold) {
            if (TrimChunk - 1 < inView) {
                const qsizetype end = lineEndInView(view, viewCut + TrimChunk - 1);
                if (end >= 0) {
                    viewCut = end;
                } else {
                    // The view's last line has no terminator: it goes on in pending.
                    viewCut = viewLength;
                    pendingCut = pendingLineEnd(pendingCut, pending);
                }
            } else {
                viewCut = viewLength;
                pendingCut = pendingLineEnd(pendingCut + (TrimChunk - 1 - inView), pending);
            }
        }
    }
    // The pending lines from pendingCut on.
    QString tail;
    tail.reserve(start.back() - pendingCut);
    for (size_t k = 0; k + 1 < start.size(); ++k) {
        if (start[k + 1] <= pendingCut)
            continue;
        const QString text = lineText(lines[from + k]);
        tail += start[k] < pendingCut ? QStringView(text).sliced(pendingCut - start[k]) : QStringView(text);
    }
    if (viewCut == viewLength) {
        // None of the view's text stays: one replacement, so that the view
        // is not left empty on the way (its scroll bar would go and come
        // back, and its rows be broken at each width).
        view->replaceCharactersInRange({0, viewLength}, tail);
    } else {
        if (viewCut > 0)
            view->replaceCharactersInRange({0, viewCut}, QString());
        view->replaceCharactersInRange({view->stringLength(), 0}, tail);
    }
    scrollToEnd(view);
}

LogBatch *activeBatch = nullptr;

} // namespace

ConsoleLog::ConsoleLog(ui::Window *const &consoleWindow, ui::TextViewer *const &consoleView,
                       ui::ScrollView *const &consoleClipView)
    : m_consoleWindow(consoleWindow), m_consoleView(consoleView), m_consoleClipView(consoleClipView)
{}

void ConsoleLog::initLog()
{
    if (m_consoleView) {
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSizeF(10.0);
        m_consoleView->setTextFont(font);
    }
    const ui::Bundle &bundle = ui::Bundle::mainBundle();
    const QString build = bundle.infoDictionary().value(QStringLiteral("CFBundleVersion")).toString();
    const QString version = bundle.localInfoDictionary().value(QStringLiteral("CFBundleShortVersionString")).toString();
    // Joined, not formatted: the values go in as plain text.
    updateLog(ProgramName + u' ' + version + QStringLiteral(" (build ") + build + u')', LogNote);
}

void ConsoleLog::updateLog(const QString &message, qint32 type)
{
    if (message.isEmpty() || !m_consoleView)
        return;

    if (LogBatch *batch = LogBatch::active(this))
        batch->m_lines.push_back(heldLine(message, type));
    else
        writeLine(m_consoleView, m_consoleClipView, lineText(heldLine(message, type)));
}

void ConsoleLog::orderFront(QObject *sender)
{
    if (m_consoleWindow)
        m_consoleWindow->orderFront(sender);
}

void ConsoleLog::write(const std::vector<HeldLine> &lines)
{
    ui::TextViewer *view = m_consoleView;
    if (!view || lines.empty())
        return;
    // Line by line until one follows the end; the rest at once.
    for (size_t i = 0; i < lines.size(); ++i) {
        if (writeLine(view, m_consoleClipView, lineText(lines[i]))) {
            writeLinesFollowing(view, lines, i + 1);
            return;
        }
    }
}

LogBatch::LogBatch(ConsoleLog &log) : m_log(log), m_previous(activeBatch)
{
    activeBatch = this;
}

LogBatch::~LogBatch()
{
    activeBatch = m_previous;
    if (m_lines.empty())
        return;
    if (LogBatch *outer = active(&m_log)) {
        for (ConsoleLog::HeldLine &line : m_lines)
            outer->m_lines.push_back(std::move(line));
        return;
    }
    m_log.write(m_lines);
}

LogBatch *LogBatch::active(const ConsoleLog *log)
{
    for (LogBatch *batch = activeBatch; batch; batch = batch->m_previous) {
        if (&batch->m_log == log)
            return batch;
    }
    return nullptr;
}

} // namespace kv::console
