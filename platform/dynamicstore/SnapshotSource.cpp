#include "platform/dynamicstore/SnapshotSource.h"

#include "platform/SystemLog.h"
#include "platform/plist/PropertyListFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace kv {

SnapshotSource::SnapshotSource(QString path, QObject *parent) : QObject(parent), m_path(std::move(path))
{
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(DebounceMilliseconds);
    connect(&m_debounce, &QTimer::timeout, this, &SnapshotSource::reload);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_debounce, qOverload<>(&QTimer::start));
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_debounce, qOverload<>(&QTimer::start));
}

SnapshotSource::~SnapshotSource() = default;

bool SnapshotSource::readSnapshot(const QString &path, PropertyListDictionary *contents, QString *error)
{
    QByteArray fingerprint;
    SnapshotSource reader(path);
    return reader.read(contents, &fingerprint, error);
}

bool SnapshotSource::read(PropertyListDictionary *contents, QByteArray *fingerprint, QString *error) const
{
    auto fail = [&](const QString &reason) {
        *error = reason;
        *fingerprint = "error:" + reason.toUtf8();
        return false;
    };
    if (m_path.isEmpty())
        return fail(QStringLiteral("no snapshot file given"));
    const QFileInfo info(m_path);
    if (!info.exists())
        return fail(QStringLiteral("%1: no such file").arg(m_path));
    if (info.isDir())
        return fail(QStringLiteral("%1: is a directory, not a property-list file").arg(m_path));
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: cannot be read: %2").arg(m_path, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(QStringLiteral("%1: cannot be read: %2").arg(m_path, file.errorString()));

    QString parseError;
    const PropertyListValue root = readPropertyList(bytes, &parseError, m_path);
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    if (root.isNone()) {
        *error = parseError.isEmpty() ? QStringLiteral("%1: not a property list").arg(m_path) : parseError;
        *fingerprint = "bad:" + digest;
        return false;
    }
    if (!root.isDictionary()) {
        *error = QStringLiteral("%1: the top-level value is not a dictionary (%2)").arg(m_path, root.typeName());
        *fingerprint = "bad:" + digest;
        return false;
    }
    *contents = root.dictionary();
    *fingerprint = "good:" + digest;
    return true;
}

bool SnapshotSource::start(StoreEngine &engine, QString *error)
{
    PropertyListDictionary contents;
    QByteArray fingerprint;
    QString reason;
    if (!read(&contents, &fingerprint, &reason)) {
        if (error)
            *error = reason;
        return false;
    }
    m_engine = &engine;
    m_fingerprint = fingerprint;
    publish(contents);
    watch();
    return true;
}

void SnapshotSource::watch()
{
    // The file's path is watched afresh each time: a rename over it or a
    // delete and re-create leaves a new file behind the same path. Its folder
    // is watched too, so that a file that comes back is noticed.
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
    const QFileInfo info(m_path);
    if (info.exists() && !info.isDir())
        m_watcher.addPath(m_path);
    const QString folder = info.absolutePath();
    if (!m_watcher.directories().contains(folder) && QFileInfo(folder).isDir())
        m_watcher.addPath(folder);
}

void SnapshotSource::reload()
{
    if (!m_engine)
        return;
    watch();
    PropertyListDictionary contents;
    QByteArray fingerprint;
    QString reason;
    const bool good = read(&contents, &fingerprint, &reason);
    if (fingerprint == m_fingerprint) {
        Q_EMIT reloaded();
        return; // the file is as it was when last read: nothing new to say
    }
    m_fingerprint = fingerprint;
    if (good)
        publish(contents);
    else
        systemLog(QStringLiteral("Snapshot %1; keeping the last good contents").arg(reason));
    Q_EMIT reloaded();
}

void SnapshotSource::publish(const PropertyListDictionary &contents)
{
    m_engine->beginBatch();
    for (auto it = m_contents.cbegin(); it != m_contents.cend(); ++it) {
        if (!contents.contains(it.key()))
            m_engine->removeValue(it.key());
    }
    for (auto it = contents.cbegin(); it != contents.cend(); ++it)
        m_engine->setValue(it.key(), it.value()); // the engine reports only real changes
    m_engine->endBatch();
    m_contents = contents;
}

} // namespace kv
