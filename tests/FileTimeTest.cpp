#include "TempTree.h"
#include "platform/FileTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

namespace {

// Zones whose offsets are no multiple of a quarter hour, or that change at local midnight.
const char* const kZones[] = {
    "UTC0",
    "XYZ-0:07",
    "Africa/Monrovia",     // -0:44:30 before 1972
    "Asia/Kathmandu",      // +5:45
    "Australia/Lord_Howe", // half-hour daylight saving
    "America/Sao_Paulo",   // daylight saving began at midnight
    "EST5EDT,M3.2.0,M11.1.0",
    "AAA1BBB,M3.5.0/0:30,M10.5.0/0:30",
};

// Starts of runs of times, 37 seconds apart (no round step: offsets need not be whole minutes),
// that cross local midnights and daylight-saving changes of the zones above.
const std::int64_t kRunStarts[] = {
    31449600,   // 1970-12-31, Monrovia at -0:44:30
    1609372800, // 2020-12-31
    1541116800, // 2018-11-02, Sao Paulo's change at midnight on 11-04
    1615507200, // 2021-03-12, North America's change on 03-14
    1617235200, // 2021-04-01, Lord Howe on 04-04
    1616803200, // 2021-03-27, the last Sunday of March
    1635465600, // 2021-10-29, the last Sunday of October
};

TEST(DateTextCache, GivesTheUncachedDateInZonesOfAnyOffset) {
    for (const char* zone : kZones) {
        ZoneScope guard(zone);
        for (std::int64_t start : kRunStarts) {
            DateTextCache cache;
            int wrong = 0;
            for (std::int64_t t = start; t < start + 3 * 86400; t += 37) {
                if (cache.dateFor(t) != dateText(t) && ++wrong <= 3)
                    ADD_FAILURE() << zone << " at " << t << ": " << cache.dateFor(t)
                                  << " instead of " << dateText(t);
            }
        }
    }
}

TEST(DateTextCache, TwoTimesFortySecondsApartAcrossLocalMidnight) {
    ZoneScope guard("XYZ-0:07");
    // 23:59:50 and 00:00:30 local time, 7 minutes ahead of UTC.
    const std::int64_t beforeMidnight = 1609459200 - 7 * 60 - 10;
    DateTextCache cache;
    const std::string first = cache.dateFor(beforeMidnight);
    const std::string second = cache.dateFor(beforeMidnight + 40);
    EXPECT_EQ(first, dateText(beforeMidnight));
    EXPECT_EQ(second, dateText(beforeMidnight + 40));
    EXPECT_NE(first, second);
}

TEST(DateTextCache, RandomTimesAgreeWithTheUncachedDate) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> anyTime(-2208988800, 4102444800); // 1900-2100
    std::uniform_int_distribution<std::int64_t> nearby(-3600, 3600);
    for (const char* zone : kZones) {
        ZoneScope guard(zone);
        DateTextCache cache;
        std::int64_t t = anyTime(random);
        for (int k = 0; k < 20000; ++k) {
            t = k % 50 == 0 ? anyTime(random) : t + nearby(random);
            ASSERT_EQ(cache.dateFor(t), dateText(t)) << zone << " at " << t;
        }
    }
}

} // namespace
