#include "operations/Selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr SelectionRule allRules[] = {
    SelectionRule::AllButOne,          SelectionRule::AllButNewest, SelectionRule::AllButOldest,
    SelectionRule::AllButShortestPath, SelectionRule::InFolder,     SelectionRule::ClearAll,
};

TEST(SelectionRuleNames, EveryRuleReadsBackFromItsName) {
    for (SelectionRule rule : allRules) {
        SCOPED_TRACE(selectionRuleName(rule));
        EXPECT_EQ(parseSelectionRule(selectionRuleName(rule)), rule);
    }
}

TEST(SelectionRuleNames, KnownNames) {
    EXPECT_EQ(parseSelectionRule("all-but-one"), SelectionRule::AllButOne);
    EXPECT_EQ(parseSelectionRule("all-but-newest"), SelectionRule::AllButNewest);
    EXPECT_EQ(parseSelectionRule("all-but-oldest"), SelectionRule::AllButOldest);
    EXPECT_EQ(parseSelectionRule("all-but-shortest-path"), SelectionRule::AllButShortestPath);
    EXPECT_EQ(parseSelectionRule("in-folder"), SelectionRule::InFolder);
    EXPECT_EQ(parseSelectionRule("none"), SelectionRule::ClearAll);
    EXPECT_EQ(parseSelectionRule("clear"), SelectionRule::ClearAll);
    EXPECT_EQ(selectionRuleName(SelectionRule::ClearAll), "none");
    EXPECT_EQ(selectionRuleName(SelectionRule::AllButShortestPath), "all-but-shortest-path");
}

TEST(SelectionRuleNames, UnknownNamesAreRefused) {
    for (const char* name : {"", "all", "All-But-One", "all-but-one ", " none", "all_but_one",
                             "in-folder=/a/", "all-but-shortest", "newest"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(parseSelectionRule(name), std::nullopt);
    }
}

TEST(SelectionRuleNames, OnlyInFolderTakesAFolder) {
    for (SelectionRule rule : allRules)
        EXPECT_EQ(selectionRuleTakesFolder(rule), rule == SelectionRule::InFolder);
}

} // namespace
