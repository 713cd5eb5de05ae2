#include "search/DigestMemo.h"

#include <algorithm>
#include <cstring>

std::size_t DigestMemo::KeyHash::operator()(const Key& key) const {
    std::size_t hash = 0;
    std::memcpy(&hash, key.fingerprint.bytes.data(), sizeof hash);
    return hash ^ key.size;
}

bool DigestMemo::recall(const std::uint8_t* data, std::size_t size, const Fingerprint& fingerprint,
                        std::uint8_t* digest, std::size_t length) const {
    std::lock_guard lock(m_mutex);
    auto found = m_entries.find(Key{size, fingerprint});
    if (found == m_entries.end() || found->second.length != length ||
        std::memcmp(found->second.bytes.data(), data, size) != 0)
        return false;
    std::memcpy(digest, found->second.digest.data(), length);
    return true;
}

void DigestMemo::remember(const std::uint8_t* data, std::size_t size,
                          const Fingerprint& fingerprint, const std::uint8_t* digest,
                          std::size_t length) {
    if (size > m_budget || length > Entry{}.digest.size())
        return;
    std::lock_guard lock(m_mutex);
    Key key{size, fingerprint};
    if (m_entries.contains(key))
        return; // equal keys with other bytes keep the first; the other is digested each time
    while (m_used + size > m_budget && !m_order.empty()) {
        auto oldest = m_entries.find(m_order.front());
        m_used -= oldest->second.bytes.size();
        m_entries.erase(oldest);
        m_order.pop_front();
    }
    Entry entry;
    entry.bytes.assign(data, data + size);
    std::copy(digest, digest + length, entry.digest.begin());
    entry.length = length;
    m_entries.emplace(key, std::move(entry));
    m_order.push_back(key);
    m_used += size;
}

void DigestMemo::clear() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
    m_order.clear();
    m_used = 0;
}
