#include "search/DigestCache.h"

#include "platform/MountTable.h"
#include "search/SrcHash.h"
#include "tools/GeneralTools.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSchemaVersion = 1;
// Long enough to wait out another search writing its digests, short enough that a cache held
// by another program never holds up a search for long.
constexpr int kBusyMilliseconds = 200;
// A search that wrote this many records cleans up at once rather than on the next day.
constexpr std::size_t kCleanUpAfter = 10000;

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

// A scan of one folder's records seeks again after passing over this many it does not need.
constexpr int kSeekAfter = 32;

std::int64_t currentDay() {
    return static_cast<std::int64_t>(std::time(nullptr)) / 86400;
}

// The clock that file times come from: a file changed after this moment gets a later change
// time than any it had before, however coarse its file system's times are.
std::int64_t coarseNowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The tick of the clock of the file system a file time came from, as far as the time shows it:
// a file system that keeps whole seconds (FAT keeps even ones) leaves the fraction zero, one
// that keeps hundredths leaves it a multiple of 10 ms. A file changed again within one tick
// would keep its time.
std::int64_t tickOf(std::int64_t ns) {
    constexpr std::int64_t kSecond = 1000000000;
    const std::int64_t fraction = ((ns % kSecond) + kSecond) % kSecond;
    if (fraction == 0)
        return 2 * kSecond;
    std::int64_t tick = 1;
    while (tick < kSecond / 10 && fraction % (tick * 10) == 0)
        tick *= 10;
    return tick;
}

void makeParents(const std::string& file) {
    // New folders of mode 0700, as the XDG base directory rules ask.
    for (std::size_t slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1))
        mkdir(file.substr(0, slash).c_str(), 0700);
}

