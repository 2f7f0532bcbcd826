#include "history/ui/HistoryView.h"

#include "history/ChangeHistory.h"
#include "history/ValueDiff.h"
#include "history/ui/HistoryModel.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kv::history {

namespace {

// Entries of an added or removed container listed below it, at most; the
// rest are counted in one row.
constexpr qsizetype MaximumListedEntries = 500;
// Characters of a scalar's text shown in the Old and New columns.
constexpr qsizetype MaximumValueText = 400;

enum DiffColumn { KeyColumn, OldColumn, NewColumn };

QString markText(DiffMark mark)
{
    switch (mark) {
    case DiffMark::Added: return QStringLiteral("+ ");
    case DiffMark::Removed: return QStringLiteral("\u2212 ");
    case DiffMark::Changed: return QStringLiteral("~ ");
    case DiffMark::Unchanged: break;
    }
    return QString();
}

// A green, red or amber that reads on the palette's base, light or dark.
QColor markColour(DiffMark mark, const QPalette &palette)
{
    const bool dark = palette.color(QPalette::Base).lightness() < 128;
    switch (mark) {
    case DiffMark::Added: return dark ? QColor(0x6f, 0xdc, 0x8c) : QColor(0x1a, 0x7f, 0x37);
    case DiffMark::Removed: return dark ? QColor(0xff, 0x81, 0x82) : QColor(0xcf, 0x22, 0x2e);
    case DiffMark::Changed: return dark ? QColor(0xf0, 0xb7, 0x2f) : QColor(0x9a, 0x67, 0x00);
    case DiffMark::Unchanged: break;
    }
    return palette.color(QPalette::Text);
}

DiffMark markOfKind(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Added: return DiffMark::Added;
    case ChangeKind::Removed: return DiffMark::Removed;
    case ChangeKind::Updated: break;
    }
    return DiffMark::Changed;
}

QTreeWidgetItem *markedItem(QTreeWidgetItem *parent, const QString &name, const PropertyListValue &oldValue,
                            const PropertyListValue &newValue, DiffMark mark, const QPalette &palette)
{
    auto *item = new QTreeWidgetItem(parent);
    item->setText(KeyColumn, markText(mark) + name);
    item->setText(OldColumn, HistoryView::valueText(oldValue));
    item->setText(NewColumn, HistoryView::valueText(newValue));
    if (mark != DiffMark::Unchanged) {
        const QColor colour = markColour(mark, palette);
        for (int column = KeyColumn; column <= NewColumn; ++column)
            item->setForeground(column, colour);
    }
    return item;
}

void addNoteRow(QTreeWidgetItem *parent, const QString &text, const QPalette &palette)
{
    auto *item = new QTreeWidgetItem(parent);
    item->setText(KeyColumn, text);
    item->setForeground(KeyColumn, palette.color(QPalette::Disabled, QPalette::Text));
    item->setFirstColumnSpanned(true);
}

} // namespace

