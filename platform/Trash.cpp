#include "platform/Trash.h"

#include "platform/LongPath.h"
#include "platform/SpecialFolders.h"
#include "platform/UniqueFd.h"
#include "tools/GeneralTools.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char* kInfoSuffix = ".trashinfo";
constexpr int kMostNumbers = 100000;

std::string reason(int error) {
    return std::strerror(error);
}

TrashResult refusal(const std::string& path, const std::string& why) {
    TrashResult result;
    result.ok = false;
    result.error = "Cannot move file \"" + path + "\" to the trash. " + why;
    return result;
}

// Bind mounts of one file system share a device, yet rename(2) does not cross them: where the
// kernel tells the mount, it counts too.
struct MountIdentity {
    dev_t device = 0;
    std::uint64_t mountId = 0;
    bool hasMountId = false;
};

std::optional<MountIdentity> mountOf(const std::string& path, int flags) {
    struct statx about {};
    if (::statx(AT_FDCWD, path.c_str(), flags, STATX_MNT_ID, &about) != 0)
        return std::nullopt;
    MountIdentity identity;
    identity.device = makedev(about.stx_dev_major, about.stx_dev_minor);
    identity.hasMountId = (about.stx_mask & STATX_MNT_ID) != 0;
    identity.mountId = about.stx_mnt_id;
    return identity;
}

bool sameMount(const MountIdentity& a, const MountIdentity& b) {
    if (a.device != b.device)
        return false;
    return !a.hasMountId || !b.hasMountId || a.mountId == b.mountId;
}

// The folder above an absolute path without a trailing "/".
std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// The mount of a folder that may not exist yet: that of its nearest existing ancestor, on which
// it would be made.
std::optional<MountIdentity> nearestMountOf(std::string path) {
    for (;;) {
        if (auto identity = mountOf(path, 0))
            return identity;
        // A missing folder, or a file where a folder should be, is still on the mount of the
        // nearest folder above it.
        if ((errno != ENOENT && errno != ENOTDIR) || path == "/")
            return std::nullopt;
        path = parentOf(path);
    }
}

