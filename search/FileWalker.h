#pragma once

#include "platform/FileLocks.h"
#include "platform/FileTime.h"
#include "platform/OverlayMounts.h"
#include "search/ReferenceFolders.h"
#include "search/SrcHash.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class DigestCache;
class OrderedCrew;
struct SharedState;
class RunControl;
class SearchProgress;

// Walks a folder depth-first into aFilesFounded: a folder's own files in name order, then each
// subfolder's whole subtree. Hidden folders are not entered, only regular files are recorded,
// linked folders are followed but no folder is entered twice and no file recorded twice. The
// walk keeps its own stack, so tree depth is bounded only by memory.
class FileWalker {
public:
    // With `cache`, normal speed takes the digest of a file unchanged since an earlier search
    // from it instead of reading the file, and keeps the digests it reads there.
    FileWalker(SharedState& state, RunControl& control, SearchProgress& progress,
               DigestCache* cache = nullptr);
    ~FileWalker();

    // Records the files of each folder of `roots` in turn (and of their subfolders when
    // `subfolders` is set) that match `mask` ("*.*" matches every name). A folder reached
    // twice, from two roots or through a link, is read once. Files in or below a reference root,
    // however reached, are marked as such. Subfolders that cannot be opened are passed over and
    // listed in unreadFolders().
    void FindIt(const std::vector<SearchFolder>& roots, const std::string& mask, bool subfolders,
                const SearchScope& scope = {});
    void FindIt(const std::string& folder, const std::string& mask, bool subfolders,
                const SearchScope& scope = {}) {
        FindIt({SearchFolder{folder, false}}, mask, subfolders, scope);
    }

    // The roots of the last FindIt that could not be opened for reading, with their errno.
    const std::vector<std::pair<std::string, int>>& folderErrors() const { return m_rootErrors; }
    // The roots given as normal that lie in a reference root, so that their files are
    // reference files too.
    const std::vector<std::string>& rootsInReference() const { return m_rootsInReference; }

    // Subfolders the last FindIt could not open (path with its "/", errno): the first
    // kUnreadNamed of them, and how many there were in all.
    static constexpr std::size_t kUnreadNamed = 20;
    const std::vector<std::pair<std::string, int>>& unreadFolders() const { return m_unread; }
    std::size_t unreadFolderCount() const { return m_unreadCount; }
    // What the last FindIt left out, by reason.
    const PassedOver& passedOver() const { return m_passedOver; }

private:
    struct Frame;
    struct Entry;
    struct Probe;

    void walkRoot(const SearchFolder& root, const std::string& mask, bool subfolders);
    bool inReference(int fd, std::uint64_t device, std::uint64_t inode) const;
    void readFolder(Frame& frame, const std::string& mask, bool subfolders);
    void considerFiles(Frame& frame, const std::vector<const std::string*>& names);
    void considerFile(Frame& frame, const std::string& name, const Probe& probe,
                      const OverlayMounts::Layers& layers);
    // From now on every file is checked for a second path, also against those recorded so far.
    void checkEveryFileFromNow();
    bool recordedBefore(std::uint64_t device, std::uint64_t inode, bool linked, bool mountRoot,
                        bool reference);
    int frameFd(std::size_t index);
    int reopenFolder(std::size_t index);
    void limitOpenFolders();
    bool makeRoom(int error, std::size_t end);
    bool closeShallowestOpen(std::size_t end);
    void closeFrame(Frame& frame);

    SharedState& m_state;
    RunControl& m_control;
    SearchProgress& m_progress;
    DigestCache* m_cache;
    HashProgressCallback m_hashCallback;
    bool m_stopped = false;
    std::vector<std::pair<std::string, int>> m_rootErrors;
    std::vector<std::string> m_rootsInReference;
    ReferenceFolders m_references; // the reference roots
    SearchScope m_scope;
    PassedOver m_passedOver;
    std::size_t m_rootLength = 0; // of the searched folder's text in m_dir
    std::vector<std::pair<std::string, int>> m_unread;
    std::size_t m_unreadCount = 0;
    DateTextCache m_dates;
    LockedFiles m_locks;
    OverlayMounts m_overlays;

    std::set<std::pair<std::uint64_t, std::uint64_t>> m_visitedFolders;
    // Files that another path may reach too: hard links, files seen through an overlay (by the
    // identity of their layer file) and files in its layer folders, and every file once a file
    // mounted onto a second path has been seen (its two paths share a link count of 1).
    // By identity, the index of the file's record (kUnrecorded until it is made).
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> m_linkedFiles;
    static constexpr std::size_t kUnrecorded = static_cast<std::size_t>(-1);
    std::size_t* m_newLinked = nullptr; // the entry of the file being considered, when added
    bool m_checkEveryFile = false;
    bool m_mountRootsShown = false; // the kernel marks mount roots (Linux 5.8 and later)
    std::vector<Frame>* m_stack = nullptr;
    std::size_t m_openFolders = 0;
    std::size_t m_maxOpenFolders = 0; // lowered when this process runs out of descriptors
    std::size_t m_shallowestOpen = 0;
    std::string m_dir;       // folder text of the folder being read, with its trailing "/"
    FolderText m_folderText; // the same, shared by the records of that folder
    DateText m_dateText;     // the date text of the last file, shared by the files of its date
    std::unique_ptr<OrderedCrew> m_crew; // looks at the files of large folders
};
