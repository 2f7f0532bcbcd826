#include "platform/ui/ApplicationStyle.h"
#include "platform/ui/Bundle.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTest>
#include <QToolBar>

#include <memory>

namespace {

// The icon drawn at `size` logical pixels and `ratio` device pixels per
// pixel, as an image to compare.
QImage drawn(const QIcon &icon, int size, qreal ratio, QIcon::Mode mode = QIcon::Normal)
{
    return icon.pixmap(QSize(size, size), ratio, mode).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage painted(const QIcon &icon, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    icon.paint(&painter, QRect(0, 0, size, size));
    painter.end();
    return image;
}

// Whether an image-format plug-in (GIF, JPEG, SVG, ...) is loaded in this
// process.
bool imageFormatPluginLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    return maps.readAll().contains("/imageformats/");
}

bool imageFormatPluginsInstalled()
{
    for (const QString &path : QCoreApplication::libraryPaths()) {
        if (!QDir(path + QStringLiteral("/imageformats")).entryList(QDir::Files).isEmpty())
            return true;
    }
    return false;
}

} // namespace

class TestApplicationStyle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void barsMadeWithoutImageFormatPlugins();
    void extensionIconsAsTheBaseStyleDrawsThem_data();
    void extensionIconsAsTheBaseStyleDrawsThem();
    void otherIconsAreTheBaseStyles_data();
    void otherIconsAreTheBaseStyles();
    void iconOutlivesItsStyle();
    void installedAroundTheCurrentStyle();
};

void TestApplicationStyle::initTestCase()
{
    // Runs first, before anything in this process reads an image.
    kv::ui::installApplicationStyle();
}

void TestApplicationStyle::barsMadeWithoutImageFormatPlugins()
{
    if (!imageFormatPluginsInstalled())
        QSKIP("no image-format plug-ins installed here");
    QVERIFY(!imageFormatPluginLoaded());
    // What the main window makes at start: a menu bar and a toolbar (each
    // with its extension button) and the application's own PNG images.
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("&File"))->addAction(QStringLiteral("&Quit"));
    QToolBar *toolbar = window.addToolBar(QStringLiteral("Tools"));
    const QIcon image = kv::ui::Bundle::mainBundle().imageNamed(QStringLiteral("TB_Inspector"));
    QVERIFY(!image.isNull());
    toolbar->addAction(image, QStringLiteral("Inspector"));
    QApplication::setWindowIcon(kv::ui::Bundle::mainBundle().imageNamed(QStringLiteral("keyvane")));
    window.resize(600, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!imageFormatPluginLoaded());
    // Squeezed, the bars show their extension buttons, whose icons are made then.
    window.resize(60, 400);
    QCoreApplication::processEvents();
    const QIcon extension = QApplication::style()->standardIcon(QStyle::SP_ToolBarHorizontalExtensionButton);
    QVERIFY(!drawn(extension, 16, 1).isNull());
}

void TestApplicationStyle::extensionIconsAsTheBaseStyleDrawsThem_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("direction");
    QTest::addColumn<bool>("fromWidget");
    QTest::newRow("horizontal") << int(QStyle::SP_ToolBarHorizontalExtensionButton) << int(Qt::LeftToRight) << false;
    QTest::newRow("vertical") << int(QStyle::SP_ToolBarVerticalExtensionButton) << int(Qt::LeftToRight) << false;
    QTest::newRow("horizontal, right to left")
        << int(QStyle::SP_ToolBarHorizontalExtensionButton) << int(Qt::RightToLeft) << false;
    QTest::newRow("vertical, right to left")
        << int(QStyle::SP_ToolBarVerticalExtensionButton) << int(Qt::RightToLeft) << false;
    // The base style mirrors for the application's direction, not the widget's.
    QTest::newRow("horizontal, right-to-left widget")
        << int(QStyle::SP_ToolBarHorizontalExtensionButton) << int(Qt::RightToLeft) << true;
}

