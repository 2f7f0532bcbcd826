#pragma once

// The dynamic configuration store: an in-process key/value engine in which
// configuration agents ("sources") publish the machine's state, and through
// which clients read keys and values and receive change lists.
//
// Clients use the connection functions at the bottom of this file; a
// connection can only read. Sources publish through StoreEngine's publishing
// interface.

#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListValue.h"

#include <QObject>
#include <QRegularExpression>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kv {

class StoreConnection;
class StoreEngine;
class SnapshotReadAhead;

// Error codes reported by storeError().
enum StoreErrorCode : int {
    StoreOK = 0,
    StoreFailed = 1001,          // generic failure
    StoreNoConnection = 1002,    // a call was made without a connection
    StoreInvalidArgument = 1003, // e.g. a pattern that is not a regular expression
    StoreSourceFailed = 1004,    // the store's source could not be started (text names why)
    StoreNoKey = 1005,           // the requested key does not exist
};

// A configuration agent that publishes into the engine. The engine owns its
// sources; start() is called when the first connection is opened.
class StoreSource
{
public:
    virtual ~StoreSource() = default;
    // Publish the initial contents. Return false and set *error to a one-line
    // reason when the source cannot serve (the connection is then refused).
    virtual bool start(StoreEngine &engine, QString *error) = 0;
};

// Which sources the engine runs; set by the program's entry before the first
// connection is opened.
struct StoreConfiguration
{
    enum class Kind { LiveSystem, Snapshot, Empty };
    explicit StoreConfiguration(Kind kind = Kind::LiveSystem, QString snapshotPath = QString())
        : kind(kind), snapshotPath(std::move(snapshotPath))
    {}

    Kind kind;
    QString snapshotPath; // for Kind::Snapshot
    // Optionally, the snapshot file already being read (see SnapshotReadAhead).
    std::shared_ptr<SnapshotReadAhead> snapshotReadAhead;
};

// The engine. One per process (instance()); tests may make their own and use
// StoreEngine::setInstance to install it. Lives on the main thread: every
// call is made there, and change lists are delivered there from the event loop.
class StoreEngine : public QObject
{
    Q_OBJECT
public:
    explicit StoreEngine(QObject *parent = nullptr);
    ~StoreEngine() override;

    // The process-wide engine. Unless one was installed with setInstance, a
    // default engine is made on first use (parented to the application object
    // when there is one); it serves the live system unless configure() is
    // called before the first connection is opened.
    static StoreEngine *instance();
    // Installs an engine as the process-wide one (the caller keeps ownership;
    // pass nullptr to go back to a lazily made default engine).
    static void setInstance(StoreEngine *engine);

    // Sources: the engine takes ownership. Sources added before the first
    // connection is opened are started then; sources added later are started
    // at once (a failure is logged).
    void addSource(std::unique_ptr<StoreSource> source);
    // Replaces the sources with those of a configuration (live system,
    // snapshot file, none). Keys published by the old sources are removed.
    void configure(const StoreConfiguration &configuration);
    // Starts the sources not yet started; false with *error when one fails
    // (a later call tries the failed one again).
    bool ensureStarted(QString *error);

    // --- Publishing interface (for sources) ---------------------------------
    // Sets a key's value. No change is reported when the new value equals the
    // old one. A none value removes the key. A value nested deeper than
    // MaximumDepth is refused (one system-log line; the old value stays).
    void setValue(const QString &key, const PropertyListValue &value);
    // setValue for every entry of `values`, in one change list. An engine
    // that holds no keys yet takes the dictionary as it is (shared, not
    // copied) when every entry would be set.
    void setValues(const PropertyListDictionary &values);
    // Removes a key; nothing is reported when it does not exist.
    void removeValue(const QString &key);
    // Reports the key as changed without changing it.
    void notifyValue(const QString &key);
    // Changes made between beginBatch() and endBatch() reach each connection
    // as one change list (batches nest).
    void beginBatch();
    void endBatch();

