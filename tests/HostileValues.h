// Values a source may publish that stress every rendering: nested to a given
// depth, a string of many megabytes, an array of many elements. Shared by the
// hostile-value tests and the selection benchmark.
#pragma once

#include "platform/plist/PropertyListValue.h"

namespace hostile {

// A value `levels` deep: arrays and dictionaries alternating around a string.
inline kv::PropertyListValue nestedValue(int levels)
{
    kv::PropertyListValue value = kv::PropertyListValue::fromString(QStringLiteral("bottom"));
    for (int level = 2; level <= levels; ++level) {
        if (level % 2)
            value = kv::PropertyListValue::fromDictionary({{QStringLiteral("Level%1").arg(level), value}});
        else
            value = kv::PropertyListValue::fromArray({value});
    }
    return value;
}

// `megabytes` MiB of "x", with a line break every 80 characters unless asked
// for one line.
inline kv::PropertyListValue largeString(qsizetype megabytes = 10, bool lineBreaks = true)
{
    QString text(megabytes * 1024 * 1024, QChar(u'x'));
    if (lineBreaks) {
        for (qsizetype i = 0; i < text.size(); i += 80)
            text[i] = QChar(u'\n');
    }
    return kv::PropertyListValue::fromString(text);
}

// The integers 0 .. count-1.
inline kv::PropertyListValue largeArray(int count)
{
    kv::PropertyListArray array;
    array.reserve(count);
    for (int i = 0; i < count; ++i)
        array.append(kv::PropertyListValue::fromInteger(i));
    return kv::PropertyListValue::fromArray(array);
}

} // namespace hostile
