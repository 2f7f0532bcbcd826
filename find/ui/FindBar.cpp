#include "find/ui/FindBar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QStyle>
#include <QToolButton>

namespace kv::find {

QColor warningColor(const QPalette &palette)
{
    // A red that reads on the window's background, light or dark.
    return palette.color(QPalette::Window).lightness() < 128 ? QColor(255, 138, 128) : QColor(176, 0, 32);
}

FindBar::FindBar(QWidget *parent)
    : QWidget(parent), m_field(new QLineEdit(this)), m_matchCase(new QCheckBox(tr("Match &case"), this)),
      m_regularExpression(new QCheckBox(tr("Regular e&xpression"), this)), m_scope(new QComboBox(this)),
      m_status(new QLabel(this)), m_close(new QToolButton(this))
{
    setObjectName(QStringLiteral("findBar"));
    m_field->setObjectName(QStringLiteral("findField"));
    m_field->setPlaceholderText(tr("Find keys"));
    m_field->setAccessibleName(tr("Find"));
    m_field->setClearButtonEnabled(true);
    m_field->installEventFilter(this);
    m_scope->setObjectName(QStringLiteral("findScope"));
    m_scope->setAccessibleName(tr("Look in"));
    m_scope->addItem(tr("Keys"));
    m_scope->addItem(tr("Keys and values"));
    m_status->setObjectName(QStringLiteral("findStatus"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_close->setObjectName(QStringLiteral("findClose"));
    m_close->setAutoRaise(true);
    m_close->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    m_close->setAccessibleName(tr("Close the find bar"));
    m_close->setFocusPolicy(Qt::NoFocus);

    auto *label = new QLabel(tr("&Find:"), this);
    label->setBuddy(m_field);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(label);
    layout->addWidget(m_field, 1);
    layout->addWidget(m_matchCase);
    layout->addWidget(m_regularExpression);
    layout->addWidget(m_scope);
    layout->addWidget(m_status);
    layout->addWidget(m_close);

    connect(m_field, &QLineEdit::textChanged, this, &FindBar::queryChanged);
    connect(m_matchCase, &QCheckBox::toggled, this, &FindBar::queryChanged);
    connect(m_regularExpression, &QCheckBox::toggled, this, &FindBar::queryChanged);
    connect(m_scope, &QComboBox::currentIndexChanged, this, &FindBar::queryChanged);
    connect(m_field, &QLineEdit::returnPressed, this, &FindBar::accepted);
    connect(m_close, &QToolButton::clicked, this, &FindBar::dismissed);
}

QString FindBar::text() const
{
    return m_field->text();
}

FindOptions FindBar::options() const
{
    FindOptions options;
    options.matchCase = m_matchCase->isChecked();
    options.regularExpression = m_regularExpression->isChecked();
    options.scope = m_scope->currentIndex() == 1 ? FindOptions::Scope::KeysAndValues : FindOptions::Scope::Keys;
    return options;
}

void FindBar::setOptions(const FindOptions &options)
{
    const QSignalBlocker blockCase(m_matchCase), blockExpression(m_regularExpression), blockScope(m_scope);
    m_matchCase->setChecked(options.matchCase);
    m_regularExpression->setChecked(options.regularExpression);
    m_scope->setCurrentIndex(options.scope == FindOptions::Scope::KeysAndValues ? 1 : 0);
}

void FindBar::showCount(qsizetype hits, qsizetype keys, bool searching)
{
    m_status->setStyleSheet(QString());
    const QLocale locale;
    const QString count = tr("%1 of %2 keys").arg(locale.toString(hits), locale.toString(keys));
    m_status->setText(searching ? tr("%1 (searching…)").arg(count) : count);
}

void FindBar::showError(const QString &error)
{
    m_status->setStyleSheet(QStringLiteral("color: %1").arg(warningColor(palette()).name()));
    m_status->setText(error);
}

void FindBar::activate()
{
    show();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Up: Q_EMIT moveRequested(-1); return true;
        case Qt::Key_Down: Q_EMIT moveRequested(1); return true;
        case Qt::Key_PageUp: Q_EMIT moveRequested(-10); return true;
        case Qt::Key_PageDown: Q_EMIT moveRequested(10); return true;
        case Qt::Key_Escape: Q_EMIT dismissed(); return true;
        default: break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kv::find