HistoryView::HistoryView(HistoryModel *model, QWidget *parent)
    : QWidget(parent), m_model(model), m_filter(new HistoryFilterModel(model, this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);

    auto *filterRow = new QHBoxLayout;
    m_filterField = new QLineEdit(this);
    m_filterField->setObjectName(QStringLiteral("historyFilter"));
    m_filterField->setPlaceholderText(tr("Filter keys"));
    m_filterField->setAccessibleName(tr("Filter keys"));
    m_filterField->setClearButtonEnabled(true);
    m_onlySelectedKey = new QCheckBox(tr("&Only the selected key"), this);
    m_onlySelectedKey->setObjectName(QStringLiteral("historyOnlySelectedKey"));
    filterRow->addWidget(m_filterField, 1);
    filterRow->addWidget(m_onlySelectedKey);
    layout->addLayout(filterRow);

    m_droppedLine = new QLabel(this);
    m_droppedLine->setObjectName(QStringLiteral("historyDropped"));
    m_droppedLine->setWordWrap(true);
    m_droppedLine->hide();
    layout->addWidget(m_droppedLine);

    auto *split = new QSplitter(Qt::Vertical, this);
    split->setChildrenCollapsible(false);
    m_changesView = new QTableView(split);
    m_changesView->setObjectName(QStringLiteral("historyChanges"));
    m_changesView->setAccessibleName(tr("Changes"));
    m_changesView->setModel(m_filter);
    m_changesView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_changesView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_changesView->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    m_changesView->setShowGrid(false);
    m_changesView->setWordWrap(false);
    m_changesView->setAlternatingRowColors(true);
    m_changesView->verticalHeader()->hide();
    m_changesView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_changesView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    // Widths from the texts the columns hold, not from every row.
    QHeaderView *header = m_changesView->horizontalHeader();
    header->setHighlightSections(false);
    header->resizeSection(HistoryModel::TimeColumn,
                          fontMetrics().horizontalAdvance(QStringLiteral("Wed Dec 30 26 00:00:00.000")) + 16);
    header->resizeSection(HistoryModel::KindColumn, fontMetrics().horizontalAdvance(tr("Removed")) + 24);
    header->setStretchLastSection(true);

    m_diffView = new QTreeWidget(split);
    m_diffView->setObjectName(QStringLiteral("historyDiff"));
    m_diffView->setAccessibleName(tr("Value differences"));
    m_diffView->setHeaderLabels({tr("Key"), tr("Old"), tr("New")});
    m_diffView->setUniformRowHeights(true);
    m_diffView->setAlternatingRowColors(true);
    m_diffView->setColumnWidth(KeyColumn, 260);
    m_diffView->setColumnWidth(OldColumn, 220);
    split->addWidget(m_changesView);
    split->addWidget(m_diffView);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    layout->addWidget(split, 1);

    m_filterField->installEventFilter(this);
    connect(m_filterField, &QLineEdit::textChanged, this, [this](const QString &text) { m_filter->setKeyText(text); });
    connect(m_onlySelectedKey, &QCheckBox::toggled, this, [this](bool only) { m_filter->setOnlySelectedKey(only); });
    connect(m_changesView->selectionModel(), &QItemSelectionModel::currentChanged, this, &HistoryView::showDiff);

    // Following the end: new rows keep the end in view when it was; rows
    // dropped above keep the rows in view where they are.
    connect(m_filter, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] { m_followEnd = isAtEnd(); });
    connect(m_filter, &QAbstractItemModel::rowsInserted, this, [this] {
        if (m_followEnd)
            m_changesView->scrollToBottom();
    });
    connect(m_filter, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) {
                m_followEnd = isAtEnd();
                const int top = m_changesView->verticalScrollBar()->value();
                m_removedAbove = first < top ? qMin(last, top - 1) - first + 1 : 0;
            });
    connect(m_filter, &QAbstractItemModel::rowsRemoved, this, [this] {
        QScrollBar *bar = m_changesView->verticalScrollBar();
        if (m_followEnd)
            m_changesView->scrollToBottom();
        else if (m_removedAbove > 0)
            bar->setValue(bar->value() - m_removedAbove);
        m_removedAbove = 0;
    });
    // A new filter shows the selected change if it stays, else the end.
    connect(m_filter, &QAbstractItemModel::layoutChanged, this, [this] {
        const QModelIndex current = m_changesView->currentIndex();
        if (current.isValid())
            m_changesView->scrollTo(current);
        else
            m_changesView->scrollToBottom();
        showDiff();
    });
    connect(m_model, &HistoryModel::changesAppended, this, &HistoryView::updateDroppedLine);
    updateDroppedLine();
    showDiff();
}

HistoryView::~HistoryView() = default;

void HistoryView::setSelectedKey(const QString &key)
{
    m_filter->setSelectedKey(key);
    m_onlySelectedKey->setToolTip(key);
}

const HistoryChange *HistoryView::shownChange() const
{
    const QModelIndex current = m_changesView->currentIndex();
    return current.isValid() ? m_filter->change(current.row()) : nullptr;
}

QString HistoryView::unchangedText(qsizetype count)
{
    return count == 1 ? tr("1 unchanged entry") : tr("%1 unchanged entries").arg(QLocale().toString(count));
}

QString HistoryView::valueText(const PropertyListValue &value)
{
    if (value.isDictionary()) {
        const qsizetype n = value.count();
        return n == 1 ? QStringLiteral("(1 Key/Value pair)") : QStringLiteral("(%1 Key/Value pairs)").arg(n);
    }
    if (value.isArray()) {
        const qsizetype n = value.count();
        return n == 1 ? QStringLiteral("(1 Object)") : QStringLiteral("(%1 Objects)").arg(n);
    }
    if (value.isNone())
        return QString();
    QString text = value.description();
    if (text.size() > MaximumValueText) {
        text.truncate(MaximumValueText);
        text += QChar(0x2026);
    }
    // One line in a row.
    text.replace(u'\n', u' ');
    return text;
}

