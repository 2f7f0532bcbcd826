#include "find/FindSearch.h"

#include "find/FindQuery_p.h"
#include "platform/Utf16Scan.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace kv::find {

namespace {

// The keys of a large list lie scattered in memory, and a search waits on
// memory more than it compares: asking for the keys a little ahead keeps
// several of those waits going at once.
constexpr qsizetype PrefetchDistance = 16;
// Keys (or value pieces) between two looks at the clock.
constexpr int ClockInterval = 64;

// What a walk through a value, or a look into the index, comes to, besides a
// Hit's `match`.
constexpr qsizetype NoMatch = std::numeric_limits<qsizetype>::min();
constexpr qsizetype OutOfTime = NoMatch + 1;

// Where the keys that stay in a changed list move to. `dropped` holds the old
// indexes of the keys that went or changed, `fresh` the new indexes of the
// keys that came or changed, both ascending; the other keys keep their order,
// filling the new positions that are not fresh. Asked in ascending order.
class IndexMap
{
public:
    IndexMap(const std::vector<qsizetype> &dropped, const std::vector<qsizetype> &fresh)
        : m_dropped(dropped), m_fresh(fresh)
    {}

    std::optional<qsizetype> operator()(qsizetype oldIndex)
    {
        while (m_droppedAt < m_dropped.size() && m_dropped[m_droppedAt] < oldIndex)
            ++m_droppedAt;
        if (m_droppedAt < m_dropped.size() && m_dropped[m_droppedAt] == oldIndex)
            return std::nullopt;
        const qsizetype rank = oldIndex - qsizetype(m_droppedAt); // among the keys that stay
        while (m_freshAt < m_fresh.size() && m_fresh[m_freshAt] <= rank + qsizetype(m_freshAt))
            ++m_freshAt;
        return rank + qsizetype(m_freshAt);
    }

private:
    const std::vector<qsizetype> &m_dropped;
    const std::vector<qsizetype> &m_fresh;
    size_t m_droppedAt = 0;
    size_t m_freshAt = 0;
};

} // namespace

// --- what is kept of the values ---------------------------------------------

// The keys' and values' texts as they are compared, one per key of the list:
// the key, then every piece of its value (see ValueWalker) in store order,
// each after a NUL. A plain needle without NUL cannot match across pieces, so
// the first match in this text tells whether the key matched and else which
// piece of the value matched first (the NULs before it count it). Searching
// it reads only memory laid out in key order, where the keys themselves and
// the values lie scattered. Latin-1 texts (nearly all) lie end to end in one
// array and are looked through sixteen bytes at a time; the others are kept
// as they are. A key or value with a NUL in a piece is not kept (it is walked
// on every search).
class FindSearch::ValueIndex
{
public:
    enum class State : quint8 { Missing, Latin1, Wide, Unindexed };
    struct Item
    {
        qsizetype offset = 0; // into bytes, or into wide
        qsizetype length = 0;
        qsizetype keyLength = 0; // the key's part of the text
        State state = State::Missing;
    };

    ValueIndex(qsizetype keyCount, bool fold) : fold(fold), items(size_t(keyCount)) {}

    const bool fold;
    std::vector<Item> items;
    QByteArray bytes;
    QList<QString> wide;
    qsizetype garbage = 0; // bytes no item refers to any more

    State state(qsizetype key) const { return items[size_t(key)].state; }
    bool holds(qsizetype key) const
    {
        const State s = state(key);
        return s == State::Latin1 || s == State::Wide;
    }

    void storeLatin1(qsizetype key, qsizetype offset, qsizetype length, qsizetype keyLength)
    {
        release(items[size_t(key)]);
        items[size_t(key)] = {offset, length, keyLength, State::Latin1};
    }
    void storeWide(qsizetype key, QString text, qsizetype keyLength)
    {
        release(items[size_t(key)]);
        items[size_t(key)] = {wide.size(), text.size(), keyLength, State::Wide};
        wide.append(std::move(text));
    }
    void storeUnindexed(qsizetype key)
    {
        release(items[size_t(key)]);
        items[size_t(key)] = {0, 0, 0, State::Unindexed};
    }

