#pragma once

// The results of a search: one row per matching key, the key with the
// matched text emphasised and, for a key found by its value, where in the
// value ("Addresses › 0 = 192.168.1.20"). It takes the browser's place while
// the find bar is open.

#include <QAbstractListModel>
#include <QListView>
#include <QPointer>

namespace kv::find {

class FindSearch;

class FindResultsModel : public QAbstractListModel
{
    Q_OBJECT
public:
    // Role of a row's value match text (empty when the key itself matched).
    static constexpr int ValueMatchRole = Qt::UserRole + 1;

    explicit FindResultsModel(const FindSearch *search, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    // The search's hits changed: the rows are read again.
    void refresh();
    const FindSearch *search() const { return m_search; }
    // The row of `key`, or -1.
    int rowOfKey(const QString &key) const;

private:
    const FindSearch *m_search;
    qsizetype m_rows = 0;
};

class FindResultsView : public QListView
{
    Q_OBJECT
public:
    explicit FindResultsView(const FindSearch *search, QWidget *parent = nullptr);

    FindResultsModel *resultsModel() const { return m_model; }
    // The key of the current row, or an empty string.
    QString currentKey() const;
    // Makes `key`'s row current (none when it is not a result).
    bool setCurrentKey(const QString &key);
    // Moves the current row by `step`, staying within the rows.
    void moveCurrent(int step);
    // The rows follow the search; the current key stays current.
    void refresh();

Q_SIGNALS:
    // The user (or moveCurrent) made `key` the current result.
    void currentKeyChanged(const QString &key);

private:
    FindResultsModel *m_model;
    bool m_refreshing = false;
};

} // namespace kv::find
