#pragma once

#include "search/SearchOptions.h"
#include "search/TFiles.h"

class DigestMemo;
class RunControl;
class SearchProgress;

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

using MD5_DIG = std::array<std::uint8_t, 16>;
using SHA1_DIG = std::array<std::uint8_t, 20>;

// Called after each chunk with (chunk count, stream size, position after the chunk).
using HashProgressCallback =
    std::function<void(std::uint32_t count, std::int64_t size, std::int64_t position)>;

constexpr std::size_t kHashChunkSize = 65535;

std::string DataToStr(const std::uint8_t* data, std::uint32_t count);
std::string MD5ToStr(const MD5_DIG& digest);
std::string SHA1ToStr(const SHA1_DIG& digest);

// Digest of the whole stream read from an open descriptor, in chunks of kHashChunkSize, with
// the fingerprint computed in the same read when `fingerprint` is given. A descriptor of -1
// does nothing and leaves the digest as it was. Returns false, leaving the digest unspecified,
// when the stream delivers less than its size or cannot be read.
bool MD5(int fd, const HashProgressCallback& callback, MD5_DIG& digest,
         Fingerprint* fingerprint = nullptr, RunControl* control = nullptr);
bool SHA1(int fd, const HashProgressCallback& callback, SHA1_DIG& digest,
          Fingerprint* fingerprint = nullptr, RunControl* control = nullptr);

struct HashResult {
    DigestText text; // empty: no digest
    Fingerprint fingerprint;
};

// Digest text of an open file; empty when the file cannot be read in full. With `control`, the read
// waits at its pause gate between chunks and gives up (empty text) when the run is asked to end.
// `knownSize`: the size from the caller's own fstat of `fd`, saving a second one.
// With `memo`, a file that fits one read takes the remembered digest of equal bytes, and its
// own digest is remembered otherwise.
HashResult hashOpenFile(HashKind kind, int fd, const HashProgressCallback& callback,
                        RunControl* control = nullptr, std::int64_t knownSize = -1,
                        DigestMemo* memo = nullptr);

// The most bytes a digest reads at once.
std::size_t hashReadSize();

// The calling thread's read buffer of hashReadSize() bytes, in which digests read. Other reads
// of the thread may use it between digests, so that each thread keeps one buffer.
std::uint8_t* threadReadBuffer();

// Opens the file and digests it as hashOpenFile does, by the kind's name "sha1" or "md5"
// (exact); a file that cannot be opened, or another kind, gives the empty text.
HashResult GetHash(const std::string& kind, const std::string& fileName,
                   const HashProgressCallback& callback, RunControl* control = nullptr);

// The percentage the window shows beside 'Hash progress:' for a progress report, or -1 when
// this report does not update it (only every third chunk does).
int hashPercentFor(std::uint32_t count, std::int64_t size, std::int64_t position);

// HashCallBack: a progress callback that shows the percentage of every third chunk.
HashProgressCallback HashCallBack(SearchProgress& progress);

// The 128-bit fingerprint (XXH3) of bytes in memory, and of the first `size` bytes of an open
// file; nothing when the file delivers less or the run is asked to end.
Fingerprint fingerprintOfBytes(const void* data, std::size_t size);
std::optional<Fingerprint> fingerprintOfFile(int fd, std::int64_t size, RunControl* control);

struct XXH3_state_s;

// The fingerprint of bytes given piece by piece: that of fingerprintOfBytes of them all.
class FingerprintStream {
public:
    FingerprintStream();
    void add(const void* data, std::size_t size);
    Fingerprint result() const;

private:
    std::unique_ptr<XXH3_state_s, void (*)(XXH3_state_s*)> m_state;
};

// The digest and fingerprint of bytes given piece by piece, in order: what hashOpenFile gives
// for a file of those bytes. For a pair of files compared byte for byte, so that the digest of
// an equal pair needs no third read.
class DigestStream {
public:
    explicit DigestStream(HashKind kind);
    ~DigestStream();
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;
    void add(const std::uint8_t* data, std::size_t size);
    HashResult result();

private:
    struct Contexts;
    std::unique_ptr<Contexts> m_contexts;
    FingerprintStream m_fingerprint;
};
