#include "search/SearchEngine.h"

#include "platform/FileInUse.h"
#include "platform/LongPath.h"
#include "platform/SpecialFolders.h"
#include "search/DigestCache.h"
#include "search/DigestMemo.h"
#include "search/FileWalker.h"
#include "search/Matcher.h"
#include "search/OrderedCrew.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "search/SrcHash.h"

#include <algorithm>
#include <array>
#include <cstdlib>
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
    saveDigests(); // of the last run, whose records are about to go
    m_state.iFilesFounded = 0;
    m_state.iDuplicatedFiles = 0;
    m_state.iBar = 0;
    m_state.iBytesRead = 0;
    m_state.iBytesToRead = 0;
    m_state.FinderOperation = FinderPhase::None;
    m_state.aFilesFounded.clear();
    m_state.aDuplicatedFiles.clear();

    m_state.sTSearch = options.searchSpeed;
    m_state.sTHash = options.hash;
    m_state.sTIgnoreEmptyFiles = options.ignoreEmptyFiles;
    m_state.sTReferences = std::any_of(options.scope.folders.begin(), options.scope.folders.end(),
                                       [](const SearchFolder& f) { return f.reference; });
    m_cacheProblem.clear();
    m_folderProblem.clear();
    m_unreadFolders.clear();
    m_scopeNote.clear();
    m_passedOver = {};
    if (hooks != nullptr)
        hooks->optionsRead();

    if (!isExistingFolder(folder))
        return false;

    // The main folder first, then the further ones in their order.
    std::vector<SearchFolder> roots{SearchFolder{folder, false}};
    roots.insert(roots.end(), options.scope.folders.begin(), options.scope.folders.end());

    // Opened before the walk: its clock then starts before any file is looked at.
    m_openCache = openCache(roots, options);
    m_cache = m_openCache.get();
    FileWalker walker(m_state, m_control, m_progress, m_cache);
    walker.FindIt(roots, "*.*", subfolders, options.scope);
    for (const auto& [path, error] : walker.folderErrors()) {
        m_folderProblem += (m_folderProblem.empty() ? "" : "\n") + std::string("The folder \"") +
                           path + "\" could not be read: " + std::strerror(error) + ".";
    }
    m_passedOver = walker.passedOver();
    if (!walker.rootsInReference().empty()) {
        m_scopeNote = "These folders lie in a reference folder, so their files are compared but "
                      "never picked, moved or removed:\n";
        for (const std::string& root : walker.rootsInReference())
            m_scopeNote += root + "\n";
    }
    if (walker.unreadFolderCount() > 0) {
        m_unreadFolders = "These folders could not be read; their files are not in the result:\n";
        for (const auto& [path, error] : walker.unreadFolders())
            m_unreadFolders += path + " — " + std::strerror(error) + "\n";
        if (walker.unreadFolderCount() > walker.unreadFolders().size())
            m_unreadFolders +=
                "… and " +
                std::to_string(walker.unreadFolderCount() - walker.unreadFolders().size()) +
                " more.\n";
    }

    m_state.FinderOperation = FinderPhase::MatchFiles;
    if (hooks != nullptr)
        hooks->walkEnded();
    if (m_cache != nullptr && m_cache->knowsSearchedFolders() &&
        m_state.sTSearch == SearchSpeed::Fast && !m_control.terminated())
        recallCandidates();
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
        shortcut.digestPair = [this](const std::vector<std::size_t>& pair) { digestPair(pair); };
        matchFiles(
            m_state, m_control, [this](std::size_t index) { digestOnDemand(index); },
            [this](std::size_t index) { return prefixKey(index); }, OrderedCrew::defaultHelpers(),
            &shortcut);
    }
    if (m_cache != nullptr)
        m_cacheProblem = m_cache->problem(); // so far: saveDigests() may add to it
    m_cache = nullptr;
    std::vector<std::pair<std::size_t, RememberedKeys>>().swap(m_keys);
    if (hooks != nullptr)
        hooks->matchEnded();
    return true;
}

void SearchEngine::saveDigests() {
    if (!m_openCache)
        return;
    m_openCache->save(m_state.aFilesFounded);
    m_cacheProblem = m_openCache->problem();
    m_openCache.reset();
}

SearchEngine::~SearchEngine() {
    saveDigests();
}

std::unique_ptr<DigestCache> SearchEngine::openCache(const std::vector<SearchFolder>& roots,
                                                     const SearchOptions& options) {
    if (options.digestCache.empty())
        return nullptr;
    std::vector<FolderSpelling> spellings;
    for (const SearchFolder& root : roots) {
        char* real = ::realpath(root.path.c_str(), nullptr);
        if (real == nullptr)
            continue; // a folder too deep to name is searched without the cache
        std::string realFolder(real);
        std::free(real);
        if (realFolder.back() != '/')
            realFolder += '/';
        std::string folderText = root.path;
        if (folderText.back() != '/')
            folderText += '/';
        spellings.push_back({std::move(folderText), std::move(realFolder)});
    }
    if (spellings.empty())
        return nullptr;
    // A damaged file is replaced only in the user's own cache folder: a file named on the
    // command line may be anything.
    return std::make_unique<DigestCache>(options.digestCache, options.hash, std::move(spellings),
                                         DigestCacheLimits{},
                                         options.digestCache == digestCacheFile());
}

