// The change history the program keeps and the History window that shows
// it: what a merged change list records, the list's rows and filters, the
// selected change's value diff, the line about dropped changes, following
// the end, and Save History….

#include "app/HistoryRecorder.h"
#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "console/ConsoleLog.h"
#include "history/ui/HistoryModel.h"
#include "history/ui/HistoryView.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/DocumentController.h"
#include "platform/ui/Window.h"

#include "SaveSheetDriver.h"

#include <QCheckBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using kv::PropertyListValue;
using kv::history::HistoryView;

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

PropertyListValue integer(qint64 n)
{
    return PropertyListValue::fromInteger(n);
}

QString textOf(const PropertyListValue &value)
{
    return value.isNone() ? QStringLiteral("none") : QString::number(value.integer());
}

// The running program: a private store, the controller and the main interface.
struct Program
{
    kv::StoreEngine engine;
    kv::StoreEngine::Installation installation{engine};
    KVNController controller;
    std::unique_ptr<kv::app::MainInterface> ui;

    // Starts with `values`; the history keeps at most `maximumEntries` changes.
    explicit Program(const QMap<QString, PropertyListValue> &values, qsizetype maximumEntries = 10'000)
    {
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            engine.setValue(it.key(), it.value());
        ui = kv::app::loadMainInterface(&controller);
        ui->historyRecorder.reset();
        ui->historyRecorder = std::make_unique<kv::app::HistoryRecorder>(&controller, maximumEntries);
        controller.awakeFromNib();
    }
    ~Program() { ui.reset(); }

    const kv::history::ChangeHistory &history() const { return ui->historyRecorder->history(); }
    // Publishes `edits` ("key=value", "key=" removes) as one change list and
    // waits until the history has it.
    bool publish(const QStringList &edits)
    {
        const qint64 before = history().count() + history().droppedCount();
        engine.beginBatch();
        for (const QString &edit : edits) {
            const QString key = edit.section(u'=', 0, 0);
            const QString value = edit.section(u'=', 1);
            if (value.isEmpty())
                engine.removeValue(key);
            else
                engine.setValue(key, value.at(0).isDigit() ? integer(value.toLongLong()) : str(value));
        }
        engine.endBatch();
        return QTest::qWaitFor([&] { return history().count() + history().droppedCount() > before; });
    }
    HistoryView *openWindow()
    {
        QAction *command = ui->mainWindow->findChild<QAction *>(QStringLiteral("historyCommand"));
        if (!command)
            return nullptr;
        command->trigger();
        return ui->historyView();
    }
};

// The keys of the rows a view lists.
QStringList listedKeys(const HistoryView *view)
{
    QStringList keys;
    const QAbstractItemModel *model = view->changesView()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        keys.append(model->index(row, kv::history::HistoryModel::KeyColumn).data().toString());
    return keys;
}

// The diff tree's rows, top down, each "Key|Old|New" indented two spaces a level.
void collectRows(const QTreeWidgetItem *item, int depth, QStringList *rows)
{
    for (int i = 0; i < item->childCount(); ++i) {
        const QTreeWidgetItem *child = item->child(i);
        QString row = QString(depth * 2, u' ') + child->text(0);
        if (!child->text(1).isEmpty() || !child->text(2).isEmpty())
            row += u'|' + child->text(1) + u'|' + child->text(2);
        rows->append(row);
        QVERIFY2(child->childCount() == 0 || child->isExpanded(), qPrintable(row));
        collectRows(child, depth + 1, rows);
    }
}

} // namespace

class TestHistoryWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void recordsEachChangeOfAList_data();
    void recordsEachChangeOfAList();
    void rowsAndFilters_data();
    void rowsAndFilters();
    void diffOfTheSelectedChange_data();
    void diffOfTheSelectedChange();
    void droppedLine_data();
    void droppedLine();
    void followsTheEndOnlyWhenAtIt_data();
    void followsTheEndOnlyWhenAtIt();
    void saveHistory_data();
    void saveHistory();

private:
    QTemporaryDir m_dataHome;
};

