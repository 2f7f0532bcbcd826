#pragma once

// Internal to the property-list file code (PropertyListFile.cpp is its public
// face): the format readers behind readPropertyList, the XML writer behind
// writePropertyListXml, and what the XML readers and the writer share.
//
// Where each part lives:
//   PropertyListBinary.cpp      the binary reader
//   PropertyListXmlFast.cpp     the fast XML reader
//   PropertyListXmlStrict.cpp   the strict XML reader
//   PropertyListXmlScalars.cpp  element text to value, and keys in messages
//   PropertyListXmlWriter.cpp   the XML writer
//   PropertyListFile.cpp        which reader reads the bytes
//
// The readers take a non-empty source name and return none with *error set
// (the full one-line message) on failure.

#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <utility>

namespace kv::plistdetail {

// The XML reader: the fast reader for the documents it reads in full, the
// strict reader for everything else, errors included.
PropertyListValue readXmlPropertyList(const QByteArray &bytes, QString *error, const QString &source,
                                      PropertyListReading reading = PropertyListReading::Whole);
// With TopLevelOnUse, the dictionaries and arrays of a top-level dictionary
// are checked in full and made on first use, as the XML reader does.
// With bytes left unread (readPropertyListFileContents), TopLevelOnUse reads
// the keys there from the file; any other read, or one that needs the range
// after all, reads it in first, and *unread is emptied.
PropertyListValue readBinaryPropertyList(const QByteArray &bytes, QString *error, const QString &source,
                                         PropertyListReading reading = PropertyListReading::Whole,
                                         UnreadBytes *unread = nullptr);
// Reads the unread range of `bytes` (a buffer left to be written) from the
// file; *unread is empty afterwards. False, with *error saying so for
// `source`, when the file no longer holds it.
bool readUnreadBytes(const QByteArray &bytes, UnreadBytes *unread, const QString &source, QString *error);
// The file bytes [begin, end) that hold, by the trailer and top dictionary of
// the binary list in file `fd` of `size` bytes, its top-level keys alone if
// the keys lie together ({0, 0} when there are not so many keys, or no such
// range): the part of the file a read may leave to the reader. A guess the
// reader checks.
std::pair<qint64, qint64> binaryTopLevelKeyBytes(int fd, qint64 size);

// The strict reader: every well-formed XML property list, every error with
// its line and column.
PropertyListValue readXmlPropertyListStrict(const QByteArray &bytes, QString *error, const QString &source);

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
//
// With deferTopLevelMembers, when the document's value is a dictionary, the
// dictionaries and arrays in it are checked in full but made only when first
// used (PropertyListValue::deferred); the value is equal either way.
PropertyListValue readXmlPropertyListFast(const QByteArray &bytes, bool deferTopLevelMembers = false);

// See writePropertyListXml.
QByteArray writeXmlPropertyList(const PropertyListValue &value, QString *error);

// White space as XML has it: space, tab, line feed and carriage return. For
// the fast reader's bytes as for decoded text (a byte from 0x80 up, negative
// as a char, converts to no white space).
constexpr bool isXmlSpace(char32_t c)
{
    return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r';
}

// s without the XML white space it starts and ends with.
inline QStringView trimmed(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isXmlSpace(s[b].unicode()))
        ++b;
    while (e > b && isXmlSpace(s[e - 1].unicode()))
        --e;
    return s.mid(b, e - b);
}

// Element text to value, the same for both readers. Each returns false for
// text that is not a value of its kind.
bool parseInteger(QStringView text, PropertyListValue *out);
bool parseReal(QStringView text, double *out);
bool parseDate(QStringView text, QDateTime *out);
bool decodeBase64(QStringView text, QByteArray *out);

// Shows a key or text in an error message (of the strict reader or the
// writer): quoted, with characters that would not read well (controls,
// unpaired surrogates, non-characters) as \uXXXX.
QString quotedForMessage(const QString &s);

} // namespace kv::plistdetail
