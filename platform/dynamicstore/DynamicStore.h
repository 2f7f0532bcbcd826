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

// Error codes reported by storeError().
enum StoreErrorCode : int {
    StoreOK = 0,
    StoreFailed = 1001,          // generic failure
    StoreNoConnection = 1002,    // a call was made without a connection
    StoreInvalidArgument = 1003, // e.g. a pattern that is not a regular expression
    StoreSourceFailed = 1004,    // the store's source could not be started (text names why)
    StoreNoKey = 1005,           // the requested key does not exist
};

// One key of a delivered change list: its value before the list's first
// change of it (none when it did not exist then) and after the last (none
// when it was removed). Both are shared with what the store held.
struct StoreChange
{
    QString key;
    PropertyListValue previous;
    PropertyListValue current;
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

// The engine. The program's entry makes one and installs it for its lifetime
// (Installation); connections are opened on the installed engine. Lives on
// the main thread: every call is made there, and change lists are delivered
// there from the event loop.
class StoreEngine : public QObject
{
    Q_OBJECT
public:
    explicit StoreEngine(QObject *parent = nullptr);
    ~StoreEngine() override;

    // The installed engine, or none.
    static StoreEngine *instance();
    // Installs an engine as the process-wide one (the caller keeps ownership;
    // none uninstalls).
    static void setInstance(StoreEngine *engine);
    // Installs an engine for the installation's lifetime; the engine
    // installed before comes back when it goes.
    class Installation
    {
    public:
        explicit Installation(StoreEngine &engine) : m_previous(instance()) { setInstance(&engine); }
        ~Installation() { setInstance(m_previous); }
        Installation(const Installation &) = delete;
        Installation &operator=(const Installation &) = delete;

    private:
        StoreEngine *m_previous;
    };

    // Sources: the engine takes ownership. Sources added before the first
    // connection is opened are started then; sources added later are started
    // at once (a failure is logged).
    void addSource(std::unique_ptr<StoreSource> source);
    // Replaces the sources. Keys published by the old sources are removed.
    void setSources(std::vector<std::unique_ptr<StoreSource>> sources);
    // Starts the sources not yet started; false with *error when one fails
    // (a later call tries the failed one again).
    bool ensureStarted(QString *error);

    // --- Publishing interface (for sources) ---------------------------------
    // Sets a key's value. No change is reported when the new value equals the
    // old one. A none value removes the key. A value nested deeper than
    // MaximumDepth is refused (one system-log line; the old value stays).
    void setValue(const QString &key, const PropertyListValue &value);
    // What a publisher vouches for the values it sets in one call.
    enum class Values {
        Unchecked, // each value is looked into, as setValue does
        // No value is none or nests deeper than MaximumDepth, as with the
        // entries of a property-list file's top-level dictionary (its readers
        // refuse deeper files): the values are not looked into. Empty keys
        // are still refused.
        Wellformed,
    };
    // setValue for every entry of `values`, in one change list. An engine
    // that holds no keys yet takes the dictionary as it is (shared, not
    // copied) when every entry would be set.
    void setValues(const PropertyListDictionary &values, Values vouched = Values::Unchecked);
    // Publishes `fresh` in place of `published`, what one source published
    // before: its keys that `fresh` lacks are removed, the others set, in one
    // change list that holds only real changes.
    void publishChanges(const PropertyListDictionary &published, const PropertyListDictionary &fresh,
                        Values vouched = Values::Unchecked);
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
    void set(const QString &key, const PropertyListValue &value, Values vouched);
    // `previous` is the key's value before this change and `current` its
    // value after it (none when it did not exist then, or does not now).
    void changed(const QString &key, const PropertyListValue &previous, const PropertyListValue &current);
    void scheduleFlush();
    void flush();

    struct Private;
    std::unique_ptr<Private> d;
};

// Called on the main thread, from the event loop, with the keys changed since
// the last call (each once, in the order of their first change). Never called
// from inside a store call. storeCopyPreviousValues() tells, during the call,
// what each key held before; storeCopyChanges() each key's values before and
// after, in the list's order.
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

// Opens a read-only connection to the installed engine, starting its
// sources. Returns none on failure (storeError()/storeErrorString() say why).
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

// During the callout: the values the delivered keys had before their first
// change in the list, by key; a delivered key that is absent did not exist
// then (it was added). The values are shared with what the store held, never
// copied. A key changed and changed back within one list is delivered with
// an old value equal to its current one. Outside a callout the dictionary is
// empty; none on failure.
std::optional<PropertyListDictionary> storeCopyPreviousValues(StoreConnection *store);

// During the callout: the delivered list's changes, one per key in the
// list's order, each with the key's value before its first change and after
// its last change in the list (the store may have changed since). Outside a
// callout the list is empty; none on failure.
std::optional<QList<StoreChange>> storeCopyChanges(StoreConnection *store);

// The last error of this thread's store calls (0 if none) and its text.
int storeError();
QString storeErrorString(int code);

// Key prefix of the preferences domain.
extern const QString storeDomainPrefs; // "Prefs:"

} // namespace kv
