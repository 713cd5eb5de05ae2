#pragma once

#include "search/TFiles.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

// A temporary folder tree for one test, removed (permissions restored) when it goes away.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The root folder, without a trailing "/".
    const std::string& root() const { return m_root; }
    std::string path(const std::string& relative) const { return m_root + "/" + relative; }

    // Creates the file (and its folders) with the given content.
    void file(const std::string& relative, const std::string& content) const;
    void folder(const std::string& relative) const;
    void symlink(const std::string& target, const std::string& relative) const;
    void hardlink(const std::string& existing, const std::string& relative) const;
    void fifo(const std::string& relative) const;
    void socket(const std::string& relative) const;
    void chmod(const std::string& relative, unsigned mode) const;

private:
    std::string m_root;
};

// A tmpfs of 64 KiB mounted on a new folder for one test and unmounted when it goes away.
// Mounting needs root: where it is not permitted, mounted() is false and error() says why.
class SmallDisk {
public:
    SmallDisk();
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }
    std::string path(const std::string& relative) const { return m_folder.path(relative); }

    // Takes all the space left but `leave` bytes with a file named "filler", so that the next
    // write larger than that fails.
    void fill(std::size_t leave = 0) const;
    // The names in its root folder, hidden ones too, in byte order.
    std::vector<std::string> names() const;

private:
    TempTree m_folder;
    bool m_mounted = false;
    std::string m_error;
};

// An overlay mounted at merged/ of a new tree, stacking upper/ on lower/ (work/ is its work
// folder), whose files `layers` makes before the mount; unmounted when it goes away. The kernel's
// overlay (with metadata-only copies up, or without) needs root; fuse-overlayfs needs the program.
// Where it cannot be mounted, mounted() is false and error() says why.
class OverlayMount {
public:
    // KernelRelative: metadata-only copies, and layers named relative to the tree, so that the
    // mount table's layer paths lead nowhere.
    enum class Kind { Kernel, KernelMetacopy, KernelRelative, Fuse };
    OverlayMount(Kind kind, const std::function<void(const TempTree&)>& layers);
    ~OverlayMount();
    OverlayMount(const OverlayMount&) = delete;
    OverlayMount& operator=(const OverlayMount&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }
    const TempTree& tree() const { return m_tree; }

private:
    TempTree m_tree;
    Kind m_kind;
    bool m_mounted = false;
    std::string m_error;
};

// A disk image of a file system mounted on a loop device for one test (needs root and the file
// system's tools): exFAT through FUSE, as USB sticks and camera cards are used (exfatprogs and
// exfat-fuse); btrfs and XFS, which share blocks between files (btrfs-progs, xfsprogs). Where it
// cannot be mounted, mounted() is false and error() says why.
class LoopDisk {
public:
    enum class Kind { ExFat, Btrfs, Xfs };
    explicit LoopDisk(Kind kind);
    ~LoopDisk();
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }
    std::string path(const std::string& relative) const {
        return m_scratch.path("mount") + "/" + relative;
    }

private:
    TempTree m_scratch;
    std::string m_loop;
    bool m_fuse = false;
    bool m_mounted = false;
    std::string m_error;
};

// Sets the umask for one test and restores the runner's.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : m_saved(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_saved); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t m_saved;
};

// Sets an environment variable for one test and puts its previous value back afterwards.
class EnvScope {
public:
    EnvScope(const char* name, const std::string& value);
    ~EnvScope();
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// Sets TZ for one test and puts the previous zone back afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone);
    ~ZoneScope();
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    std::optional<EnvScope> m_zone;
};

std::string readWholeFile(const std::string& path);

// Runs `body` in a child process as an unprivileged user when the tests run as root (so that
// permission checks apply), or directly otherwise. Returns the child's exit status (0 = pass).
int runUnprivileged(const std::function<int()>& body);

// Hex SHA-1 / MD5 of a text, for expected values.
std::string sha1Hex(const std::string& data);
std::string md5Hex(const std::string& data);

// The record the search would have made of the file at `path`, with a digest every such record
// shares.
TFiles recordOf(const std::string& path);
