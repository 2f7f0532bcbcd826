#pragma once

// Internal to the XML property-list reader: the two readers behind
// readXmlPropertyList and the scalar parsers they share.
//
// The fast reader scans the UTF-8 bytes directly and reads the documents that
// property-list writers commonly produce: an optional UTF-8 byte order mark,
// an optional XML declaration (version 1.0, UTF-8), an optional document type
// declaration without an internal subset, <plist> or <plist version="1.0">
// holding one value, the value elements without attributes, the five
// predefined entities, character references, comments and whitespace. For
// anything else, and for every error, it gives up and returns none; the
// strict reader then reads the document and says what is wrong with it. On
// every document the fast reader accepts, it gives the value the strict
// reader gives.

#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>

namespace kv::plistdetail {

// None when the document is not one the fast reader reads in full. With
// deferTopLevelMembers, when the document's value is a dictionary, the
// dictionaries and arrays in it are checked in full but made only when first
// used (PropertyListValue::deferred); the value is equal either way.
PropertyListValue readXmlPropertyListFast(const QByteArray &bytes, bool deferTopLevelMembers = false);

// The strict reader: every well-formed XML property list, every error with
// its line and column.
PropertyListValue readXmlPropertyListStrict(const QByteArray &bytes, QString *error, const QString &source);

// Element text to value, the same for both readers. Each returns false for
// text that is not a value of its kind.
bool parseInteger(QStringView text, PropertyListValue *out);
bool parseReal(QStringView text, double *out);
bool parseDate(QStringView text, QDateTime *out);
bool decodeBase64(QStringView text, QByteArray *out);

} // namespace kv::plistdetail
