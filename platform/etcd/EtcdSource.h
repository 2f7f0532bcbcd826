#pragma once

// A store source that serves the keys of an etcd cluster under a prefix,
// followed live: every machine of a fleet publishes its store there
// (keyvane-cli publish), and the store shows them all, host by host. How
// etcd keys and values become store keys and values: EtcdKeys.h.
//
// Loading reads the prefix in pages at one revision, then watches from the
// next revision, so that no change is lost or seen twice; the events of one
// watch answer (one transaction, say) reach the store as one change list.
// When the member it talks to goes away, the source goes on with the next
// member (after a growing pause) and resumes the watch where it stopped; when
// the revision it stopped at was compacted meanwhile, it reads the prefix
// again and publishes exactly what changed.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdClient.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

namespace kv::etcd {

struct EtcdSourceOptions
{
    // At start, when no member answers (or the cluster refuses us): fail the
    // start with the reason (a command's use), or come up empty, say why in
    // one system-log line and keep trying (a window's use).
    enum class WhenUnreachable { FailStart, ComeUpEmpty };
    WhenUnreachable whenUnreachable = WhenUnreachable::FailStart;
    int pageSize = 20000; // keys per range answer while loading
    int firstRetryMilliseconds = 100;
    int longestRetryMilliseconds = 5000;
};

class EtcdSource : public QObject, public StoreSource
{
    Q_OBJECT
public:
    explicit EtcdSource(EtcdSettings settings, EtcdSourceOptions options = EtcdSourceOptions(),
                        QObject *parent = nullptr);
    ~EtcdSource() override;

    bool start(StoreEngine &engine, QString *error) override;

    // The revision the store matches (0 before the first load).
    qint64 revision() const { return m_revision; }
    // Whether a watch is running now.
    bool isWatching() const { return m_watch != nullptr; }
    EtcdClient &client() { return *m_client; }

Q_SIGNALS:
    // The prefix was read in full and published (first load or resync).
    void loaded();
    // A watch answer was published.
    void changesPublished();

private:
    struct Load;
    void load();
    void requestPage(std::shared_ptr<Load> load);
    void loadFailed(const EtcdResult &why);
    void watchFrom(qint64 revision);
    void watchMessage(const QJsonObject &result);
    void watchEnded(const EtcdResult &why);
    void retryLater(std::function<void()> again);
    void reportTrouble(const QString &text);

    EtcdSettings m_settings;
    EtcdSourceOptions m_options;
    QByteArray m_rangeEnd;
    EtcdClient *m_client;
    StoreEngine *m_engine = nullptr;
    PropertyListDictionary m_published; // what this source has in the store
    qint64 m_revision = 0;
    QPointer<EtcdWatch> m_watch;
    QTimer m_retry;
    std::function<void()> m_retryAction;
    int m_retryDelay = 0;
    bool m_loaded = false;
    bool m_troubleReported = false;
    // While start() waits for the first load.
    bool m_starting = false;
    EtcdResult m_startFailure;
};

} // namespace kv::etcd
