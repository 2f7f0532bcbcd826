// Merging one change list of many keys (added, removed and updated, mixed)
// into a large key list as the store delivers it, with the console lines, the
// browser rebuild, the path restore, the history and the activity marks,
// against one load of the browser's column zero of the same keys.
//
// Usage: bench_change_merging [number of keys, default 100000]
//                             [changes per list, default 10000] [rounds, default 5]
// Prints the best time of each over the rounds and their ratio.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Window.h"
#include "store/KeyList.h"

#include "StoreKeys.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>

namespace {

const QString Separator = QStringLiteral("{|}~@!@");

// Store-shaped keys: a few domains, services and interfaces with identifiers.
QString makeKey(QRandomGenerator &random, int i)
{
    static const char *const domains[] = {"State:", "Setup:", "State:", "Plugin:"};
    static const char *const leaves[] = {"IPv4", "IPv6", "DNS", "Proxies", "Link", "Ethernet", "Interface", "PPP"};
    QString key = QString::fromLatin1(domains[random.bounded(4)]);
    switch (i % 3) {
    case 0: key += QStringLiteral("/Network/Interface/en%1/").arg(i); break;
    case 1:
        key +=
            QStringLiteral("/Network/Service/%1-4E2B/").arg(uint(i) * 2654435761u, 8, 16, QLatin1Char('0')).toUpper();
        break;
    default: key += QStringLiteral("/Network/Global/%1/").arg(i); break;
    }
    key += QLatin1String(leaves[random.bounded(8)]);
    return key;
}

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Times the controller's merge of each change list as the program makes it:
// inside the store's delivery. A connection of its own, delivered to just
// before the controller's, reads the list's values (timed apart) and starts
// the clock; the controller's signal that the merge is over (sent after the
// history and the activity marks have taken the list) stops it.
class DeliveredMergeClock
{
public:
    explicit DeliveredMergeClock(KVNController &controller)
    {
        m_store = kv::storeCreate(QStringLiteral("merge clock"), &DeliveredMergeClock::delivered, this);
        const QStringList patterns{QStringLiteral(".*")};
        if (!m_store || !kv::storeSetNotificationKeys(m_store.get(), nullptr, &patterns))
            return;
        kv::storeRunLoopAddSource(kv::storeCreateRunLoopSource(m_store.get(), -1));
        m_connection = QObject::connect(&controller, &KVNController::changesMerged, [this] {
            if (m_running)
                m_mergeMs = milliseconds(m_timer);
            m_running = false;
        });
    }
    ~DeliveredMergeClock() { QObject::disconnect(m_connection); }
    DeliveredMergeClock(const DeliveredMergeClock &) = delete;
    DeliveredMergeClock &operator=(const DeliveredMergeClock &) = delete;

    // Delivers what is pending; the merge's and the fetch's times, in ms
    // (-1 when nothing was merged).
    std::pair<double, double> deliver()
    {
        m_mergeMs = m_fetchMs = -1;
        QApplication::processEvents();
        return {m_mergeMs, m_fetchMs};
    }

private:
    static void delivered(kv::StoreConnection *store, const QStringList *keys, void *context)
    {
        auto *self = static_cast<DeliveredMergeClock *>(context);
        self->m_timer.start();
        const auto values = kv::storeCopyMultiple(store, keys, nullptr);
        self->m_fetchMs = values ? milliseconds(self->m_timer) : -1;
        self->m_running = true;
        self->m_timer.start();
    }

