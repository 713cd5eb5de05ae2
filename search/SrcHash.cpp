#include "search/SrcHash.h"

#include "platform/LongPath.h"
#include "search/DigestMemo.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "tools/GeneralTools.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

// The plain digest contexts are marked deprecated in OpenSSL 3 but stay part of it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

// Reads are larger than a chunk to keep system calls few; the digest and the progress
// reports still go chunk by chunk.
constexpr std::size_t kChunksPerRead = 2;

// The plain MD5 and SHA-1 contexts of libcrypto: the same assembly as its EVP interface, without
// the provider set-up that costs each process about 2 MiB of memory.
template <typename Ctx, int (*Init)(Ctx*), int (*Update)(Ctx*, const void*, std::size_t),
          int (*Final)(unsigned char*, Ctx*), std::size_t Length>
struct PlainContext {
    static constexpr std::size_t kLength = Length;
    Ctx ctx;
    bool init() { return Init(&ctx) == 1; }
    bool update(const void* data, std::size_t length) { return Update(&ctx, data, length) == 1; }
    bool final(std::uint8_t* out) { return Final(out, &ctx) == 1; }
};
using Md5Context = PlainContext<MD5_CTX, MD5_Init, MD5_Update, MD5_Final, MD5_DIGEST_LENGTH>;
using Sha1Context = PlainContext<SHA_CTX, SHA1_Init, SHA1_Update, SHA1_Final, SHA_DIGEST_LENGTH>;

Fingerprint toFingerprint(XXH128_hash_t hash) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    Fingerprint fingerprint;
    std::copy(std::begin(canonical.digest), std::end(canonical.digest), fingerprint.bytes.begin());
    return fingerprint;
}

// Reads `want` bytes at `position`; false when the file delivers less or cannot be read.
bool readFully(int fd, std::uint8_t* into, std::size_t want, std::int64_t position) {
    std::size_t got = 0;
    while (got < want) {
        ssize_t n = pread(fd, into + got, want - got, position + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // the file shrank or is unreadable
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Feeds bytes to the digest chunk by chunk, reporting each chunk.
template <typename Context>
bool digestChunks(Context& context, const std::uint8_t* data, std::size_t got, std::int64_t size,
                  std::int64_t& position, std::uint32_t& count,
                  const HashProgressCallback& callback) {
    for (std::size_t offset = 0; offset < got; offset += kHashChunkSize) {
        std::size_t length = std::min(kHashChunkSize, got - offset);
        if (!context.update(data + offset, length))
            return false;
        position += static_cast<std::int64_t>(length);
        ++count;
        if (callback)
            callback(count, size, position);
    }
    return true;
}

// A file read in one go, with the memo: its bytes may equal those of a file digested a moment
// ago, whose digest it then takes.
template <typename Context>
bool digestWhole(int fd, std::int64_t size, const HashProgressCallback& callback, std::uint8_t* out,
                 Fingerprint* fingerprint, RunControl* control, DigestMemo& memo) {
    std::uint8_t* const buffer = threadReadBuffer();
    const auto length = static_cast<std::size_t>(size);
    if (!readFully(fd, buffer, length, 0) || (control != nullptr && control->checkpoint()))
        return false;
    const Fingerprint key = fingerprintOfBytes(buffer, length);
    if (fingerprint != nullptr)
        *fingerprint = key;
    std::int64_t position = 0;
    std::uint32_t count = 0;
    if (memo.recall(buffer, length, key, out, Context::kLength)) {
        for (; position < size; position += static_cast<std::int64_t>(kHashChunkSize))
            if (callback)
                callback(++count, size, std::min(size, position + std::int64_t{kHashChunkSize}));
        return true;
    }
    Context context;
    if (!context.init() ||
        !digestChunks(context, buffer, length, size, position, count, callback) ||
        !context.final(out))
        return false;
    memo.remember(buffer, length, key, out, Context::kLength);
    return true;
}

template <typename Context>
bool digestStream(int fd, const HashProgressCallback& callback, std::uint8_t* out,
                  Fingerprint* fingerprint, RunControl* control, std::int64_t knownSize,
                  DigestMemo* memo) {
    struct stat st {};
    if (knownSize < 0 && fstat(fd, &st) != 0)
        return false;
    const std::int64_t size = knownSize >= 0 ? knownSize : st.st_size;
    std::uint8_t* const buffer = threadReadBuffer();
    const std::size_t bufferSize = hashReadSize();
    if (memo != nullptr && size > 0 && size <= static_cast<std::int64_t>(bufferSize))
        return digestWhole<Context>(fd, size, callback, out, fingerprint, control, *memo);

    Context context;
    if (!context.init())
        return false;
    XXH3_state_t xxState;
    if (fingerprint != nullptr)
        XXH3_128bits_reset(&xxState);
    if (size > static_cast<std::int64_t>(kHashChunkSize))
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::int64_t position = 0;
    std::uint32_t count = 0;
    while (position < size) {
        auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(size - position, static_cast<std::int64_t>(bufferSize)));
        if (!readFully(fd, buffer, want, position))
            return false;
        if (fingerprint != nullptr)
            XXH3_128bits_update(&xxState, buffer, want);
        if (!digestChunks(context, buffer, want, size, position, count, callback))
            return false;
        if (control != nullptr && control->checkpoint())
            return false;
    }
    if (!context.final(out))
        return false;
    if (fingerprint != nullptr)
        *fingerprint = toFingerprint(XXH3_128bits_digest(&xxState));
    return true;
}

} // namespace

std::string DataToStr(const std::uint8_t* data, std::uint32_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * static_cast<std::size_t>(count), '0');
    for (std::uint32_t i = 0; i < count; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 0xF];
    }
    return text;
}