void TestHistoryWindow::initTestCase()
{
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", m_dataHome.path().toLocal8Bit());
}

void TestHistoryWindow::cleanup()
{
    kv::console::clockOverride = nullptr;
}

void TestHistoryWindow::recordsEachChangeOfAList_data()
{
    QTest::addColumn<QStringList>("edits");    // one change list
    QTest::addColumn<QStringList>("expected"); // "kind key old new"

    QTest::newRow("added") << QStringList{"D=4"} << QStringList{"added D none 4"};
    QTest::newRow("updated") << QStringList{"A=10"} << QStringList{"updated A 1 10"};
    QTest::newRow("removed") << QStringList{"B="} << QStringList{"removed B 2 none"};
    QTest::newRow("all three in one list")
        << QStringList{"C=30", "D=4", "A="} << QStringList{"updated C 3 30", "added D none 4", "removed A 1 none"};
    QTest::newRow("changed twice: the first old value, the last new one")
        << QStringList{"A=5", "A=6"} << QStringList{"updated A 1 6"};
}

void TestHistoryWindow::recordsEachChangeOfAList()
{
    QFETCH(QStringList, edits);
    QFETCH(QStringList, expected);
    const QDateTime when(QDate(2026, 12, 8), QTime(16, 19, 6, 526));
    kv::console::clockOverride = [when] { return when; };
    Program program({{"A", integer(1)}, {"B", integer(2)}, {"C", integer(3)}});
    QVERIFY(program.publish(edits));
    QStringList recorded;
    for (qsizetype i = 0; i < program.history().count(); ++i) {
        const kv::history::HistoryChange &change = program.history().at(i);
        QCOMPARE(change.time, when);
        recorded.append(kv::history::changeKindName(change.kind) + u' ' + change.key + u' ' + textOf(change.oldValue)
                        + u' ' + textOf(change.newValue));
    }
    QCOMPARE(recorded, expected);

    // The window shows the same changes, at the console's time.
    HistoryView *view = program.openWindow();
    QVERIFY(view);
    QCOMPARE(program.ui->madeHistoryWindow()->objectName(), QStringLiteral("historyWindow"));
    QVERIFY(program.ui->madeHistoryWindow()->isVisible());
    // The Window menu: the command first (standing for the History window),
    // then every other window.
    QMenu *windowMenu = program.ui->mainWindow->menuBar()->actions().value(3)->menu();
    QVERIFY(windowMenu);
    Q_EMIT windowMenu->aboutToShow();
    QStringList entries;
    for (const QAction *action : windowMenu->actions())
        entries.append(action->objectName() == QLatin1String("historyCommand") ? QStringLiteral("command")
                                                                               : action->text());
    QCOMPARE(entries.first(), QStringLiteral("command"));
    for (const char *title : {"Console", "Inspector"})
        QVERIFY2(entries.indexOf(QLatin1String(title)) > 1, qPrintable(entries.join(u',')));
    QVERIFY2(!entries.contains(QStringLiteral("History")), qPrintable(entries.join(u',')));
    const QAbstractItemModel *rows = view->changesView()->model();
    QCOMPARE(rows->rowCount(), int(program.history().count()));
    for (int row = 0; row < rows->rowCount(); ++row) {
        QCOMPARE(rows->index(row, 0).data().toString(), QStringLiteral("Tue Dec 8 26 16:19:06.526"));
        QCOMPARE(rows->index(row, 1).data().toString().toLower(), expected.at(row).section(u' ', 0, 0));
        QCOMPARE(rows->index(row, 2).data().toString(), expected.at(row).section(u' ', 1, 1));
    }
}

