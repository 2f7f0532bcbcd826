// A simulated fleet in an etcd cluster (one member of our own, on loopback),
// followed by the window: 1,000 hosts publish 60 keys each under
// "keyvane/hostNNNN/", every host with a lease of its own (TTL 30 s, kept
// alive every 10 s), then change them in a rolling storm of 1,000 changes a
// second (a transaction of 10 every 10 ms, each a random host's key) for 60 s.
//
// The hosts are one writer process (this program again, "--writer"), so that
// the reader's event loop measures only itself. The reader is the program's
// store (StoreEngine + EtcdSource) behind the real controller and main
// interface, shown offscreen; a store connection called after the
// controller's sees each change list. Every value written carries the time
// it was sent (the dictionary's "Sent", in ms since the epoch):
//
//   fleet_lag         the worst time from sending a value to the reader's
//                     callout seeing it / 1 s (goal 1); its p99 beside it;
//   fleet_stall       the longest gap between ticks of a 10 ms timer of the
//                     reader's during the storm / 100 ms (goal 1);
//   fleet_memory      the reader's resident size at the end of the storm /
//                     at its start (goal 1.1);
//   fleet_consistent  the share of keys in which the reader's store differs
//                     from the cluster's contents read afterwards (goal 0).
//
// Usage: bench_fleet; BENCH_FLEET_SECONDS sets the storm's length (default
// 60). BENCH_HIDE_CONSOLE=1 leaves the console window closed (it still logs).

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "benchmarks/ResidentMemory.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/etcd/EtcdClient.h"
#include "platform/etcd/EtcdKeys.h"
#include "platform/etcd/EtcdSource.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Window.h"
#include "tests/EtcdTestCluster.h"

#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include <unistd.h>

