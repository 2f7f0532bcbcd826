#pragma once

// Binary "bplist00" property lists built object by object, for tests: the
// encoding of each object type and a file assembled from objects, whose
// trailer fields can be overridden to make broken files.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstring>
#include <optional>
#include <utility>

namespace bplisttest {

inline QByteArray bigEndian(quint64 v, int width)
{
    QByteArray out(width, '\0');
    for (int i = width - 1; i >= 0; --i, v >>= 8)
        out[i] = char(v & 0xff);
    return out;
}

// Object encodings.
inline QByteArray marker(int type, quint64 count)
{
    if (count < 15)
        return QByteArray(1, char((type << 4) | int(count)));
    int sizeLog = count <= 0xff ? 0 : count <= 0xffff ? 1 : count <= 0xffffffffu ? 2 : 3;
    return QByteArray(1, char((type << 4) | 0xf)) + char(0x10 | sizeLog) + bigEndian(count, 1 << sizeLog);
}
inline QByteArray intObject(qint64 v)
{
    if (v >= 0 && v <= 0xff)
        return "\x10" + bigEndian(quint64(v), 1);
    if (v >= 0 && v <= 0xffff)
        return "\x11" + bigEndian(quint64(v), 2);
    if (v >= 0 && v <= 0xffffffffLL)
        return "\x12" + bigEndian(quint64(v), 4);
    return "\x13" + bigEndian(quint64(v), 8);
}
inline QByteArray int16Object(quint64 high, quint64 low)
{
    return "\x14" + bigEndian(high, 8) + bigEndian(low, 8);
}
inline QByteArray doubleObject(double d)
{
    quint64 bits;
    std::memcpy(&bits, &d, 8);
    return "\x23" + bigEndian(bits, 8);
}
inline QByteArray floatObject(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, 4);
    return "\x22" + bigEndian(bits, 4);
}
inline QByteArray dateObject(double seconds)
{
    QByteArray o = doubleObject(seconds);
    o[0] = char(0x33);
    return o;
}
inline QByteArray asciiObject(const QByteArray &s)
{
    return marker(0x5, quint64(s.size())) + s;
}
inline QByteArray utf16Object(const QString &s)
{
    QByteArray o = marker(0x6, quint64(s.size()));
    for (QChar c : s)
        o += bigEndian(c.unicode(), 2);
    return o;
}
inline QByteArray dataObject(const QByteArray &d)
{
    return marker(0x4, quint64(d.size())) + d;
}
inline QByteArray arrayObject(const QList<quint64> &refs, int refSize = 1)
{
    QByteArray o = marker(0xA, quint64(refs.size()));
    for (quint64 r : refs)
        o += bigEndian(r, refSize);
    return o;
}
inline QByteArray dictObject(const QList<quint64> &keys, const QList<quint64> &values, int refSize = 1)
{
    QByteArray o = marker(0xD, quint64(keys.size()));
    for (quint64 r : keys)
        o += bigEndian(r, refSize);
    for (quint64 r : values)
        o += bigEndian(r, refSize);
    return o;
}

// Assembles a file from objects (object n is objects[n]); trailer fields can
// be overridden to make broken files.
struct Bplist
{
    QList<QByteArray> objects;
    quint64 top = 0;
    int refSize = 1;
    int offsetSize = 2;
    std::optional<quint64> objectCount, tableOffset;
    std::optional<int> trailerOffsetSize, trailerRefSize;
    QList<std::pair<int, quint64>> offsetOverrides; // object number, offset

    quint64 add(const QByteArray &object)
    {
        objects.append(object);
        return quint64(objects.size() - 1);
    }

    QByteArray build() const
    {
        QByteArray out = "bplist00";
        QList<quint64> offsets;
        for (const QByteArray &o : objects) {
            offsets.append(quint64(out.size()));
            out += o;
        }
        for (const auto &[n, offset] : offsetOverrides)
            offsets[n] = offset;
        const quint64 table = quint64(out.size());
        for (quint64 o : offsets)
            out += bigEndian(o, offsetSize);
        out += QByteArray(6, '\0');
        out += char(trailerOffsetSize.value_or(offsetSize));
        out += char(trailerRefSize.value_or(refSize));
        out += bigEndian(objectCount.value_or(quint64(objects.size())), 8);
        out += bigEndian(top, 8);
        out += bigEndian(tableOffset.value_or(table), 8);
        return out;
    }
};

// A top-level dictionary of store-like keys ("State:/Network/Service/00042/IPv4")
// whose values are arrays holding a string ("10.0.0.42"), laid out as
// Python's plistlib lays one out: the top dictionary, all its keys, then the
// values. Variations put other objects among the keys or interleave them.
struct TopLevelLayout
{
    int entries = 600;
    bool interleaved = false; // each key followed by its value
    int scalarAt = -1;        // this entry's value: a string among the keys
    int holdingKeyAt = -1;    // this entry's array also holds the middle key's object (after the middle)
    int holdingDataAt = -1;   // this entry's array also holds three pages of data, among the keys (after the middle)
};

inline QByteArray topLevelKeyText(int i)
{
    return "State:/Network/Service/" + QByteArray::number(i).rightJustified(5, '0') + "/IPv4";
}

inline QByteArray topLevelFile(const TopLevelLayout &layout)
{
    Bplist b;
    b.refSize = 2;
    b.offsetSize = 4;
    b.add(QByteArray()); // 0: the top dictionary, made last
    const int middle = layout.entries / 2;
    QList<quint64> keys(layout.entries), values(layout.entries);
    quint64 data = 0;
    const auto addValue = [&](int i) {
        QList<quint64> refs{b.add(asciiObject("10.0.0." + QByteArray::number(i)))};
        if (i == layout.holdingKeyAt)
            refs.append(keys[middle]);
        if (i == layout.holdingDataAt)
            refs.append(data);
        values[i] = b.add(arrayObject(refs, 2));
    };
    for (int i = 0; i < layout.entries; ++i) {
        keys[i] = b.add(asciiObject(topLevelKeyText(i)));
        if (i == middle && layout.scalarAt >= 0)
            values[layout.scalarAt] = b.add(asciiObject("a string among the keys"));
        if (i == middle && layout.holdingDataAt >= 0)
            data = b.add(dataObject(QByteArray(3 * 4096, 'd')));
        if (layout.interleaved && i != layout.scalarAt)
            addValue(i);
    }
    for (int i = 0; i < layout.entries && !layout.interleaved; ++i) {
        if (i != layout.scalarAt)
            addValue(i);
    }
    b.objects[0] = dictObject(keys, values, 2);
    return b.build();
}

} // namespace bplisttest