void TestHistoryWindow::rowsAndFilters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("onlySelected");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QStringList>("listed");

    const QString eth0 = QStringLiteral("State:/Network/Interface/eth0/IPv4");
    const QString eth1 = QStringLiteral("State:/Network/Interface/eth1/IPv4");
    const QString system = QStringLiteral("Setup:/System");
    QTest::newRow("no filter") << QString() << false << eth1 << QStringList{eth0, eth1, system, eth0};
    QTest::newRow("any case") << "ETH0" << false << eth1 << QStringList{eth0, eth0};
    QTest::newRow("inside the key") << "up:/sys" << false << eth1 << QStringList{system};
    QTest::newRow("matches nothing") << "eth2" << false << eth1 << QStringList();
    QTest::newRow("only the selected key") << QString() << true << eth1 << QStringList{eth1};
    QTest::newRow("selected key changed twice") << QString() << true << eth0 << QStringList{eth0, eth0};
    QTest::newRow("selected key and a filter it fails") << "eth0" << true << eth1 << QStringList();
    QTest::newRow("no key selected") << QString() << true << QString() << QStringList();
}

void TestHistoryWindow::rowsAndFilters()
{
    QFETCH(QString, filter);
    QFETCH(bool, onlySelected);
    QFETCH(QString, selected);
    QFETCH(QStringList, listed);

    const QString eth0 = QStringLiteral("State:/Network/Interface/eth0/IPv4");
    const QString eth1 = QStringLiteral("State:/Network/Interface/eth1/IPv4");
    Program program({{eth0, integer(1)}, {eth1, integer(1)}, {"Setup:/System", integer(1)}});
    QVERIFY(program.publish({eth0 + "=2"}));
    HistoryView *view = program.openWindow();
    QVERIFY(view);
    // The window follows the browser's selection, made before or after it opened.
    if (!selected.isEmpty())
        QVERIFY(program.controller.selectKey(selected));
    QTest::keyClicks(view->filterField(), filter);
    view->onlySelectedKeyBox()->setChecked(onlySelected);
    // Changes arriving while the filter is on are filtered too.
    QVERIFY(program.publish({eth1 + "=2"}));
    QVERIFY(program.publish({"Setup:/System=2"}));
    QVERIFY(program.publish({eth0 + "=3"}));
    QCOMPARE(listedKeys(view), listed);
}

void TestHistoryWindow::diffOfTheSelectedChange_data()
{
    QTest::addColumn<PropertyListValue>("oldValue");
    QTest::addColumn<PropertyListValue>("newValue");
    QTest::addColumn<QStringList>("rows");

    const auto addresses = [](const QStringList &list) {
        kv::PropertyListArray array;
        for (const QString &address : list)
            array.append(str(address));
        return PropertyListValue::fromArray(array);
    };
    const auto service = [&](const QStringList &list, const QString &router) {
        kv::PropertyListDictionary entries{{"Addresses", addresses(list)},
                                           {"InterfaceName", str("eth0")},
                                           {"SubnetMasks", addresses({"255.255.255.0"})}};
        if (!router.isEmpty())
            entries.insert("Router", str(router));
        return PropertyListValue::fromDictionary(entries);
    };
    const QStringList three = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
    QTest::newRow("an address changed in an array")
        << service(three, "10.0.0.254") << service({"10.0.0.1", "10.0.0.9", "10.0.0.3"}, "10.0.0.254")
        << QStringList{"~ Key|(4 Key/Value pairs)|(4 Key/Value pairs)", "  ~ Addresses|(3 Objects)|(3 Objects)",
                       "    ~ 1|10.0.0.2|10.0.0.9", "    2 unchanged entries", "  3 unchanged entries"};
    QTest::newRow("an entry added and one removed")
        << service(three, QString()) << service({"10.0.0.1", "10.0.0.2"}, "10.0.0.254")
        << QStringList{"~ Key|(3 Key/Value pairs)|(4 Key/Value pairs)",
                       "  ~ Addresses|(3 Objects)|(2 Objects)",
                       "    \u2212 2|10.0.0.3|",
                       "    2 unchanged entries",
                       "  + Router||10.0.0.254",
                       "  2 unchanged entries"};
    QTest::newRow("key added: its entries listed")
        << PropertyListValue() << addresses({"10.0.0.1", "10.0.0.2"})
        << QStringList{"+ Key||(2 Objects)", "  + 0||10.0.0.1", "  + 1||10.0.0.2"};
    QTest::newRow("key removed") << integer(7) << PropertyListValue() << QStringList{"\u2212 Key|7|"};
    QTest::newRow("scalar to container") << str("up") << addresses({"a"}) << QStringList{"~ Key|up|(1 Object)"};
}

