#include "search/SearchEngine.h"

#include "platform/FileInUse.h"
#include "platform/LongPath.h"
#include "search/FileWalker.h"
#include "search/Matcher.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "search/SrcHash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool isExistingFolder(const std::string& text) {
    if (text.empty())
        return false;
    int fd = openLongPath(text, O_PATH | O_DIRECTORY);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

SearchEngine::SearchEngine(SharedState& state, RunControl& control, SearchProgress& progress)
    : m_state(state), m_control(control), m_progress(progress) {
}

bool SearchEngine::run(const std::string& folder, bool subfolders, const SearchOptions& options,
                       SearchHooks* hooks) {
    m_state.iFilesFounded = 0;
    m_state.iDuplicatedFiles = 0;
    m_state.iLastBytes = 0;
    m_state.iBar = 0;
    m_state.FinderOperation = FinderPhase::None;
    m_state.aFilesFounded.clear();
    m_state.aDuplicatedFiles.clear();

    m_state.sTSearch = options.searchSpeed;
    m_state.sTHash = options.hash;
    m_state.sTIgnoreEmptyFiles = options.ignoreEmptyFiles;
    if (hooks != nullptr)
        hooks->optionsRead();

    if (!isExistingFolder(folder))
        return false;

    FileWalker walker(m_state, m_control, m_progress);
    walker.FindIt(folder, "*.*", subfolders);

    m_state.FinderOperation = FinderPhase::MatchFiles;
    if (hooks != nullptr)
        hooks->walkEnded();
    if (!m_control.terminated() && m_state.iFilesFounded >= 1)
        matchFiles(m_state, m_control, [this](std::size_t index) { digestOnDemand(index); });
    if (hooks != nullptr)
        hooks->matchEnded();
    return true;
}

void SearchEngine::digestOnDemand(std::size_t index) {
    TFiles& file = m_state.aFilesFounded[index];
    if (!file.fHash.empty())
        return;
    const std::string fullName = file.fullName();
    ParentHandle parent(fullName);
    if (!parent.valid())
        return;
    struct stat st {};
    int fd = openRegularFileAt(parent.dirFd(), parent.leaf(), st);
    if (fd < 0)
        return;
    // A file replaced or resized since the walk is not the file that was compared by size.
    bool sameFile =
        st.st_dev == file.fDevice && st.st_ino == file.fInode && st.st_size == file.fSize;
    if (sameFile && !openFileIsInUse(fd, st, parent.dirFd(), parent.leaf())) {
        m_progress.setFileAndDirectory(file.fName, file.fPath);
        HashResult hash = hashOpenFile(m_state.sTHash, fd, HashCallBack(m_progress), &m_control);
        file.fHash = std::move(hash.text);
        file.fFingerprint = hash.fingerprint;
        m_progress.setHashPercent(100);
    }
    close(fd);
}
