#pragma once

// The console: a timestamped, self-trimming log of the store's changes, kept
// in the console window's text viewer (the text is the only record); the
// clock the log reads (replaceable, so that tests can fix the time), the
// timestamp written at the start of each line, and the prefix that each kind
// of line carries.

#include <QDateTime>
#include <QString>

#include <functional>
#include <vector>

namespace kv::ui {
class ScrollView;
class TextViewer;
class Window;
} // namespace kv::ui

// Kinds of console line.
enum LogEntryType : int {
    LogNote = 0,
    LogKeyUpdated = 1,
    LogKeyRemoved = 2,
    LogKeyAdded = 3,
};

namespace kv::console {

// When set, currentDateTime() returns what this returns instead of the
// system clock's local time.
extern std::function<QDateTime()> clockOverride;

// The current local date and time (or the override's).
QDateTime currentDateTime();
// timestamp(currentDateTime()), made without converting the clock to local
// time more than once a second.
QString currentTimestamp();
// Appends currentTimestamp() to `text`.
void appendCurrentTimestamp(QString &text);

// "Sun Dec 6 26 07:23:52.123 : " for 6 December 2026, 07:23:52.123 local
// time: English day and month names whatever the user's locale, day of the
// month without padding, two-digit year, milliseconds.
QString timestamp(const QDateTime &dateTime);

// "Key Updated: ", "Key Removed: ", "Key Added: " for types 1 to 3; the empty
// string for a note and for any other value.
QString prefixForType(qint32 type);

// Text lengths of the log, in UTF-16 code units.
inline constexpr qsizetype TrimThreshold = 20000;
inline constexpr qsizetype TrimChunk = 2000;
// How close (in points) to the end of the text the visible area must reach
// for the view to follow a new line.
inline constexpr float FollowMargin = 80.0f;

// The log and the window that shows it. The widgets are the owner's, given
// as references to the owner's fields, which may be filled in after this is
// made (the main interface fills them; a field left empty does nothing).
class ConsoleLog
{
public:
    ConsoleLog(ui::Window *const &consoleWindow, ui::TextViewer *const &consoleView,
               ui::ScrollView *const &consoleClipView);

    // Sets the console's fixed-pitch font and writes the banner.
    void initLog();
    // Appends one timestamped line (timestamp, the type's prefix, the message
    // unchanged, "\n"), trims the log before it when the text is longer than
    // TrimThreshold, and follows the new line when the end was in view. A
    // null or empty message is ignored.
    void updateLog(const QString &message, qint32 type);
    // Brings the console window to the front without making it key;
    // `sender` is handed to the window as the one asking.
    void orderFront(QObject *sender);

    // A line held back by a LogBatch.
    struct HeldLine;

private:
    friend class LogBatch;
    void write(const std::vector<HeldLine> &lines);

    ui::Window *const &m_consoleWindow;
    ui::TextViewer *const &m_consoleView;
    ui::ScrollView *const &m_consoleClipView;
};

// While a batch lives, the lines a log is given are held back (each with its
// own timestamp, taken when it is logged) and written when the batch ends.
// The text, the trims and the scroll position that result are the same as if
// each line had been written at once; a long run of lines costs about one
// edit of the text viewer instead of one per line. Nothing may read the
// console while the batch lives. Batches of the same log nest: the outermost
// one writes.
class LogBatch
{
public:
    explicit LogBatch(ConsoleLog &log);
    ~LogBatch();
    LogBatch(const LogBatch &) = delete;
    LogBatch &operator=(const LogBatch &) = delete;

    // The batch that holds back the lines of `log`, if any.
    static LogBatch *active(const ConsoleLog *log);

private:
    friend class ConsoleLog;
    ConsoleLog &m_log;
    LogBatch *m_previous;
    // Each line's text is made when it is written: most of a long batch is
    // trimmed away before anyone sees it, and needs only its length.
    std::vector<ConsoleLog::HeldLine> m_lines;
};

// A line held back by a batch: when it was logged, its type and message.
struct ConsoleLog::HeldLine
{
    qint64 msecs = 0;     // the system clock's time since the epoch
    QDateTime overridden; // or clockOverride()'s time, when it was set
    bool isOverridden = false;
    qint32 type = 0;
    QString message;
};

} // namespace kv::console
