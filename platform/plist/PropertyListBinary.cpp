// Binary "bplist00" property lists: the strict reader behind readPropertyList.
//
// Layout: the 8-byte header "bplist00", the objects, an offset table giving
// each object's position, and a 32-byte trailer (6 unused bytes, the width of
// the offset-table entries, the width of object references, the number of
// objects, the top object's number and the offset table's position; the last
// three big-endian 64-bit). Every object starts with a marker byte whose high
// nibble is its type and whose low nibble is its size, or 0xF when an integer
// object holding the size follows the marker.

#include "platform/FileContents.h"
#include "platform/StringBlocks.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListReaders_p.h"

#include <QDate>
#include <QHash>
#include <QSet>
#include <QTime>
#include <QTimeZone>
#include <QtEndian>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

namespace kv::plistdetail {

namespace {

constexpr quint64 headerSize = 8;
constexpr quint64 trailerSize = 32;

// A value read from the file may expand (through shared objects) to at most
// this many values, or four times the number of objects in the file when
// that is more: enough for any file written without tricks, and a bound on
// what a small file of references to references can make a reader build.
constexpr quint64 minimumExpansionLimit = quint64(1) << 24;

// Files with up to this many objects keep decoded objects in a table indexed
// by object number (fast); larger ones in a hash, so that memory follows the
// objects actually reached rather than what the trailer claims.
constexpr quint64 denseCacheLimit = quint64(1) << 22;

// Seconds from 1970-01-01 to 2001-01-01, the epoch of binary dates.
constexpr double dateEpochOffset = 978307200.0;

enum ObjectType : uchar {
    TypeSimple = 0x0,
    TypeInteger = 0x1,
    TypeReal = 0x2,
    TypeDate = 0x3,
    TypeData = 0x4,
    TypeAsciiString = 0x5,
    TypeUtf16String = 0x6,
    TypeUid = 0x8,
    TypeArray = 0xA,
    TypeOrderedSet = 0xB,
    TypeSet = 0xC,
    TypeDictionary = 0xD,
};

struct ObjectHeader
{
    quint64 offset = 0; // of the marker byte
    uchar type = 0;
    uchar info = 0;      // low nibble of the marker
    quint64 count = 0;   // elements, entries, bytes or characters
    quint64 payload = 0; // offset of what follows the marker and count
};

struct Decoded
{
    PropertyListValue value;
    quint64 nodes = 1; // values the value expands to, itself included
    int height = 1;    // its depth()
};

// How a reader keeps the objects it has decoded or checked: in a table
// indexed by object number (fast, sized by the file's object count), or in a
// hash of the objects reached (for a reader that reaches few of them).
enum class ObjectCache { ByFile, ByReach };

// Reads file bytes [at, at + size); false when they did not all come.
bool readFully(int fd, uchar *to, quint64 size, quint64 at)
{
    return readFileAt(fd, reinterpret_cast<char *>(to), qint64(at), qint64(size)) == qint64(size);
}

// Top-level dictionaries of at least this many entries are read by two
// threads (below it, starting a thread costs more than it saves).
constexpr quint64 TopLevelEntriesForTwoThreads = 4096;

bool readsTopLevelInTwo(quint64 entries)
{
    return entries >= TopLevelEntriesForTwoThreads && std::thread::hardware_concurrency() > 1;
}

class BinaryReader
{
public:
    BinaryReader(const QByteArray &bytes, const QString &source, ObjectCache cache = ObjectCache::ByFile)
        : m_data(reinterpret_cast<const uchar *>(bytes.constData())), m_size(quint64(bytes.size())), m_source(source),
          m_cacheKind(cache)
    {}

    PropertyListValue read(QString *error)
    {
        PropertyListValue value;
        if (readTrailer()) {
            if (m_cacheKind == ObjectCache::ByFile && m_objectCount <= denseCacheLimit)
                m_table.resize(m_objectCount);
            value = decodeObject(m_topObject, m_size - trailerSize + 16);
        }
        if (m_failed) {
            *error = m_error;
            return {};
        }
        return value;
    }

    // Object `ref` of a document whose containing value was checked before.
    PropertyListValue readObject(quint64 ref)
    {
        if (!readTrailer() || ref >= m_objectCount)
            return {};
        return decodeObject(ref, m_size - trailerSize + 16);
    }

    // The top-level dictionary with each dictionary or array in it checked in
    // full but made only when first used (a deferred value of `document`,
    // whose bytes this reader reads). None when the top object is not a
    // dictionary or anything in the document would not read: the whole
    // reader then reads it and says what is wrong. A large dictionary's keys
    // are made on the calling thread while a second thread checks and makes
    // the values.
    PropertyListValue readTopLevelOnUse(const PropertyListValue::DocumentReference &document)
    {
        if (!readTrailer() || m_expansionLimit >= std::numeric_limits<quint32>::max())
            return {};
        ObjectHeader top;
        if (!readHeader(m_topObject, 0, &top) || top.type != TypeDictionary)
            return {};
        if (leftOut()) {
            // Only the keys may lie in the unread pages (and only a read on
            // two threads reads them from the file).
            const quint64 topEnd = top.payload + 2 * top.count * quint64(m_refWidth);
            if (!readsTopLevelInTwo(top.count) || touchesUnread(0, headerSize) || touchesUnread(top.offset, topEnd)
                || touchesUnread(m_tableOffset, m_size))
                return {};
        }
        if (readsTopLevelInTwo(top.count))
            return readTopLevelOnUseInTwo(document, top);
        startValueChecks();

        TopLevelEntries dictionary;
        StringBlocks keyBlocks;
        PropertyListValue::DeferredBlocks valueBlocks;
        quint64 nodes = 1; // values the dictionary expands to so far
        for (quint64 i = 0; i < top.count; ++i) {
            if (i % TopLevelChunk == 0)
                checkValuesInOrder(top, i, std::min(top.count, i + TopLevelChunk));
            QString key;
            PropertyListValue value;
            if (!topLevelKey(top, i, &keyBlocks, &key) || !topLevelValue(top, i, document, &value, &nodes, &valueBlocks)
                || !insertTopLevel(dictionary, std::move(key), std::move(value)))
                return {};
        }
        if (m_failed)
            return {};
        noteUnneededPages(*this, document);
        return PropertyListValue::fromDictionary(PropertyListDictionary(std::move(dictionary)));
    }

private:
    // The top-level entries are read in chunks of this many: a thread's
    // share of the work, and the values checked in order at once.
    static constexpr quint64 TopLevelChunk = 1024;

    // Prepares checking the top-level dictionary's values.
    void startValueChecks() { startMarkingPages(); }

    // Prepares checking values one by one (checkObject()), on first use.
    void startCheckTable()
    {
        if (m_checkTableStarted)
            return;
        m_checkTableStarted = true;
        if (m_cacheKind == ObjectCache::ByFile && m_objectCount <= denseCacheLimit)
            m_checks.resize(m_objectCount);
        setCheck(m_topObject, {0, 0, CheckOpen});
    }

    // --- The pages the values will read -----------------------------------
    // While the top-level values are checked, every object they reach has
    // the pages of memory it lies on marked (a bit a page). The pages no mark
    // and nothing else a later read looks at (the header, the offset table
    // and the trailer) falls on hold only what the read has made already:
    // the top dictionary's object and its keys, made into strings. The
    // document names them (PropertyListValue::DeferredDocument::unneeded),
    // for its holder to give back to the system.

    void startMarkingPages()
    {
        static const quint64 pageSize = quint64(std::max(1L, ::sysconf(_SC_PAGESIZE)));
        if (m_size == 0 || (pageSize & (pageSize - 1)) != 0)
            return; // not a power of two: nothing is marked, nothing given back
        m_pageShift = std::countr_zero(pageSize);
        m_firstPage = quintptr(m_data) >> m_pageShift;
        const quint64 pages = ((quintptr(m_data) + m_size - 1) >> m_pageShift) - m_firstPage + 1;
        m_neededPages.assign(size_t((pages + 63) / 64), 0);
    }

    [[gnu::always_inline]] void markNeeded(quint64 begin, quint64 end)
    {
        if (touchesUnread(begin, end))
            m_touchedUnread = true;
        if (m_neededPages.empty() || begin >= end)
            return;
        const quint64 first = ((quintptr(m_data) + begin) >> m_pageShift) - m_firstPage;
        const quint64 last = ((quintptr(m_data) + std::min(end, m_size) - 1) >> m_pageShift) - m_firstPage;
        m_neededPages[size_t(first / 64)] |= quint64(1) << (first % 64);
        for (quint64 page = first + 1; page <= last; ++page) // an object across pages
            m_neededPages[size_t(page / 64)] |= quint64(1) << (page % 64);
    }

    // Marks the bytes of object `h` (checked: its size is known to fit).
    [[gnu::always_inline]] void markNeeded(const ObjectHeader &h) { markNeeded(h.offset, objectEnd(h)); }

