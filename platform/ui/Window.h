#pragma once

#include <QMainWindow>

class QToolBar;

namespace kv::ui {

class WindowDelegate;

// A top-level window (the main window, a panel or the console). A panel is a
// Window made with Window::Panel: a tool window that floats over its owner.
class Window : public QMainWindow
{
    Q_OBJECT
public:
    enum class Style { Document, Panel };
    explicit Window(Style style = Style::Document, QWidget *parent = nullptr);
    ~Window() override;

    void setDelegate(WindowDelegate *delegate) { m_delegate = delegate; }
    WindowDelegate *delegate() const { return m_delegate; }

    // Shows the window in front of the others without making it the key
    // (focused) window.
    Q_INVOKABLE void orderFront(QObject *sender);
    // Takes the window off the screen.
    Q_INVOKABLE void orderOut(QObject *sender);
    // Shows the window in front and makes it the key window.
    Q_INVOKABLE void makeKeyAndOrderFront(QObject *sender);
    // Centres the window on its screen.
    void center();

    void setExcludedFromWindowsMenu(bool excluded) { m_excludedFromWindowsMenu = excluded; }
    bool isExcludedFromWindowsMenu() const { return m_excludedFromWindowsMenu; }

    // Attaches a toolbar; the window owns it from then on.
    void setToolbar(QToolBar *toolbar);
    QToolBar *toolbar() const { return m_toolbar; }

    // Every Window alive, in creation order (for the Window menu).
    static QList<Window *> allWindows();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    WindowDelegate *m_delegate = nullptr;
    QToolBar *m_toolbar = nullptr;
    bool m_excludedFromWindowsMenu = false;
};

} // namespace kv::ui
