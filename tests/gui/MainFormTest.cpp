#include "GuiTestSupport.h"
#include "app/TMainForm.h"
#include "search/FileFinder.h"
#include "ui/Dialogs.h"
#include "ui/ResultListModel.h"
#include "ui/TAboutForm.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

class MainFormTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_config;
    FakeDialogs m_dialogs;

    QString configFile() const { return m_config->path() + "/hollowbright/Twinscope/config.ini"; }

    std::unique_ptr<TMainForm> makeForm(const QStringList& arguments = {}) {
        MainFormSetup setup;
        setup.arguments = arguments;
        setup.dialogs = &m_dialogs;
        setup.isAdmin = [] { return false; };
        return std::make_unique<TMainForm>(setup);
    }

    // Runs a search of `folder` through the path box and the Search button.
    void search(TMainForm& form, const QString& folder) {
        form.eTarget->setEditText(folder);
        form.btSearchClick();
        QTRY_VERIFY_WITH_TIMEOUT(form.thrFindFiles->isFinished(), 20000);
        QCoreApplication::sendPostedEvents(); // the window changes it handed over
    }

    // A search that takes seconds: two large files of one size, digested in full.
    std::unique_ptr<TMainForm> startLongSearch(const QTemporaryDir& tree, qint64 size) {
        makeSparse(tree.path() + "/big1", size);
        makeSparse(tree.path() + "/big2", size);
        auto form = makeForm();
        form->show();
        form->eTarget->setEditText(tree.path());
        form->btSearchClick();
        return form;
    }

    static QStringList column(TMainForm& form, int column) {
        QStringList texts;
        for (int row = 0; row < form.results()->rowCount(); ++row)
            texts << form.results()->index(row, column).data().toString();
        return texts;
    }

    static QStringList filterCaptions(TMainForm& form) {
        QStringList captions;
        for (QAction* action : form.Filter1->actions())
            captions << action->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
        return captions;
    }

