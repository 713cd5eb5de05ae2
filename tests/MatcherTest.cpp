#include "search/Matcher.h"
#include "search/RunControl.h"
#include "search/SharedState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// What a digest of entry k yields in these tests: a text (empty = failure) and a fingerprint.
struct FakeContent {
    std::string text;
    Fingerprint fingerprint;
};

struct Table {
    std::vector<TFiles> files;
    std::vector<FakeContent> contents;
};

// The pairwise matcher exactly as designed: every ordered pair, fSize -1 and emptied digests
// as marks. Slow, obvious, and the oracle for the real one.
void referenceMatch(SharedState& state, const DigestOnDemand& digest) {
    FileTable& files = state.aFilesFounded;
    const int n = state.iFilesFounded;
    auto digestOf = [&](int k) {
        if (files[k].fHash.empty())
            digest(static_cast<std::size_t>(k));
        return std::make_pair(files[k].fHash, files[k].fFingerprint);
    };
    auto store = [&](int k, const DigestText& hash, const Fingerprint& fingerprint) {
        TFiles record = files[k];
        record.fHash = hash;
        record.fFingerprint = fingerprint;
        state.appendDuplicated(record);
    };
    // Files of a size that only reference files have are never compared.
    std::map<std::int64_t, bool> onlyReferences;
    for (int k = 0; k < n; ++k)
        onlyReferences.try_emplace(files[k].fSize, true).first->second &= files[k].fReference;
    if (state.sTSearch == SearchSpeed::Fast) {
        for (int k = 0; k < n; ++k)
            if (onlyReferences[files[k].fSize])
                files[k].fSize = -1;
    }
    std::pair<DigestText, Fingerprint> outer;
    std::pair<DigestText, Fingerprint> inner;
    int lastOuter = -1;
    bool groupFound = false;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            state.iBar = i;
            if (state.sTSearch == SearchSpeed::Fast) {
                if (i != j && files[i].fSize != -1 && files[j].fSize != -1 &&
                    files[i].fSize == files[j].fSize) {
                    if (i != lastOuter)
                        outer = digestOf(i);
                    inner = digestOf(j);
                    if (!outer.first.empty() && !inner.first.empty() && outer == inner) {
                        store(j, inner.first, inner.second);
                        files[j].fSize = -1;
                        groupFound = true;
                    }
                    lastOuter = i;
                }
                if (j == n - 1 && groupFound) {
                    store(i, outer.first, outer.second);
                    files[i].fSize = -1;
                    groupFound = false;
                }
                if (j == n - 1) {
                    files[i].fSize = -1;
                    files[i].fHash.clear();
                }
            } else if (state.sTSearch == SearchSpeed::Normal) {
                if (i != j && !files[i].fHash.empty() && !files[j].fHash.empty() &&
                    files[i].fHash == files[j].fHash &&
                    files[i].fFingerprint == files[j].fFingerprint) {
                    store(j, files[j].fHash, files[j].fFingerprint);
                    files[j].fHash.clear();
                    groupFound = true;
                }
                if (j == n - 1 && groupFound) {
                    store(i, files[i].fHash, files[i].fFingerprint);
                    files[i].fHash.clear();
                    groupFound = false;
                }
            }
        }
    }
    // Groups of reference files only are not listed. Fast speed groups within a size only.
    const std::vector<TFiles>& stored = state.aDuplicatedFiles;
    auto sameGroup = [&](const TFiles& a, const TFiles& b) {
        return a.fHash == b.fHash && a.fFingerprint == b.fFingerprint &&
               (state.sTSearch != SearchSpeed::Fast || a.fSize == b.fSize);
    };
    std::vector<TFiles> listed;
    for (std::size_t start = 0; start < stored.size();) {
        std::size_t end = start + 1;
        bool references = stored[start].fReference;
        for (; end < stored.size() && sameGroup(stored[end], stored[start]); ++end)
            references = references && stored[end].fReference;
        if (!references)
            listed.insert(listed.end(), stored.begin() + static_cast<std::ptrdiff_t>(start),
                          stored.begin() + static_cast<std::ptrdiff_t>(end));
        start = end;
    }
    state.aDuplicatedFiles.clear();
    state.iDuplicatedFiles = 0;
    for (const TFiles& file : listed)
        state.appendDuplicated(file);
}

Fingerprint fingerprintOf(int value) {
    Fingerprint fingerprint;
    fingerprint.bytes[0] = static_cast<std::uint8_t>(value);
    fingerprint.bytes[15] = static_cast<std::uint8_t>(value >> 8);
    return fingerprint;
}

