#pragma once

// Real etcd members on loopback for the tests that talk to an etcd cluster.
//
// An EtcdTestCluster starts `etcd` members in a temporary directory (data
// directories, logs, and with TLS a CA and certificates made for the
// cluster), all listening on 127.0.0.1 only, and drives them with `etcdctl`.
// Everything it starts is stopped, and the directory removed, when it goes
// out of scope; members also die with the test process if that ends without
// unwinding (they are started with the parent-death signal SIGKILL, so start
// them from the thread that lives as long as the cluster, normally the main
// thread).
//
// Needs Qt6::Network (free ports are found with a QTcpServer).

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace etcdtest {

struct ClusterOptions
{
    int members = 1;
    // Clients are served over https with a certificate, for 127.0.0.1, of a CA
    // made for the cluster (peers stay on http).
    bool tls = false;
    // With tls: members only accept clients presenting a certificate of that
    // CA; etcdctl() then presents clientCertificatePath().
    bool clientCertificateAuth = false;
    // --auto-compaction-retention when not 0: hours in the "periodic" mode,
    // revisions in the "revision" mode.
    int autoCompactionRetention = 0;
    // --auto-compaction-mode when not empty ("periodic" or "revision").
    QString autoCompactionMode;
    // Passed to every member after the arguments the cluster sets.
    QStringList extraArguments;
    // When not 0, the first member's client port (the other ports are chosen
    // free).
    quint16 clientPort = 0;
};

namespace detail {

constexpr int startTimeoutMs = 15000;
constexpr int etcdctlTimeoutMs = 20000;
constexpr int stopTimeoutMs = 10000;
// How long the members get, all together, to stop on SIGTERM when the
// cluster goes away.
constexpr int shutdownGraceMs = 3000;

// The environment of the programs started: no ETCD_* or ETCDCTL_* settings
// of the caller's that would change what the flags say.
inline QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QStringList keys = environment.keys();
    for (const QString &key : keys) {
        if (key.startsWith(QLatin1String("ETCD_")) || key.startsWith(QLatin1String("ETCDCTL_")))
            environment.remove(key);
    }
    environment.insert(QStringLiteral("ETCDCTL_API"), QStringLiteral("3"));
    return environment;
}

// The child gets SIGKILL when the process that started it dies.
inline void dieWithParent(QProcess &process)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
    });
}

// The last `count` non-empty lines of the text, on one line; the lines of
// etcd's JSON log as "level: message (error)".
inline QString lastLines(const QByteArray &text, int count)
{
    QStringList lines;
    const QList<QByteArray> all = text.split('\n');
    for (auto it = all.crbegin(); it != all.crend() && lines.size() < count; ++it) {
        const QByteArray line = it->trimmed();
        if (line.isEmpty())
            continue;
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.contains(QLatin1String("msg"))) {
            QString shortened = entry.value(QLatin1String("level")).toString() + QStringLiteral(": ")
                                + entry.value(QLatin1String("msg")).toString();
            if (entry.contains(QLatin1String("error")))
                shortened += QStringLiteral(" (%1)").arg(entry.value(QLatin1String("error")).toString());
            lines.prepend(shortened);
        } else {
            lines.prepend(QString::fromUtf8(line.left(400)));
        }
    }
    return lines.join(QStringLiteral(" | "));
}

// The lines of etcd's output that tell why it failed: its log's warnings and
// errors and flag complaints; the last lines when there are none.
inline QString failureLines(const QByteArray &text, int count)
{
    QByteArray lines;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray lower = line.toLower();
        if (line.startsWith("{\"level\":\"warn") || line.startsWith("{\"level\":\"error")
            || line.startsWith("{\"level\":\"fatal") || line.startsWith("{\"level\":\"panic")
            || (!line.startsWith('{')
                && (lower.contains("error") || lower.contains("invalid") || lower.contains("not defined"))))
            lines.append(line).append('\n');
    }
    return lastLines(lines.isEmpty() ? text : lines, count);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Distinct ports of 127.0.0.1 that nothing listens on at the time of asking.
inline QList<quint16> freePorts(int count)
{
    std::vector<std::unique_ptr<QTcpServer>> servers;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        auto server = std::make_unique<QTcpServer>();
        if (!server->listen(QHostAddress::LocalHost, 0))
            return {};
        ports.append(server->serverPort());
        servers.push_back(std::move(server));
    }
    return ports;
}

