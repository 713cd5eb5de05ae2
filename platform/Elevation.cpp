#include "platform/Elevation.h"

#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* const kStartedSignalVariable = "TWINSCOPE_STARTED_SIGNAL";

bool IsUserAnAdmin() {
    return geteuid() == 0;
}

std::string pkexecPath() {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/pkexec";
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

ElevatedLaunch::ElevatedLaunch(const std::string& pkexec, const std::string& program,
                               const std::vector<std::string>& parameters) {
    char pattern[] = "/tmp/twinscope-started-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        return;
    close(fd);
    chmod(pattern, 0666); // the elevated instance removes it
    m_signalFile = pattern;

    // pkexec clears the environment; env sets what the window needs on the other side.
    std::vector<std::string> args{pkexec, "env"};
    for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) {
        if (const char* value = std::getenv(name))
            args.push_back(std::string(name) + "=" + value);
    }
    args.push_back(std::string(kStartedSignalVariable) + "=" + m_signalFile);
    args.push_back(program);
    args.insert(args.end(), parameters.begin(), parameters.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_child, pkexec.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        m_child = -1;
        unlink(m_signalFile.c_str());
        return;
    }
    m_state = State::Waiting;
}

ElevatedLaunch::~ElevatedLaunch() {
    if (!m_signalFile.empty())
        unlink(m_signalFile.c_str());
    if (m_child > 0 && m_state != State::Started)
        waitpid(m_child, nullptr, WNOHANG);
}

ElevatedLaunch::State ElevatedLaunch::poll() {
    if (m_state != State::Waiting)
        return m_state;
    if (access(m_signalFile.c_str(), F_OK) != 0) {
        m_state = State::Started; // the elevated instance removed the file: it runs
        return m_state;
    }
    int status = 0;
    if (waitpid(m_child, &status, WNOHANG) == m_child) {
        // pkexec ended before the program said it started: declined or failed.
        m_state = access(m_signalFile.c_str(), F_OK) != 0 ? State::Started : State::Failed;
    }
    return m_state;
}

void signalStartedToLauncher() {
    const char* file = std::getenv(kStartedSignalVariable);
    if (file == nullptr || std::strncmp(file, "/tmp/twinscope-started-", 23) != 0)
        return;
    unlink(file);
    unsetenv(kStartedSignalVariable);
}
