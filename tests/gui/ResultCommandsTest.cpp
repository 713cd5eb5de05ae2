#include "GuiTestSupport.h"
#include "app/TMainForm.h"
#include "operations/FileFilter.h"
#include "operations/FileOperations.h"
#include "search/FileFinder.h"
#include "ui/ResultListModel.h"

#include <QAction>
#include <QBrush>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeView>

#include <clocale>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <sys/stat.h>
#include <utime.h>

class ResultCommandsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<QTemporaryDir> m_tree;
    FakeDialogs m_dialogs;

    QString path(const QString& relative) const { return m_tree->path() + "/" + relative; }

    std::unique_ptr<TMainForm> makeForm() {
        MainFormSetup setup;
        setup.dialogs = &m_dialogs;
        setup.isAdmin = [] { return false; };
        auto form = std::make_unique<TMainForm>(setup);
        form->show();
        return form;
    }

    void search(TMainForm& form) {
        form.eTarget->setEditText(m_tree->path());
        form.btSearchClick();
        QTRY_VERIFY_WITH_TIMEOUT(form.thrFindFiles->isFinished(), 20000);
        QCoreApplication::sendPostedEvents(); // the window changes it handed over
    }

    void runOperation(TMainForm& form, void (TMainForm::*command)()) {
        (form.*command)();
        if (!form.thrManageFiles)
            return;
        // Waiting with the event loop running, so the worker's questions are answered.
        QTRY_VERIFY_WITH_TIMEOUT(form.thrManageFiles->isFinished(), 20000);
        QCoreApplication::sendPostedEvents();
    }

    static QStringList names(TMainForm& form) {
        QStringList texts;
        for (int row = 0; row < form.results()->rowCount(); ++row) {
            const ResultRow& r = form.results()->row(row);
            texts << QString::fromStdString(r.caption + " " + r.folder + r.name + " " + r.status);
        }
        return texts;
    }

    QString shortNames(TMainForm& form) const {
        QStringList texts;
        for (int row = 0; row < form.results()->rowCount(); ++row) {
            const ResultRow& r = form.results()->row(row);
            texts << QString::fromStdString(r.caption) + ":" +
                         QString::fromStdString(r.folder + r.name).mid(m_tree->path().size() + 1);
        }
        return texts.join(' ');
    }

    static void tick(TMainForm& form, std::initializer_list<int> rows) {
        for (int row = 0; row < form.results()->rowCount(); ++row)
            form.results()->setChecked(row, false);
        for (int row : rows)
            form.results()->setChecked(row, true);
    }

    static QAction* filterEntry(TMainForm& form, const QString& caption) {
        for (QAction* action : form.Filter1->actions()) {
            if (action->data().toString() == caption)
                return action;
        }
        return nullptr;
    }

    void filter(TMainForm& form, const QString& caption) {
        QAction* entry = filterEntry(form, caption);
        QVERIFY2(entry != nullptr, qPrintable(caption));
        entry->trigger();
        form.thrFileFilter->wait();
        QCoreApplication::sendPostedEvents();
        QVERIFY(form.btSearch->isEnabled() && form.FileListView->isVisible());
    }

