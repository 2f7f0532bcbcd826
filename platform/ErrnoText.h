#pragma once

#include <QString>

#include <cerrno>

namespace kv {

// The system's text for an errno value (by default the current one), e.g.
// "No such file or directory".
QString errnoText(int error = errno);

} // namespace kv
