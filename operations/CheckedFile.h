#pragma once

#include "platform/OverlayMounts.h"
#include "platform/UniqueFd.h"
#include "search/TFiles.h"

#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>

// Why a file found other than the search recorded it stays.
inline constexpr const char* kFileChanged = "The file has changed since the search.";

// A file opened by its path and held, so that whatever is done next is done to this very file:
// its folder is held open too, checks and comparisons go through the descriptors, and the file
// is renamed only inside that folder and confirmed to be the file opened. Paths longer than
// PATH_MAX work as in the walk.
class CheckedFile {
public:
    // With `folder`, the folder that holds the file must be that one (not another put at its
    // path, nor one a link there leads to now).
    explicit CheckedFile(const std::string& path, FileIdentity folder = {});
    // The file of a record of the search, in the folder the search found it in.
    explicit CheckedFile(const TFiles& record);
    // A file still set aside is put back.
    ~CheckedFile();
    CheckedFile(const CheckedFile&) = delete;
    CheckedFile& operator=(const CheckedFile&) = delete;

    bool isOpen() const { return m_file.get() >= 0; }
    // errno of a failed opening: ENOENT or ENOTDIR when nothing is there any more.
    int error() const { return m_error; }
    bool gone() const;
    // Why it could not be opened, for the user.
    std::string openFailure() const;

    int fd() const { return m_file.get(); }
    int folder() const { return m_folder.get(); }
    const std::string& path() const { return m_path; }
    const std::string& name() const { return m_name; }
    // The folder part of the path, with its trailing "/".
    std::string folderText() const;
    // As it was when opened.
    const struct stat& status() const { return m_status; }
    FileIdentity identity() const { return {m_status.st_dev, m_status.st_ino}; }

    // Whether it is the file the search recorded: same device, inode, size and modification time.
    bool matches(const TFiles& record) const;
    // Whether it is in use: not writable by this process or by its mode, locked by another (a
    // record lock, or a flock(2) lock), or open for writing by a process.
    bool inUse() const;
    // Whether a process has it open for writing (as far as this user can tell).
    bool openForWriting() const;
    // Whether another process holds a lock on it (a record lock, or a flock(2) lock).
    bool locked() const;
    // Whether its path still leads to it, unchanged since it was opened (size, times, links).
    bool stillInPlace() const;

    // Renames the file to a private name in its folder (never replacing anything) and confirms
    // that the entry renamed is the file opened; at any doubt the entry goes back and the reason
    // is returned.
    std::optional<std::string> setAside();
    bool isAside() const { return !m_asideName.empty(); }
    // The private name while set aside.
    const std::string& asideName() const { return m_asideName; }
    // Back under its own name; the reason when it cannot be (it then keeps the private name).
    std::optional<std::string> putBack();
    // The file set aside has left its folder (removed or moved on): nothing to put back.
    void leftFolder() { m_asideName.clear(); }

private:
    std::string m_path;
    std::string m_name;
    UniqueFd m_folder;
    UniqueFd m_file;
    int m_error = 0;
    struct stat m_status {};
    std::string m_asideName;
};

// The steps of a removal after which a test may change the files, to prove that a change
// between checking and acting is noticed: after the checks and the comparison, after the file is
// set aside (`file` then has its private name), after the link that is to replace it is made,
// and once the two are swapped.
enum class RemovalStep { Checked, SetAside, Linked, Swapped };
using RemovalSeam = std::function<void(RemovalStep step, const CheckedFile& file)>;

// A read lease on an open file, held while it lives. The kernel refuses one while any process
// has the file open for writing, and a process that opens the file for writing meanwhile waits
// until the lease is let go (or the kernel's lease-break time has passed), which shows here as
// broken: so a file can be kept from being written, or its writer found, until what is done to it
// is done. Only the file's owner, or root, may take one.
class ReadLease {
public:
    explicit ReadLease(int fd);
    ~ReadLease();
    ReadLease(const ReadLease&) = delete;
    ReadLease& operator=(const ReadLease&) = delete;

    // 0 when held, else why not: EAGAIN (open for writing), EACCES (another user's file), or
    // the file system's refusal.
    int error() const { return m_error; }
    // Whether it is no longer held whole: never taken, or a process has opened or asked to open
    // the file for writing since.
    bool broken() const;

private:
    int m_fd;
    int m_error = 0;
};

// Whether two open files are one file: the same inode, or the same file of a layer behind an
// overlay.
bool sameFile(const CheckedFile& a, const CheckedFile& b, const OverlayMounts& overlays);

// Whether two open files hold the same bytes, read through their descriptors; fills `why`.
bool sameBytes(int a, int b, std::string& why);

// A hidden name in the folder of `name` that still shows which file it is, should the program end
// before it is put back or removed. Random: it never names an entry there is reason to keep.
std::string privateNameFor(const std::string& name);

// The checks before a file gives way to the file its group keeps: it is the one the search
// recorded (`target`, when given) and lies in no layer of a mounted overlay; with a `keeper`,
// that is opened into `kept`, is not this file by another path and, with `compareBytes`, holds
// the same bytes. Returns why the file must stay.
std::optional<std::string> checkAgainstKeeper(const CheckedFile& file, const TFiles* target,
                                              const TFiles* keeper, const OverlayMounts& overlays,
                                              std::optional<CheckedFile>& kept,
                                              bool compareBytes = true);

// Takes a checked file out of its place once it is set aside: the last step of a removal or a
// move. Returns why it failed; the file must then still have its private name.
using FinalStep = std::function<std::optional<std::string>(CheckedFile& file)>;

// Takes `file` out of its place by `finalStep` (a removal, or a move) as that must be done: the
// file is the one the search recorded (`target`, when given) and, with a `keeper` (the file its
// group keeps), holds the keeper's bytes and is not the keeper by another path; then it is set
// aside, the keeper must still be in its place and unchanged, and only then does the final step
// run. At any doubt the file stays, under its own name, and the reason is returned.
std::optional<std::string> removeChecked(CheckedFile& file, const TFiles* target,
                                         const TFiles* keeper, const OverlayMounts& overlays,
                                         const FinalStep& finalStep,
                                         const RemovalSeam& seam = nullptr);
