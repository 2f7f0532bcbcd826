// Find and go to key in the main window: the results take the browser's
// place while there is something to find, a chosen result is selected in the
// browser as a click would select it, the results follow the store, and
// going to a key completes it piece by piece.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "find/FindSearch.h"
#include "find/ui/FindBar.h"
#include "find/ui/FindResultsView.h"
#include "find/ui/GoToKeyBar.h"
#include "find/ui/KeyFinder.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QStringListModel>
#include <QtTest>

using kv::PropertyListValue;

namespace {

PropertyListValue dictionary(std::initializer_list<std::pair<QString, PropertyListValue>> entries)
{
    kv::PropertyListDictionary d;
    for (const auto &[key, value] : entries)
        d.insert(key, value);
    return PropertyListValue::fromDictionary(d);
}

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

} // namespace

class TestKeyFinder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        engine = std::make_unique<kv::StoreEngine>();
        kv::StoreEngine::setInstance(engine.get());
        engine->setValue(QStringLiteral("Setup:/System"), dictionary({{"HostName", str("build-42")}}));
        engine->setValue(QStringLiteral("State:/Network/Global/IPv4"),
                         dictionary({{"PrimaryInterface", str("eth0")}, {"Router", str("192.168.1.1")}}));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth0/IPv4"),
                         dictionary({{"Addresses", PropertyListValue::fromArray({str("192.168.1.20")})}}));
        engine->setValue(QStringLiteral("State:/Network/Interface/lo/IPv4"),
                         dictionary({{"Addresses", PropertyListValue::fromArray({str("127.0.0.1")})}}));
        controller = std::make_unique<KVNController>();
        ui = kv::app::loadMainInterface(controller.get());
        controller->awakeFromNib();
        ui->mainWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(ui->mainWindow.get()));
    }

    void cleanup()
    {
        ui.reset();
        controller.reset();
        kv::StoreEngine::setInstance(nullptr);
        engine.reset();
    }

    // Finding shows the matching keys in place of the browser, with a count;
    // moving through them selects each in the browser and shows its value.
    void findingShowsTheMatchesInsteadOfTheBrowser_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("inValues");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("valueMatch"); // of the first result
        QTest::newRow("keys, any case") << "ipv4" << false
                                        << QStringList{"State:/Network/Global/IPv4",
                                                       "State:/Network/Interface/eth0/IPv4",
                                                       "State:/Network/Interface/lo/IPv4"}
                                        << "";
        QTest::newRow("keys and values") << "192.168.1.2" << true << QStringList{"State:/Network/Interface/eth0/IPv4"}
                                         << QStringLiteral("Addresses › 0 = 192.168.1.20");
        QTest::newRow("nothing") << "absent" << true << QStringList{} << "";
    }

    void findingShowsTheMatchesInsteadOfTheBrowser()
    {
        QFETCH(QString, text);
        QFETCH(bool, inValues);
        QFETCH(QStringList, keys);
        QFETCH(QString, valueMatch);
        kv::find::KeyFinder *finder = &ui->finder();
        finder->open();
        QVERIFY(finder->isOpen());
        kv::find::FindOptions options;
        options.scope = inValues ? kv::find::FindOptions::Scope::KeysAndValues : kv::find::FindOptions::Scope::Keys;
        finder->bar()->setOptions(options);
        QTest::keyClicks(finder->bar()->field(), text);
        QTRY_VERIFY(!finder->search()->isRunning());
        QCOMPARE(placeOfTheBrowser()->currentWidget(), static_cast<QWidget *>(finder->results()));
        QCOMPARE(resultKeys(), keys);
        QCOMPARE(status(), QStringLiteral("%1 of 4 keys").arg(keys.size()));
        if (keys.isEmpty())
            return;
        const QModelIndex first = finder->results()->model()->index(0, 0);
        QCOMPARE(first.data(kv::find::FindResultsModel::ValueMatchRole).toString(), valueMatch);

        // Down chooses the first result: selected in the browser as a click would.
        QTest::keyClick(finder->bar()->field(), Qt::Key_Down);
        QCOMPARE(controller->kvnKey->stringValue(), keys.first());
        QVERIFY(controller->inspectorView->string().startsWith(QStringLiteral("Dictionary: ")));
        QCOMPARE(controller->kvnBrowser->selectedCells().size(), 1);
        // Enter closes the bar and leaves the browser at the chosen key.
        QTest::keyClick(finder->bar()->field(), Qt::Key_Return);
        QVERIFY(!finder->isOpen());
        QCOMPARE(placeOfTheBrowser()->currentWidget(), static_cast<QWidget *>(controller->kvnBrowser));
        QCOMPARE(controller->kvnKey->stringValue(), keys.first());
    }

    void invalidExpressionIsReportedInTheBar()
    {
        kv::find::KeyFinder *finder = &ui->finder();
        finder->open();
        kv::find::FindOptions options;
        options.regularExpression = true;
        finder->bar()->setOptions(options);
        QTest::keyClicks(finder->bar()->field(), QStringLiteral("State:/(Net"));
        QVERIFY(status().contains(QStringLiteral("offset")));
        QCOMPARE(finder->results()->model()->rowCount(), 0);
        // Typing on makes it valid again.
        QTest::keyClicks(finder->bar()->field(), QStringLiteral("work)"));
        QTRY_VERIFY(!finder->search()->isRunning());
        QCOMPARE(finder->results()->model()->rowCount(), 3);
        // Escape closes the bar; the browser comes back.
        QTest::keyClick(finder->bar()->field(), Qt::Key_Escape);
        QVERIFY(!finder->isOpen());
        QCOMPARE(placeOfTheBrowser()->currentWidget(), static_cast<QWidget *>(controller->kvnBrowser));
    }

    // An added matching key appears, a removed one goes, and the chosen
    // result stays chosen.
    void resultsFollowTheStore()
    {
        kv::find::KeyFinder *finder = &ui->finder();
        finder->open();
        QTest::keyClicks(finder->bar()->field(), QStringLiteral("/IPv4"));
        QTRY_VERIFY(!finder->search()->isRunning());
        finder->results()->setCurrentKey(QStringLiteral("State:/Network/Interface/lo/IPv4"));
        engine->setValue(QStringLiteral("State:/Network/Interface/eth1/IPv4"), str("new"));
        engine->removeValue(QStringLiteral("State:/Network/Global/IPv4"));
        QTRY_COMPARE(resultKeys(),
                     (QStringList{"State:/Network/Interface/eth0/IPv4", "State:/Network/Interface/eth1/IPv4",
                                  "State:/Network/Interface/lo/IPv4"}));
        QCOMPARE(finder->results()->currentKey(), QStringLiteral("State:/Network/Interface/lo/IPv4"));
        QCOMPARE(status(), QStringLiteral("3 of 4 keys"));
    }

    void goToKey_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("found");
        QTest::newRow("a key") << "State:/Network/Interface/eth0/IPv4" << true;
        QTest::newRow("a piece of a key") << "State:/Network" << false;
        QTest::newRow("no such key") << "State:/Nothing" << false;
        QTest::newRow("nothing typed") << "" << false;
    }

    // A known key is selected and shown; anything else is said so in the bar
    // and changes nothing.
    void goToKey()
    {
        QFETCH(QString, typed);
        QFETCH(bool, found);
        QVERIFY(controller->selectKey(QStringLiteral("Setup:/System")));
        kv::find::GoToKeyBar *bar = &ui->goToKeyBar();
        bar->activate();
        bar->field()->setText(typed);
        QCOMPARE(bar->go(), found);
        QCOMPARE(controller->kvnKey->stringValue(), found ? typed : QStringLiteral("Setup:/System"));
        QCOMPARE(bar->isVisible(), !found);
        if (!found)
            QVERIFY(!bar->findChild<QLabel *>(QStringLiteral("goToKeyStatus"))->text().isEmpty());
    }

    void goToKeyCompletesPieceByPiece()
    {
        kv::find::GoToKeyBar *bar = &ui->goToKeyBar();
        bar->activate();
        QTest::keyClicks(bar->field(), QStringLiteral("State:/Network/I"));
        auto *completions = qobject_cast<QStringListModel *>(bar->completer()->model());
        QVERIFY(completions);
        QCOMPARE(completions->stringList(), QStringList{"State:/Network/Interface/"});
        bar->field()->clear();
        QTest::keyClicks(bar->field(), QStringLiteral("State:/Network/Interface/"));
        QCOMPARE(completions->stringList(),
                 (QStringList{"State:/Network/Interface/eth0/", "State:/Network/Interface/lo/"}));
    }

private:
    QStackedWidget *placeOfTheBrowser() const
    {
        return ui->mainWindow->findChild<QStackedWidget *>(QStringLiteral("browserPlace"));
    }
    QString status() const { return ui->finder().bar()->findChild<QLabel *>(QStringLiteral("findStatus"))->text(); }
    QStringList resultKeys() const
    {
        QStringList keys;
        QAbstractItemModel *model = ui->finder().results()->model();
        for (int row = 0; row < model->rowCount(); ++row)
            keys.append(model->index(row, 0).data().toString());
        return keys;
    }

    std::unique_ptr<kv::StoreEngine> engine;
    std::unique_ptr<KVNController> controller;
    std::unique_ptr<kv::app::MainInterface> ui;
};

QTEST_MAIN(TestKeyFinder)
#include "tst_keyfinder.moc"
