#include "settings/Options.h"

#include "settings/IniFile.h"

namespace {
const char* const kSection = "Options";
const char* const kScopeSection = "SearchScope";
// A value is kept in quotes, so that spaces at its ends and quotes of its own survive.
constexpr std::size_t kMaxStoredLength = 2045;

SearchScope readScope(const IniFile& settings) {
    SearchScope scope;
    auto read = [&](const std::string& key) { return settings.readString(kScopeSection, key, ""); };
    for (int k = 1;; ++k) {
        const std::string folder = read("Folder" + std::to_string(k));
        if (folder.empty())
            break;
        scope.folders.push_back({folder, read("Reference" + std::to_string(k)) == "yes"});
    }
    for (int k = 1;; ++k) {
        std::string pattern = read("Exclude" + std::to_string(k));
        if (pattern.empty())
            break;
        scope.excludes.push_back(std::move(pattern));
    }
    // A size that is not one is no bound: the section is the user's own writing.
    scope.minSize = parseSize(read("MinSize")).value_or(0);
    scope.maxSize = parseSize(read("MaxSize")).value_or(-1);
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
    options.scope = readScope(settings);
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
