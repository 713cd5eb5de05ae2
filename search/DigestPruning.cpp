#include "search/DigestPruning.h"

#include "search/DigestStore.h"

namespace {

// A search that wrote this many records cleans up at once rather than on the next day.
constexpr std::size_t kCleanUpAfter = 10000;

} // namespace

bool DigestPruning::due(std::int64_t lastCleanUp, std::int64_t today, std::size_t written) const {
    return lastCleanUp != today || written >= kCleanUpAfter;
}

StoreStatus DigestPruning::prune(DigestStore& store, std::int64_t today) const {
    // Records age by days: once a day is enough to drop the old ones. After a search that wrote
    // many, only the count is checked; a cache never cleaned up is new and holds nothing old.
    StoreStatus status;
    std::int64_t removed = 0;
    if (store.lastCleanUp() != today && store.lastCleanUp() >= 0) {
        status = store.run("DELETE FROM files WHERE seen < ?1", {today - m_limits.maxAgeDays});
        removed += store.changes();
    }
    std::int64_t records = 0;
    if (status.ok())
        status = store.queryInteger("SELECT count(*) FROM files", records);
    if (status.ok() && records > m_limits.maxRecords) {
        status = store.run("DELETE FROM files WHERE (folder, name) IN (SELECT folder, name "
                           "FROM files ORDER BY seen, folder, name LIMIT ?1)",
                           {records - m_limits.maxRecords});
        removed += store.changes();
    }
    // Folders lose their last records only by the deletes above.
    if (status.ok() && removed > 0)
        status = store.run("DELETE FROM folders WHERE id NOT IN (SELECT folder FROM files)");
    if (status.ok())
        status = store.markCleanUp(today);
    return status;
}
