#include "platform/etcd/EtcdSource.h"

#include "platform/SystemLog.h"
#include "platform/etcd/EtcdGrpc.h"
#include "platform/etcd/EtcdKeys.h"

#include <QEventLoop>
#include <QJsonArray>

#include <algorithm>

namespace kv::etcd {

struct EtcdSource::Load
{
    PropertyListDictionary contents;
    QByteArray nextKey;
    qint64 revision = 0; // the revision every page is read at
};

EtcdSource::EtcdSource(EtcdSettings settings, EtcdSourceOptions options, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_options(options),
      m_rangeEnd(prefixRangeEnd(m_settings.prefix)), m_client(new EtcdClient(m_settings, this))
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (auto action = std::exchange(m_retryAction, {}))
            action();
    });
}

EtcdSource::~EtcdSource()
{
    delete m_watch;
}

bool EtcdSource::start(StoreEngine &engine, QString *error)
{
    m_engine = &engine;
    m_starting = true;
    m_startFailure = {};
    load();
    // Wait for the first load, or for the first round over the members to
    // fail: with this the store opens full, or the start says why not.
    QEventLoop loop;
    while (!m_loaded && m_startFailure.ok())
        loop.processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    m_starting = false;
    if (m_loaded)
        return true;
    if (m_options.whenUnreachable == EtcdSourceOptions::WhenUnreachable::FailStart) {
        m_retry.stop();
        m_retryAction = {};
        *error = m_startFailure.error;
        m_engine = nullptr;
        return false;
    }
    reportTrouble(QStringLiteral("%1; trying again").arg(m_startFailure.error));
    return true;
}

void EtcdSource::load()
{
    auto state = std::make_shared<Load>();
    state->nextKey = m_settings.prefix;
    requestPage(std::move(state));
}

void EtcdSource::requestPage(std::shared_ptr<Load> state)
{
    // A page in hand: its header revision, `count` pairs (keyAt(i),
    // valueAt(i)) and whether more follow. The next page is asked for as soon
    // as this one's last key is known, so that the member reads it while this
    // one's values are read here.
    const auto pageRead = [this, state](qint64 revision, qsizetype count, bool more, const auto &keyAt,
                                        const auto &valueAt) {
        if (state->revision == 0)
            state->revision = revision;
        const bool last = !more || count == 0;
        if (!last) {
            state->nextKey = keyAt(count - 1) + '\0';
            requestPage(state);
        }
        for (qsizetype i = 0; i < count; ++i) {
            const QByteArray key = keyAt(i);
            if (key.startsWith(m_settings.prefix))
                state->contents.insert(storeKeyFromEtcd(key, m_settings.prefix), valueFromEtcd(valueAt(i)));
        }
        if (!last)
            return;
        // In full: publish the difference to what the store holds.
        m_retryDelay = 0;
        if (m_troubleReported) {
            systemLog(QStringLiteral("etcd: connected to %1 again").arg(m_client->currentEndpoint()));
            m_troubleReported = false;
        }
        if (m_engine)
            m_engine->publishChanges(m_published, state->contents);
        m_published = std::move(state->contents);
        m_revision = state->revision;
        m_loaded = true;
        watchFrom(m_revision + 1);
        Q_EMIT loaded();
    };
    // Pages after the first are read at the first one's revision, which every
    // member holding it serves alike: they need not go through the leader.
    const auto overGateway = [this, state, pageRead] {
        QJsonObject body{{QStringLiteral("key"), EtcdClient::encode(state->nextKey)},
                         {QStringLiteral("range_end"), EtcdClient::encode(m_rangeEnd)},
                         {QStringLiteral("limit"), QString::number(m_options.pageSize)}};
        if (state->revision > 0) {
            body.insert(QStringLiteral("revision"), QString::number(state->revision));
            body.insert(QStringLiteral("serializable"), true);
        }
        m_client->call(QStringLiteral("/v3/kv/range"), body, [this, pageRead](const EtcdResult &answer) {
            if (!answer.ok()) {
                loadFailed(answer);
                return;
            }
            const QJsonArray kvs = answer.json.value(QLatin1String("kvs")).toArray();
            const auto field = [&kvs](qsizetype i, QLatin1String name) {
                return EtcdClient::decode(kvs.at(i).toObject().value(name));
            };
            pageRead(
                headerRevision(answer.json), kvs.size(), answer.json.value(QLatin1String("more")).toBool(),
                [&](qsizetype i) { return field(i, QLatin1String("key")); },
                [&](qsizetype i) { return field(i, QLatin1String("value")); });
        });
    };
    GrpcRangeCalls &grpc = GrpcRangeCalls::of(*m_client);
    if (!grpc.usable()) {
        overGateway();
        return;
    }
    const RangeRequest range{state->nextKey, m_rangeEnd, m_options.pageSize, state->revision, state->revision > 0};
    grpc.range(range, [this, pageRead, overGateway](const GrpcRangeReply &reply) {
        if (reply.failure.fault == EtcdFault::Compacted) {
            loadFailed(reply.failure);
            return;
        }
        if (!reply.answer) {
            // Given up, or the member away or the token expired: the gateway
            // call goes on to the next member or renews the token as usual.
            overGateway();
            return;
        }
        // Keys are only looked at, in place; values are kept, so copied.
        const QList<RangeEntry> &kvs = reply.answer->kvs;
        pageRead(
            reply.answer->revision, kvs.size(), reply.answer->more,
            [&kvs](qsizetype i) { return QByteArray::fromRawData(kvs[i].key.data(), kvs[i].key.size()); },
            [&kvs](qsizetype i) { return kvs[i].value.toByteArray(); });
    });
}

