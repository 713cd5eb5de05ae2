#include "platform/NameOrder.h"

#include "tools/AsciiCase.h"

#include <algorithm>

bool nameLess(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(asciiLower(a[i]));
        auto cb = static_cast<unsigned char>(asciiLower(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}
