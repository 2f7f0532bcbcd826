#include "app/SessionWindow.h"

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "find/KeyCompletion.h"
#include "find/ui/FindBar.h"
#include "find/ui/KeyFinder.h"
#include "platform/ui/SplitView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Window.h"

#include <QGuiApplication>
#include <QScreen>

namespace kv::app {

SessionState sessionOf(const MainInterface &ui, const KVNController &controller)
{
    SessionState state;
    if (const ui::Window *main = ui.mainWindow.get()) {
        state.windowMaximized = main->isMaximized();
        state.windowRect = state.windowMaximized ? main->normalGeometry() : main->geometry();
    }
    if (ui.splitView)
        state.splitterState = ui.splitView->saveState();
    state.inspectorOpen = ui.inspectorPanel && ui.inspectorPanel->isVisible();
    state.consoleOpen = ui.consoleWindow && ui.consoleWindow->isVisible();
    const find::FindOptions options = ui.findOptions();
    state.findMatchCase = options.matchCase;
    state.findRegularExpression = options.regularExpression;
    state.findInValues = options.scope == find::FindOptions::Scope::KeysAndValues;
    if (controller.kvnKey) {
        const QString key = controller.kvnKey->stringValue();
        if (find::hasKey(controller.storeKeysList, key))
            state.selectedKey = key;
    }
    return state;
}

void applySession(MainInterface &ui, KVNController &controller, const SessionState &state, bool selectSavedKey)
{
    if (ui::Window *main = ui.mainWindow.get()) {
        QList<QRect> areas;
        for (const QScreen *screen : QGuiApplication::screens())
            areas.append(screen->availableGeometry());
        main->setGeometry(fittedGeometry(state.windowRect, areas, PreferredWindowSize));
        if (state.windowMaximized)
            main->setWindowState(main->windowState() | Qt::WindowMaximized);
    }
    if (ui.splitView && !state.splitterState.isEmpty())
        ui.splitView->restoreState(state.splitterState);
    find::FindOptions options;
    options.matchCase = state.findMatchCase;
    options.regularExpression = state.findRegularExpression;
    options.scope = state.findInValues ? find::FindOptions::Scope::KeysAndValues : find::FindOptions::Scope::Keys;
    ui.setFindOptions(options);
    if (selectSavedKey && !state.selectedKey.isEmpty())
        controller.selectKey(state.selectedKey); // a key gone since is not selected
}

void applySessionPanels(MainInterface &ui, const SessionState &state)
{
    if (state.inspectorOpen && ui.inspectorPanel)
        ui.inspectorPanel->orderFront(nullptr);
    if (state.consoleOpen && ui.consoleWindow)
        ui.consoleWindow->orderFront(nullptr);
}

} // namespace kv::app
