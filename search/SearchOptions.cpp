#include "search/SearchOptions.h"

const char* hashName(HashKind kind) {
    return kind == HashKind::Sha1 ? "sha1" : "md5";
}

std::optional<HashKind> hashFromName(std::string_view name) {
    if (name == "sha1")
        return HashKind::Sha1;
    if (name == "md5")
        return HashKind::Md5;
    return std::nullopt;
}

const char* speedName(SearchSpeed speed) {
    return speed == SearchSpeed::Fast ? "fast" : "normal";
}

std::optional<SearchSpeed> speedFromName(std::string_view name) {
    if (name == "fast")
        return SearchSpeed::Fast;
    if (name == "normal")
        return SearchSpeed::Normal;
    return std::nullopt;
}
