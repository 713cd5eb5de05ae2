#pragma once

#include "search/SearchOptions.h"
#include "search/TFiles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// How long records live: those neither written nor used for maxAgeDays are dropped, and beyond
// maxRecords those used longest ago. The clean-up runs once a day, and after a search that wrote
// many records.
struct DigestCacheLimits {
    std::int64_t maxAgeDays = 90;
    std::int64_t maxRecords = 4000000; // about 100 bytes each on disk
};

// Keys of a file's bytes that the fast matcher compares before any digest, as kept by the cache.
struct RememberedKeys {
    std::optional<Fingerprint> prefix;  // of the first bytes (SearchEngine::prefixKey)
    std::optional<Fingerprint> content; // of the whole content (SearchEngine::contentKey)
};

// Digests and keys of files kept between searches in an SQLite file, so that a file unchanged
// since an earlier search is not read again. A record serves only while the file's path, size,
// inode, modification time and change time all match it. The cache never breaks a search: one
// that cannot be opened, read or written is done without (problem() says why), and a file that
// is not a cache is replaced.
//
// Two tables: folders (id, path: the folder's real path with its trailing "/", unique) and files
// (folder, name: the primary key; size, inode, mtime and ctime in nanoseconds; prefix and xxh3:
// the XXH3-128 of the first 4 KiB and of the whole content, 16 bytes or NULL; md5 and sha1, 16
// and 20 bytes or NULL; seen: the day, counted from 1970-01-01 UTC, the record was last written
// or used). What is known of one file gathers in its record while it stays the same file. A
// third table, meta, holds the day of the last clean-up.
class DigestCache {
public:
    // Opens (or creates) `file` for digests of kind `kind` of the files found
    // under `folderText` (the folder as the search writes it, with its trailing "/"). Paths are
    // kept under `realFolder` (the folder's real path, with its "/"), so that every spelling of
    // a folder finds its records.
    // A file that is not a cache, or a damaged one, is replaced only with `mayReplace` (the
    // user's own cache file); any other file is left as it is and the search goes without.
    DigestCache(const std::string& file, HashKind kind, std::string folderText,
                std::string realFolder, DigestCacheLimits limits = {}, bool mayReplace = true);
    ~DigestCache();
    DigestCache(const DigestCache&) = delete;
    DigestCache& operator=(const DigestCache&) = delete;

    // Sets fHash and fFingerprint of a file whose record still matches it and holds its digest;
    // returns whether it did. With `keys`, also gives the keys the record holds.
    bool recall(TFiles& file, RememberedKeys* keys = nullptr);
    // The same for the entries `indices` of `files`, in one read of the cache; with `keys`, the
    // entries of which the cache holds a key the digest does not give are added to it with their
    // keys, in the order of their indices.
    void recall(FileTable& files, const std::vector<std::size_t>& indices,
                std::vector<std::pair<std::size_t, RememberedKeys>>* keys = nullptr);

    // Keep what this search has read of a file for save(): its digest (fHash and fFingerprint
    // set), or one of its keys. `file` must stay where it is until then. Safe to call from
    // several threads.
    void remember(const TFiles& file);
    void rememberPrefix(const TFiles& file, const Fingerprint& prefix);
    void rememberContent(const TFiles& file, const Fingerprint& content);

    // Writes what was kept and the day of the records used, and drops old records. Called when
    // the search has ended.
    void save();

    // What went wrong, as one line for the user; empty when the cache served as it should.
    std::string problem() const;

private:
    enum Known : std::uint8_t { kPrefix = 1, kContent = 2, kDigest = 4 };
    struct Kept {
        const TFiles* file;
        std::uint8_t known;
        Fingerprint prefix;
        Fingerprint content;
        std::array<std::uint8_t, 20> digest;
    };
    struct Used {
        std::int64_t folder;
        const TFiles* file;
    };
    enum class Access { None, Read, ReadWrite };

    bool open();
    int openDatabase();
    int prepareSchema();
    bool replaceFile();
    bool leaveDamaged();
    void close();
    std::int64_t folderId(const TFiles& file);
    bool take(sqlite3_stmt* row, int column, std::int64_t folder, TFiles& file,
              RememberedKeys* keys);
    bool recallFolder(FileTable& files, std::vector<std::size_t>& run,
                      std::vector<std::pair<std::size_t, RememberedKeys>>* keys);
    void keep(const Kept& kept);
    void failed(int code, const char* doing);
    bool execute(const char* sql, const char* doing);
    bool writeBatch();
    std::string folderKey(const TFiles& file) const;
    bool stableDevice(const TFiles& file);

    const std::string m_file;
    std::string m_column; // "md5" or "sha1"
    std::size_t m_length = 0;
    const std::string m_folderText;
    const std::string m_realFolder;
    const DigestCacheLimits m_limits;
    const bool m_mayReplace;
    const std::int64_t m_today;
    std::int64_t m_startNs = 0;

    mutable std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_findFolder = nullptr;
    sqlite3_stmt* m_lookUp = nullptr;
    sqlite3_stmt* m_scan = nullptr;
    std::string m_lastFolder; // the folder text of the last folder looked up, and its id
    std::int64_t m_lastFolderId = -1;
    Access m_access = Access::None;
    bool m_readable = false;
    std::int64_t m_lastCleanUp = -1;
    std::vector<Kept> m_kept;
    std::vector<Used> m_used; // records used today for the first time
    // Per device: whether its file system keeps inode numbers and change times a record can
    // rest on (not FAT, exFAT, FUSE).
    std::unordered_map<std::uint64_t, bool> m_stableDevices;
    std::string m_problem;
};