bool isDamage(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool fromHex(const std::string& text, std::uint8_t* out, std::size_t length) {
    if (text.size() != 2 * length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const int high = hexDigitValue(text[2 * i]);
        const int low = hexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
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
    // Runs it to the end; SQLITE_DONE when it did.
    int run() {
        int code = sqlite3_step(m_statement);
        while (code == SQLITE_ROW)
            code = sqlite3_step(m_statement);
        sqlite3_reset(m_statement);
        return code;
    }

private:
    sqlite3_stmt* m_statement = nullptr;
    int m_code = SQLITE_OK;
};

} // namespace

DigestCache::DigestCache(const std::string& file, HashKind kind, std::string folderText,
                         std::string realFolder, DigestCacheLimits limits, bool mayReplace)
    : m_file(file), m_folderText(std::move(folderText)), m_realFolder(std::move(realFolder)),
      m_limits(limits), m_mayReplace(mayReplace), m_today(currentDay()), m_startNs(coarseNowNs()) {
    m_column = hashName(kind);
    m_length = kind == HashKind::Sha1 ? 20 : 16;
    std::lock_guard lock(m_mutex);
    open();
}

DigestCache::~DigestCache() {
    close();
}

bool DigestCache::open() {
    makeParents(m_file);
    // SQLite would wait for ever on a FIFO and read a device as if it were a file.
    struct stat st {};
    if (::stat(m_file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        m_problem =
            "the digest cache " + m_file + " is not a regular file; this search goes without it";
        return false;
    }
    int code = openDatabase();
    if (code == SQLITE_OK)
        return true;
    if (isDamage(code))
        return m_mayReplace ? replaceFile() : leaveDamaged();
    failed(code, "open");
    close();
    return false;
}

int DigestCache::prepareSchema() {
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
    m_readable = true;
    if (sqlite3_db_readonly(m_db, "main") == 1) {
        m_access = Access::Read;
        if (m_problem.empty())
            m_problem = "the digest cache " + m_file +
                        " is read-only: the digests of this search are not kept";
    } else {
        m_access = Access::ReadWrite;
    }
    return SQLITE_OK;
}

int DigestCache::openDatabase() {
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

bool DigestCache::replaceFile() {
    close();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        if (unlink((m_file + suffix).c_str()) != 0 && errno != ENOENT) {
            m_problem = "the digest cache " + m_file + " is damaged and cannot be replaced (" +
                        std::strerror(errno) + "); this search goes without it";
            return false;
        }
    }
    int code = openDatabase();
    if (code != SQLITE_OK) {
        failed(code, "open");
        close();
        return false;
    }
    m_problem = "the digest cache " + m_file + " was damaged and has been replaced";
    return true;
}

bool DigestCache::leaveDamaged() {
    close();
    m_problem = "the digest cache " + m_file +
                " is damaged or not a digest cache; it is left as it is and this search goes "
                "without it";
    return false;
}

void DigestCache::close() {
    for (sqlite3_stmt** statement : {&m_findFolder, &m_lookUp, &m_scan}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close(m_db);
    m_db = nullptr;
    m_lastFolderId = -1;
    m_access = Access::None;
    m_readable = false;
}

void DigestCache::failed(int code, const char* doing) {
    if (m_db != nullptr && sqlite3_get_autocommit(m_db) == 0)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    const bool writing = std::strcmp(doing, "write") == 0;
    if (isDamage(code) && m_db != nullptr) {
        m_kept.clear();
        m_used.clear();
        if (m_mayReplace)
            replaceFile();
        else
            leaveDamaged();
        return;
    }
    if (writing) {
        m_access = m_access == Access::None ? Access::None : Access::Read;
        m_kept.clear();
        m_used.clear();
    } else {
        m_readable = false;
    }
    if (!m_problem.empty())
        return;
    const int primary = code & 0xFF;
    std::string what = "the digest cache " + m_file;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        what += " is in use by another program";
    else if (code == SQLITE_READONLY_DBMOVED)
        what += " was deleted or moved while the search ran";
    else if (primary == SQLITE_READONLY)
        what += " is read-only";
    else
        what += std::string(": cannot ") + doing + " it (" + sqlite3_errstr(code) + ")";
    m_problem = what + (writing ? ": the digests of this search are not kept"
                                : ": this search goes without it");
}

std::string DigestCache::folderKey(const TFiles& file) const {
    const std::string& folder = file.fPath.str();
    if (folder.compare(0, m_folderText.size(), m_folderText) != 0)
        return folder;
    return m_realFolder + folder.substr(m_folderText.size());
}

std::int64_t DigestCache::folderId(const TFiles& file) {
    // The files of one folder come one after another.
    if (m_lastFolderId >= 0 && file.fPath.str() == m_lastFolder)
        return m_lastFolderId;
    const std::string key = folderKey(file);
    sqlite3_bind_blob(m_findFolder, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    const int code = sqlite3_step(m_findFolder);
    const std::int64_t id = code == SQLITE_ROW ? sqlite3_column_int64(m_findFolder, 0) : 0;
    sqlite3_reset(m_findFolder);
    if (code != SQLITE_ROW && code != SQLITE_DONE) {
        failed(code, "read");
        return -1;
    }
    m_lastFolder = file.fPath.str();
    m_lastFolderId = id;
    return id;
}

bool DigestCache::stableDevice(const TFiles& file) {
    const auto [known, added] = m_stableDevices.try_emplace(file.fDevice, false);
    // A folder that is gone holds no file a record could be wrong about.
    if (added)
        known->second = fileIdentityIsStable(file.fPath.str()).value_or(true);
    return known->second;
}

bool DigestCache::take(sqlite3_stmt* row, int column, std::int64_t folder, TFiles& file,
                       RememberedKeys* keys) {
    // A record made before such a file system was known to be unfit is not trusted either.
    if (!stableDevice(file))
        return false;
    if (sqlite3_column_int64(row, column) != file.fSize ||
        sqlite3_column_int64(row, column + 1) != static_cast<std::int64_t>(file.fInode) ||
        sqlite3_column_int64(row, column + 2) != file.fModifiedNs ||
        sqlite3_column_int64(row, column + 3) != file.fChangedNs)
        return false;
    auto fingerprintIn = [&](int at) -> std::optional<Fingerprint> {
        if (sqlite3_column_bytes(row, at) != 16)
            return std::nullopt;
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, at));
        Fingerprint fingerprint;
        std::copy(bytes, bytes + 16, fingerprint.bytes.begin());
        return fingerprint;
    };
    const std::optional<Fingerprint> prefix = fingerprintIn(column + 4);
    const std::optional<Fingerprint> content = fingerprintIn(column + 5);
    bool hit = false;
    if (content && sqlite3_column_bytes(row, column + 6) == static_cast<int>(m_length)) {
        const auto* digest = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, column + 6));
        file.fHash = DataToStr(digest, static_cast<std::uint32_t>(m_length));
        file.fFingerprint = *content;
        hit = true;
    }
    if (keys != nullptr)
        *keys = RememberedKeys{prefix, content};
    if ((hit || prefix || content) && sqlite3_column_int64(row, column + 7) < m_today)
        m_used.push_back(Used{folder, &file});
    return hit;
}

