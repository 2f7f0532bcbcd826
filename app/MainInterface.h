#pragma once

// The main interface: the main window (toolbar area, the find and go-to bars,
// key browser on top; key field and value tree below, in a vertical split),
// the inspector panel, the console window and the menu bar. Building it fills
// the controller's widget fields and makes the controller the widgets'
// delegate and data source.

#include <memory>

class KVNController;
class QMenuBar;

namespace kv::ui {
class ScrollView;
class SplitView;
class Window;
} // namespace kv::ui
namespace kv::find {
class GoToKeyBar;
class KeyFinder;
} // namespace kv::find

namespace kv::app {

class EditCommands;

struct MainInterface
{
    std::unique_ptr<kv::ui::Window> mainWindow;
    std::unique_ptr<kv::ui::Window> inspectorPanel;
    std::unique_ptr<kv::ui::Window> consoleWindow;
    kv::ui::SplitView *splitView = nullptr; // owned by mainWindow
    // Find (its bar and results in the main window) and go to key.
    std::unique_ptr<kv::find::KeyFinder> finder;
    kv::find::GoToKeyBar *goToKeyBar = nullptr; // owned by mainWindow
    // Copy, from the Edit menu and the context menus.
    std::unique_ptr<EditCommands> editCommands;
    ~MainInterface();
};

std::unique_ptr<MainInterface> loadMainInterface(KVNController *controller);

} // namespace kv::app
