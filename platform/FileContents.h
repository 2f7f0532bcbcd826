#pragma once

#include <QByteArray>
#include <QFile>

#include <limits>

namespace kv {

// Reads what is left of an open file into *bytes, in as few copies as the
// file allows. A file that reports its size is read straight into one buffer
// of that size; more is read when the file grew meanwhile, and the buffer is
// cut to what was read when it shrank. A file that does not report its size
// (a pipe, a /proc file) is read in pieces. Reading stops after `limit` + 1
// bytes, so that a caller can tell a file over its limit. False when a read
// fails: *bytes is then empty and the file's errorString() says why.
bool readFileContents(QFile &file, QByteArray *bytes, qint64 limit = std::numeric_limits<qint64>::max() - 1);

// Reads file bytes [at, at + size) of file descriptor `fd` into `to` with
// pread (the file's offset is not used, so threads may share the file): how
// many came before the end or a failure, -1 when none came and reading
// failed.
qint64 readFileAt(int fd, char *to, qint64 at, qint64 size);

// Reads the whole of an open regular file of `size` bytes into `to` (at the
// same offsets) except bytes [leaveBegin, leaveEnd), which are not written:
// fresh memory of whole pages there is then not made until someone writes
// it. Large reads are shared by two threads. False when the file is not a
// regular file of exactly `size` bytes or a read fails. The file's position
// is left alone.
bool readFileLeavingOut(QFile &file, char *to, qint64 size, qint64 leaveBegin, qint64 leaveEnd);

} // namespace kv
