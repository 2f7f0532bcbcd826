#pragma once

// Helpers of the console log: the clock the log reads (replaceable, so that
// tests can fix the time), the timestamp written at the start of each line,
// and the prefix that each kind of line carries.

#include <QDateTime>
#include <QString>

#include <functional>
#include <vector>

class KVNController;

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

// While a batch lives, the lines a controller logs are held back (each with
// its own timestamp, taken when it is logged) and written when the batch
// ends. The text, the trims and the scroll position that result are the same
// as if each line had been written at once; a long run of lines costs about
// one edit of the text view instead of one per line. Nothing may read the
// console while the batch lives. Batches of the same controller nest: the
// outermost one writes.
class LogBatch
{
public:
    explicit LogBatch(KVNController *controller);
    ~LogBatch();
    LogBatch(const LogBatch &) = delete;
    LogBatch &operator=(const LogBatch &) = delete;

    // The batch that holds back the lines of `controller`, if any.
    static LogBatch *active(const KVNController *controller);
    void add(QString line) { m_lines.push_back(std::move(line)); }

private:
    KVNController *m_controller;
    LogBatch *m_previous;
    std::vector<QString> m_lines;
};

} // namespace kv::console