// A string of `etcdctl txn`'s request lines: double-quoted, every byte
// outside printable ASCII (and the quote and backslash) as \xNN, so that any
// bytes go through.
inline QByteArray quoted(const QByteArray &bytes)
{
    QByteArray result("\"");
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\')
            result.append(c);
        else
            result.append("\\x").append(QByteArray::number(byte, 16).rightJustified(2, '0'));
    }
    return result.append('"');
}

// True when the argument list sets the flag (before any "--").
inline bool hasFlag(const QStringList &arguments, const QString &name)
{
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--"))
            return false;
        if (argument == name || argument.startsWith(name + QLatin1Char('=')))
            return true;
    }
    return false;
}

inline bool runProgram(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                       QString *error)
{
    QProcess process;
    process.setProcessEnvironment(cleanEnvironment());
    process.setWorkingDirectory(workingDirectory);
    dieWithParent(process);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(etcdctlTimeoutMs);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    if (error)
        *error = QStringLiteral("%1 %2 failed: %3")
                     .arg(program, arguments.value(0),
                          process.error() == QProcess::FailedToStart ? process.errorString()
                                                                     : lastLines(process.readAllStandardError(), 3));
    return false;
}

} // namespace detail

class EtcdTestCluster
{
public:
    explicit EtcdTestCluster(ClusterOptions options = {})
        : m_options(std::move(options)), m_directory(QDir::tempPath() + QStringLiteral("/keyvane-etcd-XXXXXX"))
    {
        m_token = QStringLiteral("keyvane-test-%1-%2")
                      .arg(QCoreApplication::applicationPid())
                      .arg(QRandomGenerator::system()->generate64(), 0, 16);
        for (int i = 0; i < m_options.members; ++i) {
            Member member;
            member.name = QStringLiteral("m%1").arg(i);
            m_members.push_back(std::move(member));
        }
    }

    // One member after the other: a leader stopping hands its role over to a
    // follower still running, which stopping them all at once would make it
    // wait for in vain.
    ~EtcdTestCluster()
    {
        const QDeadlineTimer grace(detail::shutdownGraceMs);
        for (Member &member : m_members) {
            if (!isRunning(member))
                continue;
            member.process->terminate();
            if (!member.process->waitForFinished(int(grace.remainingTime()))) {
                member.process->kill();
                member.process->waitForFinished(detail::stopTimeoutMs);
            }
        }
    }

    EtcdTestCluster(const EtcdTestCluster &) = delete;
    EtcdTestCluster &operator=(const EtcdTestCluster &) = delete;

    static bool available(QString *why)
    {
        for (const QString &program : {QStringLiteral("etcd"), QStringLiteral("etcdctl")}) {
            if (QStandardPaths::findExecutable(program).isEmpty()) {
                if (why)
                    *why = QStringLiteral("%1 is not on PATH").arg(program);
                return false;
            }
        }
        return true;
    }

    // Starts all members and waits until each answers. A port taken by someone
    // else between choosing and binding it makes a new try on other ports.
    bool start(QString *error)
    {
        QString failure;
        const bool started = startMembers(&failure);
        if (!started && error)
            *error = failure;
        return started;
    }

    QStringList clientUrls() const
    {
        QStringList urls;
        for (const Member &member : m_members)
            urls.append(clientUrl(member));
        return urls;
    }
    QString endpoints() const { return clientUrls().join(QLatin1Char(',')); }

    // SIGKILL, waiting for the member to be gone. When the members still
    // running are a majority, also waits (at most 15 s) until each of them
    // answers again, so that a leader lost with the member has been replaced;
    // false when they do not.
    bool killMember(int index, QString *error = nullptr)
    {
        Member &member = m_members.at(index);
        if (isRunning(member)) {
            member.process->kill();
            member.process->waitForFinished(detail::stopTimeoutMs);
        }
        return waitForQuorum(error);
    }

    // SIGTERM (SIGKILL when the member has not stopped after 10 s), then as
    // killMember().
    bool stopMember(int index, QString *error = nullptr)
    {
        Member &member = m_members.at(index);
        if (isRunning(member)) {
            member.process->terminate();
            if (!member.process->waitForFinished(detail::stopTimeoutMs)) {
                member.process->kill();
                member.process->waitForFinished(detail::stopTimeoutMs);
            }
        }
        return waitForQuorum(error);
    }

