#pragma once

#include <cstddef>
#include <cstdint>

class DigestStore;
struct StoreStatus;

// How long records live: those neither written nor used for maxAgeDays are dropped, and beyond
// maxRecords those used longest ago. The clean-up runs once a day, and after a search that wrote
// many records.
struct DigestCacheLimits {
    std::int64_t maxAgeDays = 90;
    std::int64_t maxRecords = 4000000; // about 100 bytes each on disk
};

// The clean-up of a digest store: when it is due and which records it drops.
class DigestPruning {
public:
    explicit DigestPruning(DigestCacheLimits limits) : m_limits(limits) {}

    // Whether a save on `today` that writes `written` records cleans up too.
    bool due(std::int64_t lastCleanUp, std::int64_t today, std::size_t written) const;
    // Drops old records, then the excess, then folders left without records, and notes the day;
    // in the store's open write transaction.
    StoreStatus prune(DigestStore& store, std::int64_t today) const;

private:
    const DigestCacheLimits m_limits;
};
