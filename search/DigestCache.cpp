#include "search/DigestCache.h"

#include <algorithm>
#include <ctime>
#include <string_view>

namespace {

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

} // namespace

DigestCache::DigestCache(const std::string& file, HashKind kind,
                         std::vector<FolderSpelling> folders, DigestCacheLimits limits,
                         bool mayReplace)
    : m_folders(std::move(folders)), m_pruning(limits), m_mayReplace(mayReplace),
      m_today(currentDay()), m_store(file, kind), m_policy(m_store.digestLength(), coarseNowNs()) {
    std::lock_guard lock(m_mutex);
    open();
}

DigestCache::~DigestCache() {
    close();
}

bool DigestCache::open() {
    const StoreStatus status = m_store.open();
    if (status.ok()) {
        opened();
        return true;
    }
    if (status.fault == StoreStatus::Fault::NotAFile) {
        m_problem = "the digest cache " + m_store.file() +
                    " is not a regular file; this search goes without it";
        return false;
    }
    if (status.fault == StoreStatus::Fault::Damaged)
        return m_mayReplace ? replaceFile() : leaveDamaged();
    failed(status, Step::Open);
    close();
    return false;
}

void DigestCache::opened() {
    m_readable = true;
    m_knowsFolders = false;
    for (const FolderSpelling& folder : m_folders) {
        bool holds = true; // a store that cannot tell is asked file by file
        m_store.holdsFolderUnder(folder.real, holds);
        m_knowsFolders = m_knowsFolders || holds;
    }
    if (m_store.writable()) {
        m_access = Access::ReadWrite;
        return;
    }
    m_access = Access::Read;
    if (m_problem.empty())
        m_problem = "the digest cache " + m_store.file() +
                    " is read-only: the digests of this search are not kept";
}

bool DigestCache::replaceFile() {
    close();
    const StoreStatus status = m_store.replace();
    if (status.fault == StoreStatus::Fault::Unremovable) {
        m_problem = "the digest cache " + m_store.file() + " is damaged and cannot be replaced (" +
                    status.message + "); this search goes without it";
        return false;
    }
    if (!status.ok()) {
        failed(status, Step::Open);
        close();
        return false;
    }
    opened();
    m_problem = "the digest cache " + m_store.file() + " was damaged and has been replaced";
    return true;
}

bool DigestCache::leaveDamaged() {
    close();
    m_problem = "the digest cache " + m_store.file() +
                " is damaged or not a digest cache; it is left as it is and this search goes "
                "without it";
    return false;
}

void DigestCache::close() {
    m_store.close();
    m_lastFolderId = -1;
    m_access = Access::None;
    m_readable = false;
}

void DigestCache::failed(const StoreStatus& status, Step step) {
    m_store.rollback();
    using Fault = StoreStatus::Fault;
    if (status.fault == Fault::Damaged && m_store.isOpen()) {
        forgetKept();
        if (m_mayReplace)
            replaceFile();
        else
            leaveDamaged();
        return;
    }
    const bool writing = step == Step::Write;
    const char* verb = writing ? "write" : step == Step::Open ? "open" : "read";
    if (writing) {
        m_access = m_access == Access::None ? Access::None : Access::Read;
        forgetKept();
    } else {
        m_readable = false;
    }
    if (!m_problem.empty())
        return;
    std::string what = "the digest cache " + m_store.file();
    if (status.fault == Fault::Busy)
        what += " is in use by another program";
    else if (status.fault == Fault::Moved)
        what += " was deleted or moved while the search ran";
    else if (status.fault == Fault::ReadOnly)
        what += " is read-only";
    else
        what += std::string(": cannot ") + verb + " it (" + status.message + ")";
    m_problem = what + (writing ? ": the digests of this search are not kept"
                                : ": this search goes without it");
}

bool DigestCache::check(const StoreStatus& status, Step step) {
    if (!status.ok())
        failed(status, step);
    return status.ok();
}

std::string DigestCache::folderKey(const TFiles& file) const {
    const std::string& folder = file.fPath.str();
    // The longest spelling that starts the folder: the root the file was found under.
    const FolderSpelling* under = nullptr;
    for (const FolderSpelling& root : m_folders) {
        if (folder.starts_with(root.text) &&
            (under == nullptr || root.text.size() > under->text.size()))
            under = &root;
    }
    if (under == nullptr)
        return folder;
    return under->real + folder.substr(under->text.size());
}

