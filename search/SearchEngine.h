#pragma once

#include "search/DigestCache.h"
#include "search/SearchOptions.h"
#include "search/SrcHash.h"
#include "search/TFiles.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>
#include <string>

class DigestMemo;
struct SharedState;
class RunControl;
class SearchProgress;

// Points at which a front end changes its display between the phases of a search. They run
// on the searching thread, in this order.
class SearchHooks {
public:
    virtual ~SearchHooks() = default;
    // The options are in the shared state; the walk is about to start.
    virtual void optionsRead() {}
    // The walk has ended and the phase is "matchfiles".
    virtual void walkEnded() {}
    // The matching has ended (or was skipped).
    virtual void matchEnded() {}
};

// Runs the walk and the matching of a search into the shared state.
class SearchEngine {
public:
    SearchEngine(SharedState& state, RunControl& control, SearchProgress& progress);
    // Saves the digests of the last run that saveDigests() has not saved.
    ~SearchEngine();
    SearchEngine(const SearchEngine&) = delete;
    SearchEngine& operator=(const SearchEngine&) = delete;

    // Resets the shared state, copies the options into it and, when `folder` names an existing
    // folder (links followed), walks it and the further folders of the options' scope, and
    // matches their files. Returns whether the folder existed. Never throws for a file that
    // cannot be read: such a file matches nothing.
    bool run(const std::string& folder, bool subfolders, const SearchOptions& options,
             SearchHooks* hooks = nullptr);

    // Why folders of the last run could not be read ("The folder ... could not be read: ..."),
    // one line each, for the user; empty when they could.
    const std::string& folderProblem() const { return m_folderProblem; }
    // The subfolders the last run could not read, as a message for the user, one folder a line;
    // empty when it read them all.
    const std::string& unreadFolders() const { return m_unreadFolders; }
    // Folders given as normal that lie in a reference folder, as a message for the user; empty
    // when there are none.
    const std::string& scopeNote() const { return m_scopeNote; }
    // What the last run's walk left out, by reason.
    const PassedOver& passedOver() const { return m_passedOver; }

    // Why the last run's digest cache was not (fully) used, as a line for the user; empty when
    // it was, or when there was none.
    const std::string& cacheProblem() const { return m_cacheProblem; }

    // Writes what the last run read into its digest cache. A front end calls it once it has
    // shown the result, which need not wait for the writing; the next run and the engine's end
    // do it otherwise. The records of the last run must still be in the shared state.
    void saveDigests();

    // Computes the digest of aFilesFounded[index] if the file is still the one that was found
    // and is not in use; otherwise leaves it empty.
    void digestOnDemand(std::size_t index) { digestOnDemand(index, nullptr); }

    // A key of the first 4 KiB of a file larger than 16 KiB, or nothing.
    std::optional<Fingerprint> prefixKey(std::size_t index) const;

    // Large files of one size are keyed by their whole content (XXH3-128, far cheaper than the
    // digest); files with one key are digested once and the others compared byte for byte.
    std::optional<Fingerprint> contentKey(std::size_t index) const;
    void digestAlike(const std::vector<std::size_t>& alike);
    void digestPair(const std::vector<std::size_t>& pair);
    static constexpr std::int64_t kShortcutMinimumSize = 1 << 20;

    // Files of one size that their digest reads in one go are digested one after another,
    // each remembered with its bytes for the next: a copy takes the digest after a byte
    // comparison. Below the minimum, digesting costs less than remembering.
    void digestBatch(const std::vector<std::size_t>& members);
    static constexpr std::int64_t kMemoMinimumSize = 4096;
    static constexpr std::size_t kMemoBudget = 1 << 19;

private:
    enum class Comparison { Equal, Differs, Unreadable };

    // Opens the file of a record if it is still the file that was found and is not in use.
    int openRecorded(const TFiles& file) const;
    // With `tailFirst`, the last bytes are compared before the rest. With `keys`, both files
    // are read to their end, whether they differ or not, and keyed as contentKey() does.
    // `keys` stays empty when either file could not be read to its end. With `digest`, the
    // bytes of `with` are digested as they are read: its digest when the two are found equal.
    Comparison compareContent(const TFiles& file, const TFiles& with, bool tailFirst = false,
                              std::optional<std::array<Fingerprint, 2>>* keys = nullptr,
                              DigestStream* digest = nullptr) const;
    // Gives files[index] the digest of files[model], whose bytes it was found to equal.
    void takeDigestOf(std::size_t index, std::size_t model);
    void digestOnDemand(std::size_t index, DigestMemo* memo);
    // Shows the file being digested: large files always, small ones now and then.
    void showDigesting(const TFiles& file);
    // Gives files[index] the digest made of its bytes, and tells the cache.
    void giveDigest(std::size_t index, HashResult hash);
    std::unique_ptr<DigestCache> openCache(const std::vector<SearchFolder>& roots,
                                           const SearchOptions& options);
    void recallCandidates();
    const RememberedKeys* rememberedKeys(std::size_t index) const;

    SharedState& m_state;
    RunControl& m_control;
    SearchProgress& m_progress;
    std::atomic<unsigned> m_digestCount{0};
    std::unique_ptr<DigestCache> m_openCache; // from the start of a run until saveDigests()
    DigestCache* m_cache = nullptr;           // during a run with a cache
    // Keys the cache holds of files whose size class it does not know every digest of, by index.
    std::vector<std::pair<std::size_t, RememberedKeys>> m_keys;
    std::string m_cacheProblem;
    std::string m_folderProblem;
    std::string m_unreadFolders;
    std::string m_scopeNote;
    PassedOver m_passedOver;
};

// Whether the text names an existing folder, links followed.
bool isExistingFolder(const std::string& text);
