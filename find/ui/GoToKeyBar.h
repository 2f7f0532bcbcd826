#pragma once

// Go to a key: a field that completes the key piece by piece from the key
// list, as a shell completes paths; Enter selects the key in the browser and
// shows its value, and an unknown key is said so in the bar, changing
// nothing.

#include <QStringList>
#include <QWidget>

#include <functional>

class QCompleter;
class QLabel;
class QLineEdit;
class QStringListModel;

namespace kv::find {

class GoToKeyBar : public QWidget
{
    Q_OBJECT
public:
    // `keys`: the sorted key list; `selectKey`: selects a key and shows it.
    GoToKeyBar(std::function<const QStringList &()> keys, std::function<bool(const QString &key)> selectKey,
               QWidget *parent = nullptr);

    QLineEdit *field() const { return m_field; }
    QCompleter *completer() const { return m_completer; }
    // Shows the bar with its field focused and its text selected.
    void activate();
    // Goes to the key in the field: false (and said in the bar) when there is
    // no such key.
    bool go();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void complete(const QString &typed);

    std::function<const QStringList &()> m_keys;
    std::function<bool(const QString &)> m_selectKey;
    QLineEdit *m_field;
    QLabel *m_status;
    QCompleter *m_completer;
    QStringListModel *m_completions;
};

} // namespace kv::find
