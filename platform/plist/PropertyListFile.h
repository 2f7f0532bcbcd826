#pragma once

// Reading and writing property-list files: XML (read and write) and binary
// "bplist00" (read).

#include "platform/plist/PropertyListValue.h"

#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

namespace kv {

// Values nested deeper than this are refused by the readers and the engine.
inline constexpr int PropertyListMaximumDepth = 512;

// Inputs larger than this are refused by the readers before any parsing.
inline constexpr qint64 PropertyListMaximumInputSize = qint64(512) * 1024 * 1024;

// Parses XML or binary property-list bytes; the format is told by the first
// bytes ("bplist" starts a binary list, anything else is read as XML). On
// failure returns none and sets *error (when given) to one line:
// "<sourceName>: <position>: <what was wrong>", where the position is
// "line L, column C" for XML and "byte offset N" for binary input (problems
// of the input as a whole, such as its size, have no position). An empty
// sourceName reads as "property list".
//
// The readers are strict: malformed numbers, dates, base64 and unknown
// elements are errors, never a default value. Dictionaries may not repeat a
// key (an error in both formats). XML with a document type declaration that
// has an internal subset (entity declarations and the like) is refused, and
// nothing is ever fetched. Binary objects that reference themselves or one
// of their containers are refused; objects shared by several containers are
// fine, as long as the value they make does not expand past a limit of
// roughly 16 million values (more when the file itself holds more objects).
//
// With PropertyListReading::TopLevelOnUse, the dictionaries and arrays inside
// a top-level dictionary of a common XML document are checked in full (any
// error is found now, as always) but made into values only when first looked
// into, which makes a large snapshot quicker to load when few of its values
// are looked at. The value is the same either way; until then it keeps the
// input bytes.
enum class PropertyListReading { Whole, TopLevelOnUse };
PropertyListValue readPropertyList(const QByteArray &bytes, QString *error, const QString &sourceName = QString(),
                                   PropertyListReading reading = PropertyListReading::Whole);

// Bytes of a file left out of the buffer it was read into: the whole pages
// [begin, end) of the buffer, whose memory is not made until written. The
// file stays open to read them from.
struct UnreadBytes
{
    qsizetype begin = 0;
    qsizetype end = 0;
    std::shared_ptr<const UniqueFd> file;
    bool empty() const { return begin >= end; }
};

// Reads an open file (at its start) to be read with TopLevelOnUse, as
// readFileContents() does, except that from a large binary list whose
// top-level keys lie together it leaves out the pages that hold them
// (*unread; empty when nothing was left out). The reader then reads each key
// from the file as it makes it: the keys' bytes never take memory of their
// own, which a snapshot of many keys would otherwise fill and give back.
bool readPropertyListFileContents(QFile &file, QByteArray *bytes, qint64 limit, UnreadBytes *unread);

// readPropertyList() of bytes read by readPropertyListFileContents(). When
// anything but a top-level key turns out to lie in the unread range (or the
// read fails), the range is read into `bytes` first (in place, its buffer
// written) and the bytes read as usual; *unread is then left empty. Else
// the range stays unread, and the document names its pages as unneeded.
PropertyListValue readPropertyList(const QByteArray &bytes, QString *error, const QString &sourceName,
                                   PropertyListReading reading, UnreadBytes *unread);

// Gives back to the system the memory of a document read with
// TopLevelOnUse that none of `contents`'s values will read again: the whole
// pages of a binary file that hold only its top dictionary and top-level
// keys, which the read made into the dictionary's own strings. Anyone else
// holding the document's bytes reads zeros there afterwards, so call it only
// when nothing will. Answers the byte ranges given back (none for a document
// whose every page is still read, such as an XML one).
ByteRanges releaseUnneededBytes(const PropertyListDictionary &contents);

// Reads a file with readPropertyList; a file that cannot be read gives an
// error naming the file and the reason.
PropertyListValue readPropertyListFile(const QString &path, QString *error);

// The XML property-list text of a value: the XML declaration (no
// document-type line), <plist version="1.0">, the value at column 0 with its content
// indented by tabs, </plist> and a final newline. Dates are written to the
// second (UTC); data as wrapped base64; reals as their shortest round-trip
// text ("nan", "+infinity", "-infinity" for the special values).
// On failure returns an empty array and sets *error naming the offending key
// path: a string or key holding a character that XML 1.0 cannot carry
// (control characters other than tab, newline and carriage return, U+FFFE,
// U+FFFF, unpaired surrogates), a date outside the years 1 to 9999, a "none"
// value inside a container, or nesting deeper than PropertyListMaximumDepth.
QByteArray writePropertyListXml(const PropertyListValue &value, QString *error);

// Writes the XML property list atomically: a file already at `path` is
// either replaced whole or left untouched. False with *error on failure; the
// error names the path and the reason.
bool writePropertyListFile(const QString &path, const PropertyListValue &value, QString *error);

} // namespace kv
