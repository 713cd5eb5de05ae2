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

// A result list and its table, rows added in list order. The table holds the records in
// reverse order, so a rule that took a row's position for its record would read another file.
struct List {
    std::vector<ResultRow> rows;
    std::vector<TFiles> table;

    void add(const std::string& caption, const std::string& folder, const std::string& name,
             std::int64_t modifiedNs = 0) {
        TFiles file;
        file.fName = name;
        file.fPath = folder;
        file.fModifiedNs = modifiedNs;
        table.insert(table.begin(), file);
        for (ResultRow& row : rows)
            ++row.record;
        ResultRow row;
        row.caption = caption;
        row.name = name;
        row.folder = folder;
        row.record = 0;
        rows.push_back(row);
    }

    std::vector<char> select(SelectionRule rule, const std::string& folder = {}) const {
        return selectRows(rows, table, rule, folder);
    }
};

std::vector<char> ticks(std::initializer_list<int> values) {
    std::vector<char> result;
    for (int value : values)
        result.push_back(static_cast<char>(value));
    return result;
}

TEST(Selection, AllButOneKeepsTheFirstRowOfEachGroup) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    list.add("1", "/c/", "x");
    list.add("2", "/a/", "y");
    list.add("3", "/a/", "z");
    list.add("3", "/b/", "z");
    EXPECT_EQ(list.select(SelectionRule::AllButOne), ticks({0, 1, 1, 0, 0, 1}));
}

TEST(Selection, AllButNewestKeepsTheFirstOfTheNewestRows) {
    List list;
    list.add("1", "/a/", "x", 10);
    list.add("1", "/b/", "x", 30);
    list.add("1", "/c/", "x", 20);
    list.add("1", "/d/", "x", 30);
    list.add("2", "/a/", "y", 5);
    list.add("2", "/b/", "y", 5);
    EXPECT_EQ(list.select(SelectionRule::AllButNewest), ticks({1, 0, 1, 1, 0, 1}));
}

TEST(Selection, AllButOldestKeepsTheFirstOfTheOldestRows) {
    List list;
    list.add("1", "/a/", "x", 30);
    list.add("1", "/b/", "x", -7); // before 1970
    list.add("1", "/c/", "x", 0);
    list.add("1", "/d/", "x", -7);
    list.add("2", "/a/", "y", 5);
    list.add("2", "/b/", "y", 5);
    EXPECT_EQ(list.select(SelectionRule::AllButOldest), ticks({1, 0, 1, 1, 0, 1}));
}

TEST(Selection, TimesAreThoseOfTheRowsRecords) {
    // The newest record is first in the table but belongs to the list's last row.
    List list;
    list.add("1", "/a/", "x", 100);
    list.add("1", "/b/", "x", 200);
    list.add("1", "/c/", "x", 300);
    ASSERT_EQ(list.table.front().fModifiedNs, 300);
    EXPECT_EQ(list.select(SelectionRule::AllButNewest), ticks({1, 1, 0}));
    EXPECT_EQ(list.select(SelectionRule::AllButOldest), ticks({0, 1, 1}));
}

TEST(Selection, AllButShortestPathCountsBytesAndKeepsTheFirstOfTheShortest) {
    List list;
    list.add("1", "/long/", "name");
    list.add("1", "/b/", "\xC3\xA9"); // "é": two bytes, as long as "ab"
    list.add("1", "/c/", "ab");
    list.add("1", "/d/", "xyz");
    list.add("2", "/ab/", "x");
    list.add("2", "/a/", "xy"); // equal length in another split of folder and name
    EXPECT_EQ(list.select(SelectionRule::AllButShortestPath), ticks({1, 0, 1, 1, 0, 1}));
}

TEST(Selection, InFolderTicksFilesUnderTheFolderButNotUnderALongerName) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/ab/", "x");
    list.add("1", "/a/b/", "x");
    list.add("1", "/c/", "x");
    EXPECT_EQ(list.select(SelectionRule::InFolder, "/a/"), ticks({1, 0, 1, 0}));
}

