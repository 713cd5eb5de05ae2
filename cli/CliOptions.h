#pragma once

#include "operations/Selection.h"
#include "search/SearchEngine.h"
#include "settings/Options.h"

#include <optional>
#include <string>
#include <vector>

enum class OutputFormat { Report, Fdupes, Json };

// What happens to the files a selection rule picks: removed, or replaced by links of the file
// their group keeps.
enum class RemovalAction { None, Trash, Delete, HardLink, Reflink };

// The option that asks for it ("--trash"), and what it does to a file ("removed").
const char* actionOption(RemovalAction action);
const char* actionDone(RemovalAction action);

struct CliOptions {
    // The same options as the window's settings give, from the command line.
    Options search;
    OutputFormat format = OutputFormat::Report;
    std::string outputFile; // empty: standard output
    bool quiet = false;
    std::string cacheFile;               // --cache-file; empty: the user's digest cache
    std::optional<SelectionRule> select; // pick files of each group to remove
    std::string selectFolder;            // the folder of in-folder, ending with "/"
    RemovalAction action = RemovalAction::None;
    bool help = false;
    bool version = false;
    std::string folder;
};

// Parses the arguments (without the program name). On bad usage returns nothing and sets
// `error` to one line that says what is wrong.
std::optional<CliOptions> parseCliOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kCliUsage;