    // Where the needle first stands in key `key`'s text, as a Hit's match:
    // KeyMatch, or the place in the value's part; else NoMatch.
    qsizetype matchOf(qsizetype key, const CompiledQuery &query) const
    {
        const Item &item = items[size_t(key)];
        qsizetype at = -1;
        if (item.state == State::Latin1) {
            if (!query.latin1Needle)
                return NoMatch; // nothing of Latin-1 equals it
            const char *text = bytes.constData() + item.offset;
            const char *found = findBytes(text, item.length, query.latin1.constData(), query.latin1.size());
            at = found ? found - text : -1;
        } else if (item.state == State::Wide) {
            at = wide.at(item.offset).indexOf(query.needle, 0, Qt::CaseSensitive);
        }
        if (at < 0)
            return NoMatch;
        return at < item.keyLength ? KeyMatch : ValueMatchAt - at;
    }

    // The value's piece in which `at` lies, for a key held.
    qsizetype pieceAt(qsizetype key, qsizetype at) const
    {
        const Item &item = items[size_t(key)];
        qsizetype separators = 0;
        if (item.state == State::Latin1) {
            const char *text = bytes.constData() + item.offset;
            separators = std::count(text, text + std::min(at, item.length), '\0');
        } else {
            const QString &text = wide.at(item.offset);
            separators = std::count(text.cbegin(), text.cbegin() + std::min(at, text.size()), QChar(0));
        }
        return separators - 1; // the first NUL ends the key
    }

    // Follows a change of the key list (see IndexMap).
    void remap(const std::vector<qsizetype> &dropped, const std::vector<qsizetype> &fresh, qsizetype keyCount)
    {
        std::vector<Item> next(static_cast<size_t>(keyCount));
        IndexMap map(dropped, fresh);
        for (qsizetype i = 0; i < qsizetype(items.size()); ++i) {
            if (const std::optional<qsizetype> to = map(i))
                next[size_t(*to)] = items[size_t(i)];
            else
                release(items[size_t(i)]);
        }
        items = std::move(next);
        // Texts of changed keys are made anew at the end: copy the rest
        // together once more than half of it is left over.
        if (garbage > (qsizetype(1) << 20) && garbage * 2 > bytes.size())
            compact();
    }

private:
    // Gives up what an item's text takes.
    void release(Item &item)
    {
        if (item.state == State::Latin1)
            garbage += item.length;
        else if (item.state == State::Wide)
            wide[item.offset] = QString();
        item = {};
    }

    void compact()
    {
        QByteArray kept;
        kept.reserve(bytes.size() - garbage);
        QList<QString> keptWide;
        for (Item &item : items) {
            if (item.state == State::Latin1) {
                const qsizetype offset = kept.size();
                kept.append(bytes.constData() + item.offset, item.length);
                item.offset = offset;
            } else if (item.state == State::Wide) {
                keptWide.append(std::move(wide[item.offset]));
                item.offset = keptWide.size() - 1;
            }
        }
        bytes = std::move(kept);
        wide = std::move(keptWide);
        garbage = 0;
    }
};

// A walk through one key's value, which may take several slices: it looks
// for the first matching piece, or makes the key's text for the index, or
// both (then the text, once made, is searched).
struct FindSearch::Walk
{
    qsizetype key = 0;
    PropertyListValue value;
    ValueWalker walker;
    bool searching = false;
    bool building = false;
    qsizetype start = 0; // building: where the text begins in the index's bytes
    bool wide = false;   // building: the text went beyond Latin-1 (it is in wideText)
    QString wideText;
    qsizetype keyLength = 0;

    Walk(qsizetype key, PropertyListValue root, bool searching, bool building, qsizetype start)
        : key(key), value(root), walker(std::move(root)), searching(searching), building(building), start(start)
    {}
};