TEST(Selection, InFolderAddsAMissingTrailingSlash) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/ab/", "x");
    list.add("1", "/a/b/", "x");
    list.add("1", "/c/", "x");
    EXPECT_EQ(list.select(SelectionRule::InFolder, "/a"),
              list.select(SelectionRule::InFolder, "/a/"));
    EXPECT_EQ(list.select(SelectionRule::InFolder, "/ab"), ticks({0, 1, 0, 0}));
}

TEST(Selection, InFolderKeepsTheFirstRowOfAGroupWhollyInsideIt) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/a/b/", "x");
    list.add("1", "/a/c/", "x");
    list.add("2", "/b/", "y"); // first row outside: kept, the rows inside ticked
    list.add("2", "/a/", "y");
    list.add("2", "/a/b/", "y");
    list.add("3", "/a/", "z"); // the row outside comes last
    list.add("3", "/a/b/", "z");
    list.add("3", "/c/", "z");
    list.add("4", "/a/", "w"); // a group of one inside
    EXPECT_EQ(list.select(SelectionRule::InFolder, "/a/"), ticks({0, 1, 1, 0, 1, 1, 1, 1, 0, 0}));
}

TEST(Selection, InFolderWithoutAFolderTicksNothing) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    EXPECT_EQ(list.select(SelectionRule::InFolder, ""), ticks({0, 0}));
    EXPECT_EQ(list.select(SelectionRule::InFolder), ticks({0, 0}));
}

TEST(Selection, InFolderOfTheRootKeepsOneRowPerGroup) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    list.add("2", "/c/", "y");
    list.add("2", "/d/", "y");
    list.add("2", "/e/", "y");
    EXPECT_EQ(list.select(SelectionRule::InFolder, "/"), ticks({0, 1, 0, 1, 1}));
}

TEST(Selection, ClearAllTicksNothing) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    list.add("2", "/a/", "y");
    EXPECT_EQ(list.select(SelectionRule::ClearAll), ticks({0, 0, 0}));
}

TEST(Selection, GroupsAreRunsOfEqualCaptions) {
    // A caption seen again after another one starts a group of its own.
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/bb/", "x");
    list.add("2", "/a/", "y");
    list.add("1", "/a/", "x");
    EXPECT_EQ(list.select(SelectionRule::AllButOne), ticks({0, 1, 0, 0}));
    EXPECT_EQ(list.select(SelectionRule::InFolder, "/"), ticks({0, 1, 0, 0}));
}

TEST(Selection, AGroupOfOneIsNeverTicked) {
    List list;
    list.add("1", "/a/", "x", 5);
    for (SelectionRule rule : allRules) {
        SCOPED_TRACE(selectionRuleName(rule));
        EXPECT_EQ(list.select(rule, "/a/"), ticks({0}));
    }
}

TEST(Selection, AnEmptyListHasNoTicks) {
    for (SelectionRule rule : allRules)
        EXPECT_TRUE(selectRows({}, {}, rule, "/").empty());
}

TEST(Selection, ARecordOutsideTheTableIsAnError) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    list.rows[1].record = 7;
    EXPECT_THROW(list.select(SelectionRule::AllButNewest), std::out_of_range);
    EXPECT_THROW(list.select(SelectionRule::AllButOldest), std::out_of_range);
}

TEST(SelectionWholeGroups, CountsGroupsWithEveryRowTicked) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    list.add("2", "/a/", "y");
    list.add("3", "/a/", "z");
    list.add("3", "/b/", "z");
    list.add("3", "/c/", "z");
    EXPECT_EQ(wholeGroupsTicked(list.rows, ticks({0, 0, 0, 0, 0, 0})), 0);
    EXPECT_EQ(wholeGroupsTicked(list.rows, ticks({0, 1, 0, 1, 1, 0})), 0);
    EXPECT_EQ(wholeGroupsTicked(list.rows, ticks({1, 1, 0, 1, 0, 1})), 1);
    EXPECT_EQ(wholeGroupsTicked(list.rows, ticks({0, 1, 1, 1, 1, 1})), 2); // the group of one
    EXPECT_EQ(wholeGroupsTicked(list.rows, ticks({1, 1, 1, 1, 1, 1})), 3);
    EXPECT_EQ(wholeGroupsTicked({}, {}), 0);
}

