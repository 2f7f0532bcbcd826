#include "platform/FileContents.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Regular files of at least this many bytes are read by two threads at once,
// each taking half: a large file's pages are mostly made and copied in
// parallel then.
constexpr qint64 ReadInTwoBytes = qint64(4) << 20;

// Reads file ranges [begin, end) into `to` at the same offsets, two threads
// sharing the bytes when there are many; false when a read failed or came
// short (the end came sooner).
bool readRanges(int fd, char *to, const std::vector<std::pair<qint64, qint64>> &ranges)
{
    qint64 total = 0;
    for (const auto &[begin, end] : ranges)
        total += end - begin;
    // The second thread takes the last half of the bytes, in file order.
    std::vector<std::pair<qint64, qint64>> first, second;
    qint64 seen = 0;
    for (const auto &[begin, end] : ranges) {
        const qint64 split = std::clamp(begin + (total / 2 - seen), begin, end);
        if (total < ReadInTwoBytes)
            first.emplace_back(begin, end);
        else {
            if (split > begin)
                first.emplace_back(begin, split);
            if (end > split)
                second.emplace_back(split, end);
        }
        seen += end - begin;
    }
    const auto readAll = [fd, to](const std::vector<std::pair<qint64, qint64>> &part) {
        for (const auto &[begin, end] : part) {
            if (readFileAt(fd, to + begin, begin, end - begin) != end - begin)
                return false;
        }
        return true;
    };
    bool secondRead = true;
    std::thread secondThread;
    if (!second.empty())
        secondThread = std::thread([&] { secondRead = readAll(second); });
    const bool firstRead = readAll(first);
    if (secondThread.joinable())
        secondThread.join();
    return firstRead && secondRead;
}

// Reads `wanted` bytes of a regular file from `from` (its position) into
// `to`, two halves at once; how many came in one piece from the start, or -1
// when the file is no regular file or a read failed (nothing is then taken
// as read). Leaves the file positioned after what came.
qint64 readInTwo(QFile &file, qint64 from, char *to, qint64 wanted)
{
    const int fd = file.handle();
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    const qint64 half = wanted / 2;
    qint64 second = 0;
    std::thread secondHalf([&] { second = readFileAt(fd, to + half, from + half, wanted - half); });
    const qint64 first = readFileAt(fd, to, from, half);
    secondHalf.join();
    if (first < 0 || second < 0)
        return -1;
    // A file that shrank meanwhile: only what came without a gap counts.
    const qint64 filled = first < half ? first : half + second;
    return file.seek(from + filled) ? filled : -1;
}

} // namespace

qint64 readFileAt(int fd, char *to, qint64 at, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t read = ::pread(fd, to + done, size_t(size - done), off_t(at + done));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return done > 0 ? done : -1;
        if (read == 0)
            break;
        done += read;
    }
    return done;
}

bool readFileContents(QFile &file, QByteArray *bytes, qint64 limit)
{
    const qint64 wanted = std::min(limit + 1, file.size() - file.pos());
    qint64 filled = 0;
    if (wanted > 0) {
        *bytes = QByteArray(wanted, Qt::Uninitialized);
        if (wanted >= ReadInTwoBytes) {
            const qint64 start = file.pos();
            filled = readInTwo(file, start, bytes->data(), wanted);
            if (filled < 0) {
                // Read it as any other file: a failure is then told by the file.
                filled = 0;
                if (!file.seek(start)) {
                    bytes->clear();
                    return false;
                }
            }
        }
        while (filled < wanted) {
            const qint64 read = file.read(bytes->data() + filled, wanted - filled);
            if (read < 0) {
                bytes->clear();
                return false;
            }
            if (read == 0)
                break;
            filled += read;
        }
        bytes->truncate(filled);
        if (filled < wanted)
            return true; // the end came sooner than the size said
    } else {
        bytes->clear();
    }
    // No size, or the file grew: the rest in pieces, each appended as it
    // comes (a file read whole ends with one empty read, and no copy).
    constexpr qint64 PieceSize = 64 * 1024;
    char piece[PieceSize];
    while (filled <= limit) {
        const qint64 read = file.read(piece, std::min(PieceSize, limit + 1 - filled));
        if (read < 0) {
            bytes->clear();
            return false;
        }
        if (read == 0)
            break;
        bytes->append(piece, read);
        filled += read;
    }
    return true;
}

bool readFileLeavingOut(QFile &file, char *to, qint64 size, qint64 leaveBegin, qint64 leaveEnd)
{
    const int fd = file.handle();
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != size || size <= 0
        || leaveBegin < 0 || leaveBegin > leaveEnd || leaveEnd > size)
        return false;
    std::vector<std::pair<qint64, qint64>> ranges;
    if (leaveBegin > 0)
        ranges.emplace_back(0, leaveBegin);
    if (leaveEnd < size)
        ranges.emplace_back(leaveEnd, size);
    char past;
    // The file must end where it was said to: not sooner, not later.
    return readRanges(fd, to, ranges) && readFileAt(fd, &past, size, 1) == 0;
}

} // namespace kv
