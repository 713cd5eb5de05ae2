#include "platform/FileInUse.h"

#include "platform/LongPath.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

bool openFileIsInUse(int fd, const struct stat& st, int dirFd, const char* leaf) {
    if (!S_ISREG(st.st_mode))
        return true;
    // root passes every access test, so the mode's write bits stand for the read-only
    // attribute.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    // Also catches read-only mounts and ACLs.
    if (faccessat(dirFd, leaf, W_OK, AT_EACCESS) != 0)
        return true;
    return lockedByAnother(fd);
}

bool lockedByAnother(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        return false;
    return lock.l_type != F_UNLCK;
}

int openRegularFileAt(int dirFd, const char* name, struct stat& st) {
    int fd = openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    const int error = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool IsFileInUse(const std::string& fileName) {
    ParentHandle parent(fileName);
    if (!parent.valid())
        return parent.error() != ENOENT && parent.error() != ENOTDIR;
    struct stat st {};
    if (fstatat(parent.dirFd(), parent.leaf(), &st, 0) != 0)
        return errno != ENOENT && errno != ENOTDIR;
    if (!S_ISREG(st.st_mode))
        return true;
    // Never open anything but a regular file: a FIFO would block, a device could react.
    int fd = openat(parent.dirFd(), parent.leaf(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return true;
    struct stat opened {};
    bool inUse =
        fstat(fd, &opened) != 0 || openFileIsInUse(fd, opened, parent.dirFd(), parent.leaf());
    close(fd);
    return inUse;
}

namespace {

// The id the kernel shows for one it cannot map; such a file is refused writes.
constexpr unsigned kOverflowId = 65534;

} // namespace

OwnerAccess::OwnerAccess(int folderFd) : m_euid(geteuid()) {
    struct statfs fs {};
    if (fstatfs(folderFd, &fs) != 0)
        return;
    // File systems with no permission test of their own: network ones ask their server, FUSE
    // its daemon, overlays their layers, btrfs its read-only subvolumes.
    const auto type = static_cast<unsigned long>(fs.f_type);
    m_decides = type == EXT4_SUPER_MAGIC || type == XFS_SUPER_MAGIC || type == TMPFS_MAGIC;
    m_readOnly = (fs.f_flags & ST_RDONLY) != 0;
}

std::optional<bool> OwnerAccess::allows(const struct statx& sx, int want) const {
    if (!m_decides || (sx.stx_mask & kStatxMask) != kStatxMask || sx.stx_uid != m_euid ||
        sx.stx_uid == kOverflowId || sx.stx_gid == kOverflowId)
        return std::nullopt;
    // A file mounted on its own name may lie on another mount, read-only or not.
    if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0 ||
        (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
        return std::nullopt;
    if ((want & W_OK) != 0) {
        if (m_readOnly)
            return false;
        if ((sx.stx_attributes_mask & STATX_ATTR_IMMUTABLE) == 0)
            return std::nullopt;
        if ((sx.stx_attributes & STATX_ATTR_IMMUTABLE) != 0)
            return false;
    }
    // R_OK and W_OK are the owner's read and write bits, shifted down. Bits that refuse may
    // still be overridden by a capability, which only faccessat knows of.
    const unsigned ownerBits = (sx.stx_mode >> 6) & 7;
    if ((static_cast<unsigned>(want) & ~ownerBits) == 0)
        return true;
    return std::nullopt;
}
