#include "platform/dynamicstore/DynamicStore.h"

#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QMap>
#include <QPointer>
#include <QSet>

#include <algorithm>

namespace kv {

const QString storeDomainPrefs = QStringLiteral("Prefs:");

// --- Errors -------------------------------------------------------------------

namespace {

struct ThreadError
{
    int code = StoreOK;
    QString text; // the detailed text of `code`, empty for the generic one
};

ThreadError &threadError()
{
    thread_local ThreadError error;
    return error;
}

void setError(int code, const QString &text = QString())
{
    ThreadError &error = threadError();
    error.code = code;
    error.text = text;
}

void clearError()
{
    setError(StoreOK);
}

QString genericErrorText(int code)
{
    switch (code) {
    case StoreOK: return QStringLiteral("Success");
    case StoreFailed: return QStringLiteral("The store operation failed");
    case StoreNoConnection: return QStringLiteral("No connection to the store");
    case StoreInvalidArgument: return QStringLiteral("Invalid argument");
    case StoreSourceFailed: return QStringLiteral("The store's source could not be started");
    case StoreNoKey: return QStringLiteral("No such key");
    default: return QStringLiteral("Unknown store error %1").arg(code);
    }
}

// A key pattern: a regular expression that must match a whole key, in which
// "." matches every character, line ends included. The pattern ".*" selects
// every key, whatever characters it holds (also those that are not valid
// UTF-16, which no expression matches), without running the expression.
struct KeyPattern
{
    QRegularExpression expression;
    bool everyKey = false;

    bool matches(const QString &key) const { return everyKey || expression.match(key).hasMatch(); }
};

constexpr QRegularExpression::PatternOptions KeyPatternOptions = QRegularExpression::DotMatchesEverythingOption;

// Compiles the patterns. False with the error set when one of them is not a
// regular expression.
bool compilePatterns(const QStringList &patterns, QList<KeyPattern> *compiled)
{
    QList<KeyPattern> result;
    result.reserve(patterns.size());
    for (const QString &pattern : patterns) {
        // Checked as given, so that the error's offset refers to the pattern itself.
        const QRegularExpression given(pattern, KeyPatternOptions);
        if (!given.isValid()) {
            setError(StoreInvalidArgument, QStringLiteral("Invalid key pattern \"%1\": %2 at offset %3")
                                               .arg(pattern, given.errorString())
                                               .arg(given.patternErrorOffset()));
            return false;
        }
        QRegularExpression expression(QRegularExpression::anchoredPattern(pattern), KeyPatternOptions);
        if (!expression.isValid()) { // e.g. a pattern that ends inside an escape
            setError(StoreInvalidArgument,
                     QStringLiteral("Invalid key pattern \"%1\": %2").arg(pattern, expression.errorString()));
            return false;
        }
        result.append({std::move(expression), pattern == QLatin1String(".*")});
    }
    *compiled = std::move(result);
    return true;
}

bool matchesAny(const QList<KeyPattern> &patterns, const QString &key)
{
    return std::any_of(patterns.cbegin(), patterns.cend(), [&key](const KeyPattern &p) { return p.matches(key); });
}

// The process-wide engine.
QPointer<StoreEngine> installedEngine;

} // namespace

int storeError()
{
    return threadError().code;
}

QString storeErrorString(int code)
{
    const ThreadError &error = threadError();
    if (code == error.code && !error.text.isEmpty())
        return error.text;
    return genericErrorText(code);
}

// --- Connection -----------------------------------------------------------------

struct StoreConnection::Private
{
    StoreEngine *engine = nullptr; // cleared when the engine goes away
    QString name;
    StoreCallout callout = nullptr;
    void *context = nullptr;

    // What the connection is told about.
    QSet<QString> keys;
    QList<KeyPattern> patterns;

    std::weak_ptr<StoreRunLoopSource> runLoopSource;    // as made by storeCreateRunLoopSource
    std::shared_ptr<StoreRunLoopSource> attachedSource; // kept once attached to the event loop

    // The changes since the last delivery, one per key in the order of its
    // first change: the key's value before that change (none when it did
    // not exist then) and after its latest one (none when removed). The
    // values are references to the shared values, never copies. Each key's
    // place in the list is found by hash.
    QList<StoreChange> pending;
    QHash<QString, qsizetype> pendingAt;
    // The change list being delivered (during the callout only), and whether
    // its current values are still the engine's: a client reads exactly
    // these values when it is told of them, and finds them here without a
    // search of the whole store, until the engine changes.
    QList<StoreChange> delivered;
    QHash<QString, qsizetype> deliveredAt;
    bool deliveredCurrent = false;

