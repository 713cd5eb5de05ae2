#include "search/SearchProgress.h"

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
    return snapshot;
}

void SearchProgress::reset() {
    std::lock_guard lock(m_mutex);
    m_currentFile.clear();
    m_directory.clear();
    ++m_generation;
    m_hashPercent.store(-1, std::memory_order_relaxed);
}
