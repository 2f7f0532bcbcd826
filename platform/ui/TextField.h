#pragma once

#include <QLineEdit>

namespace kv::ui {

// A one-line text field. Read-only fields still let the text be selected and copied.
class TextField : public QLineEdit
{
    Q_OBJECT
public:
    explicit TextField(QWidget *parent = nullptr) : QLineEdit(parent) {}

    void setStringValue(const QString &value)
    {
        setText(value);
        setCursorPosition(0);
    }
    QString stringValue() const { return text(); }
    void setEditable(bool editable) { setReadOnly(!editable); }
};

} // namespace kv::ui
