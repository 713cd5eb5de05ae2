#include "app/TMainForm.h"
#include "platform/Elevation.h"
#include "platform/OpenFileLimit.h"

#include <QApplication>

#include <clocale>

int main(int argc, char** argv) {
    signalStartedToLauncher(); // an elevated restart waits for this
    raiseOpenFileLimit();
    QApplication application(argc, argv);
    // Qt sets the locale from the environment; make sure dates and the report follow it too.
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName(QStringLiteral("Twinscope"));
    QApplication::setApplicationDisplayName(QStringLiteral("Twinscope"));
    // Lets the desktop match the window to the installed entry (the Wayland app id).
    QApplication::setDesktopFileName(QStringLiteral(TWINSCOPE_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/twinscope/icon.png")));
    TMainForm::useDesignFont();

    MainFormSetup setup;
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    setup.arguments = arguments;
    TMainForm MainForm(std::move(setup));
    MainForm.show();
    return QApplication::exec();
}
