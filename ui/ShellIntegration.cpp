// The folder context-menu entry "Search for duplicated files": switching it and its icon on and
// off, bringing it in line with the settings at start-up, and the restart with administrator
// rights for users who may not change it.

#include "app/TMainForm.h"

#include "platform/Elevation.h"
#include "platform/Registry.h"
#include "ui/Dialogs.h"

#include <QAction>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMenu>
#include <QTimer>

namespace {
const char* const kEntryLabel = "Search for duplicated files";
} // namespace

std::string TMainForm::executablePath() const {
    if (!m_setup.executablePath.empty())
        return m_setup.executablePath;
    return QCoreApplication::applicationFilePath().toStdString();
}

bool TMainForm::isAdmin() const {
    return m_setup.isAdmin ? m_setup.isAdmin() : IsUserAnAdmin();
}

void TMainForm::OptIntegrateClick() {
    const std::string exe = executablePath();
    if (!OptIntegrate->isChecked()) {
        if (!Reg->keyExists(kShellKey))
            Reg->createKey(kShellKey, kEntryLabel);
        if (Reg->readString(kShellKey, "") != kEntryLabel)
            Reg->writeString(kShellKey, "", kEntryLabel);
        // A program that was moved registers its new path.
        const std::string command = exe + " \"%l\"";
        if (!Reg->keyExists(kCommandKey))
            Reg->createKey(kCommandKey, command);
        if (Reg->readString(kCommandKey, "") != command)
            Reg->writeString(kCommandKey, "", command);
        writeOption("ContextMenu", "yes");
        OptIntegrate->setChecked(true);
        const std::string icon = Settings->readString("Options", "ContextMenuIcon", "");
        if (icon == "yes") {
            Reg->writeString(kShellKey, "Icon", exe + ", 16");
            OptIntegrateIcon->setChecked(true);
        } else if (icon == "no") {
            Reg->deleteValue(kShellKey, "Icon");
            OptIntegrateIcon->setChecked(false);
        }
    } else {
        if (Reg->keyExists(kShellKey))
            Reg->deleteKey(kShellKey);
        writeOption("ContextMenu", "no");
        OptIntegrate->setChecked(false);
    }
}

void TMainForm::OptIntegrateIconClick() {
    if (!OptIntegrateIcon->isChecked()) {
        if (Settings->readString("Options", "ContextMenu", "") == "yes" &&
            Reg->keyExists(kShellKey))
            Reg->writeString(kShellKey, "Icon", executablePath() + ", 16");
        writeOption("ContextMenuIcon", "yes");
        OptIntegrateIcon->setChecked(true);
    } else {
        if (Reg->keyExists(kShellKey))
            Reg->deleteValue(kShellKey, "Icon");
        writeOption("ContextMenuIcon", "no");
        OptIntegrateIcon->setChecked(false);
    }
}

void TMainForm::reconcileShellIntegration(const std::string& contextMenu,
                                          const std::string& contextMenuIcon) {
    if (contextMenu == "yes") {
        OptIntegrateClick(); // the mark is off at start, so this switches the entry on
    } else {
        if (contextMenu != "no")
            writeOption("ContextMenu", "no");
        if (Reg->keyExists(kShellKey))
            Reg->deleteKey(kShellKey);
    }
    if (contextMenu == "yes") {
        if (contextMenuIcon != "yes" && contextMenuIcon != "no") {
            writeOption("ContextMenuIcon", "no");
            if (Reg->keyExists(kShellKey))
                Reg->deleteValue(kShellKey, "Icon");
        }
    } else if (contextMenuIcon == "yes") {
        OptIntegrateIconClick();
    } else if (contextMenuIcon == "no") {
        if (Reg->keyExists(kShellKey))
            Reg->deleteValue(kShellKey, "Icon");
    }
}

void TMainForm::offerShellIntegration() {
    if (isAdmin()) {
        Shellintegration1->menuAction()->setVisible(true);
        Shellintegration2->setVisible(false);
    }
    const bool prompt =
        m_setup.hasElevationPrompt ? m_setup.hasElevationPrompt() : !pkexecPath().empty();
    if (prompt) {
        iShowUAC = 1;
    } else {
        iShowUAC = 0;
        Shellintegration2->setIcon(QIcon());
        OptIntegrateIcon->setVisible(false);
    }
}

bool TMainForm::RunAsAdmin(const std::string& fileName,
                           const std::vector<std::string>& parameters) {
    if (m_setup.runAsAdmin)
        return m_setup.runAsAdmin(fileName, parameters);
    const std::string pkexec = pkexecPath();
    if (pkexec.empty())
        return false;
    ElevatedLaunch launch(pkexec, fileName, parameters);
    // The window stays drawn while the authentication dialog is open, as under a modal dialog.
    QEventLoop loop;
    QTimer look;
    look.setInterval(100);
    connect(&look, &QTimer::timeout, &loop, [&] {
        if (launch.poll() != ElevatedLaunch::State::Waiting)
            loop.quit();
    });
    look.start();
    if (launch.poll() == ElevatedLaunch::State::Waiting)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return launch.poll() == ElevatedLaunch::State::Started;
}

void TMainForm::Shellintegration2Click() {
    // Without a prompt for the administrator's password the restart cannot be asked for: say
    // so, and how else it is done, rather than do nothing.
    const bool prompt =
        m_setup.hasElevationPrompt ? m_setup.hasElevationPrompt() : !pkexecPath().empty();
    if (!prompt) {
        m_dialogs->inform(
            this, QStringLiteral("The shell integration is changed with administrator rights, "
                                 "and this system has no prompt to ask for them (pkexec is not "
                                 "installed).\n\r\n\rStart Twinscope as root (for example with "
                                 "sudo) to change it, or install the package pkexec."));
        return;
    }
    if (RunAsAdmin(executablePath(), {})) {
        close();
        return;
    }
    // Declined, failed, or the window as root could not open: this one stays, and says so.
    m_dialogs->error(this, QStringLiteral("Twinscope could not be started with administrator "
                                          "rights: the authentication was declined or failed, or "
                                          "its window could not be opened.\n\r\n\rThe shell "
                                          "integration is unchanged."));
}
