#include "find/ui/GoToKeyBar.h"

#include "find/KeyCompletion.h"
#include "find/ui/FindBar.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringListModel>
#include <QStyle>
#include <QToolButton>

namespace kv::find {

GoToKeyBar::GoToKeyBar(std::function<const QStringList &()> keys, std::function<bool(const QString &)> selectKey,
                       QWidget *parent)
    : QWidget(parent), m_keys(std::move(keys)), m_selectKey(std::move(selectKey)), m_field(new QLineEdit(this)),
      m_status(new QLabel(this)), m_completer(new QCompleter(this)), m_completions(new QStringListModel(this))
{
    setObjectName(QStringLiteral("goToKeyBar"));
    m_field->setObjectName(QStringLiteral("goToKeyField"));
    m_field->setPlaceholderText(tr("Key, completed piece by piece"));
    m_field->setAccessibleName(tr("Go to key"));
    m_field->setClearButtonEnabled(true);
    m_field->installEventFilter(this);
    m_status->setObjectName(QStringLiteral("goToKeyStatus"));
    // The completions are made for what is typed; the completer shows them as they are.
    m_completer->setModel(m_completions);
    m_completer->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
    m_completer->setCaseSensitivity(Qt::CaseSensitive);
    m_completer->setMaxVisibleItems(12);
    m_field->setCompleter(m_completer);
    auto *close = new QToolButton(this);
    close->setObjectName(QStringLiteral("goToKeyClose"));
    close->setAutoRaise(true);
    close->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    close->setAccessibleName(tr("Close"));
    close->setFocusPolicy(Qt::NoFocus);

    auto *label = new QLabel(tr("&Go to key:"), this);
    label->setBuddy(m_field);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(label);
    layout->addWidget(m_field, 1);
    layout->addWidget(m_status);
    layout->addWidget(close);

    connect(m_field, &QLineEdit::textEdited, this, &GoToKeyBar::complete);
    // A completion chosen from the list is typed on from: offer what follows it.
    connect(m_completer, qOverload<const QString &>(&QCompleter::activated), this, &GoToKeyBar::complete);
    connect(m_field, &QLineEdit::returnPressed, this, &GoToKeyBar::go);
    connect(close, &QToolButton::clicked, this, &QWidget::hide);
}

void GoToKeyBar::activate()
{
    show();
    m_status->clear();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

bool GoToKeyBar::go()
{
    // Selecting tells whether the key is listed.
    const QString key = m_field->text();
    if (!m_selectKey || !m_selectKey(key)) {
        m_status->setStyleSheet(QStringLiteral("color: %1").arg(warningColor(palette()).name()));
        m_status->setText(key.isEmpty() ? tr("Type a key") : tr("No such key"));
        return false;
    }
    m_status->clear();
    hide();
    return true;
}

void GoToKeyBar::complete(const QString &typed)
{
    m_status->clear();
    static const QStringList none;
    m_completions->setStringList(keyCompletions(m_keys ? m_keys() : none, typed));
    if (m_field->hasFocus() && m_completions->rowCount() > 0)
        m_completer->complete();
}

bool GoToKeyBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape && !m_completer->popup()->isVisible()) {
        hide();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kv::find
