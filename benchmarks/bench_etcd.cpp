// The store served from an etcd cluster (one member of our own, on loopback):
//
//   etcd_load            loading 100,000 keys under "keyvane/" (values ~200-byte
//                        XML property lists of a small dictionary) into a store:
//                        StoreEngine + EtcdSource started until loaded / `etcdctl
//                        get --prefix keyvane/` with its output thrown away, best
//                        of 3 each (goal 1.5; moonshot 1). The reader reads its
//                        pages over gRPC; the same pages read through the JSON
//                        gateway (its fallback) are timed apart afterwards, by
//                        stage: answers over HTTP, JSON, base64, key mapping,
//                        value reading, the engine.
//   etcd_latency_median  one put of a changed value, sent from this process
//                        through a client of its own, until a store connection's
//                        callout is given the key: 200 samples, a few ms apart;
//                        median / 20 ms (goal 1) and
//   etcd_latency_p99     99th percentile / 100 ms (goal 1).
//
// Usage: bench_etcd [keys, default 100000] [rounds, default 3] [latency samples, default 200]

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdClient.h"
#include "platform/etcd/EtcdKeys.h"
#include "platform/etcd/EtcdSource.h"
#include "platform/plist/PropertyListFile.h"
#include "tests/EtcdTestCluster.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>

namespace {

using namespace kv;
using namespace kv::etcd;

const QByteArray Prefix = QByteArrayLiteral("keyvane/");
constexpr int PageSize = 5000; // EtcdSource's page size

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// keyvane/hostNNNN/State:/Network/Interface/ethN/KeyN: 100 keys per host.
QByteArray etcdKey(int i)
{
    return Prefix
           + QStringLiteral("host%1/State:/Network/Interface/eth%2/Key%3")
                 .arg(i / 100, 4, 10, QLatin1Char('0'))
                 .arg(i / 10 % 10)
                 .arg(i % 10)
                 .toUtf8();
}

// An XML property list of a small dictionary, about 200 bytes.
QByteArray etcdValue(int i, qint64 serial)
{
    PropertyListDictionary d;
    d.insert(QStringLiteral("Address"),
             PropertyListValue::fromString(
                 QStringLiteral("10.%1.%2.%3").arg(i / 65536 % 256).arg(i / 256 % 256).arg(i % 256)));
    d.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(i % 9 ? 1500 : 9000));
    d.insert(QStringLiteral("Serial"), PropertyListValue::fromInteger(serial));
    QString error;
    const QByteArray bytes = etcdBytesFromValue(PropertyListValue::fromDictionary(d), &error);
    if (bytes.isEmpty())
        std::fprintf(stderr, "cannot write a value: %s\n", qPrintable(error));
    return bytes;
}

QJsonObject putOperation(const QByteArray &key, const QByteArray &value)
{
    return QJsonObject{
        {QStringLiteral("request_put"), QJsonObject{{QStringLiteral("key"), EtcdClient::encode(key)},
                                                    {QStringLiteral("value"), EtcdClient::encode(value)}}}};
}

// Puts keys 0 to count - 1 in transactions of `perTransaction` operations,
// a few transactions in flight at a time. The total value bytes in *bytes.
bool fill(EtcdClient &client, int count, int perTransaction, qint64 *bytes, QString *error)
{
    int next = 0;
    int inFlight = 0;
    bool failed = false;
    *bytes = 0;
    QEventLoop loop;
    std::function<void()> sendMore = [&] {
        while (!failed && inFlight < 4 && next < count) {
            QJsonArray operations;
            for (int end = std::min(count, next + perTransaction); next < end; ++next) {
                const QByteArray value = etcdValue(next, 0);
                *bytes += value.size();
                operations.append(putOperation(etcdKey(next), value));
            }
            ++inFlight;
            client.call(QStringLiteral("/v3/kv/txn"), QJsonObject{{QStringLiteral("success"), operations}},
                        [&](const EtcdResult &answer) {
                            --inFlight;
                            if (!answer.ok() && !failed) {
                                failed = true;
                                *error = answer.error;
                            }
                            sendMore();
                            if (inFlight == 0)
                                loop.quit();
                        });
        }
    };
    sendMore();
    if (inFlight > 0)
        loop.exec();
    return !failed;
}

