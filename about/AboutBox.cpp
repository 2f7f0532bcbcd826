#include "about/AboutBox.h"

#include "platform/SystemLog.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

AboutBox *AboutBox::s_sharedInstance = nullptr;

namespace {

const QString InterfaceName = QStringLiteral("AboutBox");
const QString CreditsFontFamily = QStringLiteral("Lucida Grande");
constexpr qreal CreditsFontSize = 11.0;

kv::ui::TextField *makeLabelField(QWidget *parent, const QString &name, qreal pointSizeFactor, bool bold)
{
    auto *field = new kv::ui::TextField(parent);
    field->setObjectName(name);
    field->setEditable(false);
    field->setFrame(false);
    field->setAlignment(Qt::AlignHCenter);
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    field->setPalette(palette);
    QFont font = field->font();
    if (pointSizeFactor != 1.0 && font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * pointSizeFactor);
    font.setBold(bold);
    field->setFont(font);
    return field;
}

// The interface description "AboutBox": builds the panel and its widgets and
// hands them to the owner's fields.
bool loadAboutBoxInterface(QObject *owner)
{
    auto *box = qobject_cast<AboutBox *>(owner);
    if (!box)
        return false;
    const QString appName =
        kv::ui::Bundle::mainBundle().localInfoDictionary().value(QStringLiteral("CFBundleName")).toString();

    auto *panel = new kv::ui::Window(kv::ui::Window::Style::Panel);
    panel->setObjectName(QStringLiteral("infoPanel"));
    panel->setWindowTitle(QCoreApplication::translate("AboutBox", "About %1").arg(appName));
    auto *content = new QWidget(panel);
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(20, 16, 20, 12);
    layout->setSpacing(6);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto *icon = new QLabel(content);
    icon->setObjectName(QStringLiteral("applicationIcon"));
    icon->setAlignment(Qt::AlignHCenter);
    const QIcon image = kv::ui::Bundle::mainBundle().imageNamed(QStringLiteral("keyvane"));
    if (!image.isNull())
        icon->setPixmap(image.pixmap(QSize(64, 64), panel->devicePixelRatio()));
    icon->setAccessibleName(QCoreApplication::translate("AboutBox", "Application icon"));
    layout->addWidget(icon);

    kv::ui::TextField *nameField = makeLabelField(content, QStringLiteral("appNameField"), 1.6, true);
    nameField->setAccessibleName(QCoreApplication::translate("AboutBox", "Application name"));
    layout->addWidget(nameField);
    kv::ui::TextField *versionField = makeLabelField(content, QStringLiteral("versionField"), 1.0, false);
    versionField->setAccessibleName(QCoreApplication::translate("AboutBox", "Version"));
    layout->addWidget(versionField);

    auto *credits = new QTextBrowser(content);
    credits->setObjectName(QStringLiteral("creditView"));
    credits->setAccessibleName(QCoreApplication::translate("AboutBox", "Credits"));
    credits->setFixedSize(360, 170);
    credits->setOpenExternalLinks(true);
    layout->addWidget(credits);

    kv::ui::TextField *legalField = makeLabelField(content, QStringLiteral("legalTextField"), 0.9, false);
    legalField->setAccessibleName(QCoreApplication::translate("AboutBox", "Copyright"));
    layout->addWidget(legalField);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, content);
    QPushButton *close = buttons->button(QDialogButtonBox::Close);
    close->setDefault(true);
    QObject::connect(close, &QPushButton::clicked, box, [box, close] { box->orderOut(close); });
    layout->addWidget(buttons);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), panel);
    QObject::connect(escape, &QShortcut::activated, box, [box, escape] { box->orderOut(escape); });

    panel->setCentralWidget(content);
    // Settle the size now, so that the panel can be centred before it is
    // first shown.
    panel->ensurePolished();
    layout->activate();
    panel->adjustSize();

    box->appNameField = nameField;
    box->creditView = credits;
    box->infoPanel = panel;
    box->legalTextField = legalField;
    box->versionField = versionField;
    return true;
}

