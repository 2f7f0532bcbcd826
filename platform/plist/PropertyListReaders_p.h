#pragma once

// Internal to the property-list file code: the two format readers behind
// readPropertyList. Both take a non-empty source name and return none with
// *error set (the full one-line message) on failure.

#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QString>

namespace kv::plistdetail {

PropertyListValue readXmlPropertyList(const QByteArray &bytes, QString *error, const QString &source,
                                      PropertyListReading reading = PropertyListReading::Whole);
PropertyListValue readBinaryPropertyList(const QByteArray &bytes, QString *error, const QString &source);

} // namespace kv::plistdetail
