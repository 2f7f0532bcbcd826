#include "platform/dynamicstore/SnapshotSource.h"

#include "platform/FileContents.h"
#include "platform/SystemLog.h"
#include "platform/plist/PropertyListFile.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cstring>
#include <memory>
#include <utility>

#include <malloc.h>
#include <sys/stat.h>

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

bool SnapshotSource::readSnapshot(const QString &path, PropertyListDictionary *contents, QString *error,
                                  PropertyListReading reading)
{
    FileState state = readFile(path);
    if (!contentsOf(path, state, contents, error, reading))
        return false;
    // The bytes read are the values' alone now.
    releaseUnneededBytes(*contents);
    return true;
}

SnapshotSource::FileState SnapshotSource::readFile(const QString &path, bool whole)
{
    FileState state;
    if (path.isEmpty()) {
        state.failure = QStringLiteral("no snapshot file given");
        return state;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        state.failure = QStringLiteral("%1: no such file").arg(path);
        return state;
    }
    if (info.isDir()) {
        state.failure = QStringLiteral("%1: is a directory, not a property-list file").arg(path);
        return state;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        state.failure = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return state;
    }
    if (!(whole ? readFileContents(file, &state.bytes, PropertyListMaximumInputSize)
                : readPropertyListFileContents(file, &state.bytes, PropertyListMaximumInputSize, &state.unread))) {
        state.failure = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        state.bytes.clear();
        return state;
    }
    state.readable = true;
    return state;
}

bool SnapshotSource::contentsOf(const QString &path, FileState &state, PropertyListDictionary *contents, QString *error,
                                PropertyListReading reading)
{
    if (!state.readable) {
        *error = state.failure;
        return false;
    }
    QString parseError;
    const PropertyListValue root = readPropertyList(state.bytes, &parseError, path, reading, &state.unread);
    // Pages the keys were read from the file for hold none of its bytes.
    if (!state.unread.empty())
        state.released = {{state.unread.begin, state.unread.end}};
    state.unread = {};
    if (root.isNone()) {
        *error = parseError.isEmpty() ? QStringLiteral("%1: not a property list").arg(path) : parseError;
        return false;
    }
    if (!root.isDictionary()) {
        *error = QStringLiteral("%1: the top-level value is not a dictionary (%2)").arg(path, root.typeName());
        return false;
    }
    *contents = root.dictionary();
    return true;
}

