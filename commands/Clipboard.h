#pragma once

// What the Copy commands put on the clipboard: a value's text as the value
// tree shows it, where an entry sits in the store (key and entry path), or a
// value as an XML property list that other programs can read back whole.
// The makers give the clipboard's contents; copyToClipboard hands them over.

#include "platform/plist/PropertyListValue.h"

#include <QString>
#include <QStringList>

class QMimeData;

namespace kv::commands {

// The type an XML property list is offered under beside plain text.
inline const QString PropertyListMimeType = QStringLiteral("application/x-plist");

// Plain text (text/plain, as UTF-8). The caller owns the result.
QMimeData *mimeDataForText(const QString &text);

// A scalar's text as the value tree's Value column shows it (a string as it
// is, booleans as true/false, data as <hex>, dates in UTC); a dictionary or
// array as the old-style text of its whole subtree. Empty for no value.
QString valueText(const PropertyListValue &value);

// Where an entry sits: the store key, then the entry names below the key's
// value (dictionary keys, array indexes), joined with " › ". An empty path
// gives the key alone; an empty key is left out. Names are kept as they are,
// line breaks included: the text is pasted, not parsed.
QString entryPathText(const QString &key, const QStringList &entryPath);

// The value as an XML property list: the same UTF-8 bytes as text/plain and
// as PropertyListMimeType. Null, with *error (when given) saying which entry
// could not be written, when the XML writer cannot carry the value (a
// character XML cannot hold, a date out of range, no value, nesting too deep).
// The caller owns the result.
QMimeData *mimeDataForPropertyList(const PropertyListValue &value, QString *error);

// Puts `data` on the application's clipboard, which takes it over; null (a
// maker that failed) leaves the clipboard as it was.
void copyToClipboard(QMimeData *data);

} // namespace kv::commands
