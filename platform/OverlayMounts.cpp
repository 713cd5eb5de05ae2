#include "platform/OverlayMounts.h"

#include "platform/MountTable.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
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

// Lower folders as the option gives them: separated by ":", a ":" of a name written "\:"; those
// after "::" hold data only, reached by redirects and never by a name.
void splitLowerFolders(const std::string& value, std::vector<std::string>& lowers,
                       std::vector<std::string>& dataOnly) {
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
    bool data = false;
    for (std::string& folder : folders) {
        if (folder.empty())
            data = true;
        else
            (data ? dataOnly : lowers).push_back(std::move(folder));
    }
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

// The overlay's attribute NAME of a layer file: "trusted.overlay.NAME", or "user.overlay.NAME"
// for overlays mounted with userxattr.
std::optional<std::string> overlayAttribute(const std::string& path, const char* name) {
    for (const char* space : {"trusted.overlay.", "user.overlay."}) {
        const std::string key = std::string(space) + name;
        char value[PATH_MAX];
        const ssize_t size = ::lgetxattr(path.c_str(), key.c_str(), value, sizeof value);
        if (size >= 0)
            return std::string(value, static_cast<std::size_t>(size));
    }
    return std::nullopt;
}

bool hasOverlayAttribute(const std::string& path, const char* name) {
    return overlayAttribute(path, name).has_value();
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
                lowers.clear();
                splitLowerFolders(value, lowers, overlay.dataOnly);
            } else if (option.rfind("lowerdir+=", 0) == 0) {
                lowers.push_back(value);
            } else if (option.rfind("datadir+=", 0) == 0) {
                overlay.dataOnly.push_back(value);
            } else if (option.rfind("workdir=", 0) == 0) {
                overlay.work = value;
            }
        }
        overlay.layers.insert(overlay.layers.end(), lowers.begin(), lowers.end());
        std::vector<std::string> used = overlay.layers;
        used.insert(used.end(), overlay.dataOnly.begin(), overlay.dataOnly.end());
        used.push_back(overlay.work);
        for (const std::string& folder : used) {
            struct stat st {};
            if (!folder.empty() && ::stat(folder.c_str(), &st) == 0)
                mounts.m_usedFolders.push_back({{st.st_dev, st.st_ino}, mounts.m_overlays.size()});
        }
        mounts.m_overlays.push_back(std::move(overlay));
    }
    return mounts;
}

bool OverlayMounts::isOverlayDevice(std::uint64_t device) const {
    for (const Overlay& overlay : m_overlays) {
        if (overlay.device == device)
            return true;
    }
    return false;
}

std::optional<std::string> OverlayMounts::overlayUsing(FileIdentity folder) const {
    for (const auto& [identity, overlay] : m_usedFolders) {
        if (identity == folder)
            return m_overlays[overlay].mountPoint;
    }
    return std::nullopt;
}

std::optional<std::string> OverlayMounts::overlayHolding(int folder) const {
    if (m_usedFolders.empty())
        return std::nullopt;
    UniqueFd current(::openat(folder, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!current || ::fstat(current.get(), &st) != 0)
        return std::nullopt;
    // Up to the root of this process, which is its own parent.
    for (int depth = 0; depth < 4096; ++depth) {
        if (auto point = overlayUsing({st.st_dev, st.st_ino}))
            return point;
        UniqueFd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat up {};
        if (!parent || ::fstat(parent.get(), &up) != 0 ||
            (up.st_dev == st.st_dev && up.st_ino == st.st_ino))
            return std::nullopt;
        current = std::move(parent);
        st = up;
    }
    return std::nullopt;
}

OverlayMounts::Layers OverlayMounts::layersOf(int folder, std::uint64_t device) const {
    Layers layers;
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
        layers.overlay = &overlay;
        for (std::size_t k = 0; k < overlay.layers.size(); ++k) {
            UniqueFd fd(
                ::open((overlay.layers[k] + relative).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (fd)
                layers.folders.emplace_back(k, std::move(fd));
        }
        return layers;
    }
    return layers;
}

std::optional<FileIdentity> OverlayMounts::fileIn(int folder, const std::string& name) const {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    // A whiteout hides the name of the layers below.
    if (S_ISCHR(st.st_mode) && st.st_rdev == 0)
        return FileIdentity{};
    struct stat about {};
    if (::fstat(folder, &about) != 0)
        return FileIdentity{st.st_dev, st.st_ino};
    return realIdentity(folder, about.st_dev, name, {st.st_dev, st.st_ino});
}

std::optional<FileIdentity> OverlayMounts::layerFile(const Layers& layers,
                                                     const std::string& name) const {
    std::string wanted = name;
    for (std::size_t k = 0; k < layers.folders.size(); ++k) {
        const auto& [index, folder] = layers.folders[k];
        const std::optional<FileIdentity> found = fileIn(folder.get(), wanted);
        if (!found)
            continue;
        if (*found == FileIdentity{})
            return std::nullopt;
        // A copy of the metadata only: its bytes are those of a lower file, of the same name
        // or of the one its redirect names ("/" first: from the top of the layer).
        const std::string entry = "/proc/self/fd/" + std::to_string(folder.get()) + "/" + wanted;
        if (!hasOverlayAttribute(entry, "metacopy"))
            return found;
        const std::optional<std::string> redirect = overlayAttribute(entry, "redirect");
        if (redirect && redirect->starts_with('/')) {
            std::vector<std::string> below(layers.overlay->layers.begin() +
                                               static_cast<std::ptrdiff_t>(index) + 1,
                                           layers.overlay->layers.end());
            below.insert(below.end(), layers.overlay->dataOnly.begin(),
                         layers.overlay->dataOnly.end());
            for (const std::string& layer : below) {
                const std::string path = layer + *redirect;
                const std::size_t slash = path.find_last_of('/');
                UniqueFd at(
                    ::open(path.substr(0, slash + 1).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (const auto data = at ? fileIn(at.get(), path.substr(slash + 1)) : std::nullopt)
                    return *data == FileIdentity{} ? std::nullopt : data;
            }
            return found;
        }
        if (redirect)
            wanted = *redirect;
    }
    return std::nullopt;
}

FileIdentity OverlayMounts::realIdentity(int folder, std::uint64_t device, const std::string& name,
                                         FileIdentity seen) const {
    if (m_overlays.empty())
        return seen;
    const Layers layers = layersOf(folder, device);
    if (layers.empty())
        return seen;
    return layerFile(layers, name).value_or(seen);
}