    // Waits (at most 15 s) until every running member answers a
    // linearizable read, that is until the cluster has a leader.
    bool waitUntilHealthy(QString *error = nullptr) const
    {
        QList<int> running;
        for (int i = 0; i < int(m_members.size()); ++i) {
            if (isRunning(m_members[i]))
                running.append(i);
        }
        QString failure = QStringLiteral("no etcd member is running");
        const bool healthy = !running.isEmpty() && waitUntilAnswering(running, &failure);
        if (!healthy && error)
            *error = failure;
        return healthy;
    }

    // Starts a stopped member again with its ports and data directory and
    // waits until it answers.
    bool restartMember(int index, QString *error)
    {
        Member &member = m_members.at(index);
        QString failure;
        bool restarted = false;
        if (isRunning(member))
            failure = QStringLiteral("etcd member %1 is still running").arg(member.name);
        else if (launch(member, &failure))
            restarted = waitUntilAnswering({index}, &failure);
        if (!restarted && error)
            *error = failure;
        return restarted;
    }

    bool isRunning(int index) const { return isRunning(m_members.at(index)); }

    // The member's process id, 0 when it is not running.
    qint64 processId(int index) const
    {
        const Member &member = m_members.at(index);
        return isRunning(member) ? member.process->processId() : 0;
    }

    // Runs etcdctl with the endpoints of the running members (unless the
    // arguments give --endpoints), the CA and client certificate with TLS
    // (unless given) and, after enableAuth(), as root (unless the arguments give
    // --user; "--user=" goes without). The harness's flags come before the
    // arguments. Returns the standard output; on failure or after 20 s *ok is
    // false and *error holds the standard error.
    QByteArray etcdctl(const QStringList &arguments, bool *ok = nullptr, QString *error = nullptr) const
    {
        return run(arguments, QByteArray(), ok, error);
    }

    // Any bytes in key and value: both go through standard input.
    bool put(const QByteArray &key, const QByteArray &value, QString *error = nullptr)
    {
        bool ok = false;
        run({QStringLiteral("txn")}, transaction("put -- " + detail::quoted(key) + ' ' + detail::quoted(value)), &ok,
            error);
        return ok;
    }

    // Every key under the prefix with its value, exactly as stored.
    QMap<QByteArray, QByteArray> getPrefix(const QByteArray &prefix, bool *ok = nullptr, QString *error = nullptr) const
    {
        QMap<QByteArray, QByteArray> values;
        bool succeeded = false;
        const QByteArray output = run({QStringLiteral("txn"), QStringLiteral("-w"), QStringLiteral("json")},
                                      transaction("get --prefix -- " + detail::quoted(prefix)), &succeeded, error);
        if (succeeded) {
            // Fields at their zero value ("count" of nothing) are left out.
            const QJsonValue range = QJsonDocument::fromJson(output)
                                         .object()
                                         .value(QLatin1String("responses"))
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(QLatin1String("Response"))
                                         .toObject()
                                         .value(QLatin1String("ResponseRange"));
            succeeded = range.isObject();
            if (!succeeded && error)
                *error = QStringLiteral("etcdctl txn: unexpected answer %1").arg(QString::fromUtf8(output.left(400)));
            for (const QJsonValue &entry : range.toObject().value(QLatin1String("kvs")).toArray()) {
                const QJsonObject pair = entry.toObject();
                values.insert(QByteArray::fromBase64(pair.value(QLatin1String("key")).toString().toLatin1()),
                              QByteArray::fromBase64(pair.value(QLatin1String("value")).toString().toLatin1()));
            }
        }
        if (ok)
            *ok = succeeded;
        return succeeded ? values : QMap<QByteArray, QByteArray>();
    }

    // The cluster's current revision (a linearizable read), -1 on failure.
    qint64 revision(QString *error = nullptr) const
    {
        bool ok = false;
        const QByteArray output =
            run({QStringLiteral("txn"), QStringLiteral("-w"), QStringLiteral("json")}, transaction({}), &ok, error);
        if (!ok)
            return -1;
        const QJsonValue revision = QJsonDocument::fromJson(output)
                                        .object()
                                        .value(QLatin1String("header"))
                                        .toObject()
                                        .value(QLatin1String("revision"));
        if (!revision.isDouble()) {
            if (error)
                *error = QStringLiteral("etcdctl txn: no revision in %1").arg(QString::fromUtf8(output.left(400)));
            return -1;
        }
        return revision.toInteger();
    }

