#pragma once

#include <cstddef>
#include <functional>

struct SharedState;
class RunControl;

// Fills the digest (fHash and fFingerprint) of entry `index` of aFilesFounded, leaving fHash
// empty when the file cannot be digested. Called at most once per entry.
using DigestOnDemand = std::function<void(std::size_t index)>;

// Groups the entries of aFilesFounded into aDuplicatedFiles, group by group.
//
// Fast speed: files match when size, digest and fingerprint agree; only files whose size
// another file shares are digested, each once, in the order the outer file of a pairwise scan
// would meet them. Normal speed: the digests made during the walk are compared (with their
// fingerprints). Any other speed matches nothing.
//
// Groups appear in the order of their first members; inside a group the other members come
// in found order and the first member last (A, B, C, D, E with A=C=E and B=D give C, E, A, D,
// B). This is exactly the result of comparing every ordered pair, computed in O(n log n).
void matchFiles(SharedState& state, RunControl& control, const DigestOnDemand& digest);
