#include "operations/LinkReplace.h"

#include "platform/UniqueFd.h"
#include "search/RunControl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// The kernel compares and shares at most this much per request, and the bar moves between them.
constexpr off_t kDedupeChunk = off_t{16} << 20;

std::string reason(int error) {
    return std::string(std::strerror(error)) + ".";
}

bool sameTimes(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// 0, or the errno a test makes the step fail with.
int injected(const ReplaceHooks& hooks, ReplaceStep step) {
    return hooks.failAt ? hooks.failAt(step) : 0;
}

// The errors of a file system (or kernel) that has no such request at all.
bool noSuchRequest(int error) {
    return error == EOPNOTSUPP || error == ENOTTY || error == EINVAL || error == ENOSYS;
}

std::string sharingRefused(int error) {
    if (error == EXDEV)
        return "The file kept in its group is on another file system: blocks are shared only "
               "within one.";
    if (noSuchRequest(error))
        return "The file system does not share blocks between files (reflinks): " + reason(error);
    return "The file system could not share its blocks with the file kept in its group: " +
           reason(error);
}

// Removes the private link `name` in the file's folder; what to add to the reason when it stays.
std::string leftOver(const CheckedFile& file, const std::string& name) {
    if (name.empty() || ::unlinkat(file.folder(), name.c_str(), 0) == 0 || errno == ENOENT)
        return {};
    return " The link made was left as \"" + file.folderText() + name + "\": " + reason(errno);
}

enum class Shared { Done, Unsupported, Failed };

// The kernel's deduplication request: the kernel compares the bytes and shares them in place,
// chunk by chunk; a chunk it finds different is left alone, so the file's content never changes.
Shared dedupe(const CheckedFile& file, const CheckedFile& kept, const ReplaceHooks& hooks,
              std::string& why) {
    const off_t size = file.status().st_size;
    std::vector<unsigned char> storage(sizeof(file_dedupe_range) + sizeof(file_dedupe_range_info));
    auto* range = reinterpret_cast<file_dedupe_range*>(storage.data());
    auto* info =
        reinterpret_cast<file_dedupe_range_info*>(storage.data() + sizeof(file_dedupe_range));
    for (off_t offset = 0; offset < size;) {
        std::fill(storage.begin(), storage.end(), 0);
        range->src_offset = static_cast<__u64>(offset);
        range->src_length = static_cast<__u64>(std::min(kDedupeChunk, size - offset));
        range->dest_count = 1;
        info->dest_fd = file.fd();
        info->dest_offset = static_cast<__u64>(offset);
        int error = injected(hooks, ReplaceStep::Dedupe);
        if (error == 0 && ::ioctl(kept.fd(), FIDEDUPERANGE, range) != 0)
            error = errno;
        if (error == 0 && info->status < 0)
            error = -info->status;
        if (error != 0) {
            if (offset == 0 && noSuchRequest(error))
                return Shared::Unsupported;
            why = sharingRefused(error);
            return Shared::Failed;
        }
        if (info->status == FILE_DEDUPE_RANGE_DIFFERS) {
            why = "Its contents differ from the file kept in its group.";
            return Shared::Failed;
        }
        if (info->bytes_deduped == 0) {
            why = "The file system shared none of its blocks with the file kept in its group.";
            return Shared::Failed;
        }
        offset += static_cast<off_t>(info->bytes_deduped);
        if (hooks.bar)
            hooks.bar(static_cast<int>(offset * 100 / size));
        if (hooks.control != nullptr)
            hooks.control->checkpoint(); // a pause waits here; a cancel finishes the file
    }
    return Shared::Done;
}

// A hard link of the kept file, the very file opened, under a private name in the file's folder.
bool linkKept(const CheckedFile& file, const CheckedFile& kept, const ReplaceHooks& hooks,
              std::string& name, UniqueFd& content, std::string& why) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", kept.fd());
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        name = privateNameFor(file.name());
        error = injected(hooks, ReplaceStep::MakeLink);
        if (error == 0 &&
            ::linkat(AT_FDCWD, self, file.folder(), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            error = errno;
            // Without /proc, the descriptor itself (which needs the right to look up any file).
            if (error == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
                error = ::linkat(kept.fd(), "", file.folder(), name.c_str(), AT_EMPTY_PATH) == 0
                            ? 0
                            : errno;
        }
    }
    if (error == 0) {
        content.reset(::fcntl(kept.fd(), F_DUPFD_CLOEXEC, 0));
        if (content)
            return true;
        error = errno;
        ::unlinkat(file.folder(), name.c_str(), 0);
    }
    name.clear();
    switch (error) {
    case EXDEV:
        why = "The file kept in its group is on another file system: a hard link cannot reach it.";
        break;
    case EMLINK:
        why = "The file kept in its group has as many hard links as its file system allows.";
        break;
    case ENOENT:
        why = "The file kept in its group no longer exists.";
        break;
    case EPERM:
        why = "A hard link to the file kept in its group is not allowed here: " + reason(error);
        break;
    default:
        why = "A hard link could not be made: " + reason(error);
    }
    return false;
}

// The file's owner and group, extended attributes (ACLs among them), mode and times, given to
// the clone `to`: all of them, or the reason one could not be.
std::optional<std::string> takeAttributes(int to, const CheckedFile& from) {
    const struct stat& st = from.status();
    // The owner first: a change of owner clears set-ID bits that the mode then sets again.
    if (::fchown(to, st.st_uid, st.st_gid) != 0)
        return "Its owner and group cannot be given to a new file: " + reason(errno);
    // The kernel lists at most 64 KiB of names.
    std::vector<char> names(4096);
    ssize_t listed = 0;
    while ((listed = ::flistxattr(from.fd(), names.data(), names.size())) < 0 && errno == ERANGE &&
           names.size() < (std::size_t{1} << 20))
        names.resize(names.size() * 2);
    if (listed < 0 && errno != ENOTSUP)
        return "Its extended attributes cannot be read: " + reason(errno);
    std::vector<char> value;
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char* attribute = &names[static_cast<std::size_t>(at)];
        ssize_t size = ::fgetxattr(from.fd(), attribute, nullptr, 0);
        if (size >= 0) {
            value.resize(static_cast<std::size_t>(size) + 1);
            size = ::fgetxattr(from.fd(), attribute, value.data(), value.size());
        }
        if (size < 0 ||
            ::fsetxattr(to, attribute, value.data(), static_cast<std::size_t>(size), 0) != 0)
            return std::string("Its extended attribute \"") + attribute +
                   "\" cannot be kept: " + reason(errno);
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(to, st.st_mode & 07777) != 0 || ::futimens(to, times) != 0)
        return "Its mode and times cannot be kept: " + reason(errno);
    return std::nullopt;
}

