// A large binary property list read leaving its top-level keys' pages out
// of memory (the keys read from the file as they are made), with one object
// of the input's bytes among those keys: as a key, held by a value, or as a
// value. Read so, it is refused with the same reason, or read into the same
// keys naming the same objects, as its bytes read whole.
//
// Input: byte 0 says where the object goes (its value modulo 3), bytes 1-2
// which entry it belongs to, the rest are the object's bytes.

#include "fuzz/FuzzSupport.h"
#include "platform/plist/PropertyListFile.h"
#include "tests/BinaryPlistBuilder.h"

#include <QFile>

#include <cstdlib>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr int Entries = 4096; // enough keys for the read to leave them out

enum class Place { Key, HeldByValue, AsValue };

void appendBigEndian(QByteArray *out, quint64 v, int width)
{
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out->append(char((v >> shift) & 0xff));
}

// Keys "State:/Network/Service/NNNNN/IPv4" together after the top
// dictionary, then each value (a string "10.0.0.N" and an array holding
// it): the layout plistlib writes. The input's object lies among the keys.
// Assembled here, the unchanging objects encoded once (a run should cost
// little).
QByteArray fileWith(Place place, int entry, const QByteArray &object)
{
    static const std::vector<QByteArray> keyObjects = [] {
        std::vector<QByteArray> objects;
        for (int i = 0; i < Entries; ++i)
            objects.push_back(bplisttest::asciiObject(bplisttest::topLevelKeyText(i)));
        return objects;
    }();
    static const std::vector<QByteArray> addressObjects = [] {
        std::vector<QByteArray> objects;
        for (int i = 0; i < Entries; ++i)
            objects.push_back(bplisttest::asciiObject("10.0.0." + QByteArray::number(i)));
        return objects;
    }();
    constexpr int RefWidth = 4;
    // Objects: 0 the top dictionary, 1.. the keys (and the input's object
    // right after key `entry` unless it is that key), then by turns each
    // entry's string and array (value `entry` may be the input's object).
    const bool extra = place != Place::Key;
    const quint64 placed = quint64(entry) + 2;
    const quint64 firstValue = 1 + Entries + (extra ? 1 : 0);
    const auto keyRef = [&](int i) { return quint64(1 + i) + (extra && i > entry ? 1 : 0); };
    const auto valueRef = [&](int i) {
        return place == Place::AsValue && i == entry ? placed : firstValue + 2 * quint64(i) + 1;
    };
    QByteArray out = "bplist00";
    out.reserve(300 * 1024 + object.size());
    std::vector<quint64> offsets;
    offsets.push_back(quint64(out.size()));
    out += bplisttest::marker(0xD, Entries);
    for (int i = 0; i < Entries; ++i)
        appendBigEndian(&out, keyRef(i), RefWidth);
    for (int i = 0; i < Entries; ++i)
        appendBigEndian(&out, valueRef(i), RefWidth);
    for (int i = 0; i < Entries; ++i) {
        offsets.push_back(quint64(out.size()));
        out += place == Place::Key && i == entry ? object : keyObjects[size_t(i)];
        if (extra && i == entry) {
            offsets.push_back(quint64(out.size()));
            out += object;
        }
    }
    for (int i = 0; i < Entries; ++i) {
        const bool holds = place == Place::HeldByValue && i == entry;
        offsets.push_back(quint64(out.size()));
        out += addressObjects[size_t(i)];
        offsets.push_back(quint64(out.size()));
        out += char(holds ? 0xA2 : 0xA1);
        appendBigEndian(&out, firstValue + 2 * quint64(i), RefWidth);
        if (holds)
            appendBigEndian(&out, placed, RefWidth);
    }
    const quint64 table = quint64(out.size());
    for (const quint64 offset : offsets)
        appendBigEndian(&out, offset, 4);
    out += QByteArray(6, '\0');
    out += char(4);
    out += char(RefWidth);
    appendBigEndian(&out, offsets.size(), 8);
    appendBigEndian(&out, 0, 8);
    appendBigEndian(&out, table, 8);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > 64 * 1024)
        return 0;
    const Place place = Place(data[0] % 3);
    const int entry = ((data[1] << 8) | data[2]) % Entries;
    const QByteArray object(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
    const QByteArray bytes = fileWith(place, entry, object);

    const int fd = ::memfd_create("fuzz_plist_leftout", MFD_CLOEXEC);
    fuzz::check(fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size()
                    && ::lseek(fd, 0, SEEK_SET) == 0,
                "the file is written");
    QFile file;
    fuzz::check(file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle), "the file opens");
    QByteArray read;
    kv::UnreadBytes unread;
    fuzz::check(kv::readPropertyListFileContents(file, &read, kv::PropertyListMaximumInputSize, &unread)
                    && read.size() == bytes.size() && !unread.empty(),
                "the file is read, its keys' pages left out");
    QString leftOutError, wholeError;
    const kv::PropertyListValue leftOut = kv::readPropertyList(read, &leftOutError, QStringLiteral("fuzz"),
                                                               kv::PropertyListReading::TopLevelOnUse, &unread);
    // The bytes whole, read the same way (that this equals a whole read is
    // fuzz_plist_binary's to check).
    const kv::PropertyListValue whole =
        kv::readPropertyList(bytes, &wholeError, QStringLiteral("fuzz"), kv::PropertyListReading::TopLevelOnUse);
    fuzz::check(leftOutError == wholeError, "read leaving the keys out, a refused list gives the same reason");
    fuzz::check(leftOut.isNone() == whole.isNone() && leftOut.count() == whole.count(),
                "read leaving the keys out, the list reads or not alike");
    if (whole.isNone())
        return 0;
    // The same keys, each naming the same object. Values made at once, those
    // next to the input's entry (keys sort as entries do) and every 256th
    // are compared in full (making every value would take most of a run).
    auto i = leftOut.dictionary().cbegin();
    int at = 0;
    for (auto j = whole.dictionary().cbegin(); j != whole.dictionary().cend(); ++i, ++j, ++at) {
        fuzz::check(i.key() == j.key(), "read leaving the keys out, the keys are the same");
        fuzz::check(i.value().deferredBegin() == j.value().deferredBegin(),
                    "read leaving the keys out, each key names the same object");
        if (std::abs(at - entry) <= 2 || at % 256 == 0 || j.value().deferredBegin() < 0)
            fuzz::check(i.value() == j.value(), "read leaving the keys out, the values are the same");
    }
    return 0;
}