private slots:
    void init() {
        m_config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        m_dialogs = FakeDialogs();
    }

    void firstStartWritesTheNineLines() {
        auto form = makeForm();
        QCOMPARE(
            readText(configFile()),
            QStringLiteral("[Options]\nHash=sha1\nSearchSpeed=fast\nOnCopy=rename\nOnMove=yes\n"
                           "Subfolders=yes\nIgnoreEmptyFiles=yes\nGroupColor=FEFCDA\n"
                           "CopiedColor=95D6EE\nMovedColor=FF8000\n"));
        for (QAction* ticked : {form->OptSHA1, form->OptFast, form->OptRename, form->OptHide,
                                form->OptSubfolders, form->OptIgnore})
            QVERIFY2(ticked->isChecked(), qPrintable(ticked->text()));
        for (QAction* unticked : {form->OptMD5, form->OptNormal, form->OptPrompt, form->OptReplace})
            QVERIFY2(!unticked->isChecked(), qPrintable(unticked->text()));
        QVERIFY(form->chkSubFolders->isChecked());
        QVERIFY(m_dialogs.errors.isEmpty());
    }

    void loadRepairsUnknownValues() {
        writeText(configFile(), "[Options]\nHash=SHA1\nSearchSpeed=normal\nOnCopy=\nOnMove=no\n"
                                "Subfolders=no\nIgnoreEmptyFiles=no\nGroupColor=not a colour\n"
                                "CopiedColor=95D6EE\nMovedColor=FF8000\n");
        auto form = makeForm();
        QCOMPARE(
            readText(configFile()),
            QStringLiteral("[Options]\nHash=sha1\nSearchSpeed=normal\nOnCopy=rename\nOnMove=no\n"
                           "Subfolders=no\nIgnoreEmptyFiles=no\nGroupColor=not a colour\n"
                           "CopiedColor=95D6EE\nMovedColor=FF8000\n"));
        QVERIFY(form->OptSHA1->isChecked());
        QVERIFY(form->OptNormal->isChecked() && !form->OptFast->isChecked());
        QVERIFY(form->OptRename->isChecked());
        QVERIFY(!form->OptHide->isChecked());
        QVERIFY(!form->OptSubfolders->isChecked() && !form->chkSubFolders->isChecked());
        QVERIFY(!form->OptIgnore->isChecked());
        QCOMPARE(form->sGroupColor, std::string("not a colour"));
    }

    void failedWritesAreShownAndTheWindowOpens() {
        // A file where the settings folder should be: no write can succeed, even as root.
        writeText(m_config->path() + "/hollowbright/Twinscope", "in the way");
        auto form = makeForm();
        QCOMPARE(m_dialogs.errors, QStringList{"Unable to write to " + configFile()});
        // The first repair failed: the remaining steps are skipped, the window opens.
        QVERIFY(!form->OptSHA1->isChecked());
        form->OptMD5->trigger();
        QCOMPARE(m_dialogs.errors.size(), 2);
    }

    void optionCommandsWriteAtOnce() {
        auto form = makeForm();
        form->OptMD5->trigger();
        QVERIFY(form->OptMD5->isChecked() && !form->OptSHA1->isChecked());
        form->OptNormal->trigger();
        form->OptReplace->trigger();
        QVERIFY(form->OptReplace->isChecked() && !form->OptRename->isChecked() &&
                !form->OptPrompt->isChecked());
        form->OptHide->trigger();
        form->OptSubfolders->trigger();
        form->OptIgnore->trigger();
        QCOMPARE(
            readText(configFile()),
            QStringLiteral("[Options]\nHash=md5\nSearchSpeed=normal\nOnCopy=replace\nOnMove=no\n"
                           "Subfolders=no\nIgnoreEmptyFiles=no\nGroupColor=FEFCDA\n"
                           "CopiedColor=95D6EE\nMovedColor=FF8000\n"));
        QVERIFY(!form->OptSubfolders->isChecked());
        QVERIFY(form->chkSubFolders->isChecked()); // the box keeps its state
        form->OptSHA1->trigger(); // choosing the ticked item of a group writes it again
        form->OptSHA1->trigger();
        QVERIFY(form->OptSHA1->isChecked());
    }

    void pathBoxHintAndFolders() {
        QTemporaryDir folder;
        auto form = makeForm();
        form->show();
        QCOMPARE(form->eTarget->currentText(), TMainForm::kSearchPathHint);
        QCOMPARE(form->eTarget->palette().color(QPalette::Text), QColor(0x6D, 0x6D, 0x6D));
        form->eTargetEnter();
        QCOMPARE(form->eTarget->currentText(), QString());
        form->eTargetExit();
        QCOMPARE(form->eTarget->currentText(), TMainForm::kSearchPathHint);

        form->eTargetEnter();
        form->eTarget->setEditText(folder.path());
        form->eTargetExit();
        QCOMPARE(form->eTarget->count(), 2);
        QCOMPARE(form->eTarget->itemText(1), folder.path() + "/");
        QCOMPARE(form->eTarget->currentIndex(), 1);
        form->eTarget->setEditText(folder.path() + "/");
        form->eTargetExit();
        QCOMPARE(form->eTarget->count(), 2);

        form->eTarget->setEditText(folder.path() + "/missing");
        form->eTargetExit();
        QCOMPARE(m_dialogs.messages, QStringList{"Please specify a valid path."});
        QCOMPARE(form->eTarget->currentText(), folder.path() + "/missing");

        form->eTarget->setEditText(QStringLiteral("Computer"));
        form->eTargetExit();
        QCOMPARE(m_dialogs.messages.size(), 1);
        QCOMPARE(form->eTarget->count(), 2);
    }

    void pathBoxEnterAndFolderDialog() {
        QTemporaryDir first;
        QTemporaryDir second;
        auto form = makeForm();
        form->show();
        form->eTarget->setEditText(first.path() + "/missing");
        QVERIFY(!form->eTargetKeyPress(Qt::Key_Return)); // nothing at all for a missing folder
        QVERIFY(m_dialogs.confirms.isEmpty());

        form->eTarget->setEditText(first.path());
        m_dialogs.answers = {false};
        QVERIFY(form->eTargetKeyPress(Qt::Key_Return));
        QCOMPARE(m_dialogs.confirms, QStringList{"Start the search?"});
        QCOMPARE(form->eTarget->itemText(1), first.path() + "/"); // remembered, not searched
        QVERIFY(form->btSearch->isVisible());

        m_dialogs.folder = std::nullopt;
        form->eTargetSelect(0);
        QCOMPARE(form->eTarget->currentText(), QString());

        form->eTarget->setCurrentIndex(1);
        form->eTargetDblClick(); // cancelled: the remembered folder comes back
        QCOMPARE(form->eTarget->currentText(), first.path() + "/");

        m_dialogs.folder = second.path() + "/";
        form->eTargetSelect(0);
        QCOMPARE(form->eTarget->count(), 3);
        QCOMPARE(form->eTarget->currentText(), second.path() + "/");
        form->eTargetDblClick(); // the same folder again is selected, not added
        QCOMPARE(form->eTarget->count(), 3);
    }

    void searchFillsTheList_data() {
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("hash");
        QTest::newRow("fast sha1") << "fast"
                                   << "sha1";
        QTest::newRow("fast md5") << "fast"
                                  << "md5";
        QTest::newRow("normal sha1") << "normal"
                                     << "sha1";
        QTest::newRow("normal md5") << "normal"
                                    << "md5";
    }

    void searchFillsTheList() {
        QFETCH(QString, speed);
        QFETCH(QString, hash);
        QTemporaryDir tree;
        for (const char* name : {"a.txt", "c.TXT", "sub/e.txt"})
            writeText(tree.path() + "/" + name, "first content");
        for (const char* name : {"b.jpg", "d"})
            writeText(tree.path() + "/" + name, "other content");
        writeText(tree.path() + "/unique.bin", "unique");

        auto form = makeForm();
        (speed == "fast" ? form->OptFast : form->OptNormal)->trigger();
        (hash == "sha1" ? form->OptSHA1 : form->OptMD5)->trigger();
        form->show();
        search(*form, tree.path());

        QCOMPARE(column(*form, ResultListModel::ColumnName),
                 (QStringList{"c.TXT", "e.txt", "a.txt", "d", "b.jpg"}));
        QCOMPARE(column(*form, ResultListModel::ColumnGroup),
                 (QStringList{"1", "1", "1", "2", "2"}));
        QCOMPARE(column(*form, ResultListModel::ColumnSize).first(), QStringLiteral("13 bytes"));
        QCOMPARE(form->results()->row(0).hash.size(), hash == "sha1" ? 40u : 32u);
        QCOMPARE(filterCaptions(*form), (QStringList{"*.TXT", "Unknown", "*.jpg"}));
        QVERIFY(form->lbSearchResult->isVisible());
        QVERIFY(form->lbSearchResult->text().startsWith(
            "Search results: 5 duplicated files found (of 6 files). Total time: 00:00:0"));
        QCOMPARE(form->lbStatus->text(), QStringLiteral("Populating list."));
        QVERIFY(!form->listParked());
        QVERIFY(form->selectedVisible());
        QVERIFY(!form->CPBtn->isVisible());
        QVERIFY(form->eTarget->isEnabled() && form->OptSaveSearch->isEnabled());
        QVERIFY(!form->lbFilesCount->isVisible() && !form->GlobalStatus->isVisible());
    }

    void searchOfTextThatIsNoFolder() {
        auto form = makeForm();
        form->show();
        search(*form, QStringLiteral("Local drives"));
        QCOMPARE(
            form->lbSearchResult->text(),
            QStringLiteral("Search results: 0 duplicated files found (of 0 files). Total time: "
                           "00:00:00."));
        QCOMPARE(form->lbStatus->text(), QStringLiteral("No duplicated files were found."));
        QVERIFY(form->listParked());
        QVERIFY(!form->selectedVisible());
        QCOMPARE(form->state.FinderOperation.load(), FinderPhase::None);
    }

    void searchWithTheHintOnlyFocusesTheBox() {
        auto form = makeForm();
        form->show();
        form->btSearchClick();
        QVERIFY(form->btSearch->isVisible());
        QVERIFY(!form->thrFindFiles);
    }

    void cancelDuringASearch() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 3LL << 30);
        QVERIFY(form->CPBtn->isVisible());
        QTRY_VERIFY(form->state.FinderOperation.load() == FinderPhase::MatchFiles);
        m_dialogs.answers = {true};
        form->Cancel1Click();
        QCOMPARE(m_dialogs.confirms,
                 QStringList{"Are you sure you want to cancel the current operation?"});
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles->isFinished(), 10000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->lbStatus->text(), QStringLiteral("Operation terminated."));
        QCOMPARE(form->results()->rowCount(), 0);
        QVERIFY(!form->lbSearchResult->isVisible());
        QVERIFY(!form->selectedVisible());
        QVERIFY(form->Cancel1->isEnabled());
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
    }

    void cancelAnsweredNoLeavesTheRunAsItWas() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 2LL << 30);
        QTRY_COMPARE(form->state.iFindFiles.load(), 1);
        m_dialogs.answers = {false};
        form->Cancel1Click();
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
        QVERIFY(form->Cancel1->isEnabled());
        form->CPBtnClick(); // paused by the user
        m_dialogs.answers = {false};
        form->Cancel1Click();
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Resume"));
        QVERIFY(form->Cancel1->isEnabled());
        form->CPBtnClick();
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles->isFinished(), 30000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->results()->rowCount(), 2);
    }

    void pauseFreezesTheWorkerAndTheClock() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 3LL << 30);
        QTRY_VERIFY(form->state.FinderOperation.load() == FinderPhase::MatchFiles);
        form->CPBtnClick();
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Resume"));
        QVERIFY(!form->Timer->isActive());
        QVERIFY(!form->BarWatch->isActive());
        QTest::qWait(300); // let the worker reach its gate
        const int percent = form->progress.hashPercent();
        const QString elapsed = form->lbSearchTime->text();
        QTest::qWait(700);
        QCOMPARE(form->progress.hashPercent(), percent);
        QCOMPARE(form->lbSearchTime->text(), elapsed);
        QCOMPARE(form->state.iFindFiles.load(), 1);
        form->CPBtnClick();
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
        QVERIFY(form->Timer->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles->isFinished(), 60000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->results()->rowCount(), 2);
    }

    void elapsedTimeShowsDays() {
        auto form = makeForm();
        auto ticks = [&](int count) {
            form->tUpTime = 0;
            form->iUpDays = 0;
            for (int i = 0; i < count; ++i)
                form->TimerTimer();
            return form->lbSearchTime->text();
        };
        QCOMPARE(ticks(59), QStringLiteral("00:00:59"));
        QCOMPARE(ticks(3600), QStringLiteral("01:00:00"));
        QCOMPARE(ticks(86399), QStringLiteral("23:59:59"));
        QCOMPARE(ticks(86400), QStringLiteral("1 day, 00:00:00"));
        QCOMPARE(ticks(172800), QStringLiteral("2 days, 00:00:00"));
    }

    void matchingBarPositions() {
        auto form = makeForm();
        form->GlobalStatus->setRange(0, 100);
        form->state.FinderOperation = FinderPhase::MatchFiles;
        form->state.iFilesFounded = 8;
        QList<int> positions;
        for (int bar = 0; bar < 8; ++bar) {
            form->state.iBar = bar;
            form->BarWatchTimer();
            positions << form->GlobalStatus->value();
        }
        QCOMPARE(positions, (QList<int>{0, 12, 25, 38, 50, 62, 75, 88}));
        form->state.iFilesFounded = 0; // nothing to divide by
        form->BarWatchTimer();
    }

    void layoutFollowsTheSize() {
        auto form = makeForm();
        form->show();
        form->resize(1000 - TMainForm::kFrameWidth, 700 - TMainForm::kFrameHeight);
        QCOMPARE(form->eTarget->width(), 879);
        QCOMPARE(form->btSearch->x(), 901);
        QCOMPARE(form->CPBtn->x(), 901);
        QCOMPARE(form->FileListView->height(), 485);
        QCOMPARE(form->lbCurrentFile->y(), 625);
        QCOMPARE(form->lbDirectory->y(), 644);
        QVERIFY(form->listParked());
        QVERIFY(form->FileListView->x() >= form->width());
        form->unparkList();
        form->resize(1100 - TMainForm::kFrameWidth, 700 - TMainForm::kFrameHeight);
        QCOMPARE(form->FileListView->x(), 0);
        QCOMPARE(form->FileListView->width(), 1100 - 17);

        form->resize(700 - TMainForm::kFrameWidth, 500 - TMainForm::kFrameHeight);
        QCOMPARE(form->width() + TMainForm::kFrameWidth, 769);
        QCOMPARE(form->height() + TMainForm::kFrameHeight, 546);
        QCOMPARE(form->lbCurrentFile->y(), 471);
        QCOMPARE(form->lbCurrentFile->width(), 384);
        QCOMPARE(form->Label2->x(), 637);
        QCOMPARE(form->eTarget->width(), 648);
        QCOMPARE(form->btSearch->x(), 670);
    }

    void commandLineFolderStartsTheSearch() {
        QTemporaryDir tree;
        writeText(tree.path() + "/a", "same");
        writeText(tree.path() + "/b", "same");
        auto form = makeForm({tree.path()});
        form->show();
        QCOMPARE(form->eTarget->itemText(1), tree.path() + "/");
        QCOMPARE(form->eTarget->currentIndex(), 1);
        QVERIFY(form->ThreadInicialized);
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles->isFinished(), 10000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(column(*form, ResultListModel::ColumnName), (QStringList{"b", "a"}));
    }

    void commandLineOtherThanAFolderLeavesTheHint() {
        QTemporaryDir tree;
        writeText(tree.path() + "/file", "x");
        for (const QStringList& arguments :
             {QStringList{}, QStringList{""}, QStringList{tree.path() + "/file"},
              QStringList{tree.path() + "/missing"}}) {
            auto form = makeForm(arguments);
            form->show();
            QCOMPARE(form->eTarget->currentText(), TMainForm::kSearchPathHint);
            QVERIFY(!form->ThreadInicialized);
        }
    }

    void closingDuringASearchStopsIt() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 3LL << 30);
        QTRY_VERIFY(form->state.FinderOperation.load() == FinderPhase::MatchFiles);
        form->close();
        QVERIFY(form->thrFindFiles->control().terminated());
        QElapsedTimer timer;
        timer.start();
        form.reset(); // waits for the worker, which stops at once
        QVERIFY(timer.elapsed() < 5000);
    }

    void aboutWindow() {
        auto form = makeForm();
        form->show();
        QStringList opened;
        form->aboutForm()->openUrl = [&](const QString& address) { opened << address; };
        form->About1->trigger();
        QVERIFY(form->aboutForm()->isVisible());
        QVERIFY(!form->isEnabled());
        QCOMPARE(form->aboutForm()->size(), QSize(469, 254));
        QTest::mouseClick(form->aboutForm()->Image1, Qt::LeftButton);
        QCOMPARE(opened.size(), 1);
        QVERIFY(form->aboutForm()->isVisible());
        QVERIFY(!form->isEnabled());
        QTest::mouseClick(form->aboutForm()->ImgAbout, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(!form->aboutForm()->isVisible());
        QVERIFY(form->isEnabled());
    }
};

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
