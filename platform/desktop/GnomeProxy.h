#pragma once

// GNOME's proxy settings (the org.gnome.system.proxy schemas), read through
// the gsettings command, as entries of the proxy key.

#include "platform/plist/PropertyListValue.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace kv::desktop {

// The schemas holding the proxy settings: the main one, then http, https,
// ftp and socks.
QStringList gnomeProxySchemas();

// A value in gsettings' text form: 'string' or "string" (backslash escapes
// included), a number with or without its type ("uint32 8080"), an array
// of strings (['a', 'b'], @as []). None when malformed.
PropertyListValue parseSettingText(QStringView text);

// The proxy entries of GNOME's settings: GNOMEMode ("manual" or "auto"),
// HTTPProxy, HTTPSProxy, FTPProxy and AllProxy (the SOCKS host) as
// "host:port" in manual mode, AutoConfigURL in auto mode, ExceptionsList
// from ignore-hosts; empty in mode "none". Nothing when the program cannot
// be run or the schema is not installed. Each call waits at most
// timeoutMilliseconds.
std::optional<PropertyListDictionary> readGnomeProxy(const QString &program, int timeoutMilliseconds);

} // namespace kv::desktop
