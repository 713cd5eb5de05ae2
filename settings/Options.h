#pragma once

#include "operations/OperationOptions.h"
#include "search/SearchOptions.h"

#include <string>
#include <utility>
#include <vector>

class IniFile;

// The options of the settings file, read once and repaired as the window's load step repairs
// them, so that the menus, the search and the file operations all go by the same values.
struct Options {
    HashKind hash = HashKind::Sha1;
    SearchSpeed searchSpeed = SearchSpeed::Fast;
    OnCopy onCopy = OnCopy::Rename;
    bool warnOnMoveRename = false; // a moved file that takes a numbered name is told
    bool subfolders = true;
    bool ignoreEmptyFiles = true;
    bool rememberDigests = true; // off only when the key says "no"
    std::string groupColor = "FEFCDA";
    std::string copiedColor = "95D6EE";
    std::string movedColor = "FF8000";
    SearchScope scope; // sizes and patterns the search leaves out
    // The keys of the settings file that were missing or damaged, with the texts of the values
    // they take; the window writes them back.
    std::vector<std::pair<std::string, std::string>> repairs;
    // Entries of the search scope's section that could not be read as written ("MinSize=x").
    std::vector<std::string> scopeProblems;

    // The options the search runs with; `digestCache` names the file of digests kept between
    // searches (empty: none).
    SearchOptions searchOptions(const std::string& digestCache) const;
};

// Reads the section "Options" of the settings file, and the search scope from its own section,
// which is there only once the user has set one. A value that is missing or not one of its
// key's values takes the key's default, listed in `repairs`; a file that cannot be read gives
// the defaults. The colours are repaired only when missing, as their texts are read when used.
Options readOptions(const IniFile& settings);

// Whether a folder or pattern can be kept in the settings file: one line of at most 2,045 bytes.
bool storableInSettings(const std::string& text);

// Writes the search scope into its own section, in one write; an empty scope removes the section.
// Throws SettingsWriteError.
void writeScope(IniFile& settings, const SearchScope& scope);
