#pragma once

#include <QByteArray>
#include <QString>

namespace kv {

// Writes `bytes` to `path` atomically: the file is written beside the target
// and renamed over it only when whole and synced, so a file already at
// `path` is either replaced whole or left untouched. False with *error
// (when given) on failure: "cannot write "PATH": REASON", the reason as the
// system gave it (a full disk, a missing folder, a directory in the way).
bool saveFileAtomically(const QString &path, const QByteArray &bytes, QString *error);

} // namespace kv
