// The console: a timestamped, self-trimming log of the store's changes, kept
// in the console window's text view (the text is the only record).

#include "console/ConsoleLog.h"

#include "app/KVNController.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/TextView.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QFontDatabase>
#include <QLocale>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

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

void appendCurrentTimestamp(QString &text)
{
    if (clockOverride) {
        text += timestamp(clockOverride());
        return;
    }
    // Local time changes its offset only at whole seconds: the text up to the
    // seconds is made once a second, the milliseconds are added each time.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = now >= 0 ? now / 1000 : -((-now + 999) / 1000);
    const int millisecond = int(now - second * 1000);
    static qint64 cachedSecond = std::numeric_limits<qint64>::min();
    static QString cachedText;
    if (second != cachedSecond) {
        cachedText = QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(second * 1000),
                                           QStringLiteral("ddd MMM d yy HH:mm:ss."));
        cachedSecond = second;
    }
    text += cachedText;
    text += QChar(u'0' + millisecond / 100);
    text += QChar(u'0' + millisecond / 10 % 10);
    text += QChar(u'0' + millisecond % 10);
    text += QLatin1StringView(" : ");
}

namespace {

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

// Where the line holding `position` ends in the text view (-1 as above).
// Looks only from the position on, not at the whole text.
qsizetype lineEndInView(const kv::ui::TextView *view, qsizetype position)
{
    if (const kv::ui::TextViewer *viewer = view->textViewer())
        return lineEndFrom(viewer->string(), position);
    const QTextBlock block = view->document()->findBlock(int(position));
    if (!block.isValid())
        return -1;
    const qsizetype blockStart = block.position();
    const qsizetype end = lineEndFrom(block.text(), position - blockStart);
    if (end >= 0)
        return blockStart + end;
    // The block's length counts its paragraph break; the last block has none.
    return block.next().isValid() ? blockStart + block.length() : -1;
}

// Where the line holding `position` ends in `text`: just after its
// terminator, or the end of the text when it has none.
qsizetype lineEndInString(const QString &text, qsizetype position)
{
    const qsizetype end = lineEndFrom(text, position);
    return end < 0 ? text.size() : end;
}

// Scrolls the view to the end of its text, where scrollRangeToVisible of the
// text's end leaves it: the scroll bar at its maximum, the range being the
// text's as of the last edit. That takes two steps (the end's line brought
// into view, then the rest of the way); each step moves the visible area, and
// the window then moves its pixels up. Taken at once, they move once: at the
// steady state that is a fifth of the cost of writing a line. A text viewer
// (the console's) scrolls by its own scroll bar and draws the new rows on its
// next paint instead of moving pixels.
void scrollToEnd(kv::ui::TextView *view)
{
    QScrollBar *bar = view->textViewer() ? view->textViewer()->verticalScrollBar() : view->verticalScrollBar();
    bar->setValue(bar->maximum());
}

// Writes one line: trims the log, measures whether the view follows the
// end, appends the line and scrolls to the end if it follows. Returns
// whether it followed.
bool writeLine(kv::ui::TextView *view, const kv::ui::ScrollView *clipView, const QString &line)
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

// Writes lines[from...] to a view that follows the end of the log (the last
// line written followed). Each later line would follow too: at the end of
// the text, a trim only pulls the end up to the visible area, and an append
// is scrolled to. So the result is the text after every trim and append, at
// the end: worked out on the strings, then made with one cut at the top and
// one append.
void writeLinesFollowing(kv::ui::TextView *view, const std::vector<QString> &lines, size_t from)
{
    if (from >= lines.size())
        return;
    // The log is the view's text from viewCut on, then pending from pendingCut on.
    const qsizetype viewLength = view->stringLength();
    qsizetype viewCut = 0;
    QString pending;
    qsizetype pendingCut = 0;
    for (size_t i = from; i < lines.size(); ++i) {
        const qsizetype inView = viewLength - viewCut;
        if (inView + (pending.size() - pendingCut) > TrimThreshold) {
            if (TrimChunk - 1 < inView) {
                const qsizetype end = lineEndInView(view, viewCut + TrimChunk - 1);
                if (end >= 0) {
                    viewCut = end;
                } else {
                    // The view's last line has no terminator: it goes on in pending.
                    viewCut = viewLength;
                    pendingCut = lineEndInString(pending, pendingCut);
                }
            } else {
                viewCut = viewLength;
                pendingCut = lineEndInString(pending, pendingCut + (TrimChunk - 1 - inView));
            }
        }
        if (pendingCut > 65536 && pendingCut > pending.size() / 2) {
            pending.remove(0, pendingCut);
            pendingCut = 0;
        }
        pending += lines[i];
    }
    if (viewCut > 0)
        view->replaceCharactersInRange({0, viewCut}, QString());
    view->replaceCharactersInRange({view->stringLength(), 0}, pending.mid(pendingCut));
    scrollToEnd(view);
}

LogBatch *activeBatch = nullptr;

} // namespace

LogBatch::LogBatch(KVNController *controller) : m_controller(controller), m_previous(activeBatch)
{
    activeBatch = this;
}

LogBatch::~LogBatch()
{
    activeBatch = m_previous;
    if (m_lines.empty())
        return;
    if (LogBatch *outer = active(m_controller)) {
        for (QString &line : m_lines)
            outer->add(std::move(line));
        return;
    }
    kv::ui::TextView *view = m_controller->consoleView;
    if (!view)
        return;
    // Line by line until one follows the end; the rest at once.
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (writeLine(view, m_controller->consoleClipView, m_lines[i])) {
            writeLinesFollowing(view, m_lines, i + 1);
            return;
        }
    }
}

LogBatch *LogBatch::active(const KVNController *controller)
{
    for (LogBatch *batch = activeBatch; batch; batch = batch->m_previous) {
        if (batch->m_controller == controller)
            return batch;
    }
    return nullptr;
}

} // namespace kv::console

void KVNController::initLog()
{
    if (consoleView) {
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSizeF(10.0);
        consoleView->setTextFont(font);
    }
    const kv::ui::Bundle &bundle = kv::ui::Bundle::mainBundle();
    const QString build = bundle.infoDictionary().value(QStringLiteral("CFBundleVersion")).toString();
    const QString version = bundle.localInfoDictionary().value(QStringLiteral("CFBundleShortVersionString")).toString();
    // Joined, not formatted: the values go in as plain text.
    updateLog(QStringLiteral("Keyvane ") + version + QStringLiteral(" (build ") + build + QStringLiteral(")"), LogNote);
}

void KVNController::updateLog(const QString &message, qint32 type)
{
    using namespace kv::console;
    if (message.isEmpty())
        return;
    if (!consoleView)
        return;

    const QString prefix = prefixForType(type);
    QString line;
    line.reserve(32 + prefix.size() + message.size());
    appendCurrentTimestamp(line);
    line += prefix;
    line += message;
    line += u'\n';

    if (LogBatch *batch = LogBatch::active(this))
        batch->add(std::move(line));
    else
        writeLine(consoleView, consoleClipView, line);
}

void KVNController::showConsole(QObject *)
{
    if (consoleWindow)
        consoleWindow->orderFront(this);
}
