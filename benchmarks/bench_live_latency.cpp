// Costs of the live system source: one full network reading (dumps, parsing,
// keys), and, where a network namespace can be made, the time from an
// address change to its key in the store.

#include "benchmarks/Median.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/live/LiveSystemSource.h"
#include "platform/live/Netlink.h"
#include "platform/live/NetworkKeys.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <vector>

namespace {

bool ip(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

using bench::median;

void benchReading()
{
    kv::live::RouteNetlinkSocket socket;
    QString error;
    if (!socket.open(&error)) {
        std::printf("reading: netlink unavailable (%s)\n", qPrintable(error));
        return;
    }
    constexpr int rounds = 200;
    std::vector<double> times;
    qsizetype keys = 0;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        kv::live::NetworkSnapshot snapshot;
        socket.readSnapshot(&snapshot, &error);
        keys = kv::live::networkKeys(snapshot).size();
        times.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::printf("full network reading (%lld keys): median %.1f us over %d rounds\n", static_cast<long long>(keys),
                median(times), rounds);
}

void benchLatency()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        std::printf("latency: skipped, cannot make a network namespace (%s)\n", strerror(errno));
        return;
    }
    if (!ip({"link", "set", "lo", "up"}) || !ip({"link", "add", "veth0", "type", "veth", "peer", "name", "veth1"})
        || !ip({"link", "set", "veth0", "up"})) {
        std::printf("latency: skipped, cannot configure the namespace\n");
        return;
    }
    for (int settle : {0, 75}) {
        kv::StoreEngine engine;
        kv::LiveSystemOptions options;
        options.resolverConfigurationPath.clear();
        options.powerSupplyRoot.clear();
        options.settleMilliseconds = settle;
        options.desktop.enabled = false;
        engine.addSource(kv::createLiveSystemSource(options));
        QString error;
        if (!engine.ensureStarted(&error)) {
            std::printf("latency: cannot start the source: %s\n", qPrintable(error));
            return;
        }
        const QString key = QStringLiteral("State:/Network/Interface/veth0/IPv4");
        std::vector<double> times;
        for (int i = 0; i < 100; ++i) {
            const QString address = QStringLiteral("198.51.100.%1/24").arg(i + 1);
            QElapsedTimer timer;
            timer.start();
            ip({"addr", "add", address, "dev", "veth0"});
            while (!engine.contains(key) && timer.elapsed() < 5000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            times.push_back(double(timer.nsecsElapsed()) / 1e6);
            ip({"addr", "del", address, "dev", "veth0"});
            QElapsedTimer gone;
            gone.start();
            while (engine.contains(key) && gone.elapsed() < 5000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        std::printf("address added -> key published (settle %d ms, including the ip command): median %.1f ms, "
                    "max %.1f ms over %zu changes\n",
                    settle, median(times), *std::max_element(times.begin(), times.end()), times.size());
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    benchReading();
    benchLatency();
    return 0;
}
