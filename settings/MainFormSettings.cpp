// The settings load of the main window and the option commands that write the settings file.

#include "app/TMainForm.h"

#include "platform/Registry.h"
#include "platform/SpecialFolders.h"
#include "search/ReferenceFolders.h"
#include "ui/Dialogs.h"
#include "ui/ResultListModel.h"
#include "ui/TSearchScopeForm.h"

#include <QFile>
#include <QLabel>

#include <QAction>
#include <QCheckBox>

namespace {
const char* const kSection = "Options";
} // namespace

void TMainForm::showSettingsError(const std::exception& error) {
    m_dialogs->error(this, QString::fromStdString(error.what()));
}

void TMainForm::connectOption(QAction* action, void (TMainForm::*command)()) {
    // The menu items do not tick themselves: each command sets the marks of its group.
    connect(action, &QAction::triggered, this, [this, action, command](bool checked) {
        action->setChecked(!checked);
        try {
            (this->*command)();
        } catch (const std::exception& error) {
            showSettingsError(error); // the command's remaining effects are skipped
        }
    });
}

void TMainForm::writeOption(const char* key, const char* value) {
    Settings->writeString(kSection, key, value);
}

void TMainForm::loadSettings() {
    const std::string folder = settingsFolder();
    forceDirectories(folder);
    Settings = std::make_unique<IniFile>(folder + "config.ini");
    Reg = std::make_unique<FreedesktopRegistry>(m_setup.shellDataRoot);
    // The menus show the options as they are read, repaired, whether or not the repairs can be
    // written: the searches and operations go by the same values.
    m_options = readOptions(*Settings);
    OptSHA1->setChecked(m_options.hash == HashKind::Sha1);
    OptMD5->setChecked(m_options.hash == HashKind::Md5);
    OptFast->setChecked(m_options.searchSpeed == SearchSpeed::Fast);
    OptNormal->setChecked(m_options.searchSpeed == SearchSpeed::Normal);
    OptRename->setChecked(m_options.onCopy == OnCopy::Rename);
    OptPrompt->setChecked(m_options.onCopy == OnCopy::Prompt);
    OptReplace->setChecked(m_options.onCopy == OnCopy::Replace);
    OptHide->setChecked(!m_options.warnOnMoveRename);
    OptSubfolders->setChecked(m_options.subfolders);
    if (m_options.subfolders)
        chkSubFolders->setChecked(true);
    OptIgnore->setChecked(m_options.ignoreEmptyFiles);
    // On unless turned off; the key is written only by the menu item.
    OptRemember->setChecked(m_options.rememberDigests);
    showScope();
    if (!m_options.scopeProblems.empty()) {
        QString entries;
        for (const std::string& entry : m_options.scopeProblems)
            entries += QStringLiteral("\n") + QString::fromStdString(entry);
        m_dialogs->error(this, QStringLiteral("The search scope in %1 holds entries that cannot be "
                                              "read as written:%2")
                                   .arg(QString::fromStdString(Settings->fileName()), entries));
    }
    sGroupColor = m_options.groupColor;
    sCopiedColor = m_options.copiedColor;
    sMovedColor = m_options.movedColor;
    try {
        // In the order of the keys in the file; the folder menu entry comes before Subfolders.
        bool reconciled = false;
        auto reconcile = [&] {
            if (!reconciled && isAdmin())
                reconcileShellIntegration(Settings->readString(kSection, "ContextMenu", ""),
                                          Settings->readString(kSection, "ContextMenuIcon", ""));
            reconciled = true;
        };
        for (const auto& [key, value] : m_options.repairs) {
            if (key == "Subfolders" || key == "IgnoreEmptyFiles" || key.ends_with("Color"))
                reconcile();
            writeOption(key.c_str(), value.c_str());
        }
        reconcile();
    } catch (const std::exception& error) {
        showSettingsError(error);
    }
}

void TMainForm::OptSHA1Click() {
    OptSHA1->setChecked(true);
    OptMD5->setChecked(false);
    m_options.hash = HashKind::Sha1;
    writeOption("Hash", "sha1");
}

void TMainForm::OptMD5Click() {
    OptSHA1->setChecked(false);
    OptMD5->setChecked(true);
    m_options.hash = HashKind::Md5;
    writeOption("Hash", "md5");
}

void TMainForm::OptFastClick() {
    OptFast->setChecked(true);
    OptNormal->setChecked(false);
    m_options.searchSpeed = SearchSpeed::Fast;
    writeOption("SearchSpeed", "fast");
}

