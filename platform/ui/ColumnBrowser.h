#pragma once

// A column browser: a row of list columns in a horizontal scroll area. Column
// 0 lists the top-level rows; selecting a row that is not a leaf opens the
// next column with the rows below it. The browser holds no data of its own: it
// asks its delegate how many rows a column has when it loads the column, and
// asks for each row's title and leaf flag before it first shows the row.
//
// Paths: path() is the path separator followed by the titles of the selected
// rows joined with the separator, like a file path ("SEP" + "State" + "SEP" +
// "Network"); with nothing selected it is the separator alone. setPath()
// accepts what path() produces (a path without the leading separator is read
// the same way).

#include "platform/ui/Action.h"

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QList>
#include <QPalette>
#include <QPoint>
#include <QScrollArea>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace kv::ui {

class BrowserDelegate;
class BrowserColumnModel;
class BrowserColumnView;

// One row's cell: the delegate fills in its title and leaf flag.
class BrowserCell
{
public:
    BrowserCell() = default;
    BrowserCell(int row, int column) : m_row(row), m_column(column) {}

    QString title() const { return m_title; }
    void setTitle(const QString &title) { m_title = title; }
    bool isLeaf() const { return m_leaf; }
    void setLeaf(bool leaf) { m_leaf = leaf; }
    int row() const { return m_row; }
    int column() const { return m_column; }

private:
    QString m_title;
    bool m_leaf = false;
    int m_row = -1;
    int m_column = -1;
};

class ColumnBrowser : public QScrollArea
{
    Q_OBJECT
public:
    explicit ColumnBrowser(QWidget *parent = nullptr);
    ~ColumnBrowser() override;

    void setDelegate(BrowserDelegate *delegate) { m_delegate = delegate; }
    BrowserDelegate *delegate() const { return m_delegate; }
    // The target of both actions.
    void setTarget(QObject *target);
    QObject *target() const { return m_action.target(); }
    // Sent after the user selects a row (click or keyboard).
    template<class Target>
    void setAction(void (Target::*method)(QObject *sender))
    {
        m_action.setMethod(method);
    }
    const Action &action() const { return m_action; }
    // Sent when the user double-clicks a row.
    template<class Target>
    void setDoubleAction(void (Target::*method)(QObject *sender))
    {
        m_doubleAction.setMethod(method);
    }
    const Action &doubleAction() const { return m_doubleAction; }
    void setPathSeparator(const QString &separator);
    QString pathSeparator() const { return m_separator; }

    // Discards every column, then loads column 0 (asking its row count).
    void loadColumnZero();
    // The separator, then the titles of the selected rows joined with it.
    QString path() const;
    // Selects, from column 0, the row titled by each piece of `path`, through
    // the delegate's browserSelectCellWithString. Stops at the first piece the
    // delegate does not match (or when a selected row is a leaf before the
    // last piece). True when every piece was matched.
    bool setPath(const QString &path);

    // Gives a loaded column `rows` fresh rows (each asked of the delegate
    // again when first shown) without asking the delegate to load it, and
    // clears its selection; the other columns stay as they are. For a
    // delegate that changed the column's rows in place.
    void replaceColumnRows(int column, int rows);
    // Selects `row` of `column` and shows it, leaving the columns right of it
    // as they are (they still show what is below that row).
    void markRowSelected(int row, int column);
    // The titles of the selected rows, from column 0 to the first column
    // without a selection (what path() joins).
    QStringList pathTitles() const;

    // The selected row of `column`, -1 if none (or no such column).
    int selectedRowInColumn(int column) const;
    // Selects `row` of `column`, closes the columns right of it and, when the
    // row is not a leaf, loads column + 1. Row -1 clears the column's
    // selection. Sends no action.
    void selectRow(int row, int column);
    // The selected cells of the last column with a selection (0 or 1).
    QList<BrowserCell *> selectedCells() const;
    // The last column with a selected row, -1 if none.
    int selectedColumn() const;
    int numberOfColumns() const { return int(m_columns.size()); }
    // The last loaded column, -1 if none.
    int lastColumn() const { return numberOfColumns() - 1; }
    // Number of rows of a loaded column, 0 if not loaded.
    int numberOfRowsInColumn(int column) const;
    // The title and leaf flag of a row, asking the delegate first if the row
    // was not asked about yet.
    QString titleOfRow(int row, int column) const;
    bool isLeafRow(int row, int column) const;
    // The cell of a row (asked of the delegate when needed), null if none.
    BrowserCell *loadedCellAtRow(int row, int column) const;

    // The list view showing a column (for focus, tests and accessibility).
    QWidget *columnView(int column) const;
    int columnWidth() const { return m_columnWidth; }
    void setColumnWidth(int width);

    // The chevron drawn at the right of each row that is not a leaf, in the
    // text colours of `palette` (plain and selected) at `devicePixelRatio`.
    // Every column is drawn with the same icon while these stay the same:
    // the pixmap cache keeps a drawn copy of an icon under its pixmaps, so
    // an icon of its own for each column, made afresh on every reload,
    // would leave one more copy in the cache each time.
    QIcon chevronIcon(const QPalette &palette, qreal devicePixelRatio) const;

    // Recent activity below a row, 0 (none) to 1 (just now), asked as each
    // row is drawn: a row with activity carries a dot at its left edge in
    // the palette's highlight colour, fainter as the activity fades. None:
    // no dots.
    using RowActivity = std::function<qreal(int row, int column)>;
    void setRowActivity(RowActivity activity);
    qreal rowActivity(int row, int column) const { return m_rowActivity ? m_rowActivity(row, column) : 0; }
    // Draws the loaded columns again, for activity that changed.
    void refreshRowActivity();

Q_SIGNALS:
    // A context menu was asked for over `row` of `column` (-1: the column's
    // empty space); `globalPos` is where to show it. A right click does not
    // select the row: the selection, the value shown and the columns right of
    // it stay as they were, and the menu is about the row under the pointer.
    // From the keyboard (the menu key) the row is the column's selected row.
    // With nothing connected the request goes on to the parent widgets.
    void contextMenuRequestedForRow(int row, int column, const QPoint &globalPos);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    friend class BrowserColumnView;
    friend class BrowserColumnModel;

    struct Column
    {
        BrowserColumnView *view = nullptr;
        BrowserColumnModel *model = nullptr;
        int selectedRow = -1;
    };

    void loadColumn(int column);
    void closeColumnsAfter(int column);
    void layoutColumns();
    void scrollToLastColumn();
    void showSelection(int column);
    bool focusIsInside() const;

    // User interaction, from the column views.
    void userSelectRow(int row, int column);
    void userDoubleClickRow(int row, int column);
    void userMoveLeft(int column);
    void userMoveRight(int column);
    // True when something listens to contextMenuRequestedForRow.
    bool hasContextMenuReceiver() const;

    BrowserDelegate *m_delegate = nullptr;
    Action m_action;
    Action m_doubleAction;
    QString m_separator = QStringLiteral("/");
    int m_columnWidth = 200;
    QWidget *m_container = nullptr;
    std::vector<Column> m_columns;
    // The last chevron icon made, and what it was made for.
    RowActivity m_rowActivity;
    mutable QIcon m_chevron;
    mutable QColor m_chevronColor;
    mutable QColor m_chevronSelectedColor;
    mutable qreal m_chevronRatio = 0;
};

} // namespace kv::ui