std::string MD5ToStr(const MD5_DIG& digest) {
    return DataToStr(digest.data(), static_cast<std::uint32_t>(digest.size()));
}

std::string SHA1ToStr(const SHA1_DIG& digest) {
    return DataToStr(digest.data(), static_cast<std::uint32_t>(digest.size()));
}

namespace {
template <typename Context>
bool digestInto(int fd, const HashProgressCallback& callback,
                std::array<std::uint8_t, Context::kLength>& digest, Fingerprint* fingerprint,
                RunControl* control, std::int64_t knownSize = -1, DigestMemo* memo = nullptr) {
    if (fd < 0)
        return true;
    std::array<std::uint8_t, Context::kLength> result{};
    if (!digestStream<Context>(fd, callback, result.data(), fingerprint, control, knownSize, memo))
        return false;
    digest = result;
    return true;
}
} // namespace

bool MD5(int fd, const HashProgressCallback& callback, MD5_DIG& digest, Fingerprint* fingerprint,
         RunControl* control) {
    return digestInto<Md5Context>(fd, callback, digest, fingerprint, control);
}

bool SHA1(int fd, const HashProgressCallback& callback, SHA1_DIG& digest, Fingerprint* fingerprint,
          RunControl* control) {
    return digestInto<Sha1Context>(fd, callback, digest, fingerprint, control);
}

HashResult hashOpenFile(HashKind kind, int fd, const HashProgressCallback& callback,
                        RunControl* control, std::int64_t knownSize, DigestMemo* memo) {
    HashResult result;
    if (kind == HashKind::Sha1) {
        SHA1_DIG digest{};
        if (digestInto<Sha1Context>(fd, callback, digest, &result.fingerprint, control, knownSize,
                                    memo))
            result.text = DigestText::ofBytes(digest.data(), digest.size());
    } else {
        MD5_DIG digest{};
        if (digestInto<Md5Context>(fd, callback, digest, &result.fingerprint, control, knownSize,
                                   memo))
            result.text = DigestText::ofBytes(digest.data(), digest.size());
    }
    return result;
}

std::size_t hashReadSize() {
    return kHashChunkSize * kChunksPerRead;
}

std::uint8_t* threadReadBuffer() {
    thread_local std::vector<std::uint8_t> buffer(hashReadSize());
    return buffer.data();
}

HashResult GetHash(const std::string& kind, const std::string& fileName,
                   const HashProgressCallback& callback, RunControl* control) {
    const std::optional<HashKind> known = hashFromName(kind);
    if (!known)
        return {};
    int fd = openLongPath(fileName, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    struct stat st {};
    HashResult result;
    // Never read a FIFO or a device: it could block or never end.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        result = hashOpenFile(*known, fd, callback, control);
    close(fd);
    return result;
}

int hashPercentFor(std::uint32_t count, std::int64_t size, std::int64_t position) {
    if (count % 3 != 0 || size <= 0)
        return -1;
    return static_cast<int>(
        roundHalfEven(100.0 / static_cast<double>(size) * static_cast<double>(position)));
}

HashProgressCallback HashCallBack(SearchProgress& progress) {
    return [&progress](std::uint32_t count, std::int64_t size, std::int64_t position) {
        int percent = hashPercentFor(count, size, position);
        if (percent >= 0)
            progress.setHashPercent(percent);
    };
}

Fingerprint fingerprintOfBytes(const void* data, std::size_t size) {
    return toFingerprint(XXH3_128bits(data, size));
}

std::optional<Fingerprint> fingerprintOfFile(int fd, std::int64_t size, RunControl* control) {
    if (size > static_cast<std::int64_t>(kHashChunkSize))
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::uint8_t* const buffer = threadReadBuffer();
    FingerprintStream stream;
    for (std::int64_t position = 0; position < size;) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(size - position, static_cast<std::int64_t>(hashReadSize())));
        const ssize_t got = pread(fd, buffer, want, position);
        if (got <= 0 || (control != nullptr && control->checkpoint()))
            return std::nullopt;
        stream.add(buffer, static_cast<std::size_t>(got));
        position += got;
    }
    return stream.result();
}

FingerprintStream::FingerprintStream()
    : m_state(XXH3_createState(), [](XXH3_state_s* state) { XXH3_freeState(state); }) {
    XXH3_128bits_reset(m_state.get());
}

void FingerprintStream::add(const void* data, std::size_t size) {
    XXH3_128bits_update(m_state.get(), data, size);
}

Fingerprint FingerprintStream::result() const {
    return toFingerprint(XXH3_128bits_digest(m_state.get()));
}

struct DigestStream::Contexts {
    std::variant<Sha1Context, Md5Context> context;
    bool ok = true;
};

DigestStream::DigestStream(HashKind kind) : m_contexts(std::make_unique<Contexts>()) {
    if (kind == HashKind::Md5)
        m_contexts->context.emplace<Md5Context>();
    m_contexts->ok = std::visit([](auto& context) { return context.init(); }, m_contexts->context);
}

DigestStream::~DigestStream() = default;

void DigestStream::add(const std::uint8_t* data, std::size_t size) {
    m_contexts->ok =
        m_contexts->ok &&
        std::visit([&](auto& context) { return context.update(data, size); }, m_contexts->context);
    m_fingerprint.add(data, size);
}

HashResult DigestStream::result() {
    HashResult result;
    std::visit(
        [&](auto& context) {
            std::array<std::uint8_t, std::decay_t<decltype(context)>::kLength> digest{};
            if (m_contexts->ok && context.final(digest.data())) {
                result.text = DigestText::ofBytes(digest.data(), digest.size());
                result.fingerprint = m_fingerprint.result();
            }
        },
        m_contexts->context);
    m_contexts->ok = false;
    return result;
}
