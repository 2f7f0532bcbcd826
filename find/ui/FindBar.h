#pragma once

// The find bar: a field, the options beside it (match case, regular
// expression, where to look) and what the search found, shown between the
// toolbar and the browser. It only edits and reports; the search is its
// owner's.

#include "find/FindQuery.h"

#include <QColor>
#include <QPalette>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace kv::find {

// A red for warnings that is legible on the palette's window colour.
QColor warningColor(const QPalette &palette);

class FindBar : public QWidget
{
    Q_OBJECT
public:
    explicit FindBar(QWidget *parent = nullptr);

    QString text() const;
    FindOptions options() const;
    void setOptions(const FindOptions &options);
    QLineEdit *field() const { return m_field; }

    // What the search found ("12 of 4,318 keys"; "Searching…" while it runs),
    // or why the text cannot be searched for (an invalid expression).
    void showCount(qsizetype hits, qsizetype keys, bool searching);
    void showError(const QString &error);

    // Shows the bar with its field focused and its text selected.
    void activate();

Q_SIGNALS:
    // The text or an option changed.
    void queryChanged();
    // Up or Down in the field: move through the results by `step`.
    void moveRequested(int step);
    // Enter: done, keep the selected result; Escape or the close button: done.
    void accepted();
    void dismissed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_field;
    QCheckBox *m_matchCase;
    QCheckBox *m_regularExpression;
    QComboBox *m_scope;
    QLabel *m_status;
    QToolButton *m_close;
};

} // namespace kv::find
