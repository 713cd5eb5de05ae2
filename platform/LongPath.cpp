#include "platform/LongPath.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
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