std::int64_t DigestCache::folderId(const TFiles& file) {
    // The files of one folder come one after another.
    if (m_lastFolderId >= 0 && file.fPath.str() == m_lastFolder)
        return m_lastFolderId;
    std::int64_t id = 0;
    if (!check(m_store.findFolder(folderKey(file), id), Step::Read))
        return -1;
    m_lastFolder = file.fPath.str();
    m_lastFolderId = id;
    return id;
}

bool DigestCache::knowsSearchedFolders() const {
    std::lock_guard lock(m_mutex);
    return m_readable && m_knowsFolders;
}

bool DigestCache::take(const StoredRecord& record, std::int64_t folder, FileTable& files,
                       std::size_t index, RememberedKeys* keys) {
    const DigestPolicy::Recalled recalled = m_policy.recall(record, files[index]);
    if (!recalled.matched)
        return false;
    if (keys != nullptr)
        *keys = recalled.keys;
    if (recalled.served() && record.seen < m_today)
        m_used.push_back(Used{folder, index});
    return recalled.digest;
}

bool DigestCache::recall(FileTable& files, std::size_t index, RememberedKeys* keys) {
    std::lock_guard lock(m_mutex);
    if (!m_readable)
        return false;
    const TFiles& file = files[index];
    const std::int64_t folder = folderId(file);
    if (folder <= 0)
        return false;
    std::optional<StoredRecord> record;
    if (!check(m_store.lookUp(folder, file.fName, record), Step::Read) || !record)
        return false;
    return take(*record, folder, files, index, keys);
}

bool DigestCache::recallFolder(FileTable& files, std::vector<std::size_t>& run,
                               std::vector<std::pair<std::size_t, RememberedKeys>>* keys) {
    const std::int64_t folder = folderId(files[run.front()]);
    if (folder < 0)
        return false; // failed() has ended the transaction, or replaced a damaged file
    if (folder == 0)
        return true;
    // Records come in the order of their names' bytes.
    auto byName = [&](std::size_t a, std::size_t b) { return files[a].fName < files[b].fName; };
    if (!std::is_sorted(run.begin(), run.end(), byName))
        std::sort(run.begin(), run.end(), byName);
    std::vector<std::string_view> names;
    names.reserve(run.size());
    for (std::size_t index : run)
        names.emplace_back(files[index].fName);
    auto found = [&](std::size_t k, const StoredRecord& record) {
        RememberedKeys recorded;
        const bool hit = take(record, folder, files, run[k], &recorded);
        // A digest comes with the content key; the first bytes' key may rule out others.
        if (keys != nullptr && (recorded.prefix || (recorded.content && !hit)))
            keys->emplace_back(run[k], recorded);
    };
    return check(m_store.scanFolder(folder, names, found), Step::Read);
}

void DigestCache::recall(FileTable& files, const std::vector<std::size_t>& indices,
                         std::vector<std::pair<std::size_t, RememberedKeys>>* keys) {
    std::lock_guard lock(m_mutex);
    if (!m_readable || indices.empty())
        return;
    // One read transaction: the file is locked and checked once, not once per file.
    if (!check(m_store.begin(), Step::Read))
        return;
    std::vector<std::size_t> run;
    for (std::size_t start = 0; start < indices.size();) {
        const std::string& folder = files[indices[start]].fPath.str();
        std::size_t end = start + 1;
        while (end < indices.size() && files[indices[end]].fPath.str() == folder)
            ++end;
        run.assign(indices.begin() + static_cast<std::ptrdiff_t>(start),
                   indices.begin() + static_cast<std::ptrdiff_t>(end));
        if (!recallFolder(files, run, keys))
            return;
        start = end;
    }
    check(m_store.commit(), Step::Read);
    if (keys != nullptr)
        std::sort(keys->begin(), keys->end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
}

void DigestCache::remember(const FileTable& files, std::size_t index) {
    if (m_policy.digestOf(files[index]))
        keep(files, index, KeptKind::Digest, files[index].fFingerprint);
}

void DigestCache::rememberPrefix(const FileTable& files, std::size_t index,
                                 const Fingerprint& prefix) {
    keep(files, index, KeptKind::Prefix, prefix);
}

void DigestCache::rememberContent(const FileTable& files, std::size_t index,
                                  const Fingerprint& content) {
    keep(files, index, KeptKind::Content, content);
}

void DigestCache::keep(const FileTable& files, std::size_t index, KeptKind kind,
                       const Fingerprint& key) {
    const TFiles& file = files[index];
    // A table of more files than the key holds goes without the rest.
    if (!m_policy.settled(file) || index >= (std::size_t{1} << 30))
        return;
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite || !m_policy.stableDevice(file))
        return;
    // Written once, when the search has ended: records come in the order files are read,
    // spread over the whole cache, and batches written as the search went on would rewrite
    // most of its pages each time (and hold up the threads that read the files).
    if (kind == KeptKind::Digest)
        m_keptDigests.push_back(static_cast<std::uint32_t>(index));
    else
        m_kept.push_back(
            {static_cast<std::uint32_t>(index << 2) | static_cast<std::uint32_t>(kind), key});
}

