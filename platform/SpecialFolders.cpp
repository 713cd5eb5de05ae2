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

std::string configHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return config;
    return homeFolder() + "/.config";
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
    // A relative value is invalid under the XDG base directory rules and is ignored.
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return data;
    return homeFolder() + "/.local/share";
}

std::string digestCacheFile() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::string home =
        cache != nullptr && cache[0] == '/' ? std::string(cache) : homeFolder() + "/.cache";
    return home + "/hollowbright/Twinscope/digests.sqlite";
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
