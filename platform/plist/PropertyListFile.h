#pragma once

// Reading and writing property-list files: XML (read and write) and binary
// "bplist00" (read).

#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QString>

namespace kv {

// Values nested deeper than this are refused by the readers and the engine.
inline constexpr int PropertyListMaximumDepth = 512;

// Parses XML or binary property-list bytes. On failure returns none and sets
// *error (when given) to one line: "<sourceName>: <position>: <what was wrong>".
PropertyListValue readPropertyList(const QByteArray &bytes, QString *error, const QString &sourceName = QString());

// Reads a file with readPropertyList; a file that cannot be read gives an
// error naming the file and the reason.
PropertyListValue readPropertyListFile(const QString &path, QString *error);

// The XML property-list text of a value. On failure (a value that XML cannot
// carry) returns an empty array and sets *error naming the offending key path.
QByteArray writePropertyListXml(const PropertyListValue &value, QString *error);

// Writes the XML property list atomically: a file already at `path` is
// either replaced whole or left untouched. False with *error on failure.
bool writePropertyListFile(const QString &path, const PropertyListValue &value, QString *error);

} // namespace kv
