#pragma once

// Shared pieces of the fuzz harnesses: a Qt application object for the
// process, and a check that stops the run with a message.

#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListValue.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void ensureApplication()
{
    static int argc = 1;
    static char name[] = "keyvane-fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // lives for the whole process
}

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

// `value` as an XML property list carries it: dates in whole seconds (the
// XML date form has no fraction of a second).
inline kv::PropertyListValue asXmlCarriesIt(const kv::PropertyListValue &value)
{
    using kv::PropertyListValue;
    switch (value.kind()) {
    case PropertyListValue::Kind::Date: {
        const QDateTime date = value.date().toUTC();
        const QTime time = date.time();
        return PropertyListValue::fromDate(
            QDateTime(date.date(), QTime(time.hour(), time.minute(), time.second()), Qt::UTC));
    }
    case PropertyListValue::Kind::Array: {
        kv::PropertyListArray array;
        for (const PropertyListValue &item : value.array())
            array.append(asXmlCarriesIt(item));
        return PropertyListValue::fromArray(array);
    }
    case PropertyListValue::Kind::Dictionary: {
        kv::PropertyListDictionary dictionary;
        const kv::PropertyListDictionary source = value.dictionary();
        for (auto it = source.cbegin(); it != source.cend(); ++it)
            dictionary.insert(it.key(), asXmlCarriesIt(it.value()));
        return PropertyListValue::fromDictionary(dictionary);
    }
    default: return value;
    }
}

// What a reader gave for one input: either nothing, with a reason in
// `error`, or a value within the depth limit that can be described and is
// written as XML (or refused with a reason) that reads back as `expected`.
inline void checkReadValue(const kv::PropertyListValue &value, const QString &error,
                           const kv::PropertyListValue &expected, const char *refusedWithoutReason,
                           const char *readsBackDifferent)
{
    if (value.isNone()) {
        check(!error.isEmpty(), refusedWithoutReason);
        return;
    }
    check(value.depth() <= kv::PropertyListMaximumDepth, "value deeper than the limit accepted");
    (void)value.description();
    QString writeError;
    const QByteArray written = kv::writePropertyListXml(value, &writeError);
    if (written.isEmpty()) {
        // Refused (a character XML cannot carry, say): said so, and why.
        check(!writeError.isEmpty(), "a refused XML write comes with a reason");
        return;
    }
    QString readError;
    const kv::PropertyListValue again = kv::readPropertyList(written, &readError);
    check(!again.isNone(), "written XML reads back");
    check(again == expected, readsBackDifferent);
}

} // namespace fuzz
