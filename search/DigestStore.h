#pragma once

#include "search/SearchOptions.h"
#include "search/TFiles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// How a step of the digest store went, as a value: the caller decides what it means for the
// search.
struct StoreStatus {
    enum class Fault {
        None,
        NotAFile,    // something other than a regular file is at the path
        Damaged,     // a damaged file, or one that is no digest cache
        Busy,        // another connection holds the lock
        Moved,       // the file was deleted or moved while it was open
        ReadOnly,    // a write was refused
        Unremovable, // a damaged file could not be removed to make a new one
        Other,
    };

    Fault fault = Fault::None;
    int code = 0;        // SQLite's extended result code, or errno for Unremovable
    std::string message; // SQLite's or the system's words for the code

    bool ok() const { return fault == Fault::None; }
};

// One file's record as the store holds it.
struct StoredRecord {
    std::int64_t size = 0;
    std::int64_t inode = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    std::optional<Fingerprint> prefix;  // XXH3-128 of the first 4 KiB
    std::optional<Fingerprint> content; // XXH3-128 of the whole content
    // The digest of the store's kind, in its first digestLength() bytes.
    std::optional<std::array<std::uint8_t, 20>> digest;
    std::int64_t seen = 0; // the day the record was last written or used
};

// The SQLite file behind the digest cache: its schema, statements and records. Not safe to use
// from several threads; the cache serialises its calls.
//
// Two tables: folders (id, path: the folder's real path with its trailing "/", unique) and files
// (folder, name: the primary key; size, inode, mtime and ctime in nanoseconds; prefix and xxh3:
// the XXH3-128 of the first 4 KiB and of the whole content, 16 bytes or NULL; md5 and sha1, 16
// and 20 bytes or NULL; seen: the day, counted from 1970-01-01 UTC, the record was last written
// or used). A third table, meta, holds the day of the last clean-up.
class DigestStore {
public:
    DigestStore(std::string file, HashKind kind);
    ~DigestStore();
    DigestStore(const DigestStore&) = delete;
    DigestStore& operator=(const DigestStore&) = delete;

    // Opens (or creates) the file. Closed again when it fails.
    StoreStatus open();
    // Removes the file, with SQLite's files beside it, and opens a new one in its place.
    StoreStatus replace();
    void close();
    bool isOpen() const { return m_db != nullptr; }
    // Whether SQLite opened the file for writing.
    bool writable() const;

    const std::string& file() const { return m_file; }
    std::size_t digestLength() const { return m_length; }
    // The day of the last clean-up, as read at opening or written since; -1 for none.
    std::int64_t lastCleanUp() const { return m_lastCleanUp; }

    StoreStatus begin();
    StoreStatus beginWrite();
    StoreStatus commit();
    // Ends the open transaction, if there is one, without its changes.
    void rollback();

    // The id of the folder of real path `key`; 0 when there is none.
    StoreStatus findFolder(const std::string& key, std::int64_t& id);
    // Whether some folder of real path `key` or below it is in the store.
    StoreStatus holdsFolderUnder(const std::string& key, bool& holds);
    // The record of `name` in `folder`, if there is one.
    StoreStatus lookUp(std::int64_t folder, const std::string& name,
                       std::optional<StoredRecord>& record);
    // Reads the records of `names` (in the order of their bytes) of `folder` in one pass,
    // calling `found` with each name's position and its record.
    StoreStatus scanFolder(std::int64_t folder, const std::vector<std::string_view>& names,
                           const std::function<void(std::size_t, const StoredRecord&)>& found);

    // Writing, in a transaction of beginWrite(). prepareWrites() first: a store whose
    // statements cannot be made writes nothing.
    StoreStatus prepareWrites();
    // Adds the folder of real path `key` if it is not there, and gives its id.
    StoreStatus addFolder(const std::string& key, std::int64_t& id);
    // Writes what `record` knows into the record of `name`, keeping what the record held of the
    // same bytes. Rows are written a batch at a time: `name` must stay until flushWrites() or
    // commit().
    StoreStatus write(std::int64_t folder, const std::string& name, const StoredRecord& record);
    StoreStatus flushWrites();
    // Moves the record's day forward to `day`.
    StoreStatus markUsed(std::int64_t folder, const std::string& name, std::int64_t day);
    StoreStatus markCleanUp(std::int64_t day);

    // A statement of the store's upkeep with integer parameters ?1, ?2, ..., run to its end.
    StoreStatus run(const char* sql, std::initializer_list<std::int64_t> values = {});
    // The records the last statement of run() changed.
    std::int64_t changes() const;
    // A query of one integer.
    StoreStatus queryInteger(const char* sql, std::int64_t& value);

private:
    int openDatabase();
    int prepareSchema();
    StoreStatus finishOpening(int code);

    const std::string m_file;
    const std::string m_column; // "md5" or "sha1"
    const std::size_t m_length;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_findFolder = nullptr;
    sqlite3_stmt* m_lookUp = nullptr;
    sqlite3_stmt* m_scan = nullptr;
    struct PendingWrite {
        std::int64_t folder;
        const std::string* name;
        StoredRecord record;
    };
    StoreStatus writeRows(sqlite3_stmt* statement, std::size_t from, std::size_t count);

    sqlite3_stmt* m_write = nullptr;     // one row
    sqlite3_stmt* m_writeMany = nullptr; // a full batch of rows
    std::vector<PendingWrite> m_pending;
    sqlite3_stmt* m_addFolder = nullptr;
    sqlite3_stmt* m_used = nullptr;
    std::int64_t m_lastCleanUp = -1;
};