void TMainForm::OptNormalClick() {
    OptFast->setChecked(false);
    OptNormal->setChecked(true);
    m_options.searchSpeed = SearchSpeed::Normal;
    writeOption("SearchSpeed", "normal");
}

void TMainForm::OptPromptClick() {
    OptPrompt->setChecked(true);
    OptRename->setChecked(false);
    OptReplace->setChecked(false);
    m_options.onCopy = OnCopy::Prompt;
    writeOption("OnCopy", "prompt");
}

void TMainForm::OptRenameClick() {
    OptRename->setChecked(true);
    OptPrompt->setChecked(false);
    OptReplace->setChecked(false);
    m_options.onCopy = OnCopy::Rename;
    writeOption("OnCopy", "rename");
}

void TMainForm::OptReplaceClick() {
    OptReplace->setChecked(true);
    OptPrompt->setChecked(false);
    OptRename->setChecked(false);
    m_options.onCopy = OnCopy::Replace;
    writeOption("OnCopy", "replace");
}

void TMainForm::OptHideClick() {
    if (OptHide->isChecked()) {
        OptHide->setChecked(false);
        m_options.warnOnMoveRename = true;
        writeOption("OnMove", "no");
    } else {
        OptHide->setChecked(true);
        m_options.warnOnMoveRename = false;
        writeOption("OnMove", "yes");
    }
}

void TMainForm::OptSubfoldersClick() {
    if (OptSubfolders->isChecked()) {
        m_options.subfolders = false;
        writeOption("Subfolders", "no");
        OptSubfolders->setChecked(false);
    } else {
        m_options.subfolders = true;
        writeOption("Subfolders", "yes");
        OptSubfolders->setChecked(true);
        chkSubFolders->setChecked(true);
    }
}

void TMainForm::OptIgnoreClick() {
    if (OptIgnore->isChecked()) {
        m_options.ignoreEmptyFiles = false;
        writeOption("IgnoreEmptyFiles", "no");
        OptIgnore->setChecked(false);
    } else {
        m_options.ignoreEmptyFiles = true;
        writeOption("IgnoreEmptyFiles", "yes");
        OptIgnore->setChecked(true);
    }
}

void TMainForm::OptRememberClick() {
    if (OptRemember->isChecked()) {
        m_options.rememberDigests = false;
        writeOption("RememberDigests", "no");
        OptRemember->setChecked(false);
    } else {
        m_options.rememberDigests = true;
        writeOption("RememberDigests", "yes");
        OptRemember->setChecked(true);
    }
}

void TMainForm::showScope() {
    const SearchScope& scope = m_options.scope;
    lbScope->setVisible(scope.narrowsOrWidens());
    lbScope->setText(QStringLiteral("Also: ") + QString::fromStdString(scope.summary()));
    // The whole summary and every folder in full, as the line may cut them short.
    QString tip = QString::fromStdString(scope.summary()) + QLatin1Char('\n');
    for (const SearchFolder& folder : scope.folders)
        tip += QLatin1Char('\n') + QFile::decodeName(QByteArray::fromStdString(folder.path)) +
               (folder.reference ? QStringLiteral(" (reference)") : QString());
    lbScope->setToolTip(tip.trimmed());
}

void TMainForm::SearchScope1Click() {
    if (m_scopeForm != nullptr) {
        m_scopeForm->raise();
        m_scopeForm->activateWindow();
        return;
    }
    m_scopeForm = new TSearchScopeForm(*m_dialogs, m_options.scope, this);
    m_scopeForm->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_scopeForm, &QDialog::accepted, this, &TMainForm::scopeChosen);
    connect(m_scopeForm, &QObject::destroyed, this, [this] { m_scopeForm = nullptr; });
    // The keyboard comes back to the window, also where no window manager gives it back.
    connect(m_scopeForm, &QDialog::finished, this, [this] { activateWindow(); });
    m_scopeForm->open();
}

void TMainForm::scopeChosen() {
    const SearchScope& chosen = m_scopeForm->scope();
    // Nothing is written while the user has set nothing: a first start keeps its designed file.
    if (chosen == m_options.scope)
        return;
    m_options.scope = chosen;
    showScope();
    // Files of the listed result that now lie in a reference folder are kept from here on.
    if (ReferenceFolders(chosen.folders).mark(state.aDuplicatedFiles))
        m_results->markReferences(state.aDuplicatedFiles);
    try {
        writeScope(*Settings, chosen);
    } catch (const std::exception& error) {
        showSettingsError(error);
    }
}