namespace {

using namespace kv;
using namespace kv::etcd;

const QByteArray Prefix = QByteArrayLiteral("keyvane/");
constexpr int Hosts = 1000;
constexpr int KeysPerHost = 60;
constexpr int LeaseSeconds = 30;
constexpr int KeepAliveSeconds = 10;
constexpr int ChangesPerSecond = 1000;
constexpr int TickMs = 10;
constexpr int MostOperations = 128; // etcd's default limit per transaction

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

template<typename T>
double percentile(const QList<T> &sorted, double fraction)
{
    if (sorted.isEmpty())
        return 0;
    const qsizetype index =
        std::clamp<qsizetype>(qsizetype(std::ceil(fraction * double(sorted.size()))) - 1, 0, sorted.size() - 1);
    return double(sorted.at(index));
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// keyvane/hostNNNN/State:/Network/Interface/ethN/KeyN
QByteArray etcdKey(int host, int key)
{
    return Prefix
           + QStringLiteral("host%1/State:/Network/Interface/eth%2/Key%3")
                 .arg(host, 4, 10, QLatin1Char('0'))
                 .arg(key / 10)
                 .arg(key % 10)
                 .toUtf8();
}

// An XML property list of a small dictionary (~250 bytes) with its sending time.
QByteArray etcdValue(int host, int key, qint64 serial)
{
    PropertyListDictionary d;
    d.insert(QStringLiteral("Address"),
             PropertyListValue::fromString(QStringLiteral("10.%1.%2.%3").arg(host / 256).arg(host % 256).arg(key)));
    d.insert(QStringLiteral("MTU"), PropertyListValue::fromInteger(key % 9 ? 1500 : 9000));
    d.insert(QStringLiteral("Serial"), PropertyListValue::fromInteger(serial));
    d.insert(QStringLiteral("Sent"), PropertyListValue::fromInteger(QDateTime::currentMSecsSinceEpoch()));
    QString error;
    const QByteArray bytes = etcdBytesFromValue(PropertyListValue::fromDictionary(d), &error);
    if (bytes.isEmpty())
        std::fprintf(stderr, "cannot write a value: %s\n", qPrintable(error));
    return bytes;
}

// --- the writer: every host of the fleet ----------------------------------------

class Fleet
{
public:
    explicit Fleet(const QString &endpoint) : m_random(23)
    {
        EtcdSettings settings;
        settings.endpoints = {endpoint};
        settings.prefix = Prefix;
        m_client = std::make_unique<EtcdClient>(settings);
        m_client->setCallTimeout(30000);
    }

    // A lease for every host, then every host's keys with it.
    bool publish(QString *error)
    {
        m_leases.fill(0, Hosts);
        QList<QJsonObject> grants;
        for (int host = 0; host < Hosts; ++host)
            grants.append(QJsonObject{{QStringLiteral("TTL"), QString::number(LeaseSeconds)}});
        int host = 0;
        if (!pipeline(
                QStringLiteral("/v3/lease/grant"), grants,
                [&](const EtcdResult &answer) { m_leases[host++] = int64Field(answer.json, QStringLiteral("ID")); },
                error))
            return false;
        if (std::count(m_leases.cbegin(), m_leases.cend(), 0) > 0) {
            *error = QStringLiteral("a lease was granted without an ID");
            return false;
        }
        QList<QJsonObject> transactions;
        QJsonArray operations;
        for (int h = 0; h < Hosts; ++h) {
            for (int k = 0; k < KeysPerHost; ++k) {
                operations.append(put(h, k));
                if (operations.size() == MostOperations) {
                    transactions.append(QJsonObject{{QStringLiteral("success"), std::exchange(operations, {})}});
                }
            }
        }
        if (!operations.isEmpty())
            transactions.append(QJsonObject{{QStringLiteral("success"), operations}});
        if (!pipeline(
                QStringLiteral("/v3/kv/txn"), transactions,
                [this](const EtcdResult &answer) { m_revision = std::max(m_revision, headerRevision(answer.json)); },
                error))
            return false;
        // Keep-alives spread over the period: each host's every 10 s.
        m_keepAlive.setTimerType(Qt::PreciseTimer);
        m_keepAlive.setInterval(KeepAliveSeconds * 1000 / Hosts);
        QObject::connect(&m_keepAlive, &QTimer::timeout, [this] { keepAliveNext(); });
        m_keepAlive.start();
        return true;
    }

    // Changes at the rate for `seconds`, then until every answer is in.
    void storm(int seconds)
    {
        QElapsedTimer clock;
        clock.start();
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(TickMs);
        QEventLoop loop;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 elapsed = std::min<qint64>(clock.elapsed(), qint64(seconds) * 1000);
            qint64 due = elapsed * ChangesPerSecond / 1000 - m_changes;
            while (due > 0) {
                const int now = int(std::min<qint64>(due, MostOperations));
                sendChanges(now);
                due -= now;
            }
            if (clock.elapsed() >= qint64(seconds) * 1000) {
                ticker.stop();
                loop.quit();
            }
        });
        ticker.start();
        loop.exec();
        while (m_inFlight > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }

    qint64 changes() const { return m_changes; }
    qint64 transactions() const { return m_transactions; }
    qint64 failures() const { return m_failures; }
    qint64 revision() const { return m_revision; }
    int mostInFlight() const { return m_mostInFlight; }
    // The time from sending a transaction to its answer, at `fraction` of them sorted.
    double answerMs(double fraction) const
    {
        QList<double> sorted = m_answerMs;
        std::sort(sorted.begin(), sorted.end());
        return percentile(sorted, fraction);
    }
    qint64 keepAliveFailures() const { return m_keepAliveFailures; }

private:
    QJsonObject put(int host, int key)
    {
        return QJsonObject{{QStringLiteral("request_put"),
                            QJsonObject{{QStringLiteral("key"), EtcdClient::encode(etcdKey(host, key))},
                                        {QStringLiteral("value"), EtcdClient::encode(etcdValue(host, key, ++m_serial))},
                                        {QStringLiteral("lease"), QString::number(m_leases.at(host))}}}};
    }

    // Sends every body, 8 at a time; `each` gets the answers in order of sending.
    bool pipeline(const QString &path, const QList<QJsonObject> &bodies,
                  const std::function<void(const EtcdResult &)> &each, QString *error)
    {
        QList<std::optional<EtcdResult>> answers(bodies.size());
        qsizetype next = 0, handed = 0;
        int inFlight = 0;
        QEventLoop loop;
        std::function<void()> sendMore = [&] {
            while (inFlight < 8 && next < bodies.size()) {
                const qsizetype index = next++;
                ++inFlight;
                m_client->call(path, bodies[index], [&, index](const EtcdResult &answer) {
                    --inFlight;
                    answers[index] = answer;
                    sendMore();
                    if (inFlight == 0)
                        loop.quit();
                });
            }
        };
        sendMore();
        loop.exec();
        for (; handed < answers.size(); ++handed) {
            if (!answers[handed] || !answers[handed]->ok()) {
                *error = answers[handed] ? answers[handed]->error : QStringLiteral("no answer");
                return false;
            }
            each(*answers[handed]);
        }
        return true;
    }

    void sendChanges(int count)
    {
        // etcd refuses a transaction that puts one key twice.
        QJsonArray operations;
        QList<int> chosen;
        while (chosen.size() < count) {
            const int index = int(m_random.bounded(Hosts * KeysPerHost));
            if (chosen.contains(index))
                continue;
            chosen.append(index);
            operations.append(put(index / KeysPerHost, index % KeysPerHost));
        }
        m_changes += count;
        ++m_transactions;
        m_mostInFlight = std::max(m_mostInFlight, ++m_inFlight);
        auto sent = std::make_shared<QElapsedTimer>();
        sent->start();
        m_client->call(QStringLiteral("/v3/kv/txn"), QJsonObject{{QStringLiteral("success"), operations}},
                       [this, sent](const EtcdResult &answer) {
                           --m_inFlight;
                           m_answerMs.append(milliseconds(*sent));
                           if (!answer.ok()) {
                               if (m_failures++ == 0)
                                   std::fprintf(stderr, "writer: a transaction failed: %s\n", qPrintable(answer.error));
                               return;
                           }
                           m_revision = std::max(m_revision, headerRevision(answer.json));
                       });
    }

    void keepAliveNext()
    {
        const int host = m_nextKeepAlive;
        m_nextKeepAlive = (m_nextKeepAlive + 1) % Hosts;
        m_client->call(
            QStringLiteral("/v3/lease/keepalive"),
            QJsonObject{{QStringLiteral("ID"), QString::number(m_leases.at(host))}}, [this](const EtcdResult &answer) {
                if (!answer.ok() || int64Field(answer.json, QStringLiteral("TTL")) <= 0) {
                    if (m_keepAliveFailures++ == 0)
                        std::fprintf(stderr, "writer: a keep-alive failed: %s\n",
                                     qPrintable(answer.ok() ? QStringLiteral("the lease expired") : answer.error));
                }
            });
    }

    std::unique_ptr<EtcdClient> m_client;
    QList<qint64> m_leases;
    QTimer m_keepAlive;
    int m_nextKeepAlive = 0;
    QRandomGenerator m_random;
    qint64 m_serial = 0;
    qint64 m_changes = 0;
    qint64 m_transactions = 0;
    qint64 m_failures = 0;
    qint64 m_keepAliveFailures = 0;
    qint64 m_revision = 0;
    int m_inFlight = 0;
    int m_mostInFlight = 0;
    QList<double> m_answerMs;
};

// Reads lines from standard input: the reader says when to storm, and ends
// the writer by closing it.
class Commands
{
public:
    Commands() : m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] {
            char buffer[256];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0) {
                m_closed = true;
                m_notifier.setEnabled(false);
                return;
            }
            m_text.append(buffer, got);
        });
    }
    // Waits for the line (true) or the end of the input (false).
    bool waitFor(const QByteArray &line)
    {
        while (!m_closed) {
            const qsizetype at = m_text.indexOf(line + '\n');
            if (at >= 0) {
                m_text.remove(0, at + line.size() + 1);
                return true;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        }
        return false;
    }
    void waitForEnd()
    {
        while (!m_closed)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }

private:
    QSocketNotifier m_notifier;
    QByteArray m_text;
    bool m_closed = false;
};

