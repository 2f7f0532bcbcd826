// Host name changes reach "Setup:/System" through the kernel's poll events:
// this test executable moves into a UTS namespace of its own and renames
// the host there.

#include "tst_livesupport.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <unistd.h>

using namespace kv;
using namespace livetest;

class TestLiveHostName : public QObject
{
    Q_OBJECT

    LiveSystemOptions options()
    {
        LiveSystemOptions options;
        options.resolverConfigurationPath.clear();
        options.powerSupplyRoot.clear();
        // The kernel's side only: the desktop's agents have tests of their own.
        options.desktop.enabled = false;
        return options;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::unshare(CLONE_NEWUTS) != 0)
            QSKIP(qPrintable(QStringLiteral("cannot make a UTS namespace (unshare: %1); needs CAP_SYS_ADMIN")
                                 .arg(QString::fromLocal8Bit(strerror(errno)))));
        const QByteArray name = "keyvane-initial";
        if (::sethostname(name.constData(), size_t(name.size())) != 0)
            QSKIP("cannot set the host name in the namespace");
        const QByteArray domain = "(none)";
        QCOMPARE(::setdomainname(domain.constData(), size_t(domain.size())), 0);
    }

    void followsHostName_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("short") << QByteArray("kv-a");
        QTest::newRow("dotted") << QByteArray("node7.lab.example");
        QTest::newRow("longest") << QByteArray(64, 'h');
    }

    void followsHostName()
    {
        QFETCH(QByteArray, name);
        LiveFixture fixture(options());
        QVERIFY(fixture.isConnected());
        QCOMPARE(fixture.value("Setup:/System").value("HostName").string(), QStringLiteral("keyvane-initial"));
        QVERIFY(fixture.value("Setup:/System").value("DomainName").isNone()); // "(none)" means unset

        fixture.clearChangeLists();
        QCOMPARE(::sethostname(name.constData(), size_t(name.size())), 0);
        // Nothing polls the host name: only the kernel's event brings this.
        QTRY_COMPARE(fixture.value("Setup:/System").value("HostName").string(), QString::fromLatin1(name));
        QTRY_VERIFY(fixture.oneListHolds({"Setup:/System"}));

        // Back again, and a second change is followed too (the event re-arms).
        const QByteArray initial = "keyvane-initial";
        QCOMPARE(::sethostname(initial.constData(), size_t(initial.size())), 0);
        QTRY_COMPARE(fixture.value("Setup:/System").value("HostName").string(), QStringLiteral("keyvane-initial"));
    }

    void followsDomainName()
    {
        LiveFixture fixture(options());
        const QByteArray domain = "nis.example";
        QCOMPARE(::setdomainname(domain.constData(), size_t(domain.size())), 0);
        QTRY_COMPARE(fixture.value("Setup:/System").value("DomainName").string(), QStringLiteral("nis.example"));
        const QByteArray none = "(none)";
        QCOMPARE(::setdomainname(none.constData(), size_t(none.size())), 0);
        QTRY_VERIFY(fixture.value("Setup:/System").value("DomainName").isNone());
        QCOMPARE(fixture.value("Setup:/System").value("HostName").string(), QStringLiteral("keyvane-initial"));
    }

    void quietWithoutChanges()
    {
        LiveFixture fixture(options());
        fixture.clearChangeLists();
        QTest::qWait(300);
        // The name file always polls readable; only priority events may wake us.
        QCOMPARE(fixture.source().nameEvents(), 0);
        QVERIFY2(fixture.changeLists().isEmpty(), qPrintable(fixture.describeLists()));
        const QByteArray name = "keyvane-quiet";
        QCOMPARE(::sethostname(name.constData(), size_t(name.size())), 0);
        QTRY_COMPARE(fixture.value("Setup:/System").value("HostName").string(), QStringLiteral("keyvane-quiet"));
        QTest::qWait(100);
        QCOMPARE(fixture.source().nameEvents(), 1);
    }
};

QTEST_MAIN(TestLiveHostName)
#include "tst_livehostname.moc"
