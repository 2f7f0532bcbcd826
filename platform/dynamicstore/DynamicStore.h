#pragma once

// The dynamic configuration store: an in-process key/value engine in which
// configuration agents ("sources") publish the machine's state, and through
// which clients read keys and values and receive change lists.
//
// Clients use the connection functions at the bottom of this file; a
// connection can only read. Sources publish through StoreEngine's publishing
// interface.

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
    Kind kind = Kind::LiveSystem;
    QString snapshotPath; // for Kind::Snapshot
};

// The engine. One per process (instance()); tests may make their own and use
// StoreEngine::setInstance to install it.
class StoreEngine : public QObject
{
    Q_OBJECT
public:
    explicit StoreEngine(QObject *parent = nullptr);
    ~StoreEngine() override;

    static StoreEngine *instance();
    // Installs an engine as the process-wide one (the caller keeps ownership;
    // pass nullptr to go back to a lazily made default engine).
    static void setInstance(StoreEngine *engine);

    // Sources: the engine takes ownership. Sources added before the first
    // connection is opened are started then; sources added later are started
    // at once.
    void addSource(std::unique_ptr<StoreSource> source);
    // Makes the sources for a configuration (live system, snapshot file).
    void configure(const StoreConfiguration &configuration);
    // Starts the sources if not yet done; false with *error when one fails.
    bool ensureStarted(QString *error);

    // --- Publishing interface (for sources) ---------------------------------
    // Sets a key's value. No change is reported when the new value equals the
    // old one. A none value removes the key.
    void setValue(const QString &key, const PropertyListValue &value);
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
    static constexpr int MaximumDepth = 512;

    // Internal: connection registration.
    void attach(StoreConnection *connection);
    void detach(StoreConnection *connection);

private:
    void changed(const QString &key);
    void flush();

    struct Private;
    std::unique_ptr<Private> d;
};

// Called on the main thread, from the event loop, with the keys changed since
// the last call (each once, in the order of their first change). Never called
// from inside a store call.
using StoreCallout = void (*)(StoreConnection *store, const QStringList *changedKeys, void *context);

// A run-loop source: while it exists (owned by the event loop after
// storeRunLoopAddSource), change lists are delivered to the connection.
class StoreRunLoopSource;

// --- Connection functions ---------------------------------------------------

// Opens a read-only connection to the process's engine, starting its sources.
// Returns none on failure (storeError()/storeErrorString() say why).
std::unique_ptr<StoreConnection> storeCreate(const QString &name, StoreCallout callout, void *context);

// Sets the keys and regular-expression patterns whose changes are reported.
bool storeSetNotificationKeys(StoreConnection *store, const QStringList *keys, const QStringList *patterns);

// Makes the connection's run-loop source (none on failure).
std::shared_ptr<StoreRunLoopSource> storeCreateRunLoopSource(StoreConnection *store, int order);
// Attaches a run-loop source to the current thread's Qt event loop; the loop
// keeps it from then on (the caller may drop its reference).
void storeRunLoopAddSource(const std::shared_ptr<StoreRunLoopSource> &source);

// Every key matching the regular expression (".*" for all), or none on failure.
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