    // Where the bytes of object `h` end (checked: its size is known to fit).
    [[gnu::always_inline]] quint64 objectEnd(const ObjectHeader &h) const
    {
        quint64 end = h.payload;
        switch (h.type) {
        case TypeData:
        case TypeAsciiString: end += h.count; break;
        case TypeUtf16String: end += 2 * h.count; break;
        case TypeArray: end += h.count * quint64(m_refWidth); break;
        case TypeDictionary: end += 2 * h.count * quint64(m_refWidth); break;
        case TypeInteger:
        case TypeReal: end += quint64(1) << std::min<uchar>(h.info, 4); break;
        case TypeDate: end += 8; break;
        default: break; // a simple value: the marker alone
        }
        return end;
    }

    // Names in the document the whole pages of its bytes that `checker` (the
    // reader that checked the top-level values) left unmarked.
    void noteUnneededPages(BinaryReader &checker, const PropertyListValue::DocumentReference &document)
    {
        if (checker.m_neededPages.empty() || checker.m_data != m_data)
            return;
        checker.markNeeded(0, headerSize);
        checker.markNeeded(m_tableOffset, m_size);
        const quint64 pageSize = quint64(1) << checker.m_pageShift;
        const quintptr begin = quintptr(m_data);
        const quintptr end = begin + m_size;
        ByteRanges &unneeded = document->unneeded;
        unneeded.clear();
        const quint64 pages = quint64(checker.m_neededPages.size()) * 64;
        for (quint64 page = 0; page < pages; ++page) {
            const quintptr start = quintptr((checker.m_firstPage + page) * pageSize);
            if (start < begin || start + pageSize > end
                || (checker.m_neededPages[size_t(page / 64)] >> (page % 64)) & 1)
                continue;
            const qsizetype from = qsizetype(start - begin);
            if (!unneeded.empty() && unneeded.back().second == from)
                unneeded.back().second += qsizetype(pageSize);
            else
                unneeded.emplace_back(from, from + qsizetype(pageSize));
        }
    }

    // The text of entry i's key of the top-level dictionary, checked, made
    // in `blocks`. Not kept as checked: the top level refers to each key once.
    bool topLevelKey(const ObjectHeader &top, quint64 i, StringBlocks *blocks, QString *key)
    {
        const quint64 keyAt = top.payload + i * m_refWidth;
        const quint64 ref = bigEndian(keyAt, m_refWidth);
        ObjectHeader h;
        const uchar *text; // h's payload
        if (leftOut()) {
            if (!unreadKeyHeader(ref, keyAt, &h, &text))
                return false;
        } else {
            if (!readHeaderInline(ref, keyAt, &h) || !isString(h))
                return false;
            text = m_data + h.payload;
        }
        // An ASCII key is checked as it is written (one pass over it).
        uchar bits = 0;
        *key = blocks->make(qsizetype(h.count), [&](char16_t *out) {
            if (h.type == TypeAsciiString) {
                for (quint64 i = 0; i < h.count; ++i) {
                    out[i] = text[i];
                    bits |= text[i];
                }
            } else {
                for (quint64 i = 0; i < h.count; ++i)
                    out[i] = char16_t((text[2 * i] << 8) | text[2 * i + 1]);
            }
        });
        return bits < 0x80;
    }

    // --- Keys left unread ---------------------------------------------------
    // A file may be read leaving out the pages that hold its top-level keys
    // (UnreadBytes). The keys are then read from the file, a window of its
    // bytes at a time, as they are made; nothing else may lie in those
    // pages. A value that reaches into them (markNeeded() notes it, and so
    // does a top-level scalar) fails the read, as does anything unexpected:
    // it is then done again with the pages read.
public:
    void setUnread(const UnreadBytes &unread)
    {
        m_unread = {quint64(unread.begin), quint64(unread.end), unread.file ? unread.file->get() : -1};
    }

private:
    bool leftOut() const { return m_unread.begin < m_unread.end; }
    [[gnu::always_inline]] bool touchesUnread(quint64 begin, quint64 end) const
    {
        return begin < m_unread.end && end > m_unread.begin;
    }

    // Bytes a window reads at least (less at the last key of a chunk).
    static constexpr quint64 WindowBytes = 64 * 1024;
    // The most bytes a string's header takes: marker, count marker, count.
    static constexpr quint64 MaxStringHeader = 10;

    // The header of key object `ref` (found at `from`) and where its text
    // is: in the buffer when all of it lies outside the unread pages, else
    // in a window of the file's bytes.
    bool unreadKeyHeader(quint64 ref, quint64 from, ObjectHeader *h, const uchar **text)
    {
        if (ref >= m_objectCount)
            return false;
        const quint64 offset = bigEndian(m_tableOffset + ref * m_offsetWidth, m_offsetWidth);
        if (offset >= m_unread.end || offset + MaxStringHeader <= m_unread.begin) {
            if (!readHeaderInline(ref, from, h) || !isString(*h))
                return false;
            if (!touchesUnread(h->offset, objectEnd(*h))) {
                *text = m_data + h->payload;
                return true;
            }
        }
        if (offset < headerSize || offset >= m_tableOffset || !windowHolds(offset, 1))
            return false;
        // The header, as readHeader() reads it.
        const auto at = [&](quint64 byte) { return m_window.bytes[byte - m_window.begin]; };
        h->offset = offset;
        h->type = at(offset) >> 4;
        h->info = at(offset) & 0xf;
        h->count = h->info;
        h->payload = offset + 1;
        if (!isString(*h))
            return false;
        if (h->info == 0xf) {
            if (!windowHolds(offset, 2) || (at(offset + 1) >> 4) != TypeInteger || (at(offset + 1) & 0xf) > 3)
                return false;
            const int width = 1 << (at(offset + 1) & 0xf);
            if (!windowHolds(offset, 2 + quint64(width)))
                return false;
            h->count = 0;
            for (int i = 0; i < width; ++i)
                h->count = (h->count << 8) | at(offset + 2 + quint64(i));
            h->payload = offset + 2 + quint64(width);
        }
        const quint64 unit = h->type == TypeAsciiString ? 1 : 2;
        if (h->count > (m_tableOffset - h->payload) / unit
            || !windowHolds(offset, h->payload - offset + h->count * unit))
            return false;
        *text = m_window.bytes.get() + (h->payload - m_window.begin);
        return true;
    }

    // Whether the window holds file bytes [at, at + size), read into it when
    // not (within the object area, reading on to the chunk's last key).
    bool windowHolds(quint64 at, quint64 size)
    {
        if (at >= m_window.begin && size <= m_window.size && at - m_window.begin <= m_window.size - size)
            return true;
        if (size > m_tableOffset - at)
            return false;
        const quint64 ahead = m_window.readsTo > at ? std::min(WindowBytes, m_window.readsTo - at) : 0;
        const quint64 length = std::min(std::max(size, ahead), m_tableOffset - at);
        // Room to read each key about twice over: keys far apart, read a
        // window each, give up sooner than they would cost.
        const quint64 budget = 2 * (m_unread.end - m_unread.begin) + (quint64(1) << 20);
        if (length > budget - m_window.read)
            return false;
        m_window.read += length;
        if (length > m_window.capacity) {
            m_window.bytes = std::make_unique_for_overwrite<uchar[]>(length);
            m_window.capacity = length;
        }
        m_window.size = 0;
        if (!readFully(m_unread.file, m_window.bytes.get(), length, at))
            return false;
        m_window.begin = at;
        m_window.size = length;
        return size <= length;
    }

    // Before chunk [first, end) of the top-level keys is made: how far its
    // windows read ahead: to its last key's object, and a little on (keys
    // in the file's order end there; others cost more windows).
    void windowReadsToChunk(const ObjectHeader &top, quint64 end)
    {
        const quint64 ref = bigEndian(top.payload + (end - 1) * m_refWidth, m_refWidth);
        m_window.readsTo =
            ref < m_objectCount ? bigEndian(m_tableOffset + ref * m_offsetWidth, m_offsetWidth) + 1024 : 0;
    }

    // Entry i's value of the top-level dictionary: a container checked in
    // full (by checkValuesInOrder() when its chunk was, else here) and
    // deferred, a scalar made; *nodes adds what it expands to. Needs
    // startValueChecks().
    bool topLevelValue(const ObjectHeader &top, quint64 i, const PropertyListValue::DocumentReference &document,
                       PropertyListValue *value, quint64 *nodes, PropertyListValue::DeferredBlocks *blocks)
    {
        const quint64 valueAt = top.payload + (top.count + i) * m_refWidth;
        const quint64 valueRef = bigEndian(valueAt, m_refWidth);
        const auto deferred = [&](uchar type, int height) {
            *value = PropertyListValue::deferred(
                type == TypeDictionary ? PropertyListValue::Kind::Dictionary : PropertyListValue::Kind::Array, height,
                document, qsizetype(valueRef), qsizetype(valueRef) + 1, blocks);
        };
        quint64 valueNodes = 1;
        ObjectHeader h;
        const InOrderFigures *figures = valueRef >= m_inOrder.from && valueRef < m_inOrder.to
                                            ? &m_inOrder.figures[valueRef - m_inOrder.from]
                                            : nullptr;
        if (figures && isContainer(figures->type)) {
            // At depth 2, its deepest value lies at 1 + its height.
            if (figures->height >= quint32(PropertyListMaximumDepth))
                return false;
            valueNodes = figures->nodes;
            deferred(figures->type, int(figures->height));
        } else if (valueRef >= m_objectCount || !readHeaderInline(valueRef, valueAt, &h)) {
            return false;
        } else if (isContainer(h)) {
            int valueHeight = 1;
            startCheckTable();
            if (!checkObject(valueRef, 2, &valueNodes, &valueHeight, h))
                return false;
            deferred(h.type, valueHeight);
        } else {
            if (touchesUnread(h.offset, objectEnd(h)))
                m_touchedUnread = true;
            if (!decodeScalar(h, value))
                return false;
        }
        *nodes = valueNodes > m_expansionLimit - *nodes ? m_expansionLimit + 1 : *nodes + valueNodes;
        return *nodes <= m_expansionLimit;
    }

