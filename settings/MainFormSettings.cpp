// The settings load of the main window and the option commands that write the settings file.

#include "app/TMainForm.h"

#include "platform/Registry.h"
#include "platform/SpecialFolders.h"
#include "ui/Dialogs.h"

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
    try {
        auto read = [this](const char* key) { return Settings->readString(kSection, key, ""); };
        const std::string hash = read("Hash");
        const std::string speed = read("SearchSpeed");
        const std::string onCopy = read("OnCopy");
        const std::string onMove = read("OnMove");
        const std::string contextMenu = read("ContextMenu");
        const std::string contextMenuIcon = read("ContextMenuIcon");
        const std::string subfolders = read("Subfolders");
        const std::string ignoreEmpty = read("IgnoreEmptyFiles");
        const std::string remember = read("RememberDigests");
        sGroupColor = read("GroupColor");
        sCopiedColor = read("CopiedColor");
        sMovedColor = read("MovedColor");

        if (hash == "sha1") {
            OptSHA1->setChecked(true);
        } else if (hash == "md5") {
            OptMD5->setChecked(true);
        } else {
            writeOption("Hash", "sha1");
            OptSHA1->setChecked(true);
        }

        if (speed == "fast") {
            OptFast->setChecked(true);
        } else if (speed == "normal") {
            OptNormal->setChecked(true);
        } else {
            writeOption("SearchSpeed", "fast");
            OptFast->setChecked(true);
        }

        if (onCopy == "rename") {
            OptRename->setChecked(true);
        } else if (onCopy == "prompt") {
            OptPrompt->setChecked(true);
        } else if (onCopy == "replace") {
            OptReplace->setChecked(true);
        } else {
            writeOption("OnCopy", "rename");
            OptRename->setChecked(true);
        }

        if (onMove == "yes")
            OptHide->setChecked(true);
        else if (onMove != "no")
            OptHideClick();

        if (isAdmin())
            reconcileShellIntegration(contextMenu, contextMenuIcon);

        if (subfolders == "yes") {
            OptSubfolders->setChecked(true);
            chkSubFolders->setChecked(true);
        } else if (subfolders != "no") {
            OptSubfoldersClick();
        }

        if (ignoreEmpty == "yes")
            OptIgnore->setChecked(true);
        else if (ignoreEmpty != "no")
            OptIgnoreClick();

        // On unless turned off; the key is written only by the menu item.
        OptRemember->setChecked(remember != "no");

        struct Colour {
            std::string& text;
            const char* key;
            const char* fallback;
        };
        for (const Colour& colour : {Colour{sGroupColor, "GroupColor", "FEFCDA"},
                                     Colour{sCopiedColor, "CopiedColor", "95D6EE"},
                                     Colour{sMovedColor, "MovedColor", "FF8000"}}) {
            if (colour.text.empty()) {
                writeOption(colour.key, colour.fallback);
                colour.text = colour.fallback;
            }
        }
    } catch (const std::exception& error) {
        showSettingsError(error);
    }
}

void TMainForm::OptSHA1Click() {
    OptSHA1->setChecked(true);
    OptMD5->setChecked(false);
    writeOption("Hash", "sha1");
}

void TMainForm::OptMD5Click() {
    OptSHA1->setChecked(false);
    OptMD5->setChecked(true);
    writeOption("Hash", "md5");
}

void TMainForm::OptFastClick() {
    OptFast->setChecked(true);
    OptNormal->setChecked(false);
    writeOption("SearchSpeed", "fast");
}

void TMainForm::OptNormalClick() {
    OptFast->setChecked(false);
    OptNormal->setChecked(true);
    writeOption("SearchSpeed", "normal");
}

void TMainForm::OptPromptClick() {
    OptPrompt->setChecked(true);
    OptRename->setChecked(false);
    OptReplace->setChecked(false);
    writeOption("OnCopy", "prompt");
}

void TMainForm::OptRenameClick() {
    OptRename->setChecked(true);
    OptPrompt->setChecked(false);
    OptReplace->setChecked(false);
    writeOption("OnCopy", "rename");
}

void TMainForm::OptReplaceClick() {
    OptReplace->setChecked(true);
    OptPrompt->setChecked(false);
    OptRename->setChecked(false);
    writeOption("OnCopy", "replace");
}

void TMainForm::OptHideClick() {
    if (OptHide->isChecked()) {
        OptHide->setChecked(false);
        writeOption("OnMove", "no");
    } else {
        OptHide->setChecked(true);
        writeOption("OnMove", "yes");
    }
}

void TMainForm::OptSubfoldersClick() {
    if (OptSubfolders->isChecked()) {
        writeOption("Subfolders", "no");
        OptSubfolders->setChecked(false);
    } else {
        writeOption("Subfolders", "yes");
        OptSubfolders->setChecked(true);
        chkSubFolders->setChecked(true);
    }
}

void TMainForm::OptIgnoreClick() {
    if (OptIgnore->isChecked()) {
        writeOption("IgnoreEmptyFiles", "no");
        OptIgnore->setChecked(false);
    } else {
        writeOption("IgnoreEmptyFiles", "yes");
        OptIgnore->setChecked(true);
    }
}

void TMainForm::OptRememberClick() {
    if (OptRemember->isChecked()) {
        writeOption("RememberDigests", "no");
        OptRemember->setChecked(false);
    } else {
        writeOption("RememberDigests", "yes");
        OptRemember->setChecked(true);
    }
}