bool SnapshotSource::fileHolds(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    // Only a regular file can be read twice alike (a pipe's contents would be
    // gone after the first read).
    struct stat status;
    if (!file.open(QIODevice::ReadOnly) || ::fstat(file.handle(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    // Compared a piece at a time, without a second copy of the whole file.
    constexpr qint64 PieceSize = 64 * 1024;
    const auto piece = std::make_unique<char[]>(PieceSize);
    qint64 at = 0;
    for (;;) {
        const qint64 read = file.read(piece.get(), PieceSize);
        if (read < 0)
            return false;
        if (read == 0)
            return at == bytes.size();
        if (read > bytes.size() - at || std::memcmp(piece.get(), bytes.constData() + at, size_t(read)) != 0)
            return false;
        at += read;
    }
}

bool SnapshotSource::start(StoreEngine &engine, QString *error)
{
    FileState state;
    PropertyListDictionary contents;
    std::optional<SnapshotReadAhead::Result> ahead;
    if (m_readAhead && m_readAhead->path() == m_path)
        ahead = m_readAhead->take();
    m_readAhead.reset();
    if (ahead && fileHolds(m_path, ahead->bytes)) {
        // The file is as it was read ahead: the values made then serve.
        state.readable = true;
        state.bytes = std::move(ahead->bytes);
        contents = std::move(ahead->contents);
    } else {
        // The first load makes each key's value only when it is first looked
        // at: the store's keys are there at once, and a large snapshot serves
        // sooner. (A later rewrite is read the same way; the keys it does not
        // change keep their values.)
        state = readFile(m_path);
        QString reason;
        if (!contentsOf(m_path, state, &contents, &reason, PropertyListReading::TopLevelOnUse)) {
            if (error)
                *error = reason;
            return false;
        }
    }
    m_engine = &engine;
    m_lastRead = std::move(state);
    publish(contents);
    // What only the read needed is given back; the last read, which shares
    // the bytes, knows where.
    m_lastRead.released = releaseUnneededBytes(contents);
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
    FileState state = readFile(m_path);
    if (state == m_lastRead) {
        Q_EMIT reloaded();
        return; // the file is as it was when last read: nothing new to say
    }
    PropertyListDictionary contents;
    QString reason;
    const bool good = contentsOf(m_path, state, &contents, &reason, PropertyListReading::TopLevelOnUse);
    if (good && holdsPublished(state.bytes, contents)) {
        Q_EMIT reloaded();
        return; // the same, where the last read gave pages back
    }
    m_lastRead = std::move(state);
    if (good) {
        publish(keepingUnchanged(contents));
        // What the read made to compare with (the whole file, read afresh)
        // is let go of now: its memory goes back to the system.
        contents = {};
        ::malloc_trim(0);
    } else {
        systemLog(QStringLiteral("Snapshot %1; keeping the last good contents").arg(reason));
    }
    Q_EMIT reloaded();
}

PropertyListDictionary SnapshotSource::keepingUnchanged(const PropertyListDictionary &fresh) const
{
    // Both in key order: one walk. Each pair is compared without keeping
    // what a comparison makes, so a rewrite of a large file does not leave
    // every value made twice over.
    PropertyListDictionary kept;
    auto old = m_contents.cbegin();
    for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
        while (old != m_contents.cend() && old.key() < it.key())
            ++old;
        if (old != m_contents.cend() && old.key() == it.key() && old.value().equalsWithoutKeeping(it.value())) {
            kept.insert(kept.cend(), old.key(), old.value());
            continue;
        }
        // Changed or new: made now, its key a string of its own, so that
        // nothing holds on to what was read.
        it.value().read();
        kept.insert(kept.cend(), QString(it.key().constData(), it.key().size()), it.value());
    }
    return kept;
}

bool SnapshotSource::holdsPublished(const QByteArray &bytes, const PropertyListDictionary &fresh) const
{
    const FileState &last = m_lastRead;
    if (!last.readable || last.released.empty() || bytes.size() != last.bytes.size())
        return false;
    qsizetype at = 0;
    for (const auto &[begin, end] : last.released) {
        if (std::memcmp(bytes.constData() + at, last.bytes.constData() + at, size_t(begin - at)) != 0)
            return false;
        at = end;
    }
    if (std::memcmp(bytes.constData() + at, last.bytes.constData() + at, size_t(bytes.size() - at)) != 0)
        return false;
    // Everything a published value reads was kept, and is the same: a
    // container that is the same object of the file is the same value.
    // What was given back held the keys and the top dictionary: the file read
    // afresh must name the same keys and objects.
    if (fresh.size() != m_contents.size())
        return false;
    for (auto i = fresh.cbegin(), j = m_contents.cbegin(); i != fresh.cend(); ++i, ++j) {
        if (i.key() != j.key())
            return false;
        const qsizetype object = i.value().deferredBegin();
        if (object >= 0 ? object != j.value().deferredBegin() : i.value() != j.value())
            return false;
    }
    return true;
}

void SnapshotSource::publish(const PropertyListDictionary &contents)
{
    // What the readers make never nests deeper than the engine takes.
    static_assert(PropertyListMaximumDepth <= StoreEngine::MaximumDepth);
    m_engine->publishChanges(m_contents, contents, StoreEngine::Values::Wellformed);
    m_contents = contents;
}

SnapshotReadAhead::SnapshotReadAhead(QString path) : m_path(std::move(path))
{
    // Qt takes the first thread that makes a Qt object its main thread. Made
    // before the application object, the reading thread (whose QFile is one)
    // could take that place from the thread the application lives in, which
    // therefore claims it first.
    QThread::currentThread();
    m_thread = std::thread([this, path = m_path] {
        // Only a regular file: what a pipe or a device gives is the source's
        // to read, once.
        struct stat status;
        if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
            return;
        // Read whole: the source serves it only when the file holds the very
        // bytes read, which it compares.
        SnapshotSource::FileState state = SnapshotSource::readFile(path, true);
        PropertyListDictionary contents;
        QString error;
        // Read as the source's first load reads.
        if (SnapshotSource::contentsOf(path, state, &contents, &error, PropertyListReading::TopLevelOnUse))
            m_result = Result{std::move(state.bytes), std::move(contents)};
    });
}

SnapshotReadAhead::SnapshotReadAhead(QString path, QByteArray bytes, PropertyListDictionary contents)
    : m_path(std::move(path)), m_result(Result{std::move(bytes), std::move(contents)})
{}

SnapshotReadAhead::~SnapshotReadAhead()
{
    if (m_thread.joinable())
        m_thread.join();
}

std::optional<SnapshotReadAhead::Result> SnapshotReadAhead::take()
{
    if (m_thread.joinable())
        m_thread.join();
    return std::exchange(m_result, std::nullopt);
}

} // namespace kv
