#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The date of a modification time in local time, as the locale writes a short date ("%x").
// A time that cannot be converted gives 1 January 1900 in that format.
std::string dateText(std::int64_t secondsSinceEpoch);

// Today's date ("%x") and the current time ("%X") under the user's locale.
std::string currentDateText();
std::string currentTimeText();

// strftime of a broken-down time; exposed for tests of the fallback date.
std::string formatTime(const char* format, const std::tm& tm);

// dateText with a memory of the last answer. The local time is worked out every time (zone
// offsets need not fall on any round number of minutes); only the formatting is saved while
// the local date stays the same.
class DateTextCache {
public:
    const std::string& dateFor(std::int64_t secondsSinceEpoch);

private:
    std::int64_t m_lastSeconds = 0;
    std::tm m_lastDate{};
    bool m_empty = true;
    std::string m_lastText;
};
