#pragma once

// What the program calls itself, once for every part that says it.

#include <QString>

namespace kv {

// The program's name, as windows, the About panel and the console show it.
inline const QString ProgramName = QStringLiteral("Keyvane");
// The short version and the build number (set by the build).
inline const QString ProgramVersion = QStringLiteral(KEYVANE_VERSION);
inline const QString ProgramBuildNumber = QStringLiteral(KEYVANE_BUILD_NUMBER);
// The client name the programs open their store connections under.
inline const QString StoreClientName = QStringLiteral("Vaneview");

} // namespace kv
