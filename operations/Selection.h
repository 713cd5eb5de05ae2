#pragma once

#include <optional>
#include <string_view>

// How to tick the rows of the result list. Each rule keeps at least one row of every group
// unticked, so the ticked rows can be deleted without losing a content.
enum class SelectionRule {
    AllButOne,          // keep the first row of each group
    AllButNewest,       // keep the row with the latest modification time (first of equals)
    AllButOldest,       // keep the row with the earliest modification time (first of equals)
    AllButShortestPath, // keep the row whose folder + name has the fewest bytes (first of equals)
    InFolder,           // tick the rows under a folder, but keep one row of each group
    ClearAll,           // tick nothing
};

// Command-line names: "all-but-one", "all-but-newest", "all-but-oldest",
// "all-but-shortest-path", "in-folder", and "none" or "clear" for ClearAll. Exact, lower case.
std::optional<SelectionRule> parseSelectionRule(std::string_view name);

// The command-line name of a rule ("none" for ClearAll); parseSelectionRule reads it back.
std::string_view selectionRuleName(SelectionRule rule);

// Whether the rule needs a folder (InFolder).
bool selectionRuleTakesFolder(SelectionRule rule);