Table randomTable(std::mt19937& random) {
    Table table;
    const int n = std::uniform_int_distribution<int>(0, 40)(random);
    const int sizeKinds = std::uniform_int_distribution<int>(1, 8)(random);
    const int contentKinds = std::uniform_int_distribution<int>(1, 6)(random);
    for (int k = 0; k < n; ++k) {
        TFiles file;
        file.fName = "f" + std::to_string(k);
        file.fPath = "/d" + std::to_string(k % 3) + "/";
        // Mostly shared sizes, some unique ones, some empty files.
        int sizeDraw = std::uniform_int_distribution<int>(0, sizeKinds + 2)(random);
        file.fSize = sizeDraw > sizeKinds ? 1000 + k : sizeDraw;
        // A few reference files: groups of them only are left out.
        file.fReference = std::bernoulli_distribution(0.2)(random);
        int content = std::uniform_int_distribution<int>(0, contentKinds)(random);
        FakeContent fake;
        // Content 0 is a file that cannot be read; contents 1 and 2 collide on the digest text.
        // The others are hex, as digests are, with first bytes that rise with their keys'.
        if (content != 0) {
            fake.text = content <= 2 ? "collide" : "a" + std::to_string(content);
            fake.fingerprint = fingerprintOf(content);
        }
        table.files.push_back(file);
        table.contents.push_back(fake);
    }
    return table;
}

struct Outcome {
    std::vector<TFiles> duplicates;
    std::multiset<std::size_t> digested;
};

Outcome run(const Table& table, const std::string& speed, bool reference) {
    SharedState state;
    state.sTSearch = *speedFromName(speed);
    state.sTReferences = true;
    for (std::size_t k = 0; k < table.files.size(); ++k) {
        TFiles file = table.files[k];
        if (speed != "fast") { // digests made during the walk
            file.fHash = table.contents[k].text;
            file.fFingerprint = table.contents[k].fingerprint;
        }
        state.appendFound(file);
    }
    Outcome outcome;
    std::mutex digestedMutex; // digests run on several threads
    DigestOnDemand digest = [&](std::size_t k) {
        {
            std::lock_guard lock(digestedMutex);
            outcome.digested.insert(k);
        }
        state.aFilesFounded[k].fHash = table.contents[k].text;
        state.aFilesFounded[k].fFingerprint = table.contents[k].fingerprint;
    };
    RunControl control;
    if (reference)
        referenceMatch(state, digest);
    else
        matchFiles(state, control, digest);
    outcome.duplicates = state.aDuplicatedFiles;
    EXPECT_EQ(state.iDuplicatedFiles, static_cast<int>(state.aDuplicatedFiles.size()));
    return outcome;
}

std::vector<std::string> describe(const std::vector<TFiles>& files) {
    std::vector<std::string> lines;
    for (const TFiles& file : files) {
        lines.push_back(file.fPath + file.fName + " " + std::to_string(file.fSize) + " " +
                        file.fHash + " " + std::to_string(file.fFingerprint.bytes[0]) +
                        (file.fReference ? " reference" : ""));
    }
    return lines;
}

class MatcherAgainstReference : public testing::TestWithParam<const char*> {};

TEST_P(MatcherAgainstReference, SameGroupsOrderAndDigestsOnRandomTables) {
    const std::string speed = GetParam();
    std::mt19937 random(20261208);
    int roundsWithGroups = 0;
    for (int round = 0; round < 1500; ++round) {
        Table table = randomTable(random);
        Outcome expected = run(table, speed, true);
        Outcome actual = run(table, speed, false);
        roundsWithGroups += expected.duplicates.empty() ? 0 : 1;
        ASSERT_EQ(describe(actual.duplicates), describe(expected.duplicates)) << "round " << round;
        // The same files are digested, and each of them once.
        std::set<std::size_t> expectedSet(expected.digested.begin(), expected.digested.end());
        std::set<std::size_t> actualSet(actual.digested.begin(), actual.digested.end());
        ASSERT_EQ(actualSet, expectedSet) << "round " << round;
        ASSERT_EQ(actual.digested.size(), actualSet.size()) << "round " << round;
    }
    EXPECT_GT(roundsWithGroups, 500); // the tables really exercise grouping
}

INSTANTIATE_TEST_SUITE_P(Speeds, MatcherAgainstReference, testing::Values("fast", "normal"));

Table tableOf(const std::vector<std::pair<std::int64_t, std::string>>& sizeAndContent) {
    Table table;
    for (std::size_t k = 0; k < sizeAndContent.size(); ++k) {
        TFiles file;
        file.fName = std::string(1, static_cast<char>('A' + k));
        file.fSize = sizeAndContent[k].first;
        table.files.push_back(file);
        table.contents.push_back({sizeAndContent[k].second, {}});
    }
    return table;
}

