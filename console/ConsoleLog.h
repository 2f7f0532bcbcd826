#pragma once

// Helpers of the console log: the clock the log reads (replaceable, so that
// tests can fix the time), the timestamp written at the start of each line,
// and the prefix that each kind of line carries.

#include <QDateTime>
#include <QString>

#include <functional>

namespace kv::console {

// When set, currentDateTime() returns what this returns instead of the
// system clock's local time.
extern std::function<QDateTime()> clockOverride;

// The current local date and time (or the override's).
QDateTime currentDateTime();

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

} // namespace kv::console
