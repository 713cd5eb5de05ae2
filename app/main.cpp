#include "app/TMainForm.h"
#include "platform/Elevation.h"
#include "platform/OpenFileLimit.h"

#include <QApplication>
#include <QSocketNotifier>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gEndSignals[2] = {-1, -1};

void onEndSignal(int) {
    const char byte = 1;
    const ssize_t written = ::write(gEndSignals[1], &byte, 1);
    (void)written;
}

// SIGTERM (a logout, kill), SIGHUP (its terminal closed) and SIGINT (Ctrl-C) close the window as
// the user would, rather than end the program wherever it stands: a file operation under way
// finishes its file first, so none is left half moved or set aside under a private name.
void closeOnEndSignals(TMainForm& form) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gEndSignals) != 0)
        return;
    auto* notifier = new QSocketNotifier(gEndSignals[0], QSocketNotifier::Read, &form);
    QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
        char byte = 0;
        const ssize_t got = ::read(gEndSignals[0], &byte, 1);
        (void)got;
        form.close();
        QApplication::quit(); // open boxes too
    });
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

const char* const kUsage =
    "Usage: twinscope [FOLDER]\n"
    "Open the Twinscope window, which finds files with identical contents and copies, moves,\n"
    "deletes or links them; given a FOLDER, it starts with a search of it.\n"
    "\n"
    "Options:\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "twinscope-cli runs the same search without a window.\n";

} // namespace

int main(int argc, char** argv) {
    // Answered without a display, as a command line program would.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("twinscope %s\n", TWINSCOPE_VERSION_TEXT);
        return 0;
    }
    // An elevated restart waits until this window is up: the one that asked closes then.
    const std::optional<std::string> startedSignal = takeStartedSignal(argc, argv);
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
    closeOnEndSignals(MainForm);
    MainForm.show();
    if (startedSignal)
        signalStartedToLauncher(*startedSignal);
    return QApplication::exec();
}
