#include "search/DigestStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kSchemaVersion = 1;
// Long enough to wait out another search writing its digests, short enough that a cache held
// by another program never holds up a search for long.
constexpr int kBusyMilliseconds = 200;

constexpr const char* kCreate =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " path BLOB NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS files(folder INTEGER NOT NULL, name BLOB NOT NULL,"
    " size INTEGER NOT NULL, inode INTEGER NOT NULL, mtime INTEGER NOT NULL,"
    " ctime INTEGER NOT NULL, prefix BLOB, xxh3 BLOB, md5 BLOB, sha1 BLOB,"
    " seen INTEGER NOT NULL, PRIMARY KEY(folder, name)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID;"
    "PRAGMA user_version = 1;"
    "COMMIT;";

// The columns a record is taken from, in this order, after any before them.
constexpr const char* kRecordColumns = "size, inode, mtime, ctime, prefix, xxh3, ";

// Rows written by one statement: a million rows cost far less in batches than one at a time.
constexpr std::size_t kRowsPerWrite = 64;
constexpr int kWriteColumns = 11;

// A scan of one folder's records seeks again after passing over this many it does not need.
constexpr int kSeekAfter = 32;

void makeParents(const std::string& file) {
    // New folders of mode 0700, as the XDG base directory rules ask.
    for (std::size_t slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1))
        mkdir(file.substr(0, slash).c_str(), 0700);
}

StoreStatus statusOf(int code) {
    if (code == SQLITE_OK)
        return {};
    using Fault = StoreStatus::Fault;
    const int primary = code & 0xFF;
    Fault fault = Fault::Other;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        fault = Fault::Damaged;
    else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        fault = Fault::Busy;
    else if (code == SQLITE_READONLY_DBMOVED)
        fault = Fault::Moved;
    else if (primary == SQLITE_READONLY)
        fault = Fault::ReadOnly;
    return StoreStatus{fault, code, sqlite3_errstr(code)};
}

// A statement that has run to its end says SQLITE_DONE.
StoreStatus statusOfRun(int code) {
    return statusOf(code == SQLITE_DONE ? SQLITE_OK : code);
}

// A prepared statement that is finalized however its scope is left.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        m_code = sqlite3_prepare_v2(db, sql.c_str(), -1, &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepared() const { return m_code; }
    sqlite3_stmt* get() const { return m_statement; }

private:
    sqlite3_stmt* m_statement = nullptr;
    int m_code = SQLITE_OK;
};

// Runs a statement to its end; SQLITE_DONE when it did.
int runToEnd(sqlite3_stmt* statement) {
    int code = sqlite3_step(statement);
    while (code == SQLITE_ROW)
        code = sqlite3_step(statement);
    sqlite3_reset(statement);
    return code;
}

void bindText(sqlite3_stmt* statement, int at, std::string_view bytes) {
    sqlite3_bind_blob(statement, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
}

std::optional<Fingerprint> fingerprintIn(sqlite3_stmt* row, int at) {
    if (sqlite3_column_bytes(row, at) != 16)
        return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, at));
    Fingerprint fingerprint;
    std::copy(bytes, bytes + 16, fingerprint.bytes.begin());
    return fingerprint;
}

// The record in the columns of kRecordColumns from `column` on, then the digest and the day.
StoredRecord recordIn(sqlite3_stmt* row, int column, std::size_t digestLength) {
    StoredRecord record;
    record.size = sqlite3_column_int64(row, column);
    record.inode = sqlite3_column_int64(row, column + 1);
    record.modifiedNs = sqlite3_column_int64(row, column + 2);
    record.changedNs = sqlite3_column_int64(row, column + 3);
    record.prefix = fingerprintIn(row, column + 4);
    record.content = fingerprintIn(row, column + 5);
    if (sqlite3_column_bytes(row, column + 6) == static_cast<int>(digestLength)) {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, column + 6));
        std::array<std::uint8_t, 20> digest{};
        std::copy(bytes, bytes + digestLength, digest.begin());
        record.digest = digest;
    }
    record.seen = sqlite3_column_int64(row, column + 7);
    return record;
}

} // namespace

DigestStore::DigestStore(std::string file, HashKind kind)
    : m_file(std::move(file)), m_column(hashName(kind)),
      m_length(kind == HashKind::Sha1 ? 20 : 16) {
}

DigestStore::~DigestStore() {
    close();
}

