#include "platform/live/SystemFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kv::live {

namespace {

constexpr qint64 MaximumFileSize = 1 << 20;

QByteArray readSmallFile(const QString &path, bool *ok = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return QByteArray();
    }
    if (ok)
        *ok = true;
    return file.read(MaximumFileSize);
}

void addUnique(QStringList *list, const QString &entry)
{
    if (!entry.isEmpty() && !list->contains(entry))
        list->append(entry);
}

} // namespace

ResolverConfiguration parseResolverConfiguration(const QByteArray &text)
{
    ResolverConfiguration configuration;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &rawLine : lines) {
        QByteArray line = rawLine;
        const qsizetype comment = line.indexOf('#');
        if (comment >= 0)
            line.truncate(comment);
        const qsizetype semicolon = line.indexOf(';');
        if (semicolon >= 0)
            line.truncate(semicolon);
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 2 || words.first().isEmpty())
            continue;
        const QByteArray &keyword = words.first();
        if (keyword == "nameserver") {
            QString server = QString::fromLatin1(words.at(1));
            // Scoped link-local servers keep their zone ("fe80::1%eth0").
            configuration.servers.append(server);
        } else if (keyword == "search") {
            configuration.searchDomains.clear();
            configuration.domainName.clear();
            for (qsizetype i = 1; i < words.size(); ++i)
                addUnique(&configuration.searchDomains, QString::fromUtf8(words.at(i)));
        } else if (keyword == "domain") {
            configuration.domainName = QString::fromUtf8(words.at(1));
            configuration.searchDomains = QStringList{configuration.domainName};
        } else if (keyword == "options") {
            for (qsizetype i = 1; i < words.size(); ++i)
                addUnique(&configuration.options, QString::fromUtf8(words.at(i)));
        }
    }
    return configuration;
}

PropertyListValue resolverValue(const ResolverConfiguration &configuration)
{
    if (configuration.isEmpty())
        return PropertyListValue();
    PropertyListDictionary dictionary;
    dictionary.insert(DnsServerAddressesEntry, stringArray(configuration.servers));
    dictionary.insert(DnsSearchDomainsEntry, stringArray(configuration.searchDomains));
    if (!configuration.domainName.isEmpty())
        dictionary.insert(DnsDomainNameEntry, PropertyListValue::fromString(configuration.domainName));
    if (!configuration.options.isEmpty())
        dictionary.insert(DnsOptionsEntry, stringArray(configuration.options));
    return PropertyListValue::fromDictionary(std::move(dictionary));
}

bool isStubConfiguration(const ResolverConfiguration &configuration)
{
    if (configuration.servers.isEmpty())
        return false;
    for (const QString &server : configuration.servers) {
        if (server != QLatin1String("127.0.0.53") && server != QLatin1String("127.0.0.54"))
            return false;
    }
    return true;
}

ResolverConfiguration readResolverConfiguration(const QString &path, const QString &upstreamPath,
                                                ResolverLocation *location)
{
    ResolverLocation where;
    const QFileInfo info(path);
    addUnique(&where.watchedDirectories, info.absolutePath());
    // Follow the chain of links: each link's directory is watched, since
    // replacing any of them changes what the path means.
    QFileInfo step(info);
    for (int depth = 0; depth < 16 && step.isSymLink(); ++depth) {
        QString target = step.symLinkTarget();
        if (target.isEmpty())
            break;
        step = QFileInfo(target);
        addUnique(&where.watchedDirectories, step.absolutePath());
    }
    const QString resolved = info.canonicalFilePath(); // "" when missing or dangling
    ResolverConfiguration configuration;
    if (!resolved.isEmpty()) {
        addUnique(&where.watchedDirectories, QFileInfo(resolved).absolutePath());
        bool ok = false;
        const QByteArray text = readSmallFile(resolved, &ok);
        if (ok) {
            where.readPath = resolved;
            addUnique(&where.watchedFiles, resolved);
            configuration = parseResolverConfiguration(text);
        }
        const bool stub =
            QFileInfo(resolved).fileName() == QLatin1String("stub-resolv.conf") || isStubConfiguration(configuration);
        if (stub && !upstreamPath.isEmpty()) {
            const QFileInfo upstream(upstreamPath);
            addUnique(&where.watchedDirectories, upstream.absolutePath());
            const QString upstreamResolved = upstream.canonicalFilePath();
            bool upstreamOk = false;
            const QByteArray upstreamText =
                upstreamResolved.isEmpty() ? QByteArray() : readSmallFile(upstreamResolved, &upstreamOk);
            if (upstreamOk) {
                addUnique(&where.watchedFiles, upstreamResolved);
                where.readPath = upstreamResolved;
                configuration = parseResolverConfiguration(upstreamText);
            }
        }
    }
    // Only directories that exist can be watched; a missing one is noticed
    // through its parent's change of the path above it on the next event.
    QStringList directories;
    for (const QString &directory : std::as_const(where.watchedDirectories)) {
        if (QFileInfo(directory).isDir())
            directories.append(directory);
    }
    where.watchedDirectories = directories;
    if (location)
        *location = where;
    return configuration;
}

KeyValues powerSupplyKeys(const QString &root)
{
    KeyValues keys;
    const QDir directory(root);
    if (!directory.exists())
        return keys;
    const QStringList entries = directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QString &name : entries) {
        const QString base = directory.filePath(name) + QLatin1Char('/');
        const auto read = [&](const char *file, QString *value) {
            bool ok = false;
            const QByteArray text = readSmallFile(base + QLatin1String(file), &ok);
            if (!ok)
                return false;
            *value = QString::fromUtf8(text).trimmed();
            return true;
        };
        PropertyListDictionary dictionary;
        QString text;
        if (read("type", &text) && !text.isEmpty())
            dictionary.insert(PowerTypeEntry, PropertyListValue::fromString(text));
        if (read("status", &text) && !text.isEmpty())
            dictionary.insert(PowerStatusEntry, PropertyListValue::fromString(text));
        bool ok = false;
        if (read("online", &text)) {
            const int number = text.toInt(&ok);
            if (ok)
                dictionary.insert(PowerOnlineEntry, PropertyListValue::fromBoolean(number != 0));
        }
        if (read("present", &text)) {
            const int number = text.toInt(&ok);
            if (ok)
                dictionary.insert(PowerPresentEntry, PropertyListValue::fromBoolean(number != 0));
        }
        if (read("capacity", &text)) {
            const qint64 number = text.toLongLong(&ok);
            if (ok)
                dictionary.insert(PowerCapacityEntry, PropertyListValue::fromInteger(number));
        }
        if (dictionary.isEmpty())
            continue;
        keys.insert(PowerKeyPrefix + name, PropertyListValue::fromDictionary(std::move(dictionary)));
    }
    return keys;
}

PropertyListValue systemValue(const QString &hostName, const QString &domainName)
{
    PropertyListDictionary dictionary;
    dictionary.insert(SystemHostNameEntry, PropertyListValue::fromString(hostName));
    if (!domainName.isEmpty() && domainName != QLatin1String("(none)"))
        dictionary.insert(SystemDomainNameEntry, PropertyListValue::fromString(domainName));
    return PropertyListValue::fromDictionary(std::move(dictionary));
}

} // namespace kv::live