TEST(SelectionWholeGroups, TicksThatDoNotMatchTheRowsAreAnError) {
    List list;
    list.add("1", "/a/", "x");
    list.add("1", "/b/", "x");
    EXPECT_THROW(wholeGroupsTicked(list.rows, ticks({1})), std::invalid_argument);
    EXPECT_THROW(wholeGroupsTicked(list.rows, ticks({1, 1, 1})), std::invalid_argument);
}

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

// The rules as stated, row by row: find the row's group by walking to both ends of its run of
// captions, find the group's kept row by comparing it with every other. Slow and obvious.
std::vector<char> referenceSelect(const std::vector<ResultRow>& rows,
                                  const std::vector<TFiles>& table, SelectionRule rule,
                                  std::string folder) {
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    auto under = [&](std::size_t i) {
        const std::string& own = rows[i].folder;
        return !folder.empty() && own.size() >= folder.size() &&
               own.compare(0, folder.size(), folder) == 0;
    };
    auto time = [&](std::size_t i) { return table[rows[i].record].fModifiedNs; };
    auto length = [&](std::size_t i) { return (rows[i].folder + rows[i].name).size(); };

    std::vector<char> result(rows.size(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::size_t first = i;
        while (first > 0 && rows[first - 1].caption == rows[i].caption)
            --first;
        std::size_t last = i;
        while (last + 1 < rows.size() && rows[last + 1].caption == rows[i].caption)
            ++last;
        auto firstWhere = [&](auto beatsNone) {
            for (std::size_t j = first; j <= last; ++j) {
                bool ok = true;
                for (std::size_t k = first; k <= last; ++k)
                    ok = ok && beatsNone(k, j);
                if (ok)
                    return j;
            }
            return last + 1;
        };
        bool hasReference = false;
        for (std::size_t k = first; k <= last; ++k)
            hasReference = hasReference || rows[k].reference;
        if (rule == SelectionRule::ClearAll || rows[i].reference) {
            continue;
        } else if (hasReference) {
            // The reference file keeps the content; every other file may go.
            result[i] = rule != SelectionRule::InFolder || under(i);
            continue;
        }
        std::size_t kept = first;
        switch (rule) {
        case SelectionRule::AllButOne:
            break;
        case SelectionRule::AllButNewest:
            kept = firstWhere([&](auto k, auto j) { return time(k) <= time(j); });
            break;
        case SelectionRule::AllButOldest:
            kept = firstWhere([&](auto k, auto j) { return time(k) >= time(j); });
            break;
        case SelectionRule::AllButShortestPath:
            kept = firstWhere([&](auto k, auto j) { return length(k) >= length(j); });
            break;
        case SelectionRule::InFolder: {
            bool allUnder = true;
            for (std::size_t k = first; k <= last; ++k)
                allUnder = allUnder && under(k);
            result[i] = under(i) && !(allUnder && i == first);
            continue;
        }
        case SelectionRule::ClearAll:
            continue;
        }
        result[i] = i != kept;
    }
    return result;
}

struct RandomList {
    std::vector<ResultRow> rows;
    std::vector<TFiles> table;
    std::vector<std::pair<std::size_t, std::size_t>> groups; // [begin, end) as made
};

RandomList randomList(std::mt19937& random) {
    static const std::vector<std::string> folders = {"/",       "/a/", "/a/b/", "/ab/",
                                                     "/a/b/c/", "/b/", "/a b/", "/A/"};
    // "é" has two bytes, so it ties with "yy" and "ab".
    static const std::vector<std::string> names = {"x", "yy", "\xC3\xA9", "zzz", "ab", "x.jpg"};
    static const std::vector<std::string> captions = {"1", "2", "3"};
    auto pick = [&](const auto& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };

    RandomList list;
    const int groupCount = std::uniform_int_distribution<int>(0, 8)(random);
    std::string previous;
    for (int g = 0; g < groupCount; ++g) {
        std::string caption = pick(captions);
        while (caption == previous)
            caption = pick(captions);
        previous = caption;
        const std::size_t size = std::uniform_int_distribution<std::size_t>(1, 6)(random);
        const std::size_t begin = list.rows.size();
        for (std::size_t k = 0; k < size; ++k) {
            TFiles file;
            file.fName = pick(names);
            file.fPath = pick(folders);
            // Few distinct times, so ties are common; some before 1970.
            file.fModifiedNs =
                std::uniform_int_distribution<std::int64_t>(-2, 3)(random) * 1'000'000'000;
            // Some groups hold reference files, a few only those.
            file.fReference = std::bernoulli_distribution(0.15)(random);
            ResultRow row;
            row.caption = caption;
            row.name = file.fName;
            row.folder = file.fPath;
            row.reference = file.fReference;
            list.rows.push_back(row);
            list.table.push_back(file);
        }
        list.groups.emplace_back(begin, list.rows.size());
    }

    // Records in another order than the rows.
    std::vector<std::size_t> order(list.rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), random);
    std::vector<TFiles> shuffled(list.table.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        shuffled[order[i]] = list.table[i];
        list.rows[i].record = order[i];
    }
    list.table = std::move(shuffled);
    return list;
}

