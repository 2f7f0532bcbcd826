#include "platform/ErrnoText.h"

#include <cstring>

namespace kv {

QString errnoText(int error)
{
    // strerror_r (GNU form) never fails; it may return a static text instead
    // of filling the buffer.
    char buffer[256];
    return QString::fromLocal8Bit(::strerror_r(error, buffer, sizeof buffer));
}

} // namespace kv