std::string namesOf(const std::vector<TFiles>& files) {
    std::string names;
    for (const TFiles& file : files)
        names += file.fName;
    return names;
}

TEST(Matcher, GroupsByFirstMemberWithTheFirstMemberLast) {
    Table table = tableOf({{3, "x"}, {3, "y"}, {3, "x"}, {3, "y"}, {3, "x"}});
    for (const char* speed : {"fast", "normal"})
        EXPECT_EQ(namesOf(run(table, speed, false).duplicates), "CEADB") << speed;
}

TEST(Matcher, FastSpeedDigestsOnlySharedSizes) {
    Table table = tableOf({{1, "a"}, {2, "b"}, {2, "c"}, {3, "d"}, {2, "b"}});
    Outcome outcome = run(table, "fast", false);
    EXPECT_EQ(namesOf(outcome.duplicates), "EB");
    EXPECT_EQ(outcome.digested, (std::multiset<std::size_t>{1, 2, 4}));
}

TEST(Matcher, AllSizesDifferentDigestsNothing) {
    Outcome outcome = run(tableOf({{1, "a"}, {2, "a"}, {3, "a"}}), "fast", false);
    EXPECT_TRUE(outcome.duplicates.empty());
    EXPECT_TRUE(outcome.digested.empty());
}

TEST(Matcher, EqualDigestsWithDifferentFingerprintsDoNotMatch) {
    Table table = tableOf({{5, "same"}, {5, "same"}, {5, "same"}});
    table.contents[1].fingerprint = fingerprintOf(7);
    for (const char* speed : {"fast", "normal"})
        EXPECT_EQ(namesOf(run(table, speed, false).duplicates), "CA") << speed;
}

TEST(Matcher, UnreadableFileMatchesNothing) {
    Table table = tableOf({{5, ""}, {5, ""}, {5, "x"}});
    for (const char* speed : {"fast", "normal"})
        EXPECT_TRUE(run(table, speed, false).duplicates.empty()) << speed;
}

TEST(Matcher, ContentShortcutGivesTheSameResult) {
    // Keys that collide for different contents must not change the result: the byte comparison
    // (here: the contents' own texts) decides.
    std::mt19937 random(99);
    for (int round = 0; round < 300; ++round) {
        Table table = randomTable(random);
        Outcome expected = run(table, "fast", true);
        SharedState state;
        state.sTSearch = SearchSpeed::Fast;
        state.sTReferences = true;
        for (const TFiles& file : table.files)
            state.appendFound(file);
        std::mutex mutex;
        auto digest = [&](std::size_t k) {
            state.aFilesFounded[k].fHash = table.contents[k].text;
            state.aFilesFounded[k].fFingerprint = table.contents[k].fingerprint;
        };
        auto sameBytes = [&](std::size_t a, std::size_t b) {
            return table.contents[a].text == table.contents[b].text &&
                   table.contents[a].fingerprint == table.contents[b].fingerprint;
        };
        // Even sizes take the keyed path, odd sizes the batched one.
        std::multiset<std::size_t> batchedDigests;
        ContentShortcut shortcut{
            [&](std::size_t k) { return table.files[k].fSize % 2 == 0; },
            [&](std::size_t k) -> std::optional<Fingerprint> {
                if (table.contents[k].text.empty())
                    return std::nullopt;
                return fingerprintOf(static_cast<int>(table.contents[k].text.size())); // collides
            },
            [&](const std::vector<std::size_t>& alike) {
                digest(alike.front());
                for (std::size_t k = 1; k < alike.size(); ++k) {
                    if (sameBytes(alike[k], alike[0])) {
                        state.aFilesFounded[alike[k]].fHash = state.aFilesFounded[alike[0]].fHash;
                        state.aFilesFounded[alike[k]].fFingerprint =
                            state.aFilesFounded[alike[0]].fFingerprint;
                    } else {
                        digest(alike[k]);
                    }
                }
            },
            [&](std::size_t k) { return table.files[k].fSize % 2 == 1; },
            [&](const std::vector<std::size_t>& members) {
                ASSERT_LE(members.size(), ContentShortcut::kBatchSize);
                for (std::size_t k : members) {
                    ASSERT_EQ(table.files[k].fSize, table.files[members.front()].fSize);
                    std::lock_guard lock(mutex);
                    batchedDigests.insert(k);
                }
                for (std::size_t k : members)
                    digest(k);
            }};
        // Every other round, keyed classes of two files are compared as a pair instead.
        if (round % 2 == 1)
            shortcut.digestPair = [&](const std::vector<std::size_t>& pair) {
                EXPECT_EQ(pair.size(), 2u);
                if (!sameBytes(pair[0], pair[1]))
                    return;
                digest(pair[0]);
                state.aFilesFounded[pair[1]].fHash = state.aFilesFounded[pair[0]].fHash;
                state.aFilesFounded[pair[1]].fFingerprint =
                    state.aFilesFounded[pair[0]].fFingerprint;
            };
        RunControl control;
        matchFiles(state, control, digest, nullptr, 2, &shortcut);
        ASSERT_EQ(describe(state.aDuplicatedFiles), describe(expected.duplicates))
            << "round " << round;
        // A batch digests exactly the files the plain path would: those whose size another
        // file shares, each once.
        std::set<std::size_t> expectedBatched;
        for (std::size_t k : expected.digested)
            if (table.files[k].fSize % 2 == 1)
                expectedBatched.insert(k);
        ASSERT_EQ(std::set<std::size_t>(batchedDigests.begin(), batchedDigests.end()),
                  expectedBatched)
            << "round " << round;
        ASSERT_EQ(batchedDigests.size(), expectedBatched.size()) << "round " << round;
    }
}

