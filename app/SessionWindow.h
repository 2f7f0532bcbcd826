#pragma once

// The main window's session: what a run leaves for the next (its place, the
// split, the open panels, the find options, the selected key) taken from the
// windows, and given back to them before the main window is first shown.

#include "app/Session.h"

#include <QSize>

class KVNController;

namespace kv::app {

struct MainInterface;

// The main window's size on a first run, before it is fitted to the screen.
inline constexpr QSize PreferredWindowSize{900, 640};

// The session as the windows show it now.
SessionState sessionOf(const MainInterface &ui, const KVNController &controller);

// Places the main window (the saved place when it still fits a screen, else
// the preferred size fitted to the largest screen) and restores the split,
// the find options and, when it is still listed and `selectSavedKey`, the
// selected key. Before the main window is shown.
void applySession(MainInterface &ui, KVNController &controller, const SessionState &state, bool selectSavedKey);
// Opens the panels that were open. After the main window is shown.
void applySessionPanels(MainInterface &ui, const SessionState &state);

} // namespace kv::app
