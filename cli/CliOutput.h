#pragma once

#include "search/SearchOptions.h"
#include "search/TFiles.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct SearchSummary {
    std::string folder;                // the main folder
    std::vector<SearchFolder> further; // searched after it
    int filesFound = 0;
    std::string elapsed; // "HH:MM:SS", with days in front when needed
    std::string dateText;
    std::string timeText;
    PassedOver passedOver;
};

// Takes a text piece by piece, in order: a listing of a million files is never held whole.
using TextSink = std::function<void(std::string_view)>;

// The report text (already encoded for the locale, CR LF line ends).
void formatReport(const SearchSummary& summary, const std::vector<TFiles>& duplicates,
                  const TextSink& out);

// One full path per line as raw bytes, each group followed by an empty line.
void formatFdupes(const std::vector<TFiles>& duplicates, const TextSink& out);

// A JSON object with the folders, the number of files found and the groups. Bytes that are not
// UTF-8 are written as the escapes \udc80 to \udcff (one per byte), which decoders such as
// Python's "surrogateescape" turn back into the original bytes.
void formatJson(const SearchSummary& summary, const std::vector<TFiles>& duplicates,
                const TextSink& out);

// A JSON string literal for raw bytes, with the escapes above.
std::string jsonString(const std::string& bytes);

// The files of each group with what becomes of them: "[+] " before a file that stays, "[-] "
// before one picked for removal (unless `kept` says it stayed), paths as raw bytes, each
// group followed by an empty line.
std::string formatSelection(const std::vector<TFiles>& duplicates, const std::vector<char>& picked,
                            const std::vector<char>& kept);
