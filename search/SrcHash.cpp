#include "search/SrcHash.h"

#include "platform/LongPath.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Reads are larger than a chunk to keep system calls few; the digest and the progress
// reports still go chunk by chunk.
constexpr std::size_t kChunksPerRead = 4;

struct MdDeleter {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct CtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

const EVP_MD* fetchedDigest(const char* name) {
    // Fetch once: an implicit fetch per file is costly with OpenSSL 3.
    static std::unique_ptr<EVP_MD, MdDeleter> md5(EVP_MD_fetch(nullptr, "MD5", nullptr));
    static std::unique_ptr<EVP_MD, MdDeleter> sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr));
    return std::string_view(name) == "MD5" ? md5.get() : sha1.get();
}

std::vector<std::uint8_t>& readBuffer() {
    thread_local std::vector<std::uint8_t> buffer(kHashChunkSize * kChunksPerRead);
    return buffer;
}

Fingerprint toFingerprint(XXH128_hash_t hash) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    Fingerprint fingerprint;
    std::copy(std::begin(canonical.digest), std::end(canonical.digest), fingerprint.bytes.begin());
    return fingerprint;
}

bool digestStream(int fd, const EVP_MD* md, const HashProgressCallback& callback, std::uint8_t* out,
                  Fingerprint* fingerprint, RunControl* control, std::int64_t knownSize) {
    struct stat st {};
    if (md == nullptr || (knownSize < 0 && fstat(fd, &st) != 0))
        return false;
    const std::int64_t size = knownSize >= 0 ? knownSize : st.st_size;
    std::unique_ptr<EVP_MD_CTX, CtxDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return false;
    XXH3_state_t xxState;
    if (fingerprint != nullptr)
        XXH3_128bits_reset(&xxState);
    if (size > static_cast<std::int64_t>(kHashChunkSize))
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    auto& buffer = readBuffer();
    std::int64_t position = 0;
    std::uint32_t count = 0;
    while (position < size) {
        auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(size - position, static_cast<std::int64_t>(buffer.size())));
        std::size_t got = 0;
        while (got < want) {
            ssize_t n =
                pread(fd, buffer.data() + got, want - got, position + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false; // short or failed read: the file shrank or is unreadable
            got += static_cast<std::size_t>(n);
        }
        if (fingerprint != nullptr)
            XXH3_128bits_update(&xxState, buffer.data(), got);
        for (std::size_t offset = 0; offset < got; offset += kHashChunkSize) {
            std::size_t length = std::min(kHashChunkSize, got - offset);
            if (EVP_DigestUpdate(ctx.get(), buffer.data() + offset, length) != 1)
                return false;
            position += static_cast<std::int64_t>(length);
            ++count;
            if (callback)
                callback(count, size, position);
        }
        if (control != nullptr && control->checkpoint())
            return false;
    }
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &length) != 1)
        return false;
    if (fingerprint != nullptr) {
        *fingerprint = toFingerprint(XXH3_128bits_digest(&xxState));
    }
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
template <std::size_t N>
bool digestInto(const char* name, int fd, const HashProgressCallback& callback,
                std::array<std::uint8_t, N>& digest, Fingerprint* fingerprint, RunControl* control,
                std::int64_t knownSize = -1) {
    if (fd < 0)
        return true;
    std::array<std::uint8_t, N> result{};
    if (!digestStream(fd, fetchedDigest(name), callback, result.data(), fingerprint, control,
                      knownSize))
        return false;
    digest = result;
    return true;
}
} // namespace

bool MD5(int fd, const HashProgressCallback& callback, MD5_DIG& digest, Fingerprint* fingerprint,
         RunControl* control) {
    return digestInto("MD5", fd, callback, digest, fingerprint, control);
}

bool SHA1(int fd, const HashProgressCallback& callback, SHA1_DIG& digest, Fingerprint* fingerprint,
          RunControl* control) {
    return digestInto("SHA1", fd, callback, digest, fingerprint, control);
}

HashResult hashOpenFile(const std::string& kind, int fd, const HashProgressCallback& callback,
                        RunControl* control, std::int64_t knownSize) {
    HashResult result;
    if (kind == "sha1") {
        SHA1_DIG digest{};
        if (digestInto("SHA1", fd, callback, digest, &result.fingerprint, control, knownSize))
            result.text = SHA1ToStr(digest);
    } else if (kind == "md5") {
        MD5_DIG digest{};
        if (digestInto("MD5", fd, callback, digest, &result.fingerprint, control, knownSize))
            result.text = MD5ToStr(digest);
    }
    return result;
}

HashResult GetHash(const std::string& kind, const std::string& fileName,
                   const HashProgressCallback& callback, RunControl* control) {
    int fd = openLongPath(fileName, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    struct stat st {};
    HashResult result;
    // Never read a FIFO or a device: it could block or never end.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        result = hashOpenFile(kind, fd, callback, control);
    close(fd);
    return result;
}

int hashPercentFor(std::uint32_t count, std::int64_t size, std::int64_t position) {
    if (count % 3 != 0 || size <= 0)
        return -1;
    return static_cast<int>(
        std::nearbyint(100.0 / static_cast<double>(size) * static_cast<double>(position)));
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
    auto& buffer = readBuffer();
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    for (std::int64_t position = 0; position < size;) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(size - position, static_cast<std::int64_t>(buffer.size())));
        const ssize_t got = pread(fd, buffer.data(), want, position);
        if (got <= 0 || (control != nullptr && control->checkpoint()))
            return std::nullopt;
        XXH3_128bits_update(&state, buffer.data(), static_cast<std::size_t>(got));
        position += got;
    }
    return toFingerprint(XXH3_128bits_digest(&state));
}
