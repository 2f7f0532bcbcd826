#pragma once

// The JSON form of property-list values, the one every JSON output of the
// program uses, and its reading back:
//
//   dictionary  -> object, keys in store order (a key beginning with "$"
//                  gets one more "$" in front, so it cannot be taken for
//                  one of the forms below; reading takes it off again)
//   array       -> array
//   string      -> string (a lone surrogate as a \uXXXX escape)
//   integer     -> number, exact (unsigned 64-bit ones too)
//   real        -> number, always with a "." or an exponent so that it reads
//                  back as a real; NaN and the infinities, which JSON has no
//                  number for, as {"$real": "nan" | "+infinity" | "-infinity"}
//   boolean     -> true / false
//   data        -> {"$data": "<base64>"}
//   date        -> {"$date": "2026-12-08T16:19:06.526+00:00"} (UTC, ms)
//   none        -> null
//
// The text is compact: one line, no space between tokens.

#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace kv::history {

// The JSON text of a value (UTF-8, one line).
QByteArray jsonText(const PropertyListValue &value);
// Appends it to `out`.
void appendJson(QByteArray &out, const PropertyListValue &value);
// A string as a JSON string literal, quotes included.
void appendJsonString(QByteArray &out, const QString &string);

// Reads JSON text into a value. On failure returns none and sets *error
// (when given) to one line: "byte offset N: what was wrong". null reads as
// none at the top level only; nesting deeper than PropertyListMaximumDepth,
// an object repeating a key and text that is not UTF-8 are refused.
PropertyListValue valueFromJson(const QByteArray &json, QString *error);

// A time as ISO 8601 in UTC with milliseconds and the offset written out:
// "2026-12-08T16:19:06.526+00:00".
QString isoUtcText(const QDateTime &time);

} // namespace kv::history