void TestHistoryWindow::diffOfTheSelectedChange()
{
    QFETCH(PropertyListValue, oldValue);
    QFETCH(PropertyListValue, newValue);
    QFETCH(QStringList, rows);

    QMap<QString, PropertyListValue> start{{"Other", integer(1)}};
    if (!oldValue.isNone())
        start.insert("Key", oldValue);
    Program program(start);
    program.engine.setValue("Key", newValue);
    QVERIFY(QTest::qWaitFor([&] { return program.history().count() == 1; }));
    QVERIFY(program.publish({"Other=2"}));
    HistoryView *view = program.openWindow();
    QVERIFY(view);
    QTableView *list = view->changesView();
    list->setFocus();
    // Down and Up move through the changes; the diff follows.
    list->setCurrentIndex(list->model()->index(1, 0));
    QCOMPARE(view->diffView()->topLevelItem(0)->text(0), QStringLiteral("~ Other"));
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(list->currentIndex().row(), 0);
    QStringList shown;
    collectRows(view->diffView()->invisibleRootItem(), 0, &shown);
    QCOMPARE(shown, rows);
    // Down in the filter field moves the list as well.
    QTest::keyClick(view->filterField(), Qt::Key_Down);
    QCOMPARE(list->currentIndex().row(), 1);
    QCOMPARE(view->diffView()->topLevelItem(0)->text(0), QStringLiteral("~ Other"));
}

void TestHistoryWindow::droppedLine_data()
{
    QTest::addColumn<int>("maximumEntries");
    QTest::addColumn<int>("changeLists");
    QTest::addColumn<QString>("line"); // empty: hidden

    QTest::newRow("nothing dropped") << 10 << 3 << QString();
    QTest::newRow("one dropped")
        << 2 << 3 << "1 older change was dropped (the history keeps the last 2 changes or 64 MB of values)";
    QTest::newRow("several dropped")
        << 2 << 6 << "4 older changes were dropped (the history keeps the last 2 changes or 64 MB of values)";
}

void TestHistoryWindow::droppedLine()
{
    QFETCH(int, maximumEntries);
    QFETCH(int, changeLists);
    QFETCH(QString, line);

    Program program({{"A", integer(0)}}, maximumEntries);
    HistoryView *view = program.openWindow();
    QVERIFY(view);
    QTableView *list = view->changesView();
    for (int i = 1; i <= changeLists; ++i) {
        QVERIFY(program.publish({"A=" + QString::number(i)}));
        // The newest change selected: dropping older rows leaves it selected.
        list->setCurrentIndex(list->model()->index(list->model()->rowCount() - 1, 0));
    }
    QVERIFY(view->shownChange());
    QCOMPARE(textOf(view->shownChange()->newValue), QString::number(changeLists));
    QCOMPARE(view->droppedLine()->isVisibleTo(view), !line.isEmpty());
    QCOMPARE(view->droppedLine()->text(), line);
    // The rows are the newest changes the history kept.
    QCOMPARE(list->model()->rowCount(), qMin(maximumEntries, changeLists));
    list->setCurrentIndex(list->model()->index(0, 0));
    QCOMPARE(textOf(view->shownChange()->newValue), QString::number(changeLists - list->model()->rowCount() + 1));
}

void TestHistoryWindow::followsTheEndOnlyWhenAtIt_data()
{
    QTest::addColumn<int>("maximumEntries");
    QTest::addColumn<bool>("atEnd");

    QTest::newRow("at the end") << 1000 << true;
    QTest::newRow("scrolled up") << 1000 << false;
    QTest::newRow("scrolled up while older rows are dropped") << 120 << false;
}

