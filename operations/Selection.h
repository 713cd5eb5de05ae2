#pragma once

#include "search/ResultRows.h"
#include "search/TFiles.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One tick per row (1 ticked, 0 not), replacing any earlier ticks. Rows are in list order; a
// group is a run of consecutive rows with equal captions. A group of one row is never ticked.
//
// Times are read from the rows' records in TABLE (std::out_of_range for a record outside it);
// paths and folders from the rows themselves. FOLDER is used by InFolder only: a row is under it
// when the row's folder begins with it, both compared as real paths (links and relative paths
// resolved; a path that cannot be resolved is taken as written), as bytes. A missing trailing
// "/" is added, so "/a" means "/a/" and "/ab/" is not under it; an empty FOLDER holds no file. In
// a group whose every row is under FOLDER the first row stays unticked.
//
// A reference row is never ticked. In a group with one, it keeps the content: every rule ticks
// all the group's other rows (InFolder those under FOLDER).
std::vector<char> selectRows(const std::vector<ResultRow>& rows, const std::vector<TFiles>& table,
                             SelectionRule rule, const std::string& folder = {});

// How many groups have every row ticked, one-row groups included: a delete of the ticked rows
// would leave no copy of those contents. std::invalid_argument when the sizes differ.
int wholeGroupsTicked(const std::vector<ResultRow>& rows, const std::vector<char>& ticked);

// Command-line names: "all-but-one", "all-but-newest", "all-but-oldest",
// "all-but-shortest-path", "in-folder", and "none" or "clear" for ClearAll. Exact, lower case.
std::optional<SelectionRule> parseSelectionRule(std::string_view name);

// The command-line name of a rule ("none" for ClearAll); parseSelectionRule reads it back.
std::string_view selectionRuleName(SelectionRule rule);

// Whether the rule needs a folder (InFolder).
bool selectionRuleTakesFolder(SelectionRule rule);
