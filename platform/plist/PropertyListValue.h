#pragma once

#include "platform/SharedReference.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

namespace kv {

class PropertyListValue;

// Dictionary entries are ordered by QString's operator<, which compares
// UTF-16 code units one by one (case-sensitive, not locale-aware): the same
// ordering that sorts store keys everywhere in the program.
using PropertyListDictionary = QMap<QString, PropertyListValue>;
using PropertyListArray = QList<PropertyListValue>;
// Byte ranges [begin, end) of a document's bytes.
using ByteRanges = std::vector<std::pair<qsizetype, qsizetype>>;

// Orders store keys: case-sensitive, UTF-16 code unit by code unit.
inline bool storeKeyLessThan(const QString &a, const QString &b)
{
    return a < b;
}
inline int storeKeyCompare(const QString &a, const QString &b)
{
    return QString::compare(a, b, Qt::CaseSensitive);
}

// An immutable property-list value: dictionary, array, string, integer, real,
// boolean, data or date, nested freely. Copies share the same data, so a value
// can be handed around cheaply and parts of it can be referred to while the
// whole is alive. A default-constructed value is "none".
class PropertyListValue
{
public:
    enum class Kind : quint8 { None, Dictionary, Array, String, Integer, Real, Boolean, Data, Date };

    PropertyListValue() = default;

    static PropertyListValue fromDictionary(PropertyListDictionary dictionary);
    static PropertyListValue fromArray(PropertyListArray array);
    static PropertyListValue fromString(QString string);
    static PropertyListValue fromInteger(qint64 value);
    // Integers from 2^63 up to 2^64 - 1 (held as unsigned).
    static PropertyListValue fromUnsignedInteger(quint64 value);
    static PropertyListValue fromReal(double value);
    static PropertyListValue fromBoolean(bool value);
    static PropertyListValue fromData(QByteArray data);
    // Stored in UTC, to the millisecond.
    static PropertyListValue fromDate(const QDateTime &date);

