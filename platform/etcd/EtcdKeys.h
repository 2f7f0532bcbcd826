#pragma once

// How an etcd cluster's keys and values appear in the store, and back.
// etcd keys and values are bytes; the store's keys are text and its values
// property-list values.

#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace kv::etcd {

// The store key of an etcd key that starts with `prefix` (required).
//
// Let R be the etcd key without the prefix, read as UTF-8, where every byte
// that is not part of a valid UTF-8 sequence becomes the lone surrogate
// U+DC00 + byte (bytes 0x80 to 0xFF become U+DC80 to U+DCFF), so no byte is
// lost. When R holds a "/", the store key is R with its first "/" replaced
// by ":/"; otherwise it is R followed by ":". The first piece of the etcd
// key becomes the store key's domain:
//   "web-1/State:/Network/Global/IPv4"  ->  "web-1:/State:/Network/Global/IPv4"
//   "registry/pods/default/x"           ->  "registry:/pods/default/x"
//   "foo"                               ->  "foo:"
//   ""                                  ->  ":"
QString storeKeyFromEtcd(const QByteArray &etcdKey, const QByteArray &prefix);

// The etcd key of a store key made by storeKeyFromEtcd() with the same
// prefix, its exact inverse: the first ":/" becomes "/" (or, when there is
// none, the final ":" is dropped), U+DC80 to U+DCFF become the single bytes
// 0x80 to 0xFF, everything else is written as UTF-8, and the prefix goes in
// front. None for a store key the mapping does not make: one with neither
// ":/" nor a final ":", a "/" before the first ":/" (or anywhere, when there
// is no ":/"), another lone surrogate, or escaped bytes that read back as
// UTF-8 (U+DCC3 U+DCA9 would be the bytes of "é").
std::optional<QByteArray> etcdKeyFromStore(const QString &storeKey, const QByteArray &prefix);

// etcd's range end for "every key that starts with `prefix`": the prefix
// with its trailing 0xFF bytes dropped and its last remaining byte increased
// by one. When nothing remains (an empty prefix, or one of 0xFF bytes only)
// it is the single byte 0, which etcd reads as "every key from the start
// key on".
QByteArray prefixRangeEnd(const QByteArray &prefix);

// The value shown for an etcd value's bytes; it never fails.
//  - Empty bytes are an empty string; more than PropertyListMaximumInputSize
//    bytes are data, without looking into them.
//  - Bytes starting with "bplist", or with "<?xml" or "<plist" after an
//    optional UTF-8 byte order mark and white space, are read as a property
//    list (binary or XML, by the strict readers).
//  - Bytes whose first character other than JSON white space is "{" or "["
//    and that are a JSON document become a dictionary or an array: numbers
//    that are whole and fit in 64 bits are integers, other numbers reals,
//    true and false booleans, strings strings, and null an empty string (so
//    array elements keep their positions). A repeated object key keeps its
//    last value. A document nested deeper than PropertyListMaximumDepth is
//    not taken as JSON.
//  - Anything else, and a property list or JSON document that does not
//    read, is a string when it is valid UTF-8 (a byte order mark included)
//    and data otherwise.
PropertyListValue valueFromEtcd(const QByteArray &bytes);

// The bytes stored for a value: its XML property-list text, which etcd's
// own tools show as it is. Empty with *error on failure (see
// writePropertyListXml).
QByteArray etcdBytesFromValue(const PropertyListValue &value, QString *error);

} // namespace kv::etcd
