#include "search/FileWalker.h"

#include "platform/FileInUse.h"
#include "platform/FileTime.h"
#include "platform/LongPath.h"
#include "platform/MountTable.h"
#include "platform/NameOrder.h"
#include "search/DigestCache.h"
#include "search/OrderedCrew.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <optional>
#include <thread>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {
// Folders kept open at once on the walk's stack; deeper ones are reopened on demand. Fewer
// are kept when the limit of open files leaves no room for them.
constexpr std::size_t kMaxOpenFolders = 128;

bool isHidden(const std::string& name) {
    return !name.empty() && name[0] == '.';
}

bool matchesMask(const std::string& mask, const std::string& name) {
    if (mask == "*.*" || mask == "*" || mask.empty())
        return true;
    return fnmatch(mask.c_str(), name.c_str(), 0) == 0;
}

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

constexpr unsigned kFileStatxMask =
    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;

// Folders with this many files have them looked at on several threads, a window at a time:
// the walk waits on a system call or two per file, which the cores can make side by side.
constexpr std::size_t kProbeTogether = 16;
constexpr std::size_t kProbeWindow = 1024;

std::int64_t nanoseconds(const struct statx_timestamp& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}
} // namespace

struct FileWalker::Entry {
    std::string name;
    unsigned char type;
};

// What the walk asks the file system about a file before it considers it.
struct FileWalker::Probe {
    struct statx sx {};
    bool regular = false;  // found, and a regular file
    // Not in use by its permissions: a write bit in its mode, and readable and writable by this
    // process; in a reference folder, which is only read, readable.
    bool usable = false;

    Probe(int folder, const std::string& name, bool reference, const OwnerAccess& access) {
        // statx rather than fstatat: it also tells whether the file is a mount root.
        regular = statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW,
                        kFileStatxMask | OwnerAccess::kStatxMask, &sx) == 0 &&
                  S_ISREG(sx.stx_mode);
        // Read-only by its mode counts though root's access test would ignore it; the test
        // also catches read-only mounts.
        if (!regular || (!reference && (sx.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0))
            return;
        const int want = reference ? R_OK : R_OK | W_OK;
        const std::optional<bool> allowed = access.allows(sx, want);
        usable = allowed ? *allowed : faccessat(folder, name.c_str(), want, AT_EACCESS) == 0;
    }
};

struct FileWalker::Frame {
    std::string name;          // relative to the parent frame; the folder as given for the root
    std::size_t dirLength = 0; // length of its folder text (with the trailing "/") in m_dir
    int fd = -1;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool inLayer = false;   // in a layer folder of a mounted overlay
    bool reference = false; // in or below a reference root
    std::vector<std::string> subdirs;
    std::size_t next = 0;
};

FileWalker::FileWalker(SharedState& state, RunControl& control, SearchProgress& progress,
                       DigestCache* cache)
    : m_state(state), m_control(control), m_progress(progress), m_cache(cache),
      m_hashCallback(HashCallBack(progress)) {
}

FileWalker::~FileWalker() = default;

void FileWalker::FindIt(const std::vector<SearchFolder>& roots, const std::string& mask,
                        bool subfolders, const SearchScope& scope) {
    m_stopped = false;
    m_scope = scope;
    m_locks = LockedFiles::snapshot();
    m_overlays = OverlayMounts::current();
    m_rootErrors.clear();
    m_rootsInReference.clear();
    m_unread.clear();
    m_unreadCount = 0;
    m_passedOver = {};
    m_references = ReferenceFolders(roots);
    for (const SearchFolder& root : roots) {
        if (m_stopped)
            break;
        walkRoot(root, mask, subfolders);
    }
}

bool FileWalker::inReference(int fd, std::uint64_t device, std::uint64_t inode) const {
    if (m_references.empty())
        return false;
    if (m_references.withIdentity(device, inode))
        return true;
    // Reached by another way (a link, or a folder given inside a reference folder): its real
    // path tells.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string real(4096, '\0');
    const ssize_t length = readlink(link, real.data(), real.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= real.size())
        return false;
    real.resize(static_cast<std::size_t>(length));
    return m_references.holdingReal(real + (real == "/" ? "" : "/")).has_value();
}

