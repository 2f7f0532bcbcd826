#pragma once

#include <QLineEdit>

#include <limits>

namespace kv::ui {

// A one-line text field. Read-only fields still let the text be selected and
// copied. It holds a text of any length (a line edit cuts texts longer than
// 32,767 characters by default).
class TextField : public QLineEdit
{
    Q_OBJECT
public:
    explicit TextField(QWidget *parent = nullptr) : QLineEdit(parent) { setMaxLength(std::numeric_limits<int>::max()); }

    void setStringValue(const QString &value)
    {
        setText(value);
        setCursorPosition(0);
    }
    QString stringValue() const { return text(); }
    void setEditable(bool editable) { setReadOnly(!editable); }
};

} // namespace kv::ui
