#include "platform/ui/Bundle.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

namespace {

QImage drawn(const QIcon &icon, int size, qreal ratio)
{
    return icon.pixmap(QSize(size, size), ratio).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// A 2x2 image of one colour in `format`, as file bytes.
QByteArray encoded(const char *format, QColor colour)
{
    QImage image(2, 2, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestBundle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { kv::ui::Bundle::mainBundle().setResourceOverrideDirectory(QString()); }
    void builtInImages_data();
    void builtInImages();
    void imagesFromTheOverrideDirectory();
};

void TestBundle::builtInImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<QSize>>("sizes");
    const QList<QSize> toolbar{QSize(32, 32), QSize(64, 64)};
    QTest::newRow("inspector") << QStringLiteral("TB_Inspector") << toolbar;
    QTest::newRow("console") << QStringLiteral("TB_Console") << toolbar;
    QTest::newRow("export") << QStringLiteral("TB_Export") << toolbar;
    QTest::newRow("reload") << QStringLiteral("TB_Reload") << toolbar;
    QTest::newRow("application") << QStringLiteral("keyvane") << QList<QSize>{QSize(128, 128)};
    QTest::newRow("absent") << QStringLiteral("TB_Nothing") << QList<QSize>{};
}

void TestBundle::builtInImages()
{
    QFETCH(QString, name);
    QFETCH(QList<QSize>, sizes);
    const QIcon icon = kv::ui::Bundle::mainBundle().imageNamed(name);
    QCOMPARE(icon.isNull(), sizes.isEmpty());
    QCOMPARE(icon.availableSizes(), sizes);
    if (sizes.isEmpty())
        return;
    // Drawn as an icon read from the files with Qt's own detection would be.
    QIcon reference(QStringLiteral(":/images/%1.png").arg(name));
    if (sizes.size() > 1)
        reference.addFile(QStringLiteral(":/images/%1@2x.png").arg(name));
    for (const qreal ratio : {1.0, 2.0}) {
        const QImage image = drawn(icon, 32, ratio);
        QCOMPARE(image.size(), QSize(32, 32) * (sizes.size() > 1 || sizes.first().width() >= 64 ? ratio : 1.0));
        QCOMPARE(image, drawn(reference, 32, ratio));
    }
    // On a dense screen the @2x image is drawn, not the 1x one scaled up.
    if (sizes.size() > 1) {
        const QImage dense =
            QImage(QStringLiteral(":/images/%1@2x.png").arg(name)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(drawn(icon, 32, 2.0), dense);
        QCOMPARE(icon.pixmap(QSize(32, 32), 2.0).devicePixelRatio(), 2.0);
    }
}

void TestBundle::imagesFromTheOverrideDirectory()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QVERIFY(writeFile(directory.filePath(QStringLiteral("red.png")), encoded("PNG", Qt::red)));
    QVERIFY(writeFile(directory.filePath(QStringLiteral("green.png")), encoded("PNG", Qt::green)));
    QVERIFY(writeFile(directory.filePath(QStringLiteral("green@2x.png")), encoded("PNG", Qt::blue)));
    // Not PNG data behind a PNG name: no image, as before.
    QVERIFY(writeFile(directory.filePath(QStringLiteral("notpng.png")), encoded("BMP", Qt::red)));
    QVERIFY(writeFile(directory.filePath(QStringLiteral("TB_Inspector.png")), encoded("PNG", Qt::yellow)));
    kv::ui::Bundle &bundle = kv::ui::Bundle::mainBundle();
    bundle.setResourceOverrideDirectory(directory.path());

    const QImage red = drawn(bundle.imageNamed(QStringLiteral("red")), 2, 1);
    QCOMPARE(red.pixelColor(0, 0), QColor(Qt::red));
    const QIcon green = bundle.imageNamed(QStringLiteral("green"));
    QCOMPARE(drawn(green, 2, 1).pixelColor(1, 1), QColor(Qt::green));
    QCOMPARE(drawn(green, 2, 2).pixelColor(1, 1), QColor(Qt::blue));
    QVERIFY(bundle.imageNamed(QStringLiteral("notpng")).isNull());
    // The override comes before the built-in image of the same name.
    QCOMPARE(drawn(bundle.imageNamed(QStringLiteral("TB_Inspector")), 2, 1).pixelColor(0, 0), QColor(Qt::yellow));
    // Names the override directory lacks come from the built-in images.
    QCOMPARE(bundle.imageNamed(QStringLiteral("TB_Console")).availableSizes(),
             (QList<QSize>{QSize(32, 32), QSize(64, 64)}));
}

QTEST_MAIN(TestBundle)
#include "tst_bundle.moc"
