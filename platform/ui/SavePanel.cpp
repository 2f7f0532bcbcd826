#include "platform/ui/SavePanel.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace kv::ui {

namespace {

// The file dialog of a save panel: it applies the required file type before
// deciding whether the chosen file exists, and asks about replacing it
// without blocking (the question is window-modal on the dialog).
class SaveSheetDialog : public QFileDialog
{
public:
    SaveSheetDialog(QWidget *parent, const QString &requiredFileType)
        : QFileDialog(parent), m_requiredFileType(requiredFileType)
    {
        setOption(QFileDialog::DontUseNativeDialog, true);
        // Replacing is asked about here, for the name with its required type.
        setOption(QFileDialog::DontConfirmOverwrite, true);
        setAcceptMode(QFileDialog::AcceptSave);
        setFileMode(QFileDialog::AnyFile);
    }

protected:
    void accept() override
    {
        const QStringList files = selectedFiles();
        if (files.isEmpty())
            return;
        const QFileInfo typed(files.first());
        // A directory is opened, not chosen; the dialog itself does that.
        if (typed.isDir() || typed.fileName().isEmpty()) {
            QFileDialog::accept();
            return;
        }
        const QFileInfo target(SavePanel::pathWithRequiredFileType(typed.absoluteFilePath(), m_requiredFileType));
        if (!target.exists() || target.isDir()) {
            QFileDialog::accept();
            return;
        }
        auto *question = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                         tr("“%1” already exists. Do you want to replace it?").arg(target.fileName()),
                                         QMessageBox::Yes | QMessageBox::No, this);
        question->setObjectName(QStringLiteral("replaceQuestion"));
        question->setInformativeText(tr("A file with the same name already exists in “%1”. Replacing it will "
                                        "overwrite its current contents.")
                                         .arg(QDir::toNativeSeparators(target.absolutePath())));
        question->setDefaultButton(QMessageBox::No);
        question->button(QMessageBox::Yes)->setText(tr("&Replace"));
        question->button(QMessageBox::No)->setText(tr("&Cancel"));
        question->setAttribute(Qt::WA_DeleteOnClose);
        connect(question, &QMessageBox::finished, this, [this, question] {
            if (question->clickedButton() == question->button(QMessageBox::Yes))
                QFileDialog::accept();
        });
        question->open();
    }

private:
    QString m_requiredFileType;
};

} // namespace

SavePanel::SavePanel(QObject *parent) : QObject(parent)
{}

SavePanel::~SavePanel()
{
    delete m_dialog.data();
}

QString SavePanel::pathWithRequiredFileType(const QString &path, const QString &type)
{
    if (type.isEmpty() || path.isEmpty())
        return path;
    const QString suffix = u'.' + type;
    if (path.endsWith(suffix, Qt::CaseInsensitive) && QFileInfo(path).fileName().size() > suffix.size())
        return path;
    if (path.endsWith(u'.'))
        return path + type;
    return path + suffix;
}

void SavePanel::beginSheetForDirectory(const QString &directory, const QString &file, QWidget *window,
                                       QObject *modalDelegate, DidEndHandler didEnd, void *contextInfo)
{
    if (m_dialog || m_ended)
        return;
    m_modalDelegate = modalDelegate;
    m_hasModalDelegate = modalDelegate != nullptr;
    m_didEnd = std::move(didEnd);
    m_contextInfo = contextInfo;
    m_filename.clear();

    auto *dialog = new SaveSheetDialog(window, m_requiredFileType);
    m_dialog = dialog;
    dialog->setObjectName(QStringLiteral("savePanel"));
    dialog->setWindowTitle(tr("Save"));
    if (!m_requiredFileType.isEmpty()) {
        dialog->setNameFilters({tr("Property lists (*.%1)").arg(m_requiredFileType), tr("All files (*)")});
    }
    if (!directory.isEmpty())
        dialog->setDirectory(directory);
    QString proposed = file;
    if (!m_extensionHidden)
        proposed = pathWithRequiredFileType(proposed, m_requiredFileType);
    if (!proposed.isEmpty())
        dialog->selectFile(proposed);
    connect(dialog, &QDialog::finished, this, &SavePanel::finish);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->open();
}

void SavePanel::finish(int result)
{
    if (m_ended)
        return;
    m_ended = true;
    const int returnCode = result == QDialog::Accepted ? OK : Cancel;
    if (returnCode == OK && m_dialog) {
        const QStringList files = m_dialog->selectedFiles();
        if (!files.isEmpty() && !files.first().isEmpty())
            m_filename = pathWithRequiredFileType(QFileInfo(files.first()).absoluteFilePath(), m_requiredFileType);
    }
    if (m_dialog)
        m_dialog->deleteLater();
    if (m_hasModalDelegate && !m_modalDelegate)
        return;
    if (m_didEnd) {
        // The handler may delete the panel: call a copy.
        const DidEndHandler handler = m_didEnd;
        handler(this, returnCode, m_contextInfo);
    }
}

} // namespace kv::ui