    // The top-level dictionary while it is read: the map a dictionary keeps
    // (taken over whole at the end), into which keys and values move.
    using TopLevelEntries = std::map<QString, PropertyListValue>;

    // Adds a top-level entry and answers where its value is kept; null for a
    // key met before (the read then fails). Keys written in order go in at
    // the end after one comparison, the hint's.
    static PropertyListValue *insertTopLevel(TopLevelEntries &dictionary, QString &&key, PropertyListValue &&value)
    {
        const size_t before = dictionary.size();
        const auto at = dictionary.emplace_hint(dictionary.cend(), std::move(key), std::move(value));
        return dictionary.size() != before ? &at->second : nullptr;
    }

    // readTopLevelOnUse() on two threads. The entries are taken in chunks:
    // the second thread checks and makes values, a chunk at a time, while
    // this one makes keys and puts them in the dictionary in order. A chunk
    // of keys is made by whichever thread claims it first: this one claims
    // the next whenever the one it is to put in next is not made yet, the
    // second thread once no values are left to claim. This thread checks
    // values too when no keys are left to make (each thread with a reader of
    // its own). A value made before its key goes in moves in with it; the
    // rest are put in place as they are made. The first to fail stops the
    // other.
    PropertyListValue readTopLevelOnUseInTwo(const PropertyListValue::DocumentReference &document,
                                             const ObjectHeader &top)
    {
        BinaryReader helper(document->bytes, m_source, m_cacheKind);
        if (!helper.readTrailer())
            return {};
        helper.m_unread = m_unread;
        const size_t count = size_t(top.count);
        constexpr size_t Chunk = TopLevelChunk;
        const size_t chunkCount = (count + Chunk - 1) / Chunk;
        // The values, each made in place by the thread that checks it: their
        // memory is first written there, not here before either thread has
        // started (about 1 ms for 200,000 values).
        struct Values
        {
            Values(size_t count, size_t chunks)
                : at(static_cast<PropertyListValue *>(::operator new(count * sizeof(PropertyListValue)))),
                  made(chunks, 0)
            {}
            ~Values()
            {
                for (size_t c = 0; c < made.size(); ++c)
                    std::destroy_n(at + c * Chunk, made[c]);
                ::operator delete(at);
            }
            Values(const Values &) = delete;
            Values &operator=(const Values &) = delete;
            PropertyListValue *const at;
            std::vector<size_t> made; // of chunk c, values [0, made[c]) are constructed
        } values(count, chunkCount);
        std::atomic<bool> failed = false;
        struct EntryChunk
        {
            std::vector<QString> keys;
            bool keysByHelper = false; // made on the second thread (and in its memory)
            std::atomic<bool> keysMade = false;
            std::atomic<bool> valuesMade = false;
        };
        std::vector<EntryChunk> chunks(chunkCount);
        std::atomic<size_t> keysUnclaimed = 0;   // the first chunk whose keys nobody has claimed
        std::atomic<size_t> valuesUnclaimed = 0; // the same for values
        // Makes chunk c's keys with `reader`; false when one would not read.
        const auto makeKeys = [&](BinaryReader &reader, size_t c, StringBlocks *blocks) {
            std::vector<QString> &keys = chunks[c].keys;
            const size_t end = std::min(count, (c + 1) * Chunk);
            keys.reserve(end - c * Chunk);
            if (reader.leftOut())
                reader.windowReadsToChunk(top, end);
            for (size_t i = c * Chunk; i < end; ++i) {
                if (!reader.topLevelKey(top, i, blocks, &keys.emplace_back()))
                    return false;
            }
            chunks[c].keysByHelper = &reader != this;
            chunks[c].keysMade.store(true, std::memory_order_release);
            return true;
        };
        // What a thread checking values keeps: its reader, started on first
        // use, the values it has counted and where it makes them.
        struct ValueMaker
        {
            explicit ValueMaker(BinaryReader &reader) : reader(reader) {}
            BinaryReader &reader;
            bool started = false;
            quint64 nodes = 1;
            PropertyListValue::DeferredBlocks blocks;
        };
        // Claims a chunk of values and makes them; false when none was left
        // or one would not read (`failed` then says so).
        const auto makeValues = [&](ValueMaker &maker) {
            const size_t c = valuesUnclaimed.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunkCount || failed.load(std::memory_order_relaxed))
                return false;
            if (!maker.started) {
                maker.reader.startValueChecks();
                maker.started = true;
            }
            const size_t end = std::min(count, (c + 1) * Chunk);
            maker.reader.checkValuesInOrder(top, c * Chunk, end);
            for (size_t i = c * Chunk; i < end; ++i) {
                new (values.at + i) PropertyListValue();
                values.made[c] = i + 1 - c * Chunk;
                if (!maker.reader.topLevelValue(top, i, document, &values.at[i], &maker.nodes, &maker.blocks)) {
                    failed = true;
                    return false;
                }
            }
            chunks[c].valuesMade.store(true, std::memory_order_release);
            return true;
        };
        ValueMaker helperValues(helper);
        std::thread helperThread([&] {
            while (makeValues(helperValues)) {
            }
            StringBlocks keyBlocks;
            for (size_t c; !failed.load(std::memory_order_relaxed)
                           && (c = keysUnclaimed.fetch_add(1, std::memory_order_relaxed)) < chunkCount;) {
                if (!makeKeys(helper, c, &keyBlocks))
                    failed = true;
            }
        });

        ValueMaker ownValues(*this);
        TopLevelEntries dictionary;
        StringBlocks keyBlocks;
        std::vector<std::pair<size_t, PropertyListValue *>> late; // entries in before their values were made
        size_t placed = 0;                                        // late values put in place
        // Puts in place the late values made since, in order, up to the first
        // not made yet (after the join, all of them).
        const auto placeLateValues = [&] {
            for (;
                 placed < late.size() && chunks[late[placed].first / Chunk].valuesMade.load(std::memory_order_acquire);
                 ++placed)
                *late[placed].second = std::move(values.at[late[placed].first]);
        };
        for (size_t c = 0; c < chunkCount && !failed.load(std::memory_order_relaxed);) {
            if (!chunks[c].keysMade.load(std::memory_order_acquire)) {
                const size_t claimed = keysUnclaimed.fetch_add(1, std::memory_order_relaxed);
                if (claimed < chunkCount) {
                    if (!makeKeys(*this, claimed, &keyBlocks))
                        failed = true;
                } else if (!makeValues(ownValues)) {
                    std::this_thread::yield(); // the second thread is making chunk c's keys
                }
                continue;
            }
            // The chunk's keys were made before they go in, so that the
            // dictionary's nodes lie together (a walk through the keys then
            // reads memory in order). A list the second thread made is freed
            // once it has stopped: freeing it now would take the lock on its
            // memory while it allocates, and each thread would wait in turn.
            std::vector<QString> keys = std::move(chunks[c].keys);
            const size_t first = c * Chunk;
            const bool valuesMade = chunks[c].valuesMade.load(std::memory_order_acquire);
            for (size_t k = 0; k < keys.size(); ++k) {
                const size_t i = first + k;
                PropertyListValue *const place = insertTopLevel(
                    dictionary, std::move(keys[k]), valuesMade ? std::move(values.at[i]) : PropertyListValue());
                if (!place) {
                    failed = true;
                    break;
                }
                if (!valuesMade)
                    late.emplace_back(i, place);
            }
            if (chunks[c].keysByHelper)
                chunks[c].keys = std::move(keys);
            placeLateValues();
            ++c;
        }
        // The keys are in: the values left to check are shared out.
        while (makeValues(ownValues)) {
        }
        helperThread.join();
        if (failed || m_failed || helper.m_failed || m_touchedUnread || helper.m_touchedUnread)
            return {};
        // Both threads' counts together (the top dictionary counted once)
        // keep to the limit a single reader keeps to.
        if (helperValues.nodes + ownValues.nodes - 1 > m_expansionLimit)
            return {};
        // The pages either thread's values need are kept.
        if (helperValues.started && ownValues.started) {
            for (size_t w = 0; w < helper.m_neededPages.size() && w < m_neededPages.size(); ++w)
                helper.m_neededPages[w] |= m_neededPages[w];
        }
        noteUnneededPages(helperValues.started ? helper : *this, document);
        placeLateValues();
        return PropertyListValue::fromDictionary(PropertyListDictionary(std::move(dictionary)));
    }

    struct Frame
    {
        quint64 ref = 0;
        bool isDictionary = false;
        quint64 count = 0;
        quint64 refs = 0; // offset of the first object reference
        quint64 next = 0; // next element or entry to read
        PropertyListArray array;
        PropertyListDictionary dictionary;
        QString key; // of the entry being read
        bool haveKey = false;
        quint64 nodes = 1;
        int height = 1;
    };