    bool compact(qint64 revision, QString *error = nullptr)
    {
        bool ok = false;
        etcdctl({QStringLiteral("compact"), QString::number(revision), QStringLiteral("--physical")}, &ok, error);
        return ok;
    }

    // Makes the user root (with a random password, rootPassword()), a user
    // with read and write access to the keys under the prefix (a role of the
    // user's name), and turns authentication on; etcdctl() then authenticates
    // as root. The prefix goes through etcdctl's arguments, so it must be
    // UTF-8 without NUL; an empty prefix means every key.
    bool enableAuth(const QString &user, const QString &password, const QByteArray &prefix, QString *error = nullptr)
    {
        const QString textPrefix = QString::fromUtf8(prefix);
        if (textPrefix.toUtf8() != prefix || prefix.contains('\0')) {
            if (error)
                *error = QStringLiteral("enableAuth: the prefix is not UTF-8 text");
            return false;
        }
        if (user.isEmpty() || user == QLatin1String("root") || password.isEmpty()) {
            if (error)
                *error = QStringLiteral("enableAuth: the user needs a name other than root and a password");
            return false;
        }
        QString rootPassword;
        const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
        for (int i = 0; i < 24; ++i)
            rootPassword.append(letters.at(QRandomGenerator::system()->bounded(letters.size())));

        const QString root = QStringLiteral("root");
        const QList<QStringList> steps{
            {QStringLiteral("user"), QStringLiteral("add"), QStringLiteral("--new-user-password=") + rootPassword,
             QStringLiteral("--"), root},
            {QStringLiteral("role"), QStringLiteral("add"), QStringLiteral("--"), root},
            {QStringLiteral("user"), QStringLiteral("grant-role"), QStringLiteral("--"), root, root},
            {QStringLiteral("role"), QStringLiteral("add"), QStringLiteral("--"), user},
            {QStringLiteral("role"), QStringLiteral("grant-permission"), QStringLiteral("--prefix"),
             QStringLiteral("--"), user, QStringLiteral("readwrite"), textPrefix},
            {QStringLiteral("user"), QStringLiteral("add"), QStringLiteral("--new-user-password=") + password,
             QStringLiteral("--"), user},
            {QStringLiteral("user"), QStringLiteral("grant-role"), QStringLiteral("--"), user, user},
            {QStringLiteral("auth"), QStringLiteral("enable")},
        };
        for (const QStringList &step : steps) {
            bool ok = false;
            etcdctl(step, &ok, error);
            if (!ok)
                return false;
        }
        m_rootPassword = rootPassword;
        return true;
    }

    // Empty before enableAuth().
    QString rootPassword() const { return m_rootPassword; }

    // With tls: the PEM files of the cluster's CA and of a client certificate
    // it signed (with its key). Empty without tls.
    QString caCertificatePath() const { return tlsFile(QStringLiteral("ca.pem")); }
    QString clientCertificatePath() const { return tlsFile(QStringLiteral("client.pem")); }
    QString clientKeyPath() const { return tlsFile(QStringLiteral("client.key")); }

    QString dataDirectory(int index) const { return m_directory.filePath(m_members.at(index).name); }

private:
    struct Member
    {
        QString name;
        quint16 clientPort = 0;
        quint16 peerPort = 0;
        std::unique_ptr<QProcess> process;
    };

    bool waitForQuorum(QString *error) const
    {
        int running = 0;
        for (const Member &member : m_members)
            running += isRunning(member) ? 1 : 0;
        return 2 * running <= int(m_members.size()) || waitUntilHealthy(error);
    }

    // Notices a member that ended by itself (QProcess learns of it only
    // when asked without an event loop).
    static bool isRunning(const Member &member)
    {
        if (!member.process || member.process->state() == QProcess::NotRunning)
            return false;
        member.process->waitForFinished(0);
        return member.process->state() != QProcess::NotRunning;
    }