// A clone of the kept file under a private name in the file's folder, with the file's own
// attributes.
bool cloneKept(const CheckedFile& file, const CheckedFile& kept, const ReplaceHooks& hooks,
               std::string& name, UniqueFd& clone, std::string& why) {
    for (int attempt = 0; attempt < 100 && !clone; ++attempt) {
        name = privateNameFor(file.name());
        clone.reset(::openat(file.folder(), name.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!clone && errno != EEXIST)
            break;
    }
    if (!clone) {
        why = "A reflink could not be made: " + reason(errno);
        name.clear();
        return false;
    }
    int error = injected(hooks, ReplaceStep::MakeLink);
    if (error == 0 && ::ioctl(clone.get(), FICLONE, kept.fd()) != 0)
        error = errno;
    struct stat made {};
    std::optional<std::string> failed;
    if (error != 0)
        failed = sharingRefused(error);
    else if (::fstat(clone.get(), &made) != 0 || made.st_size != file.status().st_size)
        failed = "The reflink made does not have the file's size.";
    else
        failed = takeAttributes(clone.get(), file);
    if (!failed)
        return true;
    clone.reset();
    why = *failed + leftOver(file, name);
    name.clear();
    return false;
}

// Whether the content of a file may have changed between two looks at it: its size, its
// modification time or its change time (which no program can set back).
bool sameState(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && sameTimes(a.st_mtim, b.st_mtim) &&
           sameTimes(a.st_ctim, b.st_ctim);
}

// Swaps the link made under `name`, whose content `content` reads (the kept file itself, or the
// clone), with the file, in one step, and removes the file replaced once it is confirmed to be
// the file checked. The bytes are compared through the link, so that they are the ones the path
// will show, and nothing may change from before that comparison to the swap. At any doubt the two
// names are swapped back and the link is removed.
std::optional<std::string> swapIn(CheckedFile& file, int content, const std::string& name,
                                  const ReadLease& fileLease, const ReadLease* keptLease,
                                  const ReplaceHooks& hooks) {
    const int folder = file.folder();
    // A program that opened either file for writing meanwhile waits for the leases: its writes
    // would go where they no longer show (the replaced file), or show through the path (the
    // kept file, for a hard link).
    auto opened = [&]() -> std::optional<std::string> {
        if (fileLease.broken())
            return std::string(
                "Another program opened it for writing while it was being replaced.");
        if (keptLease != nullptr && keptLease->broken())
            return std::string("Another program opened the file kept in its group for writing "
                               "while this one was being replaced.");
        return std::nullopt;
    };
    auto dropLink = [&](std::string why) -> std::optional<std::string> {
        return why + leftOver(file, name);
    };
    if (hooks.seam)
        hooks.seam(RemovalStep::Linked, file);
    struct stat before {};
    struct stat now {};
    std::string why;
    if (::fstat(content, &before) != 0 || !sameBytes(file.fd(), content, why))
        return dropLink(why.empty() ? "The link cannot be read: " + reason(errno) : why);
    if (::fstat(content, &now) != 0 || !sameState(before, now))
        return dropLink("The file kept in its group changed while this one was being replaced.");
    if (!file.stillInPlace())
        return dropLink(kFileChanged);
    if (std::optional<std::string> writer = opened())
        return dropLink(*writer);

    int error = injected(hooks, ReplaceStep::Exchange);
    if (error == 0 &&
        ::renameat2(folder, name.c_str(), folder, file.name().c_str(), RENAME_EXCHANGE) != 0)
        error = errno;
    if (error == EINVAL || error == ENOSYS)
        return dropLink("The file system cannot put the link in the file's place in one step.");
    if (error != 0)
        return dropLink("The link could not take the file's place: " + reason(error));

    // The private name now holds the file replaced: it must be the one checked, unchanged.
    std::optional<std::string> failed;
    struct stat old {};
    if (hooks.seam)
        hooks.seam(RemovalStep::Swapped, file);
    if (::fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        old.st_dev != file.status().st_dev || old.st_ino != file.status().st_ino ||
        ::fstat(file.fd(), &now) != 0 || now.st_size != file.status().st_size ||
        !sameTimes(now.st_mtim, file.status().st_mtim))
        failed = kFileChanged;
    else
        failed = opened();
    if (!failed) {
        if ((error = injected(hooks, ReplaceStep::RemoveOld)) == 0 &&
            ::unlinkat(folder, name.c_str(), 0) == 0)
            return std::nullopt;
        failed = "The replaced file could not be removed: " + reason(error != 0 ? error : errno);
    }

    // Back as it was: the file under its own name, the link gone.
    if (::renameat2(folder, name.c_str(), folder, file.name().c_str(), RENAME_EXCHANGE) != 0)
        return *failed + " The file was left as \"" + file.folderText() + name +
               "\", and the link took its name: " + reason(errno);
    return dropLink(*failed);
}

// Why a link made in the file's folder could not be removed again, found before it is made: a
// sticky folder lets only an entry's owner (or the folder's) remove it, and an append-only or
// immutable folder none.
std::optional<std::string> folderKeepsLinks(const CheckedFile& file, uid_t linkOwner) {
    struct stat folder {};
    if (::fstat(file.folder(), &folder) != 0)
        return "Its folder cannot be examined: " + reason(errno);
    const uid_t user = ::geteuid();
    if ((folder.st_mode & S_ISVTX) != 0 && user != 0 && user != folder.st_uid && user != linkOwner)
        return std::string("Its folder is sticky: a link made there could not be removed again.");
    int flags = 0;
    UniqueFd opened(::openat(file.folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened && ::ioctl(opened.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0)
        return std::string("Its folder takes no renames or removals (append-only or immutable).");
    return std::nullopt;
}

// Why a file whose lease could not be taken is not replaced.
std::optional<std::string> leaseRefused(int error, const std::string& subject,
                                        const std::string& object) {
    switch (error) {
    case 0:
        return std::nullopt;
    case EAGAIN:
        return subject + " is being written by another program.";
    case EACCES:
    case EPERM:
        return subject + " belongs to another user: whether a program is writing " + object +
               " cannot be told.";
    default:
        return "Whether a program is writing " + object + " cannot be told here: " + reason(error);
    }
}

} // namespace

std::optional<std::string> replaceWithLink(CheckedFile& file, const TFiles& target,
                                           const TFiles& keeper, LinkKind kind,
                                           const OverlayMounts& overlays,
                                           const ReplaceHooks& hooks) {
    const bool reflink = kind == LinkKind::Reflink;
    std::optional<CheckedFile> kept;
    // The bytes are compared through the link once it is made (or by the kernel as it shares
    // them): compared before, they could change in between.
    if (std::optional<std::string> why =
            checkAgainstKeeper(file, &target, &keeper, overlays, kept, false))
        return why;
    if (hooks.seam)
        hooks.seam(RemovalStep::Checked, file);
    std::string why;
    if (reflink) {
        if (!file.stillInPlace())
            return std::string(kFileChanged);
        switch (dedupe(file, *kept, hooks, why)) {
        case Shared::Done:
            // Sharing changed nothing of the file, wherever it is now; only what is at its path
            // counts as replaced.
            if (!file.stillInPlace())
                return std::string(kFileChanged);
            return std::nullopt;
        case Shared::Failed:
            return why;
        case Shared::Unsupported:
            break;
        }
    }
    // Another name of the file elsewhere would keep its bytes apart: nothing would be saved, and
    // the two names would no longer be one file.
    if (file.status().st_nlink > 1)
        return std::string("It has another hard link: replacing this name would free no "
                           "space.");
    // A file another program works on must not take the place of a copy.
    if (!reflink && kept->locked())
        return std::string("The file kept in its group is locked by another program.");
    if (std::optional<std::string> refused =
            folderKeepsLinks(file, reflink ? file.status().st_uid : kept->status().st_uid))
        return refused;
    // Held until the replaced file is gone: no program may be writing the file, nor (for a
    // hard link, which the path then shows) the kept file.
    const ReadLease fileLease(file.fd());
    std::optional<ReadLease> keptLease;
    if (!reflink)
        keptLease.emplace(kept->fd());
    if (std::optional<std::string> refused = leaseRefused(fileLease.error(), "It", "it"))
        return refused;
    if (keptLease) {
        if (std::optional<std::string> refused =
                leaseRefused(keptLease->error(), "The file kept in its group", "that file"))
            return refused;
    }
    std::string name;
    UniqueFd content;
    if (!(reflink ? cloneKept(file, *kept, hooks, name, content, why)
                  : linkKept(file, *kept, hooks, name, content, why)))
        return why;
    return swapIn(file, content.get(), name, fileLease, keptLease ? &*keptLease : nullptr, hooks);
}
