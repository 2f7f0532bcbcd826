// Copy in the main window: Edit ▸ Copy copies what the focused widget shows,
// and the browser's and value tree's context menus copy a row's key, a
// value, its entry path or the value as a property list.

#include "app/EditCommands.h"
#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "commands/Clipboard.h"
#include "inspector/KVNItem.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Window.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeData>
#include <QtTest>

using kv::PropertyListValue;

class TestEditCommands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        engine = std::make_unique<kv::StoreEngine>();
        kv::StoreEngine::setInstance(engine.get());
        kv::PropertyListDictionary ipv4;
        ipv4.insert(QStringLiteral("Addresses"),
                    PropertyListValue::fromArray({PropertyListValue::fromString(QStringLiteral("192.168.1.20"))}));
        ipv4.insert(QStringLiteral("Active"), PropertyListValue::fromBoolean(true));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth0/IPv4"), PropertyListValue::fromDictionary(ipv4));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth0/Odd"),
                         PropertyListValue::fromString(QString(QStringLiteral("bell")) + QChar(7)));
        controller = std::make_unique<KVNController>();
        ui = kv::app::loadMainInterface(controller.get());
        controller->awakeFromNib();
        ui->mainWindow->show();
        QVERIFY(QTest::qWaitForWindowActive(ui->mainWindow.get()));
        QGuiApplication::clipboard()->clear();
    }

    void cleanup()
    {
        ui.reset();
        controller.reset();
        kv::StoreEngine::setInstance(nullptr);
        engine.reset();
    }

    void browserRowKeys_data()
    {
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("copied");
        QTest::newRow("a domain") << QStringList{"State"} << "State:";
        QTest::newRow("an intermediate row")
            << QStringList{"State", "Network", "Interface"} << "State:/Network/Interface";
        QTest::newRow("a key") << QStringList{"State", "Network", "Interface", "eth0", "IPv4"}
                               << "State:/Network/Interface/eth0/IPv4";
    }

    // Edit ▸ Copy in the browser copies the selected row's key, or the
    // path that leads to an intermediate row.
    void browserRowKeys()
    {
        QFETCH(QStringList, titles);
        QFETCH(QString, copied);
        const QString separator = controller->kvnBrowser->pathSeparator();
        QVERIFY(controller->kvnBrowser->setPath(separator + titles.join(separator)));
        controller->kvnBrowser->columnView(titles.size() - 1)->setFocus();
        ui->editCommands->copyAction()->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    }

    void valueTreeCopies()
    {
        QVERIFY(controller->selectKey(QStringLiteral("State:/Network/Interface/eth0/IPv4")));
        kv::ui::OutlineView *tree = controller->kvnOutlineView;
        // Rows: Root, Active, Addresses, 0 (all expanded).
        kv::ui::OutlineItem address = tree->itemAtRow(3);
        QCOMPARE(tree->textAt(3, 2), QStringLiteral("192.168.1.20"));
        kv::app::EditCommands &edit = *ui->editCommands;
        edit.copyValue(address);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("192.168.1.20"));
        edit.copyEntryPath(address);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("State:/Network/Interface/eth0/IPv4 › Addresses › 0"));
        edit.copyAsPropertyList(tree->itemAtRow(0));
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QVERIFY(data->hasFormat(kv::commands::PropertyListMimeType));
        QString error;
        QCOMPARE(kv::readPropertyList(data->data(kv::commands::PropertyListMimeType), &error),
                 controller->selectedKeyContents);
        // Edit ▸ Copy in the value tree copies the current row's value.
        tree->setFocus();
        tree->setCurrentIndex(tree->model()->index(0, 0, tree->model()->index(0, 0)));
        ui->editCommands->copyAction()->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), kv::commands::valueText(PropertyListValue::fromBoolean(true)));
    }

    // A value the XML writer cannot carry is said so, and the clipboard is
    // left as it was.
    void uncarriableValueIsNotCopied()
    {
        QVERIFY(controller->selectKey(QStringLiteral("State:/Network/Interface/eth0/Odd")));
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        ui->editCommands->copyAsPropertyList(controller->kvnOutlineView->itemAtRow(0));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
        QTRY_VERIFY(ui->mainWindow->findChild<QMessageBox *>());
    }

private:
    std::unique_ptr<kv::StoreEngine> engine;
    std::unique_ptr<KVNController> controller;
    std::unique_ptr<kv::app::MainInterface> ui;
};

QTEST_MAIN(TestEditCommands)
#include "tst_editcommands.moc"
