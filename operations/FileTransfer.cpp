#include "operations/FileTransfer.h"

#include "platform/LongPath.h"
#include "platform/Trash.h"
#include "platform/UniqueFd.h"
#include "search/ResultRows.h"
#include "search/RunControl.h"
#include "tools/GeneralTools.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {

std::string reason(int error) {
    return std::strerror(error);
}

TransferResult failure(std::string text) {
    return TransferResult{false, std::move(text)};
}

std::string folderOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t readSome(int fd, char* data, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

// A new, empty file with a hidden random name in the folder `folder` (a descriptor, or
// AT_FDCWD with the folder's path in `prefix`), readable by its owner only until the copy gives
// it its final mode. `name` is its name relative to `folder`.
int createTemporary(int folder, const std::string& prefix, std::string& name) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        name = prefix + ".twinscope-" + suffix + ".part";
        int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                          0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int createTemporary(const std::string& folder, std::string& name) {
    return createTemporary(AT_FDCWD, folder, name);
}

// The umask, read from /proc: umask() can only be read by changing it, for every thread at once.
// Without /proc the narrowest umask is assumed, so a copy is never wider than it should be.
mode_t currentUmask() {
    UniqueFd status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char text[4096];
    ssize_t size = status.get() < 0 ? -1 : readSome(status.get(), text, sizeof text - 1);
    if (size <= 0)
        return 077;
    text[size] = '\0';
    const char* line = std::strstr(text, "\nUmask:");
    if (line == nullptr)
        return 077;
    char* end = nullptr;
    const unsigned long mask = std::strtoul(line + 7, &end, 8);
    return end == line + 7 ? 077 : static_cast<mode_t>(mask & 0777);
}

// Gives `fd` the owner and group of `original` where this user may, and returns the mode of
// `original` narrowed so that it is never wider: for whoever could not be kept as owner or group,
// nothing more than `original` gave to others.
mode_t keepOwnership(int fd, const struct stat& original) {
    const bool ownerKept = ::fchown(fd, original.st_uid, original.st_gid) == 0;
    // An ordinary user may still keep the group when a member of it.
    const bool groupKept = ownerKept || ::fchown(fd, static_cast<uid_t>(-1), original.st_gid) == 0;
    mode_t mode = original.st_mode & 07777;
    if (!ownerKept || !groupKept)
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (!groupKept)
        mode &= ~static_cast<mode_t>(S_IRWXG) | ((mode & S_IRWXO) << 3);
    return mode;
}

enum class Attributes {
    OfACopy, // as cp makes them: the source's times, its permissions minus the umask
    OfAMove, // what a rename keeps: times, mode, owner and group where permitted
};

// Gives the finished temporary the attributes of `source`. Its mode is never wider than the
// source's: for whoever could not be kept as owner or group, nothing more than the source gave
// to others. Fails only when the times cannot be set.
bool applyAttributes(int fd, const struct stat& source, Attributes keep) {
    const mode_t mode = keep == Attributes::OfACopy ? source.st_mode & 0777 & ~currentUmask()
                                                    : keepOwnership(fd, source);
    // After fchown, which clears set-ID bits. A file system without modes refuses it; the file
    // then keeps the owner-only mode it was made with.
    ::fchmod(fd, mode);
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    return ::futimens(fd, times) == 0;
}

int barPosition(std::int64_t total, std::int64_t size) {
    return static_cast<int>(
        roundHalfEven(static_cast<double>(total) / static_cast<double>(size) * 100.0));
}

} // namespace

std::string numberedName(const std::string& name, int number) {
    const std::string extension = fileExtension(name);
    const std::string stem = name.substr(0, name.size() - extension.size());
    return stem + " (" + std::to_string(number) + ")" + extension;
}

