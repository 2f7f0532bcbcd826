// The live source on this machine: loopback, agreement with `ip`, host
// name, DNS following a replaced resolv.conf, power supplies from a fake tree.

#include "tst_livesupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>

#include <unistd.h>

using namespace kv;
using namespace livetest;

namespace {

const QString DnsKey = QStringLiteral("State:/Network/Global/DNS");

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

// Replaces `path` atomically by a new file, as package managers and
// network managers do.
bool replaceByRename(const QString &path, const QByteArray &content)
{
    const QString temporary = path + QStringLiteral(".new");
    return writeFile(temporary, content) && ::rename(QFile::encodeName(temporary), QFile::encodeName(path)) == 0;
}

// Points the symlink `path` at `target` by renaming a new link over it.
bool relink(const QString &path, const QString &target)
{
    const QString temporary = path + QStringLiteral(".link");
    QFile::remove(temporary);
    return ::symlink(QFile::encodeName(target), QFile::encodeName(temporary)) == 0
           && ::rename(QFile::encodeName(temporary), QFile::encodeName(path)) == 0;
}

QStringList servers(const LiveFixture &fixture)
{
    return strings(fixture.value(DnsKey).value(QStringLiteral("ServerAddresses")));
}

} // namespace

class TestLiveSystem : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;

    LiveSystemOptions options()
    {
        LiveSystemOptions options;
        options.resolverConfigurationPath = m_root.filePath(QStringLiteral("etc/resolv.conf"));
        options.resolverUpstreamPath = m_root.filePath(QStringLiteral("run/resolve/resolv.conf"));
        options.powerSupplyRoot = m_root.filePath(QStringLiteral("sys/class/power_supply"));
        options.settleMilliseconds = 20;
        // The kernel's side only: the desktop's agents have tests of their own.
        options.desktop.enabled = false;
        // Whether this machine has Wi-Fi is not for these tests to depend on.
        options.useNl80211 = false;
        return options;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_root.isValid()); }

    void publishesLoopbackAtStart()
    {
        LiveFixture fixture(options());
        QVERIFY(fixture.isConnected());
        QVERIFY(fixture.source().usesNetlink());
        // Published synchronously by start(), before any event is processed.
        QVERIFY(strings(fixture.value("State:/Network/Interface").value("Interfaces")).contains("lo"));
        const PropertyListValue lo4 = fixture.value("State:/Network/Interface/lo/IPv4");
        const QStringList addresses = strings(lo4.value("Addresses"));
        QVERIFY2(addresses.contains("127.0.0.1"), qPrintable(lo4.description()));
        QCOMPARE(lo4.value("PrefixLengths").at(addresses.indexOf("127.0.0.1")).integer(), 8);
        const PropertyListValue link = fixture.value("State:/Network/Interface/lo/Link");
        QCOMPARE(link.value("Type").string(), QStringLiteral("loopback"));
        QVERIFY(link.value("Flags").isArray());
        QVERIFY(strings(link.value("Flags")).contains("LOOPBACK"));
        QCOMPARE(link.value("Index").kind(), PropertyListValue::Kind::Integer);
        QVERIFY(link.value("MTU").integer() > 0);
        // The interface list is sorted.
        QStringList names = strings(fixture.value("State:/Network/Interface").value("Interfaces"));
        QStringList sorted = names;
        sorted.sort();
        QCOMPARE(names, sorted);
        for (const QString &name : names)
            QVERIFY2(fixture.engine().contains(QStringLiteral("State:/Network/Interface/%1/Link").arg(name)),
                     qPrintable(name));
    }

    void agreesWithIp()
    {
        if (!haveIp())
            QSKIP("the ip command is not installed");
        LiveFixture fixture(options());
        const auto view = ipAddresses();
        QVERIFY(view);
        QCOMPARE(describe(normalised(storeAddresses(fixture.engine()))), describe(normalised(*view)));
        for (bool ipv6 : {false, true}) {
            const auto routes = ipRoutes(ipv6);
            QVERIFY(routes);
            QCOMPARE(describe(storeRoutes(fixture.engine(), ipv6)), describe(*routes));
        }
    }

    void publishesHostName()
    {
        LiveFixture fixture(options());
        char name[256] = {};
        QCOMPARE(::gethostname(name, sizeof name - 1), 0);
        QCOMPARE(fixture.value("Setup:/System").value("HostName").string(), QString::fromUtf8(name));
    }

    void fallsBackToGetifaddrs()
    {
        SystemLogCapture log;
        LiveSystemOptions withoutNetlink = options();
        withoutNetlink.useNetlink = false;
        LiveFixture fixture(withoutNetlink);
        QVERIFY(fixture.isConnected());
        QVERIFY(!fixture.source().usesNetlink());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().constFirst().contains("getifaddrs"));
        const QStringList addresses = strings(fixture.value("State:/Network/Interface/lo/IPv4").value("Addresses"));
        QVERIFY(addresses.contains("127.0.0.1"));
        // Reading again logs nothing more.
        fixture.source().refreshNetwork();
        QCOMPARE(log.lines().size(), 1);
    }

    // Without the nl80211 family the source says so once and publishes no
    // Wi-Fi keys of its own.
    void withoutNl80211()
    {
        SystemLogCapture log;
        LiveSystemOptions settings = options();
        settings.useNl80211 = true;
        settings.nl80211FamilyName = QStringLiteral("keyvane-absent");
        LiveFixture fixture(settings);
        QVERIFY(fixture.isConnected());
        // Said during the start, with the other readings.
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().constFirst().contains("nl80211"), qPrintable(log.lines().constFirst()));
        QVERIFY(!fixture.source().usesNl80211());
        const QStringList keys = fixture.engine().keys();
        QVERIFY(std::none_of(keys.cbegin(), keys.cend(), [](const QString &key) { return key.endsWith("/WiFi"); }));
        fixture.source().refreshNetwork();
        QTest::qWait(50);
        QCOMPARE(log.lines().size(), 1);
    }

    void followsResolverConfiguration()
    {
        const LiveSystemOptions paths = options();
        const QString etc = QFileInfo(paths.resolverConfigurationPath).absolutePath();
        const QString run = QFileInfo(paths.resolverUpstreamPath).absolutePath();
        QVERIFY(writeFile(paths.resolverConfigurationPath, "nameserver 192.0.2.1\nsearch one.example\n"));

        LiveFixture fixture(paths);
        QCOMPARE(servers(fixture), QStringList({"192.0.2.1"}));
        QCOMPARE(strings(fixture.value(DnsKey).value("SearchDomains")), QStringList({"one.example"}));

        // Replaced by rename.
        fixture.clearChangeLists();
        QVERIFY(replaceByRename(paths.resolverConfigurationPath, "nameserver 192.0.2.2\noptions edns0\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"192.0.2.2"}));
        QCOMPARE(strings(fixture.value(DnsKey).value("Options")), QStringList({"edns0"}));
        QTRY_VERIFY(fixture.oneListHolds({DnsKey}));

        // Written in place.
        QVERIFY(writeFile(paths.resolverConfigurationPath, "nameserver 192.0.2.3\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"192.0.2.3"}));

        // Turned into a symlink to a file elsewhere.
        QVERIFY(writeFile(m_root.filePath("alt-a/resolv.conf"), "nameserver 198.51.100.1\n"));
        QVERIFY(QFile::remove(paths.resolverConfigurationPath));
        QVERIFY(QFile::link(m_root.filePath("alt-a/resolv.conf"), paths.resolverConfigurationPath));
        QTRY_COMPARE(servers(fixture), QStringList({"198.51.100.1"}));

        // The link's target changes in place, then is replaced by rename.
        QVERIFY(writeFile(m_root.filePath("alt-a/resolv.conf"), "nameserver 198.51.100.2\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"198.51.100.2"}));
        QVERIFY(replaceByRename(m_root.filePath("alt-a/resolv.conf"), "nameserver 198.51.100.3\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"198.51.100.3"}));

        // The link is changed to point into another folder, whose file then changes.
        QVERIFY(writeFile(m_root.filePath("alt-b/resolv.conf"), "nameserver 203.0.113.1\n"));
        QVERIFY(relink(paths.resolverConfigurationPath, m_root.filePath("alt-b/resolv.conf")));
        QTRY_COMPARE(servers(fixture), QStringList({"203.0.113.1"}));
        QVERIFY(replaceByRename(m_root.filePath("alt-b/resolv.conf"), "nameserver 203.0.113.2\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"203.0.113.2"}));
        // The old target no longer matters.
        QVERIFY(writeFile(m_root.filePath("alt-a/resolv.conf"), "nameserver 198.51.100.9\n"));
        QTest::qWait(150);
        QCOMPARE(servers(fixture), QStringList({"203.0.113.2"}));

        // systemd-resolved's stub: the upstream servers are published, and
        // followed when they change.
        QVERIFY(writeFile(run + "/stub-resolv.conf", "nameserver 127.0.0.53\nsearch lan.example\n"));
        QVERIFY(writeFile(paths.resolverUpstreamPath, "nameserver 192.0.2.53\nsearch lan.example\n"));
        QVERIFY(relink(paths.resolverConfigurationPath, run + "/stub-resolv.conf"));
        QTRY_COMPARE(servers(fixture), QStringList({"192.0.2.53"}));
        QVERIFY(replaceByRename(paths.resolverUpstreamPath, "nameserver 192.0.2.54\nsearch lan.example\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"192.0.2.54"}));

        // Gone: the key goes too.
        QVERIFY(QFile::remove(paths.resolverConfigurationPath));
        QTRY_VERIFY(!fixture.engine().contains(DnsKey));
        // And comes back with a new file.
        QVERIFY(writeFile(paths.resolverConfigurationPath, "nameserver 192.0.2.99\n"));
        QTRY_COMPARE(servers(fixture), QStringList({"192.0.2.99"}));
        Q_UNUSED(etc);
    }

    void readsPowerSupplies()
    {
        const LiveSystemOptions paths = options();
        const QString root = paths.powerSupplyRoot;
        QDir(root).removeRecursively();
        QVERIFY(QDir().mkpath(root));
        {
            // No supplies: nothing published.
            LiveFixture fixture(paths);
            for (const QString &key : fixture.engine().keys())
                QVERIFY2(!key.startsWith("State:/Power"), qPrintable(key));
        }
        QVERIFY(writeFile(root + "/BAT0/type", "Battery\n"));
        QVERIFY(writeFile(root + "/BAT0/status", "Charging\n"));
        QVERIFY(writeFile(root + "/BAT0/capacity", "41\n"));
        QVERIFY(writeFile(root + "/BAT0/present", "1\n"));
        QVERIFY(writeFile(root + "/AC/type", "Mains\n"));
        QVERIFY(writeFile(root + "/AC/online", "1\n"));

        LiveFixture fixture(paths);
        QCOMPARE(fixture.value("State:/Power/BAT0").value("Capacity").integer(), 41);
        QCOMPARE(fixture.value("State:/Power/BAT0").value("Status").string(), QStringLiteral("Charging"));
        QCOMPARE(fixture.value("State:/Power/AC").value("Online").boolean(), true);

        // A capacity change without any event is picked up by the periodic re-read.
        fixture.clearChangeLists();
        QVERIFY(writeFile(root + "/BAT0/capacity", "42\n"));
        fixture.source().refreshPower();
        QCOMPARE(fixture.value("State:/Power/BAT0").value("Capacity").integer(), 42);
        QTRY_VERIFY(fixture.oneListHolds({"State:/Power/BAT0"}));
        QVERIFY2(!fixture.oneListHolds({"State:/Power/AC"}), qPrintable(fixture.describeLists()));

        // A re-read that finds nothing new changes nothing.
        fixture.clearChangeLists();
        fixture.source().refreshPower();
        QTest::qWait(50);
        QVERIFY2(fixture.changeLists().isEmpty(), qPrintable(fixture.describeLists()));

        // A supply that goes away is removed.
        QVERIFY(QDir(root + "/AC").removeRecursively());
        fixture.source().refreshPower();
        QVERIFY(!fixture.engine().contains("State:/Power/AC"));
        QVERIFY(fixture.engine().contains("State:/Power/BAT0"));
    }

    void periodicPowerRead()
    {
        LiveSystemOptions paths = options();
        paths.powerRefreshMilliseconds = 100;
        const QString root = paths.powerSupplyRoot;
        QDir(root).removeRecursively();
        QVERIFY(writeFile(root + "/BAT1/capacity", "10\n"));
        LiveFixture fixture(paths);
        QCOMPARE(fixture.value("State:/Power/BAT1").value("Capacity").integer(), 10);
        QVERIFY(writeFile(root + "/BAT1/capacity", "11\n"));
        QTRY_COMPARE(fixture.value("State:/Power/BAT1").value("Capacity").integer(), 11);
    }
};

QTEST_MAIN(TestLiveSystem)
#include "tst_livesystem.moc"
