#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

// A file's digest held as its bytes and read as its lower-case hex text: 22 bytes in the record
// instead of a string's 32 and the 48 a 40-character text takes from the heap. A short text that
// is not hex (a label) is held as it is, so any text a record was given reads back unchanged.
class DigestText {
public:
    DigestText() = default;
    // Throws std::length_error for a text that is neither a digest nor 20 characters or fewer.
    DigestText(std::string_view text);
    DigestText(const std::string& text) : DigestText(std::string_view(text)) {}
    DigestText(const char* text) : DigestText(std::string_view(text)) {}
    static DigestText ofBytes(const std::uint8_t* bytes, std::size_t count);

    bool empty() const { return m_length == 0; }
    void clear() { *this = DigestText(); }
    std::size_t size() const { return m_hex ? 2 * m_length : m_length; }
    std::string str() const;
    // The digest's bytes, when it is a digest of `count` bytes.
    bool bytes(std::uint8_t* out, std::size_t count) const;
    // Equal texts give equal heads (its first bytes), so equal digests can be found by sorting
    // numbers; unequal ones may share a head.
    std::uint64_t head() const;

    // As the texts compare.
    friend bool operator==(const DigestText&, const DigestText&) = default;
    friend std::strong_ordering operator<=>(const DigestText& a, const DigestText& b);
    friend std::string operator+(const std::string& text, const DigestText& digest) {
        return text + digest.str();
    }
    friend std::string operator+(const DigestText& digest, const std::string& text) {
        return digest.str() + text;
    }
    friend std::ostream& operator<<(std::ostream& out, const DigestText& digest);

private:
    std::array<std::uint8_t, 20> m_bytes{}; // zero past m_length, so equal texts hold equal bytes
    std::uint8_t m_length = 0;
    bool m_hex = true;
};
