#pragma once

// A private message bus for tests, with python3-dbusmock services on it:
// the daemon and every mock are started by the test and killed when the
// bus goes. Mocks are driven with gdbus (GVariant text arguments), the
// event loop turning meanwhile so that agents see the signals as they come.

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <map>
#include <memory>
#include <sys/prctl.h>

class DbusMockBus
{
public:
    DbusMockBus()
    {
        if (!m_dir.isValid()) {
            fail(QStringLiteral("no temporary folder"));
            return;
        }
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) {
            fail(QStringLiteral("cannot write the bus configuration"));
            return;
        }
        file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig>\n  <type>session</type>\n  <listen>unix:dir=%1</listen>\n"
                                  "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                  "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n"
                                  "</busconfig>\n")
                       .arg(m_dir.path())
                       .toUtf8());
        file.close();
        outliveNot(&m_daemon);
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                       QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(10000) || !m_daemon.waitForReadyRead(10000)) {
            fail(QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString());
            return;
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_name = QStringLiteral("dbus-mock-bus-%1").arg(quintptr(this));
        if (!connection().isConnected())
            fail(QStringLiteral("cannot connect to the test bus at ") + m_address);
    }

    ~DbusMockBus()
    {
        for (auto &mock : m_mocks)
            stop(mock.second.get());
        m_mocks.clear();
        QDBusConnection::disconnectFromBus(m_name);
        stop(&m_daemon);
    }

    DbusMockBus(const DbusMockBus &) = delete;
    DbusMockBus &operator=(const DbusMockBus &) = delete;

    // The Python that has python3-dbusmock (the system's, when another one
    // comes first on the PATH); empty when none has it.
    static QString python()
    {
        static const QString found = [] {
            for (const QString &candidate : {QStringLiteral("python3"), QStringLiteral("/usr/bin/python3")}) {
                QProcess probe;
                probe.start(candidate, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
                if (probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
                    return candidate;
            }
            return QString();
        }();
        return found;
    }

    static bool haveTools()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()
               && !QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty() && !python().isEmpty();
    }

    bool isValid() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    const QString &address() const { return m_address; }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(m_address, m_name); }

    // Starts a mock of `service` from a dbusmock template (a name or the path
    // of a template file) and waits until it owns its name.
    bool startMock(const QString &service, const QString &templateName, const QString &parameters = QString())
    {
        stopMock(service);
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        outliveNot(process.get());
        QStringList arguments{QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                              QStringLiteral("--template"), templateName};
        if (!parameters.isEmpty())
            arguments << QStringLiteral("--parameters") << parameters;
        process->start(python(), arguments);
        if (!process->waitForStarted(10000))
            return false;
        m_mocks[service] = std::move(process);
        return waitForOwner(service, true);
    }

    // Kills the mock and waits until its name is gone from the bus.
    bool stopMock(const QString &service)
    {
        auto found = m_mocks.find(service);
        if (found == m_mocks.end())
            return true;
        stop(found->second.get());
        m_mocks.erase(found);
        return waitForOwner(service, false);
    }

    // Runs `gdbus call` on the test bus, turning the event loop until it is
    // done; its output, or "error: ..." when the call failed.
    QString call(const QString &service, const QString &path, const QString &method,
                 const QStringList &arguments = QStringList())
    {
        QProcess gdbus;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        gdbus.setProcessEnvironment(environment);
        gdbus.start(QStringLiteral("gdbus"),
                    QStringList{QStringLiteral("call"), QStringLiteral("--system"), QStringLiteral("--dest"), service,
                                QStringLiteral("--object-path"), path, QStringLiteral("--method"), method}
                        + arguments);
        const QDeadlineTimer deadline(20000);
        while (gdbus.state() != QProcess::NotRunning && !deadline.hasExpired())
            spin(2);
        if (gdbus.state() != QProcess::NotRunning || gdbus.exitCode() != 0)
            return QStringLiteral("error: ") + QString::fromUtf8(gdbus.readAllStandardError()).trimmed();
        return QString::fromUtf8(gdbus.readAllStandardOutput()).trimmed();
    }

    // Turns the event loop for a while.
    static void spin(int milliseconds)
    {
        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        loop.exec();
    }

private:
    void fail(const QString &error) { m_error = error; }

    bool waitForOwner(const QString &service, bool owned)
    {
        QDBusConnectionInterface *bus = connection().interface();
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired()) {
            if (bus && bus->isServiceRegistered(service).value() == owned)
                return true;
            spin(10);
        }
        return false;
    }

    // The daemon and the mocks die with the test, however it ends.
    static void outliveNot(QProcess *process)
    {
        process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }

    static void stop(QProcess *process)
    {
        if (process->state() == QProcess::NotRunning)
            return;
        process->kill();
        process->waitForFinished(10000);
    }

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_name;
    QString m_error;
    std::map<QString, std::unique_ptr<QProcess>> m_mocks;
};
