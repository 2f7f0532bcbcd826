#pragma once

// A tree of rows with several columns whose contents come from a data source
// (OutlineViewDataSource): the view hands the data source opaque item
// pointers and asks it for children, expandability and cell texts.

#include "platform/ui/Delegates.h"

#include <QList>
#include <QPoint>
#include <QString>
#include <QTreeView>

#include <memory>

namespace kv::ui {

class OutlineModel;

// One column of an outline view. The data source tells columns apart by the
// identity of these objects; they belong to the view.
class TableColumn
{
public:
    TableColumn(const QString &identifier, const QString &title) : m_identifier(identifier), m_title(title) {}
    const QString &identifier() const { return m_identifier; }
    const QString &title() const { return m_title; }

private:
    QString m_identifier;
    QString m_title;
};

class OutlineView : public QTreeView
{
    Q_OBJECT
public:
    explicit OutlineView(QWidget *parent = nullptr);
    ~OutlineView() override;

    // Neither is owned; both must outlive the view or be replaced first.
    void setDataSource(OutlineViewDataSource *dataSource);
    OutlineViewDataSource *dataSource() const { return m_dataSource; }
    void setDelegate(OutlineViewDelegate *delegate) { m_delegate = delegate; }
    OutlineViewDelegate *delegate() const { return m_delegate; }

    // Appends a column; the view owns it. The data is asked for afresh.
    TableColumn *addTableColumn(const QString &identifier, const QString &title);
    QList<TableColumn *> tableColumns() const;

    // Forgets everything the view knows about the items and asks the data
    // source afresh. Must be called whenever the items handed out so far stop
    // being valid.
    void reloadData();
    // Expands `item` (a null item stands for the top level); with
    // expandChildren every expandable item below it is expanded too.
    void expandItem(OutlineItem item, bool expandChildren = false);
    bool isItemExpanded(OutlineItem item) const;

    // The rows shown: the top level, and the children of expanded rows.
    int numberOfRows() const;
    OutlineItem itemAtRow(int row) const;
    // The text the row shows in `column` (a null QString for nothing).
    QString textAt(int row, int column) const;

    // The item of the row the user is on (the current row), null if none.
    OutlineItem currentItem() const;
    // The items from the top level down to `item`, `item` last, as the view
    // found their parents while it asked for children; empty for a null item
    // or one the view has not been handed since the last reload.
    QList<OutlineItem> itemPath(OutlineItem item) const;

Q_SIGNALS:
    // A context menu was asked for (right click, the menu key) over the row
    // of `item`, or over no row (null); `globalPos` is where to show it. With
    // nothing connected the request goes on to the parent widgets as before.
    void contextMenuRequestedForItem(kv::ui::OutlineItem item, const QPoint &globalPos);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    friend class OutlineModel;
    QModelIndex indexForItem(OutlineItem item) const;
    QModelIndex indexAtRow(int row) const;

    OutlineModel *m_model = nullptr;
    OutlineViewDataSource *m_dataSource = nullptr;
    OutlineViewDelegate *m_delegate = nullptr;
    std::vector<std::unique_ptr<TableColumn>> m_columns;
};

} // namespace kv::ui
