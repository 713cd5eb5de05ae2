#pragma once

#include "search/TFiles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

// Digests of recently digested files together with their bytes, so that a file whose bytes
// equal one of them takes its digest without computing it again. Equality is always checked
// byte for byte; size and fingerprint only find the candidate. The bytes kept stay within a
// budget, the oldest dropped first. Safe to use from several threads.
class DigestMemo {
public:
    explicit DigestMemo(std::size_t budgetBytes) : m_budget(budgetBytes) {}

    // Writes the digest (`length` bytes) of content equal to `data` into `digest` and returns
    // true, or returns false when no such content is remembered.
    bool recall(const std::uint8_t* data, std::size_t size, const Fingerprint& fingerprint,
                std::uint8_t* digest, std::size_t length) const;
    void remember(const std::uint8_t* data, std::size_t size, const Fingerprint& fingerprint,
                  const std::uint8_t* digest, std::size_t length);
    void clear();

private:
    struct Key {
        std::size_t size;
        Fingerprint fingerprint;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    struct Entry {
        std::vector<std::uint8_t> bytes;
        std::array<std::uint8_t, 32> digest{};
        std::size_t length = 0;
    };

    const std::size_t m_budget;
    mutable std::mutex m_mutex;
    std::unordered_map<Key, Entry, KeyHash> m_entries;
    std::deque<Key> m_order;
    std::size_t m_used = 0;
};