StoreStatus DigestStore::open() {
    makeParents(m_file);
    // SQLite would wait for ever on a FIFO and read a device as if it were a file.
    struct stat st {};
    if (::stat(m_file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return StoreStatus{StoreStatus::Fault::NotAFile, 0, "not a regular file"};
    return finishOpening(openDatabase());
}

StoreStatus DigestStore::replace() {
    close();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        if (unlink((m_file + suffix).c_str()) != 0 && errno != ENOENT)
            return StoreStatus{StoreStatus::Fault::Unremovable, errno, std::strerror(errno)};
    }
    return finishOpening(openDatabase());
}

StoreStatus DigestStore::finishOpening(int code) {
    StoreStatus status = statusOf(code);
    if (!status.ok())
        close();
    return status;
}

int DigestStore::openDatabase() {
    int code =
        sqlite3_open_v2(m_file.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code == SQLITE_OK) {
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, kBusyMilliseconds);
        code = prepareSchema();
    }
    return code;
}

int DigestStore::prepareSchema() {
    int version = -1;
    {
        Statement read(m_db, "PRAGMA user_version");
        int code = read.prepared();
        if (code == SQLITE_OK)
            code = sqlite3_step(read.get());
        if (code != SQLITE_ROW)
            return code;
        version = sqlite3_column_int(read.get(), 0);
    }
    if (version == 0) {
        // A new file, or a database that is not a cache.
        Statement objects(m_db, "SELECT count(*) FROM sqlite_schema");
        int code = objects.prepared();
        if (code == SQLITE_OK)
            code = sqlite3_step(objects.get());
        if (code != SQLITE_ROW)
            return code;
        if (sqlite3_column_int(objects.get(), 0) != 0)
            return SQLITE_NOTADB;
        code = sqlite3_exec(m_db, kCreate, nullptr, nullptr, nullptr);
        if (code != SQLITE_OK) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return code;
        }
    } else if (version != kSchemaVersion) {
        return SQLITE_NOTADB;
    }
    {
        Statement cleanUp(m_db, "SELECT value FROM meta WHERE key = 'cleanup'");
        int code = cleanUp.prepared();
        if (code == SQLITE_OK)
            code = sqlite3_step(cleanUp.get());
        if (code == SQLITE_ROW)
            m_lastCleanUp = sqlite3_column_int64(cleanUp.get(), 0);
        else if (code != SQLITE_DONE)
            return code;
    }
    const std::string record = kRecordColumns + m_column + ", seen FROM files WHERE folder = ?1";
    for (const auto& [statement, sql] :
         {std::pair{&m_findFolder, std::string("SELECT id FROM folders WHERE path = ?1")},
          std::pair{&m_lookUp, "SELECT " + record + " AND name = ?2"},
          std::pair{&m_scan, "SELECT name, " + record + " AND name >= ?2 ORDER BY name"}}) {
        const int code = sqlite3_prepare_v2(m_db, sql.c_str(), -1, statement, nullptr);
        // A file of this version without these tables and columns is no cache of ours.
        if ((code & 0xFF) == SQLITE_ERROR)
            return SQLITE_NOTADB;
        if (code != SQLITE_OK)
            return code;
    }
    return SQLITE_OK;
}

void DigestStore::close() {
    for (sqlite3_stmt** statement :
         {&m_findFolder, &m_lookUp, &m_scan, &m_write, &m_writeMany, &m_addFolder, &m_used}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close(m_db);
    m_db = nullptr;
    m_pending.clear();
}

bool DigestStore::writable() const {
    return m_db != nullptr && sqlite3_db_readonly(m_db, "main") == 0;
}

StoreStatus DigestStore::begin() {
    return statusOf(sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr));
}

StoreStatus DigestStore::beginWrite() {
    return statusOf(sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
}

StoreStatus DigestStore::commit() {
    if (const StoreStatus flushed = flushWrites(); !flushed.ok())
        return flushed;
    return statusOf(sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr));
}

