#include "platform/Elevation.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* const kStartedSignalOption = "--started-signal=";

namespace {

constexpr char kSignalFolder[] = "/tmp/";
constexpr char kSignalPrefix[] = "twinscope-started-";
constexpr std::size_t kSignalRandom = 6; // the XXXXXX of mkstemp(3)

} // namespace

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
    static_assert(sizeof pattern ==
                  sizeof kSignalFolder + sizeof kSignalPrefix + kSignalRandom - 1);
    int fd = mkstemp(pattern);
    if (fd < 0)
        return;
    close(fd);
    m_signalFile = pattern; // the elevated instance, as root, removes it

    std::vector<std::string> args{pkexec, program, kStartedSignalOption + m_signalFile};
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

std::optional<std::string> takeStartedSignal(int& argc, char** argv) {
    const std::size_t optionLength = std::strlen(kStartedSignalOption);
    if (argc < 2 || std::strncmp(argv[1], kStartedSignalOption, optionLength) != 0)
        return std::nullopt;
    std::string file = argv[1] + optionLength;
    for (int k = 1; k < argc; ++k) // the option leaves the arguments
        argv[k] = argv[k + 1];
    --argc;
    return file;
}

bool signalStartedToLauncher(const std::string& file) {
    const std::string folder = kSignalFolder;
    const std::string prefix = kSignalPrefix;
    const std::string name = file.substr(std::min(file.size(), folder.size()));
    if (file.compare(0, folder.size(), folder) != 0 ||
        name.size() != prefix.size() + kSignalRandom ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                               prefix.size()) != std::string::npos)
        return false;
    // The user who asked for the elevation made it; pkexec names that user.
    const char* caller = std::getenv("PKEXEC_UID");
    if (caller == nullptr)
        return false;
    const int tmp = ::open(kSignalFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (tmp < 0)
        return false;
    struct stat st {};
    const bool removed = ::fstatat(tmp, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISREG(st.st_mode) && st.st_uid != 0 &&
                         (caller == nullptr || std::to_string(st.st_uid) == caller) &&
                         ::unlinkat(tmp, name.c_str(), 0) == 0;
    ::close(tmp);
    return removed;
}
