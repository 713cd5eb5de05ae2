#include "GuiTestSupport.h"
#include "UserInput.h"
#include "app/TMainForm.h"
#include "operations/FileFilter.h"
#include "operations/FileOperations.h"
#include "search/FileFinder.h"
#include "ui/ResultListModel.h"
#include "ui/TSearchScopeForm.h"

#include <QAction>
#include <QBrush>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <unistd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <utime.h>

// Takes all the space left on the disk of `path`, so that the next write fails.
static void fillDisk(const QString& path) {
    QFile filler(path);
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'f');
    while (filler.write(block) > 0 && filler.flush()) {
    }
}

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
        if (!user::showActive(form.get()))
            qWarning("the window did not become active");
        return form;
    }

    // The tree (or a folder of it) typed into the path box, then a click on "Search".
    void search(TMainForm& form, const QString& folder = {}) {
        user::click(form.eTarget->lineEdit());
        user::press(Qt::Key_A, Qt::ControlModifier);
        user::type(folder.isEmpty() ? m_tree->path() : folder);
        user::click(form.btSearch);
        QVERIFY(form.thrFindFiles());
        QTRY_VERIFY_WITH_TIMEOUT(form.thrFindFiles()->isFinished(), 20000);
        QCoreApplication::sendPostedEvents(); // the window changes it handed over
        QTRY_VERIFY(!form.listParked() || !form.selectedVisible());
    }

    // A command chosen from a tool bar button's menu, along a path of captions.
    static bool choose(QToolButton* button, const QStringList& path) {
        bool chosen = false;
        user::chooseFromMenu(path, &chosen);
        user::click(button);
        return chosen;
    }

    static void chooseOption(TMainForm& form, const QStringList& path) {
        QVERIFY(choose(form.ToolButton2, path));
    }

    // A command of the "Duplicated" menu; waits for the file operation it starts.
    void runOperation(TMainForm& form, const QString& caption) {
        QVERIFY(form.selectedVisible());
        QVERIFY(choose(form.btSelected, {caption}));
        if (!form.thrManageFiles())
            return;
        // Waiting with the event loop running, so the worker's questions are answered.
        QTRY_VERIFY_WITH_TIMEOUT(form.thrManageFiles()->isFinished(), 20000);
        QCoreApplication::sendPostedEvents();
    }

    // The search scope dialog, opened from the Options menu and holding the keyboard.
    static TSearchScopeForm* openScope(TMainForm& form) {
        chooseOption(form, {"Search scope..."});
        if (!QTest::qWaitFor(
                [&] { return form.scopeForm() && form.scopeForm()->isActiveWindow(); }))
            qWarning("the search scope dialog did not open");
        return form.scopeForm();
    }

    static void scopeClosed(TMainForm& form) {
        QTRY_VERIFY(!form.scopeForm());
        QTRY_VERIFY(form.isActiveWindow());
    }

    static void allButOne(TMainForm& form) {
        QVERIFY(choose(form.btSelected, {"Select", "All but one"}));
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

    static QModelIndex cell(TMainForm& form, int row, int column) {
        return form.results()->index(row, column);
    }

    // Ticks exactly `rows` by clicking the check boxes that differ.
    static void tick(TMainForm& form, const QList<int>& rows) {
        for (int row = 0; row < form.results()->rowCount(); ++row) {
            const bool wanted = rows.contains(row);
            if (form.results()->isChecked(row) == wanted)
                continue;
            form.FileListView->scrollTo(cell(form, row, 0));
            user::click(form.FileListView->viewport(),
                        user::checkBoxOf(form.FileListView, cell(form, row, 0)));
            QVERIFY2(form.results()->isChecked(row) == wanted, qPrintable(QString::number(row)));
        }
    }

    // Ticks the rows of these files (below the searched folder, with the row's status) only.
    void tickFiles(TMainForm& form, const QStringList& files) const {
        QList<int> rows;
        for (int row = 0; row < form.results()->rowCount(); ++row) {
            const ResultRow& r = form.results()->row(row);
            const QString file = QString::fromStdString(r.folder + r.name + ":" + r.status)
                                     .mid(m_tree->path().size() + 1);
            if (files.contains(file))
                rows << row;
        }
        tick(form, rows);
    }

    static QAction* filterEntry(TMainForm& form, const QString& caption) {
        for (QAction* action : form.Filter1->actions()) {
            if (action->data().toString() == caption)
                return action;
        }
        return nullptr;
    }

    // A command of the list's context menu, opened by a right click on a row.
    static bool chooseFromListMenu(TMainForm& form, int row, const QStringList& path) {
        bool chosen = false;
        user::chooseFromMenu(path, &chosen);
        user::rightClick(form.FileListView->viewport(),
                         form.FileListView->visualRect(cell(form, row, 1)).center());
        return QTest::qWaitFor([&] { return chosen; }, 3000);
    }

    void filter(TMainForm& form, const QString& caption) {
        QVERIFY2(filterEntry(form, caption) != nullptr, qPrintable(caption));
        QVERIFY(chooseFromListMenu(form, 0, {"Filter", caption}));
        QVERIFY(form.thrFileFilter());
        // The filter hands its rows over while the window takes them.
        QTRY_VERIFY_WITH_TIMEOUT(form.thrFileFilter()->isFinished(), 20000);
        QCoreApplication::sendPostedEvents();
        QVERIFY(form.btSearch->isEnabled() && form.FileListView->isVisible());
    }

private slots:
    void initTestCase() { TMainForm::useDesignFont(); }

    void init() {
        m_config = std::make_unique<QTemporaryDir>();
        m_tree = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (m_config->path() + "/cache").toLocal8Bit());
        // The home trash of these tests lies in their own folder.
        qputenv("XDG_DATA_HOME", (m_config->path() + "/data").toLocal8Bit());
        m_dialogs = FakeDialogs();
    }

    // The ticks as "name+" / "name-", in list order.
    static QString tickText(TMainForm& form) {
        QStringList texts;
        for (int row = 0; row < form.results()->rowCount(); ++row)
            texts << QString::fromStdString(form.results()->row(row).name) +
                         (form.results()->isChecked(row) ? "+" : "-");
        return texts.join(' ');
    }

    void setModified(const QString& relative, time_t seconds) {
        struct utimbuf times {
            seconds, seconds
        };
        QCOMPARE(utime(QFile::encodeName(path(relative)).constData(), &times), 0);
    }

    void selectionRulesFromTheMenu() {
        writeText(path("x/long-name-a"), "same");
        writeText(path("y/b"), "same");
        writeText(path("y/c"), "same");
        writeText(path("z/d"), "two");
        writeText(path("z/e"), "two");
        setModified("x/long-name-a", 3000);
        setModified("y/b", 1000);
        setModified("y/c", 2000);
        setModified("z/d", 5000);
        setModified("z/e", 5000);
        auto form = makeForm();
        search(*form);
        QCOMPARE(tickText(*form), QStringLiteral("b- c- long-name-a- e- d-"));
        QVERIFY(choose(form->btSelected, {"Select", "All but the oldest"}));
        QCOMPARE(tickText(*form), QStringLiteral("b- c+ long-name-a+ e- d+"));
        QVERIFY(choose(form->btSelected, {"Select", "All but the newest"}));
        QCOMPARE(tickText(*form), QStringLiteral("b+ c+ long-name-a- e- d+"));
        QVERIFY(choose(form->btSelected, {"Select", "All but the shortest path"}));
        QCOMPARE(tickText(*form), QStringLiteral("b- c+ long-name-a+ e- d+"));
        m_dialogs.folder = path("y") + "/";
        QVERIFY(choose(form->btSelected, {"Select", "All in a folder..."}));
        QCOMPARE(tickText(*form), QStringLiteral("b+ c+ long-name-a- e- d-"));
        m_dialogs.folder = m_tree->path() + "/"; // every file: one of each group stays
        QVERIFY(choose(form->btSelected, {"Select", "All in a folder..."}));
        QCOMPARE(tickText(*form), QStringLiteral("b- c+ long-name-a+ e- d+"));
        m_dialogs.folder = std::nullopt; // cancelled: the ticks stay
        QVERIFY(choose(form->btSelected, {"Select", "All in a folder..."}));
        QCOMPARE(tickText(*form), QStringLiteral("b- c+ long-name-a+ e- d+"));
        QVERIFY(choose(form->btSelected, {"Select", "Clear all ticks"}));
        QCOMPARE(tickText(*form), QStringLiteral("b- c- long-name-a- e- d-"));
    }

    void moveToTrashFromTheMenu() {
        writeText(path("a b%.txt"), "same");
        writeText(path("b.txt"), "same");
        writeText(path("c.txt"), "other");
        writeText(path("d.txt"), "other");
        setModified("a b%.txt", 1000);
        setModified("b.txt", 2000);
        auto form = makeForm();
        search(*form);
        QVERIFY(choose(form->btSelected, {"Select", "All but the oldest"}));
        QCOMPARE(tickText(*form), QStringLiteral("b.txt+ a b%.txt- d.txt+ c.txt-"));
        runOperation(*form, "Move to Trash");
        QCOMPARE(m_dialogs.confirms,
                 QStringList{"Are you sure you want to move the selected file(s) to the trash?"});
        QVERIFY2(m_dialogs.errors.isEmpty(), qPrintable(m_dialogs.errors.join('|')));
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files), (QStringList{"a b%.txt", "c.txt"}));
        const QString trash = m_config->path() + "/data/Trash/";
        QCOMPARE(QDir(trash + "files").entryList(QDir::Files), (QStringList{"b.txt", "d.txt"}));
        QVERIFY(readText(trash + "info/b.txt.trashinfo")
                    .contains("\nPath=" + QUrl::toPercentEncoding(path("b.txt"), "/") + "\n"));
        // Trashed rows leave the result as deleted ones do: no group is left.
        QCOMPARE(form->state.iDuplicatedFiles.load(), 0);
        QVERIFY(form->listParked());
        QCOMPARE(form->lbStatus->text(), QStringLiteral("No duplicated files were found."));
    }

    void searchScopeWithAReferenceFolder() {
        writeText(path("main/a1"), "same");
        writeText(path("main/sub/a2"), "same");
        writeText(path("main/t1.tmp"), "temp");
        writeText(path("main/t2.tmp"), "temp");
        writeText(path("ref/a"), "same");
        QVERIFY(QFile::setPermissions(path("ref/a"), QFile::ReadOwner | QFile::ReadGroup));
        const QString config = m_config->path() + "/hollowbright/Twinscope/config.ini";
        auto form = makeForm();
        QVERIFY(!form->lbScope->isVisible());

        // Escape leaves the scope as it was, and writes nothing.
        openScope(*form);
        user::press(Qt::Key_Escape);
        scopeClosed(*form);
        QVERIFY(!readText(config).contains("SearchScope"));

        TSearchScopeForm* scope = openScope(*form);
        m_dialogs.folder = path("ref") + "/";
        user::click(scope->btAddFolder);
        QCOMPARE(user::focus(), scope->lvFolders);
        user::press(Qt::Key_Space); // Normal becomes Reference
        user::click(scope->mePatterns);
        user::type("*.tmp");
        user::click(scope->eMaxSize);
        user::type("9X");
        user::press(Qt::Key_Return); // refused: the dialog stays, with the box to mend
        QCOMPARE(m_dialogs.errors, QStringList{"The largest size must be a size such as 4096, "
                                               "64K or 2G, not \"9X\"."});
        QCOMPARE(user::focus(), scope->eMaxSize);
        user::type("9"); // over the whole of the refused text
        user::press(Qt::Key_Return);
        scopeClosed(*form);
        const QString written = readText(config);
        QVERIFY2(written.contains("\n[SearchScope]\nFolder1=\"" + path("ref") +
                                  "\"\nReference1=yes\nExclude1=\"*.tmp\"\nMaxSize=9\n"),
                 qPrintable(written));
        QCOMPARE(form->lbScope->text(), QStringLiteral("Also: 1 more folder (1 reference); "
                                                       "leaving out *.tmp; sizes up to 9 bytes"));

        // The read-only reference file is compared; the excluded files are left out.
        search(*form, path("main"));
        QCOMPARE(shortNames(*form), QStringLiteral("1:main/sub/a2 1:ref/a 1:main/a1"));
        // Neither a click on its box nor Space nor a rule ticks the reference row.
        QTreeView* list = form->FileListView;
        user::click(list->viewport(), user::checkBoxOf(list, cell(*form, 1, 0)));
        user::clickCell(list, cell(*form, 1, ResultListModel::ColumnName));
        user::press(Qt::Key_Space);
        QCOMPARE(form->results()->data(cell(*form, 1, 0), Qt::CheckStateRole), QVariant());
        allButOne(*form);
        QCOMPARE(tickText(*form), QStringLiteral("a2+ a- a1+"));
        // Nothing is saved over a reference file nor copied into its folder, however named.
        m_dialogs.errors.clear();
        m_dialogs.saveAs = path("ref/a");
        QVERIFY(choose(form->ToolButton1, {"Save search result as..."}));
        m_dialogs.folder = path("main/../ref/new/");
        QVERIFY(choose(form->btSelected, {"Copy to..."}));
        QCOMPARE(m_dialogs.errors.size(), 2);
        QVERIFY(m_dialogs.errors[1].startsWith("The folder \"" + path("main/../ref/new/") +
                                               "\" lies in the reference folder \"" + path("ref")));
        QVERIFY(!form->thrManageFiles() && !QFile::exists(path("ref/new")));
        QCOMPARE(readText(path("ref/a")), QStringLiteral("same"));
    }

    void aFolderMadeAReferenceAfterTheSearchKeepsItsListedFiles() {
        writeText(path("main/a"), "same");
        writeText(path("more/b"), "same");
        writeText(path("more/c"), "same");
        writeText(m_config->path() + "/hollowbright/Twinscope/config.ini",
                  "[SearchScope]\nFolder1=\"" + QFile::encodeName(path("more")) +
                      "\"\nReference1=no\n");
        auto form = makeForm();
        search(*form, path("main"));
        user::clickCell(form->FileListView, cell(*form, 0, ResultListModel::ColumnName));
        user::press(Qt::Key_Space);
        QCOMPARE(tickText(*form), QStringLiteral("b+ c- a-"));
        QTreeWidget* folders = openScope(*form)->lvFolders;
        user::clickCell(folders, folders->model()->index(0, 0));
        user::press(Qt::Key_Space);
        user::press(Qt::Key_Return);
        scopeClosed(*form);
        // Its rows are reference rows now, their ticks gone; All but one ticks the others.
        QCOMPARE(tickText(*form), QStringLiteral("b- c- a-"));
        allButOne(*form);
        QCOMPARE(tickText(*form), QStringLiteral("b- c- a+"));
    }

    // No, the default, changes nothing; Yes makes each ticked file a name of the kept file, and
    // a group left with one file leaves the list.
    void replaceWithHardLinksOrReflinksAsksFirst() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        writeText(path("c"), "same");
        writeText(path("d"), "other");
        writeText(path("e"), "other");
        auto form = makeForm();
        search(*form);
        allButOne(*form);
        const auto inode = [this](const char* name) {
            struct stat st {};
            ::stat(path(name).toLocal8Bit().constData(), &st);
            return st.st_ino;
        };
        for (const char* caption : {"Replace with reflinks", "Replace with hard links"}) {
            m_dialogs.answers = {false};
            QVERIFY(choose(form->btSelected, {caption}));
            QVERIFY(!form->thrManageFiles());
        }
        QCOMPARE(m_dialogs.riskyConfirms.size(), 2);

        m_dialogs.answers = {true};
        runOperation(*form, "Replace with hard links");
        QVERIFY2(m_dialogs.errors.isEmpty(), qPrintable(m_dialogs.errors.join('|')));
        QCOMPARE(inode("a"), inode("b"));
        QCOMPARE(inode("b"), inode("c"));
        QCOMPARE(inode("d"), inode("e"));
        QCOMPARE(form->state.iDuplicatedFiles.load(), 0);
    }

    void everyCopyTickedAsksOnceMore() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        writeText(path("c"), "two");
        writeText(path("d"), "two");
        auto form = makeForm();
        search(*form);
        tick(*form, {0, 1, 2}); // b and a, the whole first group, and d
        m_dialogs.answers = {true, false};
        QVERIFY(choose(form->btSelected, {"Delete"}));
        QCOMPARE(m_dialogs.riskyConfirms,
                 QStringList{"Every listed file of 1 group(s) is ticked: no copy of it would be "
                             "kept.\n\r\n\rDo you want to continue?"});
        QVERIFY(!form->thrManageFiles()); // No: nothing happens
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files).size(), 4);

        m_dialogs.answers = {true, true};
        runOperation(*form, "Move to Trash");
        QCOMPARE(m_dialogs.riskyConfirms.size(), 2);
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files), QStringList{"c"});

        // Without a wholly ticked group there is no second question.
        writeText(path("e"), "two");
        search(*form);
        allButOne(*form);
        m_dialogs.answers = {true};
        runOperation(*form, "Delete");
        QCOMPARE(m_dialogs.riskyConfirms.size(), 2);
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
        form->Allbutone1Click(); // an empty list (no menu to reach it): nothing happens
        search(*form);
        QStringList captions;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            captions << QString::fromStdString(form->results()->row(row).caption);
        QCOMPARE(captions, (QStringList{"1", "1", "2", "2", "2", "3", "3"}));
        tick(*form, {0}); // a user's tick on a first row is cleared
        allButOne(*form);
        QList<bool> checked;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            checked << form->results()->isChecked(row);
        QCOMPARE(checked, (QList<bool>{false, true, false, true, true, false, true}));
    }

    void spaceTicksTheSelectedRowFromAnyColumn() {
        writeText(path("a1"), "aa");
        writeText(path("a2"), "aa");
        writeText(path("b1"), "bbb");
        writeText(path("b2"), "bbb");
        auto form = makeForm();
        search(*form);
        QTreeView* list = form->FileListView;
        for (int column : {ResultListModel::ColumnName, ResultListModel::ColumnFolder,
                           ResultListModel::ColumnGroup}) {
            const int row = column == ResultListModel::ColumnGroup  ? 3
                            : column == ResultListModel::ColumnName ? 1
                                                                    : 2;
            user::clickCell(list, cell(*form, row, column));
            QCOMPARE(user::focus(), list);
            QVERIFY(!form->results()->isChecked(row));
            user::press(Qt::Key_Space);
            QVERIFY2(form->results()->isChecked(row), qPrintable(QString::number(column)));
            user::press(Qt::Key_Space);
            QVERIFY(!form->results()->isChecked(row));
            user::press(Qt::Key_Space);
        }
        QList<bool> checked;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            checked << form->results()->isChecked(row);
        QCOMPARE(checked, (QList<bool>{false, true, true, true}));
        // Down moves the selection; Space then ticks the row below.
        user::clickCell(list, cell(*form, 0, ResultListModel::ColumnSize));
        user::press(Qt::Key_Space);
        QVERIFY(form->results()->isChecked(0));
    }

    void groupNumbersStayReadable() {
        // More than a thousand groups: the "#" column must show four digits beside the box.
        for (int group = 0; group < 1100; ++group) {
            const QByteArray content = QByteArray::number(group);
            writeText(path(QStringLiteral("g%1a").arg(group)), content);
            writeText(path(QStringLiteral("g%1b").arg(group)), content);
        }
        auto form = makeForm();
        QCOMPARE(form->FileListView->columnWidth(ResultListModel::ColumnGroup), 50);
        search(*form);
        QCOMPARE(form->results()->row(form->results()->rowCount() - 1).caption,
                 std::string("1100"));
        QTreeView* list = form->FileListView;
        // What the rows in view need, as the list itself measures it.
        auto needed = [list] {
            return static_cast<QAbstractItemView*>(list)->sizeHintForColumn(
                ResultListModel::ColumnGroup);
        };
        user::clickCell(list, cell(*form, 0, 1));
        user::press(Qt::Key_End); // the last rows in view
        QTRY_VERIFY(list->visualRect(cell(*form, form->results()->rowCount() - 1, 0)).isValid());
        const int width = list->columnWidth(ResultListModel::ColumnGroup);
        QVERIFY2(width >= needed(), qPrintable(QStringLiteral("%1 < %2").arg(width).arg(needed())));
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
        chooseOption(*form, {"File list colors", "Copied files"});
        QVERIFY(readText(m_config->path() + "/hollowbright/Twinscope/config.ini")
                    .contains("CopiedColor=FF0000\n"));
        m_dialogs.colour = QColor(0, 0, 255);
        chooseOption(*form, {"File list colors", "Moved files"});
        // The dialog opens on the colour of the entry chosen, not on black nor the last one.
        QCOMPARE(m_dialogs.lastInitialColour, QColor(255, 128, 0));
        m_dialogs.colour = std::nullopt;
        chooseOption(*form, {"File list colors", "Copied files"});
        QCOMPARE(m_dialogs.lastInitialColour, QColor(255, 0, 0));

        // A moved file keeps its group but shows the moved colour.
        QTemporaryDir destination;
        m_dialogs.folder = destination.path() + "/";
        tick(*form, {2});
        runOperation(*form, "Move to...");
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
        chooseOption(
            *form, {"On copy",
                    policy == "rename" ? "Always auto rename on file conflict"
                    : policy == "replace"
                        ? "Always replace the file in the destination path with the one been copied"
                        : "Always prompt on file conflicts"});
        search(*form);
        tick(*form, {0, 1}); // two ticked files of one name
        m_dialogs.folder = target.path() + "/";
        m_dialogs.answers = answers;
        runOperation(*form, "Copy to...");
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
        chooseOption(*form,
                     {"On copy",
                      "Always replace the file in the destination path with the one been copied"});
        search(*form);
        m_dialogs.folder = target.path() + "/";
        tick(*form, {0}); // "b"
        runOperation(*form, "Copy to...");
        QCOMPARE(form->results()->rowCount(), 3);
        QList<int> found;
        for (int row = 0; row < form->results()->rowCount(); ++row) {
            const ResultRow& r = form->results()->row(row);
            if (r.name == "b" && r.status == "0")
                found << row;
        }
        tick(*form, found);
        runOperation(*form, "Copy to...");
        QCOMPARE(form->results()->rowCount(), 3);
        QCOMPARE(QDir(target.path()).entryList(QDir::Files), QStringList{"b"});
    }

    void copyOverAListedCopyLetsItBeDeletedAfterwards() {
        writeText(path("a/x.txt"), "same");
        writeText(path("b/x.txt"), "same");
        auto form = makeForm();
        chooseOption(*form,
                     {"On copy",
                      "Always replace the file in the destination path with the one been copied"});
        search(*form);
        tickFiles(*form, {"a/x.txt:0"});
        m_dialogs.folder = path("b") + "/";
        runOperation(*form, "Copy to...");
        QVERIFY2(m_dialogs.errors.isEmpty(), qPrintable(m_dialogs.errors.join('|')));
        QCOMPARE(form->results()->rowCount(), 2); // b/x.txt is listed once

        // Only Twinscope replaced b/x.txt, with the same content: it is no changed file.
        tickFiles(*form, {"b/x.txt:0"});
        runOperation(*form, "Delete");
        QVERIFY2(m_dialogs.errors.isEmpty(), qPrintable(m_dialogs.errors.join('|')));
        QVERIFY(!QFile::exists(path("b/x.txt")));
        QCOMPARE(readText(path("a/x.txt")), QStringLiteral("same"));
    }

    void copyOverAListedFileOfOtherContentKeepsItsDeleteRefused() {
        writeText(path("a/y.txt"), "same");
        writeText(path("a/z.txt"), "same");
        writeText(path("c/y.txt"), "SAME");
        writeText(path("d/y.txt"), "SAME");
        auto form = makeForm();
        chooseOption(*form,
                     {"On copy",
                      "Always replace the file in the destination path with the one been copied"});
        search(*form);
        tickFiles(*form, {"a/y.txt:0"});
        m_dialogs.folder = path("c") + "/";
        runOperation(*form, "Copy to...");
        QCOMPARE(readText(path("c/y.txt")), QStringLiteral("same"));

        // The record of the replaced file describes what is no longer there; with its whole
        // group ticked no kept file compares bytes, so only its identity protects the new file.
        tickFiles(*form, {"c/y.txt:0", "d/y.txt:0"});
        runOperation(*form, "Delete");
        QCOMPARE(readText(path("c/y.txt")), QStringLiteral("same"));
        QVERIFY(!QFile::exists(path("d/y.txt")));
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().contains(path("c/y.txt") +
                                                  " — The file has changed since the search."));
    }

    void aTickedFileThatWentAwayIsNamed() {
        writeText(path("a/x.txt"), "same");
        writeText(path("b/x.txt"), "same");
        auto form = makeForm();
        search(*form);
        tickFiles(*form, {"b/x.txt:0"});
        QVERIFY(QFile::remove(path("b/x.txt")));
        runOperation(*form, "Delete");
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().contains(path("b/x.txt") + " — It no longer exists."));
    }

    void moveIntoItsOwnFolderRenamesIt() {
        writeText(path("a.txt"), "same");
        writeText(path("b.txt"), "same");
        auto form = makeForm();
        search(*form);
        QCOMPARE(shortNames(*form), QStringLiteral("1:b.txt 1:a.txt"));
        m_dialogs.folder = m_tree->path() + "/";
        tick(*form, {0});
        runOperation(*form, "Move to...");
        QCOMPARE(m_dialogs.messages.size(), 0); // "OnMove=yes" hides the warning
        QCOMPARE(QDir(m_tree->path()).entryList(QDir::Files), (QStringList{"a.txt", "b (1).txt"}));
        // The rebuild puts the group's first file last.
        QCOMPARE(shortNames(*form), QStringLiteral("1:a.txt 1:b (1).txt"));
        QCOMPARE(form->results()->row(1).status, std::string("2"));
    }

    void moveWarningIsAQuestionWithOkOnly() {
        writeText(path("a/x.txt"), "same");
        writeText(path("b/x.txt"), "same");
        auto form = makeForm();
        chooseOption(*form, {"On move", "Hide auto rename warnings"}); // show the warnings
        QVERIFY(readText(m_config->path() + "/hollowbright/Twinscope/config.ini")
                    .contains("OnMove=no\n"));
        search(*form);
        tickFiles(*form, {"a/x.txt:0"});
        m_dialogs.folder = path("b") + "/";
        runOperation(*form, "Move to...");
        QCOMPARE(m_dialogs.acknowledgements,
                 QStringList{"There is already a file with the same name in the destination "
                             "path.\n\r\n\rThe file being moved will be automatically renamed."});
        QCOMPARE(m_dialogs.messages, QStringList{});
        QCOMPARE(m_dialogs.confirms.size(), 1); // only "Are you sure …?" before the run
        QCOMPARE(QDir(path("b")).entryList(QDir::Files), (QStringList{"x (1).txt", "x.txt"}));
    }

    void acknowledgeShowsAQuestionBoxWithOkOnly() {
        QWidget parent;
        parent.show();
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        qsizetype buttonCount = 0;
        QString text;
        // Looks at the box once it is shown, then closes it as the user would.
        std::function<void()> answer = [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                QTimer::singleShot(10, answer);
                return;
            }
            icon = box->icon();
            buttons = box->standardButtons();
            buttonCount = box->buttons().size();
            text = box->text();
            QTest::keyClick(box, Qt::Key_Return);
        };
        QTimer::singleShot(0, answer);
        PlatformDialogs().acknowledge(&parent, QStringLiteral("First.\n\r\n\rSecond."));
        QCOMPARE(icon, QMessageBox::Question);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(buttonCount, 1);
        QCOMPARE(text, QStringLiteral("First.\n\nSecond."));
    }

    void deleteAllButOneRemovesTheGroup() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        writeText(path("c"), "same");
        auto form = makeForm();
        search(*form);
        allButOne(*form);
        runOperation(*form, "Delete");
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
        runOperation(*form, "Delete");
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
        chooseOption(*form,
                     {"On copy",
                      "Always replace the file in the destination path with the one been copied"});
        search(*form);
        tick(*form, {0});
        m_dialogs.folder = m_tree->path() + "/";
        runOperation(*form, "Copy to...");
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
        QVERIFY(choose(form->btSelected, {"Copy to..."}));
        QTRY_VERIFY(form->runState().kind == RunKind::Operation);
        m_dialogs.answers = {true};
        bool chosen = false;
        user::chooseFromMenu({"Cancel"}, &chosen);
        user::click(form->CPBtn, QPoint(form->CPBtn->width() - 4, form->CPBtn->height() / 2));
        QVERIFY(chosen);
        QTRY_VERIFY_WITH_TIMEOUT(form->thrManageFiles()->isFinished(), 20000);
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
        QVERIFY(choose(form->ToolButton1, {"Save search result as..."}));
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

    void filterOfALargeListArrivesWhole() {
        // Several batches of rows: the filter hands them over as the window takes them.
        for (int pair = 0; pair < 6000; ++pair) {
            const QByteArray content = QByteArray::number(pair);
            const char* extension = pair % 3 == 0 ? ".jpg" : ".txt";
            writeText(path(QStringLiteral("p%1a%2").arg(pair).arg(extension)), content);
            writeText(path(QStringLiteral("p%1b%2").arg(pair).arg(extension)), content);
        }
        auto form = makeForm();
        search(*form);
        QCOMPARE(form->results()->rowCount(), 12000);
        filter(*form, "*.txt");
        QCOMPARE(form->results()->rowCount(), 4000);
        QCOMPARE(form->results()->row(3999).caption, std::string("2000"));
        filter(*form, "*.txt");
        QCOMPARE(form->results()->rowCount(), 12000);
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
        QVERIFY(choose(form->ToolButton1, {"Save search result as..."}));
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
        QVERIFY(choose(form->ToolButton1, {"Save search result as..."}));
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().contains(*m_dialogs.saveAs));
    }

    void saveOnAFullDiskKeepsThePreviousReport() {
        QTemporaryDir disk;
        const QByteArray root = QFile::encodeName(disk.path());
        if (::mount("twinscope-test", root.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=64k,mode=0755") != 0)
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs (%1); a full disk is not tested")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const auto unmount = qScopeGuard([&] { ::umount2(root.constData(), MNT_DETACH); });
        const QString report = disk.path() + "/report.txt";
        writeText(report, "previous report");
        fillDisk(disk.path() + "/filler");
        // A report larger than the page the previous one takes.
        for (int i = 0; i < 40; ++i)
            writeText(
                path(QStringLiteral("a copy with a name long enough to fill the page %1").arg(i)),
                "same");
        auto form = makeForm();
        search(*form);
        m_dialogs.saveAs = report;
        QVERIFY(choose(form->ToolButton1, {"Save search result as..."}));
        QCOMPARE(m_dialogs.errors,
                 QStringList{"Cannot write file \"" + report + "\". No space left on device"});
        QCOMPARE(readText(report), QStringLiteral("previous report"));
        QCOMPARE(
            QDir(disk.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{"filler", "report.txt"}));
    }

    void listShowsWholeNamesAndFolders() {
        writeText(path("new\nline"), "same");
        writeText(path("a folder deeper than the column is wide/and deeper still/copy"), "same");
        auto form = makeForm();
        search(*form);
        QStringList names;
        for (int row = 0; row < form->results()->rowCount(); ++row)
            names << cell(*form, row, ResultListModel::ColumnName).data().toString();
        QVERIFY2(names.contains(QString::fromUtf8("new\u240Aline")), qPrintable(names.join('|')));
        // The tooltip of a folder gives the whole path.
        const int row = names.indexOf(QStringLiteral("copy"));
        QCOMPARE(cell(*form, row, ResultListModel::ColumnFolder).data(Qt::ToolTipRole).toString(),
                 path("a folder deeper than the column is wide/and deeper still/copy"));
        // The folder column takes the width a wider window leaves.
        QHeaderView* header = form->FileListView->header();
        const int before = header->sectionSize(ResultListModel::ColumnFolder);
        form->resize(form->width() + 300, form->height());
        QTRY_VERIFY(header->sectionSize(ResultListModel::ColumnFolder) >= before + 250);
    }

    void wholeGroupWarningCountsFilesTheFilterHides() {
        writeText(path("a.txt"), "same");
        writeText(path("a.bak"), "same");
        auto form = makeForm();
        search(*form);
        filter(*form, "*.txt"); // a.txt out of view, a.bak alone in its group
        QCOMPARE(form->results()->rowCount(), 1);
        tick(*form, {0});
        runOperation(*form, "Delete");
        QVERIFY2(m_dialogs.riskyConfirms.isEmpty(), qPrintable(m_dialogs.riskyConfirms.join('|')));
        QVERIFY(!QFileInfo::exists(path("a.bak")));
        QCOMPARE(readText(path("a.txt")), QStringLiteral("same"));
    }

    void moveNextToAFolderOfTheSameName() {
        writeText(path("a/x"), "same");
        writeText(path("b/x"), "same");
        QTemporaryDir destination;
        QVERIFY(QDir().mkpath(destination.path() + "/x")); // a folder of the file's name
        auto form = makeForm();
        search(*form);
        m_dialogs.folder = destination.path() + "/";
        tickFiles(*form, {"a/x:0"});
        runOperation(*form, "Move to...");
        QVERIFY2(m_dialogs.errors.isEmpty(), qPrintable(m_dialogs.errors.join('|')));
        QCOMPARE(readText(destination.path() + "/x (1)"), QStringLiteral("same"));
        QVERIFY(QFileInfo(destination.path() + "/x").isDir());
    }

    void allInAFolderOpensInTheSearchedFolder() {
        writeText(path("a"), "same");
        writeText(path("b"), "same");
        auto form = makeForm();
        search(*form);
        m_dialogs.folder = std::nullopt;
        QVERIFY(choose(form->btSelected, {"Select", "All in a folder..."}));
        QCOMPARE(m_dialogs.lastBrowseStart, form->eTarget->currentText());
        QVERIFY(m_dialogs.lastBrowseStart.startsWith(m_tree->path()));
    }

    // The same scenario as the command line's: a folder picked through a link to it.
    void allInAFolderPickedThroughALink() {
        writeText(path("photos/a"), "same");
        writeText(path("backup/a"), "same");
        const QString alias = m_config->path() + "/alias";
        QVERIFY(QFile::link(path("photos"), alias));
        auto form = makeForm();
        search(*form);
        m_dialogs.folder = alias + "/";
        QVERIFY(choose(form->btSelected, {"Select", "All in a folder..."}));
        QStringList ticked;
        for (int row = 0; row < form->results()->rowCount(); ++row) {
            if (form->results()->isChecked(row))
                ticked << QString::fromStdString(form->results()->row(row).folder +
                                                 form->results()->row(row).name);
        }
        QCOMPARE(ticked, QStringList{path("photos/a")});
    }

    void moveAcrossFileSystemsShowsTheCopyUnderWay() {
        if (::geteuid() != 0)
            QSKIP("mounting a second file system needs root");
        QTemporaryDir destination;
        if (::mount("twinscope-test", QFile::encodeName(destination.path()).constData(), "tmpfs", 0,
                    "size=1g") != 0)
            QSKIP("cannot mount a tmpfs");
        auto unmount = qScopeGuard(
            [&] { ::umount2(QFile::encodeName(destination.path()).constData(), MNT_DETACH); });
        makeSparse(path("big1"), 512LL << 20);
        makeSparse(path("big2"), 512LL << 20);
        auto form = makeForm();
        search(*form);
        m_dialogs.folder = destination.path() + "/";
        tick(*form, {0});
        QVERIFY(choose(form->btSelected, {"Move to..."}));
        // Paused while the copy is under way: the bar must not say it is done.
        const auto copying = [&] {
            return !QDir(destination.path())
                        .entryList({".twinscope-*.part"}, QDir::Files | QDir::Hidden)
                        .isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(copying() || form->thrManageFiles()->isFinished(), 20000);
        QVERIFY2(!form->thrManageFiles()->isFinished(), "the copy ended before it could be seen");
        user::click(form->CPBtn, QPoint(10, form->CPBtn->height() / 2));
        QTRY_VERIFY(form->thrManageFiles()->control().holding());
        QTest::qWait(100); // a last tick of the bar's timer
        QVERIFY2(form->GlobalStatus->value() < form->GlobalStatus->maximum(),
                 qPrintable(QStringLiteral("%1 of %2")
                                .arg(form->GlobalStatus->value())
                                .arg(form->GlobalStatus->maximum())));
        user::click(form->CPBtn, QPoint(10, form->CPBtn->height() / 2));
        QTRY_VERIFY_WITH_TIMEOUT(form->thrManageFiles()->isFinished(), 60000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(QDir(destination.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void openCommandsActOnTheSelectedRow() {
        {
            std::ofstream raw(QFile::encodeName(m_tree->path()).toStdString() + "/a \xff.txt");
            raw << "same";
        }
        writeText(path("b.txt"), "same");
        auto form = makeForm();
        search(*form);
        // Nothing selected: the commands are greyed out and a double click beside the rows does
        // nothing.
        QVERIFY(form->FileListView->selectionModel()->selectedRows().isEmpty());
        const QPoint beside(10, form->FileListView->viewport()->height() - 5);
        user::doubleClick(form->FileListView->viewport(), beside);
        user::rightClick(form->FileListView->viewport(), beside);
        QTRY_VERIFY(QApplication::activePopupWidget() == form->FileListMenu);
        QVERIFY(!form->N5->isEnabled() && !form->Openfilelocation1->isEnabled());
        user::press(Qt::Key_Escape);
        QVERIFY(m_dialogs.opened.isEmpty() && m_dialogs.shown.isEmpty());

        user::clickCell(form->FileListView, cell(*form, 1, 2)); // selects the row
        user::doubleClick(form->FileListView->viewport(),
                          form->FileListView->visualRect(cell(*form, 1, 2)).center());
        QCOMPARE(m_dialogs.opened.size(), 1);
        QVERIFY(chooseFromListMenu(*form, 1, {"Open"}));
        QVERIFY(chooseFromListMenu(*form, 1, {"Open file location"}));
        // From the keyboard: Enter opens, Shift+F10 opens the menu as the Menu key does.
        QTRY_VERIFY(QApplication::activePopupWidget() == nullptr);
        QVERIFY(user::showActive(form.get())); // offscreen, the window has to be given it back
        user::clickCell(form->FileListView, cell(*form, 1, 2)); // the keyboard back in the list
        QCOMPARE(user::focus(), form->FileListView);
        user::press(Qt::Key_Return);
        bool chosen = false;
        user::chooseFromMenu({"Open file location"}, &chosen);
        user::press(Qt::Key_F10, Qt::ShiftModifier);
        QTRY_VERIFY(chosen);
        const QByteArray expected = QFile::encodeName(m_tree->path()) + "/a \xff.txt";
        QCOMPARE(m_dialogs.opened, (QByteArrayList{expected, expected, expected}));
        QCOMPARE(m_dialogs.shown, (QByteArrayList{expected, expected}));
        QVERIFY(fileUrl(expected).toEncoded().endsWith("/a%20%FF.txt"));
        QVERIFY(m_dialogs.errors.isEmpty());
        // No program to open it with: the user is told, not left waiting.
        m_dialogs.programs = false;
        user::press(Qt::Key_Return);
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith("No program could be started to open"));
        ::unlink(expected.constData()); // a name the temporary folder's cleanup cannot spell
    }
};

QTEST_MAIN(ResultCommandsTest)
#include "ResultCommandsTest.moc"