// --- the search ---------------------------------------------------------------

FindSearch::FindSearch(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &FindSearch::runSlice);
}

FindSearch::~FindSearch() = default;

void FindSearch::setTimeSliceMilliseconds(int ms)
{
    m_sliceMilliseconds = std::max(1, ms);
}

bool FindSearch::timeIsUp(const QElapsedTimer &clock) const
{
    return clock.hasExpired(m_sliceMilliseconds);
}

void FindSearch::schedule()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void FindSearch::takeKeys(const QStringList &sortedKeys)
{
    if (m_keys.isSharedWith(sortedKeys) && m_keys.size() == sortedKeys.size())
        return;
    dropWalk();
    m_keys = sortedKeys;
    m_index.reset();
    m_hits.clear();
    m_candidates.clear();
    m_finished = false;
    m_prepareNext = 0;
}

bool FindSearch::usesIndex() const
{
    if (!m_matcher || !m_index)
        return false;
    const CompiledQuery &query = m_matcher->compiled();
    return query.options.scope == FindOptions::Scope::KeysAndValues && query.isPlain() && !query.needleHasNul
           && m_index->fold == !query.options.matchCase;
}

void FindSearch::ensureIndex(bool fold)
{
    if (m_index && m_index->fold == fold)
        return;
    dropWalk();
    m_index = std::make_unique<ValueIndex>(m_keys.size(), fold);
    m_prepareNext = 0;
}

bool FindSearch::start(const QStringList &sortedKeys, const QString &text, const FindOptions &options,
                       ValueLookup lookup, QString *error)
{
    ++m_generation;
    QString compileError;
    std::optional<Matcher> matcher = Matcher::compile(text, options, &compileError);

    // Narrowing: every text that holds the new needle holds the previous one,
    // so the keys to look at again are the previous hits.
    bool narrowing = false;
    if (matcher && m_matcher && m_finished && !m_running && m_keys.isSharedWith(sortedKeys)
        && m_keys.size() == sortedKeys.size()) {
        const CompiledQuery &before = m_matcher->compiled();
        const CompiledQuery &now = matcher->compiled();
        narrowing = before.isPlain() && now.isPlain() && before.options == now.options && !before.isEmpty()
                    && now.needle.contains(before.needle);
    }

    dropWalk();
    m_running = false;
    m_finished = false;
    m_next = 0;
    takeKeys(sortedKeys);
    m_lookup = std::move(lookup);
    m_matcher = std::move(matcher);
    if (narrowing) {
        m_candidates = std::move(m_hits);
    } else {
        m_candidates.clear();
    }
    m_hits.clear();
    m_narrowing = narrowing;

    if (!m_matcher) {
        if (error)
            *error = compileError;
        return false;
    }
    if (text.isEmpty()) {
        m_finished = true;
        Q_EMIT finished();
        return true;
    }
    const CompiledQuery &query = m_matcher->compiled();
    if (query.options.scope == FindOptions::Scope::KeysAndValues && query.isPlain() && !query.needleHasNul)
        ensureIndex(!query.options.matchCase);
    // Room for every hit there can be: growing the list would copy it
    // several times over, and room never written to costs nothing.
    m_hits.reserve(narrowing ? m_candidates.size() : size_t(m_keys.size()));
    m_running = true;
    schedule();
    return true;
}

void FindSearch::cancel()
{
    ++m_generation;
    if (m_running)
        dropWalk();
    m_running = false;
    m_finished = false;
    m_candidates.clear();
}

