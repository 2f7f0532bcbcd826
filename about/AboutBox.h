#pragma once

// The About panel: the application's name, version and build, copyright line
// and credits. One AboutBox exists per process, made on first use; its panel
// comes from the interface description "AboutBox", loaded the first time the
// panel is shown (and tried again next time if that load fails).

#include <QObject>
#include <QString>

class QTextBrowser;

namespace kv::ui {
class TextField;
class Window;
} // namespace kv::ui

class AboutBox : public QObject
{
    Q_OBJECT
public:
    // The one AboutBox, made if there is none yet.
    static AboutBox *sharedInstance();
    // Making an AboutBox: gives the existing one if there is one, so that
    // the process never holds two.
    static AboutBox *init();
    ~AboutBox() override;

    // --- Fields, filled in by the interface description ----------------
    kv::ui::TextField *appNameField = nullptr;
    // Also the mark that the interface description has been loaded.
    QTextBrowser *creditView = nullptr;
    kv::ui::Window *infoPanel = nullptr;
    kv::ui::TextField *legalTextField = nullptr;
    kv::ui::TextField *versionField = nullptr;

    // Shows the panel, loading it first if need be: centred when it was not
    // on screen, brought to the front and made key.
    void showAboutBox();
    // Loads the interface description and fills the widgets.
    void loadAboutBox();
    // Takes the panel off the screen (the action of the panel's button).
    void orderOut(QObject *sender);

    // Registers the interface description "AboutBox" with the main bundle:
    // it builds the panel and fills the owner's fields. Done when the first
    // AboutBox is made.
    static void registerInterface();

    // Fills a printf-style format's "%s" (or "%1$s", "%2$s") with the short
    // version and then the build number, as plain text; "%%" gives "%".
    static QString versionLine(const QString &format, const QString &shortVersion, const QString &buildNumber);

private:
    AboutBox();
    // Lets the one AboutBox go (with its panel) while the application's
    // widgets still work.
    static void releaseSharedInstance();
    static AboutBox *s_sharedInstance;
};