// `etcdctl get --prefix keyvane/`, its output to /dev/null.
double etcdctlLoad(const QString &endpoint, QString *error)
{
    QProcess process;
    process.setProcessEnvironment(etcdtest::detail::cleanEnvironment());
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("etcdctl"), {QStringLiteral("--endpoints=") + endpoint, QStringLiteral("get"),
                                              QStringLiteral("--prefix"), QString::fromUtf8(Prefix)});
    const bool finished = process.waitForFinished(120000);
    const double elapsed = milliseconds(timer);
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("etcdctl get failed: ") + QString::fromUtf8(process.readAllStandardError().trimmed());
        return -1;
    }
    return elapsed;
}

// A store whose one source is the cluster, started until loaded.
double readerLoad(const EtcdSettings &settings, qsizetype *keys, QString *error)
{
    StoreEngine engine;
    const StoreEngine::Installation installation(engine);
    EtcdSourceOptions options;
    options.whenUnreachable = EtcdSourceOptions::WhenUnreachable::FailStart;
    engine.addSource(std::make_unique<EtcdSource>(settings, options));
    QElapsedTimer timer;
    timer.start();
    if (!engine.ensureStarted(error))
        return -1;
    const double elapsed = milliseconds(timer);
    *keys = engine.keyCount();
    return elapsed;
}

// What a load is made of, each stage timed on its own (one pass).
struct Stages
{
    double http = 0;       // range pages, as raw answers
    double firstBytes = 0; // of which until the headers of each answer: the member at work
    double json = 0;       // parsing the answers and walking to each pair
    double base64 = 0;     // decoding keys and values
    double keys = 0;       // etcd keys to store keys
    double values = 0;     // valueFromEtcd
    double insert = 0;     // into the dictionary the source builds
    double engine = 0;     // publishing it into an empty engine
    qint64 answerBytes = 0;
    int pages = 0;
};

