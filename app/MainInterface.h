#pragma once

// The main interface: the main window (toolbar area, the find and go-to bars,
// key browser on top; key field and value tree below, in a vertical split),
// the inspector panel, the console window and the menu bar. Building it fills
// the controller's widget fields and makes the controller the widgets'
// delegate and data source.

#include "find/FindQuery.h"

#include <memory>

class KVNController;
class QMenuBar;
class QStackedWidget;
class QVBoxLayout;

namespace kv::ui {
class ScrollView;
class SplitView;
class Window;
} // namespace kv::ui
namespace kv::find {
class GoToKeyBar;
class KeyFinder;
} // namespace kv::find
namespace kv::history {
class HistoryView;
}

namespace kv::app {

class EditCommands;
class HistoryRecorder;
class RecentActivity;

struct MainInterface
{
    std::unique_ptr<kv::ui::Window> mainWindow;
    std::unique_ptr<kv::ui::Window> inspectorPanel;
    std::unique_ptr<kv::ui::Window> consoleWindow;
    kv::ui::SplitView *splitView = nullptr; // owned by mainWindow
    // Copy, from the Edit menu and the context menus.
    std::unique_ptr<EditCommands> editCommands;
    // The browser's marks of recent changes.
    std::unique_ptr<RecentActivity> recentActivity;
    // The history of the store's changes, kept from the start.
    std::unique_ptr<HistoryRecorder> historyRecorder;
    ~MainInterface();

    // The History window over the recorder's history, made the first time
    // it is asked for (the recorder must not be replaced after that), and
    // its view.
    kv::ui::Window &historyWindow();
    kv::ui::Window *madeHistoryWindow() const { return m_historyWindow.get(); }
    kv::history::HistoryView *historyView() const { return m_historyView; }

    // Find (its bar and results in the main window) and go to key, made the
    // first time they are asked for: a start that does not use them does not
    // pay for them.
    kv::find::KeyFinder &finder();
    kv::find::GoToKeyBar &goToKeyBar();
    // The finder and the go-to bar if they have been made, else none.
    kv::find::KeyFinder *madeFinder() const { return m_finder.get(); }
    kv::find::GoToKeyBar *madeGoToKeyBar() const { return m_goToKeyBar; }
    // The find options: the finder's, or those it will start with.
    kv::find::FindOptions findOptions() const;
    void setFindOptions(const kv::find::FindOptions &options);

    // What the finder and the go-to bar are made with.
    KVNController *controller = nullptr;
    QVBoxLayout *barsLayout = nullptr;      // above the split
    QStackedWidget *browserPlace = nullptr; // the browser, or the find results

private:
    std::unique_ptr<kv::find::KeyFinder> m_finder;
    kv::find::GoToKeyBar *m_goToKeyBar = nullptr; // owned by mainWindow
    kv::find::FindOptions m_findOptions;
    std::unique_ptr<kv::ui::Window> m_historyWindow;
    kv::history::HistoryView *m_historyView = nullptr; // owned by m_historyWindow
};

std::unique_ptr<MainInterface> loadMainInterface(KVNController *controller);

} // namespace kv::app
