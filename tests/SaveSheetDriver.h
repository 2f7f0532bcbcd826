#pragma once

// Drives a save panel's real file dialog the way a user would: find the
// dialog open on a window, type a name, press Save or Cancel, answer the
// replace question.

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace savesheet {

// The file dialog shown on `window`, or none.
inline QFileDialog *openDialog(QWidget *window)
{
    if (!window)
        return nullptr;
    const QList<QFileDialog *> dialogs = window->findChildren<QFileDialog *>();
    for (QFileDialog *dialog : dialogs) {
        if (dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

inline QLineEdit *nameEdit(QFileDialog *dialog)
{
    return dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
}

inline QPushButton *button(QFileDialog *dialog, QDialogButtonBox::StandardButton which)
{
    auto *box = dialog ? dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox")) : nullptr;
    return box ? box->button(which) : nullptr;
}

// Types `name` into the dialog's name field and clicks Save.
inline bool save(QFileDialog *dialog, const QString &name)
{
    QLineEdit *edit = nameEdit(dialog);
    QPushButton *saveButton = button(dialog, QDialogButtonBox::Save);
    if (!saveButton)
        saveButton = button(dialog, QDialogButtonBox::Open);
    if (!edit || !saveButton) {
        qWarning("save panel: no name field or Save button");
        return false;
    }
    // Typed over the selected proposal, as a user does: the field never
    // goes empty on the way.
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, name);
    if (edit->text() != name) // a completion may have been filled in
        edit->setText(name);
    if (!saveButton->isEnabled()) {
        qWarning("save panel: Save is disabled; text '%s' files %s", qPrintable(edit->text()),
                 qPrintable(dialog->selectedFiles().join(u'|')));
        return false;
    }
    QTest::mouseClick(saveButton, Qt::LeftButton);
    return true;
}

inline bool cancel(QFileDialog *dialog)
{
    QPushButton *cancelButton = button(dialog, QDialogButtonBox::Cancel);
    if (!cancelButton)
        return false;
    QTest::mouseClick(cancelButton, Qt::LeftButton);
    return true;
}

// The visible message box named `objectName` among `parent`'s children.
inline QMessageBox *messageBox(QWidget *parent, const QString &objectName)
{
    if (!parent)
        return nullptr;
    const QList<QMessageBox *> boxes = parent->findChildren<QMessageBox *>(objectName);
    for (QMessageBox *box : boxes) {
        if (box->isVisible())
            return box;
    }
    return nullptr;
}

// Answers the replace question on `dialog`: Replace (true) or Cancel.
inline bool answerReplace(QFileDialog *dialog, bool replace)
{
    QMessageBox *question = messageBox(dialog, QStringLiteral("replaceQuestion"));
    if (!question)
        return false;
    QAbstractButton *answer = question->button(replace ? QMessageBox::Yes : QMessageBox::No);
    if (!answer)
        return false;
    QTest::mouseClick(answer, Qt::LeftButton);
    return true;
}

} // namespace savesheet
