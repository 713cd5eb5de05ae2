#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// The in-use tests of an already opened regular file: this process may not write it, its mode
// has no write bit, or another process holds a lock on it. `dirFd`/`leaf` name the same file
// for the access test. Nothing is opened for writing and nothing is changed.
bool openFileIsInUse(int fd, const struct stat& st, int dirFd, const char* leaf);

// Whether another open file description holds a lock that a write lock on the whole file would
// meet (asked with F_OFD_GETLK, so a read-only descriptor will do).
bool lockedByAnother(int fd);

// True when the file exists but must be left alone: not a regular file, not writable by this
// process, read-only by its mode, locked by another process, or not readable. A missing file
// is not in use.
bool IsFileInUse(const std::string& fileName);

// Opens a regular file for reading without blocking and without following a final symbolic
// link. Returns -1 with errno set when it cannot be opened or is not a regular file; `st`
// receives its fstat.
int openRegularFileAt(int dirFd, const char* name, struct stat& st);

// The access test of faccessat(AT_EACCESS), answered from a file's statx where its owner's mode
// bits decide it: for a file this process owns (its ACL cannot narrow the owner's bits), on a
// local file system whose test is the kernel's own (ext2/3/4, XFS, tmpfs), not mounted on its
// own, not immutable when written. Saves the walk one system call a file. Made once per folder.
class OwnerAccess {
public:
    explicit OwnerAccess(int folderFd);

    // The statx fields allows() reads.
    static constexpr unsigned kStatxMask = STATX_MODE | STATX_UID | STATX_GID;
    // Whether `want` (R_OK, W_OK or both) is allowed; nothing when faccessat must be asked.
    std::optional<bool> allows(const struct statx& sx, int want) const;

private:
    bool m_decides = false;
    bool m_readOnly = false; // the folder's mount or file system
    uid_t m_euid = 0;
};
