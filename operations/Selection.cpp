#include "operations/Selection.h"

#include <array>
#include <utility>

namespace {

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
