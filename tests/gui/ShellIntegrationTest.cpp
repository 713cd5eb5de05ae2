#include "GuiTestSupport.h"
#include "UserInput.h"

#include <QLineEdit>
#include <QToolButton>
#include "app/TMainForm.h"
#include "platform/Registry.h"
#include "search/FileFinder.h"

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

class ShellIntegrationTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<QTemporaryDir> m_root;
    FakeDialogs m_dialogs;
    bool m_admin = true;
    bool m_prompt = true;
    std::string m_exe = "/opt/Twin Scope/bin/twinscope";
    QList<bool> m_launches; // answers of the elevated restart

    QString configFile() const { return m_config->path() + "/hollowbright/Twinscope/config.ini"; }

    std::unique_ptr<TMainForm> makeForm(const QStringList& arguments = {}) {
        MainFormSetup setup;
        setup.arguments = arguments;
        setup.dialogs = &m_dialogs;
        setup.isAdmin = [this] { return m_admin; };
        setup.hasElevationPrompt = [this] { return m_prompt; };
        setup.shellDataRoot = m_root->path().toStdString();
        setup.executablePath = m_exe;
        setup.runAsAdmin = [this](const std::string&, const std::vector<std::string>& parameters) {
            if (!parameters.empty())
                return false; // the restart hands on no folder
            return m_launches.isEmpty() ? false : m_launches.takeFirst();
        };
        auto form = std::make_unique<TMainForm>(setup);
        if (!user::showActive(form.get()))
            qWarning("the window did not become active");
        return form;
    }

    FreedesktopRegistry registry() const {
        return FreedesktopRegistry(m_root->path().toStdString());
    }

    void writeSettings(const QByteArray& lines) {
        writeText(configFile(),
                  "[Options]\nHash=sha1\nSearchSpeed=fast\nOnCopy=rename\nOnMove=yes\n" + lines +
                      "Subfolders=yes\nIgnoreEmptyFiles=yes\n");
    }

    // KDE's service menus are of the type "Service", which the freedesktop validator does not
    // know; its complaints about that type's own keys are expected.
    static void validate(const std::string& file, bool kdeServiceMenu = false) {
        const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed");
        QProcess process;
        process.start(validator, {QString::fromStdString(file)});
        QVERIFY(process.waitForFinished());
        QStringList problems;
        for (const QString& line :
             QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())
                 .split('\n', Qt::SkipEmptyParts)) {
            if (kdeServiceMenu && line.contains("but the type is \"Service\""))
                continue;
            problems << line;
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

private slots:
    void initTestCase() { TMainForm::useDesignFont(); }

    void init() {
        m_config = std::make_unique<QTemporaryDir>();
        m_root = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (m_config->path() + "/cache").toLocal8Bit());
        m_dialogs = FakeDialogs();
        m_admin = true;
        m_prompt = true;
        m_exe = "/opt/Twin Scope/bin/twinscope";
        m_launches.clear();
    }

    void entryOnWithIconAtStart() {
        writeSettings("ContextMenu=yes\nContextMenuIcon=yes\n");
        auto form = makeForm();
        FreedesktopRegistry reg = registry();
        QVERIFY(reg.keyExists(kShellKey));
        QCOMPARE(reg.readString(kShellKey, ""), std::string("Search for duplicated files"));
        QCOMPARE(reg.readString(kCommandKey, ""), m_exe + " \"%l\"");
        QCOMPARE(reg.readString(kShellKey, "Icon"), m_exe + ", 16");
        QVERIFY(form->OptIntegrate->isChecked() && form->OptIntegrateIcon->isChecked());
        QVERIFY(form->Shellintegration1->menuAction()->isVisible());
        QVERIFY(!form->Shellintegration2->isVisible());
        const QString entry = readText(QString::fromStdString(reg.desktopEntryFile()));
        QVERIFY(entry.contains("Exec=\"/opt/Twin Scope/bin/twinscope\" %f\n"));
        QVERIFY(entry.contains("MimeType=inode/directory;\n"));
        QVERIFY(entry.contains("Icon=twinscope\n"));
        QVERIFY(readText(QString::fromStdString(reg.serviceMenuFile()))
                    .contains("Name=Search for duplicated files\n"));
        validate(reg.desktopEntryFile());
        validate(reg.serviceMenuFile(), true);
        QVERIFY(m_dialogs.errors.isEmpty());
    }

    void movedExecutableRewritesItsPaths() {
        writeSettings("ContextMenu=yes\nContextMenuIcon=yes\n");
        makeForm();
        m_exe = "/usr/local/bin/twinscope";
        makeForm();
        FreedesktopRegistry reg = registry();
        QCOMPARE(reg.readString(kCommandKey, ""), std::string("/usr/local/bin/twinscope \"%l\""));
        QCOMPARE(reg.readString(kShellKey, "Icon"), std::string("/usr/local/bin/twinscope, 16"));
        QVERIFY(readText(QString::fromStdString(reg.desktopEntryFile()))
                    .contains("Exec=/usr/local/bin/twinscope %f\n"));
    }

    void entryOffKeepsTheIconChoice() {
        writeSettings("ContextMenu=yes\nContextMenuIcon=yes\n");
        auto form = makeForm();
        QVERIFY(
            user::chooseFrom(form->ToolButton2,
                             {"Shell integration", "Integrate Twinscope into shell context menu"}));
        QVERIFY(!registry().keyExists(kShellKey));
        QVERIFY(!QFile::exists(QString::fromStdString(registry().serviceMenuFile())));
        QVERIFY(!form->OptIntegrate->isChecked());
        const QString settings = readText(configFile());
        QVERIFY(settings.contains("ContextMenu=no\n"));
        QVERIFY(settings.contains("ContextMenuIcon=yes\n"));
    }

    void iconOnWhileTheEntryIsOff() {
        writeSettings("ContextMenu=no\n");
        auto form = makeForm();
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Shell integration", "Icon in context menu"}));
        QVERIFY(!registry().keyExists(kShellKey));
        QVERIFY(readText(configFile()).contains("ContextMenuIcon=yes\n"));
        QVERIFY(form->OptIntegrateIcon->isChecked());
        QVERIFY(
            user::chooseFrom(form->ToolButton2,
                             {"Shell integration", "Integrate Twinscope into shell context menu"}));
        QCOMPARE(registry().readString(kShellKey, "Icon"), m_exe + ", 16");
        QVERIFY(user::chooseFrom(
            form->ToolButton2, {"Shell integration", "Icon in context menu"})); // icon off while on
        QCOMPARE(registry().readString(kShellKey, "Icon"), std::string());
        QVERIFY(registry().keyExists(kCommandKey));
    }

    void missingContextMenuKeyWithAndWithoutRights() {
        FreedesktopRegistry reg = registry();
        reg.createKey(kShellKey, "Search for duplicated files");
        reg.createKey(kCommandKey, "/old/twinscope \"%l\"");
        writeSettings("");
        m_admin = false;
        auto plain = makeForm();
        QVERIFY(reg.keyExists(kShellKey));
        QVERIFY(!readText(configFile()).contains("ContextMenu"));
        QVERIFY(!plain->Shellintegration1->menuAction()->isVisible());
        QVERIFY(plain->Shellintegration2->isVisible());
        plain.reset();

        m_admin = true;
        auto admin = makeForm();
        QVERIFY(!reg.keyExists(kShellKey));
        // A new key goes to the end of the section.
        QCOMPARE(
            readText(configFile()),
            QStringLiteral("[Options]\nHash=sha1\nSearchSpeed=fast\nOnCopy=rename\nOnMove=yes\n"
                           "Subfolders=yes\nIgnoreEmptyFiles=yes\nGroupColor=FEFCDA\n"
                           "CopiedColor=95D6EE\nMovedColor=FF8000\nContextMenu=no\n"));
    }

    void firstStartOfAnAdministratorWritesTenLines() {
        makeForm();
        QCOMPARE(
            readText(configFile()),
            QStringLiteral("[Options]\nHash=sha1\nSearchSpeed=fast\nOnCopy=rename\nOnMove=yes\n"
                           "ContextMenu=no\nSubfolders=yes\nIgnoreEmptyFiles=yes\n"
                           "GroupColor=FEFCDA\nCopiedColor=95D6EE\nMovedColor=FF8000\n"));
    }

    void offeringByRightsAndPrompt() {
        m_admin = false;
        auto withPrompt = makeForm();
        QCOMPARE(withPrompt->iShowUAC, 1);
        QVERIFY(!withPrompt->Shellintegration2->icon().isNull());
        withPrompt.reset();
        m_prompt = false;
        auto withoutPrompt = makeForm();
        QCOMPARE(withoutPrompt->iShowUAC, 0);
        QVERIFY(withoutPrompt->Shellintegration2->icon().isNull());
        QVERIFY(!withoutPrompt->OptIntegrateIcon->isVisible());
        // Chosen all the same, it says why nothing can happen rather than do nothing.
        m_launches = {true};
        QVERIFY(user::showActive(withoutPrompt.get()));
        QVERIFY(user::chooseFrom(withoutPrompt->ToolButton2, {"Shell integration"}));
        QCOMPARE(m_dialogs.messages.size(), 1);
        QVERIFY(m_dialogs.messages.first().contains("pkexec is not installed"));
        QCOMPARE(m_launches.size(), 1); // no restart was tried
        QVERIFY(withoutPrompt->isVisible());
    }

    void restartWithRights() {
        m_admin = false;
        auto form = makeForm();
        m_launches = {false};
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Shell integration"}));
        QVERIFY(form->isVisible()); // declined: this window stays and says so
        QCOMPARE(m_dialogs.errors.size(), 1);
        QVERIFY(m_dialogs.errors.first().startsWith("Twinscope could not be started with "
                                                    "administrator rights"));
        m_launches = {true};
        QVERIFY(user::chooseFrom(form->ToolButton2, {"Shell integration"}));
        QVERIFY(!form->isVisible());
    }

    void runsTakeTheShieldOffAndPutItBack() {
        m_admin = false;
        QTemporaryDir tree;
        makeSparse(tree.path() + "/big1", 1LL << 30);
        makeSparse(tree.path() + "/big2", 1LL << 30);
        auto form = makeForm();
        user::click(form->eTarget->lineEdit());
        user::type(tree.path());
        user::click(form->btSearch);
        QTRY_VERIFY(form->Shellintegration2->icon().isNull());
        QVERIFY(!form->Shellintegration2->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles()->isFinished(), 30000);
        QCoreApplication::sendPostedEvents();
        QVERIFY(!form->Shellintegration2->icon().isNull());
        QVERIFY(form->Shellintegration2->isEnabled());
    }

    void folderWithSpacesFromTheFileManager() {
        QTemporaryDir tree;
        const QString folder = tree.path() + "/My Pictures (2019)";
        writeText(folder + "/a.jpg", "same");
        writeText(folder + "/b.jpg", "same");
        // What a file manager runs for the entry: the program and the folder as one argument.
        auto form = makeForm({folder});
        QTRY_VERIFY_WITH_TIMEOUT(form->thrFindFiles() && form->thrFindFiles()->isFinished(), 10000);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form->eTarget->currentText(), folder + "/");
        QCOMPARE(form->state.iDuplicatedFiles.load(), 2);
    }

    void refusedWritesAreReported() {
        // A file where the data folder should be: nothing can be written under it.
        QFile::remove(m_root->path());
        writeText(m_root->path() + "/applications", "in the way");
        writeSettings("ContextMenu=no\n");
        auto form = makeForm();
        QVERIFY(
            user::chooseFrom(form->ToolButton2,
                             {"Shell integration", "Integrate Twinscope into shell context menu"}));
        QCOMPARE(m_dialogs.errors, QStringList{"Failed to create key Folder\\shell\\Twinscope\\"});
        QVERIFY(!form->OptIntegrate->isChecked());
    }
};

QTEST_MAIN(ShellIntegrationTest)
#include "ShellIntegrationTest.moc"
