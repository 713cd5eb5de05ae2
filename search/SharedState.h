#pragma once

#include "search/SearchOptions.h"
#include "search/TFiles.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The phase the search worker is in, as the progress display follows it.
enum class FinderPhase : int {
    None,         // walking, or no search yet
    MatchFiles,   // "matchfiles"
    PopulateList, // "populatelist"
};

const char* finderPhaseText(FinderPhase phase);

// State shared by the window and the one worker that runs at a time. The worker writes the
// tables; the window reads only the atomics while a run goes on.
struct SharedState {
    FileTable aFilesFounded;
    std::atomic<int> iFilesFounded{0};
    std::vector<TFiles> aDuplicatedFiles;
    std::atomic<int> iDuplicatedFiles{0};

    std::atomic<FinderPhase> FinderOperation{FinderPhase::None};
    std::atomic<int> iBar{0};
    // The matching's reading: bytes read so far of the bytes it plans to read (the plan shrinks
    // as files are ruled out), for progress in bytes and an estimate of the time left.
    std::atomic<std::int64_t> iBytesRead{0};
    std::atomic<std::int64_t> iBytesToRead{0};

    // Search options, copied from the settings when a search starts.
    SearchSpeed sTSearch = SearchSpeed::Fast;
    HashKind sTHash = HashKind::Sha1;
    bool sTIgnoreEmptyFiles = false;
    bool sTReferences = false; // some folder of the search is a reference folder

    // Appends a record to aFilesFounded and keeps iFilesFounded equal to its length.
    TFiles& appendFound(TFiles record);
    // Appends a record to aDuplicatedFiles and keeps iDuplicatedFiles equal to its length.
    void appendDuplicated(const TFiles& record);
};
