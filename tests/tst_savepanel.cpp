#include "platform/ui/SavePanel.h"
#include "platform/ui/Window.h"

#include "SaveSheetDriver.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

using kv::ui::SavePanel;

namespace {

struct EndRecord
{
    int calls = 0;
    int returnCode = -1;
    void *contextInfo = nullptr;
    QString filename;
    QUrl url;
};

SavePanel::DidEndHandler recorder(EndRecord *record)
{
    return [record](SavePanel *panel, int returnCode, void *contextInfo) {
        ++record->calls;
        record->returnCode = returnCode;
        record->contextInfo = contextInfo;
        record->filename = panel->filename();
        record->url = panel->url();
    };
}

} // namespace

class TestSavePanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void requiredFileType_data();
    void requiredFileType();

    void opensWindowModalOnTheWindow_data();
    void opensWindowModalOnTheWindow();
    void saveReportsOkWithThePathAndRequiredType_data();
    void saveReportsOkWithThePathAndRequiredType();
    void cancelReportsCancelWithoutAPath();
    void contextInfoIsPassedThrough();
    void existingFileAsksBeforeReplacing();
    void typedDirectoryIsOpenedNotChosen();
    void goneDelegateIsNotCalled();
    void deletingThePanelClosesItsDialog();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<kv::ui::Window> m_window;
};

void TestSavePanel::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_window = std::make_unique<kv::ui::Window>();
    m_window->resize(600, 400);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestSavePanel::cleanup()
{
    m_window.reset();
    m_dir.reset();
}

void TestSavePanel::requiredFileType_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no extension") << "/d/foo"
                                  << "plist"
                                  << "/d/foo.plist";
    QTest::newRow("other extension") << "/d/foo.txt"
                                     << "plist"
                                     << "/d/foo.txt.plist";
    QTest::newRow("has it") << "/d/foo.plist"
                            << "plist"
                            << "/d/foo.plist";
    QTest::newRow("has it in capitals") << "/d/foo.PLIST"
                                        << "plist"
                                        << "/d/foo.PLIST";
    QTest::newRow("trailing dot") << "/d/foo."
                                  << "plist"
                                  << "/d/foo.plist";
    QTest::newRow("only the extension") << "/d/.plist"
                                        << "plist"
                                        << "/d/.plist.plist";
    QTest::newRow("extension in a folder name") << "/d.plist/foo"
                                                << "plist"
                                                << "/d.plist/foo.plist";
    QTest::newRow("spaces") << "/d/System Configuration"
                            << "plist"
                            << "/d/System Configuration.plist";
    QTest::newRow("longer suffix") << "/d/foo.plistx"
                                   << "plist"
                                   << "/d/foo.plistx.plist";
    QTest::newRow("no required type") << "/d/foo.txt"
                                      << ""
                                      << "/d/foo.txt";
    QTest::newRow("empty path") << ""
                                << "plist"
                                << "";
}

void TestSavePanel::requiredFileType()
{
    QFETCH(QString, path);
    QFETCH(QString, type);
    QFETCH(QString, expected);
    QCOMPARE(SavePanel::pathWithRequiredFileType(path, type), expected);
}

void TestSavePanel::opensWindowModalOnTheWindow_data()
{
    QTest::addColumn<bool>("extensionHidden");
    QTest::addColumn<QString>("shownName");
    QTest::newRow("extension shown") << false << "System Configuration.plist";
    QTest::newRow("extension hidden") << true << "System Configuration";
}

void TestSavePanel::opensWindowModalOnTheWindow()
{
    QFETCH(bool, extensionHidden);
    QFETCH(QString, shownName);
    EndRecord record;
    SavePanel panel;
    panel.setExtensionHidden(extensionHidden);
    panel.setRequiredFileType(QStringLiteral("plist"));
    panel.beginSheetForDirectory(m_dir->path(), QStringLiteral("System Configuration"), m_window.get(), nullptr,
                                 recorder(&record), nullptr);
    QFileDialog *dialog = savesheet::openDialog(m_window.get());
    QVERIFY(dialog);
    QCOMPARE(dialog, panel.dialog());
    QCOMPARE(dialog->parentWidget(), m_window.get());
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
    QVERIFY(dialog->testOption(QFileDialog::DontUseNativeDialog));
    QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(m_dir->path()).canonicalPath());
    QCOMPARE(savesheet::nameEdit(dialog)->text(), shownName);
    QCOMPARE(record.calls, 0); // begin returns at once
    QVERIFY(savesheet::cancel(dialog));
    QCOMPARE(record.calls, 1);
}

void TestSavePanel::saveReportsOkWithThePathAndRequiredType_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("plain name") << "foo"
                                << "foo.plist";
    QTest::newRow("with extension") << "bar.plist"
                                    << "bar.plist";
    QTest::newRow("other extension") << "foo.txt"
                                     << "foo.txt.plist";
    QTest::newRow("spaces") << "System Configuration"
                            << "System Configuration.plist";
}