    std::unique_ptr<kv::StoreConnection> m_store;
    QMetaObject::Connection m_connection;
    QElapsedTimer m_timer;
    bool m_running = false;
    double m_mergeMs = -1;
    double m_fetchMs = -1;
};

// One load of column zero of the controller's keys as a reload makes it
// (the key list read afresh, every key decomposed), in ms; the path is
// selected again after it.
double freshColumnZeroLoad(KVNController &controller, const QString &path)
{
    controller.keyList().getStoreKeysList();
    QElapsedTimer timer;
    timer.start();
    controller.kvnBrowser->loadColumnZero();
    const double elapsed = milliseconds(timer);
    controller.kvnBrowser->setPath(path);
    return elapsed;
}

// A small change list into a large store, against a fresh column-zero load
// of it: the keys `keys`, a selection on the way to `selected`, and each
// round's change list made by `change` (which changes the engine), merged as
// the store delivers it. Prints the figure and its RESULT line.
void smallChange(const char *name, const char *what, double goal, const QStringList &keys, const QString &selected,
                 const std::function<void(kv::StoreEngine &, int round)> &change, int rounds)
{
    kv::StoreEngine engine;
    const kv::StoreEngine::Installation installation(engine);
    kv::PropertyListDictionary contents;
    for (const QString &key : keys)
        contents.insert(key, kv::PropertyListValue::fromInteger(1));
    engine.setValues(contents);
    KVNController controller;
    std::unique_ptr<kv::app::MainInterface> ui = kv::app::loadMainInterface(&controller);
    controller.consoleWindow->resize(640, 360);
    if (!qEnvironmentVariableIsSet("BENCH_HIDE_CONSOLE"))
        controller.consoleWindow->show();
    controller.awakeFromNib();
    QApplication::processEvents();
    controller.selectKey(selected);
    const QString path = controller.kvnBrowser->path();

    DeliveredMergeClock clock(controller);
    double bestLoad = std::numeric_limits<double>::max();
    double bestMerge = std::numeric_limits<double>::max();
    for (int round = 0; round < rounds; ++round) {
        bestLoad = std::min(bestLoad, freshColumnZeroLoad(controller, path));
        controller.browserSingleClick(controller.kvnBrowser);
        change(engine, round);
        const double merge = clock.deliver().first;
        if (merge < 0)
            std::fprintf(stderr, "%s: no change list merged\n", name);
        bestMerge = std::min(bestMerge, merge < 0 ? std::numeric_limits<double>::max() : merge);
        if (controller.storeKeysList.size() != engine.keyCount())
            std::fprintf(stderr, "%s: key list out of step with the store\n", name);
    }
    std::printf("%s: %lld keys, column-zero load %.2f ms, merge %.3f ms (%s)\n", name,
                qlonglong(controller.storeKeysList.size()), bestLoad, bestMerge, what);
    std::printf("RESULT name=%s ratio=%.4f goal=%g\n", name, bestMerge / bestLoad, goal);
}

// A fleet's keys: HOSTS hosts of 60 keys each, "hostNNNNN:/State:/…".
QStringList fleetKeys(int hosts)
{
    QStringList keys;
    keys.reserve(hosts * 60);
    for (int h = 0; h < hosts; ++h) {
        const QString host = QStringLiteral("host%1:/").arg(h, 5, 10, QLatin1Char('0'));
        for (int k = 0; k < 60; ++k)
            keys.append(host + QStringLiteral("State:/Network/Interface/eth%1/Key%2").arg(k / 10).arg(k % 10));
    }
    keys.sort();
    return keys;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int changes = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    kv::StoreEngine engine;
    kv::StoreEngine::setInstance(&engine);
    QRandomGenerator random(5);
    int nextIndex = 0;
    engine.beginBatch();
    for (; nextIndex < count; ++nextIndex)
        engine.setValue(makeKey(random, nextIndex), kv::PropertyListValue::fromInteger(nextIndex));
    engine.endBatch();

    KVNController controller;
    std::unique_ptr<kv::app::MainInterface> ui = kv::app::loadMainInterface(&controller);
    controller.consoleWindow->resize(640, 360);
    if (!qEnvironmentVariableIsSet("BENCH_HIDE_CONSOLE"))
        controller.consoleWindow->show();
    controller.awakeFromNib();
    QApplication::processEvents();

    // A selection three columns deep, kept through the rebuilds.
    const QString selected = controller.storeKeysList.at(controller.storeKeysList.size() / 2);
    controller.kvnBrowser->setPath(Separator + selected.section(u':', 0, 0) + Separator
                                   + selected.section(u':', 1).mid(1).split(u'/').mid(0, 2).join(Separator));
    controller.browserSingleClick(controller.kvnBrowser);
    const QString path = controller.kvnBrowser->path();

    DeliveredMergeClock clock(controller);
    double bestLoad = std::numeric_limits<double>::max();
    double bestMerge = std::numeric_limits<double>::max();
    double bestFetch = std::numeric_limits<double>::max();
    double bestRebuild = std::numeric_limits<double>::max();
    for (int round = 0; round < rounds; ++round) {
        bestLoad = std::min(bestLoad, freshColumnZeroLoad(controller, path));
        QElapsedTimer timer;

        // A third each of added, removed and updated keys, shuffled.
        // A copy, dropped before the merge: the controller's list is then
        // not shared, as in the program.
        std::optional<QStringList> listed = controller.storeKeysList;
        engine.beginBatch();
        for (int i = 0; i < changes; ++i) {
            QString key;
            switch (i % 3) {
            case 0:
                key = makeKey(random, nextIndex++);
                engine.setValue(key, kv::PropertyListValue::fromInteger(i));
                break;
            case 1: do { key = listed->at(random.bounded(int(listed->size())));
                } while (!engine.contains(key) || key == selected);
                engine.removeValue(key);
                break;
            default:
                key = listed->at(random.bounded(int(listed->size())));
                engine.setValue(key, kv::PropertyListValue::fromInteger(-i));
                break;
            }
        }
        engine.endBatch();
        listed.reset();
        const auto [merge, fetch] = clock.deliver();
        if (merge < 0 || fetch < 0) {
            std::fprintf(stderr, "no change list merged\n");
            return 1;
        }
        bestMerge = std::min(bestMerge, merge);
        bestFetch = std::min(bestFetch, fetch);

        // The part the merge shares with a reload: rebuilding the columns
        // with the path and selection from a fresh key list.
        timer.restart();
        const QString current = controller.kvnBrowser->path();
        controller.keyList().getStoreKeysList();
        controller.kvnBrowser->loadColumnZero();
        controller.kvnBrowser->setPath(current);
        controller.browserSingleClick(controller.kvnBrowser);
        bestRebuild = std::min(bestRebuild, milliseconds(timer));

        if (controller.kvnBrowser->path() != path)
            std::fprintf(stderr, "path not restored: %s\n", qPrintable(controller.kvnBrowser->path()));
        if (!std::is_sorted(controller.storeKeysList.cbegin(), controller.storeKeysList.cend())
            || controller.storeKeysList.size() != engine.keyCount())
            std::fprintf(stderr, "key list out of step with the store\n");
    }

    std::printf("keys: %lld, changes per list: %d, rounds: %d\n", qlonglong(controller.storeKeysList.size()), changes,
                rounds);
    std::printf("load column zero:          %9.2f ms\n", bestLoad);
    std::printf("merge one change list:     %9.2f ms (log, edit, rebuild, path, selection)\n", bestMerge);
    std::printf("  of which fetch values:   %9.2f ms\n", bestFetch);
    std::printf("  of which rebuild:        %9.2f ms (column zero, path, selection)\n", bestRebuild);
    std::printf("ratio merge / column zero: %9.2f (limit 1)\n", bestMerge / bestLoad);
    std::printf("RESULT name=change_merging ratio=%.3f goal=1\n", bestMerge / bestLoad);
    ui.reset();

    if (qEnvironmentVariableIsSet("BENCH_MERGE_ONLY_LARGE"))
        return 0;
    // One host leaving a fleet of 10,000 hosts x 60 keys: its 60 keys go.
    const QStringList fleet = fleetKeys(10000);
    smallChange(
        "change_merging_host_leaves", "60 keys of one host removed, from 600,000", 0.05, fleet,
        fleet.at(fleet.size() / 2),
        [&fleet](kv::StoreEngine &engine, int round) {
            // A different host each round, far from the selection; back for the next round.
            const int host = 100 + round;
            for (int k = 0; k < 60; ++k)
                engine.removeValue(fleet.at(host * 60 + k));
        },
        rounds);
    // Ten updates into a million keys.
    const QStringList million = bench::makeKeys(1000000);
    smallChange(
        "change_merging_updates", "10 keys updated, of 1,000,000", 0.01, million, million.at(million.size() / 3),
        [&million](kv::StoreEngine &engine, int round) {
            for (int i = 0; i < 10; ++i)
                engine.setValue(million.at((i * 99991 + round * 7) % million.size()),
                                kv::PropertyListValue::fromInteger(round + 2));
        },
        rounds);
    return 0;
}
