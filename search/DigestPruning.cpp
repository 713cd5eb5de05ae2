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
    StoreStatus status =
        store.run("DELETE FROM files WHERE seen < ?1", {today - m_limits.maxAgeDays});
    std::int64_t records = 0;
    if (status.ok())
        status = store.queryInteger("SELECT count(*) FROM files", records);
    if (status.ok() && records > m_limits.maxRecords) {
        status = store.run("DELETE FROM files WHERE (folder, name) IN (SELECT folder, name "
                           "FROM files ORDER BY seen, folder, name LIMIT ?1)",
                           {records - m_limits.maxRecords});
    }
    if (status.ok())
        status = store.run("DELETE FROM folders WHERE id NOT IN (SELECT folder FROM files)");
    if (status.ok())
        status = store.markCleanUp(today);
    return status;
}
