#include "platform/ui/Window.h"

#include "platform/ui/Delegates.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QToolBar>

namespace kv::ui {

namespace {
QList<Window *> &windows()
{
    static QList<Window *> list;
    return list;
}
} // namespace

Window::Window(Style style, QWidget *parent) : QMainWindow(parent, style == Style::Panel ? Qt::Tool : Qt::Window)
{
    windows().append(this);
}

Window::~Window()
{
    windows().removeOne(this);
}

QList<Window *> Window::allWindows()
{
    return windows();
}

void Window::orderFront(QObject *)
{
    const bool wasSet = testAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    setAttribute(Qt::WA_ShowWithoutActivating, wasSet);
}

void Window::orderOut(QObject *)
{
    hide();
}

void Window::makeKeyAndOrderFront(QObject *)
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void Window::center()
{
    QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    QRect frame = frameGeometry();
    if (frame.isEmpty())
        frame = QRect(QPoint(0, 0), sizeHint());
    frame.moveCenter(available.center());
    move(frame.topLeft());
}

void Window::setToolbar(QToolBar *toolbar)
{
    if (m_toolbar == toolbar)
        return;
    if (m_toolbar) {
        removeToolBar(m_toolbar);
        delete m_toolbar;
    }
    m_toolbar = toolbar;
    if (toolbar)
        addToolBar(Qt::TopToolBarArea, toolbar);
}

void Window::closeEvent(QCloseEvent *event)
{
    if (m_delegate)
        m_delegate->windowWillClose(this);
    event->accept();
}

} // namespace kv::ui