bool nameTakenIn(int folder, const std::string& name) {
    struct stat st {};
    return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool fileExists(const std::string& path) {
    ParentHandle parent(path);
    struct stat st {};
    return parent.valid() && ::fstatat(parent.dirFd(), parent.leaf(), &st, 0) == 0 &&
           !S_ISDIR(st.st_mode);
}

std::string freeNumberedName(int folder, const std::string& name) {
    for (int number = 1;; ++number) {
        std::string candidate = numberedName(name, number);
        if (!nameTakenIn(folder, candidate))
            return candidate;
    }
}

std::string freeNumberedName(const std::string& folder, const std::string& name) {
    UniqueFd open(openFolder(folder));
    return freeNumberedName(open.get(), name);
}

namespace {

// Copies the open file `in` (as `sourceStatus` describes it) into the folder `folder` as
// `target`, by way of a temporary file there that takes the name only when complete and flushed.
TransferResult copyOpenFile(int in, const struct stat& sourceStatus, const std::string& source,
                            int folder, const std::string& target, const std::string& destination,
                            CopyMode mode, Attributes keep, const CopyProgress& bar,
                            RunControl* control) {
    if (bar)
        bar(0);
    const std::int64_t size = sourceStatus.st_size;
    const std::string cannotCreate = "Cannot create file \"" + destination + "\". ";
    struct stat destinationStat {};
    if (::fstatat(folder, target.c_str(), &destinationStat, 0) == 0) {
        if (destinationStat.st_dev == sourceStatus.st_dev &&
            destinationStat.st_ino == sourceStatus.st_ino)
            return failure(cannotCreate + "It is the source file itself.");
        if (S_ISDIR(destinationStat.st_mode))
            return failure(cannotCreate + reason(EISDIR));
    }
    std::string temporary;
    UniqueFd out(createTemporary(folder, "", temporary));
    if (out.get() < 0)
        return failure(cannotCreate + reason(errno));
    auto abandon = [&](const std::string& text) {
        out.reset();
        ::unlinkat(folder, temporary.c_str(), 0);
        return failure(text);
    };

    std::vector<char> buffer(kCopyChunkSize);
    std::int64_t total = 0;
    bool first = true;
    for (;;) {
        const ssize_t got = ::pread(in, buffer.data(), buffer.size(), static_cast<off_t>(total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return abandon("Cannot read file \"" + source + "\". " + reason(errno));
        if (got > 0 && !writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got)))
            return abandon("Cannot write file \"" + destination + "\". " + reason(errno));
        total += got;
        // The bar moves from the second chunk on; the final empty read brings it to 100.
        if (!first && bar && size > 0)
            bar(barPosition(total, size));
        if (first && got == 0)
            break; // an empty source: the bar stays at 0
        first = false;
        if (got == 0)
            break;
        if (control != nullptr)
            control->checkpoint();
    }
    if (total != size)
        return abandon("Cannot copy file \"" + source + "\". It changed while it was copied.");
    if (!applyAttributes(out.get(), sourceStatus, keep))
        return abandon("Cannot set the times of file \"" + destination + "\". " + reason(errno));
    if (::fsync(out.get()) != 0)
        return abandon("Cannot write file \"" + destination + "\". " + reason(errno));
    if (::close(out.release()) != 0)
        return abandon("Cannot write file \"" + destination + "\". " + reason(errno));

    const int error =
        mode == CopyMode::Replace
            ? (::renameat(folder, temporary.c_str(), folder, target.c_str()) == 0 ? 0 : errno)
            : renameWithoutReplacing(folder, temporary.c_str(), folder, target.c_str());
    if (error != 0) {
        ::unlinkat(folder, temporary.c_str(), 0);
        return failure(cannotCreate + reason(error));
    }
    return {};
}

} // namespace

TransferResult copyCheckedFile(const CheckedFile& source, int folder, const std::string& target,
                               const std::string& destination, CopyMode mode,
                               const CopyProgress& bar, RunControl* control) {
    if (!source.isOpen())
        return failure("Cannot open file \"" + source.path() + "\". " + source.openFailure());
    return copyOpenFile(source.fd(), source.status(), source.path(), folder, target, destination,
                        mode, Attributes::OfACopy, bar, control);
}

TransferResult CopyFileWP(const std::string& source, const std::string& destination, CopyMode mode,
                          const CopyProgress& bar, RunControl* control) {
    CheckedFile in(source);
    std::string target;
    UniqueFd folder(openParentFolder(destination, target));
    if (in.isOpen() && !folder)
        return failure("Cannot create file \"" + destination + "\". " + reason(errno));
    return copyCheckedFile(in, folder.get(), target, destination, mode, bar, control);
}

namespace {

// Where the bytes for a file name go.
struct WriteTarget {
    std::string path;     // the file at the end of any symbolic links
    bool inPlace = false; // opened and written as it is, without a temporary
    bool exists = false;
    struct stat st {};
};

// Follows symbolic links one by one, so that the file they lead to is the one replaced and the
// links stay links. A link in /proc (where /dev/stdout leads) stands for an open file rather than
// a name, so what it leads to is written in place, like a pipe or a device.
int findWriteTarget(const std::string& fileName, WriteTarget& target) {
    target.path = fileName;
    for (int links = 0;; ++links) {
        // A name that cannot be looked at is taken as new: creating it says what is wrong.
        if (::lstat(target.path.c_str(), &target.st) != 0)
            return 0;
        if (!S_ISLNK(target.st.st_mode)) {
            target.exists = true;
            target.inPlace = !S_ISREG(target.st.st_mode);
            return 0;
        }
        struct statfs folder {};
        if (::statfs(folderOf(target.path).c_str(), &folder) == 0 &&
            folder.f_type == PROC_SUPER_MAGIC) {
            target.inPlace = true;
            return 0;
        }
        if (links == 40)
            return ELOOP;
        char next[PATH_MAX];
        const ssize_t size = ::readlink(target.path.c_str(), next, sizeof next);
        if (size < 0)
            return errno;
        if (static_cast<std::size_t>(size) == sizeof next)
            return ENAMETOOLONG;
        const std::string_view link(next, static_cast<std::size_t>(size));
        target.path =
            link.starts_with('/') ? std::string(link) : folderOf(target.path) + std::string(link);
    }
}

} // namespace

WholeFileWriter::WholeFileWriter(std::string fileName) : m_fileName(std::move(fileName)) {
}

WholeFileWriter::~WholeFileWriter() {
    abandon();
}

void WholeFileWriter::abandon() {
    if (!m_temporary.empty()) {
        m_out.reset();
        ::unlink(m_temporary.c_str());
        m_temporary.clear();
    }
}

std::string WholeFileWriter::shownName() const {
    return m_fileName.empty() ? std::string("standard output") : "file \"" + m_fileName + "\"";
}

namespace {
// Whether `fd` is a pipe whose readers have all gone: a write of nothing cannot tell, and a
// listing that must be written before files are removed would be lost.
bool readerGone(int fd) {
    pollfd out{fd, POLLOUT, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}
} // namespace

TransferResult WholeFileWriter::prepare(std::size_t size) {
    const std::string cannotCreate = "Cannot create " + shownName() + ". ";
    const std::string cannotWrite = "Cannot write " + shownName() + ". ";
    abandon();
    m_inPlace = true;
    m_written = 0;
    m_rewound = false;
    struct stat st {};
    if (m_fileName.empty()) {
        // Standard output is written where it stands; on a file, the room is taken now.
        if (::fstat(STDOUT_FILENO, &st) != 0)
            return failure(cannotWrite + reason(errno));
        if (S_ISREG(st.st_mode)) {
            // Appended, the text goes after what the file holds, wherever its offset stands.
            const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
            const off_t at = flags >= 0 && (flags & O_APPEND) != 0
                                 ? st.st_size
                                 : ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
            const int error =
                size == 0 || ::fallocate(STDOUT_FILENO, FALLOC_FL_KEEP_SIZE, std::max<off_t>(at, 0),
                                         static_cast<off_t>(size)) == 0
                    ? 0
                    : errno;
            // Only a lack of room counts: a file system that cannot reserve is written as is.
            if (error == ENOSPC || error == EDQUOT || error == EFBIG)
                return failure(cannotWrite + reason(error));
            return {};
        }
        if (S_ISFIFO(st.st_mode) && readerGone(STDOUT_FILENO))
            return failure(cannotWrite + reason(EPIPE));
        return ::write(STDOUT_FILENO, "", 0) == 0 ? TransferResult{}
                                                  : failure(cannotWrite + reason(errno));
    }
    WriteTarget target;
    if (int error = findWriteTarget(m_fileName, target); error != 0)
        return failure(cannotCreate + reason(error));
    if (target.inPlace) {
        // A pipe waits here for its reader; a device such as /dev/full fails a write of nothing.
        m_out.reset(
            ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
        if (!m_out)
            return failure(cannotCreate + reason(errno));
        if (::write(m_out.get(), "", 0) != 0)
            return failure(cannotWrite + reason(errno));
        if (readerGone(m_out.get()))
            return failure(cannotWrite + reason(EPIPE));
        return {};
    }
    // A file this user may not write is not replaced either, as writing it in place would fail.
    if (target.exists && ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)
        return failure(cannotCreate + reason(errno));
    m_inPlace = false;
    m_target = target.path;
    m_out.reset(createTemporary(folderOf(target.path), m_temporary));
    if (!m_out) {
        m_temporary.clear();
        return failure(cannotCreate + reason(errno));
    }
    // New content does not take set-ID bits over, as a write in place would clear them.
    const mode_t mode = target.exists ? keepOwnership(m_out.get(), target.st) &
                                            ~static_cast<mode_t>(S_ISUID | S_ISGID)
                                      : 0666 & ~currentUmask();
    // A file system without modes refuses it; the file then keeps its owner-only mode.
    ::fchmod(m_out.get(), mode);
    // The room for the whole text is taken before it is written: a full disk shows now.
    int error = size == 0 ? 0 : ::posix_fallocate(m_out.get(), 0, static_cast<off_t>(size));
    if (error == EOPNOTSUPP || error == EINVAL) {
        const std::vector<char> zeros(std::min<std::size_t>(size, 1 << 20), '\0');
        error = 0;
        for (std::size_t done = 0; done < size && error == 0;) {
            const std::size_t part = std::min(zeros.size(), size - done);
            error = writeAll(m_out.get(), zeros.data(), part) ? 0 : errno;
            done += part;
        }
    }
    if (error != 0) {
        abandon();
        return failure(cannotWrite + reason(error));
    }
    return {};
}

TransferResult WholeFileWriter::write(std::string_view bytes) {
    const TransferResult appended = append(bytes);
    return appended.ok ? finish() : appended;
}

TransferResult WholeFileWriter::append(std::string_view bytes) {
    const std::string cannotWrite = "Cannot write " + shownName() + ". ";
    if (m_inPlace) {
        const int fd = m_fileName.empty() ? STDOUT_FILENO : m_out.get();
        if (!writeAll(fd, bytes.data(), bytes.size()))
            return failure(cannotWrite + reason(errno));
        return {};
    }
    if (!m_out)
        return failure(cannotWrite + reason(EBADF));
    if ((!m_rewound && ::lseek(m_out.get(), 0, SEEK_SET) != 0) ||
        !writeAll(m_out.get(), bytes.data(), bytes.size())) {
        const int error = errno;
        abandon();
        return failure(cannotWrite + reason(error));
    }
    m_rewound = true;
    m_written += bytes.size();
    return {};
}

TransferResult WholeFileWriter::finish() {
    const std::string cannotWrite = "Cannot write " + shownName() + ". ";
    if (m_inPlace) {
        if (!m_fileName.empty() && m_out.close() != 0)
            return failure(cannotWrite + reason(errno));
        return {};
    }
    if (!m_out)
        return failure(cannotWrite + reason(EBADF));
    auto give = [&](int error) {
        abandon();
        return failure(cannotWrite + reason(error));
    };
    if (::ftruncate(m_out.get(), static_cast<off_t>(m_written)) != 0 || ::fsync(m_out.get()) != 0)
        return give(errno);
    if (const int error = m_out.close(); error != 0)
        return give(error);
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        const int error = errno;
        abandon();
        return failure("Cannot create " + shownName() + ". " + reason(error));
    }
    m_temporary.clear();
    return {};
}

TransferResult writeWholeFile(const std::string& fileName, std::string_view bytes) {
    WholeFileWriter writer(fileName);
    TransferResult prepared = writer.prepare(bytes.size());
    return prepared.ok ? writer.write(bytes) : prepared;
}

FinalStep moveOnStep(int folder, const std::string& target, const std::string& destination,
                     RunControl* control, const CopyProgress& bar) {
    return [folder, target, destination, control,
            bar](CheckedFile& file) -> std::optional<std::string> {
        const std::string cannotMove = "Cannot move file \"" + file.path() + "\"";
        int error =
            renameWithoutReplacing(file.folder(), file.asideName().c_str(), folder, target.c_str());
        if (error == 0)
            return std::nullopt;
        if (error != EXDEV)
            return cannotMove + " to \"" + destination + "\". " + reason(error);
        // Another file system: copy, and remove the source only when the copy is safely there.
        // Its times are taken now, after the rename that set it aside gave it a new change time.
        struct stat before {};
        if (::fstat(file.fd(), &before) != 0)
            return cannotMove + ". " + reason(errno);
        TransferResult copied =
            copyOpenFile(file.fd(), before, file.path(), folder, target, destination,
                         CopyMode::CreateNew, Attributes::OfAMove, bar, control);
        if (!copied.ok)
            return copied.error;
        // The change time too: a file written and given its old modification time back.
        struct stat after {};
        if (::fstat(file.fd(), &after) != 0 || after.st_size != before.st_size ||
            after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
            after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
            after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
            after.st_ctim.tv_nsec != before.st_ctim.tv_nsec) {
            ::unlinkat(folder, target.c_str(), 0);
            return cannotMove + ". It changed while it was copied.";
        }
        if (::unlinkat(file.folder(), file.asideName().c_str(), 0) != 0) {
            error = errno;
            ::unlinkat(folder, target.c_str(), 0);
            return cannotMove + ". " + reason(error);
        }
        return std::nullopt;
    };
}

FinalStep deleteStep() {
    return [](CheckedFile& file) -> std::optional<std::string> {
        if (::unlinkat(file.folder(), file.asideName().c_str(), 0) != 0)
            return reason(errno) + ".";
        return std::nullopt;
    };
}

FinalStep trashStep(const TrashLocations& where) {
    return [where](CheckedFile& file) -> std::optional<std::string> {
        TrashResult trashed =
            moveToTrashAt(file.folder(), file.folderText(), file.asideName(), file.name(), where);
        if (!trashed.ok)
            return trashed.error;
        return std::nullopt;
    };
}

TransferResult moveFile(const std::string& source, const std::string& destination,
                        RunControl* control) {
    CheckedFile file(source);
    std::string target;
    UniqueFd folder(openParentFolder(destination, target));
    if (!folder)
        return failure("Cannot move file \"" + source + "\" to \"" + destination + "\". " +
                       reason(errno));
    std::optional<std::string> why =
        removeChecked(file, nullptr, nullptr, OverlayMounts::current(),
                      moveOnStep(folder.get(), target, destination, control));
    return why ? failure(*why) : TransferResult{};
}

TransferResult deleteVerified(const TFiles& target, const TFiles* keeper, const RemovalSeam& seam) {
    CheckedFile file(target);
    std::optional<std::string> why =
        removeChecked(file, &target, keeper, OverlayMounts::current(), deleteStep(), seam);
    return why ? failure(*why) : TransferResult{};
}

TransferResult trashVerified(const TFiles& target, const TFiles* keeper,
                             const TrashLocations& where, const RemovalSeam& seam) {
    CheckedFile file(target);
    std::optional<std::string> why =
        removeChecked(file, &target, keeper, OverlayMounts::current(), trashStep(where), seam);
    return why ? failure(*why) : TransferResult{};
}