void TestApplicationStyle::extensionIconsAsTheBaseStyleDrawsThem()
{
    QFETCH(int, which);
    QFETCH(int, direction);
    QFETCH(bool, fromWidget);
    const auto pixmap = QStyle::StandardPixmap(which);
    const auto layout = Qt::LayoutDirection(direction);
    QStyle *plain = QStyleFactory::create(QStringLiteral("Fusion"));
    QVERIFY(plain);
    kv::ui::ApplicationStyle style(QStyleFactory::create(QStringLiteral("Fusion")));

    QStyleOption option;
    option.direction = layout;
    QWidget widget;
    widget.setLayoutDirection(layout);
    const QStyleOption *asked = fromWidget ? nullptr : &option;
    const QWidget *askedFor = fromWidget ? &widget : nullptr;
    const QIcon expected = plain->standardIcon(pixmap, asked, askedFor);
    const QIcon icon = style.standardIcon(pixmap, asked, askedFor);
    delete plain;

    QVERIFY(!expected.isNull());
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes(), expected.availableSizes());
    QCOMPARE(icon.actualSize(QSize(48, 48)), expected.actualSize(QSize(48, 48)));
    for (const int size : {8, 16, 24, 32}) {
        for (const qreal ratio : {1.0, 2.0}) {
            QCOMPARE(drawn(icon, size, ratio), drawn(expected, size, ratio));
            QCOMPARE(drawn(icon, size, ratio, QIcon::Disabled), drawn(expected, size, ratio, QIcon::Disabled));
        }
        QCOMPARE(painted(icon, size), painted(expected, size));
    }
    // The right-to-left images are mirror images of the others.
    QStyleOption other;
    other.direction = layout == Qt::LeftToRight ? Qt::RightToLeft : Qt::LeftToRight;
    if (pixmap == QStyle::SP_ToolBarHorizontalExtensionButton && !fromWidget)
        QVERIFY(drawn(icon, 16, 1) != drawn(style.standardIcon(pixmap, &other), 16, 1));
    // A copy draws the same.
    const QIcon copy = icon; // NOLINT(performance-unnecessary-copy-initialization)
    QIcon detached = copy;
    detached.detach();
    QCOMPARE(drawn(detached, 16, 1), drawn(icon, 16, 1));
}

void TestApplicationStyle::otherIconsAreTheBaseStyles_data()
{
    QTest::addColumn<int>("which");
    QTest::newRow("message box warning") << int(QStyle::SP_MessageBoxWarning);
    QTest::newRow("dialog save") << int(QStyle::SP_DialogSaveButton);
    QTest::newRow("directory") << int(QStyle::SP_DirIcon);
    QTest::newRow("arrow up") << int(QStyle::SP_ArrowUp);
}

void TestApplicationStyle::otherIconsAreTheBaseStyles()
{
    QFETCH(int, which);
    const auto pixmap = QStyle::StandardPixmap(which);
    std::unique_ptr<QStyle> plain(QStyleFactory::create(QStringLiteral("Fusion")));
    kv::ui::ApplicationStyle style(QStyleFactory::create(QStringLiteral("Fusion")));
    const QIcon expected = plain->standardIcon(pixmap);
    const QIcon icon = style.standardIcon(pixmap);
    QCOMPARE(icon.isNull(), expected.isNull());
    QCOMPARE(drawn(icon, 32, 1), drawn(expected, 32, 1));
}

void TestApplicationStyle::iconOutlivesItsStyle()
{
    QIcon icon;
    {
        kv::ui::ApplicationStyle style(QStyleFactory::create(QStringLiteral("Fusion")));
        icon = style.standardIcon(QStyle::SP_ToolBarVerticalExtensionButton);
    }
    // Its style gone, the icon is the application style's.
    const QIcon expected = QApplication::style()->standardIcon(QStyle::SP_ToolBarVerticalExtensionButton);
    QVERIFY(!icon.isNull());
    QCOMPARE(drawn(icon, 16, 1), drawn(expected, 16, 1));
}

void TestApplicationStyle::installedAroundTheCurrentStyle()
{
    auto *style = qobject_cast<kv::ui::ApplicationStyle *>(QApplication::style());
    QVERIFY(style);
    QVERIFY(style->baseStyle());
    QCOMPARE(style->baseStyle()->name(), QStringLiteral("fusion"));
    // The application's palette and the widgets' look are the base style's.
    QCOMPARE(style->standardPalette(), style->baseStyle()->standardPalette());
    QCOMPARE(style->pixelMetric(QStyle::PM_ToolBarExtensionExtent),
             style->baseStyle()->pixelMetric(QStyle::PM_ToolBarExtensionExtent));
}

QTEST_MAIN(TestApplicationStyle)
#include "tst_applicationstyle.moc"
