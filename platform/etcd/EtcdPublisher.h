#pragma once

// Publishes this process's store (its installed engine: the live source, or
// a snapshot) into an etcd cluster under PREFIX + HOST + "/", where readers
// (EtcdSource) see it as HOST's keys.
//
// Every key is written with a lease of its own host (TTL seconds) that is
// kept alive while the publisher runs: when the publisher stops it revokes
// the lease and the host's keys vanish at once; when it dies they vanish as
// the lease expires. Each change list of the store becomes one transaction
// of puts and deletes (several when it holds more operations than the
// cluster takes in one); values are written as XML property lists, readable
// with `etcdctl get`. After any failure (a member gone, the lease lost) the
// publisher rewrites its keys, once the cluster answers again, so that the
// cluster matches the store.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdClient.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <memory>

namespace kv::etcd {

struct EtcdPublisherOptions
{
    QString host; // the first piece of every key; no "/"
    int ttlSeconds = 10;
    int operationsPerTransaction = 128; // etcd's default --max-txn-ops
    int firstRetryMilliseconds = 100;
    int longestRetryMilliseconds = 5000;
};

class EtcdPublisher : public QObject
{
    Q_OBJECT
public:
    EtcdPublisher(EtcdSettings settings, EtcdPublisherOptions options, QObject *parent = nullptr);
    ~EtcdPublisher() override;

    // Opens a connection to the installed engine, grants the lease and writes
    // every key, waiting for it. False with a one-line reason when the store
    // cannot be opened or the cluster cannot be reached or refuses.
    bool start(QString *error);
    // Revokes the lease (the host's keys vanish), waiting for it at most a
    // few seconds, and stops following the store.
    void stop();

    // PREFIX + HOST + "/".
    QByteArray hostPrefix() const;
    qint64 lease() const { return m_lease; }
    // Whether the cluster holds what the store held when last written, with
    // nothing waiting to be written.
    bool isInSync() const;
    EtcdClient &client() { return *m_client; }

    // The one-line reason a host name cannot serve, or empty.
    static QString hostProblem(const QString &host);

Q_SIGNALS:
    // A write reached the cluster (after it, isInSync() may be true).
    void written();

private:
    static void storeChanged(StoreConnection *, const QStringList *changedKeys, void *context);
    void pump();
    void grantLease();
    void rewrite();
    void writeKeys(const QStringList &keys);
    void sendTransactions(QList<QJsonObject> operations, std::function<void()> done);
    void failed(const EtcdResult &why);
    void keepAlive();
    QJsonObject putOperation(const QString &key, const PropertyListValue &value);
    QByteArray etcdKey(const QString &storeKey) const;

    EtcdSettings m_settings;
    EtcdPublisherOptions m_options;
    EtcdClient *m_client;
    std::unique_ptr<StoreConnection> m_store;
    qint64 m_lease = 0;
    QSet<QString> m_dirty; // keys changed since they were last written
    bool m_rewrite = true; // the cluster is to be made to match the whole store
    bool m_busy = false;   // a write is under way
    bool m_stopped = false;
    QTimer m_keepAlive;
    QTimer m_retry;
    int m_retryDelay = 0;
    bool m_troubleReported = false;
    EtcdResult m_lastFailure;
};

} // namespace kv::etcd