int runWriter(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString endpoint = QString::fromLocal8Bit(argv[2]);
    const int seconds = std::max(1, std::atoi(argv[3]));
    Commands commands;
    Fleet fleet(endpoint);
    QElapsedTimer timer;
    timer.start();
    QString error;
    if (!fleet.publish(&error)) {
        std::fprintf(stderr, "writer: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("filled %d %lld %.0f\n", Hosts * KeysPerHost, qlonglong(fleet.revision()), milliseconds(timer));
    std::fflush(stdout);
    if (!commands.waitFor("storm"))
        return 1;
    fleet.storm(seconds);
    std::printf("stormed %lld %lld %lld %lld %d %lld %.0f %.0f %.0f\n", qlonglong(fleet.changes()),
                qlonglong(fleet.transactions()), qlonglong(fleet.failures()), qlonglong(fleet.revision()),
                fleet.mostInFlight(), qlonglong(fleet.keepAliveFailures()), fleet.answerMs(0.5), fleet.answerMs(0.99),
                fleet.answerMs(1.0));
    std::fflush(stdout);
    commands.waitForEnd(); // keeping the leases alive meanwhile
    return 0;
}

// --- the reader ---------------------------------------------------------------------

// The writer's lines on its standard output.
class WriterProcess
{
public:
    bool start(const QString &endpoint, int seconds, QString *error)
    {
        m_process.setProcessEnvironment(etcdtest::detail::cleanEnvironment());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        etcdtest::detail::dieWithParent(m_process);
        m_process.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--writer"), endpoint, QString::number(seconds)});
        if (!m_process.waitForStarted()) {
            *error = QStringLiteral("the writer did not start: %1").arg(m_process.errorString());
            return false;
        }
        return true;
    }
    // The words of the next line starting with `word`; empty when the writer
    // ended or the time is up.
    QList<QByteArray> waitForLine(const QByteArray &word, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QList<QByteArray> words = m_process.readLine().trimmed().split(' ');
                if (words.value(0) == word)
                    return words;
            }
            if (m_process.state() == QProcess::NotRunning)
                return {};
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        return {};
    }
    void say(const QByteArray &line) { m_process.write(line + '\n'); }
    void finish()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
};

struct Lag
{
    StoreConnection *store = nullptr;
    qint64 stormStart = 0; // ms since the epoch
    QList<qint32> lags;    // ms, per value seen
};

void lagCallout(StoreConnection *store, const QStringList *changedKeys, void *context)
{
    auto *lag = static_cast<Lag *>(context);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QString &key : *changedKeys) {
        const qint64 sent = storeCopyValue(store, key).value(QStringLiteral("Sent")).integer();
        if (sent >= lag->stormStart)
            lag->lags.append(qint32(now - sent));
    }
}