void EtcdSource::loadFailed(const EtcdResult &why)
{
    if (m_starting && !m_loaded) {
        m_startFailure = why.ok() ? EtcdResult{EtcdFault::Protocol, QStringLiteral("etcd: no answer"), {}} : why;
        if (m_options.whenUnreachable == EtcdSourceOptions::WhenUnreachable::FailStart)
            return;
    } else if (why.fault != EtcdFault::Compacted) {
        reportTrouble(why.error);
    }
    // A page's revision compacted while paging: begin again at once;
    // otherwise after a pause, from the next member.
    if (why.fault == EtcdFault::Compacted) {
        load();
        return;
    }
    if (why.fault == EtcdFault::Unreachable)
        m_client->switchEndpoint();
    retryLater([this] { load(); });
}

void EtcdSource::watchFrom(qint64 revision)
{
    delete m_watch;
    m_watch = m_client->watch(QJsonObject{{QStringLiteral("key"), EtcdClient::encode(m_settings.prefix)},
                                          {QStringLiteral("range_end"), EtcdClient::encode(m_rangeEnd)},
                                          {QStringLiteral("start_revision"), QString::number(revision)}});
    connect(m_watch, &EtcdWatch::message, this, &EtcdSource::watchMessage);
    connect(m_watch, &EtcdWatch::ended, this, &EtcdSource::watchEnded);
}

void EtcdSource::watchMessage(const QJsonObject &result)
{
    const QJsonArray events = result.value(QLatin1String("events")).toArray();
    if (events.isEmpty())
        return; // created, or progress
    if (m_troubleReported) {
        systemLog(QStringLiteral("etcd: connected to %1 again").arg(m_client->currentEndpoint()));
        m_troubleReported = false;
    }
    m_retryDelay = 0;
    m_engine->beginBatch();
    for (const QJsonValue &entry : events) {
        const QJsonObject event = entry.toObject();
        const QJsonObject kv = event.value(QLatin1String("kv")).toObject();
        const QByteArray etcdKey = EtcdClient::decode(kv.value(QLatin1String("key")));
        m_revision = std::max(m_revision, int64Field(kv, QStringLiteral("mod_revision")));
        if (!etcdKey.startsWith(m_settings.prefix))
            continue;
        const QString key = storeKeyFromEtcd(etcdKey, m_settings.prefix);
        if (event.value(QLatin1String("type")).toString() == QLatin1String("DELETE")) {
            m_published.remove(key);
            m_engine->removeValue(key);
        } else {
            const PropertyListValue value = valueFromEtcd(EtcdClient::decode(kv.value(QLatin1String("value"))));
            m_published.insert(key, value);
            m_engine->setValue(key, value);
        }
    }
    m_engine->endBatch();
    Q_EMIT changesPublished();
}

void EtcdSource::watchEnded(const EtcdResult &why)
{
    m_watch = nullptr; // deletes itself below
    if (auto *stream = qobject_cast<EtcdWatch *>(sender()))
        stream->deleteLater();
    switch (why.fault) {
    case EtcdFault::Compacted:
        // What happened meanwhile is gone: read everything again and publish
        // the difference.
        load();
        return;
    case EtcdFault::Unauthenticated:
        // An expired token was given up by the watch; a new one is made on
        // resuming. A refused password is worth a line.
        if (why.error.contains(QLatin1String("auth token"))) {
            retryLater([this] { watchFrom(m_revision + 1); });
            return;
        }
        break;
    case EtcdFault::Unreachable: m_client->switchEndpoint(); break;
    default: break;
    }
    reportTrouble(why.error);
    retryLater([this] { watchFrom(m_revision + 1); });
}

void EtcdSource::retryLater(std::function<void()> again)
{
    m_retryDelay = m_retryDelay == 0 ? m_options.firstRetryMilliseconds
                                     : std::min(m_retryDelay * 2, m_options.longestRetryMilliseconds);
    m_retryAction = std::move(again);
    m_retry.start(m_retryDelay);
}

void EtcdSource::reportTrouble(const QString &text)
{
    // One line per spell of trouble, not one per attempt.
    if (m_troubleReported)
        return;
    m_troubleReported = true;
    systemLog(QStringLiteral("etcd: %1").arg(text));
}

} // namespace kv::etcd