void FindSearch::prepare(const QStringList &sortedKeys, const FindOptions &options, ValueLookup lookup)
{
    if (options.scope != FindOptions::Scope::KeysAndValues || options.regularExpression)
        return;
    if (m_running && !(m_keys.isSharedWith(sortedKeys) && m_keys.size() == sortedKeys.size()))
        cancel();
    if (!m_running)
        dropWalk();
    const bool hadHits = !m_hits.empty();
    takeKeys(sortedKeys);
    m_lookup = std::move(lookup);
    m_prepareWanted = true;
    m_prepareFold = !options.matchCase;
    m_prepareNext = 0;
    schedule();
    if (hadHits && m_hits.empty())
        Q_EMIT hitsChanged(); // they were hits in another list
}

bool FindSearch::isPreparing() const
{
    return m_prepareWanted;
}

void FindSearch::runSlice()
{
    QElapsedTimer clock;
    clock.start();
    const quint64 generation = m_generation;
    if (m_running) {
        bool found = false;
        const bool done = searchSome(clock, &found);
        if (done) {
            m_running = false;
            m_finished = true;
            m_candidates = {};
            if (m_hits.capacity() > 2 * m_hits.size() + 4096)
                m_hits.shrink_to_fit(); // the room kept for every key
            if (usesIndex()) {
                // Later keystrokes go faster with every value's text made.
                m_prepareWanted = true;
                m_prepareFold = m_index->fold;
                m_prepareNext = 0;
            }
        }
        if (m_running || m_prepareWanted)
            schedule();
        if (found)
            Q_EMIT hitsChanged();
        if (done && generation == m_generation)
            Q_EMIT finished();
        return;
    }
    if (m_prepareWanted) {
        if (prepareSome(clock))
            m_prepareWanted = false;
        else
            schedule();
    }
}

bool FindSearch::searchSome(const QElapsedTimer &clock, bool *found)
{
    const CompiledQuery &query = m_matcher->compiled();
    const bool values = query.options.scope == FindOptions::Scope::KeysAndValues;
    const bool indexed = usesIndex();
    const QString *keys = m_keys.constData();
    const qsizetype total = m_narrowing ? qsizetype(m_candidates.size()) : m_keys.size();
    const auto keyAt = [&](qsizetype at) { return m_narrowing ? m_candidates[size_t(at)].key : at; };

    if (m_walk) { // a value left half walked by the last slice
        const qsizetype key = m_walk->key;
        const qsizetype match = continueWalk(&clock);
        if (match == OutOfTime)
            return false;
        if (match != NoMatch) {
            m_hits.push_back({key, match});
            *found = true;
        }
        ++m_next;
    }
    int sinceClock = 0;
    while (m_next < total) {
        const qsizetype key = keyAt(m_next);
        qsizetype match = NoMatch;
        bool walked = false;
        if (indexed && m_index->holds(key)) {
            match = m_index->matchOf(key, query);
        } else {
            if (m_next + PrefetchDistance < total)
                prefetchText(keys[keyAt(m_next + PrefetchDistance)].constData());
            if (query.matches(keys[key])) {
                match = KeyMatch;
            } else if (values) {
                beginWalk(key, true);
                match = continueWalk(&clock);
                if (match == OutOfTime)
                    return false;
                walked = true;
            }
        }
        if (match != NoMatch) {
            m_hits.push_back({key, match});
            *found = true;
        }
        ++m_next;
        if ((walked || ++sinceClock == ClockInterval) && m_next < total) {
            sinceClock = 0;
            if (timeIsUp(clock))
                return false;
        }
    }
    return true;
}

bool FindSearch::prepareSome(const QElapsedTimer &clock)
{
    ensureIndex(m_prepareFold);
    if (m_walk && continueWalk(&clock) == OutOfTime)
        return false;
    int sinceClock = 0;
    const qsizetype total = m_keys.size();
    while (m_prepareNext < total) {
        const qsizetype key = m_prepareNext++;
        if (m_index->state(key) == ValueIndex::State::Missing) {
            beginWalk(key, false);
            if (m_walk && continueWalk(&clock) == OutOfTime)
                return false;
            sinceClock = ClockInterval; // a walk: look at the clock now
        }
        if (++sinceClock >= ClockInterval && m_prepareNext < total) {
            sinceClock = 0;
            if (timeIsUp(clock))
                return false;
        }
    }
    return true;
}