void HistoryView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shownOnce) {
        m_shownOnce = true;
        m_changesView->scrollToBottom();
    }
}

bool HistoryView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_filterField && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
            QCoreApplication::sendEvent(m_changesView, event);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool HistoryView::isAtEnd() const
{
    const QScrollBar *bar = m_changesView->verticalScrollBar();
    return bar->value() >= bar->maximum();
}

void HistoryView::updateDroppedLine()
{
    const ChangeHistory &history = m_model->history();
    const qint64 dropped = history.droppedCount();
    m_droppedLine->setVisible(dropped > 0);
    if (dropped <= 0)
        return;
    const QLocale locale;
    const QString bounds =
        tr("the history keeps the last %1 changes or %2 of values")
            .arg(locale.toString(qint64(history.maximumEntries())),
                 locale.formattedDataSize(history.maximumValueBytes(), 0, QLocale::DataSizeTraditionalFormat));
    m_droppedLine->setText(dropped == 1
                               ? tr("1 older change was dropped (%1)").arg(bounds)
                               : tr("%1 older changes were dropped (%2)").arg(locale.toString(dropped), bounds));
}

void HistoryView::showDiff()
{
    m_diffView->clear();
    const HistoryChange *change = shownChange();
    if (!change)
        return;
    const QPalette palette = m_diffView->palette();
    const DiffNode tree = diffTree(change->oldValue, change->newValue);
    QTreeWidgetItem *root = markedItem(m_diffView->invisibleRootItem(), change->key, change->oldValue, change->newValue,
                                       markOfKind(change->kind), palette);
    if (change->kind == ChangeKind::Updated && tree.mark == DiffMark::Unchanged)
        addNoteRow(root, tr("The old and new values are the same"), palette);
    else if (change->kind == ChangeKind::Updated)
        addDiffChildren(root, tree);
    else
        addValueEntries(root, change->kind == ChangeKind::Added ? change->newValue : change->oldValue,
                        change->kind == ChangeKind::Added);
    // Only changed entries are listed: every branch there is opened.
    m_diffView->expandAll();
}

void HistoryView::addDiffChildren(QTreeWidgetItem *item, const DiffNode &node)
{
    const QPalette palette = m_diffView->palette();
    for (const DiffNode &child : node.children) {
        QTreeWidgetItem *row = markedItem(item, child.step.text(), child.oldValue, child.newValue, child.mark, palette);
        if (!child.children.isEmpty() || child.unchangedChildren > 0)
            addDiffChildren(row, child);
        else if (child.mark == DiffMark::Added)
            addValueEntries(row, child.newValue, true);
        else if (child.mark == DiffMark::Removed)
            addValueEntries(row, child.oldValue, false);
    }
    if (node.unchangedChildren > 0)
        addNoteRow(item, unchangedText(node.unchangedChildren), palette);
}

void HistoryView::addValueEntries(QTreeWidgetItem *item, const PropertyListValue &value, bool added)
{
    if (!value.isDictionary() && !value.isArray())
        return;
    const QPalette palette = m_diffView->palette();
    const DiffMark mark = added ? DiffMark::Added : DiffMark::Removed;
    qsizetype listed = 0;
    const auto add = [&](const QString &name, const PropertyListValue &entry) {
        QTreeWidgetItem *row = markedItem(item, name, added ? PropertyListValue() : entry,
                                          added ? entry : PropertyListValue(), mark, palette);
        addValueEntries(row, entry, added);
        ++listed;
    };
    if (value.isDictionary()) {
        const PropertyListDictionary &entries = value.dictionary();
        for (auto it = entries.cbegin(); it != entries.cend() && listed < MaximumListedEntries; ++it)
            add(it.key(), it.value());
    } else {
        const PropertyListArray &elements = value.array();
        for (qsizetype i = 0; i < elements.size() && listed < MaximumListedEntries; ++i)
            add(QString::number(i), elements.at(i));
    }
    if (value.count() > listed)
        addNoteRow(item, tr("%1 more entries").arg(QLocale().toString(value.count() - listed)), palette);
}

} // namespace kv::history
