#include "platform/FileTime.h"

#include <array>

std::string formatTime(const char* format, const std::tm& tm) {
    std::array<char, 128> buffer{};
    std::size_t length = std::strftime(buffer.data(), buffer.size(), format, &tm);
    return std::string(buffer.data(), length);
}

namespace {
std::tm localDate(std::int64_t secondsSinceEpoch) {
    std::tm tm{};
    auto seconds = static_cast<std::time_t>(secondsSinceEpoch);
    if (localtime_r(&seconds, &tm) == nullptr) {
        tm = std::tm{};
        tm.tm_year = 0; // 1900
        tm.tm_mon = 0;
        tm.tm_mday = 1;
    }
    return tm;
}

// Everything "%x" could show: the date, and the zone in case a locale writes it.
bool sameDate(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday && a.tm_mon == b.tm_mon &&
           a.tm_mday == b.tm_mday && a.tm_wday == b.tm_wday && a.tm_isdst == b.tm_isdst &&
           a.tm_gmtoff == b.tm_gmtoff;
}
} // namespace

std::string dateText(std::int64_t secondsSinceEpoch) {
    return formatTime("%x", localDate(secondsSinceEpoch));
}

namespace {
std::tm nowLocal() {
    std::tm tm{};
    std::time_t now = std::time(nullptr);
    localtime_r(&now, &tm);
    return tm;
}
} // namespace

std::string currentDateText() {
    return formatTime("%x", nowLocal());
}

std::string currentTimeText() {
    return formatTime("%X", nowLocal());
}

const std::string& DateTextCache::dateFor(std::int64_t secondsSinceEpoch) {
    // Files written together often share their second; that needs no conversion at all.
    if (!m_empty && secondsSinceEpoch == m_lastSeconds)
        return m_lastText;
    const std::tm tm = localDate(secondsSinceEpoch);
    if (m_empty || !sameDate(tm, m_lastDate)) {
        m_lastText = formatTime("%x", tm);
        m_lastDate = tm;
        m_empty = false;
    }
    m_lastSeconds = secondsSinceEpoch;
    return m_lastText;
}
