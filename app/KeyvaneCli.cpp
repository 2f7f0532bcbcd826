#include "app/KeyvaneCli.h"

#include "app/CommandLine.h"

#include "find/FindSearch.h"
#include "history/ChangeHistory.h"
#include "history/JsonValue.h"
#include "history/ValueDiff.h"
#include "platform/SystemLog.h"
#include "platform/TerminationSignals.h"
#include "platform/TextEscapes.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/etcd/EtcdPublisher.h"
#include "platform/plist/PropertyListFile.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>

#include <algorithm>
#include <cstdio>

namespace {

using namespace kv;

constexpr int ExitSuccess = 0;
constexpr int ExitNoSuchKey = 1;
constexpr int ExitNothingFound = 1;
constexpr int ExitDifferent = 1;
constexpr int ExitError = 2;

const QString clientName = QStringLiteral("Vaneview");

void writeTo(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// One line on standard error; returns the exit status to end with.
int fail(const QString &message, int status = ExitError)
{
    writeTo(stderr, QStringLiteral("keyvane-cli: %1\n").arg(withLineEndsEscaped(message)));
    return status;
}

QString versionText()
{
    return QStringLiteral("keyvane-cli " KEYVANE_VERSION " (build " KEYVANE_BUILD_NUMBER ")");
}

QString usageText()
{
    return QStringLiteral("Usage: keyvane-cli [--snapshot FILE | --etcd URL[,URL...]] COMMAND\n"
                          "\n"
                          "Looks into the dynamic configuration store (by default, this machine's live state).\n"
                          "\n"
                          "Commands:\n"
                          "  list [--json] [PATTERN]\n"
                          "                   print the keys matching the regular expression PATTERN\n"
                          "                   (the whole key must match; default \".*\"), sorted, one per line\n"
                          "                   (--json: each key as a JSON string, one per line)\n"
                          "  show [--json] KEY\n"
                          "                   print the key's type name, then its value (--json: the value\n"
                          "                   as JSON, on one line)\n"
                          "  find [--values] [--regex] [--case] [--] TEXT\n"
                          "                   print the keys holding TEXT, sorted, one per line; with --values\n"
                          "                   also each key whose value holds it, as KEY, a tab, and where:\n"
                          "                   \"Addresses › 0 = 192.168.1.20\" (--regex: TEXT is a regular\n"
                          "                   expression matching anywhere; --case: case counts)\n"
                          "  watch [--json]   print each changed key as changes happen, until interrupted\n"
                          "                   (--json: one JSON object per change, with its time, kind\n"
                          "                   added/removed/updated, key, old and new value)\n"
                          "  export FILE      write every key and its value to FILE as an XML property list\n"
                          "  diff [--json] OLD NEW, diff [--json] --store NEW\n"
                          "                   compare two property-list files (XML or binary), or the store\n"
                          "                   as export would write it with NEW, key by key and value by\n"
                          "                   value, one line per difference: \"+ KEY\" and \"- KEY\" for a key\n"
                          "                   added or removed, \"~ KEY › PATH: OLD → NEW\" for an entry\n"
                          "                   changed, \"+ KEY › PATH: NEW\" and \"- KEY › PATH: OLD\" for an\n"
                          "                   entry added or removed (--json: one JSON object per difference);\n"
                          "                   diff opens the store only with --store\n"
                          "  publish --etcd URL[,URL...] [--etcd-prefix P] [--host NAME] [--ttl SECONDS]\n"
                          "          [--snapshot FILE]\n"
                          "                   publish this machine's store (or the snapshot) into the etcd\n"
                          "                   cluster under P + NAME + \"/\" (NAME: the host name), with a\n"
                          "                   lease of SECONDS (default 10) kept alive; every change is written\n"
                          "                   as it happens; on SIGINT/SIGTERM the keys are taken away\n"
                          "\n"
                          "Options:\n")
           + app::storeOptionsHelp()
           + QStringLiteral("  -h, --help       show this text\n"
                            "  --version        show the version\n"
                            "\n"
                            "list, find and watch print one key per line. A key holding a backslash, a control\n"
                            "character, a line or paragraph separator or a lone surrogate is printed with\n"
                            "C-style escapes: \\\\ for a backslash, \\n, \\r and \\t, and \\uXXXX (four\n"
                            "hexadecimal digits) for the others. show takes the key as it is, unescaped.\n"
                            "diff escapes its lines the same way. --json (and diff's --store) may stand\n"
                            "anywhere after the command word; \"--\" ends them. In JSON, values are written\n"
                            "as objects, arrays, strings, numbers and true/false; data as {\"$data\": BASE64},\n"
                            "dates as {\"$date\": \"2026-12-08T16:19:06.526+00:00\"}, reals JSON has no number\n"
                            "for as {\"$real\": \"nan\"}, \"+infinity\" or \"-infinity\", no value as null.\n"
                            "\n"
                            "Exit status: 0 on success, 1 when show finds no such key, find finds nothing or\n"
                            "diff finds differences, 2 on a usage error, an invalid regular expression, a store\n"
                            "that cannot be opened (an etcd cluster that cannot be reached), a file diff cannot\n"
                            "read, or a failed export.\n");
}

void writeBytesTo(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

struct WatchOptions
{
    bool json = false;
};

void printChangedKeys(StoreConnection *store, const QStringList *changedKeys, void *context)
{
    if (!changedKeys)
        return;
    if (static_cast<const WatchOptions *>(context)->json) {
        // One line per change, old and new value with it.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QByteArray lines;
        for (const StoreChange &change : storeCopyChanges(store).value_or(QList<StoreChange>())) {
            lines += history::changeJsonLine({now, history::changeKindOf(change.previous, change.current), change.key,
                                              change.previous, change.current});
            lines += '\n';
        }
        writeBytesTo(stdout, lines);
        return;
    }
    QString text;
    for (const QString &key : *changedKeys)
        text += cEscaped(key) + QLatin1Char('\n');
    writeTo(stdout, text); // flushed: each list is seen at once through a pipe
}

int runWatch(QCoreApplication &app, WatchOptions *options)
{
    // Interrupted, terminated or hung up: end the watch cleanly.
    const TerminationSignals terminationSignals([&app] { app.quit(); });
    if (!terminationSignals.isActive())
        return fail(QStringLiteral("cannot set up signal handling: %1").arg(terminationSignals.error()));

    std::unique_ptr<StoreConnection> store = storeCreate(clientName, printChangedKeys, options);
    if (!store)
        return fail(storeErrorString(storeError()));
    const QStringList everything{QStringLiteral(".*")};
    if (!storeSetNotificationKeys(store.get(), nullptr, &everything))
        return fail(storeErrorString(storeError()));
    const std::shared_ptr<StoreRunLoopSource> source = storeCreateRunLoopSource(store.get(), 0);
    if (!source)
        return fail(storeErrorString(storeError()));
    storeRunLoopAddSource(source);
    app.exec();
    return ExitSuccess;
}

// --- the other commands ------------------------------------------------------

std::unique_ptr<StoreConnection> open(int *status)
{
    std::unique_ptr<StoreConnection> store = storeCreate(clientName, nullptr, nullptr);
    if (!store)
        *status = fail(storeErrorString(storeError()));
    return store;
}

int runList(const QString &pattern, bool json)
{
    int status = ExitSuccess;
    const std::unique_ptr<StoreConnection> store = open(&status);
    if (!store)
        return status;
    const std::optional<QStringList> keys = storeCopyKeyList(store.get(), pattern);
    if (!keys)
        return fail(storeErrorString(storeError()));
    if (json) {
        QByteArray lines;
        for (const QString &key : *keys) {
            history::appendJsonString(lines, key);
            lines += '\n';
        }
        writeBytesTo(stdout, lines);
        return ExitSuccess;
    }
    QString text;
    for (const QString &key : *keys)
        text += cEscaped(key) + QLatin1Char('\n');
    writeTo(stdout, text);
    return ExitSuccess;
}

int runShow(const QString &key, bool json)
{
    int status = ExitSuccess;
    const std::unique_ptr<StoreConnection> store = open(&status);
    if (!store)
        return status;
    const PropertyListValue value = storeCopyValue(store.get(), key);
    if (value.isNone())
        return fail(QStringLiteral("no such key: %1").arg(key), ExitNoSuchKey);
    if (json)
        writeBytesTo(stdout, history::jsonText(value) + '\n');
    else
        writeTo(stdout, value.typeName() + QLatin1Char('\n') + value.description() + QLatin1Char('\n'));
    return ExitSuccess;
}

// The same search the window runs as the user types, run to its end.
int runFind(const QString &text, const find::FindOptions &options)
{
    int status = ExitSuccess;
    const std::unique_ptr<StoreConnection> store = open(&status);
    if (!store)
        return status;
    std::optional<QStringList> keys = storeCopyKeyList(store.get(), QStringLiteral(".*"));
    if (!keys)
        return fail(storeErrorString(storeError()));
    std::sort(keys->begin(), keys->end());
    PropertyListDictionary values;
    if (options.scope == find::FindOptions::Scope::KeysAndValues) {
        const QStringList everything{QStringLiteral(".*")};
        std::optional<PropertyListDictionary> contents = storeCopyMultiple(store.get(), nullptr, &everything);
        if (!contents)
            return fail(storeErrorString(storeError()));
        values = std::move(*contents);
    }

    find::FindSearch search;
    QEventLoop loop;
    QObject::connect(&search, &find::FindSearch::finished, &loop, &QEventLoop::quit);
    QString error;
    if (!search.start(
            *keys, text, options, [&values](const QString &key) { return values.value(key); }, &error))
        return fail(error);
    if (search.isRunning())
        loop.exec();

    QString out;
    for (qsizetype i = 0; i < search.hitCount(); ++i) {
        const find::FindHit hit = search.hitAt(i);
        out += cEscaped(hit.key);
        if (hit.valueMatch)
            out += QLatin1Char('\t') + cEscaped(find::valueMatchText(*hit.valueMatch));
        out += QLatin1Char('\n');
    }
    writeTo(stdout, out);
    return search.hitCount() > 0 ? ExitSuccess : ExitNothingFound;
}

int runExport(const QString &path)
{
    int status = ExitSuccess;
    const std::unique_ptr<StoreConnection> store = open(&status);
    if (!store)
        return status;
    const QStringList everything{QStringLiteral(".*")};
    const std::optional<PropertyListDictionary> contents = storeCopyMultiple(store.get(), nullptr, &everything);
    if (!contents)
        return fail(storeErrorString(storeError()));
    QString error;
    if (!writePropertyListFile(path, PropertyListValue::fromDictionary(*contents), &error))
        return fail(error.isEmpty() ? QStringLiteral("cannot write %1").arg(path) : error);
    return ExitSuccess;
}

// --- diff ----------------------------------------------------------------------

// A value as a diff line shows it: a scalar's description, a container's
// description with its lines joined.
QString diffValueText(const PropertyListValue &value)
{
    QString text = value.description();
    if (value.isDictionary() || value.isArray()) {
        static const QRegularExpression lineBreak(QStringLiteral("\n[ \t]*"));
        text.replace(lineBreak, QStringLiteral(" "));
    }
    return text;
}

QString diffLine(const QString &key, const history::DiffEntry &entry)
{
    const history::EntryPath within = entry.path.mid(1);
    QString where = key;
    if (!within.isEmpty())
        where += QStringLiteral(" \u203a ") + history::entryPathText(within);
    switch (entry.mark) {
    case history::DiffMark::Added:
        return QStringLiteral("+ ")
               + cEscaped(within.isEmpty() ? where : where + QStringLiteral(": ") + diffValueText(entry.newValue));
    case history::DiffMark::Removed:
        return QStringLiteral("- ")
               + cEscaped(within.isEmpty() ? where : where + QStringLiteral(": ") + diffValueText(entry.oldValue));
    default:
        return QStringLiteral("~ ")
               + cEscaped(where + QStringLiteral(": ") + diffValueText(entry.oldValue) + QStringLiteral(" \u2192 ")
                          + diffValueText(entry.newValue));
    }
}

// {"kind": "updated", "key": "...", "path": ["Addresses", 0], "old": ..., "new": ...}
QByteArray diffJsonLine(const QString &key, const history::DiffEntry &entry)
{
    const char *kind = entry.mark == history::DiffMark::Added     ? "added"
                       : entry.mark == history::DiffMark::Removed ? "removed"
                                                                  : "updated";
    QByteArray line = "{\"kind\": \"";
    line += kind;
    line += "\", \"key\": ";
    history::appendJsonString(line, key);
    line += ", \"path\": [";
    for (qsizetype i = 1; i < entry.path.size(); ++i) {
        if (i > 1)
            line += ',';
        const history::PathStep &step = entry.path.at(i);
        if (step.isIndex())
            line += QByteArray::number(step.index);
        else
            history::appendJsonString(line, step.key);
    }
    line += "], \"old\": ";
    history::appendJson(line, entry.oldValue);
    line += ", \"new\": ";
    history::appendJson(line, entry.newValue);
    line += '}';
    return line;
}

// Compares two stores' contents, printing one line per difference; 0 when
// they are the same, 1 when not.
int printDifferences(const PropertyListDictionary &oldContents, const PropertyListDictionary &newContents, bool json)
{
    // The contents as one dictionary each: its entries are the keys.
    const QList<history::DiffEntry> entries = history::diffValues(PropertyListValue::fromDictionary(oldContents),
                                                                  PropertyListValue::fromDictionary(newContents));
    QByteArray out;
    for (const history::DiffEntry &entry : entries) {
        const QString &key = entry.path.first().key;
        out += json ? diffJsonLine(key, entry) : diffLine(key, entry).toUtf8();
        out += '\n';
    }
    writeBytesTo(stdout, out);
    return entries.isEmpty() ? ExitSuccess : ExitDifferent;
}

// `diff [--json] OLD NEW` and `diff [--json] --store NEW`.
int runDiff(const QStringList &files, bool againstStore, bool json)
{
    PropertyListDictionary oldContents;
    PropertyListDictionary newContents;
    QString error;
    // The files are read first: a bad file is told before the store opens.
    // Read as the snapshot source reads them: checked in full, but each
    // key's value made only when the diff looks into it; values with the
    // same text are equal without being made.
    constexpr PropertyListReading reading = PropertyListReading::TopLevelOnUse;
    if (!againstStore && !SnapshotSource::readSnapshot(files.first(), &oldContents, &error, reading))
        return fail(error);
    if (!SnapshotSource::readSnapshot(files.last(), &newContents, &error, reading))
        return fail(error);
    if (againstStore) {
        int status = ExitSuccess;
        const std::unique_ptr<StoreConnection> store = open(&status);
        if (!store)
            return status;
        const QStringList everything{QStringLiteral(".*")};
        std::optional<PropertyListDictionary> contents = storeCopyMultiple(store.get(), nullptr, &everything);
        if (!contents)
            return fail(storeErrorString(storeError()));
        oldContents = std::move(*contents);
    }
    return printDifferences(oldContents, newContents, json);
}

// Publishes the store into the cluster until interrupted, terminated or hung
// up; then takes the host's keys away.
int runPublish(QCoreApplication &app, const etcd::EtcdSettings &cluster, const etcd::EtcdPublisherOptions &options)
{
    etcd::EtcdPublisher publisher(cluster, options);
    const TerminationSignals terminationSignals([&app] { app.quit(); });
    if (!terminationSignals.isActive())
        return fail(QStringLiteral("cannot set up signal handling: %1").arg(terminationSignals.error()));
    QString error;
    if (!publisher.start(&error))
        return fail(error);
    systemLog(QStringLiteral("publishing %1 keys under %2")
                  .arg(StoreEngine::instance()->keyCount())
                  .arg(cEscaped(QString::fromUtf8(publisher.hostPrefix()))));
    app.exec();
    publisher.stop();
    return ExitSuccess;
}

// The etcd user's password, when one is needed and not given in the
// environment: asked for on the terminal.
bool askForPassword(etcd::EtcdSettings *settings)
{
    if (settings->user.isEmpty() || !settings->password.isEmpty())
        return true;
    QString error;
    if (app::askPasswordOnTerminal(QStringLiteral("Password for etcd user %1: ").arg(settings->user),
                                   &settings->password, &error))
        return true;
    fail(QStringLiteral("etcd user %1 needs a password (set KEYVANE_ETCD_PASSWORD): %2").arg(settings->user, error));
    return false;
}

} // namespace

namespace kv::app {

int keyvaneCliMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keyvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KEYVANE_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    app::addStoreOptions(parser);
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    // Options stop at the command, so that a pattern may begin with "-".
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText() + QStringLiteral(" (try --help)"));
    if (parser.isSet(helpOption)) {
        writeTo(stdout, usageText());
        return ExitSuccess;
    }
    if (parser.isSet(versionOption)) {
        writeTo(stdout, versionText() + QLatin1Char('\n'));
        return ExitSuccess;
    }

    const QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        return fail(QStringLiteral("no command given (try --help)"));
    const QString command = arguments.first();
    const QStringList operands = arguments.mid(1);
    auto expectOperands = [&](qsizetype least, qsizetype most) {
        return operands.size() >= least && operands.size() <= most;
    };
    auto usageError = [&](const QString &form) {
        return fail(QStringLiteral("usage: keyvane-cli [--snapshot FILE | --etcd URL[,URL...]] %1").arg(form));
    };

    StoreConfiguration configuration;
    QString error;
    if (command == QLatin1String("publish")) {
        // Its options may come before or after the command word; the store to
        // publish is this machine's, or the snapshot's.
        QStringList all = QCoreApplication::arguments();
        all.removeAt(all.size() - 1 - operands.size());
        QCommandLineParser publishParser;
        app::addStoreOptions(publishParser);
        const QCommandLineOption hostOption(QStringLiteral("host"), QString(), QStringLiteral("NAME"));
        const QCommandLineOption ttlOption(QStringLiteral("ttl"), QString(), QStringLiteral("SECONDS"));
        publishParser.addOption(hostOption);
        publishParser.addOption(ttlOption);
        const QString form = QStringLiteral("publish --etcd URL[,URL...] [--etcd-prefix P] [--host NAME] "
                                            "[--ttl SECONDS] [--snapshot FILE]");
        if (!publishParser.parse(all) || !publishParser.positionalArguments().isEmpty())
            return usageError(form);
        if (!app::storeConfigurationFrom(publishParser, &configuration, &error, app::StoreUse::Publish))
            return fail(error);
        if (configuration.kind != StoreConfiguration::Kind::Etcd)
            return usageError(form);
        etcd::EtcdPublisherOptions options;
        options.host = publishParser.isSet(hostOption) ? publishParser.value(hostOption) : QSysInfo::machineHostName();
        if (const QString problem = etcd::EtcdPublisher::hostProblem(options.host); !problem.isEmpty())
            return fail(problem);
        if (publishParser.isSet(ttlOption)) {
            bool ok = false;
            options.ttlSeconds = publishParser.value(ttlOption).toInt(&ok);
            if (!ok || options.ttlSeconds < 1)
                return fail(QStringLiteral("--ttl takes a whole number of seconds, at least 1"));
        }
        if (!askForPassword(&configuration.etcd))
            return ExitError;
        const etcd::EtcdSettings cluster = configuration.etcd;
        configuration.kind = configuration.snapshotPath.isEmpty() ? StoreConfiguration::Kind::LiveSystem
                                                                  : StoreConfiguration::Kind::Snapshot;
        StoreEngine engine;
        const StoreEngine::Installation installation(engine);
        engine.setSources(app::makeStoreSources(configuration));
        return runPublish(app, cluster, options);
    }
    if (!app::storeConfigurationFrom(parser, &configuration, &error))
        return fail(error);
    // diff between two files never opens the store: no password is asked for.
    const bool opensStore = command != QLatin1String("diff") || operands.contains(QLatin1String("--store"));
    if (configuration.kind == StoreConfiguration::Kind::Etcd && opensStore && !askForPassword(&configuration.etcd))
        return ExitError;
    // The store, for as long as the command runs; its sources start when the
    // command opens its connection.
    StoreEngine engine;
    const StoreEngine::Installation installation(engine);
    engine.setSources(app::makeStoreSources(configuration));

    // The command's own options ("--json", ...) may stand anywhere among its
    // operands; "--" ends them.
    QStringList rest;
    QSet<QString> given;
    auto takeOptions = [&](const QStringList &known) {
        bool ended = false;
        for (const QString &operand : operands) {
            if (!ended && operand == QLatin1String("--"))
                ended = true;
            else if (!ended && known.contains(operand))
                given.insert(operand);
            else
                rest.append(operand);
        }
    };
    const QString jsonOption = QStringLiteral("--json");

    if (command == QLatin1String("list")) {
        takeOptions({jsonOption});
        if (rest.size() > 1)
            return usageError(QStringLiteral("list [--json] [PATTERN]"));
        return runList(rest.isEmpty() ? QStringLiteral(".*") : rest.first(), given.contains(jsonOption));
    }
    if (command == QLatin1String("show")) {
        takeOptions({jsonOption});
        if (rest.size() != 1)
            return usageError(QStringLiteral("show [--json] KEY"));
        return runShow(rest.first(), given.contains(jsonOption));
    }
    if (command == QLatin1String("diff")) {
        const QString storeOption = QStringLiteral("--store");
        takeOptions({jsonOption, storeOption});
        const bool againstStore = given.contains(storeOption);
        const QString form = QStringLiteral("diff [--json] OLD NEW | diff [--json] --store NEW");
        for (const QString &file : std::as_const(rest)) {
            if (file.startsWith(QLatin1String("--")) && !operands.contains(QLatin1String("--")))
                return fail(QStringLiteral("unknown diff option \"%1\" (try --help)").arg(file));
        }
        if (rest.size() != (againstStore ? 1 : 2))
            return usageError(form);
        return runDiff(rest, againstStore, given.contains(jsonOption));
    }
    if (command == QLatin1String("find")) {
        // Its options follow the command word; "--" ends them, so that TEXT
        // may begin with "--".
        find::FindOptions options;
        QStringList texts;
        bool optionsEnded = false;
        for (const QString &operand : operands) {
            if (optionsEnded || !operand.startsWith(QLatin1String("--")))
                texts.append(operand);
            else if (operand == QLatin1String("--"))
                optionsEnded = true;
            else if (operand == QLatin1String("--values"))
                options.scope = find::FindOptions::Scope::KeysAndValues;
            else if (operand == QLatin1String("--regex"))
                options.regularExpression = true;
            else if (operand == QLatin1String("--case"))
                options.matchCase = true;
            else
                return fail(QStringLiteral("unknown find option \"%1\" (try --help)").arg(operand));
        }
        if (texts.size() != 1)
            return usageError(QStringLiteral("find [--values] [--regex] [--case] [--] TEXT"));
        return runFind(texts.first(), options);
    }
    if (command == QLatin1String("watch")) {
        takeOptions({jsonOption});
        if (!rest.isEmpty())
            return usageError(QStringLiteral("watch [--json]"));
        WatchOptions options;
        options.json = given.contains(jsonOption);
        return runWatch(app, &options);
    }
    if (command == QLatin1String("export")) {
        if (!expectOperands(1, 1))
            return usageError(QStringLiteral("export FILE"));
        return runExport(operands.first());
    }
    return fail(QStringLiteral("unknown command \"%1\" (try --help)").arg(command));
}

} // namespace kv::app
