#include "platform/SpecialFolders.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr ? entry->pw_dir : "/";
}

// An XDG base folder: the variable when it holds an absolute path (a relative value is invalid
// under the XDG base directory rules and is ignored), else `fallback` under the home folder.
std::string xdgHome(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return value;
    return homeFolder() + fallback;
}

std::string configHome() {
    return xdgHome("XDG_CONFIG_HOME", "/.config");
}

std::string withSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
} // namespace

std::string settingsFolder() {
    return configHome() + "/hollowbright/Twinscope/";
}

std::string dataHome() {
    return xdgHome("XDG_DATA_HOME", "/.local/share");
}

std::string digestCacheFile() {
    return xdgHome("XDG_CACHE_HOME", "/.cache") + "/hollowbright/Twinscope/digests.sqlite";
}

std::string desktopFolder() {
    // user-dirs.dirs lines look like XDG_DESKTOP_DIR="$HOME/Desktop".
    std::ifstream dirs(configHome() + "/user-dirs.dirs");
    std::string line;
    const std::string prefix = "XDG_DESKTOP_DIR=\"";
    while (std::getline(dirs, line)) {
        if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1 || line.back() != '"')
            continue;
        std::string path = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        if (path.rfind("$HOME", 0) == 0)
            path = homeFolder() + path.substr(5);
        if (!path.empty() && path[0] == '/' && isFolder(path))
            return withSlash(path);
    }
    std::string desktop = homeFolder() + "/Desktop";
    if (isFolder(desktop))
        return withSlash(desktop);
    return withSlash(homeFolder());
}

void forceDirectories(const std::string& folder) {
    for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos == folder.size() || folder[pos] == '/')
            mkdir(folder.substr(0, pos).c_str(), 0755);
    }
}
