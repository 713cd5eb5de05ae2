#include "search/SearchEngine.h"

#include "platform/FileInUse.h"
#include "platform/LongPath.h"
#include "search/DigestMemo.h"
#include "search/FileWalker.h"
#include "search/Matcher.h"
#include "search/OrderedTasks.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "search/SrcHash.h"

#include <array>
#include <cstring>
#include <vector>
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
        ContentShortcut shortcut{
            [this](std::size_t index) {
                return m_state.aFilesFounded[index].fSize >= kShortcutMinimumSize;
            },
            [this](std::size_t index) { return contentKey(index); },
            [this](const std::vector<std::size_t>& alike) { digestAlike(alike); },
            [this](std::size_t index) {
                const std::int64_t size = m_state.aFilesFounded[index].fSize;
                return size >= kMemoMinimumSize &&
                       size <= static_cast<std::int64_t>(hashReadSize());
            },
            [this](const std::vector<std::size_t>& members) { digestBatch(members); }};
        matchFiles(
            m_state, m_control, [this](std::size_t index) { digestOnDemand(index); },
            [this](std::size_t index) { return prefixKey(index); }, OrderedTasks::defaultThreads(),
            &shortcut);
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
    return fingerprintOfBytes(buffer.data(), static_cast<std::size_t>(got));
}

int SearchEngine::openRecorded(const TFiles& file) const {
    ParentHandle parent(file.fullName());
    if (!parent.valid())
        return -1;
    struct stat st {};
    int fd = openRegularFileAt(parent.dirFd(), parent.leaf(), st);
    if (fd < 0)
        return -1;
    // A file replaced or resized since the walk is not the file that was compared by size.
    const bool sameFile =
        st.st_dev == file.fDevice && st.st_ino == file.fInode && st.st_size == file.fSize;
    if (!sameFile || openFileIsInUse(fd, st, parent.dirFd(), parent.leaf())) {
        close(fd);
        return -1;
    }
    return fd;
}

void SearchEngine::digestBatch(const std::vector<std::size_t>& members) {
    DigestMemo memo(kMemoBudget);
    for (std::size_t member : members) {
        if (m_control.terminated())
            return;
        digestOnDemand(member, &memo);
    }
}

void SearchEngine::digestOnDemand(std::size_t index, DigestMemo* memo) {
    TFiles& file = m_state.aFilesFounded[index];
    if (!file.fHash.empty())
        return;
    const int fd = openRecorded(file);
    if (fd < 0)
        return;
    // The window shows the name at display rate: large files always, small ones now and then.
    if (file.fSize >= (1 << 20) || m_digestCount.fetch_add(1, std::memory_order_relaxed) % 64 == 0)
        m_progress.setFileAndDirectory(file.fName, file.fPath);
    HashResult hash =
        hashOpenFile(m_state.sTHash, fd, HashCallBack(m_progress), &m_control, file.fSize, memo);
    file.fHash = std::move(hash.text);
    file.fFingerprint = hash.fingerprint;
    m_progress.setHashPercent(100);
    close(fd);
}

std::optional<Fingerprint> SearchEngine::contentKey(std::size_t index) const {
    const TFiles& file = m_state.aFilesFounded[index];
    const int fd = openRecorded(file);
    if (fd < 0)
        return std::nullopt;
    std::optional<Fingerprint> key = fingerprintOfFile(fd, file.fSize, &m_control);
    close(fd);
    return key; // without a key, the digest will find out
}

SearchEngine::Comparison SearchEngine::compareContent(const TFiles& file,
                                                      const TFiles& with) const {
    const int a = openRecorded(file);
    if (a < 0)
        return Comparison::Unreadable;
    const int b = openRecorded(with);
    if (b < 0) {
        close(a);
        return Comparison::Differs; // let the file's own digest decide
    }
    // The two halves of the thread's read buffer, which no digest uses meanwhile.
    const std::size_t chunk = hashReadSize() / 2;
    std::uint8_t* left = threadReadBuffer();
    std::uint8_t* right = left + chunk;
    Comparison result = Comparison::Equal;
    for (std::int64_t position = 0; position < file.fSize && result == Comparison::Equal;) {
        ssize_t gotA = pread(a, left, chunk, position);
        ssize_t gotB = pread(b, right, chunk, position);
        if (gotA <= 0 || m_control.checkpoint())
            result = Comparison::Unreadable;
        else if (gotB != gotA || std::memcmp(left, right, static_cast<std::size_t>(gotA)) != 0)
            result = Comparison::Differs;
        position += std::max<ssize_t>(gotA, 0);
    }
    close(a);
    close(b);
    return result;
}

void SearchEngine::digestAlike(const std::vector<std::size_t>& alike) {
    // One digest for files whose bytes are equal: the digest text is the same for all of them.
    const std::size_t first = alike.front();
    digestOnDemand(first);
    const TFiles& model = m_state.aFilesFounded[first];
    for (std::size_t k = 1; k < alike.size(); ++k) {
        TFiles& file = m_state.aFilesFounded[alike[k]];
        const Comparison comparison =
            model.fHash.empty() ? Comparison::Differs : compareContent(file, model);
        if (comparison == Comparison::Equal) {
            file.fHash = model.fHash;
            file.fFingerprint = model.fFingerprint;
        } else if (comparison == Comparison::Differs) {
            digestOnDemand(alike[k]); // equal keys, different bytes: its own digest decides
        }
    }
}