// The credits file read as HTML.
void readCredits(QTextDocument &text, const QString &path)
{
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray data = file.readAll();
    QStringDecoder decoder(QStringConverter::encodingForHtml(data).value_or(QStringConverter::Utf8));
    const QString html = decoder.decode(data);
    text.setBaseUrl(path.startsWith(u':') ? QUrl(QStringLiteral("qrc") + path) : QUrl::fromLocalFile(path));
    text.setHtml(html);
}

// Over the whole text: one font (family, size, weight and slant; colours,
// links and underlines stay as read).
void setCreditsFont(QTextDocument &text)
{
    static const QTextFormat::Property fontProperties[] = {
        QTextFormat::FontFamily,         QTextFormat::FontFamilies,          QTextFormat::FontStyleName,
        QTextFormat::FontPixelSize,      QTextFormat::FontSizeAdjustment,    QTextFormat::FontFixedPitch,
        QTextFormat::FontStyleHint,      QTextFormat::FontStyleStrategy,     QTextFormat::FontStretch,
        QTextFormat::FontLetterSpacing,  QTextFormat::FontLetterSpacingType, QTextFormat::FontWordSpacing,
        QTextFormat::FontCapitalization, QTextFormat::FontKerning,           QTextFormat::FontHintingPreference,
    };
    // Collected first: changing formats merges and splits fragments.
    struct Run
    {
        int position;
        int length;
        QTextCharFormat format;
    };
    QList<Run> runs;
    for (QTextBlock block = text.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.isValid())
                runs.append({fragment.position(), fragment.length(), fragment.charFormat()});
        }
    }
    QTextCursor cursor(&text);
    for (Run &run : runs) {
        for (QTextFormat::Property property : fontProperties)
            run.format.clearProperty(property);
        run.format.setFontFamilies({CreditsFontFamily});
        run.format.setFontPointSize(CreditsFontSize);
        run.format.setFontWeight(QFont::Normal);
        run.format.setFontItalic(false);
        cursor.setPosition(run.position);
        cursor.setPosition(run.position + run.length, QTextCursor::KeepAnchor);
        cursor.setCharFormat(run.format);
    }
    // Text typed at the end of a block and empty blocks take the same font.
    QFont font(CreditsFontFamily);
    font.setPointSizeF(CreditsFontSize);
    text.setDefaultFont(font);
}

// Over the whole text: the default paragraph style (no alignment, margins,
// indents or line spacing of the HTML's own; lists and headings stay).
void setCreditsParagraphStyle(QTextDocument &text, const QTextBlockFormat &style)
{
    static const QTextFormat::Property paragraphProperties[] = {
        QTextFormat::BlockAlignment,    QTextFormat::BlockTopMargin,
        QTextFormat::BlockBottomMargin, QTextFormat::BlockLeftMargin,
        QTextFormat::BlockRightMargin,  QTextFormat::TextIndent,
        QTextFormat::BlockIndent,       QTextFormat::LineHeight,
        QTextFormat::LineHeightType,    QTextFormat::BlockNonBreakableLines,
        QTextFormat::TabPositions,      QTextFormat::LayoutDirection,
    };
    for (QTextBlock block = text.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        for (QTextFormat::Property property : paragraphProperties) {
            if (style.hasProperty(property))
                format.setProperty(property, style.property(property));
            else
                format.clearProperty(property);
        }
        QTextCursor cursor(block);
        cursor.setBlockFormat(format);
    }
}

} // namespace

AboutBox::AboutBox() = default;

AboutBox::~AboutBox()
{
    delete infoPanel;
    if (s_sharedInstance == this)
        s_sharedInstance = nullptr;
}

void AboutBox::releaseSharedInstance()
{
    delete s_sharedInstance;
}

