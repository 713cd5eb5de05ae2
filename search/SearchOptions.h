#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class HashKind { Sha1, Md5 };
// Fast digests only files whose size another file shares; Normal digests every file as it is
// found.
enum class SearchSpeed { Fast, Normal };

// An option's word in the settings file and on the command line, and the value it stands for.
template <typename T> struct OptionWord {
    const char* text;
    T value;
};
template <typename T, std::size_t N>
std::optional<T> valueOfWord(const OptionWord<T> (&words)[N], std::string_view text) {
    for (const OptionWord<T>& word : words) {
        if (text == word.text)
            return word.value;
    }
    return std::nullopt;
}
template <typename T, std::size_t N>
const char* wordOfValue(const OptionWord<T> (&words)[N], T value) {
    for (const OptionWord<T>& word : words) {
        if (word.value == value)
            return word.text;
    }
    return "";
}

inline constexpr OptionWord<HashKind> kHashWords[] = {{"sha1", HashKind::Sha1},
                                                      {"md5", HashKind::Md5}};
inline constexpr OptionWord<SearchSpeed> kSpeedWords[] = {{"fast", SearchSpeed::Fast},
                                                          {"normal", SearchSpeed::Normal}};

const char* hashName(HashKind kind);
std::optional<HashKind> hashFromName(std::string_view name);
const char* speedName(SearchSpeed speed);
std::optional<SearchSpeed> speedFromName(std::string_view name);

// A folder searched beside the main one. The files of a reference folder are compared and
// listed but never picked, moved or removed.
struct SearchFolder {
    std::string path;
    bool reference = false;
    bool operator==(const SearchFolder&) const = default;
};

// What a search covers beyond its main folder, and what it leaves out beyond its designed rules.
struct SearchScope {
    std::vector<SearchFolder> folders; // searched after the main folder, in this order
    std::int64_t minSize =
        0; // smaller files are not compared (files of size 0 go by their own option)
    std::int64_t maxSize = -1; // larger files are not compared; -1: no bound
    // Shell patterns: one without "/" matches a file's or folder's name, one with "/" the path
    // below the searched folder ("*" not crossing a "/", "**" crossing any; a leading "/" is
    // that folder). One that ends with "/" matches folders only. A matching folder is not
    // entered.
    std::vector<std::string> excludes;

    // Whether the entry `name`, at `below` under the searched folder ("a/b/name"), is left out.
    bool leavesOut(const std::string& name, const std::string& below, bool folder) const;
    bool sizeFits(std::int64_t size) const {
        return size == 0 || (size >= minSize && (maxSize < 0 || size <= maxSize));
    }
    // Whether anything beyond the main folder's own files is in force: further folders,
    // patterns or bounds.
    bool narrowsOrWidens() const {
        return !folders.empty() || !excludes.empty() || minSize > 0 || maxSize >= 0;
    }
    // What is in force, for a line of the window: "2 more folders (1 reference); leaving out
    // *.tmp, node_modules; sizes 64K to 2G". Empty when nothing is.
    std::string summary() const;
    bool operator==(const SearchScope&) const = default;
};

// What a search left out, by reason, so that a user knows why a file is missing.
struct PassedOver {
    std::int64_t hiddenFolders = 0;     // folders whose name starts with "."
    std::int64_t unreadableFolders = 0; // folders that could not be opened
    std::int64_t inUse = 0;             // files not writable, locked or not readable
    std::int64_t excluded = 0;          // files and folders matching a pattern
    std::int64_t outsideSizes = 0;      // files outside the size bounds

    bool any() const {
        return hiddenFolders + unreadableFolders + inUse + excluded + outsideSizes > 0;
    }
    // "2 hidden folders, 1 file in use", the reasons with a count only; empty when none.
    std::string text() const;
    // The counts as the members of a JSON object, on one line.
    std::string json() const;
};

// A size in bytes, with an optional K, M, G or T (powers of 1024); nothing for any other text
// or a size beyond what a file can have.
std::optional<std::int64_t> parseSize(std::string_view text);
// A size as parseSize reads it back: with K, M, G or T when it is a whole number of them.
std::string sizeText(std::int64_t size);

// Options of one search, as the settings file or the command line give them.
struct SearchOptions {
    SearchSpeed searchSpeed = SearchSpeed::Fast;
    HashKind hash = HashKind::Sha1;
    bool ignoreEmptyFiles = false; // files of size 0 are left out
    std::string digestCache;       // file of digests kept between searches; empty: none
    SearchScope scope;
};
