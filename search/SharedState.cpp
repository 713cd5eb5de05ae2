#include "search/SharedState.h"

const char* finderPhaseText(FinderPhase phase) {
    switch (phase) {
    case FinderPhase::MatchFiles:
        return "matchfiles";
    case FinderPhase::PopulateList:
        return "populatelist";
    case FinderPhase::None:
        break;
    }
    return "";
}

TFiles& SharedState::appendFound(TFiles record) {
    aFilesFounded.push_back(std::move(record));
    iFilesFounded.store(static_cast<int>(aFilesFounded.size()), std::memory_order_relaxed);
    return aFilesFounded.back();
}

void SharedState::appendDuplicated(const TFiles& record) {
    aDuplicatedFiles.push_back(record);
    iDuplicatedFiles.store(static_cast<int>(aDuplicatedFiles.size()), std::memory_order_relaxed);
}