void FindSearch::beginWalk(qsizetype key, bool searching)
{
    const bool building = m_index && (!searching || usesIndex()) && m_index->state(key) == ValueIndex::State::Missing;
    const QString &name = m_keys.at(key);
    PropertyListValue value = m_lookup ? m_lookup(name) : PropertyListValue();
    m_walk = std::make_unique<Walk>(key, std::move(value), searching, building, building ? m_index->bytes.size() : 0);
    if (!building)
        return;
    Walk &walk = *m_walk;
    if (name.contains(QChar(0))) {
        m_index->storeUnindexed(key); // walked on every search
        walk.building = false;
        if (!searching)
            m_walk.reset();
    } else if (appendComparableLatin1(m_index->bytes, name, m_index->fold)) {
        walk.keyLength = m_index->bytes.size() - walk.start;
    } else {
        walk.wide = true;
        walk.wideText = comparableText(name, m_index->fold);
        walk.keyLength = walk.wideText.size();
    }
}

void FindSearch::dropWalk()
{
    if (!m_walk)
        return;
    if (m_walk->building && !m_walk->wide)
        m_index->bytes.truncate(m_walk->start);
    if (!m_walk->searching) // preparing: that key is still to do
        m_prepareNext = std::min(m_prepareNext, m_walk->key);
    m_walk.reset();
}

qsizetype FindSearch::continueWalk(const QElapsedTimer *clock)
{
    Walk &walk = *m_walk;
    const CompiledQuery *query = m_matcher ? &m_matcher->compiled() : nullptr;
    int sinceClock = 0;
    while (walk.walker.next()) {
        const QString text = walk.walker.text();
        if (walk.building) {
            QByteArray &bytes = m_index->bytes;
            if (text.contains(QChar(0))) {
                // A piece holding the separator: this value is walked on every search.
                if (!walk.wide)
                    bytes.truncate(walk.start);
                m_index->storeUnindexed(walk.key);
                walk.building = false;
                if (!walk.searching)
                    break;
                walk.walker = ValueWalker(walk.value);
                continue;
            }
            if (walk.wide) {
                walk.wideText += QChar(0);
                walk.wideText += comparableText(text, m_index->fold);
            } else {
                bytes.append('\0');
                if (!appendComparableLatin1(bytes, text, m_index->fold)) {
                    walk.wide = true;
                    walk.wideText = QString::fromLatin1(bytes.constData() + walk.start, bytes.size() - walk.start)
                                    + comparableText(text, m_index->fold);
                    bytes.truncate(walk.start);
                }
            }
        } else if (walk.searching && query && query->matches(text)) {
            const qsizetype piece = walk.walker.pieceIndex();
            m_walk.reset();
            return piece;
        }
        if (clock && ++sinceClock == ClockInterval) {
            sinceClock = 0;
            if (timeIsUp(*clock))
                return OutOfTime;
        }
    }
    qsizetype match = NoMatch;
    if (walk.building) {
        if (walk.wide)
            m_index->storeWide(walk.key, std::move(walk.wideText), walk.keyLength);
        else
            m_index->storeLatin1(walk.key, walk.start, m_index->bytes.size() - walk.start, walk.keyLength);
        if (walk.searching && query)
            match = m_index->matchOf(walk.key, *query);
    }
    m_walk.reset();
    return match;
}

std::optional<FindSearch::Hit> FindSearch::matchNow(qsizetype key)
{
    const CompiledQuery &query = m_matcher->compiled();
    if (query.matches(m_keys.at(key)))
        return Hit{key, KeyMatch};
    if (query.options.scope != FindOptions::Scope::KeysAndValues)
        return std::nullopt;
    beginWalk(key, true);
    const qsizetype match = continueWalk(nullptr);
    if (match != NoMatch)
        return Hit{key, match};
    return std::nullopt;
}

