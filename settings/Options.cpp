#include "settings/Options.h"

#include "settings/IniFile.h"

#include <initializer_list>

namespace {
const char* const kSection = "Options";

template <typename T> using Words = std::initializer_list<std::pair<const char*, T>>;
} // namespace

Options readOptions(const IniFile& settings) {
    Options options;
    auto read = [&](const char* key) { return settings.readString(kSection, key, ""); };
    // The value of one of the key's words, or the key's repair.
    auto choose = [&]<typename T>(const char* key, T& value, Words<T> words) {
        const std::string text = read(key);
        for (const auto& [word, meaning] : words) {
            if (text == word) {
                value = meaning;
                return;
            }
        }
        for (const auto& [word, meaning] : words) {
            if (meaning == value)
                options.repairs.emplace_back(key, word);
        }
    };
    const Words<bool> yesNo = {{"yes", true}, {"no", false}};
    choose("Hash", options.hash, Words<HashKind>{{"sha1", HashKind::Sha1}, {"md5", HashKind::Md5}});
    choose("SearchSpeed", options.searchSpeed,
           Words<SearchSpeed>{{"fast", SearchSpeed::Fast}, {"normal", SearchSpeed::Normal}});
    choose("OnCopy", options.onCopy,
           Words<OnCopy>{{"rename", OnCopy::Rename},
                         {"prompt", OnCopy::Prompt},
                         {"replace", OnCopy::Replace}});
    // "OnMove" says whether the warning is hidden.
    bool hideMoveWarning = !options.warnOnMoveRename;
    choose("OnMove", hideMoveWarning, yesNo);
    options.warnOnMoveRename = !hideMoveWarning;
    choose("Subfolders", options.subfolders, yesNo);
    choose("IgnoreEmptyFiles", options.ignoreEmptyFiles, yesNo);
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