    // fail() with a message made only when it is needed, out of the way of
    // the checks that pass (a hot path then stays small).
    template<typename Message>
    [[gnu::cold, gnu::noinline]] bool failWith(quint64 offset, Message &&message)
    {
        return fail(offset, message());
    }

    bool fail(quint64 offset, const QString &what)
    {
        if (!m_failed) {
            m_failed = true;
            m_error = QStringLiteral("%1: byte offset %2: %3").arg(m_source).arg(offset).arg(what);
        }
        return false;
    }

    // Big-endian unsigned integer of 1 to 8 bytes; the caller has checked
    // that the bytes lie inside the input.
    [[gnu::always_inline]] quint64 bigEndian(quint64 at, int width) const
    {
        if (at + 8 <= m_size) {
            // One load of eight bytes (those past the number are inside the
            // input too), shifted down to the number's width.
            return qFromBigEndian<quint64>(m_data + at) >> (8 * (8 - width));
        }
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | m_data[at + quint64(i)];
        return v;
    }

    bool readTrailer()
    {
        if (m_size < 6 || std::memcmp(m_data, "bplist", 6) != 0)
            return fail(0, QStringLiteral("not a binary property list"));
        if (m_size < headerSize || std::memcmp(m_data, "bplist00", 8) != 0)
            return fail(6, QStringLiteral("unsupported binary property-list version \"%1\" (only \"00\" is read)")
                               .arg(QString::fromLatin1(reinterpret_cast<const char *>(m_data) + 6,
                                                        int(std::min<quint64>(2, m_size - 6)))));
        if (m_size < headerSize + 1 + trailerSize)
            return fail(
                m_size,
                QStringLiteral("the input ends before the 32-byte trailer (it is only %1 bytes long)").arg(m_size));
        const quint64 trailer = m_size - trailerSize;
        m_offsetWidth = m_data[trailer + 6];
        m_refWidth = m_data[trailer + 7];
        m_objectCount = bigEndian(trailer + 8, 8);
        m_topObject = bigEndian(trailer + 16, 8);
        m_tableOffset = bigEndian(trailer + 24, 8);
        if (m_offsetWidth < 1 || m_offsetWidth > 8)
            return fail(trailer + 6,
                        QStringLiteral("offset-table entries are %1 bytes wide; expected 1 to 8").arg(m_offsetWidth));
        if (m_refWidth < 1 || m_refWidth > 8)
            return fail(trailer + 7,
                        QStringLiteral("object references are %1 bytes wide; expected 1 to 8").arg(m_refWidth));
        if (m_objectCount == 0)
            return fail(trailer + 8, QStringLiteral("the trailer says the file holds no objects"));
        if (m_topObject >= m_objectCount)
            return fail(trailer + 16, QStringLiteral("the top object is number %1, but there are only %2 objects")
                                          .arg(m_topObject)
                                          .arg(m_objectCount));
        if (m_tableOffset < headerSize + 1 || m_tableOffset > trailer)
            return fail(trailer + 24, QStringLiteral("the offset table is said to start at byte %1, outside the "
                                                     "object area (bytes 9 to %2)")
                                          .arg(m_tableOffset)
                                          .arg(trailer));
        if (m_objectCount > (trailer - m_tableOffset) / m_offsetWidth)
            return fail(trailer + 8, QStringLiteral("an offset table of %1 entries of %2 bytes does not fit between "
                                                    "byte %3 and the trailer")
                                         .arg(m_objectCount)
                                         .arg(m_offsetWidth)
                                         .arg(m_tableOffset));
        // Object references must be able to name every object.
        if (m_refWidth < 8 && m_objectCount - 1 > (quint64(1) << (8 * m_refWidth)) - 1)
            return fail(trailer + 7, QStringLiteral("%1-byte object references cannot name all %2 objects")
                                         .arg(m_refWidth)
                                         .arg(m_objectCount));
        m_expansionLimit = std::max(minimumExpansionLimit, m_objectCount > std::numeric_limits<quint64>::max() / 4
                                                               ? std::numeric_limits<quint64>::max()
                                                               : m_objectCount * 4);
        return true;
    }

    // The header of object `ref`, read from the offset table; `from` is where
    // the reference was found (for messages).
    bool readHeader(quint64 ref, quint64 from, ObjectHeader *h) { return readHeaderInline(ref, from, h); }

    // readHeader(), made inline where objects are read one after another.
    [[gnu::always_inline]] bool readHeaderInline(quint64 ref, quint64 from, ObjectHeader *h)
    {
        if (ref >= m_objectCount)
            return failWith(from, [&] {
                return QStringLiteral("reference to object %1, but there are only %2 objects")
                    .arg(ref)
                    .arg(m_objectCount);
            });
        const quint64 entry = m_tableOffset + ref * m_offsetWidth; // fits: checked in readTrailer
        const quint64 offset = bigEndian(entry, m_offsetWidth);
        if (offset < headerSize || offset >= m_tableOffset)
            return failWith(entry, [&] {
                return QStringLiteral("object %1 is said to start at byte %2, outside the object area "
                                      "(bytes 8 to %3)")
                    .arg(ref)
                    .arg(offset)
                    .arg(m_tableOffset - 1);
            });
        h->offset = offset;
        const uchar marker = m_data[offset];
        h->type = marker >> 4;
        h->info = marker & 0xf;
        h->payload = offset + 1;

        quint64 unit = 0; // bytes per counted element
        switch (h->type) {
        case TypeData:
        case TypeAsciiString: unit = 1; break;
        case TypeUtf16String: unit = 2; break;
        case TypeArray: unit = m_refWidth; break;
        case TypeDictionary: unit = 2 * quint64(m_refWidth); break;
        default: return true;
        }
        h->count = h->info;
        if (h->info == 0xf) {
            // The count is an integer object right after the marker.
            if (offset + 2 > m_tableOffset)
                return failWith(offset + 1, [&] { return QStringLiteral("the object's size is cut off"); });
            const uchar countMarker = m_data[offset + 1];
            if ((countMarker >> 4) != TypeInteger || (countMarker & 0xf) > 3)
                return failWith(offset + 1, [&] {
                    return QStringLiteral("expected an integer giving the object's size, found marker "
                                          "0x%1")
                        .arg(countMarker, 2, 16, QLatin1Char('0'));
                });
            const int width = 1 << (countMarker & 0xf);
            if (offset + 2 + quint64(width) > m_tableOffset)
                return failWith(offset + 1, [&] { return QStringLiteral("the object's size is cut off"); });
            h->count = bigEndian(offset + 2, width);
            if (width == 8 && h->count > quint64(std::numeric_limits<qint64>::max()))
                return failWith(offset + 2, [&] { return QStringLiteral("the object's size is negative"); });
            h->payload = offset + 2 + quint64(width);
        }
        // count * unit beyond the bytes left (a product: cheaper than a
        // division, for a check made for nearly every object).
        quint64 bytes;
        if (__builtin_mul_overflow(h->count, unit, &bytes) || bytes > m_tableOffset - h->payload)
            return failWith(offset, [&] {
                return QStringLiteral("an object of %1 %2 does not fit before the offset table at byte %3")
                    .arg(h->count)
                    .arg(h->type == TypeArray         ? QStringLiteral("elements")
                         : h->type == TypeDictionary  ? QStringLiteral("entries")
                         : h->type == TypeUtf16String ? QStringLiteral("characters")
                                                      : QStringLiteral("bytes"))
                    .arg(m_tableOffset);
            });
        return true;
    }

    bool needBytes(const ObjectHeader &h, quint64 bytes)
    {
        if (bytes > m_tableOffset - h.payload)
            return failWith(h.offset, [&] {
                return QStringLiteral("the object's %1 bytes run past the offset table at byte %2")
                    .arg(bytes)
                    .arg(m_tableOffset);
            });
        return true;
    }

    static bool isContainer(uchar type) { return type == TypeArray || type == TypeDictionary; }
    static bool isContainer(const ObjectHeader &h) { return isContainer(h.type); }