    bool isRegisteredFor(const QString &key) const { return keys.contains(key) || matchesAny(patterns, key); }
    bool receivesChanges() const { return attachedSource && callout; }
};

// Gives the connection functions and the engine access to a connection's state.
struct StoreConnectionAccess
{
    static StoreConnection::Private &of(StoreConnection *connection) { return *connection->d; }
    static std::unique_ptr<StoreConnection> make() { return std::unique_ptr<StoreConnection>(new StoreConnection); }
    static std::shared_ptr<StoreRunLoopSource> makeSource(StoreConnection *connection, int order)
    {
        return std::shared_ptr<StoreRunLoopSource>(new StoreRunLoopSource(connection, order));
    }
    static void markAttached(StoreRunLoopSource &source) { source.m_attached = true; }
};

StoreConnection::StoreConnection() : d(std::make_unique<Private>())
{}

StoreConnection::~StoreConnection()
{
    if (d->engine)
        d->engine->detach(this);
    if (auto source = d->runLoopSource.lock())
        source->m_connection = nullptr;
}

QString StoreConnection::name() const
{
    return d->name;
}

StoreRunLoopSource::~StoreRunLoopSource() = default;

// --- Engine ---------------------------------------------------------------------

struct StoreEngine::Private
{
    struct SourceEntry
    {
        std::unique_ptr<StoreSource> source;
        bool started = false;
    };

    QMap<QString, PropertyListValue> values; // ordered by store key
    std::vector<SourceEntry> sources;
    bool startedOnce = false;             // ensureStarted() has succeeded
    bool useDefaultConfiguration = false; // the default engine, not configured yet
    bool destroying = false;

