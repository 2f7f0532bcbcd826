#pragma once

// What the History window shows: a filter field, "Only the selected key",
// the list of changes (newest last, following the end while the end is in
// view), a line telling how many older changes were dropped, and the value
// diff of the selected change as a Key / Old / New tree: added, removed and
// changed entries marked ("+", "−", "~" and a colour), unchanged entries
// summed up in one row per container, changed branches open.

#include "platform/plist/PropertyListValue.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;

namespace kv::history {

class HistoryFilterModel;
class HistoryModel;
struct DiffNode;
struct HistoryChange;

class HistoryView : public QWidget
{
    Q_OBJECT
public:
    explicit HistoryView(HistoryModel *model, QWidget *parent = nullptr);
    ~HistoryView() override;

    // The key "Only the selected key" keeps.
    void setSelectedKey(const QString &key);

    QLineEdit *filterField() const { return m_filterField; }
    QCheckBox *onlySelectedKeyBox() const { return m_onlySelectedKey; }
    QTableView *changesView() const { return m_changesView; }
    QLabel *droppedLine() const { return m_droppedLine; }
    QTreeWidget *diffView() const { return m_diffView; }
    HistoryFilterModel *filter() const { return m_filter; }

    // The change whose diff is shown, or none.
    const HistoryChange *shownChange() const;

    // "12 unchanged entries" (one: "1 unchanged entry").
    static QString unchangedText(qsizetype count);
    // What the Old and New columns show for a value: the count of a
    // container's entries, a scalar's text (cut when long), nothing for none.
    static QString valueText(const PropertyListValue &value);

protected:
    void showEvent(QShowEvent *event) override;
    // Up and Down in the filter field move through the list.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isAtEnd() const;
    void updateDroppedLine();
    void showDiff();
    void addDiffChildren(QTreeWidgetItem *item, const DiffNode &node);
    void addValueEntries(QTreeWidgetItem *item, const PropertyListValue &value, bool added);

    HistoryModel *m_model;
    HistoryFilterModel *m_filter;
    QLineEdit *m_filterField;
    QCheckBox *m_onlySelectedKey;
    QTableView *m_changesView;
    QLabel *m_droppedLine;
    QTreeWidget *m_diffView;
    bool m_followEnd = true;
    int m_removedAbove = 0;
    bool m_shownOnce = false;
};

} // namespace kv::history