// The cluster's contents under the prefix as the store shows them, read at one revision.
std::optional<PropertyListDictionary> clusterContents(EtcdClient &client, qint64 *revision, QString *error)
{
    PropertyListDictionary contents;
    QByteArray next = Prefix;
    *revision = 0;
    for (;;) {
        QJsonObject body{{QStringLiteral("key"), EtcdClient::encode(next)},
                         {QStringLiteral("range_end"), EtcdClient::encode(prefixRangeEnd(Prefix))},
                         {QStringLiteral("limit"), QStringLiteral("10000")}};
        if (*revision > 0)
            body.insert(QStringLiteral("revision"), QString::number(*revision));
        const EtcdResult answer = client.callAndWait(QStringLiteral("/v3/kv/range"), body);
        if (!answer.ok()) {
            *error = answer.error;
            return std::nullopt;
        }
        if (*revision == 0)
            *revision = headerRevision(answer.json);
        const QJsonArray kvs = answer.json.value(QLatin1String("kvs")).toArray();
        for (const QJsonValue &entry : kvs) {
            const QJsonObject kv = entry.toObject();
            next = EtcdClient::decode(kv.value(QLatin1String("key")));
            contents.insert(storeKeyFromEtcd(next, Prefix),
                            valueFromEtcd(EtcdClient::decode(kv.value(QLatin1String("value")))));
        }
        if (!answer.json.value(QLatin1String("more")).toBool() || kvs.isEmpty())
            return contents;
        next += '\0';
    }
}

double mb(qint64 bytes)
{
    return double(bytes) / 1048576.0;
}

