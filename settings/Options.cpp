#include "settings/Options.h"

#include "settings/IniFile.h"
#include "tools/AsciiCase.h"

#include <map>

namespace {
const char* const kSection = "Options";
const char* const kScopeSection = "SearchScope";
// A value is kept in quotes, so that spaces at its ends and quotes of its own survive.
constexpr std::size_t kMaxStoredLength = 2045;

// The number after `prefix` in a key such as "Folder12"; 0 when the key is not one of them.
int keyNumber(const std::string& key, std::string_view prefix) {
    if (key.size() <= prefix.size() ||
        !equalsIgnoringAsciiCase(key.substr(0, prefix.size()), prefix))
        return 0;
    int number = 0;
    for (char c : key.substr(prefix.size())) {
        if (c < '0' || c > '9' || number > 100000)
            return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

// The section is the user's own writing (or editing): entries may be numbered with gaps, and a
// folder is a reference one unless its kind clearly says otherwise.
SearchScope readScope(const IniFile& settings, std::vector<std::string>& problems) {
    SearchScope scope;
    std::map<int, std::string> folders;
    std::map<int, std::string> kinds;
    std::map<int, std::string> excludes;
    for (const auto& [key, value] : settings.readSection(kScopeSection)) {
        if (const int folder = keyNumber(key, "Folder"))
            folders[folder] = value;
        else if (const int kind = keyNumber(key, "Reference"))
            kinds[kind] = value;
        else if (const int exclude = keyNumber(key, "Exclude"))
            excludes[exclude] = value;
        else if (equalsIgnoringAsciiCase(key, "MinSize") ||
                 equalsIgnoringAsciiCase(key, "MaxSize")) {
            const bool minimum = equalsIgnoringAsciiCase(key, "MinSize");
            if (const auto size = parseSize(value))
                (minimum ? scope.minSize : scope.maxSize) = *size;
            else if (!value.empty())
                problems.push_back(key + "=" + value);
        }
    }
    for (const auto& [n, folder] : folders) {
        if (folder.empty()) {
            problems.push_back("Folder" + std::to_string(n) + " is empty");
            continue;
        }
        // Only a clear "no" makes a folder's files removable.
        const auto kind = kinds.find(n);
        const std::string word = kind != kinds.end() ? kind->second : std::string();
        bool reference = true;
        for (const char* normal : {"no", "false", "0", "off", "normal"})
            reference = reference && !equalsIgnoringAsciiCase(word, normal);
        bool known = !reference;
        for (const char* yes : {"yes", "true", "1", "on", "reference"})
            known = known || equalsIgnoringAsciiCase(word, yes);
        if (!known)
            problems.push_back("Reference" + std::to_string(n) + "=" + word + " (taken as yes)");
        scope.folders.push_back({folder, reference});
    }
    for (const auto& [n, pattern] : excludes) {
        if (!pattern.empty())
            scope.excludes.push_back(pattern);
    }
    if (scope.maxSize >= 0 && scope.maxSize < scope.minSize) {
        problems.push_back("MaxSize is smaller than MinSize (no largest size is taken)");
        scope.maxSize = -1;
    }
    return scope;
}

constexpr OptionWord<OnCopy> kOnCopyWords[] = {
    {"rename", OnCopy::Rename}, {"prompt", OnCopy::Prompt}, {"replace", OnCopy::Replace}};
constexpr OptionWord<bool> kYesNo[] = {{"yes", true}, {"no", false}};
// "OnMove" says whether the warning is hidden.
constexpr OptionWord<bool> kOnMoveWords[] = {{"yes", false}, {"no", true}};
} // namespace

Options readOptions(const IniFile& settings) {
    Options options;
    auto read = [&](const char* key) { return settings.readString(kSection, key, ""); };
    // The value of one of the key's words, or the key's repair: the default stays.
    auto choose = [&](const char* key, auto& value, const auto& words) {
        if (const auto chosen = valueOfWord(words, read(key)))
            value = *chosen;
        else
            options.repairs.emplace_back(key, wordOfValue(words, value));
    };
    choose("Hash", options.hash, kHashWords);
    choose("SearchSpeed", options.searchSpeed, kSpeedWords);
    choose("OnCopy", options.onCopy, kOnCopyWords);
    choose("OnMove", options.warnOnMoveRename, kOnMoveWords);
    choose("Subfolders", options.subfolders, kYesNo);
    choose("IgnoreEmptyFiles", options.ignoreEmptyFiles, kYesNo);
    options.rememberDigests = read("RememberDigests") != "no";
    for (auto [key, value] : {std::pair{"GroupColor", &options.groupColor},
                              {"CopiedColor", &options.copiedColor},
                              {"MovedColor", &options.movedColor}}) {
        const std::string text = read(key);
        if (text.empty())
            options.repairs.emplace_back(key, *value);
        else
            *value = text;
    }
    options.scope = readScope(settings, options.scopeProblems);
    return options;
}

bool storableInSettings(const std::string& text) {
    return !text.empty() && text.size() <= kMaxStoredLength &&
           text.find_first_of("\r\n") == std::string::npos;
}

void writeScope(IniFile& settings, const SearchScope& scope) {
    std::vector<std::pair<std::string, std::string>> entries;
    auto quoted = [](const std::string& text) { return "\"" + text + "\""; };
    for (std::size_t k = 0; k < scope.folders.size(); ++k) {
        const std::string number = std::to_string(k + 1);
        entries.emplace_back("Folder" + number, quoted(scope.folders[k].path));
        entries.emplace_back("Reference" + number, scope.folders[k].reference ? "yes" : "no");
    }
    for (std::size_t k = 0; k < scope.excludes.size(); ++k)
        entries.emplace_back("Exclude" + std::to_string(k + 1), quoted(scope.excludes[k]));
    if (scope.minSize > 0)
        entries.emplace_back("MinSize", std::to_string(scope.minSize));
    if (scope.maxSize >= 0)
        entries.emplace_back("MaxSize", std::to_string(scope.maxSize));
    settings.writeSection(kScopeSection, entries);
}

SearchOptions Options::searchOptions(const std::string& digestCache) const {
    SearchOptions search;
    search.searchSpeed = searchSpeed;
    search.hash = hash;
    search.ignoreEmptyFiles = ignoreEmptyFiles;
    search.digestCache = rememberDigests ? digestCache : std::string();
    search.scope = scope;
    return search;
}