    QString clientUrl(const Member &member) const
    {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(m_options.tls ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(member.clientPort);
    }
    static QString peerUrl(const Member &member) { return QStringLiteral("http://127.0.0.1:%1").arg(member.peerPort); }
    QString logPath(const Member &member) const { return m_directory.filePath(member.name + QStringLiteral(".log")); }
    QString outputPath(const Member &member) const
    {
        return m_directory.filePath(member.name + QStringLiteral(".out"));
    }
    QString tlsFile(const QString &name) const
    {
        return m_options.tls ? m_directory.filePath(QStringLiteral("tls/") + name) : QString();
    }

    // The end of the member's log and of what it wrote outside it.
    QString logTail(const Member &member) const
    {
        const QString log = detail::failureLines(detail::readFile(logPath(member)), 3);
        const QString output = detail::failureLines(detail::readFile(outputPath(member)), 2);
        if (log.isEmpty() || output.isEmpty())
            return log + output;
        return log + QStringLiteral(" | ") + output;
    }

    bool startMembers(QString *error)
    {
        if (!available(error))
            return false;
        if (!m_members.empty() && m_members.front().process) {
            *error = QStringLiteral("the etcd cluster was already started");
            return false;
        }
        if (m_members.empty()) {
            *error = QStringLiteral("an etcd cluster needs at least one member");
            return false;
        }
        if (!m_directory.isValid()) {
            *error = QStringLiteral("no temporary directory for etcd: %1").arg(m_directory.errorString());
            return false;
        }
        if (m_options.tls && !makeCertificates(error))
            return false;

        for (int attempt = 0;; ++attempt) {
            if (attempt > 0)
                discardMembers();
            QList<quint16> ports = detail::freePorts(2 * int(m_members.size()) + 1);
            if (ports.isEmpty()) {
                *error = QStringLiteral("no free port on 127.0.0.1 for etcd");
                return false;
            }
            ports.removeOne(m_options.clientPort);
            for (std::size_t i = 0; i < m_members.size(); ++i) {
                m_members[i].clientPort = ports.at(2 * i);
                m_members[i].peerPort = ports.at(2 * i + 1);
            }
            if (m_options.clientPort != 0)
                m_members.front().clientPort = m_options.clientPort;
            bool started = true;
            for (Member &member : m_members)
                started = started && launch(member, error);
            QList<int> all;
            for (int i = 0; i < int(m_members.size()); ++i)
                all.append(i);
            if (started && waitUntilAnswering(all, error))
                return true;
            if (attempt == 2 || !portTaken())
                break;
        }
        discardMembers();
        return false;
    }

    bool portTaken() const
    {
        for (const Member &member : m_members) {
            if ((detail::readFile(logPath(member)) + detail::readFile(outputPath(member)))
                    .contains("address already in use"))
                return true;
        }
        return false;
    }

    // Stops every member and forgets its data and log.
    void discardMembers()
    {
        for (int i = 0; i < int(m_members.size()); ++i) {
            if (isRunning(m_members[i])) {
                m_members[i].process->kill();
                m_members[i].process->waitForFinished(detail::stopTimeoutMs);
            }
            m_members[i].process.reset();
            QDir(dataDirectory(i)).removeRecursively();
            QFile::remove(logPath(m_members[i]));
            QFile::remove(outputPath(m_members[i]));
        }
    }

    bool launch(Member &member, QString *error)
    {
        QStringList cluster;
        for (const Member &each : m_members)
            cluster.append(each.name + QLatin1Char('=') + peerUrl(each));
        const std::pair<const char *, QString> flags[]{
            {"--name", member.name},
            {"--data-dir", m_directory.filePath(member.name)},
            {"--listen-client-urls", clientUrl(member)},
            {"--advertise-client-urls", clientUrl(member)},
            {"--listen-peer-urls", peerUrl(member)},
            {"--initial-advertise-peer-urls", peerUrl(member)},
            {"--initial-cluster", cluster.join(QLatin1Char(','))},
            {"--initial-cluster-state", QStringLiteral("new")},
            {"--initial-cluster-token", m_token},
            {"--logger", QStringLiteral("zap")},
            {"--log-outputs", logPath(member)},
        };
        QStringList arguments;
        for (const auto &[flag, value] : flags)
            arguments << QString::fromLatin1(flag) << value;
        if (m_options.tls) {
            arguments << QStringLiteral("--cert-file") << tlsFile(QStringLiteral("server.pem"))
                      << QStringLiteral("--key-file") << tlsFile(QStringLiteral("server.key"));
            if (m_options.clientCertificateAuth)
                arguments << QStringLiteral("--client-cert-auth") << QStringLiteral("--trusted-ca-file")
                          << caCertificatePath();
        }
        if (m_options.autoCompactionRetention != 0)
            arguments << QStringLiteral("--auto-compaction-retention")
                      << QString::number(m_options.autoCompactionRetention);
        if (!m_options.autoCompactionMode.isEmpty())
            arguments << QStringLiteral("--auto-compaction-mode") << m_options.autoCompactionMode;
        arguments << m_options.extraArguments;

        member.process = std::make_unique<QProcess>();
        QProcess &process = *member.process;
        process.setProcessEnvironment(detail::cleanEnvironment());
        process.setWorkingDirectory(m_directory.path());
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(outputPath(member), QIODevice::Append);
        process.setStandardErrorFile(outputPath(member), QIODevice::Append);
        detail::dieWithParent(process);
        process.start(QStringLiteral("etcd"), arguments);
        if (!process.waitForStarted()) {
            *error = QStringLiteral("etcd member %1 did not start: %2").arg(member.name, process.errorString());
            return false;
        }
        return true;
    }

    // Waits until each of the members answers `etcdctl endpoint health`.
    bool waitUntilAnswering(QList<int> pending, QString *error) const
    {
        const QDeadlineTimer deadline(detail::startTimeoutMs);
        QString lastFailure;
        while (true) {
            // A pause that ends early when a member exits at once (a bad flag).
            m_members.at(pending.first()).process->waitForFinished(100);
            for (auto it = pending.begin(); it != pending.end();) {
                const Member &member = m_members.at(*it);
                if (!isRunning(member)) {
                    *error = QStringLiteral("etcd member %1 exited (exit code %2) before it answered; log: %3")
                                 .arg(member.name)
                                 .arg(member.process->exitCode())
                                 .arg(logTail(member));
                    return false;
                }
                bool ok = false;
                QString failure;
                run({QStringLiteral("--endpoints=") + clientUrl(member), QStringLiteral("--dial-timeout=500ms"),
                     QStringLiteral("--command-timeout=2s"), QStringLiteral("endpoint"), QStringLiteral("health")},
                    QByteArray(), &ok, &failure);
                if (ok) {
                    it = pending.erase(it);
                } else {
                    lastFailure = detail::lastLines(failure.toUtf8(), 2);
                    ++it;
                }
            }
            if (pending.isEmpty())
                return true;
            if (deadline.hasExpired()) {
                const Member &member = m_members.at(pending.first());
                *error = QStringLiteral("etcd member %1 (%2) did not answer within %3 s (%4); log: %5")
                             .arg(member.name, clientUrl(member))
                             .arg(detail::startTimeoutMs / 1000)
                             .arg(lastFailure, logTail(member));
                return false;
            }
        }
    }

    // A CA, a server certificate for 127.0.0.1 and a client certificate, all
    // EC P-256, in DIR/tls.
    bool makeCertificates(QString *error)
    {
        const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
        if (openssl.isEmpty()) {
            *error = QStringLiteral("openssl is not on PATH (needed for a TLS etcd cluster)");
            return false;
        }
        const QString directory = m_directory.filePath(QStringLiteral("tls"));
        QFile config(directory + QStringLiteral("/openssl.cnf"));
        if (!QDir().mkpath(directory) || !config.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write %1").arg(config.fileName());
            return false;
        }
        config.write("[req]\n"
                     "distinguished_name = name\n"
                     "prompt = no\n"
                     "[name]\n"
                     "CN = etcd test\n"
                     "[ca]\n"
                     "basicConstraints = critical, CA:TRUE\n"
                     "keyUsage = critical, keyCertSign, cRLSign\n"
                     "subjectKeyIdentifier = hash\n"
                     "[server]\n"
                     "basicConstraints = critical, CA:FALSE\n"
                     "keyUsage = critical, digitalSignature, keyEncipherment\n"
                     "extendedKeyUsage = serverAuth, clientAuth\n"
                     "subjectAltName = IP:127.0.0.1\n"
                     "authorityKeyIdentifier = keyid\n"
                     "[client]\n"
                     "basicConstraints = critical, CA:FALSE\n"
                     "keyUsage = critical, digitalSignature, keyEncipherment\n"
                     "extendedKeyUsage = clientAuth\n"
                     "authorityKeyIdentifier = keyid\n");
        config.close();

        const QStringList newKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                 QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        QList<QStringList> steps{QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-config"),
                                             QStringLiteral("openssl.cnf"), QStringLiteral("-extensions"),
                                             QStringLiteral("ca"), QStringLiteral("-subj"),
                                             QStringLiteral("/CN=etcd test CA"), QStringLiteral("-days"),
                                             QStringLiteral("7"), QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                                             QStringLiteral("-out"), QStringLiteral("ca.pem")}
                                 + newKey};
        for (const QString &name : {QStringLiteral("server"), QStringLiteral("client")}) {
            steps.append(QStringList{QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-config"),
                                     QStringLiteral("openssl.cnf"), QStringLiteral("-subj"),
                                     QStringLiteral("/CN=etcd test ") + name, QStringLiteral("-keyout"),
                                     name + QStringLiteral(".key"), QStringLiteral("-out"),
                                     name + QStringLiteral(".csr")}
                         + newKey);
            steps.append({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                          name + QStringLiteral(".csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                          QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                          QStringLiteral("-days"), QStringLiteral("7"), QStringLiteral("-extfile"),
                          QStringLiteral("openssl.cnf"), QStringLiteral("-extensions"), name, QStringLiteral("-out"),
                          name + QStringLiteral(".pem")});
        }
        for (const QStringList &step : steps) {
            if (!detail::runProgram(openssl, step, directory, error))
                return false;
        }
        return true;
    }

    // "\n" ends the (empty) list of comparisons; the requests; then the end of
    // the success and of the (empty) failure requests.
    static QByteArray transaction(const QByteArray &request)
    {
        return "\n" + (request.isEmpty() ? QByteArray() : request + "\n") + "\n\n";
    }

    QByteArray run(const QStringList &arguments, const QByteArray &input, bool *ok, QString *error) const
    {
        QStringList all;
        if (!detail::hasFlag(arguments, QStringLiteral("--endpoints"))) {
            QStringList urls;
            for (const Member &member : m_members) {
                if (isRunning(member))
                    urls.append(clientUrl(member));
            }
            all.append(QStringLiteral("--endpoints=") + (urls.isEmpty() ? endpoints() : urls.join(QLatin1Char(','))));
        }
        if (m_options.tls && !detail::hasFlag(arguments, QStringLiteral("--cacert")))
            all.append(QStringLiteral("--cacert=") + caCertificatePath());
        if (m_options.tls && m_options.clientCertificateAuth && !detail::hasFlag(arguments, QStringLiteral("--cert"))
            && !detail::hasFlag(arguments, QStringLiteral("--key")))
            all << QStringLiteral("--cert=") + clientCertificatePath() << QStringLiteral("--key=") + clientKeyPath();
        if (!m_rootPassword.isEmpty() && !detail::hasFlag(arguments, QStringLiteral("--user")))
            all << QStringLiteral("--user=root") << QStringLiteral("--password=") + m_rootPassword;
        all.append(arguments);

        QProcess process;
        process.setProcessEnvironment(detail::cleanEnvironment());
        detail::dieWithParent(process);
        process.start(QStringLiteral("etcdctl"), all);
        if (process.waitForStarted()) {
            process.write(input);
            process.closeWriteChannel();
        }
        const bool finished = process.waitForFinished(detail::etcdctlTimeoutMs);
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        const QByteArray output = process.readAllStandardOutput();
        const bool succeeded = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (ok)
            *ok = succeeded;
        if (!succeeded && error) {
            const QString command = QStringLiteral("etcdctl ") + arguments.join(QLatin1Char(' '));
            if (process.error() == QProcess::FailedToStart)
                *error = command + QStringLiteral(": ") + process.errorString();
            else if (!finished)
                *error = command + QStringLiteral(": no answer within %1 s").arg(detail::etcdctlTimeoutMs / 1000);
            else
                *error = command + QStringLiteral(": ") + QString::fromUtf8(process.readAllStandardError().trimmed());
        }
        return output;
    }

    ClusterOptions m_options;
    QTemporaryDir m_directory;
    QString m_token;
    QString m_rootPassword;
    std::vector<Member> m_members;
};

} // namespace etcdtest
