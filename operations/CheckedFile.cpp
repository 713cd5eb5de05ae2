#include "operations/CheckedFile.h"

#include "platform/FileInUse.h"
#include "platform/LongPath.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace {

// The errors of an entry that is not a regular file (any more) and of a path that now leads to
// another folder: not errnos.
constexpr int kNotRegular = -1;
constexpr int kFolderChanged = -2;

std::string reason(int error) {
    return std::strerror(error);
}

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool sameTimes(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

std::string privateNameFor(const std::string& name) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, ".twinscope-%016llx~",
                  static_cast<unsigned long long>(random()));
    std::string text = prefix + name;
    if (text.size() > NAME_MAX)
        text.resize(NAME_MAX);
    return text;
}

namespace {

// renameat(2) inside one folder that never replaces an entry. Where the file system cannot
// promise that, a name found free is taken: the names used here are random and private.
int renameInFolder(int folder, const std::string& from, const std::string& to) {
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    struct stat st {};
    if (::fstatat(folder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::renameat(folder, from.c_str(), folder, to.c_str()) == 0 ? 0 : errno;
}

ssize_t readAt(int fd, char* data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

CheckedFile::CheckedFile(const TFiles& record)
    : CheckedFile(record.fullName(), {record.fPath.device(), record.fPath.inode()}) {
}

CheckedFile::CheckedFile(const std::string& path, FileIdentity folder) : m_path(path) {
    m_folder.reset(openParentFolder(path, m_name));
    if (!m_folder) {
        m_error = errno;
        return;
    }
    struct stat held {};
    if (folder != FileIdentity{} && (::fstat(m_folder.get(), &held) != 0 ||
                                     held.st_dev != folder.device || held.st_ino != folder.inode)) {
        m_error = kFolderChanged;
        m_folder.reset();
        return;
    }
    // The entry itself first, never followed: only a regular file is opened for reading (a
    // FIFO would block, a device could react), and it is reopened through its own descriptor
    // so that what was looked at is what is read.
    UniqueFd entry(::openat(m_folder.get(), m_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!entry || ::fstat(entry.get(), &m_status) != 0) {
        m_error = errno;
        return;
    }
    if (!S_ISREG(m_status.st_mode)) {
        m_error = kNotRegular;
        return;
    }
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", entry.get());
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    m_file.reset(::open(self, flags));
    if (!m_file && errno == ENOENT) // no /proc: the name again, checked to be the same file
        m_file.reset(::openat(m_folder.get(), m_name.c_str(), flags | O_NOFOLLOW));
    struct stat opened {};
    if (!m_file || ::fstat(m_file.get(), &opened) != 0) {
        m_error = errno;
        m_file.reset();
        return;
    }
    if (opened.st_dev != m_status.st_dev || opened.st_ino != m_status.st_ino) {
        m_error = kNotRegular;
        m_file.reset();
        return;
    }
    m_status = opened;
}

CheckedFile::~CheckedFile() {
    if (isAside())
        putBack();
}

bool CheckedFile::gone() const {
    return m_error == ENOENT || m_error == ENOTDIR;
}

std::string CheckedFile::openFailure() const {
    if (gone())
        return "It no longer exists.";
    if (m_error == kNotRegular)
        return kFileChanged;
    if (m_error == kFolderChanged)
        return "Its folder has changed since the search: the path leads to another folder.";
    return reason(m_error) + ".";
}

std::string CheckedFile::folderText() const {
    return m_path.substr(0, m_path.size() - m_name.size());
}

bool CheckedFile::matches(const TFiles& record) const {
    return isOpen() && m_status.st_dev == record.fDevice && m_status.st_ino == record.fInode &&
           m_status.st_size == record.fSize && nanoseconds(m_status.st_mtim) == record.fModifiedNs;
}

bool CheckedFile::inUse() const {
    return !isOpen() || openFileIsInUse(m_file.get(), m_status, m_folder.get(), m_name.c_str()) ||
           locked() || openForWriting();
}

bool CheckedFile::openForWriting() const {
    // A trial lease, let go at once (a log being written, a file being saved). Only the file's
    // owner (or root) may take one: for others nothing can be told.
    return ReadLease(m_file.get()).error() == EAGAIN;
}

ReadLease::ReadLease(int fd) : m_fd(fd) {
    // The kernel tells a lease's holder of a break with SIGIO, whose default ends the process;
    // the break is looked for here instead.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        struct sigaction now {};
        if (::sigaction(SIGIO, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
            ::signal(SIGIO, SIG_IGN);
    });
    m_error = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 0 : errno;
}

ReadLease::~ReadLease() {
    if (m_error == 0)
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
}

bool ReadLease::broken() const {
    // A break under way shows as the lease it is to become. A writer that has not reached the
    // lease yet (its open held by a program that checks each one, as an on-access virus scanner
    // does) already counts as one: asking for the lease again is then refused.
    return m_error != 0 || ::fcntl(m_fd, F_GETLEASE) != F_RDLCK ||
           ::fcntl(m_fd, F_SETLEASE, F_RDLCK) != 0;
}

bool CheckedFile::locked() const {
    if (!isOpen() || lockedByAnother(m_file.get()))
        return true;
    // A program that holds a flock(2) lock works on the file too; the trial lock is let go at
    // once. A file system that cannot tell says nothing against the file.
    if (::flock(m_file.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK;
    ::flock(m_file.get(), LOCK_UN);
    return false;
}

bool CheckedFile::stillInPlace() const {
    struct stat there {};
    struct stat now {};
    if (!isOpen() || ::fstatat(m_folder.get(), m_name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        there.st_dev != m_status.st_dev || there.st_ino != m_status.st_ino ||
        ::fstat(m_file.get(), &now) != 0 || now.st_nlink == 0 || now.st_size != m_status.st_size ||
        !sameTimes(now.st_mtim, m_status.st_mtim) || !sameTimes(now.st_ctim, m_status.st_ctim))
        return false;
    // Opened again by its name: a stacking file system that still shows a file whose source
    // has gone (its attributes kept in a cache) cannot open it.
    UniqueFd again(::openat(m_folder.get(), m_name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    return again && ::fstat(again.get(), &opened) == 0 && opened.st_dev == m_status.st_dev &&
           opened.st_ino == m_status.st_ino;
}

std::optional<std::string> CheckedFile::setAside() {
    if (!isOpen())
        return openFailure();
    std::string aside;
    for (int attempt = 0;; ++attempt) {
        aside = privateNameFor(m_name);
        const int error = renameInFolder(m_folder.get(), m_name, aside);
        if (error == 0)
            break;
        if (error == ENOENT)
            return std::string("It no longer exists.");
        if (error != EEXIST || attempt == 100)
            return reason(error) + ".";
    }
    m_asideName = aside;
    // The name may have led to another file by the time it was renamed.
    struct stat renamed {};
    if (::fstatat(m_folder.get(), aside.c_str(), &renamed, AT_SYMLINK_NOFOLLOW) != 0 ||
        renamed.st_dev != m_status.st_dev || renamed.st_ino != m_status.st_ino) {
        std::string why = kFileChanged;
        if (std::optional<std::string> back = putBack())
            why += " " + *back;
        return why;
    }
    return std::nullopt;
}

std::optional<std::string> CheckedFile::putBack() {
    if (!isAside())
        return std::nullopt;
    const int error = renameInFolder(m_folder.get(), m_asideName, m_name);
    if (error == 0) {
        m_asideName.clear();
        return std::nullopt;
    }
    std::string why =
        "It was left as \"" + folderText() + m_asideName + "\": " + reason(error) + ".";
    m_asideName.clear();
    return why;
}

bool sameFile(const CheckedFile& a, const CheckedFile& b, const OverlayMounts& overlays) {
    if (a.identity() == b.identity())
        return true;
    if (overlays.empty())
        return false;
    // An overlay gives a file the inode number of its lower file (in the low bits, when it keeps
    // the layer's number in the high ones): where the mount table's layer paths do not lead to
    // the layers (relative, or moved since), that is the sign of one file seen twice.
    auto seenThrough = [&](const CheckedFile& over, const CheckedFile& other) {
        return overlays.isOverlayDevice(over.identity().device) &&
               other.identity().device != over.identity().device &&
               (over.identity().inode & 0xFFFFFFFFu) == (other.identity().inode & 0xFFFFFFFFu);
    };
    if (seenThrough(a, b) || seenThrough(b, a))
        return true;
    auto real = [&](const CheckedFile& file) {
        struct stat folder {};
        if (::fstat(file.folder(), &folder) != 0)
            return file.identity();
        return overlays.realIdentity(file.folder(), folder.st_dev, file.name(), file.identity());
    };
    return real(a) == real(b);
}

bool sameBytes(int a, int b, std::string& why) {
    struct stat sa {};
    struct stat sb {};
    if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0 || sa.st_size != sb.st_size) {
        why = "Its contents differ from the file kept in its group.";
        return false;
    }
    std::vector<char> bufferA(1 << 16);
    std::vector<char> bufferB(1 << 16);
    for (off_t offset = 0;;) {
        const ssize_t na = readAt(a, bufferA.data(), bufferA.size(), offset);
        const ssize_t nb = readAt(b, bufferB.data(), bufferB.size(), offset);
        if (na < 0 || nb < 0) {
            why = "The file cannot be read: " + reason(errno) + ".";
            return false;
        }
        if (na != nb ||
            std::memcmp(bufferA.data(), bufferB.data(), static_cast<std::size_t>(na)) != 0) {
            why = "Its contents differ from the file kept in its group.";
            return false;
        }
        if (na == 0)
            return true;
        offset += na;
    }
}

std::optional<std::string> checkAgainstKeeper(const CheckedFile& file, const TFiles* target,
                                              const TFiles* keeper, const OverlayMounts& overlays,
                                              std::optional<CheckedFile>& kept, bool compareBytes) {
    if (!file.isOpen())
        return file.openFailure();
    if (target != nullptr && !file.matches(*target))
        return std::string(kFileChanged);
    // A layer of a mounted overlay changed behind its back can lose what the overlay shows.
    if (const std::optional<std::string> overlay = overlays.overlayHolding(file.folder()))
        return "It lies in a folder of the overlay mounted at \"" + *overlay +
               "\", which must not change while the overlay is mounted.";
    if (keeper == nullptr)
        return std::nullopt;
    kept.emplace(*keeper);
    if (!kept->isOpen())
        return "The file kept in its group cannot be read: " + kept->openFailure();
    if (sameFile(file, *kept, overlays))
        return std::string("It is the same file as the one kept in its group.");
    std::string why;
    if (compareBytes && !sameBytes(file.fd(), kept->fd(), why))
        return why;
    return std::nullopt;
}

std::optional<std::string> removeChecked(CheckedFile& file, const TFiles* target,
                                         const TFiles* keeper, const OverlayMounts& overlays,
                                         const FinalStep& finalStep, const RemovalSeam& seam) {
    std::optional<CheckedFile> kept;
    if (std::optional<std::string> why = checkAgainstKeeper(file, target, keeper, overlays, kept))
        return why;
    if (seam)
        seam(RemovalStep::Checked, file);
    if (std::optional<std::string> why = file.setAside())
        return why;
    if (seam)
        seam(RemovalStep::SetAside, file);
    // Two paths to one file that no identity gave away (a stacking file system): with this
    // file out of its place, the kept one must still be there as it was.
    std::optional<std::string> why;
    if (kept && !kept->stillInPlace())
        why = "The file kept in its group changed while this one was being removed.";
    else
        why = finalStep(file);
    if (!why) {
        file.leftFolder();
        return std::nullopt;
    }
    if (std::optional<std::string> back = file.putBack())
        *why += " " + *back;
    return why;
}
