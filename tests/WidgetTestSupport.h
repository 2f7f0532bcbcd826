#pragma once

// Shared by the widget tests: a parent that counts the context-menu requests
// its children pass on.

#include <QContextMenuEvent>
#include <QWidget>

namespace widgettest {

class MenuParent : public QWidget
{
public:
    int requests = 0;

protected:
    void contextMenuEvent(QContextMenuEvent *event) override
    {
        ++requests;
        event->accept();
    }
};

} // namespace widgettest
