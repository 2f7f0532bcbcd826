// The time from a desktop service's change signal to the change list that
// reports it, against a python3-dbusmock timedated on a private bus: NTP is
// turned on and off through the mock's SetNTP and each change is timed until
// a store connection receives State:/Time. Goal: a median of 30 ms at the
// default settling time.

#include "benchmarks/Median.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/live/LiveSystemSource.h"
#include "tests/DbusMockBus.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using bench::median;

struct Delivery
{
    bool arrived = false;
};

void delivered(kv::StoreConnection *, const QStringList *keys, void *context)
{
    if (keys->contains(QStringLiteral("State:/Time")))
        static_cast<Delivery *>(context)->arrived = true;
}

void benchLatency(DbusMockBus &bus, int settle)
{
    const QString service = QStringLiteral("org.freedesktop.timedate1");
    if (!bus.startMock(service, QStringLiteral("timedated"))) {
        std::printf("latency: skipped, the timedated mock did not start\n");
        return;
    }
    kv::StoreEngine engine;
    kv::StoreEngine::Installation installation(engine);
    kv::LiveSystemOptions options;
    options.resolverConfigurationPath.clear();
    options.powerSupplyRoot.clear();
    options.desktop.busAddress = bus.address();
    options.desktop.settleMilliseconds = settle;
    engine.addSource(kv::createLiveSystemSource(options));
    Delivery delivery;
    auto connection = kv::storeCreate(QStringLiteral("bench"), delivered, &delivery);
    if (!connection) {
        std::printf("latency: cannot open the store\n");
        return;
    }
    const QStringList keys{QStringLiteral("State:/Time")};
    kv::storeSetNotificationKeys(connection.get(), &keys, nullptr);
    kv::storeRunLoopAddSource(kv::storeCreateRunLoopSource(connection.get(), 0));

    QDBusConnection driver = bus.connection();
    std::vector<double> times;
    for (int i = 0; i < 60; ++i) {
        delivery.arrived = false;
        QDBusMessage call =
            QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/timedate1"),
                                           QStringLiteral("org.freedesktop.timedate1"), QStringLiteral("SetNTP"));
        call.setArguments({i % 2 == 0 ? false : true, false});
        QElapsedTimer timer;
        timer.start();
        driver.asyncCall(call);
        while (!delivery.arrived && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("signal -> change list delivered (settle %d ms, including the mock's call): median %.1f ms, "
                "max %.1f ms over %zu changes\n",
                settle, median(times), *std::max_element(times.begin(), times.end()), times.size());
    if (settle == kv::desktop::DesktopOptions().settleMilliseconds)
        std::printf("RESULT name=desktop_latency_median ratio=%.3f goal=1 figure=\"signal -> change list, median %.1f "
                    "ms of 30 ms\"\n",
                    median(times) / 30.0, median(times));
    bus.stopMock(service);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (!DbusMockBus::haveTools()) {
        std::printf("latency: skipped, dbus-daemon, gdbus or python3-dbusmock is missing\n");
        return 0;
    }
    DbusMockBus bus;
    if (!bus.isValid()) {
        std::printf("latency: skipped, %s\n", qPrintable(bus.error()));
        return 0;
    }
    for (const int settle : {0, 20})
        benchLatency(bus, settle);
    return 0;
}