void DigestStore::rollback() {
    m_pending.clear();
    if (m_db != nullptr && sqlite3_get_autocommit(m_db) == 0)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

StoreStatus DigestStore::findFolder(const std::string& key, std::int64_t& id) {
    bindText(m_findFolder, 1, key);
    const int code = sqlite3_step(m_findFolder);
    id = code == SQLITE_ROW ? sqlite3_column_int64(m_findFolder, 0) : 0;
    sqlite3_reset(m_findFolder);
    return statusOf(code == SQLITE_ROW || code == SQLITE_DONE ? SQLITE_OK : code);
}

StoreStatus DigestStore::holdsFolderUnder(const std::string& key, bool& holds) {
    // Paths compare by their bytes: those below `key` (which ends in "/") lie before the same
    // text ending in the next byte, "0".
    Statement below(m_db, "SELECT 1 FROM folders WHERE path >= ?1 AND path < ?2 LIMIT 1");
    int code = below.prepared();
    std::string end = key;
    if (!end.empty())
        end.back() = static_cast<char>(end.back() + 1);
    if (code == SQLITE_OK) {
        bindText(below.get(), 1, key);
        bindText(below.get(), 2, end);
        code = sqlite3_step(below.get());
    }
    holds = code == SQLITE_ROW;
    return statusOf(code == SQLITE_ROW || code == SQLITE_DONE ? SQLITE_OK : code);
}

StoreStatus DigestStore::lookUp(std::int64_t folder, const std::string& name,
                                std::optional<StoredRecord>& record) {
    sqlite3_bind_int64(m_lookUp, 1, folder);
    bindText(m_lookUp, 2, name);
    const int code = sqlite3_step(m_lookUp);
    record.reset();
    if (code == SQLITE_ROW)
        record = recordIn(m_lookUp, 0, m_length);
    sqlite3_reset(m_lookUp);
    return statusOf(code == SQLITE_ROW || code == SQLITE_DONE ? SQLITE_OK : code);
}

StoreStatus
DigestStore::scanFolder(std::int64_t folder, const std::vector<std::string_view>& names,
                        const std::function<void(std::size_t, const StoredRecord&)>& found) {
    auto seek = [&](std::string_view name) {
        sqlite3_reset(m_scan);
        sqlite3_bind_int64(m_scan, 1, folder);
        bindText(m_scan, 2, name);
        return sqlite3_step(m_scan);
    };
    int code = names.empty() ? SQLITE_DONE : seek(names.front());
    int passed = 0;
    for (std::size_t k = 0; k < names.size() && code == SQLITE_ROW;) {
        const auto* name = static_cast<const char*>(sqlite3_column_blob(m_scan, 0));
        const std::string_view recorded(name,
                                        static_cast<std::size_t>(sqlite3_column_bytes(m_scan, 0)));
        const int order = recorded.compare(names[k]);
        if (order > 0) {
            ++k; // no record of this file
        } else if (order == 0) {
            found(k, recordIn(m_scan, 1, m_length));
            ++k;
            code = sqlite3_step(m_scan);
        } else if (++passed > kSeekAfter) {
            passed = 0;
            code = seek(names[k]);
        } else {
            code = sqlite3_step(m_scan);
        }
    }
    sqlite3_reset(m_scan);
    return statusOf(code == SQLITE_ROW || code == SQLITE_DONE ? SQLITE_OK : code);
}

StoreStatus DigestStore::prepareWrites() {
    // What a record knows stays only while it is of the same file with the same bytes.
    static const std::string same =
        "size = excluded.size AND inode = excluded.inode AND mtime = excluded.mtime AND "
        "ctime = excluded.ctime AND (xxh3 IS NULL OR excluded.xxh3 IS NULL OR xxh3 = "
        "excluded.xxh3) AND (prefix IS NULL OR excluded.prefix IS NULL OR prefix = "
        "excluded.prefix)";
    std::string onConflict = " ON CONFLICT(folder, name) DO UPDATE SET ";
    for (const char* column : {"prefix", "xxh3", "md5", "sha1"}) {
        onConflict += std::string(column) + " = CASE WHEN " + same + " THEN coalesce(excluded." +
                      column + ", " + column + ") ELSE excluded." + column + " END, ";
    }
    onConflict += "size = excluded.size, inode = excluded.inode, mtime = excluded.mtime, "
                  "ctime = excluded.ctime, seen = excluded.seen";
    const std::string columns = "INSERT INTO files(folder, name, size, inode, mtime, ctime, "
                                "prefix, xxh3, md5, sha1, seen) VALUES";
    auto rows = [&](std::size_t count) {
        std::string values;
        for (std::size_t row = 0; row < count; ++row) {
            values += row == 0 ? "(" : ",(";
            for (int column = 1; column <= kWriteColumns; ++column)
                values += (column == 1 ? "?" : ",?") +
                          std::to_string(static_cast<int>(row) * kWriteColumns + column);
            values += ")";
        }
        return columns + values + onConflict;
    };
    for (const auto& [statement, sql] :
         {std::pair{&m_write, rows(1)}, std::pair{&m_writeMany, rows(kRowsPerWrite)},
          std::pair{
              &m_addFolder,
              std::string("INSERT INTO folders(path) VALUES(?1) ON CONFLICT(path) DO NOTHING")},
          std::pair{&m_used, std::string("UPDATE files SET seen = ?3 WHERE folder = ?1 AND "
                                         "name = ?2 AND seen < ?3")}}) {
        if (*statement != nullptr)
            continue;
        const int code = sqlite3_prepare_v2(m_db, sql.c_str(), -1, statement, nullptr);
        if (code != SQLITE_OK)
            return statusOf(code);
    }
    return {};
}

StoreStatus DigestStore::addFolder(const std::string& key, std::int64_t& id) {
    bindText(m_addFolder, 1, key);
    StoreStatus status = statusOfRun(runToEnd(m_addFolder));
    if (status.ok())
        status = findFolder(key, id);
    if (status.ok() && id == 0)
        status = statusOf(SQLITE_ERROR);
    return status;
}

StoreStatus DigestStore::write(std::int64_t folder, const std::string& name,
                               const StoredRecord& record) {
    m_pending.push_back(PendingWrite{folder, &name, record});
    if (m_pending.size() < kRowsPerWrite)
        return {};
    return flushWrites();
}

StoreStatus DigestStore::flushWrites() {
    StoreStatus status;
    std::size_t done = 0;
    if (m_pending.size() == kRowsPerWrite) {
        status = writeRows(m_writeMany, 0, kRowsPerWrite);
        done = kRowsPerWrite;
    }
    for (; status.ok() && done < m_pending.size(); ++done)
        status = writeRows(m_write, done, 1);
    m_pending.clear();
    return status;
}

StoreStatus DigestStore::writeRows(sqlite3_stmt* s, std::size_t from, std::size_t count) {
    for (std::size_t row = 0; row < count; ++row) {
        const PendingWrite& pending = m_pending[from + row];
        const StoredRecord& record = pending.record;
        const int at = static_cast<int>(row) * kWriteColumns;
        sqlite3_bind_int64(s, at + 1, pending.folder);
        bindText(s, at + 2, *pending.name);
        sqlite3_bind_int64(s, at + 3, record.size);
        sqlite3_bind_int64(s, at + 4, record.inode);
        sqlite3_bind_int64(s, at + 5, record.modifiedNs);
        sqlite3_bind_int64(s, at + 6, record.changedNs);
        if (record.prefix)
            sqlite3_bind_blob(s, at + 7, record.prefix->bytes.data(), 16, SQLITE_STATIC);
        if (record.content)
            sqlite3_bind_blob(s, at + 8, record.content->bytes.data(), 16, SQLITE_STATIC);
        if (record.digest) {
            sqlite3_bind_blob(s, at + (m_column == "md5" ? 9 : 10), record.digest->data(),
                              static_cast<int>(m_length), SQLITE_STATIC);
        }
        sqlite3_bind_int64(s, at + 11, record.seen);
    }
    const int code = runToEnd(s);
    sqlite3_clear_bindings(s);
    return statusOfRun(code);
}

StoreStatus DigestStore::markUsed(std::int64_t folder, const std::string& name, std::int64_t day) {
    if (const StoreStatus flushed = flushWrites(); !flushed.ok())
        return flushed;
    sqlite3_bind_int64(m_used, 1, folder);
    bindText(m_used, 2, name);
    sqlite3_bind_int64(m_used, 3, day);
    return statusOfRun(runToEnd(m_used));
}

StoreStatus DigestStore::markCleanUp(std::int64_t day) {
    const StoreStatus status = run("INSERT INTO meta(key, value) VALUES('cleanup', ?1) "
                                   "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
                                   {day});
    if (status.ok())
        m_lastCleanUp = day;
    return status;
}

StoreStatus DigestStore::run(const char* sql, std::initializer_list<std::int64_t> values) {
    Statement statement(m_db, sql);
    if (statement.prepared() != SQLITE_OK)
        return statusOf(statement.prepared());
    int at = 1;
    for (const std::int64_t value : values)
        sqlite3_bind_int64(statement.get(), at++, value);
    return statusOfRun(runToEnd(statement.get()));
}

std::int64_t DigestStore::changes() const {
    return m_db == nullptr ? 0 : sqlite3_changes64(m_db);
}

StoreStatus DigestStore::queryInteger(const char* sql, std::int64_t& value) {
    Statement statement(m_db, sql);
    int code = statement.prepared();
    if (code == SQLITE_OK)
        code = sqlite3_step(statement.get());
    value = code == SQLITE_ROW ? sqlite3_column_int64(statement.get(), 0) : 0;
    return statusOf(code == SQLITE_ROW ? SQLITE_OK : code);
}