void SearchEngine::recallCandidates() {
    // Only files whose size another file shares are ever digested at this speed.
    const FileTable& files = m_state.aFilesFounded;
    std::vector<std::size_t> bySize = entriesBySize(files, files.size());
    auto sizeAt = [&](std::size_t k) { return files[bySize[k]].fSize; };
    std::vector<char> shared(files.size(), 0);
    for (std::size_t k = 0; k < bySize.size(); ++k) {
        if ((k > 0 && sizeAt(k - 1) == sizeAt(k)) ||
            (k + 1 < bySize.size() && sizeAt(k + 1) == sizeAt(k)))
            shared[bySize[k]] = 1;
    }
    std::vector<std::size_t>().swap(bySize);
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (shared[i])
            candidates.push_back(i);
    }
    std::vector<std::pair<std::size_t, RememberedKeys>> keys;
    m_cache->recall(m_state.aFilesFounded, candidates, &keys);

    // Keys serve only sizes of which some digest is missing: the others are not looked at.
    std::vector<std::int64_t> unknown;
    for (std::size_t index : candidates) {
        if (files[index].fHash.empty())
            unknown.push_back(files[index].fSize);
    }
    std::sort(unknown.begin(), unknown.end());
    m_keys.clear();
    for (auto& entry : keys) {
        if (std::binary_search(unknown.begin(), unknown.end(), files[entry.first].fSize))
            m_keys.push_back(std::move(entry));
    }
}

const RememberedKeys* SearchEngine::rememberedKeys(std::size_t index) const {
    const auto found = std::lower_bound(
        m_keys.begin(), m_keys.end(), index,
        [](const auto& entry, std::size_t wanted) { return entry.first < wanted; });
    return found != m_keys.end() && found->first == index ? &found->second : nullptr;
}