    // Decodes an object that is not an array or dictionary.
    bool decodeScalar(const ObjectHeader &h, PropertyListValue *out)
    {
        switch (h.type) {
        case TypeSimple:
            switch (h.info) {
            case 0x8: *out = PropertyListValue::fromBoolean(false); return true;
            case 0x9: *out = PropertyListValue::fromBoolean(true); return true;
            case 0x0: return fail(h.offset, QStringLiteral("null objects are not supported"));
            case 0xf: return fail(h.offset, QStringLiteral("fill bytes are not an object"));
            default:
                return fail(h.offset,
                            QStringLiteral("unknown object marker 0x%1").arg(h.info, 2, 16, QLatin1Char('0')));
            }
        case TypeInteger: {
            if (h.info > 4)
                return fail(h.offset,
                            QStringLiteral("integers of %1 bytes are not supported").arg(quint64(1) << h.info));
            const int width = 1 << h.info;
            if (!needBytes(h, quint64(width)))
                return false;
            if (width < 8) {
                *out = PropertyListValue::fromInteger(qint64(bigEndian(h.payload, width)));
            } else if (width == 8) {
                *out = PropertyListValue::fromInteger(qint64(bigEndian(h.payload, 8)));
            } else {
                // 16 bytes, two's complement: values from -2^63 to 2^64 - 1.
                const quint64 high = bigEndian(h.payload, 8);
                const quint64 low = bigEndian(h.payload + 8, 8);
                if (high == 0)
                    *out = PropertyListValue::fromUnsignedInteger(low);
                else if (high == std::numeric_limits<quint64>::max() && (low >> 63) == 1)
                    *out = PropertyListValue::fromInteger(qint64(low));
                else
                    return fail(h.offset, QStringLiteral("a 16-byte integer outside the range -2^63 to 2^64 - 1"));
            }
            return true;
        }
        case TypeReal:
            if (h.info == 2) {
                if (!needBytes(h, 4))
                    return false;
                const quint32 bits = quint32(bigEndian(h.payload, 4));
                float f;
                std::memcpy(&f, &bits, sizeof f);
                *out = PropertyListValue::fromReal(double(f));
                return true;
            }
            if (h.info == 3) {
                if (!needBytes(h, 8))
                    return false;
                *out = PropertyListValue::fromReal(readDouble(h.payload));
                return true;
            }
            return fail(h.offset, QStringLiteral("reals of %1 bytes are not supported").arg(quint64(1) << h.info));
        case TypeDate: {
            if (h.info != 3)
                return fail(h.offset, QStringLiteral("unknown object marker 0x%1").arg(0x30 | h.info, 2, 16));
            if (!needBytes(h, 8))
                return false;
            const double seconds = readDouble(h.payload);
            // Dates from year 1 to 9999 (about ±2.5e11 seconds from 2001).
            if (!std::isfinite(seconds) || std::fabs(seconds) > 4.0e11)
                return fail(h.offset, QStringLiteral("the date is out of range"));
            const double msecs = std::floor((seconds + dateEpochOffset) * 1000.0 + 0.5);
            const QDateTime date = QDateTime::fromMSecsSinceEpoch(qint64(msecs), Qt::UTC);
            if (!date.isValid() || date.date().year() < 1 || date.date().year() > 9999)
                return fail(h.offset, QStringLiteral("the date is outside the years 1 to 9999"));
            *out = PropertyListValue::fromDate(date);
            return true;
        }
        case TypeData:
            *out = PropertyListValue::fromData(
                QByteArray(reinterpret_cast<const char *>(m_data + h.payload), qsizetype(h.count)));
            return true;
        case TypeAsciiString: {
            const uchar *p = m_data + h.payload;
            for (quint64 i = 0; i < h.count; ++i) {
                if (p[i] >= 0x80)
                    return fail(h.payload + i,
                                QStringLiteral("byte 0x%1 in an ASCII string").arg(p[i], 2, 16, QLatin1Char('0')));
            }
            *out = PropertyListValue::fromString(
                QString::fromLatin1(reinterpret_cast<const char *>(p), qsizetype(h.count)));
            return true;
        }
        case TypeUtf16String: {
            QString s(qsizetype(h.count), Qt::Uninitialized);
            char16_t *d = reinterpret_cast<char16_t *>(s.data());
            const uchar *p = m_data + h.payload;
            for (quint64 i = 0; i < h.count; ++i)
                d[i] = char16_t((p[2 * i] << 8) | p[2 * i + 1]);
            *out = PropertyListValue::fromString(std::move(s));
            return true;
        }
        case TypeUid:
            return fail(h.offset, QStringLiteral("UID objects (archived object references) are not supported"));
        case TypeOrderedSet:
        case TypeSet: return fail(h.offset, QStringLiteral("set objects are not supported"));
        default:
            return fail(
                h.offset,
                QStringLiteral("unknown object marker 0x%1").arg((h.type << 4) | h.info, 2, 16, QLatin1Char('0')));
        }
    }

