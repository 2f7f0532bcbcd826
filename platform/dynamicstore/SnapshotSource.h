#pragma once

// A store source that serves a property-list file: each entry of the file's
// top-level dictionary is one key with its value. The file is followed: when
// it is rewritten in place, replaced (renamed over, or deleted and made
// again), the differences are published as one change list. A file that turns
// bad (malformed, gone, not a regular file, unreadable) leaves the last good
// contents in place, with one system-log line per change of the file.

#include "platform/dynamicstore/DynamicStore.h"

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <thread>

namespace kv {

class SnapshotReadAhead;

class SnapshotSource : public QObject, public StoreSource
{
    Q_OBJECT
public:
    // Quiet time after the last file-system event before the file is read, so
    // that a file written in several steps is read once.
    static constexpr int DebounceMilliseconds = 50;

    explicit SnapshotSource(QString path, QObject *parent = nullptr);
    ~SnapshotSource() override;

    QString path() const { return m_path; }

    bool start(StoreEngine &engine, QString *error) override;

    // Lets the first load take what `readAhead` read, when it read this
    // source's path and the file still holds exactly the bytes it read.
    void setReadAhead(std::shared_ptr<SnapshotReadAhead> readAhead) { m_readAhead = std::move(readAhead); }

    // Reads the file now and publishes what changed (also called by the
    // file-system watcher after its debounce).
    void reload();

    // Reads a snapshot file's top-level dictionary. False with *error (one
    // line naming the file) when the file cannot serve. With TopLevelOnUse,
    // each key's dictionary or array is made when first looked into (and two
    // that have the same text are equal without being made).
    static bool readSnapshot(const QString &path, PropertyListDictionary *contents, QString *error,
                             PropertyListReading reading = PropertyListReading::Whole);

Q_SIGNALS:
    // The file was read after a change (good or bad).
    void reloaded();

private:
    friend class SnapshotReadAhead;

    // What one read of the file found: its whole contents, or why it could
    // not be read. Two reads are the same exactly when they failed for the
    // same reason or read the same bytes; the bytes are compared in full, so
    // no change to the file can go unnoticed, and keeping them costs nothing
    // more than the buffer that was read anyway. A read whose unneeded pages
    // were given back (`released`, zeros now), or left unread for now
    // (`unread`), equals no other here: holdsPublished() tells.
    struct FileState
    {
        bool readable = false;
        QString failure;  // when not readable: the one-line reason
        QByteArray bytes; // when readable: the file's contents
        ByteRanges released;
        UnreadBytes unread; // of bytes, until contentsOf() reads them
        bool operator==(const FileState &other) const
        {
            return readable == other.readable
                   && (readable ? released.empty() && other.released.empty() && unread.empty() && other.unread.empty()
                                      && bytes == other.bytes
                                : failure == other.failure);
        }
    };

    // Reads the file. Unless `whole`, the pages of a large binary file that
    // hold only its top-level keys are left for contentsOf() to read from the
    // file as it makes the keys; they count as given back (`released`) then.
    static FileState readFile(const QString &path, bool whole = false);
    // Whether the file at `path` is a regular file holding exactly `bytes` now
    // (false when it cannot be read).
    static bool fileHolds(const QString &path, const QByteArray &bytes);
    // The top-level dictionary of what was read; false with *error when the
    // file cannot serve.
    static bool contentsOf(const QString &path, FileState &state, PropertyListDictionary *contents, QString *error,
                           PropertyListReading reading = PropertyListReading::Whole);
    void watch();
    void publish(const PropertyListDictionary &contents);
    // Whether `bytes`, read afresh into `fresh` (values made on use), hold
    // what was published from the last read, whose unneeded pages were
    // given back: the same bytes everywhere else, and the same top-level
    // keys naming the same objects.
    bool holdsPublished(const QByteArray &bytes, const PropertyListDictionary &fresh) const;
    // A file read again, its values made on use: each key whose value did
    // not change keeps the value published before (and stays unread); the
    // others are made now.
    PropertyListDictionary keepingUnchanged(const PropertyListDictionary &fresh) const;

    QString m_path;
    StoreEngine *m_engine = nullptr;
    PropertyListDictionary m_contents; // the last good contents, as published
    FileState m_lastRead;              // the last file state read, good or bad
    QFileSystemWatcher m_watcher;
    QTimer m_debounce;
    std::shared_ptr<SnapshotReadAhead> m_readAhead; // until the first load
};

// A snapshot file read and made into values ahead of its source, on a thread
// of its own, while the program starts (setting up the window system is
// mostly spent waiting on it). The thread touches nothing but the file and the
// values it makes, and is over before its result is used: the source takes
// the result on the main thread when it starts (waiting for the thread if need
// be) and serves it only when the file still holds the very bytes that were
// read; otherwise it reads the file as it would have without. Only a regular
// file is read ahead (a pipe, such as a shell's <(command), is left for the
// source to read once).
class SnapshotReadAhead
{
public:
    // Starts reading `path` on a thread of its own. To be made on the thread
    // the application object lives in (or will).
    explicit SnapshotReadAhead(QString path);
    // A read made earlier: the file's `bytes` and the top-level dictionary
    // made of them.
    SnapshotReadAhead(QString path, QByteArray bytes, PropertyListDictionary contents);
    // Waits for the thread.
    ~SnapshotReadAhead();
    SnapshotReadAhead(const SnapshotReadAhead &) = delete;
    SnapshotReadAhead &operator=(const SnapshotReadAhead &) = delete;

    const QString &path() const { return m_path; }

    struct Result
    {
        QByteArray bytes;
        PropertyListDictionary contents;
    };
    // Waits for the read and hands its result over (once): the file's bytes
    // and top-level dictionary, or nothing when the file could not serve
    // then (the source then reads it itself and says why it cannot serve).
    std::optional<Result> take();

private:
    QString m_path;
    std::optional<Result> m_result; // written by the thread, read after it ends
    std::thread m_thread;
};

} // namespace kv
