#include "operations/Selection.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace {

// End of the group that starts at BEGIN: the first row with another caption.
std::size_t groupEnd(const std::vector<ResultRow>& rows, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < rows.size() && rows[end].caption == rows[begin].caption)
        ++end;
    return end;
}

// The row of [begin, end) that BETTER prefers to every other; strict comparison keeps the
// first of equals.
template <typename Better> std::size_t bestRow(std::size_t begin, std::size_t end, Better better) {
    std::size_t best = begin;
    for (std::size_t i = begin + 1; i < end; ++i)
        if (better(i, best))
            best = i;
    return best;
}

std::size_t pathLength(const ResultRow& row) {
    return row.folder.size() + row.name.size();
}

bool isUnder(const std::string& rowFolder, const std::string& folder) {
    return !folder.empty() && rowFolder.starts_with(folder);
}

// A folder's real path with a trailing "/", so that folders compare however they were written
// (relative, through links); the text as it is when it cannot be resolved.
std::string realFolder(const std::string& folder) {
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real == nullptr)
        return folder;
    std::string text(real);
    std::free(real);
    return text == "/" ? text : text + "/";
}

const std::array<std::pair<std::string_view, SelectionRule>, 7> ruleNames{{
    {"all-but-one", SelectionRule::AllButOne},
    {"all-but-newest", SelectionRule::AllButNewest},
    {"all-but-oldest", SelectionRule::AllButOldest},
    {"all-but-shortest-path", SelectionRule::AllButShortestPath},
    {"in-folder", SelectionRule::InFolder},
    {"none", SelectionRule::ClearAll},
    {"clear", SelectionRule::ClearAll},
}};

} // namespace

std::vector<char> selectRows(const std::vector<ResultRow>& rows, const std::vector<TFiles>& table,
                             SelectionRule rule, const std::string& folder) {
    std::vector<char> ticked(rows.size(), 0);
    if (rule == SelectionRule::ClearAll)
        return ticked;

    std::string under = folder.empty() ? folder : realFolder(folder);
    if (!under.empty() && under.back() != '/')
        under += '/';
    auto modified = [&](std::size_t i) { return table.at(rows[i].record).fModifiedNs; };
    // The rows' folders by their real paths too, each folder resolved once.
    std::unordered_map<std::string, std::string> real;
    auto inFolder = [&](std::size_t i) {
        auto [known, added] = real.try_emplace(rows[i].folder);
        if (added)
            known->second = realFolder(rows[i].folder);
        return isUnder(known->second, under);
    };

    for (std::size_t begin = 0; begin < rows.size();) {
        const std::size_t end = groupEnd(rows, begin);
        // A reference file keeps the group's content: every other file may go, and no reference
        // file is ever ticked.
        if (std::any_of(rows.begin() + static_cast<std::ptrdiff_t>(begin),
                        rows.begin() + static_cast<std::ptrdiff_t>(end),
                        [](const ResultRow& row) { return row.reference; })) {
            for (std::size_t i = begin; i < end; ++i)
                ticked[i] = !rows[i].reference && (rule != SelectionRule::InFolder || inFolder(i));
            begin = end;
            continue;
        }
        std::size_t kept = begin;
        switch (rule) {
        case SelectionRule::AllButOne:
        case SelectionRule::ClearAll:
            break;
        case SelectionRule::AllButNewest:
            kept = bestRow(begin, end, [&](auto a, auto b) { return modified(a) > modified(b); });
            break;
        case SelectionRule::AllButOldest:
            kept = bestRow(begin, end, [&](auto a, auto b) { return modified(a) < modified(b); });
            break;
        case SelectionRule::AllButShortestPath:
            kept = bestRow(begin, end, [&](auto a, auto b) {
                return pathLength(rows[a]) < pathLength(rows[b]);
            });
            break;
        case SelectionRule::InFolder:
            // The first row outside the folder is kept (it is never ticked); a group wholly
            // inside it keeps its first row.
            while (kept < end && inFolder(kept))
                ++kept;
            if (kept == end)
                kept = begin;
            break;
        }
        for (std::size_t i = begin; i < end; ++i)
            ticked[i] = rule != SelectionRule::InFolder || inFolder(i) ? 1 : 0;
        ticked[kept] = 0;
        begin = end;
    }
    return ticked;
}

int wholeGroupsTicked(const std::vector<ResultRow>& rows, const std::vector<char>& ticked) {
    if (ticked.size() != rows.size())
        throw std::invalid_argument("The ticks (" + std::to_string(ticked.size()) +
                                    ") do not match the rows of the list (" +
                                    std::to_string(rows.size()) + ").");
    int whole = 0;
    for (std::size_t begin = 0; begin < rows.size();) {
        const std::size_t end = groupEnd(rows, begin);
        bool all = true;
        for (std::size_t i = begin; i < end; ++i)
            all = all && ticked[i] != 0;
        if (all)
            ++whole;
        begin = end;
    }
    return whole;
}

std::optional<SelectionRule> parseSelectionRule(std::string_view name) {
    for (const auto& [text, rule] : ruleNames)
        if (text == name)
            return rule;
    return std::nullopt;
}

std::string_view selectionRuleName(SelectionRule rule) {
    for (const auto& [text, known] : ruleNames)
        if (known == rule)
            return text;
    return {};
}

bool selectionRuleTakesFolder(SelectionRule rule) {
    return rule == SelectionRule::InFolder;
}
