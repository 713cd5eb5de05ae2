#include "platform/OverlayMounts.h"

#include "platform/MountTable.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// Lower folders as the option gives them: separated by ":", a ":" of a name written "\:".
std::vector<std::string> splitLowerFolders(const std::string& value) {
    std::vector<std::string> folders(1);
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            folders.back() += value[++i];
        } else if (value[i] == ':') {
            folders.emplace_back();
        } else {
            folders.back() += value[i];
        }
    }
    return folders;
}

std::string folderPathOf(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string path(PATH_MAX, '\0');
    const ssize_t size = ::readlink(link, path.data(), path.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= path.size())
        return {};
    path.resize(static_cast<std::size_t>(size));
    return path;
}

} // namespace

OverlayMounts OverlayMounts::current() {
    UniqueFd fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd || !readRest(fd.get(), text))
        return {};
    return parse(text);
}

OverlayMounts OverlayMounts::parse(const std::string& mountinfo) {
    OverlayMounts mounts;
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        // "48 28 0:41 / /merged rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u,...":
        // the optional fields before "-" vary in number.
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 3 >= fields.size() || fields[dash + 1] != "overlay")
            continue;
        Overlay overlay;
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(fields[2].c_str(), "%u:%u", &major, &minor) != 2)
            continue;
        overlay.device = makedev(major, minor);
        overlay.root = unescapeMountField(fields[3]);
        overlay.mountPoint = unescapeMountField(fields[4]);
        std::vector<std::string> lowers;
        for (const std::string& option : splitOn(fields[dash + 3], ',')) {
            const std::string value = unescapeMountField(option.substr(option.find('=') + 1));
            if (option.rfind("upperdir=", 0) == 0) {
                overlay.layers.insert(overlay.layers.begin(), value);
            } else if (option.rfind("lowerdir=", 0) == 0) {
                lowers = splitLowerFolders(value);
            } else if (option.rfind("lowerdir+=", 0) == 0) {
                lowers.push_back(value);
            }
            // Data-only layers (datadir+=) are reached by redirects only, never by a name.
        }
        overlay.layers.insert(overlay.layers.end(), lowers.begin(), lowers.end());
        for (const std::string& layer : overlay.layers) {
            struct stat st {};
            if (!layer.empty() && ::stat(layer.c_str(), &st) == 0)
                mounts.m_layerDevices.push_back(st.st_dev);
        }
        mounts.m_overlays.push_back(std::move(overlay));
    }
    return mounts;
}

bool OverlayMounts::holdsLayers(std::uint64_t device) const {
    for (const std::uint64_t layer : m_layerDevices) {
        if (layer == device)
            return true;
    }
    return false;
}

std::vector<UniqueFd> OverlayMounts::layersOf(int folder, std::uint64_t device) const {
    std::vector<UniqueFd> layers;
    std::string path;
    for (const Overlay& overlay : m_overlays) {
        if (overlay.device != device)
            continue;
        if (path.empty())
            path = folderPathOf(folder);
        // The same overlay may be mounted at several places: the one this folder lies under.
        const std::string& point = overlay.mountPoint;
        std::string below;
        if (point == "/") {
            below = path;
        } else if (path.compare(0, point.size(), point) == 0 &&
                   (path.size() == point.size() || path[point.size()] == '/')) {
            below = path.substr(point.size());
        } else {
            continue;
        }
        const std::string relative = (overlay.root == "/" ? std::string() : overlay.root) + below;
        for (const std::string& layer : overlay.layers) {
            UniqueFd fd(::open((layer + relative).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (fd)
                layers.push_back(std::move(fd));
        }
        return layers;
    }
    return layers;
}

std::optional<FileIdentity> OverlayMounts::layerFile(const std::vector<UniqueFd>& layers,
                                                     const char* name) const {
    for (const UniqueFd& layer : layers) {
        struct stat st {};
        if (::fstatat(layer.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // A whiteout hides the name of the layers below.
        if (S_ISCHR(st.st_mode) && st.st_rdev == 0)
            return std::nullopt;
        struct stat folder {};
        if (::fstat(layer.get(), &folder) != 0)
            return FileIdentity{st.st_dev, st.st_ino};
        return realIdentity(layer.get(), folder.st_dev, name, {st.st_dev, st.st_ino});
    }
    return std::nullopt;
}

FileIdentity OverlayMounts::realIdentity(int folder, std::uint64_t device, const char* name,
                                         FileIdentity seen) const {
    if (m_overlays.empty())
        return seen;
    const std::vector<UniqueFd> layers = layersOf(folder, device);
    if (layers.empty())
        return seen;
    return layerFile(layers, name).value_or(seen);
}
