#pragma once

#include "search/DateText.h"
#include "search/DigestText.h"
#include "search/FolderText.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>

// Second fingerprint, computed in the same read as the digest, so that two files whose
// MD5 or SHA-1 texts collide are still told apart.
struct Fingerprint {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const Fingerprint&) const = default;
    auto operator<=>(const Fingerprint&) const = default;
};

// What has been done to a file since the search.
enum FileStatus : std::int32_t {
    fsFound = 0,
    fsCopied = 1,
    fsMoved = 2,
};

// One found file. Names and folders are raw bytes as the file system holds them.
struct TFiles {
    std::string fName;      // name without folder
    std::int64_t fSize = 0; // bytes; -1 marks an entry the fast matcher has finished with
    DateText fModified;     // local date text of the last modification
    FolderText fPath;       // folder, always ending in "/"; shared by the files of one folder
    std::int32_t fStatus = fsFound;
    bool fReference = false; // in a reference folder: compared, never picked, moved or removed
    DigestText fHash;        // lower-case hex digest; empty while not computed or unavailable

    // Identity of the file when it was found, so later operations can tell whether the file
    // on disk is still the one that was compared.
    std::uint64_t fDevice = 0;
    std::uint64_t fInode = 0;
    std::int64_t fModifiedNs = 0; // modification time, nanoseconds since the epoch
    std::int64_t fChangedNs = 0;  // change time (ctime), nanoseconds since the epoch
    Fingerprint fFingerprint;

    std::string fullName() const { return fPath + fName; }
};

// The table of found files. A deque grows without moving its records, so a large walk never
// holds two copies of the table at once, and a reference to a record stays valid.
using FileTable = std::deque<TFiles>;
