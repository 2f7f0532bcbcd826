#include "app/CommandLine.h"

#include "platform/ErrnoText.h"
#include "platform/UniqueFd.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kv::app {

namespace {

const QString SnapshotOption = QStringLiteral("snapshot");
const QString EtcdOption = QStringLiteral("etcd");
const QString EtcdPrefixOption = QStringLiteral("etcd-prefix");
const QString EtcdUserOption = QStringLiteral("etcd-user");
const QString EtcdCaCertificateOption = QStringLiteral("etcd-cacert");
const QString EtcdCertificateOption = QStringLiteral("etcd-cert");
const QString EtcdKeyOption = QStringLiteral("etcd-key");
const QStringList EtcdDetailOptions = {EtcdPrefixOption, EtcdUserOption, EtcdCaCertificateOption, EtcdCertificateOption,
                                       EtcdKeyOption};

// The toolkit's options that take a value, and those that do not.
const QStringList ToolkitOptionsWithValue = {
    QStringLiteral("platform"),
    QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"),
    QStringLiteral("plugin"),
    QStringLiteral("qwindowgeometry"),
    QStringLiteral("geometry"),
    QStringLiteral("qwindowtitle"),
    QStringLiteral("title"),
    QStringLiteral("qwindowicon"),
    QStringLiteral("icon"),
    QStringLiteral("session"),
    QStringLiteral("display"),
    QStringLiteral("name"),
    QStringLiteral("style"),
    QStringLiteral("stylesheet"),
    QStringLiteral("qmljsdebugger"),
};
const QStringList ToolkitFlags = {
    QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
    QStringLiteral("dograb"),  QStringLiteral("testability"), QStringLiteral("sync"),
};

// The option name of an argument with one dash or two ("-style=x" gives
// "style"), or an empty string when it is not such an argument.
QString optionName(const QString &argument, bool *hasValue)
{
    *hasValue = false;
    if (argument.size() < 2 || argument.at(0) != u'-' || argument == QLatin1String("--"))
        return QString();
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(u'=');
    if (equals >= 0) {
        name.truncate(equals);
        *hasValue = true;
    }
    return name;
}

// The value of the toolkit option `wanted` in `arguments` (the last one
// given), or a null string.
QString toolkitOptionValue(const QStringList &arguments, const QString &wanted)
{
    QString value;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;
        bool joined = false;
        const QString name = optionName(argument, &joined);
        if (name != wanted)
            continue;
        if (joined)
            value = argument.mid(argument.indexOf(u'=') + 1);
        else if (i + 1 < arguments.size())
            value = arguments.at(++i);
    }
    return value;
}

bool socketExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

} // namespace

void addStoreOptions(QCommandLineParser &parser)
{
    parser.addOption(QCommandLineOption(SnapshotOption, QString(), QStringLiteral("FILE")));
    parser.addOption(QCommandLineOption(EtcdOption, QString(), QStringLiteral("URL")));
    parser.addOption(QCommandLineOption(EtcdPrefixOption, QString(), QStringLiteral("PREFIX")));
    parser.addOption(QCommandLineOption(EtcdUserOption, QString(), QStringLiteral("NAME")));
    parser.addOption(QCommandLineOption(EtcdCaCertificateOption, QString(), QStringLiteral("FILE")));
    parser.addOption(QCommandLineOption(EtcdCertificateOption, QString(), QStringLiteral("FILE")));
    parser.addOption(QCommandLineOption(EtcdKeyOption, QString(), QStringLiteral("FILE")));
}

QString storeOptionsHelp()
{
    return QStringLiteral("  --snapshot FILE  serve the store from a property-list file (XML or binary) whose\n"
                          "                   top-level dictionary holds the keys; followed as it changes\n"
                          "  --etcd URL[,URL...]\n"
                          "                   serve the store from an etcd cluster (the members' client URLs):\n"
                          "                   every key under the prefix, followed live; a fleet's hosts first\n"
                          "  --etcd-prefix P  the etcd keys to serve (default \"keyvane/\"); PREFIX/HOST/KEY\n"
                          "                   shows as HOST:/KEY\n"
                          "  --etcd-user NAME authenticate as NAME; the password is taken from\n"
                          "                   KEYVANE_ETCD_PASSWORD, else asked for\n"
                          "  --etcd-cacert FILE, --etcd-cert FILE, --etcd-key FILE\n"
                          "                   for https members: a CA to trust (PEM), and a client certificate\n"
                          "                   and its key\n");
}

