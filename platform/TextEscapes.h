#pragma once

// Texts made safe for line-oriented output: a report that must stay on one
// line, and a key printed one per line where any key must be told apart.

#include <QString>

namespace kv {

// `text` with every line end written as an escape: "\n", "\r", "\v", "\f"
// as backslash and a letter; U+0085, U+2028 and U+2029 as "\u0085" and so
// on. Nothing else changes, so a text without line ends comes back as it is.
QString withLineEndsEscaped(const QString &text);

// `text` with C-style escapes, so that it takes one line and reads back
// unambiguously: "\\" for a backslash; "\n", "\r", "\t" for those
// characters; "\uXXXX" (four upper-case hexadecimal digits) for the other
// control characters (U+0000 to U+001F, U+007F to U+009F), for U+2028 and
// U+2029, and for a surrogate that is not part of a pair. Every other
// character stands as it is.
QString cEscaped(const QString &text);

} // namespace kv