Stages timeStages(const QString &endpoint)
{
    Stages stages;
    QNetworkAccessManager network;
    QList<QByteArray> answers;
    QByteArray nextKey = Prefix;
    const QByteArray rangeEnd = prefixRangeEnd(Prefix);
    QByteArray revision;
    QElapsedTimer timer;
    for (;;) {
        QJsonObject body{{QStringLiteral("key"), EtcdClient::encode(nextKey)},
                         {QStringLiteral("range_end"), EtcdClient::encode(rangeEnd)},
                         {QStringLiteral("limit"), QString::number(PageSize)}};
        if (!revision.isEmpty())
            body.insert(QStringLiteral("revision"), QString::fromLatin1(revision));
        QNetworkRequest request(QUrl(endpoint + QStringLiteral("/v3/kv/range")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        timer.start();
        QNetworkReply *reply = network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
        double headers = -1;
        QObject::connect(reply, &QNetworkReply::metaDataChanged, [&] {
            if (headers < 0)
                headers = milliseconds(timer);
        });
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const QByteArray answer = reply->readAll();
        stages.http += milliseconds(timer);
        stages.firstBytes += std::max(0.0, headers);
        reply->deleteLater();
        answers.append(answer);
        stages.answerBytes += answer.size();
        ++stages.pages;
        // What paging needs, outside the time of HTTP.
        const QJsonObject json = QJsonDocument::fromJson(answer).object();
        if (revision.isEmpty())
            revision = QByteArray::number(headerRevision(json));
        const QJsonArray kvs = json.value(QLatin1String("kvs")).toArray();
        if (!json.value(QLatin1String("more")).toBool() || kvs.isEmpty())
            break;
        nextKey = EtcdClient::decode(kvs.last().toObject().value(QLatin1String("key"))) + '\0';
    }

    // JSON: documents to the key and value strings.
    QList<QJsonValue> keyTexts, valueTexts;
    timer.restart();
    for (const QByteArray &answer : std::as_const(answers)) {
        const QJsonArray kvs = QJsonDocument::fromJson(answer).object().value(QLatin1String("kvs")).toArray();
        for (const QJsonValue &entry : kvs) {
            const QJsonObject kv = entry.toObject();
            keyTexts.append(kv.value(QLatin1String("key")));
            valueTexts.append(kv.value(QLatin1String("value")));
        }
    }
    stages.json = milliseconds(timer);

    QList<QByteArray> rawKeys, rawValues;
    rawKeys.reserve(keyTexts.size());
    rawValues.reserve(valueTexts.size());
    timer.restart();
    for (qsizetype i = 0; i < keyTexts.size(); ++i) {
        rawKeys.append(EtcdClient::decode(keyTexts[i]));
        rawValues.append(EtcdClient::decode(valueTexts[i]));
    }
    stages.base64 = milliseconds(timer);

    QStringList storeKeys;
    storeKeys.reserve(rawKeys.size());
    timer.restart();
    for (const QByteArray &key : std::as_const(rawKeys))
        storeKeys.append(storeKeyFromEtcd(key, Prefix));
    stages.keys = milliseconds(timer);

    QList<PropertyListValue> values;
    values.reserve(rawValues.size());
    timer.restart();
    for (const QByteArray &value : std::as_const(rawValues))
        values.append(valueFromEtcd(value));
    stages.values = milliseconds(timer);

    PropertyListDictionary contents;
    timer.restart();
    for (qsizetype i = 0; i < storeKeys.size(); ++i)
        contents.insert(storeKeys[i], values[i]);
    stages.insert = milliseconds(timer);

    {
        StoreEngine engine;
        timer.restart();
        engine.publishChanges(PropertyListDictionary(), contents);
        stages.engine = milliseconds(timer);
    }
    if (values.value(0).count() == 0)
        std::fprintf(stderr, "the values read hold no entries\n");
    return stages;
}

// --- latency ------------------------------------------------------------------

struct Watcher
{
    QString key;      // the store key waited for
    bool seen = true; // its change was given to the callout
    qint64 seenAt = 0;
    QElapsedTimer clock;
};

void watcherCallout(StoreConnection *, const QStringList *changedKeys, void *context)
{
    auto *watcher = static_cast<Watcher *>(context);
    if (!watcher->seen && changedKeys->contains(watcher->key)) {
        watcher->seenAt = watcher->clock.nsecsElapsed();
        watcher->seen = true;
    }
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

double percentile(QList<double> sorted, double fraction)
{
    if (sorted.isEmpty())
        return 0;
    const qsizetype index =
        std::clamp<qsizetype>(qsizetype(std::ceil(fraction * double(sorted.size()))) - 1, 0, sorted.size() - 1);
    return sorted.at(index);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const int samples = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;

    QString error;
    if (!etcdtest::EtcdTestCluster::available(&error)) {
        std::fprintf(stderr, "bench_etcd: %s\n", qPrintable(error));
        return 1;
    }
    etcdtest::ClusterOptions clusterOptions;
    // Large transactions, for filling quickly.
    clusterOptions.extraArguments = {QStringLiteral("--max-txn-ops"), QStringLiteral("10000"),
                                     QStringLiteral("--max-request-bytes"), QStringLiteral("16777216")};
    etcdtest::EtcdTestCluster cluster(clusterOptions);
    if (!cluster.start(&error)) {
        std::fprintf(stderr, "bench_etcd: %s\n", qPrintable(error));
        return 1;
    }
    const QString endpoint = cluster.clientUrls().first();
    EtcdSettings settings;
    settings.endpoints = {endpoint};
    settings.prefix = Prefix;

    // --- initial load -----------------------------------------------------------
    EtcdClient writer(settings);
    writer.setCallTimeout(60000);
    QElapsedTimer timer;
    timer.start();
    qint64 valueBytes = 0;
    if (!fill(writer, count, 1000, &valueBytes, &error)) {
        std::fprintf(stderr, "bench_etcd: filling the cluster: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("filled %d keys (values %.0f bytes on average, e.g. %s) in %.1f s\n", count, double(valueBytes) / count,
                etcdKey(count - 1).constData(), milliseconds(timer) / 1000.0);

    double bestEtcdctl = std::numeric_limits<double>::max();
    double bestReader = std::numeric_limits<double>::max();
    for (int round = 0; round < rounds; ++round) {
        const double etcdctl = etcdctlLoad(endpoint, &error);
        qsizetype loaded = 0;
        const double reader = readerLoad(settings, &loaded, &error);
        if (etcdctl < 0 || reader < 0) {
            std::fprintf(stderr, "bench_etcd: %s\n", qPrintable(error));
            return 1;
        }
        if (loaded != count)
            std::fprintf(stderr, "bench_etcd: the reader loaded %lld keys of %d\n", qlonglong(loaded), count);
        std::printf("  round %d: etcdctl get --prefix %.1f ms, reader %.1f ms (%lld keys)\n", round + 1, etcdctl,
                    reader, qlonglong(loaded));
        bestEtcdctl = std::min(bestEtcdctl, etcdctl);
        bestReader = std::min(bestReader, reader);
    }
    const Stages s = timeStages(endpoint);
    const double stageSum = s.http + s.json + s.base64 + s.keys + s.values + s.insert + s.engine;
    std::printf("the JSON gateway's way, timed apart (%d pages of %d keys, %.1f MB of answers): HTTP %.1f ms (%.1f ms "
                "of it until "
                "the answers' headers came), JSON %.1f ms, "
                "base64 %.1f ms, keys %.1f ms, values %.1f ms, dictionary %.1f ms, engine %.1f ms; sum %.1f ms\n",
                s.pages, PageSize, double(s.answerBytes) / 1048576.0, s.http, s.firstBytes, s.json, s.base64, s.keys,
                s.values, s.insert, s.engine, stageSum);
    std::printf("RESULT name=etcd_load ratio=%.3f goal=1.5 figure=\"reader (StoreEngine + EtcdSource) loads %d keys "
                "in %.1f ms vs etcdctl get --prefix %.1f ms, best of %d; moonshot 1; over the JSON gateway instead: "
                "HTTP %.0f, JSON %.0f, "
                "base64 %.0f, keys %.0f, values %.0f, dictionary %.0f, engine %.0f ms\"\n",
                bestReader / bestEtcdctl, count, bestReader, bestEtcdctl, rounds, s.http, s.json, s.base64, s.keys,
                s.values, s.insert, s.engine);

    // --- latency --------------------------------------------------------------------
    StoreEngine engine;
    const StoreEngine::Installation installation(engine);
    engine.addSource(std::make_unique<EtcdSource>(settings));
    Watcher watcher;
    watcher.clock.start();
    const std::unique_ptr<StoreConnection> store = storeCreate(QStringLiteral("bench_etcd"), watcherCallout, &watcher);
    if (!store) {
        std::fprintf(stderr, "bench_etcd: no store connection: %s\n", qPrintable(storeErrorString(storeError())));
        return 1;
    }
    const QStringList patterns{QStringLiteral(".*")};
    storeSetNotificationKeys(store.get(), nullptr, &patterns);
    storeRunLoopAddSource(storeCreateRunLoopSource(store.get(), 0));
    pause(100); // the watch started

    const int target = count / 2;
    watcher.key = storeKeyFromEtcd(etcdKey(target), Prefix);
    QList<double> latencies;
    int lost = 0;
    for (int sample = 0; sample < samples; ++sample) {
        const QJsonObject put{{QStringLiteral("key"), EtcdClient::encode(etcdKey(target))},
                              {QStringLiteral("value"), EtcdClient::encode(etcdValue(target, sample + 1))}};
        watcher.seen = false;
        bool answered = false;
        const qint64 sent = watcher.clock.nsecsElapsed();
        writer.call(QStringLiteral("/v3/kv/put"), put, [&](const EtcdResult &answer) {
            answered = true;
            if (!answer.ok())
                std::fprintf(stderr, "put failed: %s\n", qPrintable(answer.error));
        });
        const QDeadlineTimer deadline(5000);
        while ((!watcher.seen || !answered) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (watcher.seen)
            latencies.append(double(watcher.seenAt - sent) / 1e6);
        else
            ++lost;
        pause(3);
    }
    std::sort(latencies.begin(), latencies.end());
    double sum = 0;
    for (double latency : std::as_const(latencies))
        sum += latency;
    const double median = percentile(latencies, 0.5);
    const double p99 = percentile(latencies, 0.99);
    std::printf("put -> callout: %lld samples (%d not seen within 5 s): min %.2f ms, median %.2f ms, mean %.2f ms, "
                "p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                qlonglong(latencies.size()), lost, latencies.value(0), median,
                latencies.isEmpty() ? 0.0 : sum / double(latencies.size()), percentile(latencies, 0.9), p99,
                latencies.isEmpty() ? 0.0 : latencies.last());
    std::printf("RESULT name=etcd_latency_median ratio=%.3f goal=1 figure=\"put -> store callout, median %.2f ms of "
                "%lld samples / 20 ms\"\n",
                median / 20.0, median, qlonglong(latencies.size()));
    std::printf("RESULT name=etcd_latency_p99 ratio=%.3f goal=1 figure=\"put -> store callout, 99th percentile %.2f ms "
                "/ 100 ms (worst %.2f ms)\"\n",
                p99 / 100.0, p99, latencies.isEmpty() ? 0.0 : latencies.last());
    return lost == 0 ? 0 : 1;
}
