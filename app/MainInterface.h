#pragma once

// The main interface: the main window (toolbar area, key browser on top; key
// field and value tree below, in a vertical split), the inspector panel, the
// console window and the menu bar. Building it fills the controller's widget
// fields and makes the controller the widgets' delegate and data source.

#include <memory>

class KVNController;
class QMenuBar;

namespace kv::ui {
class ScrollView;
class SplitView;
class Window;
} // namespace kv::ui

namespace kv::app {

struct MainInterface
{
    std::unique_ptr<kv::ui::Window> mainWindow;
    std::unique_ptr<kv::ui::Window> inspectorPanel;
    std::unique_ptr<kv::ui::Window> consoleWindow;
    kv::ui::SplitView *splitView = nullptr; // owned by mainWindow
    ~MainInterface();
};

std::unique_ptr<MainInterface> loadMainInterface(KVNController *controller);

} // namespace kv::app
