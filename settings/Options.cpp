#include "settings/Options.h"

#include "settings/IniFile.h"

namespace {
const char* const kSection = "Options";

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
    return options;
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