std::optional<Fingerprint> SearchEngine::prefixKey(std::size_t index) const {
    const TFiles& file = m_state.aFilesFounded[index];
    // A small file is read in one go by its digest; a look at its start would cost as much.
    if (file.fSize <= kPrefixMinimumSize)
        return std::nullopt;
    if (const RememberedKeys* known = rememberedKeys(index); known != nullptr && known->prefix)
        return known->prefix;
    int fd = openLongPath(file.fullName(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt; // the digest will find out
    std::array<char, kPrefixBytes> buffer;
    ssize_t got = pread(fd, buffer.data(), buffer.size(), 0);
    close(fd);
    if (got <= 0)
        return std::nullopt;
    const Fingerprint key = fingerprintOfBytes(buffer.data(), static_cast<std::size_t>(got));
    if (m_cache != nullptr && got == kPrefixBytes)
        m_cache->rememberPrefix(m_state.aFilesFounded, index, key);
    return key;
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
    // A reference file is only read: only a lock keeps it out.
    const bool inUse = file.fReference ? lockedByAnother(fd)
                                       : openFileIsInUse(fd, st, parent.dirFd(), parent.leaf());
    if (!sameFile || inUse) {
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
    showDigesting(file);
    HashResult hash =
        hashOpenFile(m_state.sTHash, fd, HashCallBack(m_progress), &m_control, file.fSize, memo);
    close(fd);
    giveDigest(index, std::move(hash));
}

void SearchEngine::showDigesting(const TFiles& file) {
    // The window shows the name at display rate: large files always, small ones now and then.
    if (file.fSize >= (1 << 20) || m_digestCount.fetch_add(1, std::memory_order_relaxed) % 64 == 0)
        m_progress.setFileAndDirectory(file.fName, file.fPath);
}

void SearchEngine::giveDigest(std::size_t index, HashResult hash) {
    TFiles& file = m_state.aFilesFounded[index];
    file.fHash = hash.text;
    file.fFingerprint = hash.fingerprint;
    m_progress.setHashPercent(100);
    if (m_cache != nullptr && !file.fHash.empty())
        m_cache->remember(m_state.aFilesFounded, index);
}

std::optional<Fingerprint> SearchEngine::contentKey(std::size_t index) const {
    const TFiles& file = m_state.aFilesFounded[index];
    // A digest remembered from an earlier search came with the same key of the same bytes.
    if (!file.fHash.empty())
        return file.fFingerprint;
    if (const RememberedKeys* known = rememberedKeys(index); known != nullptr && known->content)
        return known->content;
    const int fd = openRecorded(file);
    if (fd < 0)
        return std::nullopt;
    std::optional<Fingerprint> key = fingerprintOfFile(fd, file.fSize, &m_control);
    close(fd);
    if (m_cache != nullptr && key)
        m_cache->rememberContent(m_state.aFilesFounded, index, *key);
    return key; // without a key, the digest will find out
}

SearchEngine::Comparison
SearchEngine::compareContent(const TFiles& file, const TFiles& with, bool tailFirst,
                             std::optional<std::array<Fingerprint, 2>>* keys,
                             DigestStream* digest) const {
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
    // Files of one size that differ often differ at their end (tags, trailers, indexes): one
    // look there spares reading the rest.
    if (tailFirst && keys == nullptr && file.fSize > static_cast<std::int64_t>(chunk)) {
        const std::int64_t tail = file.fSize - static_cast<std::int64_t>(chunk);
        if (pread(a, left, chunk, tail) == static_cast<ssize_t>(chunk) &&
            pread(b, right, chunk, tail) == static_cast<ssize_t>(chunk) &&
            std::memcmp(left, right, chunk) != 0)
            result = Comparison::Differs;
    }
    std::optional<std::array<FingerprintStream, 2>> streams;
    if (keys != nullptr)
        streams.emplace();
    // Without keys to make, the first difference ends the comparison.
    for (std::int64_t position = 0; position < file.fSize && result != Comparison::Unreadable &&
                                    (result == Comparison::Equal || streams);) {
        ssize_t gotA = pread(a, left, chunk, position);
        ssize_t gotB = pread(b, right, chunk, position);
        if (gotA <= 0 || m_control.checkpoint()) {
            result = Comparison::Unreadable;
        } else if (gotB != gotA) {
            result = Comparison::Differs;
            streams.reset(); // a file that changed its size gets no key
        } else {
            if (std::memcmp(left, right, static_cast<std::size_t>(gotA)) != 0)
                result = Comparison::Differs;
            if (streams) {
                (*streams)[0].add(left, static_cast<std::size_t>(gotA));
                (*streams)[1].add(right, static_cast<std::size_t>(gotA));
            }
            if (digest != nullptr && result == Comparison::Equal)
                digest->add(right, static_cast<std::size_t>(gotA));
        }
        position += std::max<ssize_t>(gotA, 0);
    }
    // Keys only of two files read to their end.
    if (keys != nullptr && streams && result != Comparison::Unreadable)
        *keys = std::array{(*streams)[0].result(), (*streams)[1].result()};
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
        if (!file.fHash.empty())
            continue; // remembered from an earlier search
        const Comparison comparison =
            model.fHash.empty() ? Comparison::Differs : compareContent(file, model);
        if (comparison == Comparison::Equal) {
            takeDigestOf(alike[k], first);
        } else if (comparison == Comparison::Differs) {
            digestOnDemand(alike[k]); // equal keys, different bytes: its own digest decides
        }
    }
}

void SearchEngine::digestPair(const std::vector<std::size_t>& pair) {
    TFiles& file = m_state.aFilesFounded[pair[1]];
    const TFiles& model = m_state.aFilesFounded[pair[0]];
    // Keys remembered from an earlier search may tell the two apart without reading.
    const RememberedKeys* modelKeys = rememberedKeys(pair[0]);
    const RememberedKeys* fileKeys = rememberedKeys(pair[1]);
    if (modelKeys != nullptr && fileKeys != nullptr && modelKeys->content && fileKeys->content &&
        *modelKeys->content != *fileKeys->content)
        return;
    // With the cache, both are read to their end and keyed even when they differ, so that a
    // later search reads neither. The model is digested as it is read.
    showDigesting(model);
    std::optional<std::array<Fingerprint, 2>> keys;
    DigestStream digest(m_state.sTHash);
    const Comparison comparison = m_cache != nullptr
                                      ? compareContent(file, model, false, &keys, &digest)
                                      : compareContent(file, model, true, nullptr, &digest);
    if (keys) {
        m_cache->rememberContent(m_state.aFilesFounded, pair[1], (*keys)[0]);
        m_cache->rememberContent(m_state.aFilesFounded, pair[0], (*keys)[1]);
    }
    // Two files that differ are no one's duplicates; one that cannot be read is no one's either.
    if (comparison != Comparison::Equal)
        return;
    giveDigest(pair[0], digest.result());
    if (!model.fHash.empty())
        takeDigestOf(pair[1], pair[0]);
}

void SearchEngine::takeDigestOf(std::size_t index, std::size_t model) {
    TFiles& file = m_state.aFilesFounded[index];
    file.fHash = m_state.aFilesFounded[model].fHash;
    file.fFingerprint = m_state.aFilesFounded[model].fFingerprint;
    if (m_cache != nullptr)
        m_cache->remember(m_state.aFilesFounded, index);
}