    QList<StoreConnection *> connections;
    int batchDepth = 0;
    bool flushScheduled = false;
    bool delivering = false;
    bool flushAgain = false;
};

StoreEngine::StoreEngine(QObject *parent) : QObject(parent), d(std::make_unique<Private>())
{}

StoreEngine::~StoreEngine()
{
    d->destroying = true;
    // Sources go first, while the engine they publish into is still whole.
    d->sources.clear();
    for (StoreConnection *connection : std::as_const(d->connections))
        StoreConnectionAccess::of(connection).engine = nullptr;
    d->connections.clear();
}

StoreEngine *StoreEngine::instance()
{
    return installedEngine;
}

void StoreEngine::setInstance(StoreEngine *engine)
{
    installedEngine = engine;
}

void StoreEngine::addSource(std::unique_ptr<StoreSource> source)
{
    if (!source)
        return;
    d->sources.push_back({std::move(source), false});
    if (d->startedOnce) {
        QString error;
        if (!ensureStarted(&error))
            systemLog(QStringLiteral("Store: a source could not be started: %1").arg(error));
    }
}

void StoreEngine::setSources(std::vector<std::unique_ptr<StoreSource>> sources)
{
    d->sources.clear();

    // What the old sources published goes with them.
    if (!d->values.isEmpty()) {
        beginBatch();
        const QStringList old = d->values.keys();
        for (const QString &key : old)
            removeValue(key);
        endBatch();
    }

    for (std::unique_ptr<StoreSource> &source : sources)
        addSource(std::move(source));
}

bool StoreEngine::ensureStarted(QString *error)
{
    // By index: a starting source may add further sources.
    for (std::size_t i = 0; i < d->sources.size(); ++i) {
        if (d->sources[i].started)
            continue;
        QString reason;
        StoreSource *source = d->sources[i].source.get();
        if (!source->start(*this, &reason)) {
            if (error)
                *error = reason.isEmpty() ? genericErrorText(StoreSourceFailed) : reason;
            return false;
        }
        d->sources[i].started = true;
    }
    d->startedOnce = true;
    return true;
}

void StoreEngine::setValue(const QString &key, const PropertyListValue &value)
{
    set(key, value, Values::Unchecked);
}

void StoreEngine::set(const QString &key, const PropertyListValue &value, Values vouched)
{
    if (d->destroying)
        return;
    if (value.isNone()) {
        removeValue(key);
        return;
    }
    if (key.isEmpty()) {
        systemLog(QStringLiteral("Store: refused a value for an empty key"));
        return;
    }
    if (vouched == Values::Unchecked && value.nestsDeeperThan(MaximumDepth)) {
        systemLog(QStringLiteral("Store: refused the value of %1: nested %2 levels deep, more than %3; "
                                 "keeping the old value")
                      .arg(key)
                      .arg(value.depth())
                      .arg(MaximumDepth));
        return;
    }
    QMap<QString, PropertyListValue> &values = d->values;
    PropertyListValue previous; // a reference to the old value, for the change list
    if (values.isEmpty() || values.lastKey() < key) {
        // Keys published in order (a snapshot's) go in at the end, unsearched.
        values.insert(values.cend(), key, value);
    } else {
        // One search finds the key or the place it goes.
        const auto it = values.lowerBound(key);
        if (it != values.end() && it.key() == key) {
            if (it.value() == value)
                return;
            previous = it.value();
            it.value() = value;
        } else {
            values.insert(it, key, value);
        }
    }
    changed(key, previous, value);
}

void StoreEngine::setValues(const PropertyListDictionary &values, Values vouched)
{
    if (d->destroying)
        return;
    beginBatch();
    const auto settable = [](const QString &key, const PropertyListValue &value) {
        return !key.isEmpty() && !value.isNone() && !value.nestsDeeperThan(MaximumDepth);
    };
    bool whole = d->values.isEmpty();
    if (vouched == Values::Wellformed) {
        // An empty key, the only one to refuse, would be the first.
        whole = whole && (values.isEmpty() || !values.firstKey().isEmpty());
    } else {
        for (auto it = values.cbegin(); whole && it != values.cend(); ++it)
            whole = settable(it.key(), it.value());
    }
    if (whole) {
        d->values = values;
        for (StoreConnection *connection : std::as_const(d->connections))
            StoreConnectionAccess::of(connection).deliveredCurrent = false;
        // Each key is news only to connections receiving changes; a source
        // loading the store before any connection listens walks it once.
        const bool anyReceives = std::any_of(d->connections.cbegin(), d->connections.cend(), [](StoreConnection *c) {
            return StoreConnectionAccess::of(c).receivesChanges();
        });
        for (auto it = values.cbegin(); anyReceives && it != values.cend(); ++it)
            changed(it.key(), PropertyListValue(), it.value());
    } else {
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            set(it.key(), it.value(), vouched);
    }
    endBatch();
}

void StoreEngine::publishChanges(const PropertyListDictionary &published, const PropertyListDictionary &fresh,
                                 Values vouched)
{
    if (d->destroying)
        return;
    beginBatch();
    for (auto it = published.cbegin(); it != published.cend(); ++it) {
        if (!fresh.contains(it.key()))
            removeValue(it.key());
    }
    setValues(fresh, vouched); // only real changes are reported
    endBatch();
}

void StoreEngine::removeValue(const QString &key)
{
    if (d->destroying)
        return;
    const auto it = d->values.find(key);
    if (it == d->values.end())
        return;
    const PropertyListValue previous = it.value();
    d->values.erase(it);
    changed(key, previous, PropertyListValue());
}

void StoreEngine::notifyValue(const QString &key)
{
    if (d->destroying || key.isEmpty())
        return;
    const PropertyListValue value = d->values.value(key);
    changed(key, value, value);
}

void StoreEngine::beginBatch()
{
    ++d->batchDepth;
}

void StoreEngine::endBatch()
{
    if (d->batchDepth == 0)
        return; // unbalanced: nothing to end
    if (--d->batchDepth == 0)
        scheduleFlush();
}

bool StoreEngine::contains(const QString &key) const
{
    return d->values.contains(key);
}

PropertyListValue StoreEngine::value(const QString &key) const
{
    return d->values.value(key);
}

QStringList StoreEngine::keys() const
{
    return d->values.keys();
}

qsizetype StoreEngine::keyCount() const
{
    return d->values.size();
}

void StoreEngine::attach(StoreConnection *connection)
{
    if (!connection || d->connections.contains(connection))
        return;
    d->connections.append(connection);
    StoreConnectionAccess::of(connection).engine = this;
}

void StoreEngine::detach(StoreConnection *connection)
{
    if (!connection)
        return;
    d->connections.removeAll(connection);
    StoreConnectionAccess::of(connection).engine = nullptr;
}

void StoreEngine::changed(const QString &key, const PropertyListValue &previous, const PropertyListValue &current)
{
    for (StoreConnection *connection : std::as_const(d->connections)) {
        StoreConnection::Private &c = StoreConnectionAccess::of(connection);
        c.deliveredCurrent = false; // out of date from now on
        if (const auto at = c.pendingAt.constFind(key); at != c.pendingAt.cend()) {
            c.pending[*at].current = current;
            continue;
        }
        if (!c.receivesChanges() || !c.isRegisteredFor(key))
            continue;
        c.pendingAt.insert(key, c.pending.size());
        c.pending.append({key, previous, current});
    }
    if (d->batchDepth == 0)
        scheduleFlush();
}

void StoreEngine::scheduleFlush()
{
    if (d->flushScheduled || d->destroying)
        return;
    const bool anyPending = std::any_of(d->connections.cbegin(), d->connections.cend(), [](StoreConnection *c) {
        return !StoreConnectionAccess::of(c).pending.isEmpty();
    });
    if (!anyPending)
        return;
    d->flushScheduled = true;
    // Always from the event loop: never inside the publishing call itself.
    QMetaObject::invokeMethod(this, &StoreEngine::flush, Qt::QueuedConnection);
}

void StoreEngine::flush()
{
    d->flushScheduled = false;
    if (d->batchDepth > 0)
        return; // endBatch() schedules the delivery
    if (d->delivering) {
        // A callout runs a nested event loop: deliver after it returns.
        d->flushAgain = true;
        return;
    }

    // Connections in the order of their run-loop sources.
    QList<StoreConnection *> targets;
    for (StoreConnection *connection : std::as_const(d->connections)) {
        if (!StoreConnectionAccess::of(connection).pending.isEmpty())
            targets.append(connection);
    }
    std::stable_sort(targets.begin(), targets.end(), [](StoreConnection *a, StoreConnection *b) {
        const auto &sa = StoreConnectionAccess::of(a).attachedSource;
        const auto &sb = StoreConnectionAccess::of(b).attachedSource;
        return (sa ? sa->order() : 0) < (sb ? sb->order() : 0);
    });

    QPointer<StoreEngine> self(this);
    d->delivering = true;
    for (StoreConnection *connection : std::as_const(targets)) {
        // An earlier callout may have destroyed this connection.
        if (!d->connections.contains(connection))
            continue;
        StoreConnection::Private &c = StoreConnectionAccess::of(connection);
        QList<StoreChange> changes;
        changes.swap(c.pending);
        QHash<QString, qsizetype> at;
        at.swap(c.pendingAt);
        // The connection may have changed its keys since: tell only what it asks for now.
        const qsizetype listed = changes.size();
        changes.removeIf([&c](const StoreChange &change) { return !c.isRegisteredFor(change.key); });
        if (changes.isEmpty() || !c.receivesChanges())
            continue;
        if (changes.size() != listed) {
            at.clear();
            for (qsizetype i = 0; i < changes.size(); ++i)
                at.insert(changes.at(i).key, i);
        }
        QStringList list;
        list.reserve(changes.size());
        for (const StoreChange &change : std::as_const(changes))
            list.append(change.key);
        c.delivered = std::move(changes);
        c.deliveredAt = std::move(at);
        c.deliveredCurrent = true;
        c.callout(connection, &list, c.context);
        if (!self)
            return; // a callout destroyed the engine
        // The changes are let go with the list (unless the callout destroyed
        // its own connection).
        if (d->connections.contains(connection)) {
            StoreConnection::Private &after = StoreConnectionAccess::of(connection);
            after.delivered.clear();
            after.deliveredAt.clear();
            after.deliveredCurrent = false;
        }
    }
    d->delivering = false;
    if (d->flushAgain) {
        d->flushAgain = false;
        scheduleFlush();
    }
}

// --- Connection functions ---------------------------------------------------------

namespace {

// Why the last attempt to open a connection on this thread failed (empty
// when it succeeded), so that later calls without a connection can say why.
QString &lastOpenFailure()
{
    thread_local QString reason;
    return reason;
}

// The connection's engine, or none with the error set.
StoreEngine *engineOf(StoreConnection *store)
{
    if (!store) {
        const QString &reason = lastOpenFailure();
        setError(StoreNoConnection,
                 reason.isEmpty() ? QString() : QStringLiteral("No connection to the store: ") + reason);
        return nullptr;
    }
    StoreEngine *engine = StoreConnectionAccess::of(store).engine;
    if (!engine)
        setError(StoreNoConnection, QStringLiteral("The connection's store has gone away"));
    return engine;
}

} // namespace

std::unique_ptr<StoreConnection> storeCreate(const QString &name, StoreCallout callout, void *context)
{
    StoreEngine *engine = StoreEngine::instance();
    if (!engine) {
        const QString error = QStringLiteral("No store engine is running");
        setError(StoreNoConnection, error);
        lastOpenFailure() = error;
        return nullptr;
    }
    QString error;
    if (!engine->ensureStarted(&error)) {
        setError(StoreSourceFailed, error);
        lastOpenFailure() = error;
        return nullptr;
    }
    lastOpenFailure().clear();
    std::unique_ptr<StoreConnection> connection = StoreConnectionAccess::make();
    auto &c = StoreConnectionAccess::of(connection.get());
    c.name = name;
    c.callout = callout;
    c.context = context;
    engine->attach(connection.get());
    clearError();
    return connection;
}

bool storeSetNotificationKeys(StoreConnection *store, const QStringList *keys, const QStringList *patterns)
{
    if (!engineOf(store))
        return false;
    QList<KeyPattern> compiled;
    if (!compilePatterns(patterns ? *patterns : QStringList(), &compiled))
        return false; // the old keys and patterns stay
    auto &c = StoreConnectionAccess::of(store);
    c.keys = keys ? QSet<QString>(keys->cbegin(), keys->cend()) : QSet<QString>();
    c.patterns = std::move(compiled);
    clearError();
    return true;
}

std::shared_ptr<StoreRunLoopSource> storeCreateRunLoopSource(StoreConnection *store, int order)
{
    if (!engineOf(store))
        return nullptr;
    auto &c = StoreConnectionAccess::of(store);
    std::shared_ptr<StoreRunLoopSource> source = c.runLoopSource.lock();
    if (!source) {
        source = StoreConnectionAccess::makeSource(store, order);
        c.runLoopSource = source;
    }
    clearError();
    return source;
}

void storeRunLoopAddSource(const std::shared_ptr<StoreRunLoopSource> &source)
{
    if (!source || !source->connection()) {
        setError(StoreNoConnection);
        return;
    }
    auto &c = StoreConnectionAccess::of(source->connection());
    StoreConnectionAccess::markAttached(*source);
    c.attachedSource = source; // the connection keeps it from now on
    clearError();
}

std::optional<QStringList> storeCopyKeyList(StoreConnection *store, const QString &pattern)
{
    StoreEngine *engine = engineOf(store);
    if (!engine)
        return std::nullopt;
    QList<KeyPattern> compiled;
    if (!compilePatterns({pattern}, &compiled))
        return std::nullopt;
    QStringList result = engine->keys();
    const KeyPattern &keyPattern = compiled.first();
    if (!keyPattern.everyKey)
        result.removeIf([&keyPattern](const QString &key) { return !keyPattern.matches(key); });
    clearError();
    return result;
}

PropertyListValue storeCopyValue(StoreConnection *store, const QString &key)
{
    StoreEngine *engine = engineOf(store);
    if (!engine)
        return {};
    PropertyListValue value = engine->value(key);
    if (value.isNone())
        setError(StoreNoKey, QStringLiteral("No such key: %1").arg(key));
    else
        clearError();
    return value;
}

std::optional<PropertyListDictionary> storeCopyPreviousValues(StoreConnection *store)
{
    if (!engineOf(store))
        return std::nullopt;
    clearError();
    PropertyListDictionary previous;
    for (const StoreChange &change : std::as_const(StoreConnectionAccess::of(store).delivered)) {
        if (!change.previous.isNone())
            previous.insert(change.key, change.previous);
    }
    return previous;
}

std::optional<QList<StoreChange>> storeCopyChanges(StoreConnection *store)
{
    if (!engineOf(store))
        return std::nullopt;
    clearError();
    return StoreConnectionAccess::of(store).delivered;
}

std::optional<PropertyListDictionary> storeCopyMultiple(StoreConnection *store, const QStringList *keys,
                                                        const QStringList *patterns)
{
    StoreEngine *engine = engineOf(store);
    if (!engine)
        return std::nullopt;
    QList<KeyPattern> compiled;
    if (!compilePatterns(patterns ? *patterns : QStringList(), &compiled))
        return std::nullopt;
    PropertyListDictionary result;
    if (keys) {
        const auto &c = StoreConnectionAccess::of(store);
        const bool delivered = c.deliveredCurrent;
        for (qsizetype i = 0; i < keys->size(); ++i) {
            const QString &key = keys->at(i);
            PropertyListValue value;
            if (delivered && i < c.delivered.size() && c.delivered.at(i).key.isSharedWith(key)) {
                value = c.delivered.at(i).current; // the list delivered, asked for in its order: no lookup
            } else {
                const auto known = delivered ? c.deliveredAt.constFind(key) : c.deliveredAt.cend();
                value = known != c.deliveredAt.cend() ? c.delivered.at(*known).current : engine->value(key);
            }
            // Keys asked for in order go in at the end after one comparison.
            if (!value.isNone())
                result.insert(result.cend(), key, value);
        }
    }
    if (!compiled.isEmpty()) {
        const QStringList all = engine->keys();
        for (const QString &key : all) {
            if (!result.contains(key) && matchesAny(compiled, key))
                result.insert(key, engine->value(key));
        }
    }
    clearError();
    return result;
}

} // namespace kv
