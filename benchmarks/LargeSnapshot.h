#pragma once

// The large snapshot the load and memory benchmarks share: keys
// "State:/HostNNNN/Network/Interface/ethN/KeyN", each value a dictionary of
// three entries (an array of one address, an integer, a string), written by
// Python's plistlib both as a binary and as an XML property list. Python
// also tells how much memory it needs to hold the file.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace bench {

inline constexpr int LargeSnapshotKeys = 200000;

// Writes DIR/large.bplist and DIR/large.plist; false (with a line on
// standard error) when Python or plistlib is missing.
inline bool writeLargeSnapshot(const QString &dir, int keys = LargeSnapshotKeys)
{
    const QString script = QStringLiteral(R"(
import plistlib, sys
out, n = sys.argv[1], int(sys.argv[2])
d = {}
for i in range(n):
    d["State:/Host%04d/Network/Interface/eth%d/Key%d" % (i // 40, (i // 10) % 4, i % 10)] = {
        "Addresses": ["10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)], "Flags": i, "Name": "eth%d" % ((i // 10) % 4)}
with open(out + "/large.bplist", "wb") as f: plistlib.dump(d, f, fmt=plistlib.FMT_BINARY)
with open(out + "/large.plist", "wb") as f: plistlib.dump(d, f, fmt=plistlib.FMT_XML)
)");
    const int status =
        QProcess::execute(QStringLiteral("python3"), {QStringLiteral("-c"), script, dir, QString::number(keys)});
    if (status != 0) {
        std::fprintf(stderr, "cannot write the large snapshot with python3's plistlib (status %d)\n", status);
        return false;
    }
    return true;
}

// Resident bytes of a Python process that has loaded `path` with plistlib
// (VmRSS once loaded), or -1.
inline qint64 pythonResidentHolding(const QString &path)
{
    const QString script = QStringLiteral(R"(
import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))
for line in open("/proc/self/status"):
    if line.startswith("VmRSS:"):
        print(int(line.split()[1]) * 1024, len(d))
)");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, path});
    if (!python.waitForFinished(600000) || python.exitCode() != 0)
        return -1;
    return python.readAllStandardOutput().split(' ').value(0).toLongLong();
}

} // namespace bench
