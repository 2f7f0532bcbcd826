#pragma once

#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace kv::ui {

// A save panel shown as a sheet: a file dialog, modal for one window only,
// that reports its end to a handler. A name without the required file type
// gets it appended ("foo" and "foo.txt" become "foo.plist" and
// "foo.txt.plist"). Choosing a file that already exists asks whether to
// replace it (a window-modal question on the panel); "No" returns to the panel.
class SavePanel : public QObject
{
    Q_OBJECT
public:
    // Return codes given to the end handler.
    enum ReturnCode { Cancel = 0, OK = 1 };
    using DidEndHandler = std::function<void(SavePanel *panel, int returnCode, void *contextInfo)>;

    explicit SavePanel(QObject *parent = nullptr);
    ~SavePanel() override;

    // A new panel with the default settings; the caller owns it.
    static SavePanel *savePanel(QObject *parent = nullptr) { return new SavePanel(parent); }

    // Hidden: the proposed name is shown without the required file type.
    void setExtensionHidden(bool hidden) { m_extensionHidden = hidden; }
    bool isExtensionHidden() const { return m_extensionHidden; }
    // The extension every chosen name carries, without the dot ("plist");
    // empty for none.
    void setRequiredFileType(const QString &type) { m_requiredFileType = type; }
    QString requiredFileType() const { return m_requiredFileType; }

    // Opens the panel in `directory`, proposing the name `file`, modal for
    // `window` only, and returns at once. When the user saves or cancels, the
    // panel closes and `didEnd` is called once, from the event loop, with
    // OK or Cancel and `contextInfo` -- unless `modalDelegate` was given and
    // has been destroyed by then. A panel is begun once.
    void beginSheetForDirectory(const QString &directory, const QString &file, QWidget *window, QObject *modalDelegate,
                                DidEndHandler didEnd, void *contextInfo);

    // The chosen path, with the required file type; empty until the user
    // saved.
    QString filename() const { return m_filename; }
    // The chosen path as a file URL; empty when there is none.
    QUrl url() const { return m_filename.isEmpty() ? QUrl() : QUrl::fromLocalFile(m_filename); }

    // The file dialog while it exists (made by beginSheetForDirectory).
    QFileDialog *dialog() const { return m_dialog; }

    // `path` with `type` appended unless its name already ends in ".type"
    // (compared without regard to case); a trailing "." is not doubled.
    static QString pathWithRequiredFileType(const QString &path, const QString &type);

private:
    void finish(int result);

    bool m_extensionHidden = true;
    QString m_requiredFileType;
    QString m_filename;
    QPointer<QFileDialog> m_dialog;
    QPointer<QObject> m_modalDelegate;
    bool m_hasModalDelegate = false;
    DidEndHandler m_didEnd;
    void *m_contextInfo = nullptr;
    bool m_ended = false;
};

} // namespace kv::ui
