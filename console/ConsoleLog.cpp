// The console: a timestamped, self-trimming log of the store's changes, kept
// in the console window's text view (the text is the only record).

#include "console/ConsoleLog.h"

#include "app/KVNController.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/TextView.h"
#include "platform/ui/Window.h"

#include <QFontDatabase>
#include <QLocale>
#include <QTextBlock>
#include <QTextDocument>

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

namespace {

bool isLineTerminatorInsideBlock(QChar c)
{
    // A text block ends at a paragraph break; these characters also end a
    // line of the log's string but stay inside their block.
    return c == QChar::LineSeparator || c == QChar(0x0085);
}

// End of the line range of [0, TrimChunk): just after the terminator of the
// line that holds the character at TrimChunk - 1 (the end of the text when
// that line has no terminator). Looks only at the block holding that
// character, not at the whole text.
qsizetype trimEnd(const kv::ui::TextView *view, qsizetype length)
{
    const qsizetype last = TrimChunk - 1;
    const QTextBlock block = view->document()->findBlock(int(last));
    if (!block.isValid())
        return length;
    const qsizetype blockStart = block.position();
    const QString text = block.text();
    for (qsizetype i = last - blockStart; i < text.size(); ++i) {
        if (isLineTerminatorInsideBlock(text.at(i)))
            return blockStart + i + 1;
    }
    // The block's length counts its paragraph break; the last block has none.
    return std::min<qsizetype>(blockStart + block.length(), length);
}

} // namespace

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

    QString line = timestamp(currentDateTime());
    line += prefixForType(type);
    line += message;
    line += u'\n';

    // Keep the log bounded: drop whole lines from the top, at least
    // TrimChunk characters, once the text is longer than TrimThreshold.
    const qsizetype length = consoleView->stringLength();
    if (length > TrimThreshold)
        consoleView->replaceCharactersInRange({0, trimEnd(consoleView, length)}, QString());

    // Whether the user is looking at the end of the log: measured after the
    // trim and before the new line.
    const QRectF visible = consoleClipView ? consoleClipView->contentView().documentVisibleRect() : QRectF();
    float follow = FollowMargin + float(visible.y());
    follow = follow + float(visible.height());
    const float full = float(consoleView->bounds().height());

    consoleView->replaceCharactersInRange({consoleView->stringLength(), 0}, line);

    if (follow > full)
        consoleView->scrollRangeToVisible({consoleView->stringLength(), 0});
}

void KVNController::showConsole(QObject *)
{
    if (consoleWindow)
        consoleWindow->orderFront(this);
}
