#include "platform/FileTime.h"

#include <array>

std::string formatTime(const char* format, const std::tm& tm) {
    std::array<char, 128> buffer{};
    std::size_t length = std::strftime(buffer.data(), buffer.size(), format, &tm);
    return std::string(buffer.data(), length);
}

std::string dateText(std::int64_t secondsSinceEpoch) {
    std::tm tm{};
    auto seconds = static_cast<std::time_t>(secondsSinceEpoch);
    if (localtime_r(&seconds, &tm) == nullptr) {
        tm = std::tm{};
        tm.tm_year = 0; // 1900
        tm.tm_mon = 0;
        tm.tm_mday = 1;
    }
    return formatTime("%x", tm);
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
    std::int64_t bucket =
        secondsSinceEpoch >= 0 ? secondsSinceEpoch / 900 : (secondsSinceEpoch - 899) / 900;
    if (bucket != m_lastBucket) {
        m_lastText = dateText(secondsSinceEpoch);
        m_lastBucket = bucket;
    }
    return m_lastText;
}