void DigestCache::forgetKept() {
    m_kept.clear();
    m_keptDigests.clear();
    m_used.clear();
}

bool DigestCache::writeBatch(const FileTable& files) {
    StoreStatus status = m_store.prepareWrites();
    // A table shorter than the one the indices were given for is not that table.
    std::erase_if(m_kept, [&](const Kept& kept) { return kept.index() >= files.size(); });
    std::erase_if(m_keptDigests, [&](std::uint32_t index) { return index >= files.size(); });
    std::erase_if(m_used, [&](const Used& used) { return used.index >= files.size(); });

    // In the order of the table: the walk gave each folder's files together, by name, so the
    // writes stay near one another and the folders new to the cache get rising ids. Folder ids
    // are looked up again in this transaction, as another program may have dropped one since.
    std::sort(m_kept.begin(), m_kept.end(),
              [](const Kept& a, const Kept& b) { return a.key < b.key; });
    std::sort(m_keptDigests.begin(), m_keptDigests.end());
    m_lastFolderId = -1;
    std::size_t k = 0;
    std::size_t d = 0;
    while (status.ok() && (k < m_kept.size() || d < m_keptDigests.size())) {
        const std::size_t index =
            std::min(k < m_kept.size() ? m_kept[k].index() : files.size(),
                     d < m_keptDigests.size() ? std::size_t{m_keptDigests[d]} : files.size());
        const TFiles& file = files[index];
        std::int64_t folder = folderId(file);
        if (folder == 0) {
            status = m_store.addFolder(folderKey(file), folder);
            if (!status.ok())
                break;
            m_lastFolder = file.fPath.str();
            m_lastFolderId = folder;
        }
        if (folder < 0)
            return false; // failed() has ended the transaction
        StoredRecord record;
        record.size = file.fSize;
        record.inode = static_cast<std::int64_t>(file.fInode);
        record.modifiedNs = file.fModifiedNs;
        record.changedNs = file.fChangedNs;
        record.seen = m_today;
        // What was kept of one file in several steps (its first bytes, then its digest) is
        // one record.
        for (; k < m_kept.size() && m_kept[k].index() == index; ++k) {
            if (m_kept[k].kind() == KeptKind::Prefix)
                record.prefix = m_kept[k].bytes;
            else
                record.content = m_kept[k].bytes;
        }
        // A digest once given is never taken back or changed, so the file holds it still.
        for (; d < m_keptDigests.size() && m_keptDigests[d] == index; ++d) {
            if (const auto digest = m_policy.digestOf(file)) {
                record.digest = *digest;
                record.content = file.fFingerprint;
            }
        }
        if (record.prefix || record.content || record.digest)
            status = m_store.write(folder, file.fName, record);
    }
    m_lastFolderId = -1;
    for (std::size_t u = 0; status.ok() && u < m_used.size(); ++u)
        status = m_store.markUsed(m_used[u].folder, files[m_used[u].index].fName, m_today);
    if (status.ok())
        status = m_store.flushWrites();
    if (!check(status, Step::Write))
        return false;
    if (m_access != Access::ReadWrite)
        return false;
    forgetKept();
    return true;
}

void DigestCache::save(const FileTable& files) {
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite)
        return;
    const bool cleanUp =
        m_pruning.due(m_store.lastCleanUp(), m_today, m_kept.size() + m_keptDigests.size());
    if (m_kept.empty() && m_keptDigests.empty() && m_used.empty() && !cleanUp)
        return; // a search of unchanged files writes nothing
    if (!check(m_store.beginWrite(), Step::Write) || !writeBatch(files))
        return;
    if (cleanUp && !check(m_pruning.prune(m_store, m_today), Step::Write))
        return;
    check(m_store.commit(), Step::Write);
}

std::string DigestCache::problem() const {
    std::lock_guard lock(m_mutex);
    return m_problem;
}
