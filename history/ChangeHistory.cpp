#include "history/ChangeHistory.h"

#include "platform/SaveFile.h"
#include "platform/Utf16Scan.h"

#include "history/JsonValue.h"

#include <utility>

namespace kv::history {

namespace {

// What the estimate counts beside the content, allocations' own overhead
// included: a value's shared block, the block holding a text (a string's or
// a dictionary key's), a dictionary entry's node, an array element's slot.
constexpr qint64 ValueOverhead = 48;
constexpr qint64 TextOverhead = 32;
constexpr qint64 DictionaryEntryOverhead = 96;
constexpr qint64 ArrayElementOverhead = 8;

} // namespace

QString changeKindName(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Added: return QStringLiteral("added");
    case ChangeKind::Removed: return QStringLiteral("removed");
    case ChangeKind::Updated: break;
    }
    return QStringLiteral("updated");
}

ChangeKind changeKindOf(const PropertyListValue &oldValue, const PropertyListValue &newValue)
{
    if (oldValue.isNone())
        return ChangeKind::Added;
    if (newValue.isNone())
        return ChangeKind::Removed;
    return ChangeKind::Updated;
}

QByteArray changeJsonLine(const HistoryChange &change)
{
    QByteArray line = "{\"time\": \"";
    line += isoUtcText(change.time).toLatin1();
    line += "\", \"kind\": \"";
    line += changeKindName(change.kind).toLatin1();
    line += "\", \"key\": ";
    appendJsonString(line, change.key);
    line += ", \"old\": ";
    appendJson(line, change.oldValue);
    line += ", \"new\": ";
    appendJson(line, change.newValue);
    line += '}';
    return line;
}

qint64 estimatedValueBytes(const PropertyListValue &value)
{
    switch (value.kind()) {
    case PropertyListValue::Kind::None: return 0;
    case PropertyListValue::Kind::Dictionary: {
        qint64 bytes = ValueOverhead;
        const PropertyListDictionary &dictionary = value.dictionary();
        for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it)
            bytes +=
                DictionaryEntryOverhead + TextOverhead + 2 * qint64(it.key().size()) + estimatedValueBytes(it.value());
        return bytes;
    }
    case PropertyListValue::Kind::Array: {
        qint64 bytes = ValueOverhead;
        for (const PropertyListValue &element : value.array())
            bytes += ArrayElementOverhead + estimatedValueBytes(element);
        return bytes;
    }
    case PropertyListValue::Kind::String: return ValueOverhead + TextOverhead + 2 * qint64(value.string().size());
    case PropertyListValue::Kind::Data: return ValueOverhead + TextOverhead + qint64(value.data().size());
    default: return ValueOverhead;
    }
}

ChangeHistory::ChangeHistory(qsizetype maximumEntries, qint64 maximumValueBytes)
    : m_maximumEntries(maximumEntries), m_maximumValueBytes(maximumValueBytes)
{}

void ChangeHistory::append(const QDateTime &time, const QString &key, const PropertyListValue &oldValue,
                           const PropertyListValue &newValue)
{
    appendUtc(time.toUTC(), key, oldValue, newValue);
}

void ChangeHistory::appendUtc(const QDateTime &time, const QString &key, const PropertyListValue &oldValue,
                              const PropertyListValue &newValue)
{
    Entry entry;
    entry.change = {time, changeKindOf(oldValue, newValue), key, oldValue, newValue};
    const qint64 serial = m_firstSerial + count();
    // One lookup: the slot is made when the key has had no change yet. A
    // slot may name a change dropped since, or (its hash alike) another
    // key's: then none is held for this key.
    const qsizetype keysKnown = m_latest.size();
    qint64 &latest = m_latest[qHash(key, QHashSeed::globalSeed())];
    Entry *before = m_latest.size() == keysKnown && latest >= m_firstSerial ? &entryBySerial(latest) : nullptr;
    if (before && before->change.key != key)
        before = nullptr;
    // The old value is usually the key's last new value, counted already.
    const bool oldCounted = !oldValue.isNone() && before && before->change.newValue.identity() == oldValue.identity();
    entry.oldBytes = oldCounted ? 0 : estimatedValueBytes(oldValue);
    entry.newBytes = newValue.identity() == oldValue.identity() ? 0 : estimatedValueBytes(newValue);
    if (before)
        before->next = serial;
    latest = serial;
    m_valueBytes += entry.oldBytes + entry.newBytes;
    m_entries.push_back(std::move(entry));

    while (count() > 1 && (count() > m_maximumEntries || m_valueBytes > m_maximumValueBytes))
        dropOldest();
    // Slots of keys whose changes were all dropped are let go of together,
    // once they are as many as the changes held.
    if (m_latest.size() > 2 * std::max<qsizetype>(count(), 1024)) {
        const qint64 first = m_firstSerial;
        m_latest.removeIf([first](const QHash<size_t, qint64>::iterator it) { return it.value() < first; });
    }
}

void ChangeHistory::appendChangeList(const QDateTime &time, const QList<StoreChange> &changes)
{
    // One conversion for the list: a local time's conversion reads the
    // system's time zone each time.
    const QDateTime utc = time.toUTC();
    // A long list is memory-bound: what a change a few places on reads (its
    // key's text, and the oldest entry, which it will drop, with the blocks
    // that entry lets go of) is asked for ahead.
    constexpr qsizetype Ahead = 8;
    for (qsizetype i = 0; i < changes.size(); ++i) {
        if (i + Ahead < changes.size()) {
            prefetchText(changes.at(i + Ahead).key.constData());
        }
        if (count() > Ahead && count() + Ahead >= m_maximumEntries) {
            const Entry &dropped = m_entries[size_t(Ahead)];
            __builtin_prefetch(dropped.change.key.constData());
            __builtin_prefetch(dropped.change.oldValue.identity());
            __builtin_prefetch(dropped.change.newValue.identity());
            if (dropped.next >= 0)
                __builtin_prefetch(&entryBySerial(dropped.next));
        }
        const StoreChange &change = changes.at(i);
        appendUtc(utc, change.key, change.previous, change.current);
    }
}

void ChangeHistory::dropOldest()
{
    Entry &oldest = m_entries.front();
    qint64 released = oldest.oldBytes + oldest.newBytes;
    // The new value lives on as the old value of the key's next change: its
    // count goes there.
    const PropertyListValue &kept = oldest.change.newValue;
    if (oldest.next >= 0 && !kept.isNone()) {
        Entry &next = entryBySerial(oldest.next);
        if (next.oldBytes == 0 && next.change.oldValue.identity() == kept.identity()) {
            const qint64 bytes = oldest.newBytes > 0 ? oldest.newBytes : oldest.oldBytes;
            next.oldBytes = bytes;
            released -= bytes;
        }
    }
    m_valueBytes -= released;
    m_entries.pop_front();
    ++m_firstSerial;
    ++m_dropped;
}

void ChangeHistory::clear()
{
    m_entries.clear();
    m_latest.clear();
    m_firstSerial = 0;
    m_valueBytes = 0;
    m_dropped = 0;
}

bool writeHistoryJsonLines(const QString &path, const ChangeHistory &history, QString *error)
{
    QByteArray text;
    for (qsizetype i = 0; i < history.count(); ++i) {
        text += changeJsonLine(history.at(i));
        text += '\n';
    }
    return saveFileAtomically(path, text, error);
}

} // namespace kv::history