void FindSearch::keysChanged(const QStringList &changedKeys, const QStringList &sortedKeysNow)
{
    ++m_generation;
    QStringList changed = changedKeys;
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    std::vector<qsizetype> dropped; // old indexes of keys that went or changed
    std::vector<qsizetype> fresh;   // new indexes of keys that came or changed
    for (const QString &key : std::as_const(changed)) {
        const auto old = std::lower_bound(m_keys.cbegin(), m_keys.cend(), key);
        if (old != m_keys.cend() && *old == key)
            dropped.push_back(old - m_keys.cbegin());
        const auto now = std::lower_bound(sortedKeysNow.cbegin(), sortedKeysNow.cend(), key);
        if (now != sortedKeysNow.cend() && *now == key)
            fresh.push_back(now - sortedKeysNow.cbegin());
    }

    dropWalk();
    if (m_index)
        m_index->remap(dropped, fresh, sortedKeysNow.size());
    m_keys = sortedKeysNow;
    m_prepareNext = 0;
    if (!m_matcher || m_matcher->text().isEmpty())
        return;

    if (m_running) {
        m_hits.clear();
        m_candidates.clear();
        m_narrowing = false;
        m_next = 0;
        schedule();
        Q_EMIT hitsChanged();
        return;
    }

    bool hitsMoved = false;
    std::vector<Hit> kept;
    kept.reserve(m_hits.size());
    IndexMap map(dropped, fresh);
    for (const Hit &hit : m_hits) {
        if (const std::optional<qsizetype> to = map(hit.key))
            kept.push_back({*to, hit.match});
        else
            hitsMoved = true;
    }
    std::vector<Hit> found;
    for (qsizetype key : fresh) {
        if (const std::optional<Hit> hit = matchNow(key))
            found.push_back(*hit);
    }
    hitsMoved = hitsMoved || !found.empty();
    m_hits.clear();
    m_hits.reserve(kept.size() + found.size());
    std::merge(kept.cbegin(), kept.cend(), found.cbegin(), found.cend(), std::back_inserter(m_hits),
               [](const Hit &a, const Hit &b) { return a.key < b.key; });
    if (hitsMoved)
        Q_EMIT hitsChanged();
}

// --- the hits ------------------------------------------------------------------

FindHit FindSearch::makeHit(const Hit &hit) const
{
    FindHit made{m_keys.at(hit.key), std::nullopt};
    if (hit.match == KeyMatch)
        return made;
    qsizetype piece = hit.match;
    if (piece <= ValueMatchAt) {
        // Found in the index: its text says in which piece, while it is the
        // text of the same case folding.
        const bool same = m_index && m_index->fold == !m_matcher->options().matchCase && m_index->holds(hit.key);
        piece = same ? m_index->pieceAt(hit.key, ValueMatchAt - hit.match) : -1;
    }
    const PropertyListValue value = m_lookup ? m_lookup(made.key) : PropertyListValue();
    // That piece, unless the value has changed since and the change is still
    // to be reported: then wherever it matches now.
    if (piece >= 0) {
        ValueWalker walker(value);
        while (walker.next()) {
            if (walker.pieceIndex() == piece) {
                if (m_matcher->matches(walker.text()))
                    made.valueMatch = walker.valueMatch();
                break;
            }
        }
    }
    if (!made.valueMatch)
        made.valueMatch = firstValueMatch(value, *m_matcher);
    return made;
}

QList<FindHit> FindSearch::hits() const
{
    QList<FindHit> made;
    made.reserve(hitCount());
    for (const Hit &hit : m_hits)
        made.append(makeHit(hit));
    return made;
}

FindHit FindSearch::hitAt(qsizetype index) const
{
    return makeHit(m_hits.at(size_t(index)));
}

const QString &FindSearch::hitKey(qsizetype index) const
{
    return m_keys.at(m_hits.at(size_t(index)).key);
}

} // namespace kv::find
