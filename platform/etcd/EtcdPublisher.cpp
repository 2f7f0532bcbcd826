#include "platform/etcd/EtcdPublisher.h"

#include "platform/SystemLog.h"
#include "platform/etcd/EtcdKeys.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace kv::etcd {

namespace {

// Below etcd's default request limit (1.5 MiB), with room for the JSON.
constexpr qsizetype TransactionBytes = 1024 * 1024;

} // namespace

EtcdPublisher::EtcdPublisher(EtcdSettings settings, EtcdPublisherOptions options, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_options(std::move(options)),
      m_client(new EtcdClient(m_settings, this))
{
    m_keepAlive.setInterval(std::max(500, m_options.ttlSeconds * 1000 / 3));
    connect(&m_keepAlive, &QTimer::timeout, this, &EtcdPublisher::keepAlive);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &EtcdPublisher::pump);
}

EtcdPublisher::~EtcdPublisher() = default;

QString EtcdPublisher::hostProblem(const QString &host)
{
    if (host.isEmpty())
        return QStringLiteral("the host name is empty");
    if (host.contains(QLatin1Char('/')))
        return QStringLiteral("the host name \"%1\" holds a \"/\"").arg(host);
    return QString();
}

QByteArray EtcdPublisher::hostPrefix() const
{
    return m_settings.prefix + m_options.host.toUtf8() + '/';
}

QByteArray EtcdPublisher::etcdKey(const QString &storeKey) const
{
    // The reader's key for it is HOST:/KEY, which maps back to exactly this.
    return etcdKeyFromStore(m_options.host + QStringLiteral(":/") + storeKey, m_settings.prefix).value_or(QByteArray());
}

bool EtcdPublisher::isInSync() const
{
    return m_lease != 0 && !m_rewrite && !m_busy && m_dirty.isEmpty();
}

bool EtcdPublisher::start(QString *error)
{
    if (const QString problem = hostProblem(m_options.host); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    if (m_options.ttlSeconds < 1) {
        *error = QStringLiteral("the lease's time to live must be at least one second");
        return false;
    }
    m_store = storeCreate(QStringLiteral("keyvane-cli publish"), &EtcdPublisher::storeChanged, this);
    if (!m_store) {
        *error = storeErrorString(storeError());
        return false;
    }
    const QStringList everything{QStringLiteral(".*")};
    if (!storeSetNotificationKeys(m_store.get(), nullptr, &everything)) {
        *error = storeErrorString(storeError());
        return false;
    }
    const std::shared_ptr<StoreRunLoopSource> source = storeCreateRunLoopSource(m_store.get(), 0);
    if (!source) {
        *error = storeErrorString(storeError());
        return false;
    }
    storeRunLoopAddSource(source);

    m_lastFailure = {};
    pump();
    QEventLoop loop;
    while (!isInSync() && m_lastFailure.ok())
        loop.processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    if (!m_lastFailure.ok()) {
        *error = m_lastFailure.error;
        m_retry.stop();
        m_keepAlive.stop();
        m_store.reset();
        return false;
    }
    return true;
}

void EtcdPublisher::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_keepAlive.stop();
    m_retry.stop();
    m_store.reset();
    if (m_lease != 0) {
        m_client->setCallTimeout(2000);
        const EtcdResult revoked = m_client->callAndWait(QStringLiteral("/v3/lease/revoke"),
                                                         QJsonObject{{QStringLiteral("ID"), QString::number(m_lease)}});
        if (!revoked.ok())
            systemLog(QStringLiteral("etcd: cannot revoke the lease of %1 (its keys go when it expires): %2")
                          .arg(m_options.host, revoked.error));
        m_lease = 0;
    }
}

void EtcdPublisher::storeChanged(StoreConnection *, const QStringList *changedKeys, void *context)
{
    auto *self = static_cast<EtcdPublisher *>(context);
    if (!changedKeys)
        return;
    for (const QString &key : *changedKeys)
        self->m_dirty.insert(key);
    self->pump();
}

void EtcdPublisher::pump()
{
    if (m_stopped || m_busy || m_retry.isActive())
        return;
    if (m_lease == 0)
        grantLease();
    else if (m_rewrite)
        rewrite();
    else if (!m_dirty.isEmpty())
        writeKeys(QStringList(m_dirty.cbegin(), m_dirty.cend()));
}

void EtcdPublisher::grantLease()
{
    m_busy = true;
    m_client->call(
        QStringLiteral("/v3/lease/grant"), QJsonObject{{QStringLiteral("TTL"), QString::number(m_options.ttlSeconds)}},
        [this](const EtcdResult &answer) {
            if (!answer.ok() || int64Field(answer.json, QStringLiteral("ID")) == 0) {
                failed(answer.ok() ? EtcdResult{EtcdFault::Protocol, QStringLiteral("the cluster granted no lease"), {}}
                                   : answer);
                return;
            }
            m_lease = int64Field(answer.json, QStringLiteral("ID"));
            m_rewrite = true;
            m_keepAlive.start();
            m_busy = false;
            pump();
        });
}

QJsonObject EtcdPublisher::putOperation(const QString &key, const PropertyListValue &value)
{
    QString error;
    const QByteArray bytes = etcdBytesFromValue(value, &error);
    const QByteArray target = etcdKey(key);
    if (bytes.isEmpty() || target.isEmpty()) {
        systemLog(QStringLiteral("etcd: %1 is left out: %2")
                      .arg(key, error.isEmpty() ? QStringLiteral("its key cannot be written") : error));
        return QJsonObject();
    }
    return QJsonObject{
        {QStringLiteral("request_put"), QJsonObject{{QStringLiteral("key"), EtcdClient::encode(target)},
                                                    {QStringLiteral("value"), EtcdClient::encode(bytes)},
                                                    {QStringLiteral("lease"), QString::number(m_lease)}}}};
}

