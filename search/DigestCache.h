#pragma once

#include "search/DigestPolicy.h"
#include "search/DigestPruning.h"
#include "search/DigestStore.h"
#include "search/SearchOptions.h"
#include "search/TFiles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Digests and keys of files kept between searches in an SQLite file, so that a file unchanged
// since an earlier search is not read again. A record serves only while the file's path, size,
// inode, modification time and change time all match it. The cache never breaks a search: one
// that cannot be opened, read or written is done without (problem() says why), and a file that
// is not a cache is replaced. What is known of one file gathers in its record while it stays the
// same file. The file is a DigestStore; DigestPolicy judges records, DigestPruning drops them.
// A searched folder as the search writes it, and its real path.
struct FolderSpelling {
    std::string text;
    std::string real;
};

class DigestCache {
public:
    // Opens (or creates) `file` for digests of kind `kind` of the files found under the
    // searched folders, each given as the search writes it and by its real path (both with
    // their trailing "/"). Paths are kept under the real path, so that every spelling of a
    // folder finds its records.
    // A file that is not a cache, or a damaged one, is replaced only with `mayReplace` (the
    // user's own cache file); any other file is left as it is and the search goes without.
    DigestCache(const std::string& file, HashKind kind, std::vector<FolderSpelling> folders,
                DigestCacheLimits limits = {}, bool mayReplace = true);
    ~DigestCache();
    DigestCache(const DigestCache&) = delete;
    DigestCache& operator=(const DigestCache&) = delete;

    // Whether the cache held a record of some folder searched when it was opened: if not, a
    // search need not ask it for any file.
    bool knowsSearchedFolders() const;

    // Sets fHash and fFingerprint of files[index] when its record still matches it and holds its
    // digest; returns whether it did. With `keys`, also gives the keys the record holds.
    bool recall(FileTable& files, std::size_t index, RememberedKeys* keys = nullptr);
    // The same for the entries `indices` of `files`, in one read of the cache; with `keys`, the
    // entries of which the cache holds a key the digest does not give are added to it with their
    // keys, in the order of their indices.
    void recall(FileTable& files, const std::vector<std::size_t>& indices,
                std::vector<std::pair<std::size_t, RememberedKeys>>* keys = nullptr);

    // Keep what this search has read of files[index] for save(): its digest (fHash and
    // fFingerprint set), or one of its keys. Only the index is kept; save() is given the table
    // again. Safe to call from several threads.
    void remember(const FileTable& files, std::size_t index);
    void rememberPrefix(const FileTable& files, std::size_t index, const Fingerprint& prefix);
    void rememberContent(const FileTable& files, std::size_t index, const Fingerprint& content);

    // Writes what was kept of `files` (the table the indices were given for) and the day of the
    // records used, and drops old records. Called when the search has ended.
    void save(const FileTable& files);

    // What went wrong, as one line for the user; empty when the cache served as it should.
    std::string problem() const;

private:
    // A key read of one file, kept small. A digest and its content key are not copied: the
    // file keeps them in the table, so a million digests keep 4 MB (their indices).
    enum class KeptKind : std::uint8_t { Prefix, Content, Digest };
    struct Kept {
        std::uint32_t key; // the file's index, then its kind in the two low bits
        Fingerprint bytes;

        std::size_t index() const { return key >> 2; }
        KeptKind kind() const { return static_cast<KeptKind>(key & 3); }
    };
    struct Used {
        std::int64_t folder;
        std::size_t index;
    };
    enum class Access { None, Read, ReadWrite };
    // What the cache was doing when the store failed.
    enum class Step { Open, Read, Write };

    bool open();
    void opened();
    bool replaceFile();
    bool leaveDamaged();
    void close();
    std::int64_t folderId(const TFiles& file);
    bool take(const StoredRecord& record, std::int64_t folder, FileTable& files, std::size_t index,
              RememberedKeys* keys);
    bool recallFolder(FileTable& files, std::vector<std::size_t>& run,
                      std::vector<std::pair<std::size_t, RememberedKeys>>* keys);
    void keep(const FileTable& files, std::size_t index, KeptKind kind, const Fingerprint& key);
    void forgetKept();
    void failed(const StoreStatus& status, Step step);
    bool check(const StoreStatus& status, Step step);
    bool writeBatch(const FileTable& files);
    std::string folderKey(const TFiles& file) const;

    const std::vector<FolderSpelling> m_folders;
    const DigestPruning m_pruning;
    const bool m_mayReplace;
    const std::int64_t m_today;

    mutable std::mutex m_mutex;
    DigestStore m_store;
    DigestPolicy m_policy;
    std::string m_lastFolder; // the folder text of the last folder looked up, and its id
    std::int64_t m_lastFolderId = -1;
    Access m_access = Access::None;
    bool m_readable = false;
    bool m_knowsFolders = false;
    std::deque<Kept> m_kept;                 // grows without a copy of what it holds
    std::deque<std::uint32_t> m_keptDigests; // indices of files digested
    std::vector<Used> m_used; // records used today for the first time
    std::string m_problem;
};
