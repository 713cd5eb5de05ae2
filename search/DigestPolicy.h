#pragma once

#include "search/DigestStore.h"
#include "search/TFiles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

// Keys of a file's bytes that the fast matcher compares before any digest, as kept by the cache.
struct RememberedKeys {
    std::optional<Fingerprint> prefix;  // of the first bytes (SearchEngine::prefixKey)
    std::optional<Fingerprint> content; // of the whole content (SearchEngine::contentKey)
};

// Which stored record a found file may take its digest from, and which of what a search read
// is worth storing. A record serves only while the file's path, size, inode, modification time
// and change time all match it, on a file system that keeps them.
class DigestPolicy {
public:
    // What a record gave a file.
    struct Recalled {
        bool matched = false; // the record is of the file as it is now
        bool digest = false;  // the file took the record's digest
        RememberedKeys keys;  // the record's keys, when it matched

        // Whether the record was of use, and so is to live on.
        bool served() const { return digest || keys.prefix || keys.content; }
    };

    // `digestLength`: the bytes of a digest of the cache's kind; `startNs`: when the search
    // began, on the clock file times come from.
    DigestPolicy(std::size_t digestLength, std::int64_t startNs);

    // Sets fHash and fFingerprint of `file` when `record` matches it and holds its digest.
    Recalled recall(const StoredRecord& record, TFiles& file);

    // Whether the times of `file` lie far enough before the search began for what was read of
    // it to be stored. Safe to call from several threads.
    bool settled(const TFiles& file) const;
    // Whether the file system of `file` keeps inode numbers and change times a record can rest
    // on (not FAT, exFAT, FUSE).
    bool stableDevice(const TFiles& file);
    // The bytes of the digest text of `file`, or nothing when it is not one of the cache's kind.
    std::optional<std::array<std::uint8_t, 20>> digestOf(const TFiles& file) const;

private:
    const std::size_t m_length;
    const std::int64_t m_startNs;
    // Per device: whether its file system is fit.
    std::unordered_map<std::uint64_t, bool> m_stableDevices;
};