bool storeConfigurationFrom(const QCommandLineParser &parser, StoreConfiguration *configuration, QString *error,
                            StoreUse use)
{
    *configuration = StoreConfiguration();
    if (parser.isSet(SnapshotOption)) {
        const QString path = parser.value(SnapshotOption);
        if (path.isEmpty()) {
            *error = QStringLiteral("--snapshot needs a file name");
            return false;
        }
        configuration->kind = StoreConfiguration::Kind::Snapshot;
        configuration->snapshotPath = path;
    }
    if (!parser.isSet(EtcdOption)) {
        for (const QString &option : EtcdDetailOptions) {
            if (parser.isSet(option)) {
                *error = QStringLiteral("--%1 goes with --etcd").arg(option);
                return false;
            }
        }
        return true;
    }
    etcd::EtcdSettings &settings = configuration->etcd;
    settings.endpoints.clear();
    for (const QString &value : parser.values(EtcdOption)) {
        for (const QString &endpoint : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
            settings.endpoints.append(endpoint.trimmed());
    }
    if (parser.isSet(EtcdPrefixOption))
        settings.prefix = parser.value(EtcdPrefixOption).toUtf8();
    settings.user = parser.value(EtcdUserOption);
    if (!settings.user.isEmpty())
        settings.password = qEnvironmentVariable("KEYVANE_ETCD_PASSWORD");
    settings.caCertificatePath = parser.value(EtcdCaCertificateOption);
    settings.certificatePath = parser.value(EtcdCertificateOption);
    settings.keyPath = parser.value(EtcdKeyOption);
    // The settings' own faults (a wrong URL, a certificate file that cannot
    // be read) are usage errors, found before anything starts.
    if (const QString problem = etcd::settingsProblem(settings); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    if (use == StoreUse::Serve && configuration->kind == StoreConfiguration::Kind::Snapshot) {
        *error = QStringLiteral("--snapshot and --etcd name two stores; give one");
        return false;
    }
    configuration->kind = StoreConfiguration::Kind::Etcd;
    return true;
}

bool askPasswordOnTerminal(const QString &prompt, QString *password, QString *error)
{
    const UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!terminal.isValid()) {
        *error = QStringLiteral("no terminal to ask on");
        return false;
    }
    termios saved{};
    const bool canHide = ::tcgetattr(terminal.get(), &saved) == 0;
    if (canHide) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(terminal.get(), TCSAFLUSH, &quiet);
    }
    const QByteArray question = prompt.toUtf8();
    [[maybe_unused]] ssize_t written = ::write(terminal.get(), question.constData(), size_t(question.size()));
    QByteArray answer;
    char c = 0;
    ssize_t got = 0;
    while ((got = ::read(terminal.get(), &c, 1)) == 1 && c != '\n')
        answer.append(c);
    const int readErrno = errno;
    if (canHide)
        ::tcsetattr(terminal.get(), TCSAFLUSH, &saved);
    written = ::write(terminal.get(), "\n", 1);
    if (got < 0) {
        *error = errnoText(readErrno);
        return false;
    }
    if (answer.endsWith('\r'))
        answer.chop(1);
    *password = QString::fromUtf8(answer);
    return true;
}

QStringList withoutToolkitOptions(const QStringList &arguments)
{
    QStringList result;
    result.reserve(arguments.size());
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i == 0) {
            result.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            result += arguments.mid(i);
            break;
        }
        bool joined = false;
        const QString name = optionName(argument, &joined);
        if (ToolkitOptionsWithValue.contains(name)) {
            if (!joined && i + 1 < arguments.size())
                ++i; // its value
            continue;
        }
        if (!joined && ToolkitFlags.contains(name))
            continue;
        result.append(argument);
    }
    return result;
}

QString displayUnavailableReason(const QStringList &arguments,
                                 const std::function<QString(const char *name)> &environment)
{
    QString platforms = toolkitOptionValue(arguments, QStringLiteral("platform"));
    if (platforms.isNull())
        platforms = environment("QT_QPA_PLATFORM");
    // The toolkit tries the platforms of a ";"-separated list in turn; each
    // may carry options after ":".
    QStringList names;
    for (const QString &entry : platforms.split(u';', Qt::SkipEmptyParts))
        names.append(entry.section(u':', 0, 0).trimmed());
    if (names.isEmpty())
        names = {QStringLiteral("xcb"), QStringLiteral("wayland")}; // what the toolkit looks for by default

    const bool hasX11 =
        !environment("DISPLAY").isEmpty() || !toolkitOptionValue(arguments, QStringLiteral("display")).isEmpty();
    const QString waylandDisplay = environment("WAYLAND_DISPLAY");
    const QString runtimeDirectory = environment("XDG_RUNTIME_DIR");
    const bool hasWayland =
        !waylandDisplay.isEmpty()
        || socketExists(runtimeDirectory.isEmpty() ? QString()
                                                   : QDir(runtimeDirectory).filePath(QStringLiteral("wayland-0")));
    QStringList missing;
    for (const QString &name : std::as_const(names)) {
        if (name == QLatin1String("xcb")) {
            if (hasX11)
                return QString();
            missing.append(QStringLiteral("DISPLAY"));
        } else if (name.startsWith(QLatin1String("wayland"))) {
            if (hasWayland)
                return QString();
            missing.append(QStringLiteral("WAYLAND_DISPLAY"));
        } else {
            return QString(); // offscreen, vnc, eglfs and the like draw without a window system
        }
    }
    missing.removeDuplicates();
    return QStringLiteral("no display to show the window on (%1 %2 not set)")
        .arg(missing.join(QStringLiteral(" and ")), missing.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}

} // namespace kv::app