bool DigestCache::recall(TFiles& file, RememberedKeys* keys) {
    std::lock_guard lock(m_mutex);
    if (!m_readable)
        return false;
    const std::int64_t folder = folderId(file);
    if (folder <= 0)
        return false;
    sqlite3_bind_int64(m_lookUp, 1, folder);
    sqlite3_bind_blob(m_lookUp, 2, file.fName.data(), static_cast<int>(file.fName.size()),
                      SQLITE_STATIC);
    const int code = sqlite3_step(m_lookUp);
    const bool hit = code == SQLITE_ROW && take(m_lookUp, 0, folder, file, keys);
    sqlite3_reset(m_lookUp);
    if (code != SQLITE_ROW && code != SQLITE_DONE)
        failed(code, "read");
    return hit;
}

bool DigestCache::recallFolder(FileTable& files, std::vector<std::size_t>& run,
                               std::vector<std::pair<std::size_t, RememberedKeys>>* keys) {
    const std::int64_t folder = folderId(files[run.front()]);
    if (folder <= 0)
        return m_readable;
    // Records come in the order of their names' bytes.
    auto byName = [&](std::size_t a, std::size_t b) { return files[a].fName < files[b].fName; };
    if (!std::is_sorted(run.begin(), run.end(), byName))
        std::sort(run.begin(), run.end(), byName);
    auto seek = [&](const std::string& name) {
        sqlite3_reset(m_scan);
        sqlite3_bind_int64(m_scan, 1, folder);
        sqlite3_bind_blob(m_scan, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        return sqlite3_step(m_scan);
    };
    int code = seek(files[run.front()].fName);
    int passed = 0;
    for (std::size_t k = 0; k < run.size() && code == SQLITE_ROW;) {
        TFiles& file = files[run[k]];
        const auto* name = static_cast<const char*>(sqlite3_column_blob(m_scan, 0));
        const std::string_view recorded(name,
                                        static_cast<std::size_t>(sqlite3_column_bytes(m_scan, 0)));
        const int order = recorded.compare(file.fName);
        if (order > 0) {
            ++k; // no record of this file
        } else if (order == 0) {
            RememberedKeys found;
            const bool hit = take(m_scan, 1, folder, file, &found);
            // A digest comes with the content key; the first bytes' key may rule out others.
            if (keys != nullptr && (found.prefix || (found.content && !hit)))
                keys->emplace_back(run[k], found);
            ++k;
            code = sqlite3_step(m_scan);
        } else if (++passed > kSeekAfter) {
            passed = 0;
            code = seek(file.fName);
        } else {
            code = sqlite3_step(m_scan);
        }
    }
    sqlite3_reset(m_scan);
    if (code != SQLITE_ROW && code != SQLITE_DONE) {
        failed(code, "read");
        return false;
    }
    return true;
}

void DigestCache::recall(FileTable& files, const std::vector<std::size_t>& indices,
                         std::vector<std::pair<std::size_t, RememberedKeys>>* keys) {
    std::lock_guard lock(m_mutex);
    if (!m_readable || indices.empty())
        return;
    // One read transaction: the file is locked and checked once, not once per file.
    sqlite3* const db = m_db;
    if (!execute("BEGIN", "read"))
        return;
    std::vector<std::size_t> run;
    for (std::size_t start = 0; start < indices.size();) {
        const std::string& folder = files[indices[start]].fPath.str();
        std::size_t end = start + 1;
        while (end < indices.size() && files[indices[end]].fPath.str() == folder)
            ++end;
        run.assign(indices.begin() + static_cast<std::ptrdiff_t>(start),
                   indices.begin() + static_cast<std::ptrdiff_t>(end));
        if (!recallFolder(files, run, keys) || m_db != db)
            return; // failed() has ended the transaction, or replaced a damaged file
        start = end;
    }
    execute("COMMIT", "read");
    if (keys != nullptr)
        std::sort(keys->begin(), keys->end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
}

bool DigestCache::execute(const char* sql, const char* doing) {
    const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK)
        failed(code, doing);
    return code == SQLITE_OK;
}

void DigestCache::remember(const TFiles& file) {
    Kept kept{&file, kDigest | kContent, {}, file.fFingerprint, {}};
    if (m_length != 0 && fromHex(file.fHash, kept.digest.data(), m_length))
        keep(kept);
}

void DigestCache::rememberPrefix(const TFiles& file, const Fingerprint& prefix) {
    keep(Kept{&file, kPrefix, prefix, {}, {}});
}

void DigestCache::rememberContent(const TFiles& file, const Fingerprint& content) {
    keep(Kept{&file, kContent, {}, content, {}});
}

void DigestCache::keep(const Kept& kept) {
    // A file whose times lie within one tick of its file system's clock of the start of the
    // search may change again (after it was read) without a change of its times: it is not
    // kept. Whole-second file systems thus keep only files left alone for two seconds.
    const TFiles& file = *kept.file;
    if (file.fChangedNs + tickOf(file.fChangedNs) > m_startNs ||
        file.fModifiedNs + tickOf(file.fModifiedNs) > m_startNs)
        return;
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite || !stableDevice(file))
        return;
    // Written once, when the search has ended: records come in the order files are read,
    // spread over the whole cache, and batches written as the search went on would rewrite
    // most of its pages each time (and hold up the threads that read the files).
    m_kept.push_back(kept);
}