    Kind kind() const;
    bool isNone() const { return !d; }
    explicit operator bool() const { return bool(d); }
    bool isDictionary() const { return kind() == Kind::Dictionary; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isString() const { return kind() == Kind::String; }
    // Integers, reals and booleans are all numbers.
    bool isNumber() const;
    bool isBoolean() const { return kind() == Kind::Boolean; }
    bool isData() const { return kind() == Kind::Data; }
    bool isDate() const { return kind() == Kind::Date; }

    // Accessors; each returns an empty result for a value of another kind.
    const PropertyListDictionary &dictionary() const;
    const PropertyListArray &array() const;
    QString string() const;
    qint64 integer() const; // integers (wrapped for unsigned ones), reals truncated, booleans 0/1
    quint64 unsignedInteger() const;
    bool isUnsignedInteger() const; // an integer above INT64_MAX
    double real() const;            // any number as a double
    bool boolean() const;
    QByteArray data() const;
    QDateTime date() const;

    // Number of entries of a dictionary or elements of an array, else 0.
    qsizetype count() const;
    // Dictionary lookup; none when absent or not a dictionary.
    PropertyListValue value(const QString &key) const;
    // Array element; none when out of range or not an array.
    PropertyListValue at(qsizetype index) const;

    // Name of the value's type: "Dictionary", "Array", "String", "Number",
    // "Boolean", "Data", "Date"; "" for none.
    QString typeName() const;

    // A textual rendering of the whole value, nested values included, in the
    // style of old-style property-list text.
    QString description() const;

    // Depth of nesting: 1 for a scalar or an empty container, 0 for none.
    int depth() const;

    // Whether depth() > limit, found without walking deeper than the limit.
    bool nestsDeeperThan(int limit) const;

    // For readers: a dictionary or array whose content stays in a document's
    // bytes, `begin` to `end`, until the value is first looked into; then
    // `document->read(document->bytes, begin, end)` makes it. The reader must
    // have checked those bytes already: `read` has to give a value of `kind`
    // nested `depth` deep. Its kind and depth are answered without reading,
    // and two such values made by the same `read` from the same bytes are
    // equal without reading either. Reading changes nothing that can be
    // observed but the time it takes. It is not guarded against other
    // threads: call read() before such a value is shared between threads.
    // The document is shared by its values and may not pass 4 GiB.
    using DeferredReader = PropertyListValue (*)(const QByteArray &document, qsizetype begin, qsizetype end);
    struct DeferredDocument : SharedCount
    {
        QByteArray bytes;
        DeferredReader read = nullptr;
        // Whether `begin` to `end` holds the whole text of the value, so that
        // equal bytes there make equal values. When not (the range only names
        // the value), values compare equal unread only at the same place of
        // the same bytes.
        bool rangeHoldsValue = true;
        // Byte ranges of `bytes`, whole pages of memory, that no value made
        // from the document will read: set by the reader, once, before the
        // values are handed out (see releaseUnneededBytes()).
        mutable ByteRanges unneeded;
    };
    static void releaseDocument(const DeferredDocument *document) { delete document; }
    using DocumentReference = SharedReference<DeferredDocument, &PropertyListValue::releaseDocument>;
    static DocumentReference deferredDocument(QByteArray bytes, DeferredReader read, bool rangeHoldsValue = true);
    // Keeps the contents deferred() makes for a reader that defers many
    // values in blocks of memory shared by the values, each block freed when
    // the last value kept in it goes, instead of an allocation a value. One
    // thread at a time makes values with it; the values go anywhere.
    class DeferredBlocks
    {
    public:
        DeferredBlocks() = default;
        DeferredBlocks(const DeferredBlocks &) = delete;
        DeferredBlocks &operator=(const DeferredBlocks &) = delete;
        ~DeferredBlocks();

    private:
        friend class PropertyListValue;
        struct Block;
        void *take(); // room for one content
        Block *m_block = nullptr;
        quint32 m_used = 0; // of the block's places
    };
    static PropertyListValue deferred(Kind kind, int depth, const DocumentReference &document, qsizetype begin,
                                      qsizetype end, DeferredBlocks *blocks = nullptr);
    // Makes the content of a value made by deferred() now (else nothing).
    void read() const;
    // The document of a value made by deferred() and not read yet, else null.
    const DeferredDocument *unreadDocument() const;
    // The `begin` a value made by deferred() was given, read or not; else -1.
    qsizetype deferredBegin() const;

    // Values of equal kind and content are equal. An integer and a real with
    // the same numeric value are not equal (the kind differs).
    bool operator==(const PropertyListValue &other) const;
    bool operator!=(const PropertyListValue &other) const { return !(*this == other); }
    // The same answer, but a value made on first use and not read yet is
    // made for the comparison alone and stays unread: for comparing many
    // values once (a whole file read again) without keeping them all made.
    bool equalsWithoutKeeping(const PropertyListValue &other) const;

    // Identity of the shared data (for borrowing checks); null for none. A
    // small integer or a boolean, held in the value itself, has its bits
    // for identity: equal ones have the same.
    const void *identity() const { return d.get(); }

private:
    struct Header;   // what every shared content begins with
    struct Data;     // a made content
    struct Deferred; // a content made on first use
    static void destroy(const SharedCount *data);
    // A reference to the value's data, or for an integer of up to 56 bits
    // or a boolean, the value itself held in the tag (no data is made).
    using Reference = SharedReference<SharedCount, &PropertyListValue::destroy, true>;
    static PropertyListValue made(const Header *data);
    static PropertyListValue madeNow(const Deferred *deferred); // its content, made now (not kept)
    static PropertyListValue immediate(Kind kind, qint64 payload);
    const Header *header() const;   // what d refers to; d must refer to data
    const Data &content() const;    // the content made, read first if deferred
    const Deferred *unread() const; // what d refers to when deferred and not read yet
    explicit PropertyListValue(Reference data) : d(std::move(data)) {}
    Reference d;
};

} // namespace kv

// A value is one reference: containers move it as its bytes.
Q_DECLARE_TYPEINFO(kv::PropertyListValue, Q_RELOCATABLE_TYPE);

namespace kv {

// An array of the strings, in order.
PropertyListValue stringArray(const QStringList &strings);

} // namespace kv