private slots:
    void init() {
        m_config = std::make_unique<QTemporaryDir>();
        m_tree = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        m_dialogs = FakeDialogs();
    }

    void allButOneTicksAllButTheFirstOfEachGroup() {
        writeText(path("a1"), "aa");
        writeText(path("a2"), "aa");
        writeText(path("b1"), "bbb");
        writeText(path("b2"), "bbb");
        writeText(path("b3"), "bbb");
        writeText(path("c1"), "cccc");
        writeText(path("c2"), "cccc");
        auto form = makeForm();
        form->Allbutone1Click(); // an empty list: nothing happens
        search(*form);
        QStringList captions;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            captions << QString::fromStdString(form->results()->row(row).caption);
        QCOMPARE(captions, (QStringList{"1", "1", "2", "2", "2", "3", "3"}));
        form->results()->setChecked(0, true); // a user's tick on a first row is cleared
        form->Allbutone1Click();
        QList<bool> checked;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            checked << form->results()->isChecked(row);
        QCOMPARE(checked, (QList<bool>{false, true, false, true, true, false, true}));
    }

    void rowColours() {
        writeText(path("a1"), "aa");
        writeText(path("a2"), "aa");
        writeText(path("b1"), "bbb");
        writeText(path("b2"), "bbb");
        auto form = makeForm();
        search(*form);
        auto background = [&](int row) {
            return form->results()->index(row, 1).data(Qt::BackgroundRole).value<QBrush>().color();
        };
        QCOMPARE(form->results()->index(0, 1).data(Qt::BackgroundRole), QVariant());
        QCOMPARE(background(2), QColor(0xFE, 0xFC, 0xDA));

        m_dialogs.colour = QColor(255, 0, 0);
        form->Copiedfiles1->trigger();
        QVERIFY(readText(m_config->path() + "/hollowbright/Twinscope/config.ini")
                    .contains("CopiedColor=FF0000\n"));
        m_dialogs.colour = QColor(0, 0, 255);
        form->Movedfiles1->trigger();
        QCOMPARE(m_dialogs.lastInitialColour, QColor(255, 0, 0)); // the dialog's last colour

        // A moved file keeps its group but shows the moved colour.
        QTemporaryDir destination;
        m_dialogs.folder = destination.path() + "/";
        tick(*form, {2});
        runOperation(*form, &TMainForm::Moveto1Click);
        int moved = -1;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            moved = form->results()->row(row).status == "2" ? row : moved;
        QVERIFY(moved >= 0);
        QCOMPARE(background(moved), QColor(0, 0, 255));
    }

    void copyPolicies_data() {
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QList<bool>>("answers");
        QTest::addColumn<QStringList>("destination");
        QTest::newRow("rename") << "rename" << QList<bool>{} << QStringList{"x (1).txt", "x.txt"};
        QTest::newRow("replace") << "replace" << QList<bool>{} << QStringList{"x.txt"};
        QTest::newRow("prompt yes") << "prompt" << QList<bool>{true, true} << QStringList{"x.txt"};
        QTest::newRow("prompt no")
            << "prompt" << QList<bool>{true, false} << QStringList{"x (1).txt", "x.txt"};
    }

    void copyPolicies() {
        QFETCH(QString, policy);
        QFETCH(QList<bool>, answers);
        QFETCH(QStringList, destination);
        writeText(path("a/x.txt"), "same");
        writeText(path("b/x.txt"), "same");
        QTemporaryDir target;
        auto form = makeForm();
        (policy == "rename"    ? form->OptRename
         : policy == "replace" ? form->OptReplace
                               : form->OptPrompt)
            ->trigger();
        search(*form);
        tick(*form, {0, 1}); // two ticked files of one name
        m_dialogs.folder = target.path() + "/";
        m_dialogs.answers = answers;
        runOperation(*form, &TMainForm::Copyto1Click);
        QCOMPARE(QDir(target.path()).entryList(QDir::Files), destination);
        QVERIFY2(m_dialogs.errors.isEmpty(), qPrintable(m_dialogs.errors.join('|')));
        QCOMPARE(form->results()->rowCount(), 2 + static_cast<int>(destination.size()));
        QCOMPARE(form->lbSearchResult->text(),
                 QStringLiteral("Search results: %1 duplicated files found.")
                     .arg(2 + destination.size()));
        if (policy == "prompt")
            QVERIFY2(m_dialogs.confirms.last().startsWith("There is already a file"),
                     qPrintable(m_dialogs.confirms.join('|')));
    }

    void copyAgainWithReplaceAddsNoRecord() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        QTemporaryDir target;
        auto form = makeForm();
        form->OptReplace->trigger();
        search(*form);
        m_dialogs.folder = target.path() + "/";
        tick(*form, {0}); // "b"
        runOperation(*form, &TMainForm::Copyto1Click);
        QCOMPARE(form->results()->rowCount(), 3);
        for (int row = 0; row < form->results()->rowCount(); ++row) {
            const ResultRow& r = form->results()->row(row);
            form->results()->setChecked(row, r.name == "b" && r.status == "0");
        }
        runOperation(*form, &TMainForm::Copyto1Click);
        QCOMPARE(form->results()->rowCount(), 3);
        QCOMPARE(QDir(target.path()).entryList(QDir::Files), QStringList{"b"});
    }

    void moveIntoItsOwnFolderRenamesIt() {
        writeText(path("a.txt"), "same");
        writeText(path("b.txt"), "same");
        auto form = makeForm();
        search(*form);
        QCOMPARE(shortNames(*form), QStringLiteral("1:b.txt 1:a.txt"));
        m_dialogs.folder = m_tree->path() + "/";
        tick(*form, {0});
        runOperation(*form, &TMainForm::Moveto1Click);
        QCOMPARE(m_dialogs.messages.size(), 0); // "OnMove=yes" hides the warning
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files), (QStringList{"a.txt", "b (1).txt"}));
        // The rebuild puts the group's first file last.
        QCOMPARE(shortNames(*form), QStringLiteral("1:a.txt 1:b (1).txt"));
        QCOMPARE(form->results()->row(1).status, std::string("2"));
    }

    void deleteAllButOneRemovesTheGroup() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        writeText(path("c"), "same");
        auto form = makeForm();
        search(*form);
        form->Allbutone1Click();
        runOperation(*form, &TMainForm::Delete1Click);
        QCOMPARE(m_dialogs.confirms.first(),
                 QStringLiteral("Are you sure you want to delete the selected file(s)?\n\r\n\r"
                                "WARNING: The selected files will be permanently deleted!"));
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files), QStringList{"b"});
        QCOMPARE(form->lbStatus->text(), QStringLiteral("No duplicated files were found."));
        QCOMPARE(form->lbSearchResult->text(),
                 QStringLiteral("Search results: 0 duplicated files found."));
        QVERIFY(form->listParked());
        QVERIFY(!form->selectedVisible());
        QVERIFY(m_dialogs.errors.isEmpty());
    }

    void deleteRefusesAFileChangedAfterTheSearch() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        auto form = makeForm();
        search(*form);
        tick(*form, {0}); // "b"
        writeText(path("b"), "SAME");
        struct utimbuf later {
            1000000000, 1000000000
        };
        utime(QFile::encodeName(path("b")).constData(), &later);
        runOperation(*form, &TMainForm::Delete1Click);
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files), (QStringList{"a", "b"}));
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith("These files were not deleted:"));
        QVERIFY(m_dialogs.errors.first().contains(path("b")));
        QCOMPARE(form->results()->rowCount(), 2); // its record is unchanged
    }

    void copyOntoItselfIsRefusedAndReported() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        auto form = makeForm();
        form->OptReplace->trigger();
        search(*form);
        tick(*form, {0});
        m_dialogs.folder = m_tree->path() + "/";
        runOperation(*form, &TMainForm::Copyto1Click);
        QCOMPARE(readText(path("b")), QStringLiteral("same"));
        QCOMPARE(form->results()->rowCount(), 2);
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().contains("It is the source file itself."));
    }

    void cancelDuringTheFileLoop() {
        makeSparse(path("big1"), 300LL << 20);
        makeSparse(path("big2"), 300LL << 20);
        writeText(path("small1"), "s");
        writeText(path("small2"), "s");
        QTemporaryDir target;
        auto form = makeForm();
        search(*form);
        tick(*form, {0, 1, 2, 3});
        m_dialogs.folder = target.path() + "/";
        form->Copyto1Click();
        QTRY_COMPARE(form->state.iManageFiles.load(), 1);
        m_dialogs.answers = {true};
        form->Cancel1Click();
        QTRY_VERIFY_WITH_TIMEOUT(form->thrManageFiles->isFinished(), 20000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->lbStatus->text(), QStringLiteral("Operation terminated."));
        QVERIFY(form->listParked());
        QVERIFY(!form->lbSearchResult->isVisible());
        // The copy under way was finished, not left half done; nothing after it was copied.
        const QStringList copied = QDir(target.path()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(copied.size() <= 1);
        for (const QString& name : copied)
            QCOMPARE(QFileInfo(target.path() + "/" + name).size(), 300LL << 20);
        QVERIFY(form->Cancel1->isEnabled());
    }

    void filterShowsAndHidesExtensionsAndRenumbers() {
        writeText(path("a.txt"), "one");
        writeText(path("a.bak"), "one");
        writeText(path("README"), "two");
        writeText(path("README2"), "two");
        writeText(path("photo.JPG"), "three");
        writeText(path("photo.jpg"), "three");
        auto form = makeForm();
        search(*form);
        QCOMPARE(shortNames(*form),
                 QStringLiteral("1:a.txt 1:a.bak 2:photo.jpg 2:photo.JPG 3:README2 3:README"));
        QStringList captions;
        for (QAction* action : form->Filter1->actions())
            captions << action->data().toString();
        QCOMPARE(captions, (QStringList{"*.txt", "*.bak", "*.jpg", "Unknown"}));

        filter(*form, "*.txt");
        QCOMPARE(shortNames(*form),
                 QStringLiteral("1:a.bak 2:photo.jpg 2:photo.JPG 3:README2 3:README"));
        QVERIFY(!filterEntry(*form, "*.txt")->isChecked());
        filter(*form, "Unknown");
        QCOMPARE(shortNames(*form), QStringLiteral("1:a.bak 2:photo.jpg 2:photo.JPG"));

        // The report holds the rows on the screen, numbered as shown.
        QTemporaryDir reports;
        m_dialogs.saveAs = reports.path() + "/report.txt";
        form->OptSaveSearch->trigger();
        QVERIFY(m_dialogs.proposedSaveName.contains("Twinscope_SearchResult_"));
        const QString report = readText(*m_dialogs.saveAs);
        QVERIFY(report.contains("\r\n1   a.bak       "));
        QVERIFY(report.contains("\r\n2   photo.jpg   "));
        QVERIFY(!report.contains("README"));
        QVERIFY(report.endsWith("\r\n\r\nEOF\r\n"));

        filter(*form, "*.txt");
        filter(*form, "Unknown");
        QCOMPARE(form->results()->rowCount(), 6);
        for (const char* caption : {"*.txt", "*.bak", "Unknown", "*.jpg"})
            filter(*form, caption);
        QCOMPARE(form->results()->rowCount(), 0);
        QVERIFY(form->selectedVisible());
    }

    void proposedReportNameLiesOnTheDesktop() {
        QTemporaryDir desktop;
        writeText(m_config->path() + "/user-dirs.dirs",
                  "XDG_DESKTOP_DIR=\"" + QFile::encodeName(desktop.path()) + "\"\n");
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        // The C locale's short date is "12/09/26", with slashes.
        const std::string previous = std::setlocale(LC_TIME, nullptr);
        std::setlocale(LC_TIME, "C");
        auto form = makeForm();
        search(*form);
        form->OptSaveSearch->trigger();
        std::setlocale(LC_TIME, previous.c_str());
        const QFileInfo proposed(m_dialogs.proposedSaveName);
        QCOMPARE(proposed.absolutePath(), QDir(desktop.path()).absolutePath());
        QVERIFY2(proposed.fileName().contains(
                     QRegularExpression("^Twinscope_SearchResult_\\d\\d-\\d\\d-\\d\\d\\d{6}$")),
                 qPrintable(proposed.fileName()));
    }

    void listReadsDatesInTheLocalesCharacterSet() {
        ResultListModel model;
        model.appendRows({ResultRow{"1", "a", "1 bytes", "d\u00E9c.", "/f/", "0", "x"}});
        const QModelIndex cell = model.index(0, ResultListModel::ColumnModified);
        const std::string previous = std::setlocale(LC_CTYPE, nullptr);
        // The C locale's set is ASCII: the two bytes of "é" are not a character of it.
        std::setlocale(LC_CTYPE, "C");
        const QString inAscii = cell.data().toString();
        const bool haveUtf8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
        const QString inUtf8 = cell.data().toString();
        std::setlocale(LC_CTYPE, previous.c_str());
        QCOMPARE(inAscii, QStringLiteral("d\uFFFD\uFFFDc."));
        if (haveUtf8)
            QCOMPARE(inUtf8, QStringLiteral("d\u00E9c."));
    }

    void saveFailureNamesTheFile() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        auto form = makeForm();
        search(*form);
        m_dialogs.saveAs = m_tree->path() + "/missing/report.txt";
        form->OptSaveSearch->trigger();
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().contains(*m_dialogs.saveAs));
    }

    void openCommandsActOnTheSelectedRow() {
        {
            std::ofstream raw(QFile::encodeName(m_tree->path()).toStdString() + "/a \xff.txt");
            raw << "same";
        }
        writeText(path("b.txt"), "same");
        auto form = makeForm();
        search(*form);
        form->N5Click();
        form->Openfilelocation1Click();
        form->FileListViewDblClick();
        QVERIFY(m_dialogs.opened.isEmpty() && m_dialogs.shown.isEmpty());
        form->FileListView->selectionModel()->select(form->results()->index(1, 0),
                                                     QItemSelectionModel::ClearAndSelect |
                                                         QItemSelectionModel::Rows);
        form->N5Click();
        form->Openfilelocation1Click();
        const QByteArray expected = QFile::encodeName(m_tree->path()) + "/a \xff.txt";
        QCOMPARE(m_dialogs.opened, QByteArrayList{expected});
        QCOMPARE(m_dialogs.shown, QByteArrayList{expected});
        QVERIFY(fileUrl(expected).toEncoded().endsWith("/a%20%FF.txt"));
        ::unlink(expected.constData()); // a name the temporary folder's cleanup cannot spell
    }
};

QTEST_MAIN(ResultCommandsTest)
#include "ResultCommandsTest.moc"
