#pragma once

// Measurements made in a process of their own: this benchmark started again
// with other arguments, each printing its figures on one line.

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QProcess>
#include <QStringList>

#include <optional>

namespace bench {

// Runs this program with `arguments` and gives the whitespace-separated
// fields it printed, or none when it failed, crashed or took longer than
// `timeoutMs`.
inline std::optional<QList<QByteArray>> runSelf(const QStringList &arguments, int timeoutMs = 600000)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(timeoutMs) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return std::nullopt;
    return child.readAllStandardOutput().simplified().split(' ');
}

} // namespace bench