// The real path of a folder (links resolved, no trailing "/"); beyond PATH_MAX, where realpath
// cannot go, the path as given made absolute. Empty, with errno set, when it cannot be found.
std::string realFolderPath(const std::string& folderPath) {
    if (char* real = ::realpath(folderPath.c_str(), nullptr)) {
        std::string text = real;
        std::free(real);
        return text;
    }
    if (errno != ENAMETOOLONG)
        return {};
    std::string text = folderPath;
    if (text.empty() || text[0] != '/') {
        char* current = ::getcwd(nullptr, 0);
        if (current == nullptr)
            return {};
        text = std::string(current) + "/" + text;
        std::free(current);
    }
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// The top folder of the mount that holds `folder` (a canonical path).
std::string topFolderOf(const std::string& folder, const MountIdentity& mount) {
    std::string top = folder;
    while (top != "/") {
        const std::string up = parentOf(top);
        const auto upMount = mountOf(up, AT_SYMLINK_NOFOLLOW);
        if (!upMount || !sameMount(*upMount, mount))
            break;
        top = up;
    }
    return top;
}

// Makes a private folder unless one of that name exists; 0 or an errno. The mode is set again
// because the umask may have taken bits the owner needs.
int makePrivateFolder(int parentFd, const char* name) {
    if (::mkdirat(parentFd, name, 0700) == 0) {
        ::fchmodat(parentFd, name, 0700, AT_SYMLINK_NOFOLLOW);
        return 0;
    }
    return errno == EEXIST ? 0 : errno;
}

// Opens a name itself, a symbolic link included, so that what is checked is what is used.
int openEntry(int parentFd, const char* name) {
    return ::openat(parentFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

struct TrashFolder {
    std::string root;
    // Empty for the home trash, whose records hold absolute paths.
    std::string topdir;
    UniqueFd files;
    UniqueFd info;
};

// Opens files/ and info/ of a trash, made when missing; an error text, or "" when both opened.
std::string openParts(TrashFolder& trash, int rootFd) {
    for (const auto& [name, fd] : {std::pair{"files", &trash.files}, {"info", &trash.info}}) {
        const std::string where = "\"" + trash.root + "/" + name + "\"";
        if (int error = makePrivateFolder(rootFd, name); error != 0)
            return "Cannot create the trash folder " + where + ": " + reason(error) + ".";
        fd->reset(::openat(rootFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!*fd)
            return "Cannot open the trash folder " + where + ": " + reason(errno) + ".";
    }
    return {};
}

// Makes every missing folder of an absolute path, each private as the XDG rules ask.
int makePrivateFolders(const std::string& folder) {
    for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/')
            continue;
        if (int error = makePrivateFolder(AT_FDCWD, folder.substr(0, pos).c_str()); error != 0)
            return error;
    }
    return 0;
}

std::string openHomeTrash(const std::string& homeTrash, TrashFolder& trash) {
    trash.root = homeTrash;
    if (int error = makePrivateFolders(homeTrash); error != 0)
        return "Cannot create the trash folder \"" + homeTrash + "\": " + reason(error) + ".";
    // The home trash may be a link the user made to a folder of the same file system.
    UniqueFd root(::open(homeTrash.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return "Cannot open the trash folder \"" + homeTrash + "\": " + reason(errno) + ".";
    return openParts(trash, root.get());
}

std::string openTopTrash(const std::string& topdir, uid_t uid, TrashFolder& trash) {
    const std::string base = topdir == "/" ? "" : topdir;
    UniqueFd top(::open(topdir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!top)
        return "Cannot open the folder \"" + topdir + "\": " + reason(errno) + ".";
    const std::string uidText = std::to_string(uid);

    // The shared .Trash counts only as a real folder with the sticky bit: in a folder everyone
    // may write to, only that bit keeps others from replacing this user's trash.
    UniqueFd shared(openEntry(top.get(), ".Trash"));
    struct stat about {};
    if (shared && ::fstat(shared.get(), &about) == 0 && S_ISDIR(about.st_mode) &&
        (about.st_mode & S_ISVTX) != 0) {
        makePrivateFolder(shared.get(), uidText.c_str());
        UniqueFd own(openEntry(shared.get(), uidText.c_str()));
        if (own && ::fstat(own.get(), &about) == 0 && S_ISDIR(about.st_mode) &&
            about.st_uid == uid) {
            trash.root = base + "/.Trash/" + uidText;
            if (openParts(trash, own.get()).empty())
                return {};
        }
    }

    const std::string name = ".Trash-" + uidText;
    trash.root = base + "/" + name;
    const std::string quoted = "\"" + trash.root + "\"";
    if (int error = makePrivateFolder(top.get(), name.c_str()); error != 0)
        return "Cannot create the trash folder " + quoted + ": " + reason(error) + ".";
    UniqueFd own(openEntry(top.get(), name.c_str()));
    if (!own || ::fstat(own.get(), &about) != 0)
        return "Cannot open the trash folder " + quoted + ": " + reason(errno) + ".";
    const std::string noTrash = "No trash can take it on this file system (" + quoted;
    if (S_ISLNK(about.st_mode))
        return noTrash + " is a symbolic link).";
    if (!S_ISDIR(about.st_mode))
        return noTrash + " is not a folder).";
    if (about.st_uid != uid)
        return noTrash + " belongs to another user).";
    return openParts(trash, own.get());
}

// NAME, NAME.2, NAME.3 ... cut so that NAME.trashinfo still fits a file name.
std::string trashName(const std::string& leaf, int number) {
    const std::string suffix = number == 1 ? std::string() : "." + std::to_string(number);
    const std::size_t room = NAME_MAX - std::strlen(kInfoSuffix) - suffix.size();
    std::string base = leaf;
    if (base.size() > room) {
        base.resize(room);
        // Not half a UTF-8 character.
        while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80)
            base.pop_back();
        if (!base.empty() && static_cast<unsigned char>(base.back()) >= 0xC0)
            base.pop_back();
    }
    return base + suffix;
}

std::string deletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32] = "";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            return errno;
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

// Writes the record first, under a name free in info/, then moves the file in; a name taken in
// files/ fails the rename, and the next name is tried.
TrashResult placeInTrash(int folderFd, const std::string& current, const std::string& leaf,
                         TrashFolder& trash, const std::string& record, const std::string& path) {
    for (int number = 1; number <= kMostNumbers; ++number) {
        const std::string name = trashName(leaf, number);
        const std::string infoName = name + kInfoSuffix;
        const std::string infoFile = trash.root + "/info/" + infoName;
        UniqueFd info(::openat(trash.info.get(), infoName.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!info && errno == EEXIST)
            continue;
        if (!info)
            return refusal(path, "Cannot create the trash record \"" + infoFile +
                                     "\": " + reason(errno) + ".");
        int error = writeAll(info.get(), record);
        if (error == 0 && ::fsync(info.get()) != 0)
            error = errno;
        if (const int closed = info.close(); error == 0)
            error = closed;
        if (error != 0) {
            ::unlinkat(trash.info.get(), infoName.c_str(), 0);
            return refusal(path, "Cannot write the trash record \"" + infoFile +
                                     "\": " + reason(error) + ".");
        }
        error = renameWithoutReplacing(folderFd, current.c_str(), trash.files.get(), name.c_str());
        if (error == 0) {
            TrashResult result;
            result.trashedFile = trash.root + "/files/" + name;
            result.infoFile = infoFile;
            return result;
        }
        ::unlinkat(trash.info.get(), infoName.c_str(), 0);
        if (error != EEXIST)
            return refusal(path, reason(error) + ".");
    }
    return refusal(path, "No free name in the trash folder \"" + trash.root + "\".");
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

} // namespace

TrashLocations TrashLocations::forUser() {
    TrashLocations where;
    where.homeTrash = dataHome() + "/Trash";
    where.uid = ::geteuid();
    return where;
}

TrashResult moveToTrash(const std::string& path, const TrashLocations& where) {
    std::string leaf;
    UniqueFd folder(path.empty() ? -1 : openParentFolder(path, leaf));
    if (!folder)
        return refusal(path, reason(path.empty() ? ENOENT : errno) + ".");
    if (leaf.empty() || leaf == "." || leaf == ".." || leaf == "/")
        return refusal(path, "It is a folder.");
    const std::size_t slash = path.find_last_of('/', path.size() - leaf.size());
    const std::string folderPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return moveToTrashAt(folder.get(), folderPath, leaf, leaf, where);
}

TrashResult moveToTrashAt(int folderFd, const std::string& folderPath, const std::string& current,
                          const std::string& original, const TrashLocations& where) {
    const std::string path = folderPath + (folderPath.ends_with('/') ? "" : "/") + original;
    struct stat about {};
    if (::fstatat(folderFd, current.c_str(), &about, AT_SYMLINK_NOFOLLOW) != 0)
        return refusal(path, reason(errno) + ".");
    if (S_ISDIR(about.st_mode))
        return refusal(path, "It is a folder.");
    // The mount of the folder held open, whatever its path now says.
    struct statx held {};
    if (::statx(folderFd, "", AT_EMPTY_PATH, STATX_MNT_ID, &held) != 0)
        return refusal(path, reason(errno) + ".");
    MountIdentity mount;
    mount.device = makedev(held.stx_dev_major, held.stx_dev_minor);
    mount.hasMountId = (held.stx_mask & STATX_MNT_ID) != 0;
    mount.mountId = held.stx_mnt_id;

    // The folder by its real path: the top folder of its mount and the recorded path follow it.
    std::string folder = realFolderPath(folderPath);
    if (folder.empty())
        return refusal(path, reason(errno) + ".");
    const std::string originalPath = (folder == "/" ? "" : folder) + "/" + original;
    TrashFolder trash;
    std::string recorded = originalPath;
    std::optional<MountIdentity> homeMount;
    if (!where.homeTrash.empty() && where.homeTrash[0] == '/')
        homeMount = nearestMountOf(where.homeTrash);
    if (homeMount && sameMount(*homeMount, mount)) {
        if (std::string why = openHomeTrash(where.homeTrash, trash); !why.empty())
            return refusal(path, why);
    } else {
        // The top folder is found by the paths above the folder, which must be short enough
        // to look up.
        if (folder.size() >= PATH_MAX)
            return refusal(path, "No trash can take it: its folder's path is too long to find "
                                 "the top folder of its file system.");
        trash.topdir = topFolderOf(folder, mount);
        if (std::string why = openTopTrash(trash.topdir, where.uid, trash); !why.empty())
            return refusal(path, why);
        // Relative to the top folder, as file managers write it there: the record stays right
        // wherever the file system is mounted next.
        recorded = trash.topdir == "/" ? originalPath.substr(1)
                                       : originalPath.substr(trash.topdir.size() + 1);
    }
    const std::string record = "[Trash Info]\nPath=" + encodeTrashPath(recorded) +
                               "\nDeletionDate=" + deletionDate() + "\n";
    return placeInTrash(folderFd, current, original, trash, record, path);
}

std::string encodeTrashPath(const std::string& path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (unreserved(byte) || byte == '/') {
            text += c;
        } else {
            text += '%';
            text += digits[byte >> 4];
            text += digits[byte & 0x0F];
        }
    }
    return text;
}

std::optional<std::string> decodeTrashPath(const std::string& text) {
    std::string path;
    path.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigitValue(text[i + 2]) : -1;
        if (low < 0)
            return std::nullopt;
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return path;
}

std::optional<std::string> restoredPath(const std::string& infoFile, const std::string& topdir) {
    std::ifstream in(infoFile, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[Trash Info]";
            continue;
        }
        if (!inGroup || line.rfind("Path=", 0) != 0)
            continue;
        auto path = decodeTrashPath(line.substr(5));
        if (!path || path->empty())
            return std::nullopt;
        if ((*path)[0] == '/')
            return path;
        std::string top = topdir;
        while (!top.empty() && top.back() == '/')
            top.pop_back();
        return top + "/" + *path;
    }
    return std::nullopt;
}
