#pragma once

// A search of the store's keys (and, if asked, their values) for what the
// user types, run in slices on the main thread's event loop so that typing
// never stalls it.

#include "find/FindQuery.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kv::find {

class FindSearch : public QObject
{
    Q_OBJECT

public:
    // Values are looked up on the main thread, only for Scope::KeysAndValues:
    // values read lazily from snapshot files are not safe on another thread.
    using ValueLookup = std::function<PropertyListValue(const QString &key)>;

    explicit FindSearch(QObject *parent = nullptr);
    ~FindSearch() override;

    // Each slice works at most this long, then yields to the event loop.
    void setTimeSliceMilliseconds(int ms);
    int timeSliceMilliseconds() const { return m_sliceMilliseconds; }

    // Starts (restarts) a search of `sortedKeys` (sorted by QString's
    // operator<). False, with *error, for an invalid regular expression (the
    // hits cleared). An empty text: no hits, and finished() at once, from
    // within this call. Narrowing: when the previous search of the same list
    // finished, with the same options, as plain text, and the new text holds
    // the previous one (typing on extends it), only the previous hits are
    // searched again. The hits are cleared here without hitsChanged(): the
    // caller knows.
    //
    // Pass the same list between changes (an implicitly shared copy of it is
    // enough), and report its changes through keysChanged(): what the search
    // keeps for Scope::KeysAndValues (every key's and value's text, made once
    // rather than on every keystroke) lasts while the list is the same one.
    bool start(const QStringList &sortedKeys, const QString &text, const FindOptions &options, ValueLookup lookup,
               QString *error);
    // Stops; the hits found so far stay.
    void cancel();
    bool isRunning() const { return m_running; }

    // Sorted by key, as found so far. Made from what the search keeps (a
    // key's index and, for a value match, which of the value's pieces
    // matched): a list of a million hits costs a million string copies. A
    // view of many hits is better served by hitCount() and hitAt().
    QList<FindHit> hits() const;
    qsizetype hitCount() const { return qsizetype(m_hits.size()); }
    FindHit hitAt(qsizetype index) const;
    // The key of hit `index`, without making its value match.
    const QString &hitKey(qsizetype index) const;

    // Keys of the list searched.
    qsizetype keyCount() const { return m_keys.size(); }
    const std::optional<Matcher> &matcher() const { return m_matcher; }

    // The store changed: `changedKeys` were added, removed or updated;
    // `sortedKeysNow` lists the keys now. Each changed key is matched again
    // (its value through the lookup) and its hit inserted, replaced or
    // removed, in order, at once; a running search restarts over the new list
    // instead. keyCount() follows. hitsChanged() when a hit came, went or
    // may show something else.
    void keysChanged(const QStringList &changedKeys, const QStringList &sortedKeysNow);

    // Optional, ahead of typing (when the find bar opens or the scope
    // changes): while no search runs, makes in slices what searches of
    // `sortedKeys` with these options read on every keystroke: the keys' and
    // values' texts for Scope::KeysAndValues (nothing for the keys alone, nor
    // for a regular expression). Searches make it too, as they go, and go on
    // making the rest once they finish. Another list than the last search's
    // drops its hits (with hitsChanged()): they were hits in that list.
    void prepare(const QStringList &sortedKeys, const FindOptions &options, ValueLookup lookup);
    bool isPreparing() const;

Q_SIGNALS:
    // After each slice that found something, and after a keysChanged() that
    // changed the hits.
    void hitsChanged();
    // The whole list has been searched.
    void finished();

private:
    // A hit as kept: the key's index in m_keys, and what matched: the key
    // (KeyMatch), the value's piece `match` (see ValueWalker) or, found in the
    // index, the value at ValueMatchAt - match in the key's text there (the
    // piece is counted when the hit is made).
    struct Hit
    {
        qsizetype key;
        qsizetype match;
    };
    static constexpr qsizetype KeyMatch = -1;
    static constexpr qsizetype ValueMatchAt = -2;
    struct Walk;
    class ValueIndex;

    void runSlice();
    // Searches on; true when the whole list has been searched.
    bool searchSome(const QElapsedTimer &clock, bool *found);
    // Makes value texts on; true when every key has one.
    bool prepareSome(const QElapsedTimer &clock);
    // Matches key `key` (its value too, at once); nullopt when it does not.
    std::optional<Hit> matchNow(qsizetype key);
    // Starts a walk of `key`'s value.
    void beginWalk(qsizetype key, bool searching);
    // Walks on: a Hit's match, NoMatch, or OutOfTime when the time ran out
    // (`clock` null: never).
    qsizetype continueWalk(const QElapsedTimer *clock);
    void dropWalk();
    bool usesIndex() const;
    void ensureIndex(bool fold);
    void takeKeys(const QStringList &sortedKeys);
    void schedule();
    FindHit makeHit(const Hit &hit) const;
    bool timeIsUp(const QElapsedTimer &clock) const;

    QStringList m_keys;
    ValueLookup m_lookup;
    std::optional<Matcher> m_matcher;
    std::vector<Hit> m_hits;
    std::vector<Hit> m_candidates; // narrowing: the previous search's hits
    qsizetype m_next = 0;          // the next key (or candidate) to search
    bool m_running = false;
    bool m_finished = false; // the last search ran to the end
    bool m_narrowing = false;
    quint64 m_generation = 0; // changes whenever a search starts, stops or is changed
    std::unique_ptr<Walk> m_walk;
    std::unique_ptr<ValueIndex> m_index;
    bool m_prepareWanted = false;
    bool m_prepareFold = true;
    qsizetype m_prepareNext = 0;
    int m_sliceMilliseconds = 10;
    QTimer m_timer;
};

} // namespace kv::find
