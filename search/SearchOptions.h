#pragma once

#include <optional>
#include <string>
#include <string_view>

enum class HashKind { Sha1, Md5 };
// Fast digests only files whose size another file shares; Normal digests every file as it is
// found.
enum class SearchSpeed { Fast, Normal };

// The settings file's and the command line's words for them.
const char* hashName(HashKind kind);
std::optional<HashKind> hashFromName(std::string_view name);
const char* speedName(SearchSpeed speed);
std::optional<SearchSpeed> speedFromName(std::string_view name);

// Options of one search, as the settings file or the command line give them.
struct SearchOptions {
    SearchSpeed searchSpeed = SearchSpeed::Fast;
    HashKind hash = HashKind::Sha1;
    bool ignoreEmptyFiles = false; // files of size 0 are left out
    std::string digestCache;       // file of digests kept between searches; empty: none
};