static QJsonObject deleteOperation(const QByteArray &etcdKey)
{
    return QJsonObject{
        {QStringLiteral("request_delete_range"), QJsonObject{{QStringLiteral("key"), EtcdClient::encode(etcdKey)}}}};
}

void EtcdPublisher::rewrite()
{
    m_busy = true;
    m_rewrite = false; // set again by a failure
    m_dirty.clear();   // the whole store is read now; later changes come anew
    const QStringList everything{QStringLiteral(".*")};
    const PropertyListDictionary contents =
        storeCopyMultiple(m_store.get(), nullptr, &everything).value_or(PropertyListDictionary());
    const QByteArray prefix = hostPrefix();
    m_client->call(QStringLiteral("/v3/kv/range"),
                   QJsonObject{{QStringLiteral("key"), EtcdClient::encode(prefix)},
                               {QStringLiteral("range_end"), EtcdClient::encode(prefixRangeEnd(prefix))},
                               {QStringLiteral("keys_only"), true}},
                   [this, contents](const EtcdResult &answer) {
                       if (!answer.ok()) {
                           failed(answer);
                           return;
                       }
                       QSet<QByteArray> wanted;
                       QList<QJsonObject> operations;
                       for (auto it = contents.cbegin(); it != contents.cend(); ++it) {
                           const QJsonObject put = putOperation(it.key(), it.value());
                           if (put.isEmpty())
                               continue;
                           wanted.insert(etcdKey(it.key()));
                           operations.append(put);
                       }
                       for (const QJsonValue &entry : answer.json.value(QLatin1String("kvs")).toArray()) {
                           const QByteArray key = EtcdClient::decode(entry.toObject().value(QLatin1String("key")));
                           if (!wanted.contains(key))
                               operations.append(deleteOperation(key));
                       }
                       sendTransactions(std::move(operations), [this] {
                           m_busy = false;
                           Q_EMIT written();
                           pump();
                       });
                   });
}

void EtcdPublisher::writeKeys(const QStringList &keys)
{
    m_busy = true;
    m_dirty.clear();
    QList<QJsonObject> operations;
    for (const QString &key : keys) {
        const PropertyListValue value = storeCopyValue(m_store.get(), key);
        QJsonObject operation = value.isNone() ? QJsonObject() : putOperation(key, value);
        if (operation.isEmpty() && !etcdKey(key).isEmpty())
            operation = deleteOperation(etcdKey(key));
        if (!operation.isEmpty())
            operations.append(operation);
    }
    sendTransactions(std::move(operations), [this] {
        m_busy = false;
        Q_EMIT written();
        pump();
    });
}

void EtcdPublisher::sendTransactions(QList<QJsonObject> operations, std::function<void()> done)
{
    if (operations.isEmpty()) {
        done();
        return;
    }
    // As many operations as one transaction may hold.
    QJsonArray batch;
    qsizetype bytes = 0;
    qsizetype taken = 0;
    while (taken < operations.size() && batch.size() < m_options.operationsPerTransaction) {
        const QJsonObject &operation = operations.at(taken);
        const qsizetype size = QJsonDocument(operation).toJson(QJsonDocument::Compact).size();
        if (!batch.isEmpty() && bytes + size > TransactionBytes)
            break;
        batch.append(operation);
        bytes += size;
        ++taken;
    }
    operations.remove(0, taken);
    m_client->call(
        QStringLiteral("/v3/kv/txn"), QJsonObject{{QStringLiteral("success"), batch}},
        [this, operations = std::move(operations), done = std::move(done)](const EtcdResult &answer) mutable {
            if (!answer.ok()) {
                failed(answer);
                return;
            }
            m_retryDelay = 0;
            if (m_troubleReported) {
                systemLog(QStringLiteral("etcd: writing to %1 again").arg(m_client->currentEndpoint()));
                m_troubleReported = false;
            }
            sendTransactions(std::move(operations), std::move(done));
        });
}

void EtcdPublisher::failed(const EtcdResult &why)
{
    m_busy = false;
    m_rewrite = true;
    m_lastFailure = why;
    if (why.error.contains(QLatin1String("lease not found"))) {
        m_lease = 0;
        m_keepAlive.stop();
    }
    if (!m_troubleReported) {
        m_troubleReported = true;
        systemLog(QStringLiteral("etcd: %1; trying again").arg(why.error));
    }
    if (why.fault == EtcdFault::Unreachable)
        m_client->switchEndpoint();
    m_retryDelay = m_retryDelay == 0 ? m_options.firstRetryMilliseconds
                                     : std::min(m_retryDelay * 2, m_options.longestRetryMilliseconds);
    m_retry.start(m_retryDelay);
}

void EtcdPublisher::keepAlive()
{
    if (m_lease == 0 || m_stopped)
        return;
    const qint64 lease = m_lease;
    m_client->call(QStringLiteral("/v3/lease/keepalive"), QJsonObject{{QStringLiteral("ID"), QString::number(lease)}},
                   [this, lease](const EtcdResult &answer) {
                       if (m_stopped || lease != m_lease)
                           return;
                       if (!answer.ok()) {
                           // The keys may be gone or stale by the time the
                           // cluster answers again: rewrite them then.
                           m_rewrite = true;
                           if (!m_troubleReported) {
                               m_troubleReported = true;
                               systemLog(QStringLiteral("etcd: %1; trying again").arg(answer.error));
                           }
                           return;
                       }
                       if (int64Field(answer.json, QStringLiteral("TTL")) <= 0) {
                           // Expired while we could not reach the cluster.
                           m_lease = 0;
                           m_keepAlive.stop();
                       }
                       pump();
                   });
}

} // namespace kv::etcd