void TestSavePanel::saveReportsOkWithThePathAndRequiredType()
{
    QFETCH(QString, typed);
    QFETCH(QString, fileName);
    EndRecord record;
    auto *panel = new SavePanel;
    QPointer<SavePanel> guard(panel);
    panel->setExtensionHidden(false);
    panel->setRequiredFileType(QStringLiteral("plist"));
    panel->beginSheetForDirectory(m_dir->path(), QStringLiteral("System Configuration"), m_window.get(), nullptr,
                                  recorder(&record), nullptr);
    QFileDialog *dialog = savesheet::openDialog(m_window.get());
    QVERIFY(savesheet::save(dialog, typed));
    QCOMPARE(record.calls, 1);
    QCOMPARE(record.returnCode, int(SavePanel::OK));
    const QString expected = QDir(m_dir->path()).filePath(fileName);
    QCOMPARE(QFileInfo(record.filename).absoluteFilePath(), QFileInfo(expected).absoluteFilePath());
    QCOMPARE(record.url, QUrl::fromLocalFile(record.filename));
    QVERIFY(!dialog->isVisible());
    // The panel writes nothing itself.
    QVERIFY(!QFileInfo::exists(expected));
    delete panel;
    QVERIFY(!guard);
}

void TestSavePanel::cancelReportsCancelWithoutAPath()
{
    EndRecord record;
    SavePanel panel;
    panel.setRequiredFileType(QStringLiteral("plist"));
    panel.beginSheetForDirectory(m_dir->path(), QStringLiteral("name"), m_window.get(), nullptr, recorder(&record),
                                 nullptr);
    QFileDialog *dialog = savesheet::openDialog(m_window.get());
    QVERIFY(dialog);
    savesheet::nameEdit(dialog)->setText(QStringLiteral("typed but cancelled"));
    QVERIFY(savesheet::cancel(dialog));
    QCOMPARE(record.calls, 1);
    QCOMPARE(record.returnCode, int(SavePanel::Cancel));
    QVERIFY(record.filename.isEmpty());
    QVERIFY(record.url.isEmpty());
    QVERIFY(panel.url().isEmpty());
}

void TestSavePanel::contextInfoIsPassedThrough()
{
    EndRecord record;
    int marker = 42;
    SavePanel panel;
    panel.beginSheetForDirectory(m_dir->path(), QStringLiteral("x"), m_window.get(), this, recorder(&record), &marker);
    QVERIFY(savesheet::cancel(savesheet::openDialog(m_window.get())));
    QCOMPARE(record.calls, 1);
    QCOMPARE(record.contextInfo, static_cast<void *>(&marker));
}

void TestSavePanel::existingFileAsksBeforeReplacing()
{
    const QString existing = QDir(m_dir->path()).filePath(QStringLiteral("taken.plist"));
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("old");
    }
    EndRecord record;
    SavePanel panel;
    panel.setRequiredFileType(QStringLiteral("plist"));
    panel.beginSheetForDirectory(m_dir->path(), QString(), m_window.get(), nullptr, recorder(&record), nullptr);
    QFileDialog *dialog = savesheet::openDialog(m_window.get());
    // "taken" becomes "taken.plist", which exists: the panel asks first.
    QVERIFY(savesheet::save(dialog, QStringLiteral("taken")));
    QCOMPARE(record.calls, 0);
    QMessageBox *question = savesheet::messageBox(dialog, QStringLiteral("replaceQuestion"));
    QVERIFY(question);
    QVERIFY(question->text().contains(QStringLiteral("taken.plist")));
    QCOMPARE(question->windowModality(), Qt::WindowModal);
    // Declining returns to the panel.
    QVERIFY(savesheet::answerReplace(dialog, false));
    QCOMPARE(record.calls, 0);
    QVERIFY(dialog->isVisible());
    // Agreeing ends it with OK.
    QVERIFY(savesheet::save(dialog, QStringLiteral("taken")));
    QVERIFY(savesheet::answerReplace(dialog, true));
    QCOMPARE(record.calls, 1);
    QCOMPARE(record.returnCode, int(SavePanel::OK));
    QCOMPARE(record.filename, existing);
    QFile file(existing);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("old"));
}

void TestSavePanel::typedDirectoryIsOpenedNotChosen()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("sub")));
    EndRecord record;
    SavePanel panel;
    panel.setRequiredFileType(QStringLiteral("plist"));
    panel.beginSheetForDirectory(m_dir->path(), QString(), m_window.get(), nullptr, recorder(&record), nullptr);
    QFileDialog *dialog = savesheet::openDialog(m_window.get());
    QVERIFY(savesheet::save(dialog, QStringLiteral("sub")));
    QCOMPARE(record.calls, 0);
    QVERIFY(dialog->isVisible());
    QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(m_dir->filePath(QStringLiteral("sub"))).canonicalPath());
    QVERIFY(savesheet::save(dialog, QStringLiteral("inside")));
    QCOMPARE(record.calls, 1);
    QCOMPARE(record.filename, QDir(m_dir->filePath(QStringLiteral("sub"))).filePath(QStringLiteral("inside.plist")));
}

void TestSavePanel::goneDelegateIsNotCalled()
{
    EndRecord record;
    SavePanel panel;
    auto delegate = std::make_unique<QObject>();
    panel.beginSheetForDirectory(m_dir->path(), QStringLiteral("x"), m_window.get(), delegate.get(), recorder(&record),
                                 nullptr);
    delegate.reset();
    QVERIFY(savesheet::cancel(savesheet::openDialog(m_window.get())));
    QCOMPARE(record.calls, 0);
}

void TestSavePanel::deletingThePanelClosesItsDialog()
{
    EndRecord record;
    auto panel = std::make_unique<SavePanel>();
    panel->beginSheetForDirectory(m_dir->path(), QStringLiteral("x"), m_window.get(), nullptr, recorder(&record),
                                  nullptr);
    QPointer<QFileDialog> dialog = savesheet::openDialog(m_window.get());
    QVERIFY(dialog);
    panel.reset();
    QVERIFY(!dialog);
    QCOMPARE(record.calls, 0);
}

QTEST_MAIN(TestSavePanel)
#include "tst_savepanel.moc"