bool DigestCache::writeBatch() {
    // What a record knows stays only while it is of the same file with the same bytes.
    static const std::string same =
        "size = excluded.size AND inode = excluded.inode AND mtime = excluded.mtime AND "
        "ctime = excluded.ctime AND (xxh3 IS NULL OR excluded.xxh3 IS NULL OR xxh3 = "
        "excluded.xxh3) AND (prefix IS NULL OR excluded.prefix IS NULL OR prefix = "
        "excluded.prefix)";
    std::string sql = "INSERT INTO files(folder, name, size, inode, mtime, ctime, prefix, xxh3, "
                      "md5, sha1, seen) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11) "
                      "ON CONFLICT(folder, name) DO UPDATE SET ";
    for (const char* column : {"prefix", "xxh3", "md5", "sha1"}) {
        sql += std::string(column) + " = CASE WHEN " + same + " THEN coalesce(excluded." + column +
               ", " + column + ") ELSE excluded." + column + " END, ";
    }
    sql += "size = excluded.size, inode = excluded.inode, mtime = excluded.mtime, "
           "ctime = excluded.ctime, seen = excluded.seen";
    Statement write(m_db, sql);
    Statement addFolder(m_db, "INSERT INTO folders(path) VALUES(?1) ON CONFLICT(path) DO NOTHING");
    Statement used(m_db,
                   "UPDATE files SET seen = ?3 WHERE folder = ?1 AND name = ?2 AND seen < ?3");
    int code = SQLITE_OK;
    for (const Statement* statement : {&write, &addFolder, &used})
        code = code != SQLITE_OK ? code : statement->prepared();

    // In the order of the records, so that the writes stay near one another; folder ids are
    // looked up again in this transaction, as another program may have dropped one since.
    // The files of one folder share its text, so most comparisons need no look at it.
    std::sort(m_kept.begin(), m_kept.end(), [](const Kept& a, const Kept& b) {
        const std::string& folderA = a.file->fPath.str();
        const std::string& folderB = b.file->fPath.str();
        if (&folderA != &folderB) {
            const int folders = folderA.compare(folderB);
            if (folders != 0)
                return folders < 0;
        }
        if (a.file != b.file)
            return a.file->fName < b.file->fName;
        return false;
    });
    // What was kept of one file in several steps (its first bytes, then its digest) is one
    // record.
    std::size_t merged = 0;
    for (std::size_t k = 0; k < m_kept.size(); ++k) {
        if (merged > 0 && m_kept[merged - 1].file == m_kept[k].file) {
            Kept& into = m_kept[merged - 1];
            const Kept& from = m_kept[k];
            if (from.known & kPrefix)
                into.prefix = from.prefix;
            if (from.known & kContent)
                into.content = from.content;
            if (from.known & kDigest)
                into.digest = from.digest;
            into.known |= from.known;
        } else {
            m_kept[merged++] = m_kept[k];
        }
    }
    m_kept.resize(merged);
    m_lastFolderId = -1;
    for (std::size_t k = 0; code == SQLITE_OK && k < m_kept.size(); ++k) {
        const Kept& kept = m_kept[k];
        const TFiles& file = *kept.file;
        std::int64_t folder = folderId(file);
        if (folder == 0) {
            const std::string key = folderKey(file);
            sqlite3_bind_blob(addFolder.get(), 1, key.data(), static_cast<int>(key.size()),
                              SQLITE_STATIC);
            code = addFolder.run();
            if (code != SQLITE_DONE)
                break;
            code = SQLITE_OK;
            m_lastFolderId = -1;
            folder = folderId(file);
        }
        if (folder <= 0) {
            if (folder == 0)
                failed(SQLITE_ERROR, "write");
            return false; // failed() has ended the transaction
        }
        sqlite3_stmt* s = write.get();
        sqlite3_bind_int64(s, 1, folder);
        sqlite3_bind_blob(s, 2, file.fName.data(), static_cast<int>(file.fName.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(s, 3, file.fSize);
        sqlite3_bind_int64(s, 4, static_cast<std::int64_t>(file.fInode));
        sqlite3_bind_int64(s, 5, file.fModifiedNs);
        sqlite3_bind_int64(s, 6, file.fChangedNs);
        if (kept.known & kPrefix)
            sqlite3_bind_blob(s, 7, kept.prefix.bytes.data(), 16, SQLITE_STATIC);
        if (kept.known & kContent)
            sqlite3_bind_blob(s, 8, kept.content.bytes.data(), 16, SQLITE_STATIC);
        if (kept.known & kDigest) {
            sqlite3_bind_blob(s, m_column == "md5" ? 9 : 10, kept.digest.data(),
                              static_cast<int>(m_length), SQLITE_STATIC);
        }
        sqlite3_bind_int64(s, 11, m_today);
        code = write.run();
        sqlite3_clear_bindings(s);
        code = code == SQLITE_DONE ? SQLITE_OK : code;
    }
    m_lastFolderId = -1;
    for (std::size_t k = 0; code == SQLITE_OK && k < m_used.size(); ++k) {
        const TFiles& file = *m_used[k].file;
        sqlite3_bind_int64(used.get(), 1, m_used[k].folder);
        sqlite3_bind_blob(used.get(), 2, file.fName.data(), static_cast<int>(file.fName.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(used.get(), 3, m_today);
        code = used.run();
        code = code == SQLITE_DONE ? SQLITE_OK : code;
    }
    if (code != SQLITE_OK) {
        failed(code, "write");
        return false;
    }
    if (m_access != Access::ReadWrite)
        return false;
    m_kept.clear();
    m_used.clear();
    return true;
}

void DigestCache::save() {
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite)
        return;
    const bool cleanUp = m_lastCleanUp != m_today || m_kept.size() >= kCleanUpAfter;
    if (m_kept.empty() && m_used.empty() && !cleanUp)
        return; // a search of unchanged files writes nothing
    if (!execute("BEGIN IMMEDIATE", "write") || !writeBatch())
        return;
    if (cleanUp) {
        Statement old(m_db, "DELETE FROM files WHERE seen < ?1");
        Statement count(m_db, "SELECT count(*) FROM files");
        Statement oldest(m_db, "DELETE FROM files WHERE (folder, name) IN (SELECT folder, name "
                               "FROM files ORDER BY seen, folder, name LIMIT ?1)");
        Statement empty(m_db, "DELETE FROM folders WHERE id NOT IN (SELECT folder FROM files)");
        Statement done(m_db, "INSERT INTO meta(key, value) VALUES('cleanup', ?1) "
                             "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        int code = SQLITE_OK;
        for (const Statement* statement : {&old, &count, &oldest, &empty, &done})
            code = code != SQLITE_OK ? code : statement->prepared();
        if (code == SQLITE_OK) {
            sqlite3_bind_int64(old.get(), 1, m_today - m_limits.maxAgeDays);
            code = old.run();
        }
        if (code == SQLITE_DONE) {
            code = sqlite3_step(count.get());
            const std::int64_t records = sqlite3_column_int64(count.get(), 0);
            sqlite3_reset(count.get());
            if (code == SQLITE_ROW && records > m_limits.maxRecords) {
                sqlite3_bind_int64(oldest.get(), 1, records - m_limits.maxRecords);
                code = oldest.run();
            } else if (code == SQLITE_ROW) {
                code = SQLITE_DONE;
            }
        }
        if (code == SQLITE_DONE)
            code = empty.run();
        if (code == SQLITE_DONE) {
            sqlite3_bind_int64(done.get(), 1, m_today);
            code = done.run();
        }
        if (code != SQLITE_DONE) {
            failed(code, "write");
            return;
        }
        m_lastCleanUp = m_today;
    }
    execute("COMMIT", "write");
}

std::string DigestCache::problem() const {
    std::lock_guard lock(m_mutex);
    return m_problem;
}
