#include "platform/FileContents.h"

#include <algorithm>

namespace kv {

bool readFileContents(QFile &file, QByteArray *bytes, qint64 limit)
{
    const qint64 wanted = std::min(limit + 1, file.size() - file.pos());
    qint64 filled = 0;
    if (wanted > 0) {
        *bytes = QByteArray(wanted, Qt::Uninitialized);
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

} // namespace kv
