#pragma once

// The changes seen in the store, oldest first, as a History window shows
// them: when, what kind, which key, its old and its new value.
//
// The history is bounded: it keeps at most the last maximumEntries changes
// and at most maximumValueBytes of values, dropping the oldest first (the
// newest change is always kept) and counting how many it dropped.
//
// The bytes of a value are an estimate made by walking it once when its
// change is appended: for every dictionary, array, scalar, dictionary entry
// and array element a fixed overhead (the blocks the value is made of, as
// allocated), plus the UTF-16 text of strings and dictionary keys and the
// bytes of data; meant to err high rather than low. A value is counted once
// for as long as the history holds it: a change's old value that is the new
// value of the key's change before it (the same shared value) is not counted
// again, nor is a change's new value that is its old one. Values are never copied: the history holds
// references to the values the store handed out.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/plist/PropertyListValue.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <deque>

namespace kv::history {

enum class ChangeKind { Added, Removed, Updated };

// "added", "removed", "updated".
QString changeKindName(ChangeKind kind);

// Added when there was no old value, removed when there is no new one,
// updated otherwise (also when they are equal: a key changed and back, or
// reported without a change).
ChangeKind changeKindOf(const PropertyListValue &oldValue, const PropertyListValue &newValue);

struct HistoryChange
{
    QDateTime time; // UTC, to the millisecond
    ChangeKind kind = ChangeKind::Updated;
    QString key;
    PropertyListValue oldValue; // none when added
    PropertyListValue newValue; // none when removed
};

// One change as a JSON line, without the line end:
// {"time": "2026-12-08T16:19:06.526+00:00", "kind": "updated", "key": "...", "old": ..., "new": ...}
// with the values in their JSON form (null when there is none).
QByteArray changeJsonLine(const HistoryChange &change);

// A value's size, estimated as the history counts it.
qint64 estimatedValueBytes(const PropertyListValue &value);

class ChangeHistory
{
public:
    static constexpr qsizetype DefaultMaximumEntries = 10'000;
    static constexpr qint64 DefaultMaximumValueBytes = qint64(64) * 1024 * 1024;

    explicit ChangeHistory(qsizetype maximumEntries = DefaultMaximumEntries,
                           qint64 maximumValueBytes = DefaultMaximumValueBytes);

    // Appends one change (its kind told by the values), then drops the
    // oldest changes past the bounds. The time is kept in UTC, to the ms.
    void append(const QDateTime &time, const QString &key, const PropertyListValue &oldValue,
                const PropertyListValue &newValue);
    // Appends a delivered change list: each change in order, with its
    // previous and current value, all at `time`.
    void appendChangeList(const QDateTime &time, const QList<StoreChange> &changes);

    qsizetype count() const { return qsizetype(m_entries.size()); }
    const HistoryChange &at(qsizetype index) const { return m_entries[size_t(index)].change; }
    // How many of the oldest changes were dropped to keep within the bounds.
    qint64 droppedCount() const { return m_dropped; }
    // The estimated bytes of the values held.
    qint64 valueBytes() const { return m_valueBytes; }
    qsizetype maximumEntries() const { return m_maximumEntries; }
    // How many keys the history knows the latest change of, dropped ones
    // included until they are let go of (for tests).
    qsizetype keysKnown() const { return m_latest.size(); }
    qint64 maximumValueBytes() const { return m_maximumValueBytes; }

    // Forgets every change (and the dropped count).
    void clear();

private:
    struct Entry
    {
        HistoryChange change;
        qint64 oldBytes = 0; // what the old value is counted at here (0 when counted elsewhere)
        qint64 newBytes = 0;
        qint64 next = -1; // serial of the key's next change, -1 when none yet
    };
    Entry &entryBySerial(qint64 serial) { return m_entries[size_t(serial - m_firstSerial)]; }
    // append() with the time in UTC already.
    void appendUtc(const QDateTime &time, const QString &key, const PropertyListValue &oldValue,
                   const PropertyListValue &newValue);
    void dropOldest();

    qsizetype m_maximumEntries;
    qint64 m_maximumValueBytes;
    std::deque<Entry> m_entries;
    qint64 m_firstSerial = 0; // serial of m_entries.front()
    // A key's hash -> serial of its latest change; a serial before
    // m_firstSerial was dropped (such slots are let go of in bulk). Keys that
    // hash alike share a slot: a change then misses the one before it, and
    // its old value is counted again (the estimate errs high).
    QHash<size_t, qint64> m_latest;
    qint64 m_valueBytes = 0;
    qint64 m_dropped = 0;
};

// Writes every change as one JSON line (changeJsonLine(), each ended by a
// line feed), atomically: a file already at `path` is either replaced whole
// or left untouched. False with *error (naming the path and the reason) on
// failure.
bool writeHistoryJsonLines(const QString &path, const ChangeHistory &history, QString *error);

} // namespace kv::history