AboutBox *AboutBox::sharedInstance()
{
    if (s_sharedInstance)
        return s_sharedInstance;
    return init();
}

AboutBox *AboutBox::init()
{
    if (s_sharedInstance)
        return s_sharedInstance;
    s_sharedInstance = new AboutBox;
    static bool registered = false;
    if (!registered) {
        registered = true;
        registerInterface();
        // The panel goes before the application's widgets do.
        qAddPostRoutine(releaseSharedInstance);
    }
    return s_sharedInstance;
}

void AboutBox::registerInterface()
{
    kv::ui::Bundle::mainBundle().registerInterface(InterfaceName, loadAboutBoxInterface);
}

QString AboutBox::versionLine(const QString &format, const QString &shortVersion, const QString &buildNumber)
{
    const QString arguments[] = {shortVersion, buildNumber};
    QString line;
    int next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c != u'%' || i + 1 >= format.size()) {
            line.append(c);
            continue;
        }
        const QChar d = format.at(i + 1);
        if (d == u'%') {
            line.append(u'%');
            ++i;
        } else if (d == u's') {
            if (next < 2)
                line.append(arguments[next++]);
            ++i;
        } else if ((d == u'1' || d == u'2') && i + 3 < format.size() && format.at(i + 2) == u'$'
                   && format.at(i + 3) == u's') {
            line.append(arguments[d == u'1' ? 0 : 1]);
            i += 3;
        } else {
            line.append(c);
        }
    }
    return line;
}

void AboutBox::showAboutBox()
{
    if (!creditView)
        loadAboutBox();
    if (!infoPanel)
        return;
    // A panel already on screen keeps the place the user gave it.
    if (!infoPanel->isVisible())
        infoPanel->center();
    infoPanel->makeKeyAndOrderFront(this);
}

void AboutBox::orderOut(QObject *)
{
    if (infoPanel)
        infoPanel->orderOut(this);
}

void AboutBox::loadAboutBox()
{
    kv::ui::Bundle &bundle = kv::ui::Bundle::mainBundle();

    // Without the interface there are no widgets: the steps below then change
    // nothing, and the next request tries the load again.
    if (!bundle.loadNibNamed(InterfaceName, this)) {
        kv::systemLog(QStringLiteral("Failed to load AboutBox.nib"));
        kv::ui::beep();
    }

    const QTextBlockFormat defaultParagraphStyle;
    QTextDocument credits;
    readCredits(credits, bundle.pathForResource(QStringLiteral("AboutBox"), QStringLiteral("html")));
    // One font and the default paragraph style over the whole text, whatever
    // the HTML asked for; characters the font lacks are drawn with a font
    // that has them.
    setCreditsFont(credits);
    setCreditsParagraphStyle(credits, defaultParagraphStyle);

    if (creditView) {
        creditView->setDocument(credits.clone(creditView));
        // Read-only, over the panel's own background; links can be clicked.
        creditView->setReadOnly(true);
        kv::ui::setScrollAreaDrawsBackground(creditView, false);
    }

    // The values that the current translation gives.
    const QVariantMap localInfo = bundle.localInfoDictionary();
    if (appNameField)
        appNameField->setStringValue(localInfo.value(QStringLiteral("CFBundleName")).toString());
    if (legalTextField)
        legalTextField->setStringValue(localInfo.value(QStringLiteral("NSHumanReadableCopyright")).toString());
    if (versionField) {
        const QString build = bundle.infoDictionary().value(QStringLiteral("CFBundleVersion")).toString();
        const QString shortVersion = localInfo.value(QStringLiteral("CFBundleShortVersionString")).toString();
        const QString format = bundle.localizedStringForKey(QStringLiteral("Version %s (v%s)"), QString(""), QString());
        versionField->setStringValue(versionLine(format, shortVersion, build));
    }
    if (infoPanel)
        infoPanel->setExcludedFromWindowsMenu(true);
}
