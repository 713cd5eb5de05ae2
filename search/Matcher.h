#pragma once

#include "search/TFiles.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

struct SharedState;
class RunControl;

// Fills the digest (fHash and fFingerprint) of entry `index` of aFilesFounded, leaving fHash
// empty when the file cannot be digested. Called at most once per entry.
using DigestOnDemand = std::function<void(std::size_t index)>;

// A key of the first bytes of entry `index`, or nothing when it has none worth comparing.
using PrefixOf = std::function<std::optional<Fingerprint>(std::size_t index)>;

// What a look at a file's first bytes (prefixOf) reads. A file of kPrefixMinimumSize bytes or
// less is read in one go by its digest, which costs as much: its size is not looked at.
constexpr std::int64_t kPrefixBytes = 4096;
constexpr std::int64_t kPrefixMinimumSize = 16384;

// Groups the entries of aFilesFounded into aDuplicatedFiles, group by group. A group of
// reference files only is left out (and a size class of them only is not read).
//
// Fast speed: files match when size, digest and fingerprint agree; only files whose size
// another file shares are digested, each once, in the order the outer file of a pairwise scan
// would meet them. Normal speed: the digests made during the walk are compared (with their
// fingerprints). Any other speed matches nothing.
//
// Groups appear in the order of their first members; inside a group the other members come
// in found order and the first member last (A, B, C, D, E with A=C=E and B=D give C, E, A, D,
// B). This is exactly the result of comparing every ordered pair, computed in O(n log n).
//
// With `prefixOf`, a file whose prefix key differs from that of every other file of its size is
// not digested (it cannot equal any of them); nullopt means "no key: digest it". Digests and
// prefix keys are computed on `threads` threads and the caller's; called concurrently for
// different entries.
// With `shortcut`, large files are keyed by their whole content first (cheap), and each set of
// same-size files with one key is handed to digestAlike, which digests one of them and gives
// the others that digest only when their bytes are equal.
//
// An entry whose fHash is set before matching (a digest remembered from an earlier search) is
// not read: digestOnDemand leaves it as it is, and a size class of such entries only is neither
// looked at by `prefixOf` nor keyed by `shortcut`.
//
// With `digestPair`, a size class of exactly two such large files, neither with a known digest,
// is not keyed but handed whole to digestPair, which compares their bytes and gives them a digest
// only when they are equal: two files that differ are no one's duplicates.
//
// With `batched` true for a file, the files of its size are digested by one task, one after
// another (in runs of at most kBatchSize), through digestBatch; so a copy can take the digest
// of an equal file digested before it instead of computing it again.
struct ContentShortcut {
    std::function<bool(std::size_t index)> applies;
    std::function<std::optional<Fingerprint>(std::size_t index)> key;
    std::function<void(const std::vector<std::size_t>& alike)> digestAlike;
    std::function<bool(std::size_t index)> batched;
    std::function<void(const std::vector<std::size_t>& members)> digestBatch;
    std::function<void(const std::vector<std::size_t>& pair)> digestPair = nullptr;
    static constexpr std::size_t kBatchSize = 64;
};

// The first `n` entries of `files` by size, those of one size in table order.
std::vector<std::size_t> entriesBySize(const FileTable& files, std::size_t n);

void matchFiles(SharedState& state, RunControl& control, const DigestOnDemand& digest,
                const PrefixOf& prefixOf = nullptr, unsigned threads = 1,
                const ContentShortcut* shortcut = nullptr);

// Groups of records with equal content (equal, non-empty digests and equal fingerprints), each
// with its members in table order; the groups in the order of their first members.
std::vector<std::vector<std::size_t>> groupsOfEqualContent(const std::vector<TFiles>& files);
std::vector<std::vector<std::size_t>> groupsOfEqualContent(const FileTable& files);

// The result table rebuilt from its records after an operation: each group once, at the place
// of its lowest-index member, the other members in index order and that member last; records
// without a digest, or whose content no other record shares, and groups of reference files only
// are dropped.
std::vector<TFiles> regroupedResult(const std::vector<TFiles>& slots);
