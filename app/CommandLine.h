#pragma once

// The command line both programs share: the options that choose the store's
// source, and, for the window, what the window toolkit takes for itself.

#include "app/StoreSources.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <functional>

namespace kv::app {

// Adds the store's options (--snapshot FILE, --etcd URL[,URL...] and its
// details) to a parser.
void addStoreOptions(QCommandLineParser &parser);
// The lines --help shows for the store's options, each ending in "\n".
QString storeOptionsHelp();
// The store configuration a parser that took the store's options names.
// False, with a one-line reason, when an option's value cannot serve. With
// --etcd the kind is Etcd (a --snapshot given too stays in snapshotPath), and
// an --etcd-user's password is taken from KEYVANE_ETCD_PASSWORD when set.
// Both --snapshot and --etcd are a usage error, but for a publisher (which
// serves the snapshot into the cluster), where snapshotPath keeps the file.
enum class StoreUse { Serve, Publish };
bool storeConfigurationFrom(const QCommandLineParser &parser, StoreConfiguration *configuration, QString *error,
                            StoreUse use = StoreUse::Serve);

// Asks for a password on the controlling terminal (/dev/tty), without echo.
// False with a one-line reason when there is no terminal to ask on.
bool askPasswordOnTerminal(const QString &prompt, QString *password, QString *error);

// The window toolkit's own options (-platform NAME, -style NAME, -reverse
// and the like, with one dash or two, a value apart or after "="), taken out
// of a command line (the program's name first) so that the rest can be
// parsed as the program's own. Nothing after "--" is taken.
QStringList withoutToolkitOptions(const QStringList &arguments);

// Why the window toolkit would find no display to show windows on, or an
// empty string when it would find one (or when it cannot be told). Looks at
// the -platform option of `arguments`, else the QT_QPA_PLATFORM variable of
// `environment`; a platform that draws into a window system (xcb, wayland,
// and the default) needs DISPLAY, WAYLAND_DISPLAY, or a -display option.
QString displayUnavailableReason(const QStringList &arguments,
                                 const std::function<QString(const char *name)> &environment);

} // namespace kv::app