TEST(SelectionRandom, EveryRuleMatchesTheReference) {
    static const std::vector<std::string> folderArguments = {
        "", "/", "/a", "/a/", "/ab", "/ab/", "/a/b", "/a/b/", "/b/", "/c/", "/A/", "/a b"};
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round) {
        const RandomList list = randomList(random);
        const std::string folder = folderArguments[std::uniform_int_distribution<std::size_t>(
            0, folderArguments.size() - 1)(random)];
        for (SelectionRule rule : allRules) {
            SCOPED_TRACE("round " + std::to_string(round) + ", " +
                         std::string(selectionRuleName(rule)) + ", folder \"" + folder + "\"");
            const std::vector<char> ticked = selectRows(list.rows, list.table, rule, folder);
            ASSERT_EQ(ticked, referenceSelect(list.rows, list.table, rule, folder));
            for (const auto& [begin, end] : list.groups) {
                const auto count = std::count(ticked.begin() + static_cast<std::ptrdiff_t>(begin),
                                              ticked.begin() + static_cast<std::ptrdiff_t>(end), 1);
                ASSERT_LT(static_cast<std::size_t>(count), end - begin) << "a whole group ticked";
            }
            ASSERT_EQ(wholeGroupsTicked(list.rows, ticked), 0);
            for (std::size_t i = 0; i < ticked.size(); ++i)
                ASSERT_FALSE(ticked[i] && list.rows[i].reference) << "a reference row ticked";
        }
    }
}

TEST(SelectionRandom, WholeGroupsMatchACountOverTheGroupsAsMade) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        const RandomList list = randomList(random);
        std::vector<char> ticked(list.rows.size());
        // Mostly ticked, so whole groups are common.
        for (char& tick : ticked)
            tick = std::bernoulli_distribution(0.7)(random) ? 1 : 0;
        int expected = 0;
        for (const auto& [begin, end] : list.groups) {
            bool all = true;
            for (std::size_t i = begin; i < end; ++i)
                all = all && ticked[i] == 1;
            expected += all ? 1 : 0;
        }
        ASSERT_EQ(wholeGroupsTicked(list.rows, ticked), expected) << "round " << round;
    }
}

} // namespace