TEST(Matcher, BarAndBytesReadOnlyRiseWhileMatching) {
    // Size classes whose members interleave in found order, some read in part first, some keyed
    // by their whole content, the rest digested: a bar that followed the files being read would
    // run back and forth. The bytes read never pass the bytes to read, and end equal.
    SharedState state;
    state.sTSearch = SearchSpeed::Fast;
    const int n = 240;
    for (int k = 0; k < n; ++k) {
        TFiles file;
        file.fName = "f" + std::to_string(k);
        file.fSize = 100000 + (k % 24) * 1000;
        state.appendFound(file);
    }
    DigestOnDemand digest = [&](std::size_t k) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        state.aFilesFounded[k].fHash = "h" + std::to_string(k % 48);
        state.aFilesFounded[k].fFingerprint = fingerprintOf(static_cast<int>(k % 48));
    };
    PrefixOf prefixOf = [&](std::size_t k) -> std::optional<Fingerprint> {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        return fingerprintOf(static_cast<int>(k % 72));
    };
    ContentShortcut shortcut{[&](std::size_t k) { return k % 24 < 8; },
                             [&](std::size_t k) -> std::optional<Fingerprint> {
                                 std::this_thread::sleep_for(std::chrono::microseconds(300));
                                 return fingerprintOf(static_cast<int>(k % 48));
                             },
                             [&](const std::vector<std::size_t>& alike) {
                                 for (std::size_t k : alike)
                                     digest(k);
                             },
                             nullptr, nullptr};

    std::atomic<bool> done{false};
    std::vector<int> fallsBack;
    int bytesFallBack = 0;
    int readPastPlan = 0;
    std::thread watcher([&] {
        int last = 0;
        std::int64_t lastRead = 0;
        while (!done.load()) {
            const int bar = state.iBar.load();
            if (bar < last)
                fallsBack.push_back(bar);
            last = bar;
            const std::int64_t read = state.iBytesRead.load(); // before the plan: it only grows
            bytesFallBack += read < lastRead ? 1 : 0;
            readPastPlan += read > state.iBytesToRead.load() ? 1 : 0;
            lastRead = read;
        }
    });
    RunControl control;
    matchFiles(state, control, digest, prefixOf, 2, &shortcut);
    done = true;
    watcher.join();
    EXPECT_TRUE(fallsBack.empty()) << fallsBack.size() << " times, first to " << fallsBack.front();
    EXPECT_EQ(state.iBar.load(), n - 1);
    EXPECT_FALSE(state.aDuplicatedFiles.empty());
    EXPECT_EQ(bytesFallBack, 0);
    EXPECT_EQ(readPastPlan, 0);
    EXPECT_GT(state.iBytesRead.load(), 0);
    EXPECT_EQ(state.iBytesRead.load(), state.iBytesToRead.load());
}

TEST(Matcher, TerminationStopsMatching) {
    SharedState state;
    for (int k = 0; k < 4; ++k) {
        TFiles file;
        file.fSize = 1;
        state.appendFound(file);
    }
    RunControl control;
    control.requestTerminate();
    int digests = 0;
    matchFiles(state, control, [&](std::size_t) { ++digests; });
    EXPECT_EQ(digests, 0);
    EXPECT_TRUE(state.aDuplicatedFiles.empty());
}

} // namespace
