#include "app/EditCommands.h"

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "commands/Clipboard.h"
#include "find/ui/FindResultsView.h"
#include "find/ui/KeyFinder.h"
#include "inspector/KVNItem.h"
#include "platform/SystemLog.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>

namespace kv::app {

namespace {

bool holdsFocus(const QWidget *widget, const QWidget *focused)
{
    return widget && focused && (widget == focused || widget->isAncestorOf(focused));
}

KVNItem *itemOf(ui::OutlineItem item)
{
    return static_cast<KVNItem *>(item);
}

} // namespace

EditCommands::EditCommands(KVNController *controller, MainInterface *ui, QObject *parent)
    : QObject(parent), m_controller(controller), m_ui(ui), m_copy(new QAction(tr("&Copy"), this))
{
    m_copy->setObjectName(QStringLiteral("copyCommand"));
    m_copy->setShortcut(QKeySequence::Copy);
    // Only while the main window is the active one: the console and the
    // inspector copy their own selection.
    m_copy->setShortcutContext(Qt::WindowShortcut);
    connect(m_copy, &QAction::triggered, this, &EditCommands::copy);
    if (controller->kvnBrowser) {
        connect(controller->kvnBrowser, &ui::ColumnBrowser::contextMenuRequestedForRow, this,
                &EditCommands::showBrowserMenu);
    }
    if (controller->kvnOutlineView) {
        connect(controller->kvnOutlineView, &ui::OutlineView::contextMenuRequestedForItem, this,
                &EditCommands::showValueMenu);
    }
}

void EditCommands::copy()
{
    const QWidget *focused = QApplication::focusWidget();
    KVNController *c = m_controller;
    if (holdsFocus(c->kvnKey, focused)) {
        c->kvnKey->copy();
    } else if (holdsFocus(c->inspectorView, focused)) {
        c->inspectorView->copy();
    } else if (holdsFocus(c->consoleView, focused)) {
        c->consoleView->copy();
    } else if (m_ui->madeFinder() && holdsFocus(m_ui->madeFinder()->results(), focused)) {
        const QString key = m_ui->madeFinder()->results()->currentKey();
        if (!key.isEmpty())
            commands::copyToClipboard(commands::mimeDataForText(key));
    } else if (holdsFocus(c->kvnOutlineView, focused)) {
        if (ui::OutlineItem item = c->kvnOutlineView->currentItem())
            copyValue(item);
    } else if (holdsFocus(c->kvnBrowser, focused)) {
        const QString key = selectedBrowserKey();
        if (!key.isEmpty())
            commands::copyToClipboard(commands::mimeDataForText(key));
    }
}

QString EditCommands::browserRowKey(int row, int column) const
{
    const QList<TreeBranch> &tree = m_controller->storeTree;
    if (column < 0 || column >= tree.size() || row < 0 || row >= tree.at(column).nodes.size())
        return QString();
    const BranchNode &node = tree.at(column).nodes.at(row);
    if (node.key)
        return node.key->storeKey();
    if (!node.leaf || node.leaf->empty())
        return QString();
    // The components up to this column, of any key below the row.
    const DecomposedKey &below = *node.leaf->front();
    QString prefix;
    for (int i = 0; i <= column && i < below.count(); ++i)
        prefix += below.component(i);
    return prefix;
}

QString EditCommands::selectedBrowserKey() const
{
    const ui::ColumnBrowser *browser = m_controller->kvnBrowser;
    if (!browser)
        return QString();
    const int column = browser->selectedColumn();
    return browserRowKey(browser->selectedRowInColumn(column), column);
}

QString EditCommands::entryPath(ui::OutlineItem item) const
{
    QStringList names;
    const QList<ui::OutlineItem> path = m_controller->kvnOutlineView->itemPath(item);
    for (qsizetype i = 1; i < path.size(); ++i) // the first is the root, which stands for the key
        names.append(itemOf(path.at(i))->itemName);
    return commands::entryPathText(m_controller->kvnKey ? m_controller->kvnKey->stringValue() : QString(), names);
}

void EditCommands::copyValue(ui::OutlineItem item)
{
    const KVNItem *shown = itemOf(item);
    if (shown && shown->itemValue)
        commands::copyToClipboard(commands::mimeDataForText(commands::valueText(*shown->itemValue)));
}

void EditCommands::copyEntryPath(ui::OutlineItem item)
{
    if (item)
        commands::copyToClipboard(commands::mimeDataForText(entryPath(item)));
}

void EditCommands::copyAsPropertyList(ui::OutlineItem item)
{
    const KVNItem *shown = itemOf(item);
    if (!shown || !shown->itemValue)
        return;
    QString error;
    QMimeData *data = commands::mimeDataForPropertyList(*shown->itemValue, &error);
    if (!data) {
        systemLog(QStringLiteral("Copy as XML property list failed: %1").arg(error));
        auto *box = new QMessageBox(QMessageBox::Warning, tr("Copy Failed"),
                                    tr("The value cannot be copied as an XML property list."), QMessageBox::Ok,
                                    m_controller->kvnOutlineView ? m_controller->kvnOutlineView->window() : nullptr);
        box->setInformativeText(error);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
        return;
    }
    commands::copyToClipboard(data);
}

void EditCommands::showBrowserMenu(int row, int column, const QPoint &globalPos)
{
    const QString key = browserRowKey(row, column);
    if (key.isEmpty())
        return;
    QMenu menu(m_controller->kvnBrowser);
    menu.addAction(tr("Copy &Key"), this, [key] { commands::copyToClipboard(commands::mimeDataForText(key)); });
    menu.exec(globalPos);
}

void EditCommands::showValueMenu(ui::OutlineItem item, const QPoint &globalPos)
{
    if (!item || !itemOf(item)->itemValue)
        return;
    QMenu menu(m_controller->kvnOutlineView);
    menu.addAction(tr("Copy &Value"), this, [this, item] { copyValue(item); });
    menu.addAction(tr("Copy &Entry Path"), this, [this, item] { copyEntryPath(item); });
    menu.addAction(tr("Copy as &XML Property List"), this, [this, item] { copyAsPropertyList(item); });
    menu.exec(globalPos);
}

} // namespace kv::app