    double readDouble(quint64 at) const
    {
        const quint64 bits = bigEndian(at, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    // Opens a frame for a container object, refusing cycles and depth.
    bool pushContainer(quint64 ref, const ObjectHeader &h, int depth)
    {
        if (depth > PropertyListMaximumDepth)
            return fail(h.offset,
                        QStringLiteral("values are nested deeper than %1 levels").arg(PropertyListMaximumDepth));
        if (m_open.contains(ref))
            return fail(h.offset, QStringLiteral("object %1 contains itself").arg(ref));
        m_open.insert(ref);
        Frame frame;
        frame.ref = ref;
        frame.isDictionary = h.type == TypeDictionary;
        frame.count = h.count;
        frame.refs = h.payload;
        if (!frame.isDictionary)
            frame.array.reserve(qsizetype(std::min<quint64>(h.count, 1u << 20)));
        m_stack.push_back(std::move(frame));
        return true;
    }

    // The cache of decoded objects: a table indexed by object number when
    // the file has few enough objects, else a hash of the objects reached.
    bool cached(quint64 ref, Decoded *out) const
    {
        if (!m_table.empty()) {
            if (m_table[ref].value.isNone())
                return false;
            *out = m_table[ref];
            return true;
        }
        const auto it = m_cache.constFind(ref);
        if (it == m_cache.constEnd())
            return false;
        *out = *it;
        return true;
    }

    void store(quint64 ref, const Decoded &decoded)
    {
        if (!m_table.empty())
            m_table[ref] = decoded;
        else
            m_cache.insert(ref, decoded);
    }

    // Resolves object `ref` found at `from` for a value at `depth`: a cached
    // or scalar object lands in *out; a container not yet decoded opens a
    // frame (*opened is then true).
    bool resolve(quint64 ref, quint64 from, int depth, Decoded *out, bool *opened)
    {
        *opened = false;
        if (ref >= m_objectCount)
            return fail(
                from,
                QStringLiteral("reference to object %1, but there are only %2 objects").arg(ref).arg(m_objectCount));
        if (cached(ref, out)) {
            if (depth - 1 + out->height > PropertyListMaximumDepth)
                return fail(from,
                            QStringLiteral("values are nested deeper than %1 levels").arg(PropertyListMaximumDepth));
            return true;
        }
        ObjectHeader h;
        if (!readHeader(ref, from, &h))
            return false;
        if (isContainer(h)) {
            if (!pushContainer(ref, h, depth))
                return false;
            *opened = true;
            return true;
        }
        if (depth > PropertyListMaximumDepth)
            return fail(h.offset,
                        QStringLiteral("values are nested deeper than %1 levels").arg(PropertyListMaximumDepth));
        Decoded decoded;
        if (!decodeScalar(h, &decoded.value))
            return false;
        store(ref, decoded);
        *out = std::move(decoded);
        return true;
    }

    // Adds a decoded child to the frame on top of the stack.
    bool addChild(Decoded child, quint64 from)
    {
        Frame &frame = m_stack.back();
        frame.nodes = child.nodes > m_expansionLimit - frame.nodes ? m_expansionLimit + 1 : frame.nodes + child.nodes;
        if (frame.nodes > m_expansionLimit)
            return fail(from, QStringLiteral("the shared objects expand to more than %1 values").arg(m_expansionLimit));
        frame.height = std::max(frame.height, child.height + 1);
        if (frame.isDictionary) {
            frame.dictionary.insert(std::move(frame.key), std::move(child.value));
            frame.key = QString();
            frame.haveKey = false;
        } else
            frame.array.append(std::move(child.value));
        return true;
    }

    PropertyListValue decodeObject(quint64 ref, quint64 from)
    {
        Decoded top;
        bool opened = false;
        if (!resolve(ref, from, 1, &top, &opened))
            return {};
        if (!opened)
            return top.value;

        while (!m_stack.empty()) {
            Frame &frame = m_stack.back();
            if (frame.next == frame.count) {
                // Finished: close the frame and hand the value to its parent.
                Decoded done;
                done.value = frame.isDictionary ? PropertyListValue::fromDictionary(std::move(frame.dictionary))
                                                : PropertyListValue::fromArray(std::move(frame.array));
                done.nodes = frame.nodes;
                done.height = frame.height;
                const quint64 ref = frame.ref;
                m_open.remove(ref);
                store(ref, done);
                m_stack.pop_back();
                if (m_stack.empty())
                    return done.value;
                if (!addChild(std::move(done), m_stack.back().refs))
                    return {};
                ++m_stack.back().next;
                continue;
            }

            const int childDepth = int(m_stack.size()) + 1;
            quint64 valueAt;
            if (frame.isDictionary) {
                const quint64 keyAt = frame.refs + frame.next * m_refWidth;
                valueAt = frame.refs + (frame.count + frame.next) * m_refWidth;
                // The key is read once per entry; a value that opens a frame
                // comes back here when it is done, with the key kept.
                if (!frame.haveKey) {
                    ObjectHeader kh;
                    const quint64 keyRef = bigEndian(keyAt, m_refWidth);
                    if (!readHeader(keyRef, keyAt, &kh))
                        return {};
                    if (kh.type != TypeAsciiString && kh.type != TypeUtf16String) {
                        fail(keyAt, QStringLiteral("dictionary key (object %1) is not a string").arg(keyRef));
                        return {};
                    }
                    Decoded key;
                    bool keyOpened = false;
                    if (!resolve(keyRef, keyAt, childDepth, &key, &keyOpened))
                        return {};
                    QString keyText = key.value.string();
                    if (frame.dictionary.contains(keyText)) {
                        fail(keyAt, QStringLiteral("the key \"%1\" appears twice in one dictionary").arg(keyText));
                        return {};
                    }
                    frame.key = std::move(keyText);
                    frame.haveKey = true;
                }
            } else {
                valueAt = frame.refs + frame.next * m_refWidth;
            }
            const quint64 childRef = bigEndian(valueAt, m_refWidth);
            Decoded child;
            bool childOpened = false;
            if (!resolve(childRef, valueAt, childDepth, &child, &childOpened))
                return {};
            if (childOpened)
                continue; // the new frame is on top now
            if (!addChild(std::move(child), valueAt))
                return {};
            ++frame.next;
        }
        return {};
    }

    // --- Checking without making values ------------------------------------
    // Whether every object would decode is found by the same rules as
    // decoding, without building any value: a failed check only sends the
    // document to the whole reader, which finds the same fault and names it.

    enum CheckMark : uchar { CheckUnseen, CheckOpen, CheckDone };
    // A file of 512 MiB holds under 2^29 objects, so the expansion limit and
    // any count capped at it fit in 32 bits.
    struct CheckState
    {
        quint32 nodes = 0;
        quint16 height = 0;
        CheckMark mark = CheckUnseen;
        bool isString = false; // a string, checked (CheckDone)
    };

    // A CheckState in the two bytes an object of m_checks: the mark (bits 0
    // and 1), isString (bit 2), the height (bits 3 to 6) and the nodes (bits
    // 7 to 15). A done object whose figures do not fit (a height of 0, which
    // no done object has) keeps them in m_largeFigures.
    static constexpr quint32 PackedHeights = 16, PackedNodes = 512;
    static bool fitsPacked(const CheckState &state)
    {
        return state.mark != CheckDone || (state.height < PackedHeights && state.nodes < PackedNodes);
    }
    static quint16 packed(const CheckState &state, bool fits)
    {
        return quint16(state.mark | (state.isString << 2) | (fits ? (state.height << 3) | (state.nodes << 7) : 0));
    }

    // A container being checked by checkObject().
    struct CheckFrame
    {
        quint64 ref;
        ObjectHeader h;
        int depth;
        quint64 next = 0;
        quint64 nodes = 1;
        int height = 1;
    };

    // The state of object `ref`: from the table when it is packed there (the
    // usual case, inline), else from the hashes (out of line).
    CheckState checkState(quint64 ref) const
    {
        if (!m_checks.empty()) {
            const quint16 bits = m_checks[ref];
            const CheckState state{quint32(bits >> 7), quint16((bits >> 3) & 15), CheckMark(bits & 3), bool(bits & 4)};
            if (state.mark != CheckDone || state.height != 0)
                return state;
        }
        return checkStateKeptApart(ref);
    }
    [[gnu::noinline]] CheckState checkStateKeptApart(quint64 ref) const
    {
        if (m_checks.empty())
            return m_checkHash.value(ref);
        const quint16 bits = m_checks[ref];
        const std::pair<quint32, quint16> figures = m_largeFigures.value(ref);
        return {figures.first, figures.second, CheckMark(bits & 3), bool(bits & 4)};
    }
    void setCheck(quint64 ref, CheckState state)
    {
        if (!m_checks.empty() && fitsPacked(state))
            m_checks[ref] = packed(state, true);
        else
            setCheckApart(ref, state);
    }
    [[gnu::noinline]] void setCheckApart(quint64 ref, CheckState state)
    {
        if (m_checks.empty()) {
            m_checkHash.insert(ref, state);
            return;
        }
        m_checks[ref] = packed(state, false);
        m_largeFigures.insert(ref, {state.nodes, state.height});
    }

    // Whether a scalar object decodes (as decodeScalar would).
    bool scalarDecodes(const ObjectHeader &h)
    {
        switch (h.type) {
        case TypeSimple: return h.info == 0x8 || h.info == 0x9;
        case TypeInteger: {
            if (h.info > 4 || !needBytes(h, quint64(1) << h.info))
                return false;
            if (h.info < 4)
                return true;
            const quint64 high = bigEndian(h.payload, 8);
            return high == 0 || (high == std::numeric_limits<quint64>::max() && (m_data[h.payload + 8] & 0x80));
        }
        case TypeReal: return (h.info == 2 || h.info == 3) && needBytes(h, quint64(1) << h.info);
        case TypeData:
        case TypeUtf16String: return true;
        case TypeAsciiString: return isAscii(m_data + h.payload, h.count);
        default: {
            // Dates are rare: decode them.
            PropertyListValue value;
            return h.type == TypeDate && decodeScalar(h, &value);
        }
        }
    }

    // Whether all `count` bytes at `p` are below 0x80: their bits or'ed
    // together (a loop the compiler makes wide) have the high bit clear.
    static bool isAscii(const uchar *p, quint64 count)
    {
        uchar bits = 0;
        for (quint64 i = 0; i < count; ++i)
            bits |= p[i];
        return bits < 0x80;
    }

    static bool isString(uchar type) { return type == TypeAsciiString || type == TypeUtf16String; }
    static bool isString(const ObjectHeader &h) { return isString(h.type); }

    // Character i of a string object.
    char16_t charAt(const ObjectHeader &h, quint64 i) const
    {
        if (h.type == TypeAsciiString)
            return m_data[h.payload + i];
        return char16_t((m_data[h.payload + 2 * i] << 8) | m_data[h.payload + 2 * i + 1]);
    }

    bool sameText(const ObjectHeader &a, const ObjectHeader &b) const
    {
        if (a.count != b.count)
            return false;
        if (a.type == b.type)
            return std::memcmp(m_data + a.payload, m_data + b.payload,
                               a.type == TypeAsciiString ? a.count : 2 * a.count)
                   == 0;
        for (quint64 i = 0; i < a.count; ++i) {
            if (charAt(a, i) != charAt(b, i))
                return false;
        }
        return true;
    }

    // The h.count code units of string `h`, written to `out`.
    void writeText(const ObjectHeader &h, char16_t *out) const
    {
        if (h.type == TypeAsciiString) {
            const uchar *in = m_data + h.payload;
            for (quint64 i = 0; i < h.count; ++i)
                out[i] = in[i];
        } else {
            for (quint64 i = 0; i < h.count; ++i)
                out[i] = charAt(h, i);
        }
    }

    // The text of a string object.
    QString textOf(const ObjectHeader &h) const
    {
        if (h.type == TypeAsciiString)
            return QString::fromLatin1(reinterpret_cast<const char *>(m_data + h.payload), qsizetype(h.count));
        QString s(qsizetype(h.count), Qt::Uninitialized);
        writeText(h, reinterpret_cast<char16_t *>(s.data()));
        return s;
    }

    bool keyText(quint64 ref, QString *out)
    {
        ObjectHeader h;
        if (!readHeader(ref, 0, &h) || !isString(h))
            return false;
        *out = textOf(h);
        return true;
    }

    // Whether object `ref` is a string that decodes as a key at `depth`.
    bool checkKey(quint64 ref, int depth)
    {
        if (ref >= m_objectCount || depth > PropertyListMaximumDepth)
            return false;
        const CheckState state = checkState(ref);
        if (state.mark == CheckDone)
            return state.isString; // checked before, as a key or as a value
        ObjectHeader h;
        if (!readHeader(ref, 0, &h) || !isString(h) || !scalarDecodes(h))
            return false;
        setCheck(ref, {1, 1, CheckDone, true});
        markNeeded(h);
        return true;
    }

    // Whether a scalar is checked without keeping its state: one whose check
    // costs little and the same each time (a date is made to be checked, and
    // a long ASCII string read through).
    static bool checkedInPlace(const ObjectHeader &h)
    {
        switch (h.type) {
        case TypeSimple:
        case TypeInteger:
        case TypeReal:
        case TypeData:
        case TypeUtf16String: return true;
        case TypeAsciiString: return h.count <= 64;
        default: return false;
        }
    }

    // Whether the dictionary refers to the very key objects of the last
    // dictionary whose keys were checked and found distinct (dictionaries of
    // one shape often do): its keys are then strings and distinct too.
    bool sameKeysAsLastDistinct(const ObjectHeader &dictionary) const
    {
        return dictionary.count > 1 && dictionary.count == m_lastDistinctCount
               && std::memcmp(m_data + dictionary.payload, m_data + m_lastDistinctKeys,
                              dictionary.count * quint64(m_refWidth))
                      == 0;
    }

    // Whether the dictionary's keys (checked already) hold no two equal ones.
    bool keysDistinct(const ObjectHeader &dictionary)
    {
        const quint64 count = dictionary.count;
        const auto keyRef = [&](quint64 i) { return bigEndian(dictionary.payload + i * m_refWidth, m_refWidth); };
        const auto remember = [&] {
            m_lastDistinctCount = count;
            m_lastDistinctKeys = dictionary.payload;
            return true;
        };
        if (count <= 16) {
            ObjectHeader keys[16];
            for (quint64 i = 0; i < count; ++i) {
                const quint64 ref = keyRef(i);
                for (quint64 j = 0; j < i; ++j) {
                    if (keyRef(j) == ref)
                        return false;
                }
                readHeader(ref, 0, &keys[i]);
                for (quint64 j = 0; j < i; ++j) {
                    if (sameText(keys[i], keys[j]))
                        return false;
                }
            }
            return remember();
        }
        QSet<QString> seen;
        seen.reserve(qsizetype(count));
        for (quint64 i = 0; i < count; ++i) {
            QString key;
            keyText(keyRef(i), &key);
            if (seen.contains(key))
                return false;
            seen.insert(std::move(key));
        }
        return remember();
    }

    // --- Checking a chunk's values in the order they lie -----------------
    // Writers lay a value's objects out after it, each container before
    // what it holds, and the values one after another: the values of
    // entries [first, end) then hold objects [their first value, the next
    // chunk's first value), with objects met before (shared keys and
    // strings) further up. Those objects are checked from the last to the
    // first, each once, a container from the figures of what it holds: no
    // walk, no table of the whole file. It takes only what this order
    // proves sound: a container may hold containers after it in the chunk
    // (so none holds itself), and scalars (one elsewhere only when it costs
    // little to check each time it is met). Anything else, or any fault,
    // leaves the chunk to checkObject(), value by value, which then finds
    // the fault or passes what this does not take.

    // What an object checked in order expands to and its depth().
    struct InOrderFigures
    {
        quint32 nodes;
        quint32 height;
        uchar type; // ObjectType
    };

    // Objects a chunk of values may span, at most, beyond this many for each
    // entry: a chunk of few, large values costs a table no larger than that.
    static constexpr quint64 InOrderObjectsPerEntry = 64;
    static constexpr quint64 InOrderObjectsAtLeast = 1 << 16;

    // Checks the objects the values of entries [first, end) lie among in
    // order, when they lie as above; m_inOrder then holds their figures
    // (else it is empty). A value elsewhere is checked on its own.
    void checkValuesInOrder(const ObjectHeader &top, quint64 first, quint64 end)
    {
        m_inOrder.from = m_inOrder.to = 0;
        const auto valueRef = [&](quint64 i) {
            return bigEndian(top.payload + (top.count + i) * m_refWidth, m_refWidth);
        };
        const quint64 from = valueRef(first);
        const quint64 to = end < top.count ? valueRef(end) : m_objectCount;
        if (from >= to || to > m_objectCount || (m_topObject >= from && m_topObject < to)
            || to - from > InOrderObjectsPerEntry * (end - first) + InOrderObjectsAtLeast)
            return;
        if (m_inOrder.capacity < to - from) {
            m_inOrder.figures = std::make_unique_for_overwrite<InOrderFigures[]>(to - from);
            m_inOrder.capacity = to - from;
        }
        const bool failedBefore = m_failed;
        if (!checkInOrder(from, to)) {
            // Not a fault of the document (yet): checkObject() says.
            if (!failedBefore) {
                m_failed = false;
                m_error.clear();
            }
            return;
        }
        m_inOrder.from = from;
        m_inOrder.to = to;
    }

    // Checks objects [from, to) from the last to the first (see above).
    bool checkInOrder(quint64 from, quint64 to)
    {
        InOrderFigures *const table = m_inOrder.figures.get();
        const auto figures = [&](quint64 ref) -> InOrderFigures & { return table[ref - from]; };
        // A scalar outside the chunk or before its holder, checked where it
        // is met: one whose check costs little (checkedInPlace(), which
        // takes no container). The last few that passed are remembered (the
        // few shared names values of one shape hold).
        const auto scalarApart = [&](quint64 ref, bool asKey) {
            quint64 &passed = m_inOrder.scalarsApart[ref % std::size(m_inOrder.scalarsApart)];
            if (passed == ref + 1 && !asKey)
                return true;
            ObjectHeader h;
            if (!readHeaderInline(ref, 0, &h) || !checkedInPlace(h) || (asKey && !isString(h)) || !scalarDecodes(h))
                return false;
            markNeeded(h);
            passed = ref + 1;
            return true;
        };
        for (quint64 r = to; r-- > from;) {
            // Integers of up to eight bytes and short ASCII strings, most of
            // the scalars, are checked here at once, as readHeaderInline()
            // and scalarDecodes() check them.
            const quint64 offset = bigEndian(m_tableOffset + r * m_offsetWidth, m_offsetWidth);
            if (offset >= headerSize && offset < m_tableOffset) {
                const uchar type = m_data[offset] >> 4, info = m_data[offset] & 0xf;
                if ((type == TypeInteger && info <= 3) || (type == TypeAsciiString && info != 0xf)) {
                    const quint64 size = type == TypeInteger ? quint64(1) << info : info;
                    if (size > m_tableOffset - offset - 1
                        || (type == TypeAsciiString && !isAscii(m_data + offset + 1, size)))
                        return false;
                    markNeeded(offset, offset + 1 + size);
                    figures(r) = {1, 1, type};
                    continue;
                }
            }
            ObjectHeader h;
            if (!readHeaderInline(r, 0, &h))
                return false;
            markNeeded(h);
            if (!isContainer(h)) {
                if (!scalarDecodes(h))
                    return false;
                figures(r) = {1, 1, h.type};
                continue;
            }
            const quint64 refs = h.payload;
            if (h.type == TypeDictionary && !sameKeysAsLastDistinct(h)) {
                for (quint64 i = 0; i < h.count; ++i) {
                    const quint64 key = bigEndian(refs + i * m_refWidth, m_refWidth);
                    if (key > r && key < to ? !isString(figures(key).type) : !scalarApart(key, true))
                        return false;
                }
                if (!keysDistinct(h))
                    return false;
            }
            const quint64 values = refs + (h.type == TypeDictionary ? h.count * quint64(m_refWidth) : 0);
            quint64 nodes = 1;
            quint32 height = 1;
            for (quint64 i = 0; i < h.count; ++i) {
                const quint64 child = bigEndian(values + i * m_refWidth, m_refWidth);
                if (child > r && child < to) {
                    // Both at most the expansion limit: the sum fits.
                    nodes += figures(child).nodes;
                    height = std::max(height, figures(child).height + 1);
                } else {
                    if (!scalarApart(child, false))
                        return false;
                    ++nodes;
                    height = std::max(height, quint32(2));
                }
                if (nodes > m_expansionLimit)
                    return false;
            }
            figures(r) = {quint32(nodes), height, h.type};
        }
        return true;
    }

    // Whether object `ref`, at `depth`, decodes with all it holds; how many
    // values it expands to and its depth() land in *nodes and *height.
    // `header` is ref's header, which the caller has read.
    bool checkObject(quint64 ref, int depth, quint64 *nodes, int *height, const ObjectHeader &header)
    {
        // The containers being checked, innermost last: kept from call to
        // call (a check of each member of a large file would otherwise
        // allocate a stack of its own).
        std::vector<CheckFrame> &stack = m_checkStack;
        stack.clear();
        // Visits object `r`, whose header is `h`, at depth `d`: done at once
        // (scalars, objects checked before) with its figures in *n and
        // *hgt, or opened.
        const auto visit = [&](quint64 r, const ObjectHeader &h, int d, quint64 *n, int *hgt, bool *opened) {
            *opened = false;
            // A scalar checked in place is checked again each time it is
            // met, as if unseen: cheaper than keeping its state.
            const bool kept = !checkedInPlace(h);
            const CheckState state = kept ? checkState(r) : CheckState{};
            if (state.mark == CheckOpen)
                return false; // it contains itself
            if (state.mark == CheckDone) {
                *n = state.nodes;
                *hgt = state.height;
                return d - 1 + *hgt <= PropertyListMaximumDepth;
            }
            if (d > PropertyListMaximumDepth)
                return false;
            if (!isContainer(h)) {
                if (!scalarDecodes(h))
                    return false;
                if (kept)
                    setCheck(r, {1, 1, CheckDone, isString(h)});
                markNeeded(h);
                *n = 1;
                *hgt = 1;
                return true;
            }
            // Keys shared with the last dictionary found distinct are
            // strings and distinct already, where a level below is allowed.
            if (h.type == TypeDictionary && !(d < PropertyListMaximumDepth && sameKeysAsLastDistinct(h))) {
                for (quint64 i = 0; i < h.count; ++i) {
                    if (!checkKey(bigEndian(h.payload + i * m_refWidth, m_refWidth), d + 1))
                        return false;
                }
                if (!keysDistinct(h))
                    return false;
            }
            setCheck(r, {0, 0, CheckOpen});
            markNeeded(h);
            stack.push_back(CheckFrame{r, h, d});
            *opened = true;
            return true;
        };

        bool opened = false;
        if (!visit(ref, header, depth, nodes, height, &opened))
            return false;
        while (opened && !stack.empty()) {
            CheckFrame &frame = stack.back();
            if (frame.next == frame.h.count) {
                const quint64 doneNodes = frame.nodes;
                const int doneHeight = frame.height;
                setCheck(frame.ref, {quint32(doneNodes), quint16(doneHeight), CheckDone});
                stack.pop_back();
                if (stack.empty()) {
                    *nodes = doneNodes;
                    *height = doneHeight;
                    return true;
                }
                CheckFrame &parent = stack.back();
                parent.nodes =
                    doneNodes > m_expansionLimit - parent.nodes ? m_expansionLimit + 1 : parent.nodes + doneNodes;
                if (parent.nodes > m_expansionLimit)
                    return false;
                parent.height = std::max(parent.height, doneHeight + 1);
                ++parent.next;
                continue;
            }
            const quint64 valueAt =
                frame.h.payload
                + (frame.h.type == TypeDictionary ? frame.h.count + frame.next : frame.next) * m_refWidth;
            const quint64 childRef = bigEndian(valueAt, m_refWidth);
            const int childDepth = frame.depth + 1;
            ObjectHeader child;
            if (childRef >= m_objectCount || !readHeaderInline(childRef, 0, &child))
                return false;
            quint64 childNodes = 1;
            int childHeight = 1;
            if (checkedInPlace(child)) {
                // Most members are such scalars: checked here, without a visit.
                if (childDepth > PropertyListMaximumDepth || !scalarDecodes(child))
                    return false;
                markNeeded(child);
            } else {
                bool childOpened = false;
                if (!visit(childRef, child, childDepth, &childNodes, &childHeight, &childOpened))
                    return false;
                if (childOpened)
                    continue;
            }
            CheckFrame &top = stack.back();
            top.nodes = childNodes > m_expansionLimit - top.nodes ? m_expansionLimit + 1 : top.nodes + childNodes;
            if (top.nodes > m_expansionLimit)
                return false;
            top.height = std::max(top.height, childHeight + 1);
            ++top.next;
        }
        return true;
    }

    const uchar *m_data;
    quint64 m_size;
    QString m_source;
    bool m_failed = false;
    QString m_error;

    int m_offsetWidth = 0;
    int m_refWidth = 0;
    quint64 m_objectCount = 0;
    quint64 m_topObject = 0;
    quint64 m_tableOffset = 0;
    quint64 m_expansionLimit = minimumExpansionLimit;

    std::vector<Frame> m_stack;
    QSet<quint64> m_open;            // containers being decoded
    std::vector<Decoded> m_table;    // objects decoded so far, by number
    QHash<quint64, Decoded> m_cache; // the same, for files with very many objects
    ObjectCache m_cacheKind;
    std::vector<CheckFrame> m_checkStack;
    std::vector<quint64> m_neededPages; // one bit a page of memory, from m_firstPage
    int m_pageShift = 0;
    quintptr m_firstPage = 0;
    // The pages left unread ([begin, end) of the buffer) and the file to
    // read them from, whether a value reached into them, and the window of
    // the file's bytes read last.
    struct
    {
        quint64 begin = 0;
        quint64 end = 0;
        int file = -1;
    } m_unread;
    bool m_touchedUnread = false;
    struct
    {
        std::unique_ptr<uchar[]> bytes;
        quint64 capacity = 0;
        quint64 begin = 0; // file bytes [begin, begin + size)
        quint64 size = 0;
        quint64 readsTo = 0; // a read reads ahead to here at most
        quint64 read = 0;    // bytes read into windows so far
    } m_window;
    // The key references of the last dictionary whose keys were found distinct.
    quint64 m_lastDistinctCount = 0;
    quint64 m_lastDistinctKeys = 0;
    bool m_checkTableStarted = false;
    std::vector<quint16> m_checks;                              // objects checked so far, by number, packed()
    QHash<quint64, std::pair<quint32, quint16>> m_largeFigures; // nodes and height too large to pack
    QHash<quint64, CheckState> m_checkHash;                     // the objects checked, for files with very many objects
    // The figures of the chunk's objects [from, to) checked in order.
    struct
    {
        std::unique_ptr<InOrderFigures[]> figures;
        quint64 capacity = 0;
        quint64 from = 0;
        quint64 to = 0;
        quint64 scalarsApart[16] = {}; // by ref % 16: ref + 1 of one checked
    } m_inOrder;
};

// Makes a value deferred by readTopLevelOnUse: object `begin` of the document.
PropertyListValue readDeferredObject(const QByteArray &document, qsizetype begin, qsizetype)
{
    BinaryReader reader(document, QStringLiteral("property list"), ObjectCache::ByReach);
    return reader.readObject(quint64(begin));
}

} // namespace

bool readUnreadBytes(const QByteArray &bytes, UnreadBytes *unread, const QString &source, QString *error)
{
    // The buffer was made for the file's bytes and left unwritten here: its
    // holder hands it over to be written.
    uchar *to = reinterpret_cast<uchar *>(const_cast<char *>(bytes.constData()));
    const bool read = unread->file && unread->end <= bytes.size()
                      && readFully(unread->file->get(), to + unread->begin, quint64(unread->end - unread->begin),
                                   quint64(unread->begin));
    *unread = {};
    if (!read && error)
        *error = source + QLatin1String(": the file was cut short while it was read");
    return read;
}

std::pair<qint64, qint64> binaryTopLevelKeyBytes(int fd, qint64 size)
{
    // The trailer, the top dictionary and its first and last keys, a few
    // bytes each: enough to say where the keys lie if they lie together.
    const auto number = [fd](quint64 at, int width, quint64 *value) {
        uchar bytes[8];
        if (width < 1 || width > 8 || !readFully(fd, bytes, quint64(width), at))
            return false;
        *value = 0;
        for (int i = 0; i < width; ++i)
            *value = (*value << 8) | bytes[i];
        return true;
    };
    uchar head[8], trailer[trailerSize];
    if (size < qint64(headerSize + trailerSize) || !readFully(fd, head, headerSize, 0)
        || std::memcmp(head, "bplist00", headerSize) != 0
        || !readFully(fd, trailer, trailerSize, quint64(size) - trailerSize))
        return {};
    const int offsetWidth = trailer[6], refWidth = trailer[7];
    quint64 objects = 0, topRef = 0, table = 0;
    for (int i = 0; i < 8; ++i) {
        objects = (objects << 8) | trailer[8 + i];
        topRef = (topRef << 8) | trailer[16 + i];
        table = (table << 8) | trailer[24 + i];
    }
    const quint64 tableEnd = quint64(size) - trailerSize;
    if (offsetWidth < 1 || offsetWidth > 8 || refWidth < 1 || refWidth > 8 || table < headerSize || table > tableEnd
        || topRef >= objects || objects > (tableEnd - table) / quint64(offsetWidth))
        return {};
    const auto offsetOf = [&](quint64 ref, quint64 *offset) {
        return number(table + ref * quint64(offsetWidth), offsetWidth, offset) && *offset >= headerSize
               && *offset < table;
    };
    quint64 top = 0, marker = 0, count = 0;
    if (!offsetOf(topRef, &top) || !number(top, 1, &marker) || (marker >> 4) != TypeDictionary)
        return {};
    quint64 payload = top + 1;
    count = marker & 0xf;
    if (count == 0xf) {
        quint64 countMarker = 0;
        if (!number(top + 1, 1, &countMarker) || (countMarker >> 4) != TypeInteger || (countMarker & 0xf) > 3
            || !number(top + 2, 1 << (countMarker & 0xf), &count))
            return {};
        payload = top + 2 + (quint64(1) << (countMarker & 0xf));
    }
    if (!readsTopLevelInTwo(count) || payload > table || count > (table - payload) / (2 * quint64(refWidth)))
        return {};
    quint64 firstKey = 0, lastKey = 0, begin = 0, end = table;
    if (!number(payload, refWidth, &firstKey) || !number(payload + (count - 1) * quint64(refWidth), refWidth, &lastKey)
        || lastKey < firstKey || lastKey >= objects || !offsetOf(firstKey, &begin)
        || (lastKey + 1 < objects && !offsetOf(lastKey + 1, &end)))
        return {};
    const quint64 topEnd = payload + 2 * count * quint64(refWidth);
    if (begin >= end || (begin < topEnd && end > top))
        return {};
    return {qint64(begin), qint64(end)};
}

PropertyListValue readBinaryPropertyList(const QByteArray &bytes, QString *error, const QString &source,
                                         PropertyListReading reading, UnreadBytes *unread)
{
    // The top level with its values made on use; none when anything would
    // not read so (the whole reader then says what).
    const auto readTopLevelOnUse = [&](bool keysFromFile) {
        const PropertyListValue::DocumentReference document =
            PropertyListValue::deferredDocument(bytes, &readDeferredObject, false);
        BinaryReader reader(document->bytes, source);
        if (keysFromFile)
            reader.setUnread(*unread);
        return reader.readTopLevelOnUse(document);
    };
    const bool leftOut = unread && !unread->empty();
    if (leftOut && reading == PropertyListReading::TopLevelOnUse) {
        PropertyListValue value = readTopLevelOnUse(true);
        if (!value.isNone())
            return value;
    }
    // Anything else reads every byte: something but keys lay in the pages
    // left unread, the read failed, or it is read otherwise.
    if (leftOut && !readUnreadBytes(bytes, unread, source, error))
        return {};
    if (reading == PropertyListReading::TopLevelOnUse) {
        PropertyListValue value = readTopLevelOnUse(false);
        if (!value.isNone())
            return value;
    }
    BinaryReader reader(bytes, source);
    return reader.read(error);
}

} // namespace kv::plistdetail
