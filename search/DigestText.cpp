#include "search/DigestText.h"

#include "search/SrcHash.h"
#include "tools/GeneralTools.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <stdexcept>

namespace {

int lowerHexValue(char c) {
    return c >= 'A' && c <= 'F' ? -1 : hexDigitValue(c);
}

} // namespace

DigestText::DigestText(std::string_view text) {
    // Only lower-case hex is read as bytes, so each text has one form and == compares texts.
    const bool hex =
        text.size() % 2 == 0 && text.size() <= 2 * m_bytes.size() &&
        std::all_of(text.begin(), text.end(), [](char c) { return lowerHexValue(c) >= 0; });
    if (hex) {
        for (std::size_t i = 0; i < text.size() / 2; ++i)
            m_bytes[i] = static_cast<std::uint8_t>(lowerHexValue(text[2 * i]) << 4 |
                                                   lowerHexValue(text[2 * i + 1]));
        m_length = static_cast<std::uint8_t>(text.size() / 2);
        return;
    }
    if (text.size() > m_bytes.size())
        throw std::length_error("a digest text of " + std::to_string(text.size()) + " characters");
    std::copy(text.begin(), text.end(), m_bytes.begin());
    m_length = static_cast<std::uint8_t>(text.size());
    m_hex = false;
}

DigestText DigestText::ofBytes(const std::uint8_t* bytes, std::size_t count) {
    DigestText digest;
    if (count > digest.m_bytes.size())
        throw std::length_error("a digest of " + std::to_string(count) + " bytes");
    std::copy(bytes, bytes + count, digest.m_bytes.begin());
    digest.m_length = static_cast<std::uint8_t>(count);
    return digest;
}

std::string DigestText::str() const {
    if (!m_hex)
        return std::string(m_bytes.begin(), m_bytes.begin() + m_length);
    return DataToStr(m_bytes.data(), m_length);
}

bool DigestText::bytes(std::uint8_t* out, std::size_t count) const {
    if (!m_hex || m_length != count)
        return false;
    std::copy_n(m_bytes.begin(), count, out);
    return true;
}

std::uint64_t DigestText::head() const {
    std::uint64_t head = 0;
    std::memcpy(&head, m_bytes.data(), sizeof head);
    return head ^ (std::uint64_t{m_length} << 1 | (m_hex ? 1 : 0));
}

std::strong_ordering operator<=>(const DigestText& a, const DigestText& b) {
    // Hex texts order as their bytes do, a shorter one first where one begins the other.
    if (a.m_hex && b.m_hex)
        return std::lexicographical_compare_three_way(
            a.m_bytes.begin(), a.m_bytes.begin() + a.m_length, b.m_bytes.begin(),
            b.m_bytes.begin() + b.m_length);
    return a.str() <=> b.str();
}

std::ostream& operator<<(std::ostream& out, const DigestText& digest) {
    return out << digest.str();
}
