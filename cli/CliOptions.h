#pragma once

#include "search/SearchEngine.h"

#include <optional>
#include <string>
#include <vector>

enum class OutputFormat { Report, Fdupes, Json };

struct CliOptions {
    SearchOptions search{"fast", "sha1", "yes"};
    bool subfolders = true;
    OutputFormat format = OutputFormat::Report;
    std::string outputFile; // empty: standard output
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::string folder;
};

// Parses the arguments (without the program name). On bad usage returns nothing and sets
// `error` to one line that says what is wrong.
std::optional<CliOptions> parseCliOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kCliUsage;
