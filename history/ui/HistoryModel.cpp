#include "history/ui/HistoryModel.h"

#include "console/ConsoleLog.h"

namespace kv::history {

HistoryModel::HistoryModel(qsizetype maximumEntries, qint64 maximumValueBytes, QObject *parent)
    : QAbstractTableModel(parent), m_history(maximumEntries, maximumValueBytes)
{}

void HistoryModel::appendChangeList(const QDateTime &time, const QList<StoreChange> &changes)
{
    if (changes.isEmpty())
        return;
    m_history.appendChangeList(time, changes);

    // The rows shown before whose changes the history dropped go first. Until
    // they are gone no view asks for a row past them, and the rows kept still
    // map to the same changes.
    const qint64 front = m_history.droppedCount();
    const int removed = int(qBound(qint64(0), front - m_firstSerial, qint64(m_rowCount)));
    if (removed > 0) {
        beginRemoveRows(QModelIndex(), 0, removed - 1);
        m_rowCount -= removed;
        m_firstSerial += removed;
        endRemoveRows();
    }
    // A change list longer than the bounds may have dropped some of its own
    // changes as well: the model is empty then and starts at the history's front.
    if (m_rowCount == 0)
        m_firstSerial = front;
    const int count = int(m_history.count());
    if (count > m_rowCount) {
        beginInsertRows(QModelIndex(), m_rowCount, count - 1);
        m_rowCount = count;
        endInsertRows();
    }
    Q_EMIT changesAppended();
}

const HistoryChange *HistoryModel::change(int row) const
{
    if (row < 0 || row >= m_rowCount)
        return nullptr;
    const qint64 index = m_firstSerial + row - m_history.droppedCount();
    if (index < 0 || index >= m_history.count())
        return nullptr;
    return &m_history.at(qsizetype(index));
}

QString HistoryModel::timeText(const QDateTime &time)
{
    QString text = kv::console::timestamp(time.toLocalTime());
    // Without the " : " that ends it in the console.
    if (text.endsWith(QLatin1String(" : ")))
        text.chop(3);
    return text;
}

QString HistoryModel::kindText(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Added: return tr("Added");
    case ChangeKind::Removed: return tr("Removed");
    case ChangeKind::Updated: break;
    }
    return tr("Updated");
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rowCount;
}

int HistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    const HistoryChange *shown = change(index.row());
    if (!shown)
        return QVariant();
    switch (index.column()) {
    case TimeColumn: return role == Qt::DisplayRole ? timeText(shown->time) : QVariant();
    case KindColumn: return role == Qt::DisplayRole ? kindText(shown->kind) : QVariant();
    case KeyColumn: return shown->key;
    default: return QVariant();
    }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case TimeColumn: return tr("Time");
    case KindColumn: return tr("Kind");
    case KeyColumn: return tr("Key");
    default: return QVariant();
    }
}

HistoryFilterModel::HistoryFilterModel(HistoryModel *source, QObject *parent)
    : QSortFilterProxyModel(parent), m_source(source)
{
    setSourceModel(source);
    setDynamicSortFilter(true);
}

void HistoryFilterModel::setKeyText(const QString &text)
{
    if (text == m_keyText)
        return;
    m_keyText = text;
    invalidateFilter();
}

void HistoryFilterModel::setOnlySelectedKey(bool only)
{
    if (only == m_onlySelectedKey)
        return;
    m_onlySelectedKey = only;
    invalidateFilter();
}

void HistoryFilterModel::setSelectedKey(const QString &key)
{
    if (key == m_selectedKey)
        return;
    m_selectedKey = key;
    if (m_onlySelectedKey)
        invalidateFilter();
}

const HistoryChange *HistoryFilterModel::change(int row) const
{
    const QModelIndex shown = index(row, 0);
    return shown.isValid() ? m_source->change(mapToSource(shown).row()) : nullptr;
}

bool HistoryFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    const HistoryChange *candidate = m_source->change(sourceRow);
    if (!candidate)
        return false;
    if (m_onlySelectedKey && candidate->key != m_selectedKey)
        return false;
    return m_keyText.isEmpty() || candidate->key.contains(m_keyText, Qt::CaseInsensitive);
}

} // namespace kv::history
