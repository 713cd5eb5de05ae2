#pragma once

#include "search/SharedState.h"

#include <atomic>
#include <mutex>
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
};

RunSnapshot runSnapshot(const SharedState& state, const SearchProgress& progress);