    // --- Reading (used by connections, also handy for sources and tests) ----
    bool contains(const QString &key) const;
    PropertyListValue value(const QString &key) const;
    QStringList keys() const; // in store-key order
    qsizetype keyCount() const;

    // Values nested deeper than this are refused by setValue (logged).
    static constexpr int MaximumDepth = PropertyListMaximumDepth;

    // Internal: connection registration.
    void attach(StoreConnection *connection);
    void detach(StoreConnection *connection);

private:
    void changed(const QString &key);
    void scheduleFlush();
    void flush();

    struct Private;
    std::unique_ptr<Private> d;
};

// Called on the main thread, from the event loop, with the keys changed since
// the last call (each once, in the order of their first change). Never called
// from inside a store call.
using StoreCallout = void (*)(StoreConnection *store, const QStringList *changedKeys, void *context);

// A client's read-only connection to the engine, made by storeCreate(). It
// has no write operation: only sources write, through StoreEngine. Destroying
// it detaches it from the engine; change lists not yet delivered are dropped.
class StoreConnection
{
public:
    ~StoreConnection();
    StoreConnection(const StoreConnection &) = delete;
    StoreConnection &operator=(const StoreConnection &) = delete;

    QString name() const;

private:
    StoreConnection();
    friend class StoreEngine;
    friend class StoreRunLoopSource;
    friend struct StoreConnectionAccess;
    struct Private;
    std::unique_ptr<Private> d;
};

// A run-loop source: once attached with storeRunLoopAddSource, change lists
// are delivered to its connection from the event loop.
class StoreRunLoopSource
{
public:
    ~StoreRunLoopSource();
    StoreRunLoopSource(const StoreRunLoopSource &) = delete;
    StoreRunLoopSource &operator=(const StoreRunLoopSource &) = delete;

    int order() const { return m_order; }
    // The connection it serves (none once that connection is destroyed).
    StoreConnection *connection() const { return m_connection; }
    bool isAttached() const { return m_attached; }

private:
    StoreRunLoopSource(StoreConnection *connection, int order) : m_connection(connection), m_order(order) {}
    friend class StoreConnection;
    friend struct StoreConnectionAccess;
    StoreConnection *m_connection;
    int m_order;
    bool m_attached = false;
};

// --- Connection functions ---------------------------------------------------

// Opens a read-only connection to the process's engine, starting its sources.
// Returns none on failure (storeError()/storeErrorString() say why).
std::unique_ptr<StoreConnection> storeCreate(const QString &name, StoreCallout callout, void *context);

// Sets the keys and regular-expression patterns whose changes are reported.
// A pattern must match a whole key; "." matches every character, line ends
// included, and ".*" selects every key.
bool storeSetNotificationKeys(StoreConnection *store, const QStringList *keys, const QStringList *patterns);

// Makes the connection's run-loop source (none on failure; the same source
// when called again for the same connection).
std::shared_ptr<StoreRunLoopSource> storeCreateRunLoopSource(StoreConnection *store, int order);
// Attaches a run-loop source to the current thread's Qt event loop; the loop
// keeps it from then on (the caller may drop its reference).
void storeRunLoopAddSource(const std::shared_ptr<StoreRunLoopSource> &source);

// Every key matching the whole-key pattern (".*" for all, as for
// storeSetNotificationKeys), or none on failure.
std::optional<QStringList> storeCopyKeyList(StoreConnection *store, const QString &pattern);

// The key's value, or none when the key does not exist.
PropertyListValue storeCopyValue(StoreConnection *store, const QString &key);

// A dictionary of exactly the listed keys that exist (plus those matching any
// pattern), or none on failure.
std::optional<PropertyListDictionary> storeCopyMultiple(StoreConnection *store, const QStringList *keys,
                                                        const QStringList *patterns);

// The last error of this thread's store calls (0 if none) and its text.
int storeError();
QString storeErrorString(int code);

// Key prefix of the preferences domain.
extern const QString storeDomainPrefs; // "Prefs:"

} // namespace kv