void TestHistoryWindow::followsTheEndOnlyWhenAtIt()
{
    QFETCH(int, maximumEntries);
    QFETCH(bool, atEnd);

    Program program({{"A", integer(0)}}, maximumEntries);
    QStringList edits;
    for (int i = 0; i < 100; ++i)
        edits.append(QStringLiteral("K%1=1").arg(i));
    QVERIFY(program.publish(edits));
    HistoryView *view = program.openWindow();
    QVERIFY(view);
    QVERIFY(QTest::qWaitForWindowExposed(program.ui->madeHistoryWindow()));
    QTableView *list = view->changesView();
    QScrollBar *bar = list->verticalScrollBar();
    QVERIFY(bar->maximum() > 20);
    QCOMPARE(bar->value(), bar->maximum());
    if (!atEnd)
        bar->setValue(30);
    // The key of the row at a height in the list.
    const auto keyAt = [list](int y) {
        return list->model()->index(list->rowAt(y), kv::history::HistoryModel::KeyColumn).data().toString();
    };
    const QString topKey = keyAt(0);
    QStringList more;
    for (int i = 0; i < 50; ++i)
        more.append(QStringLiteral("L%1=1").arg(i));
    QVERIFY(program.publish(more));
    QCoreApplication::processEvents();
    QCOMPARE(bar->value() == bar->maximum(), atEnd);
    QCOMPARE(keyAt(list->viewport()->height() - 2).startsWith(u'L'), atEnd);
    if (!atEnd)
        QCOMPARE(keyAt(0), topKey);
}

void TestHistoryWindow::saveHistory_data()
{
    QTest::addColumn<bool>("directoryInTheWay");

    QTest::newRow("written") << false;
    QTest::newRow("a directory at the path") << true;
}

void TestHistoryWindow::saveHistory()
{
    QFETCH(bool, directoryInTheWay);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    kv::ui::DocumentController::sharedDocumentController()->setCurrentDirectory(dir.path());
    Program program({{"A", integer(1)}, {"B", str("b")}});
    QVERIFY(program.publish({"A=2", "B=", "C=3"}));
    kv::ui::Window *main = program.ui->mainWindow.get();
    main->show();
    QVERIFY(QTest::qWaitForWindowExposed(main));
    const QString path = dir.filePath(QStringLiteral("History.jsonl"));
    if (directoryInTheWay)
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("History.jsonl")));

    QAction *command = main->findChild<QAction *>(QStringLiteral("saveHistoryCommand"));
    QVERIFY(command);
    kv::SystemLogCapture log;
    command->trigger();
    QFileDialog *dialog = savesheet::openDialog(main);
    QVERIFY(dialog);
    QCOMPARE(savesheet::nameEdit(dialog)->text(), QStringLiteral("History.jsonl"));
    QVERIFY(savesheet::save(dialog, QStringLiteral("History")));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QMessageBox *warning = savesheet::messageBox(main, QStringLiteral("saveHistoryFailedWarning"));
    QCOMPARE(warning != nullptr, directoryInTheWay);
    QCOMPARE(log.lines().size(), directoryInTheWay ? 1 : 0);
    if (directoryInTheWay) {
        QVERIFY(warning->text().contains(path));
        QVERIFY(!warning->informativeText().isEmpty());
        QVERIFY(QFileInfo(path).isDir());
        return;
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 4); // three lines, each ended
    QVERIFY(lines.last().isEmpty());
    const QStringList expected = {R"({"key":"A","kind":"updated","new":2,"old":1})",
                                  R"({"key":"B","kind":"removed","new":null,"old":"b"})",
                                  R"({"key":"C","kind":"added","new":3,"old":null})"};
    for (int i = 0; i < 3; ++i) {
        QJsonObject change = QJsonDocument::fromJson(lines.at(i)).object();
        QVERIFY(QDateTime::fromString(change.take("time").toString(), Qt::ISODateWithMs).isValid());
        QCOMPARE(QString::fromUtf8(QJsonDocument(change).toJson(QJsonDocument::Compact)), expected.at(i));
    }
}

QTEST_MAIN(TestHistoryWindow)
#include "tst_historywindow.moc"
