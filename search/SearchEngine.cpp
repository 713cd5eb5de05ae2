#include "search/SearchEngine.h"

#include "platform/FileInUse.h"
#include "platform/LongPath.h"
#include "search/FileWalker.h"
#include "search/Matcher.h"
#include "search/OrderedTasks.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "search/SrcHash.h"

#include <xxhash.h>

#include <array>
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
    if (!m_control.terminated() && m_state.iFilesFounded >= 1) {
        matchFiles(
            m_state, m_control, [this](std::size_t index) { digestOnDemand(index); },
            [this](std::size_t index) { return prefixKey(index); }, OrderedTasks::defaultThreads());
    }
    if (hooks != nullptr)
        hooks->matchEnded();
    return true;
}

std::optional<Fingerprint> SearchEngine::prefixKey(std::size_t index) const {
    const TFiles& file = m_state.aFilesFounded[index];
    // A small file is read in one go by its digest; a look at its start would cost as much.
    if (file.fSize <= static_cast<std::int64_t>(kPrefixMinimumSize))
        return std::nullopt;
    int fd = openLongPath(file.fullName(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt; // the digest will find out
    std::array<char, kPrefixBytes> buffer;
    ssize_t got = pread(fd, buffer.data(), buffer.size(), 0);
    close(fd);
    if (got <= 0)
        return std::nullopt;
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical,
                             XXH3_128bits(buffer.data(), static_cast<std::size_t>(got)));
    Fingerprint key;
    std::copy(std::begin(canonical.digest), std::end(canonical.digest), key.bytes.begin());
    return key;
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
        // The window shows the name at display rate: large files always, small ones now and then.
        if (file.fSize >= (1 << 20) ||
            m_digestCount.fetch_add(1, std::memory_order_relaxed) % 64 == 0)
            m_progress.setFileAndDirectory(file.fName, file.fPath);
        HashResult hash =
            hashOpenFile(m_state.sTHash, fd, HashCallBack(m_progress), &m_control, st.st_size);
        file.fHash = std::move(hash.text);
        file.fFingerprint = hash.fingerprint;
        m_progress.setHashPercent(100);
    }
    close(fd);
}
