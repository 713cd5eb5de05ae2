#include "search/SearchProgress.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

void SearchProgress::setCurrentFile(const std::string& name) {
    std::lock_guard lock(m_mutex);
    m_currentFile = name;
    ++m_generation;
}

void SearchProgress::setFileAndDirectory(const std::string& name, const std::string& folder) {
    std::lock_guard lock(m_mutex);
    m_currentFile = name;
    m_directory = folder;
    ++m_generation;
}

void SearchProgress::setHashPercent(int percent) {
    m_hashPercent.store(percent, std::memory_order_relaxed);
}

SearchProgress::Snapshot SearchProgress::snapshot() const {
    std::lock_guard lock(m_mutex);
    return {m_currentFile, m_directory, m_hashPercent.load(std::memory_order_relaxed),
            m_generation};
}

RunSnapshot runSnapshot(const SharedState& state, const SearchProgress& progress) {
    RunSnapshot snapshot;
    static_cast<SearchProgress::Snapshot&>(snapshot) = progress.snapshot();
    snapshot.phase = state.FinderOperation.load();
    snapshot.filesFound = state.iFilesFounded.load();
    snapshot.duplicated = state.iDuplicatedFiles.load();
    snapshot.bar = state.iBar.load();
    snapshot.bytesRead = state.iBytesRead.load(std::memory_order_relaxed);
    snapshot.bytesToRead = state.iBytesToRead.load(std::memory_order_relaxed);
    return snapshot;
}

void SearchProgress::reset() {
    std::lock_guard lock(m_mutex);
    m_currentFile.clear();
    m_directory.clear();
    ++m_generation;
    m_hashPercent.store(-1, std::memory_order_relaxed);
}

std::string bytesText(std::int64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return std::to_string(std::max<std::int64_t>(bytes, 0)) + " B";
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::optional<std::int64_t> secondsLeft(std::int64_t read, std::int64_t toRead, double elapsed) {
    if (elapsed < 2 || read <= 0 || toRead < read)
        return std::nullopt;
    const double rate = static_cast<double>(read) / elapsed;
    return static_cast<std::int64_t>(static_cast<double>(toRead - read) / rate + 0.5);
}

std::string readingText(std::int64_t read, std::int64_t toRead, std::optional<std::int64_t> left) {
    if (toRead <= 0)
        return {};
    std::string text = "read " + bytesText(std::min(read, toRead)) + " of " + bytesText(toRead);
    if (left) {
        const std::int64_t hours = *left / 3600;
        const std::int64_t minutes = *left / 60 % 60;
        const std::int64_t seconds = *left % 60;
        char clock[48];
        if (hours > 0)
            std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld", static_cast<long long>(hours),
                          static_cast<long long>(minutes), static_cast<long long>(seconds));
        else
            std::snprintf(clock, sizeof clock, "%lld:%02lld", static_cast<long long>(minutes),
                          static_cast<long long>(seconds));
        text += std::string(", about ") + clock + " left";
    }
    return text;
}

std::string ReadingClock::text(const RunSnapshot& run) {
    if (run.bytesToRead <= 0)
        return {};
    const auto now = std::chrono::steady_clock::now();
    if (!m_since)
        m_since = now;
    const double elapsed = std::chrono::duration<double>(now - *m_since).count();
    return readingText(run.bytesRead, run.bytesToRead,
                       secondsLeft(run.bytesRead, run.bytesToRead, elapsed));
}
