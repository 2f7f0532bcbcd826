#pragma once

// Shared by the etcd tests: a reader (an engine with an etcd source and a
// connection recording its change lists), what a reader of the cluster's
// contents is to hold, and keyvane-cli runs.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/etcd/EtcdKeys.h"
#include "platform/etcd/EtcdPublisher.h"
#include "platform/etcd/EtcdSource.h"
#include "tests/StoreTestSupport.h"

#include <QMap>
#include <QProcess>
#include <QSet>

#include <memory>

namespace etcdtest {

using namespace kv;
using namespace kv::etcd;

inline const QString cli = QStringLiteral(KEYVANE_BINARY_DIR "/app/keyvane-cli");
inline const QByteArray prefix = QByteArrayLiteral("keyvane/");

inline EtcdSettings settingsOf(const QStringList &endpoints)
{
    EtcdSettings settings;
    settings.endpoints = endpoints;
    return settings;
}

// What a reader of the cluster's keys under the prefix is to hold.
inline PropertyListDictionary shownFrom(const QMap<QByteArray, QByteArray> &etcdValues)
{
    PropertyListDictionary shown;
    for (auto it = etcdValues.cbegin(); it != etcdValues.cend(); ++it)
        shown.insert(storeKeyFromEtcd(it.key(), prefix), valueFromEtcd(it.value()));
    return shown;
}

// The keys missing, differing or extra in `actual`; empty when it equals `expected`.
inline QString difference(const PropertyListDictionary &actual, const PropertyListDictionary &expected)
{
    QStringList problems;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            problems << "missing " + it.key();
        else if (actual.value(it.key()) != it.value())
            problems << it.key() + " is " + actual.value(it.key()).description().left(100);
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            problems << "extra " + it.key();
    }
    return problems.mid(0, 4).join("; ") + (problems.size() > 4 ? QString(" (%1 in all)").arg(problems.size()) : "");
}

struct Reader
{
    StoreEngine engine;
    EtcdSource *source = nullptr;
    storetest::Recorder recorder;
    std::unique_ptr<StoreConnection> connection;

    bool open(const EtcdSettings &settings, const EtcdSourceOptions &options, QString *error)
    {
        auto owned = std::make_unique<EtcdSource>(settings, options);
        source = owned.get();
        engine.addSource(std::move(owned));
        const StoreEngine::Installation installation(engine);
        connection = storeCreate("etcd test reader", storetest::recordCallout, &recorder);
        const QStringList everything{".*"};
        if (!connection || !storeSetNotificationKeys(connection.get(), nullptr, &everything)) {
            *error = storeErrorString(storeError());
            return false;
        }
        storeRunLoopAddSource(storeCreateRunLoopSource(connection.get(), 0));
        return true;
    }

    PropertyListDictionary contents() const
    {
        PropertyListDictionary all;
        for (const QString &key : engine.keys())
            all.insert(key, engine.value(key));
        return all;
    }

    QSet<QString> changedKeys() const
    {
        QSet<QString> keys;
        for (const QStringList &list : recorder.lists)
            keys.unite(QSet<QString>(list.cbegin(), list.cend()));
        return keys;
    }
};

// A publisher in this process serving a snapshot file into the cluster as
// host "p" (lease of 5 s), started with start().
struct SnapshotPublisher
{
    SnapshotPublisher(const QString &path, const QStringList &endpoints)
    {
        engine.addSource(std::make_unique<SnapshotSource>(path));
        EtcdPublisherOptions options;
        options.host = "p";
        options.ttlSeconds = 5;
        publisher = std::make_unique<EtcdPublisher>(settingsOf(endpoints), options);
    }
    bool start(QString *error)
    {
        const StoreEngine::Installation installation(engine);
        return publisher->start(error);
    }

    StoreEngine engine;
    std::unique_ptr<EtcdPublisher> publisher; // gone before the engine
};

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

inline Run runCli(const QStringList &arguments, const QString &password = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!password.isEmpty())
        environment.insert("KEYVANE_ETCD_PASSWORD", password);
    process.setProcessEnvironment(environment);
    process.start(cli, arguments);
    Run result;
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit)
        result = {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    return result;
}

} // namespace etcdtest
