#pragma once

#include <QtGlobal>

namespace kv::ui {

// A range of UTF-16 code units in a text.
struct TextRange
{
    qsizetype location = 0;
    qsizetype length = 0;
};

} // namespace kv::ui
