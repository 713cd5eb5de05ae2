#include "GuiTestSupport.h"
#include "UserInput.h"
#include "tests/FifoOpenWatch.h"
#include "app/TMainForm.h"
#include "operations/FileOperations.h"
#include "search/FileFinder.h"
#include "search/RunControl.h"
#include "ui/ResultListFill.h"
#include "ui/Dialogs.h"
#include "ui/ResultListModel.h"
#include "ui/TAboutForm.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QKeySequence>
#include <QMimeData>
#include <QUrl>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <deque>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// Takes the rights that let root read any folder from this thread (and the threads it starts)
// for a while, so that a folder without permissions is unreadable as it is to its users.
class WithoutReadingRights {
public:
    WithoutReadingRights() {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_changed = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutReadingRights() {
        if (m_changed)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutReadingRights(const WithoutReadingRights&) = delete;
    WithoutReadingRights& operator=(const WithoutReadingRights&) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_changed = false;
};

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

    // Types `text` into the path box as a user does: a click into the box, everything in it
    // selected and typed over.
    static void typeIntoPathBox(TMainForm& form, const QString& text) {
        user::click(form.eTarget->lineEdit());
        user::press(Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty())
            user::press(Qt::Key_Backspace);
        else
            user::type(text);
    }

    // Runs a search of `folder`: typed into the path box, then a click on "Search".
    void search(TMainForm& form, const QString& folder) {
        typeIntoPathBox(form, folder);
        user::click(form.btSearch);
        QVERIFY(form.thrFindFiles());
        QTRY_VERIFY_WITH_TIMEOUT(form.thrFindFiles()->isFinished(), 20000);
        QCoreApplication::sendPostedEvents(); // the window changes it handed over
    }

    // A search that takes seconds: two large files of one size, digested in full.
    std::unique_ptr<TMainForm> startLongSearch(const QTemporaryDir& tree, qint64 size) {
        makeSparse(tree.path() + "/big1", size);
        makeSparse(tree.path() + "/big2", size);
        auto form = makeForm();
        if (!user::showActive(form.get()))
            return nullptr;
        typeIntoPathBox(*form, tree.path());
        user::click(form->btSearch);
        return form;
    }

    // The face of the split button (pause / resume) and its arrow (the drop-down).
    static void clickPauseFace(TMainForm& form) {
        user::click(form.CPBtn, QPoint(10, form.CPBtn->height() / 2));
    }
    static void chooseCancel(TMainForm& form, bool* chosen) {
        user::chooseFromMenu({"Cancel"}, chosen);
        user::click(form.CPBtn, QPoint(form.CPBtn->width() - 4, form.CPBtn->height() / 2));
    }

    static QColor textColour(QWidget* widget) {
        return widget->palette().color(QPalette::Active, QPalette::Text);
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
    void initTestCase() { TMainForm::useDesignFont(); }

    void init() {
        m_config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (m_config->path() + "/cache").toLocal8Bit());
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

    void quotedValuesAreReadWithoutTheirQuotes() {
        const QByteArray text = "[Options]\nHash=\"md5\"\nSearchSpeed='normal'\nOnCopy=\"prompt\"\n"
                                "OnMove=\"no\"\nSubfolders=\"no\"\nIgnoreEmptyFiles=\"no\"\n"
                                "GroupColor=\"FEFCDA\"\nCopiedColor=95D6EE\nMovedColor=FF8000\n";
        writeText(configFile(), text);
        auto form = makeForm();
        QCOMPARE(readText(configFile()), QString::fromUtf8(text)); // nothing to repair
        QVERIFY(form->OptMD5->isChecked() && !form->OptSHA1->isChecked());
        QVERIFY(form->OptNormal->isChecked());
        QVERIFY(form->OptPrompt->isChecked());
        QVERIFY(!form->OptHide->isChecked());
        QVERIFY(!form->OptSubfolders->isChecked());
        QVERIFY(!form->OptIgnore->isChecked());
        QCOMPARE(form->sGroupColor, std::string("FEFCDA"));
        QVERIFY(m_dialogs.errors.isEmpty());
    }

    void failedWritesAreShownAndTheWindowOpens() {
        // A file where the settings folder should be: no write can succeed, even as root.
        writeText(m_config->path() + "/hollowbright/Twinscope", "in the way");
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QCOMPARE(m_dialogs.errors, QStringList{"Unable to write to " + configFile()});
        // The repairs could not be written, but the menus show them, and the runs go by them.
        QVERIFY(form->OptSHA1->isChecked() && form->OptRename->isChecked());
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Hash", "MD5"}));
        QCOMPARE(m_dialogs.errors.size(), 2);

        // A copy meets a file of its name: "Rename", as the menu shows, not a question.
        QTemporaryDir tree;
        QTemporaryDir destination;
        writeText(tree.path() + "/a/x", "same");
        writeText(tree.path() + "/b/x", "same");
        writeText(destination.path() + "/x", "already there");
        search(*form, tree.path());
        QCOMPARE(form->results()->rowCount(), 2);
        QVERIFY(user::chooseFrom(form->btSelected, {"Select", "All but one"}));
        m_dialogs.folder = destination.path() + "/";
        QVERIFY(user::chooseFrom(form->btSelected, {"Copy to..."}));
        QTRY_VERIFY_WITH_TIMEOUT(form->thrManageFiles() && form->thrManageFiles()->isFinished(),
                                 20000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(m_dialogs.confirms.size(), 1); // the copy's own question only
        QVERIFY(QFileInfo::exists(destination.path() + "/x (1)"));
    }

    void settingsFifoReadsAsEmptyAndTheWindowOpens() {
        QDir().mkpath(QFileInfo(configFile()).path());
        const QByteArray file = QFile::encodeName(configFile());
        QCOMPARE(mkfifo(file.constData(), 0644), 0);
        FifoOpenWatch watch(file.toStdString()); // turns a hang into a failure
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QCOMPARE(watch.opens(), 0);
        QCOMPARE(m_dialogs.errors, QStringList{"Unable to write to " + configFile()});
        struct stat st {};
        QCOMPARE(lstat(file.constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
    }

    void readOnlySettingsAreReadButNotRewritten() {
        const QByteArray text = "[Options]\nHash=md5\n";
        writeText(configFile(), text);
        QVERIFY(QFile::setPermissions(configFile(), QFile::ReadOwner | QFile::ReadUser |
                                                        QFile::ReadGroup | QFile::ReadOther));
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QVERIFY(form->OptMD5->isChecked());
        QCOMPARE(m_dialogs.errors, QStringList{"Unable to write to " + configFile()});
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Hash", "SHA1"}));
        QCOMPARE(m_dialogs.errors.size(), 2);
        QCOMPARE(readText(configFile()), QString::fromUtf8(text));
    }

    void linkedSettingsFileIsWrittenThroughTheLink() {
        // Settings kept with the user's dotfiles: the link has no target yet.
        const QString target = m_config->path() + "/dotfiles/twinscope.ini";
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        QVERIFY(QDir().mkpath(QFileInfo(configFile()).path()));
        QVERIFY(QFile::link(target, configFile()));
        auto form = makeForm();
        QVERIFY(QFileInfo(configFile()).isSymLink());
        QCOMPARE(QFileInfo(configFile()).symLinkTarget(), target);
        QVERIFY(readText(target).startsWith("[Options]\nHash=sha1\nSearchSpeed=fast\n"));
        QVERIFY(user::showActive(form.get()));
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Hash", "MD5"}));
        QVERIFY(QFileInfo(configFile()).isSymLink());
        QVERIFY(readText(target).startsWith("[Options]\nHash=md5\n"));
        QVERIFY(m_dialogs.errors.isEmpty());
    }

    void optionCommandsWriteAtOnce() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Hash", "MD5"}));
        QVERIFY(form->OptMD5->isChecked() && !form->OptSHA1->isChecked());
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Search speed", "Normal"}));
        QVERIFY(user::chooseFrom(
            form->ToolButton2,
            {"On copy",
             "Always replace the file in the destination path with the one been copied"}));
        QVERIFY(form->OptReplace->isChecked() && !form->OptRename->isChecked() &&
                !form->OptPrompt->isChecked());
        QVERIFY(user::chooseFrom(form->ToolButton2, {"On move", "Hide auto rename warnings"}));
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Always include subfolders"}));
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Ignore empty files"}));
        QCOMPARE(
            readText(configFile()),
            QStringLiteral("[Options]\nHash=md5\nSearchSpeed=normal\nOnCopy=replace\nOnMove=no\n"
                           "Subfolders=no\nIgnoreEmptyFiles=no\nGroupColor=FEFCDA\n"
                           "CopiedColor=95D6EE\nMovedColor=FF8000\n"));
        QVERIFY(!form->OptSubfolders->isChecked());
        QVERIFY(form->chkSubFolders->isChecked()); // the box keeps its state
        QVERIFY(user::chooseFrom(
            form->ToolButton2,
            {"Hash", "SHA1"})); // choosing the ticked item of a group writes it again
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Hash", "SHA1"}));
        QVERIFY(form->OptSHA1->isChecked());
    }

    void rememberingDigestsIsAnOptionThatIsOnUntilTurnedOff() {
        const QString cache = m_config->path() + "/cache/hollowbright/Twinscope/digests.sqlite";
        QTemporaryDir tree;
        for (const char* name : {"a", "b"})
            writeText(tree.path() + "/" + name, "same content");
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QVERIFY(form->OptRemember->isChecked());
        QVERIFY(!readText(configFile()).contains("RememberDigests"));
        search(*form, tree.path());
        QVERIFY(QFileInfo::exists(cache));
        QCOMPARE(form->results()->rowCount(), 2);
        const std::string digest = form->results()->row(0).hash;

        // A second search takes the digests from the cache and shows the same.
        search(*form, tree.path());
        QCOMPARE(form->results()->rowCount(), 2);
        QCOMPARE(form->results()->row(0).hash, digest);

        QVERIFY(user::chooseFrom(form->ToolButton2, {"Remember digests between searches"}));
        QVERIFY(!form->OptRemember->isChecked());
        QVERIFY(readText(configFile()).endsWith("RememberDigests=no\n"));
        QVERIFY(QFile::remove(cache));
        search(*form, tree.path());
        QCOMPARE(form->results()->rowCount(), 2);
        QVERIFY(!QFileInfo::exists(cache));
        form.reset();

        auto again = makeForm();
        QVERIFY(!again->OptRemember->isChecked());
        QVERIFY(user::showActive(again.get()));
        QVERIFY(user::chooseFrom(again->ToolButton2, {"Remember digests between searches"}));
        QVERIFY(again->OptRemember->isChecked());
        QVERIFY(readText(configFile()).endsWith("RememberDigests=yes\n"));
    }

    void pathBoxHintAndFoldersUnderTyping() {
        QTemporaryDir folder;
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QLineEdit* edit = form->eTarget->lineEdit();
        const QColor grey(0x6D, 0x6D, 0x6D);
        QCOMPARE(edit->text(), TMainForm::kSearchPathHint);
        QCOMPARE(textColour(edit), grey);
        // "Select directory..." in the box's list is drawn in the normal colour.
        QVERIFY(textColour(form->eTarget->view()) != grey);

        user::click(edit);
        QCOMPARE(user::focus(), form->eTarget);
        QCOMPARE(edit->text(), QString());
        user::type(folder.path());
        QCOMPARE(edit->text(), folder.path());
        QVERIFY(textColour(edit) != grey);

        user::press(Qt::Key_Tab); // leaving remembers the folder with a trailing "/"
        QVERIFY(user::focus() != form->eTarget);
        QCOMPARE(form->eTarget->count(), 2);
        QCOMPARE(form->eTarget->itemText(1), folder.path() + "/");
        QCOMPARE(form->eTarget->currentIndex(), 1);
        QCOMPARE(edit->text(), folder.path() + "/");

        typeIntoPathBox(*form, folder.path() + "/");
        user::press(Qt::Key_Tab); // the same folder again: selected, not added
        QCOMPARE(form->eTarget->count(), 2);
        QCOMPARE(form->eTarget->currentIndex(), 1);

        typeIntoPathBox(*form, QString());
        user::press(Qt::Key_Tab); // left empty: the grey hint comes back
        QCOMPARE(edit->text(), TMainForm::kSearchPathHint);
        QCOMPARE(textColour(edit), grey);

        typeIntoPathBox(*form, folder.path() + "/missing");
        QCOMPARE(edit->text(), folder.path() + "/missing");
        user::press(Qt::Key_Tab);
        QCOMPARE(m_dialogs.messages, QStringList{"Please specify a valid path."});
        QCOMPARE(user::focus(), form->eTarget); // the focus is back in the box
        QCOMPARE(edit->text(), folder.path() + "/missing");

        typeIntoPathBox(*form, QStringLiteral("Computer"));
        user::click(form->chkSubFolders); // leaving by mouse
        QCOMPARE(m_dialogs.messages.size(), 1);
        QCOMPARE(form->eTarget->count(), 2);
        QCOMPARE(edit->text(), QStringLiteral("Computer"));
    }

    void pathBoxEnterKey() {
        QTemporaryDir first;
        QTemporaryDir second;
        writeText(second.path() + "/a", "same");
        writeText(second.path() + "/b", "same");
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));

        typeIntoPathBox(*form, first.path() + "/missing");
        user::press(Qt::Key_Return); // a missing folder is said to be one, and nothing starts
        QVERIFY(m_dialogs.confirms.isEmpty());
        QCOMPARE(m_dialogs.messages, QStringList{"Please specify a valid path."});
        QVERIFY(!form->thrFindFiles());
        m_dialogs.messages.clear();

        typeIntoPathBox(*form, first.path());
        m_dialogs.answers = {false};
        user::press(Qt::Key_Return);
        QCOMPARE(m_dialogs.confirms, QStringList{"Start the search?"});
        QCOMPARE(form->eTarget->itemText(1), first.path() + "/"); // remembered, not searched
        QVERIFY(form->btSearch->isVisible());
        QVERIFY(!form->thrFindFiles());

        typeIntoPathBox(*form, second.path());
        m_dialogs.answers = {true};
        user::press(Qt::Key_Enter);
        QCOMPARE(m_dialogs.confirms.size(), 2);
        QVERIFY(form->thrFindFiles());
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 20000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(column(*form, ResultListModel::ColumnName), (QStringList{"b", "a"}));
        QCOMPARE(form->eTarget->currentText(), second.path() + "/");
        QVERIFY(form->lbSearchResult->text().startsWith(
            "Search results: 2 duplicated files found (of 2 files)."));
    }

    void pathBoxFolderDialog() {
        QTemporaryDir first;
        QTemporaryDir second;
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        typeIntoPathBox(*form, first.path());
        user::press(Qt::Key_Tab);
        QCOMPARE(form->eTarget->currentIndex(), 1);

        // "Select directory..." chosen from the box's list, the dialog cancelled: empty box.
        m_dialogs.folder = std::nullopt;
        user::click(form->eTarget, QPoint(form->eTarget->width() - 6, form->eTarget->height() / 2));
        QTRY_VERIFY(form->eTarget->view()->isVisible());
        QAbstractItemView* list = form->eTarget->view();
        // By the keyboard: a click on the list is ignored for a moment after it opens, a moment
        // a busy machine can stretch past any wait.
        user::press(Qt::Key_Home);
        user::press(Qt::Key_Return);
        QTRY_VERIFY(!list->isVisible());
        QCOMPARE(form->eTarget->currentText(), QString());

        // A double click with a remembered folder selected, the dialog cancelled: it comes back.
        form->eTarget->setCurrentIndex(1);
        user::doubleClick(form->eTarget->lineEdit());
        QCOMPARE(form->eTarget->currentText(), first.path() + "/");

        m_dialogs.folder = second.path() + "/";
        user::doubleClick(form->eTarget->lineEdit());
        QCOMPARE(form->eTarget->count(), 3);
        QCOMPARE(form->eTarget->currentText(), second.path() + "/");
        user::doubleClick(form->eTarget->lineEdit()); // the same folder again: not added twice
        QCOMPARE(form->eTarget->count(), 3);
        QCOMPARE(form->eTarget->currentIndex(), 2);
    }

    void tabOrderStartsAtSearch() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QCOMPARE(user::focus(), form->btSearch);
        user::press(Qt::Key_Tab);
        QCOMPARE(user::focus(), form->chkSubFolders);
        user::press(Qt::Key_Tab);
        QCOMPARE(user::focus(), form->eTarget);
        QCOMPARE(form->eTarget->lineEdit()->text(), QString()); // entering leaves the hint
        for (int i = 0; i < 10; ++i) {
            user::press(Qt::Key_Tab);
            QVERIFY2(qobject_cast<QToolButton*>(user::focus()) == nullptr,
                     "a tool bar button took the focus");
        }
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
        QVERIFY(user::showActive(form.get()));
        QVERIFY(user::chooseFrom(form->ToolButton2,
                                 {"Search speed", speed == "fast" ? "Fast" : "Normal"}));
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Hash", hash == "sha1" ? "SHA1" : "MD5"}));
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
        QVERIFY(user::showActive(form.get()));
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
        QVERIFY(user::showActive(form.get()));
        user::click(form->btSearch);
        QCOMPARE(user::focus(), form->eTarget);
        QVERIFY(form->btSearch->isVisible());
        QVERIFY(!form->CPBtn->isVisible());
        QVERIFY(!form->thrFindFiles());
    }

    void cancelDuringASearch() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 3LL << 30);
        QVERIFY(form);
        QVERIFY(form->CPBtn->isVisible());
        QVERIFY(!form->OptRemember->isEnabled() && !form->OptIgnore->isEnabled());
        QTRY_VERIFY(form->state.FinderOperation.load() == FinderPhase::MatchFiles);
        m_dialogs.answers = {true};
        bool chosen = false;
        chooseCancel(*form, &chosen);
        QVERIFY(chosen);
        QCOMPARE(m_dialogs.confirms,
                 QStringList{"Are you sure you want to cancel the current operation?"});
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 10000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->lbStatus->text(), QStringLiteral("Operation terminated."));
        QCOMPARE(form->results()->rowCount(), 0);
        QVERIFY(!form->lbSearchResult->isVisible());
        QVERIFY(!form->selectedVisible());
        QVERIFY(form->Cancel1->isEnabled());
        QVERIFY(form->btSearch->isVisible() && !form->CPBtn->isVisible());
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
        QVERIFY(form->OptRemember->isEnabled());
    }

    void cancelAnsweredNoLeavesTheRunAsItWas() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 2LL << 30);
        QVERIFY(form);
        QTRY_VERIFY(form->runState().kind == RunKind::Search);
        m_dialogs.answers = {false};
        bool chosen = false;
        chooseCancel(*form, &chosen);
        QVERIFY(chosen);
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
        QVERIFY(form->Cancel1->isEnabled());
        clickPauseFace(*form); // paused by the user
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Resume"));
        m_dialogs.answers = {false};
        chooseCancel(*form, &chosen);
        QVERIFY(chosen);
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Resume"));
        QVERIFY(form->Cancel1->isEnabled());
        clickPauseFace(*form);
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 30000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->results()->rowCount(), 2);
    }

    void pauseFreezesTheWorkerAndTheClock() {
        QTemporaryDir tree;
        auto form = startLongSearch(tree, 3LL << 30);
        QVERIFY(form);
        QTRY_VERIFY(form->state.FinderOperation.load() == FinderPhase::MatchFiles);
        clickPauseFace(*form);
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Resume"));
        QVERIFY(!form->Timer->isActive());
        QVERIFY(!form->BarWatch->isActive());
        QTest::qWait(300); // let the worker reach its gate
        const int percent = form->progress.hashPercent();
        const QString elapsed = form->lbSearchTime->text();
        const int bar = form->GlobalStatus->value();
        QTest::qWait(700);
        QCOMPARE(form->progress.hashPercent(), percent);
        QCOMPARE(form->lbSearchTime->text(), elapsed);
        QCOMPARE(form->GlobalStatus->value(), bar);
        QVERIFY(form->runState().kind == RunKind::Search);
        clickPauseFace(*form);
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
        QVERIFY(form->Timer->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 60000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->results()->rowCount(), 2);
    }

    void parkedListIsOutOfReachDuringARun() {
        // A first search leaves a list with filter entries; during the next search that list is
        // parked and neither Tab nor the menu key may reach it.
        QTemporaryDir tree;
        writeText(tree.path() + "/a.txt", "same");
        writeText(tree.path() + "/b.txt", "same");
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        search(*form, tree.path());
        QCOMPARE(form->results()->rowCount(), 2);
        QVERIFY(!form->listParked());
        QVERIFY(!form->Filter1->actions().isEmpty());

        makeSparse(tree.path() + "/big1", 3LL << 30);
        makeSparse(tree.path() + "/big2", 3LL << 30);
        user::click(form->btSearch);
        QTRY_VERIFY(form->state.FinderOperation.load() == FinderPhase::MatchFiles);
        clickPauseFace(*form);
        QVERIFY(form->listParked());
        for (int i = 0; i < 12; ++i) {
            user::press(Qt::Key_Tab);
            QVERIFY2(user::focus() != form->FileListView, "Tab reached the parked list");
            user::press(Qt::Key_Menu);
            QVERIFY2(!form->FileListMenu->isVisible(), "the parked list's menu opened");
            if (QWidget* popup = QApplication::activePopupWidget())
                popup->close();
        }
        QVERIFY(!form->thrFileFilter());
        clickPauseFace(*form);
        m_dialogs.answers = {true};
        bool chosen = false;
        chooseCancel(*form, &chosen);
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 10000);
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
        QCOMPARE(form->lbDirectory->y(), 490);
        QCOMPARE(form->eTarget->width(), 648);
        QCOMPARE(form->btSearch->x(), 670);
    }

    void bottomRowsShowTheirValuesWhole() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        form->lbHashPerc->setText(QStringLiteral("100%"));
        form->lbSearchTime->setText(QStringLiteral("2 days, 23:59:59"));
        form->resize(769 - TMainForm::kFrameWidth, 546 - TMainForm::kFrameHeight);
        form->FormResize();
        const QFont font = form->font();
        for (auto [title, value] :
             {std::pair<QLabel*, QLabel*>{form->lbFilesTitle, form->lbFilesCount},
              {form->lbDupTitle, form->lbDuplicated},
              {form->Label7, form->lbCurrentFile},
              {form->Label2, form->lbHashPerc},
              {form->Label13, form->lbSearchTime},
              {form->Label9, form->lbDirectory}}) {
            // Every title in the window's font, and no title under its value.
            QCOMPARE(title->font(), font);
            QVERIFY2(title->geometry().right() < value->x(), qPrintable(title->text()));
            QVERIFY2(title->fontMetrics().horizontalAdvance(title->text()) <= title->width(),
                     qPrintable(title->text()));
        }
        for (QLabel* whole : {form->lbHashPerc, form->lbSearchTime})
            QVERIFY2(whole->fontMetrics().horizontalAdvance(whole->text()) <= whole->width(),
                     qPrintable(whole->text()));
        QVERIFY(form->lbCurrentFile->geometry().right() < form->Label2->x());
        QVERIFY(form->lbHashPerc->geometry().right() < form->width());
        QVERIFY(form->lbSearchTime->geometry().right() < form->Label9->x());
        QVERIFY(form->lbDirectory->geometry().right() < form->width());
    }

    void windowOpensCentred() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        const QRect screen = form->screen()->availableGeometry();
        const QPoint offset = form->frameGeometry().center() - screen.center();
        QVERIFY2(std::abs(offset.x()) <= TMainForm::kFrameWidth &&
                     std::abs(offset.y()) <= TMainForm::kFrameHeight,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
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
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 10000);
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
        QVERIFY(form->thrFindFiles()->control().terminated());
        QElapsedTimer timer;
        timer.start();
        form.reset(); // waits for the worker, which stops at once
        QVERIFY(timer.elapsed() < 5000);
    }

    void listFillWaitsForTheWindowAndStopsWhenAsked() {
        // A window that takes the changes only when told to: the fill must not run more than
        // two batches ahead of it, and must end at once when asked, even if the window never
        // takes another change (a closing window waits for its workers).
        struct SlowWindow : ResultListWindow {
            std::mutex mutex;
            std::deque<std::function<void()>> waiting;
            std::size_t mostWaiting = 0;
            std::size_t reserved = 0;
            std::size_t rows = 0;
            void postChange(std::function<void()> change) override {
                std::lock_guard lock(mutex);
                waiting.push_back(std::move(change));
                mostWaiting = std::max(mostWaiting, waiting.size());
            }
            void reserveResultRows(std::size_t count) override { reserved = count; }
            void appendResultRows(std::vector<ResultRow> batch,
                                  const std::vector<std::string>&) override {
                rows += batch.size();
            }
            bool takeOne() {
                std::function<void()> change;
                {
                    std::lock_guard lock(mutex);
                    if (waiting.empty())
                        return false;
                    change = std::move(waiting.front());
                    waiting.pop_front();
                }
                change();
                return true;
            }
        };
        std::vector<TFiles> files(20000);
        for (std::size_t i = 0; i < files.size(); ++i) {
            files[i].fName = "f" + std::to_string(i);
            files[i].fHash = std::to_string(i / 2);
        }
        SlowWindow window;
        RunControl control;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            fillResultList(window, files, control, nullptr);
            done = true;
        });
        while (!done.load() || window.takeOne()) {
            if (!window.takeOne())
                QTest::qWait(1);
        }
        worker.join();
        QCOMPARE(window.rows, files.size());
        QCOMPARE(window.reserved, files.size());
        QVERIFY2(window.mostWaiting <= 3, qPrintable(QString::number(window.mostWaiting)));

        SlowWindow stuck; // never takes a change
        RunControl ending;
        done = false;
        std::thread stopped([&] {
            fillResultList(stuck, files, ending, nullptr);
            done = true;
        });
        QTest::qWait(50);
        QVERIFY(!done.load()); // held back by the window
        ending.requestTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 5000);
        stopped.join();
    }

    void menusFromTheKeyboard() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        bool chosen = false;
        user::chooseFromMenu({"About"}, &chosen);
        user::press(Qt::Key_H, Qt::AltModifier);
        QVERIFY(chosen);
        QTRY_VERIFY(form->aboutForm()->isVisible());
        QTRY_VERIFY(QGuiApplication::focusWindow() == form->aboutForm()->windowHandle());
        user::press(Qt::Key_Escape);
        QVERIFY(!form->aboutForm()->isVisible());
        QVERIFY(form->isEnabled());
        QVERIFY(user::showActive(form.get()));

        // No result yet: the "Duplicated" menu is not there to open.
        user::press(Qt::Key_D, Qt::AltModifier);
        QVERIFY(QApplication::activePopupWidget() == nullptr);

        user::chooseFromMenu({"Hash", "MD5"}, &chosen);
        user::press(Qt::Key_O, Qt::AltModifier);
        QVERIFY(chosen);
        QVERIFY(form->OptMD5->isChecked());

        user::chooseFromMenu({"Exit"}, &chosen);
        user::press(Qt::Key_F10);
        QVERIFY(chosen);
        QVERIFY(!form->isVisible());
    }

    void pathBoxSearchesWhatWasTyped() {
        QTemporaryDir data;
        writeText(data.path() + "/photos/a", "same");
        writeText(data.path() + "/photos/b", "same");
        writeText(data.path() + "/x", "other");
        writeText(data.path() + "/y", "other");
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        typeIntoPathBox(*form, data.path() + "/photos/");
        user::press(Qt::Key_Tab); // remembered
        // The start of a remembered folder, typed: it stays as typed and is what is searched.
        typeIntoPathBox(*form, data.path() + "/");
        QCOMPARE(form->eTarget->lineEdit()->text(), data.path() + "/");
        m_dialogs.answers = {true};
        user::press(Qt::Key_Return);
        QVERIFY(form->thrFindFiles());
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 20000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->results()->rowCount(), 4);
        QCOMPARE(form->eTarget->currentText(), data.path() + "/");

        // "~" stands for the home folder.
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(data.path()));
        typeIntoPathBox(*form, QStringLiteral("~/photos"));
        user::press(Qt::Key_Tab);
        qputenv("HOME", home);
        QCOMPARE(form->eTarget->currentText(), data.path() + "/photos/");
        QVERIFY(m_dialogs.messages.isEmpty());

        // A folder dropped from a file manager goes into the box, as if picked in the dialog.
        QMimeData dragged;
        dragged.setUrls({QUrl::fromLocalFile(data.path() + "/photos")});
        const QPoint over = form->rect().center();
        QDragEnterEvent enter(over, Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(over, Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        typeIntoPathBox(*form, QString());
        QApplication::sendEvent(form.get(), &drop);
        QCOMPARE(form->eTarget->currentText(), data.path() + "/photos/");
    }

    void pausedSearchShowsNothingMoving() {
        QTemporaryDir tree;
        // A walk long enough to be paused in, while the bar is still busy.
        for (int folder = 0; folder < 40; ++folder) {
            const QByteArray path = QFile::encodeName(tree.path() + "/" + QString::number(folder));
            QVERIFY(::mkdir(path.constData(), 0755) == 0);
            for (int file = 0; file < 1000; ++file)
                ::close(::open((path + "/" + QByteArray::number(file)).constData(),
                               O_WRONLY | O_CREAT, 0644));
        }
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        typeIntoPathBox(*form, tree.path());
        user::click(form->btSearch);
        QTRY_VERIFY(form->runState().kind == RunKind::Search);
        clickPauseFace(*form);
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Resume"));
        const auto busy = [&] {
            return form->GlobalStatus->minimum() == 0 && form->GlobalStatus->maximum() == 0;
        };
        QVERIFY(!busy());
        const QString elapsed = form->lbSearchTime->text();
        QTest::qWait(1200);
        QCOMPARE(form->lbSearchTime->text(), elapsed);
        QVERIFY(!busy());
        clickPauseFace(*form);
        QCOMPARE(form->CPBtn->text(), QStringLiteral("Pause"));
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 60000);
    }

    void keyboardReachesEveryMenuAndShowsItsFocus() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        // The focus on "Search" is drawn from the start.
        QCOMPARE(user::focus(), form->btSearch);
        const QImage focused = form->btSearch->grab().toImage();
        form->btSearch->clearFocus();
        const QImage unfocused = form->btSearch->grab().toImage();
        QVERIFY(focused != unfocused);
        form->btSearch->setFocus();

        // The menus' letters are marked, and Left and Right go from menu to menu.
        QCOMPARE(QKeySequence::mnemonic(form->ToolButton1->text()),
                 QKeySequence(Qt::ALT | Qt::Key_F));
        QCOMPARE(QKeySequence::mnemonic(form->ToolButton3->text()),
                 QKeySequence(Qt::ALT | Qt::Key_H));
        QTimer::singleShot(0, [&] {
            QTRY_VERIFY(QApplication::activePopupWidget() == form->FileMenu);
            user::press(Qt::Key_Right);
            QTRY_VERIFY(QApplication::activePopupWidget() == form->OptionsMenu);
            user::press(Qt::Key_Right); // "Duplicated" is not there without a result
            QTRY_VERIFY(QApplication::activePopupWidget() == form->HelpMenu);
            user::press(Qt::Key_Right);
            QTRY_VERIFY(QApplication::activePopupWidget() == form->FileMenu);
            user::press(Qt::Key_Left);
            QTRY_VERIFY(QApplication::activePopupWidget() == form->HelpMenu);
            user::press(Qt::Key_Escape);
        });
        user::press(Qt::Key_F10);
        QTRY_VERIFY(QApplication::activePopupWidget() == nullptr);
        QVERIFY(form->isVisible());
    }

    void unreadableFolderIsNamed() {
        QTemporaryDir tree;
        const QString locked = tree.path() + "/locked";
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(::chmod(QFile::encodeName(locked).constData(), 0) == 0);
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        {
            // Root reads any folder: the search's thread is made without that right.
            WithoutReadingRights unprivileged;
            search(*form, locked);
            QTRY_COMPARE(m_dialogs.errors.size(), 1);
            // Below the searched folder, it is named beside the result.
            search(*form, tree.path());
        }
        ::chmod(QFile::encodeName(locked).constData(), 0755);
        QTRY_COMPARE(m_dialogs.errors.size(), 2);
        QVERIFY2(m_dialogs.errors.first().contains("could not be read"),
                 qPrintable(m_dialogs.errors.first()));
        QVERIFY2(m_dialogs.errors.last().contains(locked + "/ — Permission denied"),
                 qPrintable(m_dialogs.errors.last()));
        QCOMPARE(form->lbSearchResult->toolTip(),
                 QStringLiteral("Passed over: 1 folder that could not be read"));
    }

    void aboutWindow() {
        auto form = makeForm();
        QVERIFY(user::showActive(form.get()));
        QStringList opened;
        form->aboutForm()->openUrl = [&](const QString& address) { opened << address; };
        bool chosen = false;
        user::chooseFromMenu({"About"}, &chosen);
        user::click(form->ToolButton3);
        QVERIFY(chosen);
        QVERIFY(form->aboutForm()->isVisible());
        QVERIFY(!form->isEnabled());
        QCOMPARE(form->aboutForm()->size(), QSize(469, 254));
        // The picture is drawn in its own colours, not greyed out with the disabled window.
        QVERIFY(form->aboutForm()->isEnabled());
        const QImage drawn = form->aboutForm()->grab().toImage();
        const QImage picture(QStringLiteral(":/twinscope/about.png"));
        for (QPoint at : {QPoint(40, 40), QPoint(234, 127), QPoint(400, 60)})
            QCOMPARE(QColor(drawn.pixel(at)), QColor(picture.pixel(at)));
        user::click(form.get(), QPoint(300, 300)); // the main window takes no clicks
        QVERIFY(form->aboutForm()->isVisible());
        // A window manager brings the main window up over it: it comes back, and Escape reaches it.
        form->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), form->aboutForm());
        user::press(Qt::Key_Escape);
        QVERIFY(!form->aboutForm()->isVisible());
        QVERIFY(form->isEnabled());
        user::chooseFromMenu({"About"}, &chosen);
        user::click(form->ToolButton3);
        QTRY_VERIFY(form->aboutForm()->isVisible());

        user::click(form->aboutForm()->Image1);
        QCOMPARE(opened.size(), 1);
        QVERIFY(form->aboutForm()->isVisible());
        QVERIFY(!form->isEnabled());
        user::click(form->aboutForm()->ImgAbout, QPoint(20, 20));
        QVERIFY(!form->aboutForm()->isVisible());
        QVERIFY(form->isEnabled());
    }
};

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
