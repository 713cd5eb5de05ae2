#include "search/DigestPolicy.h"

#include "platform/MountTable.h"
#include "search/SrcHash.h"
#include "tools/GeneralTools.h"

namespace {

// The tick of the clock of the file system a file time came from, as far as the time shows it:
// a file system that keeps whole seconds (FAT keeps even ones) leaves the fraction zero, one
// that keeps hundredths leaves it a multiple of 10 ms. A file changed again within one tick
// would keep its time.
std::int64_t tickOf(std::int64_t ns) {
    constexpr std::int64_t kSecond = 1000000000;
    const std::int64_t fraction = ((ns % kSecond) + kSecond) % kSecond;
    if (fraction == 0)
        return 2 * kSecond;
    std::int64_t tick = 1;
    while (tick < kSecond / 10 && fraction % (tick * 10) == 0)
        tick *= 10;
    return tick;
}

} // namespace

DigestPolicy::DigestPolicy(std::size_t digestLength, std::int64_t startNs)
    : m_length(digestLength), m_startNs(startNs) {
}

DigestPolicy::Recalled DigestPolicy::recall(const StoredRecord& record, TFiles& file) {
    // A record made before such a file system was known to be unfit is not trusted either.
    if (!stableDevice(file))
        return {};
    if (record.size != file.fSize || record.inode != static_cast<std::int64_t>(file.fInode) ||
        record.modifiedNs != file.fModifiedNs || record.changedNs != file.fChangedNs)
        return {};
    Recalled recalled{true, false, RememberedKeys{record.prefix, record.content}};
    if (record.content && record.digest) {
        file.fHash = DigestText::ofBytes(record.digest->data(), m_length);
        file.fFingerprint = *record.content;
        recalled.digest = true;
    }
    return recalled;
}

bool DigestPolicy::settled(const TFiles& file) const {
    // A file whose times lie within one tick of its file system's clock of the start of the
    // search may change again (after it was read) without a change of its times. Whole-second
    // file systems thus keep only files left alone for two seconds.
    return file.fChangedNs + tickOf(file.fChangedNs) <= m_startNs &&
           file.fModifiedNs + tickOf(file.fModifiedNs) <= m_startNs;
}

bool DigestPolicy::stableDevice(const TFiles& file) {
    const auto [known, added] = m_stableDevices.try_emplace(file.fDevice, false);
    // A folder that is gone holds no file a record could be wrong about.
    if (added)
        known->second = fileIdentityIsStable(file.fPath.str()).value_or(true);
    return known->second;
}

std::optional<std::array<std::uint8_t, 20>> DigestPolicy::digestOf(const TFiles& file) const {
    std::array<std::uint8_t, 20> digest{};
    if (m_length == 0 || !file.fHash.bytes(digest.data(), m_length))
        return std::nullopt;
    return digest;
}
