#include "search/SearchOptions.h"

#include <algorithm>
#include <fnmatch.h>

#include <limits>

const char* hashName(HashKind kind) {
    return wordOfValue(kHashWords, kind);
}

std::optional<HashKind> hashFromName(std::string_view name) {
    return valueOfWord(kHashWords, name);
}

const char* speedName(SearchSpeed speed) {
    return wordOfValue(kSpeedWords, speed);
}

std::optional<SearchSpeed> speedFromName(std::string_view name) {
    return valueOfWord(kSpeedWords, name);
}

bool SearchScope::leavesOut(const std::string& name, const std::string& below, bool folder) const {
    for (std::string_view pattern : excludes) {
        // "cache/" names folders only; "/cache/*.bin" is a path from the searched folder.
        if (pattern.size() > 1 && pattern.back() == '/') {
            if (!folder)
                continue;
            pattern.remove_suffix(1);
        }
        const bool byPath = pattern.find('/') != std::string_view::npos;
        if (!pattern.empty() && pattern.front() == '/')
            pattern.remove_prefix(1);
        const std::string text(pattern);
        if (!byPath) {
            if (fnmatch(text.c_str(), name.c_str(), 0) == 0)
                return true;
            continue;
        }
        // "**" crosses folders; "**/" may also stand for no folder at all.
        const bool deep = text.find("**") != std::string::npos;
        if (fnmatch(text.c_str(), below.c_str(), deep ? 0 : FNM_PATHNAME) == 0 ||
            (text.starts_with("**/") && fnmatch(text.c_str() + 3, below.c_str(), 0) == 0))
            return true;
    }
    return false;
}

std::optional<std::int64_t> parseSize(std::string_view text) {
    std::int64_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (i == 0)
        return std::nullopt;
    int shift = 0;
    if (i + 1 == text.size()) {
        switch (text[i]) {
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        case 'T':
        case 't':
            shift = 40;
            break;
        default:
            return std::nullopt;
        }
    } else if (i != text.size()) {
        return std::nullopt;
    }
    if (value > (std::numeric_limits<std::int64_t>::max() >> shift))
        return std::nullopt;
    return value << shift;
}

std::string PassedOver::text() const {
    std::string out;
    auto add = [&](std::int64_t count, const char* one, const char* many) {
        if (count == 0)
            return;
        if (!out.empty())
            out += ", ";
        out += std::to_string(count) + " " + (count == 1 ? one : many);
    };
    add(hiddenFolders, "hidden folder", "hidden folders");
    add(unreadableFolders, "folder that could not be read", "folders that could not be read");
    add(inUse, "file in use or not writable", "files in use or not writable");
    add(excluded, "file or folder excluded", "files or folders excluded");
    add(outsideSizes, "file outside the size bounds", "files outside the size bounds");
    return out;
}

std::string PassedOver::json() const {
    return "{\"hiddenFolders\": " + std::to_string(hiddenFolders) +
           ", \"unreadableFolders\": " + std::to_string(unreadableFolders) +
           ", \"inUse\": " + std::to_string(inUse) + ", \"excluded\": " + std::to_string(excluded) +
           ", \"outsideSizes\": " + std::to_string(outsideSizes) + "}";
}

std::string sizeText(std::int64_t size) {
    static const char units[] = {'T', 'G', 'M', 'K'};
    for (int k = 0; k < 4 && size > 0; ++k) {
        const std::int64_t unit = std::int64_t{1} << (10 * (4 - k));
        if (size % unit == 0)
            return std::to_string(size / unit) + units[k];
    }
    return std::to_string(size);
}

std::string SearchScope::summary() const {
    std::vector<std::string> parts;
    if (!folders.empty()) {
        const auto references = std::count_if(folders.begin(), folders.end(),
                                              [](const SearchFolder& f) { return f.reference; });
        std::string part = std::to_string(folders.size()) +
                           (folders.size() == 1 ? " more folder" : " more folders");
        if (references > 0)
            part += " (" + std::to_string(references) + " reference)";
        parts.push_back(part);
    }
    if (!excludes.empty()) {
        std::string part = "leaving out ";
        for (std::size_t k = 0; k < excludes.size(); ++k)
            part += (k == 0 ? "" : ", ") + excludes[k];
        parts.push_back(part);
    }
    // "2 bytes" rather than a bare "2"; "64K" speaks for itself.
    auto size = [](std::int64_t bytes) {
        const std::string text = sizeText(bytes);
        return text.back() >= '0' && text.back() <= '9' ? text + " bytes" : text;
    };
    if (minSize > 0 && maxSize >= 0)
        parts.push_back("sizes " + size(minSize) + " to " + size(maxSize));
    else if (minSize > 0)
        parts.push_back("sizes from " + size(minSize));
    else if (maxSize >= 0)
        parts.push_back("sizes up to " + size(maxSize));
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}
