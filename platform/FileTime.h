#pragma once

#include <climits>
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

// dateText with a memory of recent answers: every time zone offset and daylight-saving change
// falls on a quarter hour, so all times of one quarter hour share their local date.
class DateTextCache {
public:
    const std::string& dateFor(std::int64_t secondsSinceEpoch);

private:
    std::int64_t m_lastBucket = INT64_MIN;
    std::string m_lastText;
};
