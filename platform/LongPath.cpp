#include "platform/LongPath.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ParentHandle::ParentHandle(const std::string& path) : m_dirFd(AT_FDCWD) {
    if (path.size() < PATH_MAX) {
        m_leaf = path;
        return;
    }
    // Walk the folders one component at a time, each name short enough for openat.
    std::size_t lastSlash = path.find_last_of('/');
    std::string folders = path.substr(0, lastSlash + 1);
    m_leaf = path.substr(lastSlash + 1);
    int fd = open(folders[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::size_t pos = 0;
    while (fd >= 0 && pos < folders.size()) {
        std::size_t next = folders.find('/', pos);
        if (next == std::string::npos)
            next = folders.size();
        if (next > pos) {
            std::string part = folders.substr(pos, next - pos);
            int child = openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            int saved = errno;
            close(fd);
            errno = saved;
            fd = child;
        }
        pos = next + 1;
    }
    if (fd < 0) {
        m_valid = false;
        m_error = errno;
        return;
    }
    m_dirFd = fd;
    m_owned = true;
}

ParentHandle::~ParentHandle() {
    if (m_owned)
        close(m_dirFd);
}

int openLongPath(const std::string& path, int flags) {
    ParentHandle parent(path);
    if (!parent.valid()) {
        errno = parent.error();
        return -1;
    }
    return openat(parent.dirFd(), parent.leaf(), flags | O_CLOEXEC);
}

int openFolder(const std::string& folder, bool make) {
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (!make && !folder.empty() && folder.size() < PATH_MAX)
        return open(folder.c_str(), flags);
    int fd = open(!folder.empty() && folder[0] == '/' ? "/" : ".", flags);
    for (std::size_t pos = 0; fd >= 0 && pos < folder.size();) {
        std::size_t next = folder.find('/', pos);
        if (next == std::string::npos)
            next = folder.size();
        if (next > pos) {
            const std::string part = folder.substr(pos, next - pos);
            if (make)
                mkdirat(fd, part.c_str(), 0755); // one that exists is simply opened
            const int child = openat(fd, part.c_str(), flags);
            const int saved = errno;
            close(fd);
            errno = saved;
            fd = child;
        }
        pos = next + 1;
    }
    return fd;
}

int openParentFolder(const std::string& path, std::string& leaf) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t slash = trimmed.find_last_of('/');
    leaf = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (slash == std::string::npos)
        return openFolder(".");
    return openFolder(slash == 0 ? std::string("/") : trimmed.substr(0, slash));
}

int renameWithoutReplacing(int fromFolder, const char* from, int toFolder, const char* to) {
    if (renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (linkat(fromFolder, from, toFolder, to, 0) != 0) {
        // FAT knows no hard links either: the name is checked to be free, then renamed to.
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
            return errno;
        struct stat st {};
        if (fstatat(toFolder, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
            return EEXIST;
        return renameat(fromFolder, from, toFolder, to) == 0 ? 0 : errno;
    }
    if (unlinkat(fromFolder, from, 0) != 0) {
        const int error = errno;
        unlinkat(toFolder, to, 0);
        return error;
    }
    return 0;
}