void FileWalker::walkRoot(const SearchFolder& rootFolder, const std::string& mask,
                          bool subfolders) {
    const std::string& folder = rootFolder.path;
    Frame root;
    root.name = folder;
    m_dir = folder;
    if (m_dir.empty() || m_dir.back() != '/')
        m_dir += '/';
    root.dirLength = m_dir.size();
    m_rootLength = root.dirLength;
    root.fd = openLongPath(folder, O_RDONLY | O_DIRECTORY | O_NOCTTY);
    if (root.fd < 0) {
        m_rootErrors.emplace_back(folder, errno);
        return;
    }
    struct stat st {};
    if (fstat(root.fd, &st) != 0) {
        m_rootErrors.emplace_back(folder, errno);
        closeFd(root.fd);
        return;
    }
    // A folder given twice, or inside one searched before, has been read already.
    if (!m_visitedFolders.insert({st.st_dev, st.st_ino}).second) {
        closeFd(root.fd);
        return;
    }
    // Without the kernel's mark of mount roots, a file mounted onto a second path shows only in
    // the mount table; then every file is checked for a second path.
    struct statx rootStatx {};
    m_mountRootsShown = statx(root.fd, "", AT_EMPTY_PATH, STATX_TYPE, &rootStatx) == 0 &&
                        (rootStatx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
    if (!m_mountRootsShown && fileMountsListed())
        checkEveryFileFromNow();
    m_openFolders = 1;
    m_maxOpenFolders = kMaxOpenFolders;
    m_shallowestOpen = 0;
    root.device = st.st_dev;
    root.inode = st.st_ino;
    root.inLayer = m_overlays.overlayHolding(root.fd).has_value();
    root.reference = rootFolder.reference || inReference(root.fd, root.device, root.inode);
    if (root.reference && !rootFolder.reference)
        m_rootsInReference.push_back(folder);

    std::vector<Frame> stack;
    m_stack = &stack;
    readFolder(root, mask, subfolders);
    stack.push_back(std::move(root));

    while (!stack.empty() && !m_stopped) {
        Frame& top = stack.back();
        if (top.next >= top.subdirs.size()) {
            closeFrame(top);
            stack.pop_back();
            continue;
        }
        const std::string name = top.subdirs[top.next++];
        const std::size_t parentLength = top.dirLength;
        const bool parentDone = top.next >= top.subdirs.size();
        int parentFd = frameFd(stack.size() - 1);
        if (parentFd < 0) {
            stack.back().next = stack.back().subdirs.size();
            continue;
        }
        limitOpenFolders();
        // Follows a linked folder; the identity check below keeps loops out.
        const int flags = O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC;
        int fd = openat(parentFd, name.c_str(), flags);
        int openError = fd < 0 ? errno : 0;
        while (fd < 0 && makeRoom(openError, stack.size() - 1)) {
            fd = openat(parentFd, name.c_str(), flags);
            openError = fd < 0 ? errno : 0;
        }
        if (parentDone)
            closeFrame(stack.back()); // no further subfolder of it will be opened
        if (fd < 0) {
            // A folder gone meanwhile held nothing to miss; any other is named to the user.
            if (openError != ENOENT && openError != ENOTDIR) {
                if (m_unread.size() < kUnreadNamed)
                    m_unread.emplace_back(m_dir.substr(0, parentLength) + name + "/", openError);
                ++m_unreadCount;
                ++m_passedOver.unreadableFolders;
            }
            continue;
        }
        if (fstat(fd, &st) != 0 || !m_visitedFolders.insert({st.st_dev, st.st_ino}).second) {
            close(fd);
            continue;
        }
        ++m_openFolders;
        m_dir.resize(parentLength);
        m_dir += name;
        m_dir += '/';
        Frame child;
        child.name = name;
        child.dirLength = m_dir.size();
        child.fd = fd;
        child.device = st.st_dev;
        child.inode = st.st_ino;
        child.reference = stack.back().reference || inReference(fd, child.device, child.inode);
        child.inLayer =
            stack.back().inLayer ||
            (!m_overlays.empty() && m_overlays.overlayUsing({child.device, child.inode}));
        readFolder(child, mask, true);
        stack.push_back(std::move(child));
        m_shallowestOpen = std::min(m_shallowestOpen, stack.size() - 1);
    }
    for (Frame& frame : stack)
        closeFrame(frame);
    m_stack = nullptr;
}

void FileWalker::readFolder(Frame& frame, const std::string& mask, bool subfolders) {
    std::vector<Entry> entries;
    alignas(8) char buffer[32768];
    for (;;) {
        ssize_t n = getdents64(frame.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t offset = 0; offset < n;) {
            auto* entry = reinterpret_cast<struct dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            std::string name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            entries.push_back({std::move(name), entry->d_type});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return nameLess(a.name, b.name); });

    std::vector<const std::string*> files;
    for (const Entry& entry : entries) {
        if (m_stopped)
            return;
        unsigned char type = entry.type;
        if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat st {};
            if (fstatat(frame.fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISLNK(st.st_mode)) {
                // A link to a file is not a copy of it; a link to a folder is entered.
                if (fstatat(frame.fd, entry.name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode))
                    continue;
                type = DT_DIR;
            } else {
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
        }
        if ((type == DT_REG || (type == DT_DIR && subfolders)) && !m_scope.excludes.empty() &&
            m_scope.leavesOut(entry.name, m_dir.substr(m_rootLength) + entry.name,
                              type == DT_DIR)) {
            ++m_passedOver.excluded;
            continue;
        }
        if (type == DT_REG) {
            if (matchesMask(mask, entry.name))
                files.push_back(&entry.name);
        } else if (type == DT_DIR && subfolders) {
            if (isHidden(entry.name))
                ++m_passedOver.hiddenFolders;
            else
                frame.subdirs.push_back(entry.name);
        }
        // FIFOs, sockets and devices are never recorded and never opened.
    }
    considerFiles(frame, files);
}

void FileWalker::considerFiles(Frame& frame, const std::vector<const std::string*>& names) {
    // A folder seen through an overlay: its files are those of its layer folders.
    OverlayMounts::Layers layers;
    if (!m_overlays.empty() && !names.empty())
        layers = m_overlays.layersOf(frame.fd, frame.device);
    if (names.empty())
        return;
    const OwnerAccess access(frame.fd);
    if (names.size() < kProbeTogether || std::thread::hardware_concurrency() < 2) {
        for (const std::string* name : names) {
            if (m_stopped)
                return;
            considerFile(frame, *name, Probe(frame.fd, *name, frame.reference, access), layers);
        }
        return;
    }
    if (!m_crew)
        m_crew = std::make_unique<OrderedCrew>(OrderedCrew::defaultHelpers(), m_control);
    // The files are still considered one by one, in order.
    std::vector<std::optional<Probe>> probes;
    for (std::size_t start = 0; start < names.size() && !m_stopped; start += kProbeWindow) {
        const std::size_t count = std::min(kProbeWindow, names.size() - start);
        probes.assign(count, std::nullopt);
        const bool ran = m_crew->run(
            count,
            [&](std::size_t k) {
                probes[k].emplace(frame.fd, *names[start + k], frame.reference, access);
            },
            [&](std::size_t k) {
                considerFile(frame, *names[start + k], *probes[k], layers);
                return !m_stopped;
            });
        if (!ran)
            m_stopped = true;
    }
}

void FileWalker::considerFile(Frame& frame, const std::string& name, const Probe& probe,
                              const OverlayMounts::Layers& layers) {
    if (!probe.regular)
        return;
    const struct statx& sx = probe.sx;
    const dev_t device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    const ino_t inode = sx.stx_ino;
    // In use: not writable (by its mode or for this process), or locked by another. A reference
    // file is only read; a lock still keeps it out.
    if (!probe.usable || m_locks.contains(device, inode) ||
        (!m_locks.available() && !frame.reference && IsFileInUse(m_dir + name))) {
        ++m_passedOver.inUse;
        return;
    }
    if (m_control.checkpoint()) {
        m_stopped = true;
        return;
    }
    const bool mountRoot = m_mountRootsShown && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    if (m_state.sTIgnoreEmptyFiles && sx.stx_size == 0)
        return;
    if (!m_scope.sizeFits(static_cast<std::int64_t>(sx.stx_size))) {
        ++m_passedOver.outsideSizes;
        return;
    }
    // Two paths to one file are one file, however a stacking file system shows them.
    FileIdentity real{device, inode};
    bool secondPath = sx.stx_nlink > 1 || frame.inLayer;
    if (!layers.empty()) {
        real = m_overlays.layerFile(layers, name).value_or(real);
        secondPath = true;
    }
    if (recordedBefore(real.device, real.inode, secondPath, mountRoot, frame.reference))
        return;

    // Normal speed reads the file now; it must still be the file that was looked at, and the
    // lock list read when the walk began may be out of date, so the file itself is asked.
    int fd = -1;
    if (m_state.sTSearch != SearchSpeed::Fast) {
        struct stat opened {};
        fd = openRegularFileAt(frame.fd, name.c_str(), opened);
        // The folder being read is not on the stack yet, so all of the stack may be closed.
        while (fd < 0 && makeRoom(errno, m_stack->size()))
            fd = openRegularFileAt(frame.fd, name.c_str(), opened);
        if (fd < 0) {
            ++m_passedOver.inUse; // cannot be opened for reading
            return;
        }
        if (opened.st_dev != device || opened.st_ino != inode) {
            close(fd);
            fd = -1;
        } else if (lockedByAnother(fd)) {
            close(fd);
            ++m_passedOver.inUse;
            return;
        }
    }

    m_progress.setFileAndDirectory(name, m_dir);
    TFiles record;
    record.fName = name;
    record.fSize = static_cast<std::int64_t>(sx.stx_size);
    // Files of one date share its text, which is looked up only when the date changes.
    if (const std::string& date = m_dates.dateFor(sx.stx_mtime.tv_sec); m_dateText != date)
        m_dateText = DateText(date);
    record.fModified = m_dateText;
    if (m_folderText.str() != m_dir)
        m_folderText = FolderText(m_dir, frame.device, frame.inode);
    record.fPath = m_folderText;
    record.fStatus = fsFound;
    record.fReference = frame.reference;
    record.fDevice = device;
    record.fInode = inode;
    record.fModifiedNs = nanoseconds(sx.stx_mtime);
    record.fChangedNs = nanoseconds(sx.stx_ctime);
    TFiles& stored = m_state.appendFound(std::move(record));
    const std::size_t index = m_state.aFilesFounded.size() - 1;
    if (m_newLinked != nullptr)
        *m_newLinked = index;
    if (fd >= 0) {
        // The file is opened even when its digest is remembered: that is its in-use test.
        if (m_cache == nullptr || !m_cache->recall(m_state.aFilesFounded, index)) {
            HashResult hash = hashOpenFile(m_state.sTHash, fd, m_hashCallback, &m_control);
            stored.fHash = std::move(hash.text);
            stored.fFingerprint = hash.fingerprint;
            if (m_cache != nullptr && !stored.fHash.empty())
                m_cache->remember(m_state.aFilesFounded, index);
        }
        close(fd);
    }
}

bool FileWalker::recordedBefore(std::uint64_t device, std::uint64_t inode, bool linked,
                                bool mountRoot, bool reference) {
    m_newLinked = nullptr;
    // The file's other path may have been recorded already, or may come later.
    if (mountRoot)
        checkEveryFileFromNow();
    if (!linked && !m_checkEveryFile)
        return false;
    const auto [entry, added] = m_linkedFiles.try_emplace({device, inode}, kUnrecorded);
    if (added) {
        m_newLinked = &entry->second;
        return false;
    }
    // A file with a path in a reference folder is a reference file, whichever path is listed.
    if (reference && entry->second != kUnrecorded)
        m_state.aFilesFounded[entry->second].fReference = true;
    return true;
}

void FileWalker::checkEveryFileFromNow() {
    if (m_checkEveryFile)
        return;
    m_checkEveryFile = true;
    for (std::size_t i = 0; i < m_state.aFilesFounded.size(); ++i) {
        const TFiles& file = m_state.aFilesFounded[i];
        m_linkedFiles.try_emplace({file.fDevice, file.fInode}, i);
    }
}

int FileWalker::frameFd(std::size_t index) {
    std::vector<Frame>& stack = *m_stack;
    if (stack[index].fd >= 0)
        return stack[index].fd;
    int current = reopenFolder(index);
    while (current < 0 && makeRoom(errno, index))
        current = reopenFolder(index);
    struct stat st {};
    if (current >= 0 && (fstat(current, &st) != 0 || st.st_dev != stack[index].device ||
                         st.st_ino != stack[index].inode)) {
        close(current); // the tree changed under us
        current = -1;
    }
    stack[index].fd = current;
    if (current >= 0) {
        ++m_openFolders;
        m_shallowestOpen = std::min(m_shallowestOpen, index);
    }
    return current;
}

int FileWalker::reopenFolder(std::size_t index) {
    std::vector<Frame>& stack = *m_stack;
    // Reopen from the nearest ancestor that is still open, one component at a time.
    std::size_t start = index;
    while (start > 0 && stack[start - 1].fd < 0)
        --start;
    int current = start == 0 ? openLongPath(stack[0].name, O_PATH | O_DIRECTORY)
                             : openat(stack[start - 1].fd, stack[start].name.c_str(),
                                      O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t k = start + 1; k <= index && current >= 0; ++k) {
        int next = openat(current, stack[k].name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int error = errno;
        close(current);
        errno = error;
        current = next;
    }
    return current;
}

void FileWalker::closeFrame(Frame& frame) {
    if (frame.fd >= 0) {
        close(frame.fd);
        frame.fd = -1;
        --m_openFolders;
    }
}

void FileWalker::limitOpenFolders() {
    // Close the shallowest open folder but the top: it is the one needed again last.
    if (m_openFolders >= m_maxOpenFolders)
        closeShallowestOpen(m_stack->size() - 1);
}

bool FileWalker::makeRoom(int error, std::size_t end) {
    // Out of descriptors, a folder is given back (to be reopened by its path when needed)
    // rather than a whole subtree passed over; other failures are the folder's or file's own.
    if ((error != EMFILE && error != ENFILE) || !closeShallowestOpen(end))
        return false;
    m_maxOpenFolders = std::max<std::size_t>(1, m_openFolders);
    return true;
}

bool FileWalker::closeShallowestOpen(std::size_t end) {
    std::vector<Frame>& stack = *m_stack;
    // Frames below the hint are all closed, so the scan does not start over at the root.
    for (std::size_t& i = m_shallowestOpen; i < end && i < stack.size(); ++i) {
        if (stack[i].fd >= 0) {
            closeFrame(stack[i]);
            return true;
        }
    }
    return false;
}
