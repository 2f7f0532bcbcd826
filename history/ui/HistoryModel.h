#pragma once

// The changes of a change history as a table (Time / Kind / Key, oldest
// first), and the filter a History window puts over it.
//
// The model owns the history. Appending a change list tells views about the
// rows that came and, when the history dropped its oldest changes to stay
// within its bounds, about the rows that went: a view never reads a row the
// model has not told it about.

#include "history/ChangeHistory.h"

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>

namespace kv::history {

class HistoryModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { TimeColumn, KindColumn, KeyColumn, ColumnCount };

    explicit HistoryModel(qsizetype maximumEntries = ChangeHistory::DefaultMaximumEntries,
                          qint64 maximumValueBytes = ChangeHistory::DefaultMaximumValueBytes,
                          QObject *parent = nullptr);

    const ChangeHistory &history() const { return m_history; }
    // ChangeHistory::appendChangeList, with the rows removed and inserted
    // told to views; then changesAppended().
    void appendChangeList(const QDateTime &time, const QList<StoreChange> &changes);

    // The change a row shows, or none for a row out of range.
    const HistoryChange *change(int row) const;

    // The time as the console writes it: "Sun Dec 6 26 07:23:52.123", local time.
    static QString timeText(const QDateTime &time);
    // "Added", "Removed", "Updated".
    static QString kindText(ChangeKind kind);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

Q_SIGNALS:
    void changesAppended();

private:
    ChangeHistory m_history;
    // The rows are the changes with serials m_firstSerial, m_firstSerial + 1,
    // ...; the history's first change has serial droppedCount().
    qint64 m_firstSerial = 0;
    int m_rowCount = 0;
};

// Keeps the changes whose key contains a text (without regard to case) and,
// when asked, only those of one key.
class HistoryFilterModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit HistoryFilterModel(HistoryModel *source, QObject *parent = nullptr);

    void setKeyText(const QString &text);
    QString keyText() const { return m_keyText; }
    void setOnlySelectedKey(bool only);
    bool onlySelectedKey() const { return m_onlySelectedKey; }
    void setSelectedKey(const QString &key);
    QString selectedKey() const { return m_selectedKey; }

    // The change a row of this model shows, or none.
    const HistoryChange *change(int row) const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    HistoryModel *m_source;
    QString m_keyText;
    QString m_selectedKey;
    bool m_onlySelectedKey = false;
};

} // namespace kv::history