int runReader(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int seconds = std::max(
        1, qEnvironmentVariableIsSet("BENCH_FLEET_SECONDS") ? qEnvironmentVariableIntValue("BENCH_FLEET_SECONDS") : 60);
    QString error;
    if (!etcdtest::EtcdTestCluster::available(&error)) {
        std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(error));
        return 1;
    }
    etcdtest::EtcdTestCluster cluster;
    if (!cluster.start(&error)) {
        std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(error));
        return 1;
    }
    const QString endpoint = cluster.clientUrls().first();

    WriterProcess writer;
    if (!writer.start(endpoint, seconds, &error)) {
        std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(error));
        return 1;
    }
    const QList<QByteArray> filled = writer.waitForLine("filled", 300000);
    if (filled.isEmpty()) {
        std::fprintf(stderr, "bench_fleet: the writer did not publish the fleet\n");
        return 1;
    }
    std::printf("fleet: %d hosts x %d keys published with a lease each in %s ms (revision %s)\n", Hosts, KeysPerHost,
                filled.value(3).constData(), filled.value(2).constData());

    // The reader: the program's store behind the window.
    EtcdSettings settings;
    settings.endpoints = {endpoint};
    settings.prefix = Prefix;
    StoreEngine engine;
    const StoreEngine::Installation installation(engine);
    auto ownedSource = std::make_unique<EtcdSource>(settings);
    EtcdSource *source = ownedSource.get();
    engine.addSource(std::move(ownedSource));
    const qint64 residentBefore = residentBytes();

    QElapsedTimer timer;
    timer.start();
    KVNController controller;
    std::unique_ptr<app::MainInterface> ui = app::loadMainInterface(&controller);
    ui->mainWindow->resize(900, 700);
    ui->mainWindow->show();
    controller.consoleWindow->resize(640, 360);
    if (!qEnvironmentVariableIsSet("BENCH_HIDE_CONSOLE"))
        controller.consoleWindow->show();
    controller.awakeFromNib();
    QApplication::processEvents();
    const double opened = milliseconds(timer);
    // A host's interface selected, kept through the rebuilds.
    const QString selected = controller.storeKeysList.value(controller.storeKeysList.size() / 2);
    if (!selected.isEmpty()) {
        const QString separator = controller.kvnBrowser->pathSeparator();
        controller.kvnBrowser->setPath(separator + selected.section(u':', 0, 0) + separator
                                       + selected.section(u':', 1).mid(1).split(u'/').mid(0, 3).join(separator));
        controller.browserSingleClick(controller.kvnBrowser);
    }
    QApplication::processEvents();
    const QString path = controller.kvnBrowser->path();
    std::printf("window: %lld keys shown %.0f ms after it was made (resident %.1f MB before, %.1f MB now); path %s\n",
                qlonglong(controller.storeKeysList.size()), opened, mb(residentBefore), mb(residentBytes()),
                qPrintable(path));

    Lag lag;
    const std::unique_ptr<StoreConnection> store = storeCreate(QStringLiteral("bench_fleet"), lagCallout, &lag);
    if (!store) {
        std::fprintf(stderr, "bench_fleet: no store connection: %s\n", qPrintable(storeErrorString(storeError())));
        return 1;
    }
    lag.store = store.get();
    const QStringList patterns{QStringLiteral(".*")};
    storeSetNotificationKeys(store.get(), nullptr, &patterns);
    storeRunLoopAddSource(storeCreateRunLoopSource(store.get(), 1)); // after the controller's
    pause(200);

    // --- the storm ----------------------------------------------------------------------
    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    double worstGap = 0, gapSum = 0;
    qint64 ticks = 0;
    QList<QPair<double, qint64>> residentSamples;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(TickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double gap = milliseconds(sinceTick);
        sinceTick.restart();
        worstGap = std::max(worstGap, gap);
        gapSum += gap;
        ++ticks;
        if (clock.elapsed() >= qint64(residentSamples.size()) * seconds * 100)
            residentSamples.append({double(clock.elapsed()) / 1000.0, residentBytes()});
    });
    const qint64 residentStart = residentBytes();
    lag.stormStart = QDateTime::currentMSecsSinceEpoch();
    clock.start();
    sinceTick.start();
    ticker.start();
    writer.say("storm");
    const QList<QByteArray> stormed = writer.waitForLine("stormed", (seconds + 120) * 1000);
    if (stormed.size() < 10) {
        std::fprintf(stderr, "bench_fleet: the writer did not finish its storm\n");
        return 1;
    }
    const double stormSeconds = double(clock.elapsed()) / 1000.0;
    const qint64 changes = stormed.value(1).toLongLong();
    const qint64 lastRevision = stormed.value(4).toLongLong();
    // Until the reader has the writer's last transaction.
    const QDeadlineTimer catchUp(30000);
    while (source->revision() < lastRevision && !catchUp.hasExpired())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double caughtUp = double(clock.elapsed()) / 1000.0 - stormSeconds;
    pause(100); // the last change list delivered
    ticker.stop();
    const qint64 residentEnd = residentBytes();
    residentSamples.append({double(clock.elapsed()) / 1000.0, residentEnd});

    // --- the reader's store against the cluster -------------------------------------
    EtcdClient checker(settings);
    checker.setCallTimeout(30000);
    qint64 checkedRevision = 0;
    const std::optional<PropertyListDictionary> expected = clusterContents(checker, &checkedRevision, &error);
    if (!expected) {
        std::fprintf(stderr, "bench_fleet: reading the cluster: %s\n", qPrintable(error));
        return 1;
    }
    const std::optional<PropertyListDictionary> shown = storeCopyMultiple(store.get(), nullptr, &patterns);
    qsizetype differing = 0;
    if (shown) {
        for (auto it = expected->cbegin(); it != expected->cend(); ++it) {
            const auto found = shown->constFind(it.key());
            differing += found == shown->cend() || found.value() != it.value() ? 1 : 0;
        }
        for (auto it = shown->cbegin(); it != shown->cend(); ++it)
            differing += expected->contains(it.key()) ? 0 : 1;
    } else {
        differing = expected->size();
    }
    const bool keyListMatches = controller.storeKeysList == engine.keys();
    writer.finish();

    // --- figures --------------------------------------------------------------------------
    QList<qint32> lags = lag.lags;
    std::sort(lags.begin(), lags.end());
    const double worstLag = lags.isEmpty() ? 0.0 : double(lags.last());
    std::printf("storm: %lld changes in %s transactions (%s failed) over %.1f s, %.0f changes/s; keep-alives failed: "
                "%s\n",
                qlonglong(changes), stormed.value(2).constData(), stormed.value(3).constData(), stormSeconds,
                double(changes) / double(seconds), stormed.value(6).constData());
    std::printf("writer: at most %s transactions in flight; sent -> answered: median %s ms, p99 %s ms, worst %s ms\n",
                stormed.value(5).constData(), stormed.value(7).constData(), stormed.value(8).constData(),
                stormed.value(9).constData());
    std::printf("reader caught up with revision %lld %.2f s after the writer's last answer\n", qlonglong(lastRevision),
                caughtUp);
    std::printf("lag, send -> callout after the window's: %lld values seen; median %.0f ms, p99 %.0f ms, p99.9 %.0f "
                "ms, worst %.0f ms\n",
                qlonglong(lags.size()), percentile(lags, 0.5), percentile(lags, 0.99), percentile(lags, 0.999),
                worstLag);
    std::printf("event loop: worst gap between %d ms ticks %.1f ms, mean %.2f ms\n", TickMs, worstGap,
                ticks ? gapSum / double(ticks) : 0.0);
    std::printf("resident over the storm:");
    for (const auto &[at, bytes] : std::as_const(residentSamples))
        std::printf(" %.1fs %.1f MB;", at, mb(bytes));
    std::printf("\nconsistency at revision %lld (reader at %lld): %lld keys in the cluster, %lld in the store, %lld "
                "differing; the window's key list %s the store's keys\n",
                qlonglong(checkedRevision), qlonglong(source->revision()), qlonglong(expected->size()),
                qlonglong(shown ? shown->size() : 0), qlonglong(differing), keyListMatches ? "equals" : "DIFFERS FROM");

    std::printf("RESULT name=fleet_lag ratio=%.3f goal=1 figure=\"worst lag send -> window's store %.0f ms / 1000 ms "
                "(p99 %.0f ms, median %.0f ms; the writer's transactions answered in p99 %s ms, worst %s ms) at %d "
                "changes/s for %d s into %d hosts x %d keys\"\n",
                worstLag / 1000.0, worstLag, percentile(lags, 0.99), percentile(lags, 0.5),
                stormed.value(8).constData(), stormed.value(9).constData(), ChangesPerSecond, seconds, Hosts,
                KeysPerHost);
    std::printf("RESULT name=fleet_stall ratio=%.3f goal=1 figure=\"worst event-loop gap %.1f ms / 100 ms during the "
                "storm\"\n",
                worstGap / 100.0, worstGap);
    std::printf("RESULT name=fleet_memory ratio=%.3f goal=1.1 figure=\"resident %.1f MB at the end of the storm / "
                "%.1f MB at its start\"\n",
                double(residentEnd) / double(residentStart), mb(residentEnd), mb(residentStart));
    std::printf("RESULT name=fleet_consistent ratio=%.4f goal=0 figure=\"%lld of %lld keys differ between the "
                "reader's store and the cluster (window's key list %s)\"\n",
                double(differing + (keyListMatches ? 0 : 1)) / double(std::max<qsizetype>(1, expected->size())),
                qlonglong(differing), qlonglong(expected->size()), keyListMatches ? "equal" : "DIFFERENT");
    return differing == 0 && keyListMatches && stormed.value(3) == "0" ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(argc, argv);
    return runReader(argc, argv);
}
