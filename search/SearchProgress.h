#pragma once

#include "search/SharedState.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// High-rate texts of a run (current file, its folder, the hash percentage). The worker
// writes them as often as it likes; the window reads a snapshot at display rate.
class SearchProgress {
public:
    struct Snapshot {
        std::string currentFile;
        std::string directory;
        int hashPercent = -1; // -1: not set since the last reset
        unsigned generation = 0;
    };

    void setCurrentFile(const std::string& name);
    void setFileAndDirectory(const std::string& name, const std::string& folder);
    void setHashPercent(int percent);
    int hashPercent() const { return m_hashPercent.load(std::memory_order_relaxed); }

    Snapshot snapshot() const;
    void reset();

private:
    mutable std::mutex m_mutex;
    std::string m_currentFile;
    std::string m_directory;
    unsigned m_generation = 0;
    std::atomic<int> m_hashPercent{-1};
};

// A run as a front end shows it at one moment: the counters of the shared state with the texts
// of the progress. The window's labels and the command line's progress line render the same.
struct RunSnapshot : SearchProgress::Snapshot {
    FinderPhase phase = FinderPhase::None;
    int filesFound = 0;
    int duplicated = 0;
    int bar = 0; // the file or row under way, from 0
    std::int64_t bytesRead = 0;
    std::int64_t bytesToRead = 0; // 0: nothing to read, or not known
};

RunSnapshot runSnapshot(const SharedState& state, const SearchProgress& progress);

// A size for people, in powers of 1024 with one decimal: "12 B", "340.0 KiB", "1.2 GiB".
std::string bytesText(std::int64_t bytes);

// Seconds left of a reading that has read `read` of `toRead` bytes in `elapsed` seconds, at the
// rate so far; none until the rate means something (two seconds and some bytes read).
std::optional<std::int64_t> secondsLeft(std::int64_t read, std::int64_t toRead, double elapsed);

// The reading of the matching as the command line's progress line and the window's bar show
// it: "read 1.2 GiB of 3.4 GiB", then ", about 1:02 left" (or "about 1:02:03 left") when an
// estimate is given; empty when nothing is to be read.
std::string readingText(std::int64_t read, std::int64_t toRead, std::optional<std::int64_t> left);

// The reading of one run with its estimate, timed from the first moment it is seen.
class ReadingClock {
public:
    std::string text(const RunSnapshot& run);
    void reset() { m_since.reset(); }

private:
    std::optional<std::chrono::steady_clock::time_point> m_since;
};
