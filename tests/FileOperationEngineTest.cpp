#include "TempTree.h"
#include "operations/FileOperationEngine.h"
#include "operations/FileTransfer.h"
#include "platform/LongPath.h"
#include "platform/Trash.h"
#include "search/ResultRows.h"
#include "search/RunControl.h"
#include "search/SearchEngine.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <thread>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return in ? text.str() : "<missing>";
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Answers the engine's questions as told and remembers what it was asked.
class ScriptedHost : public OperationHost {
public:
    std::vector<bool> replaceAnswers; // taken in turn; No when none is left
    int replaceQuestions = 0;
    int renameWarnings = 0;
    std::vector<std::string> started;

    bool askReplace() override {
        const bool answer = replaceQuestions < static_cast<int>(replaceAnswers.size()) &&
                            replaceAnswers[static_cast<std::size_t>(replaceQuestions)];
        ++replaceQuestions;
        return answer;
    }
    void warnRenamed() override { ++renameWarnings; }
    void fileStarted(int number, const std::string& name, const std::string&) override {
        started.push_back(std::to_string(number) + ":" + name);
    }
};

// A search of a tree and its result as the list shows it.
class Result {
public:
    explicit Result(const TempTree& tree, const SearchOptions& options = {})
        : Result(tree.root(), options) {}
    explicit Result(const std::string& folder, const SearchOptions& options = {})
        : m_root(folder + "/") {
        SearchEngine engine(m_state, m_control, m_progress);
        engine.run(folder, true, options);
        table = m_state.aDuplicatedFiles;
        rows = buildRows(table);
    }

    // Ticks exactly the rows of these files (below the tree).
    std::vector<char> ticks(const std::vector<std::string>& files) const {
        std::vector<char> ticked(rows.size(), 0);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            for (const std::string& file : files)
                ticked[i] = ticked[i] || rows[i].folder + rows[i].name == m_root + file;
        }
        return ticked;
    }

    // "group:file:status" for every record, the file below the tree when it is.
    std::vector<std::string> describe() const {
        std::vector<std::string> lines;
        for (const ResultRow& row : buildRows(table)) {
            std::string file = row.folder + row.name;
            if (file.rfind(m_root, 0) == 0)
                file = file.substr(m_root.size());
            lines.push_back(row.caption + ":" + file + ":" + row.status);
        }
        return lines;
    }

    std::vector<TFiles> table;
    std::vector<ResultRow> rows;

private:
    std::string m_root;
    SharedState m_state;
    RunControl m_control;
    SearchProgress m_progress;
};

OperationRequest request(FileOperation operation, const std::string& destination = {},
                         OnCopy onCopy = OnCopy::Rename, bool warnOnMoveRename = false) {
    return OperationRequest{operation, destination, onCopy, warnOnMoveRename};
}

using Lines = std::vector<std::string>;

TEST(FileOperationEngine, CopyPoliciesOnANameConflict) {
    struct Case {
        OnCopy policy;
        std::vector<bool> answers;
        Lines inDestination;
        int questions;
    };
    for (const Case& c :
         {Case{OnCopy::Rename, {}, {"x (1).txt", "x.txt"}, 0},
          Case{OnCopy::Replace, {}, {"x.txt"}, 0}, Case{OnCopy::Prompt, {true}, {"x.txt"}, 1},
          Case{OnCopy::Prompt, {false}, {"x (1).txt", "x.txt"}, 1}}) {
        TempTree tree;
        tree.file("a/x.txt", "same");
        tree.file("b/x.txt", "same");
        Result result(tree);
        ScriptedHost host;
        host.replaceAnswers = c.answers;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(request(FileOperation::Copy, tree.root() + "/to/", c.policy), result.rows,
                   result.ticks({"a/x.txt", "b/x.txt"}));
        Lines names;
        for (const char* name : {"x.txt", "x (1).txt", "x (2).txt"}) {
            if (exists(tree.path(std::string("to/") + name)))
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.inDestination) << int(c.policy);
        EXPECT_EQ(host.replaceQuestions, c.questions) << int(c.policy);
        EXPECT_TRUE(engine.failures().empty()) << int(c.policy);
        // Each copy on disk is a record of the group, with the status of a copy.
        EXPECT_EQ(result.table.size(), 2 + c.inDestination.size()) << int(c.policy);
        EXPECT_EQ(engine.globalPosition(), 200) << int(c.policy);
    }
}

TEST(FileOperationEngine, AKeptFileThatIsGoneGivesWayToTheNext) {
    for (const bool allGone : {false, true}) {
        TempTree tree;
        for (const char* name : {"a", "b", "c"})
            tree.file(name, "same");
        Result result(tree);
        ASSERT_EQ(result.describe(), (Lines{"1:b:0", "1:c:0", "1:a:0"}));
        // The first file the group keeps is gone since the search (and, in one case, all).
        ::unlink(tree.path("b").c_str());
        if (allGone)
            ::unlink(tree.path("c").c_str());
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(request(FileOperation::Delete), result.rows, result.ticks({"a"}));
        EXPECT_EQ(exists(tree.path("a")), allGone);
        EXPECT_EQ(engine.failures().size(), allGone ? 1u : 0u);
    }
}

TEST(FileOperationEngine, AReferenceFileIsCopiedButNeverMovedOrRemovedNorWrittenInto) {
    struct Case {
        FileOperation operation;
        const char* destination;
        std::size_t failures; // each for a reference folder
        bool mainStays;
    };
    for (const Case& c :
         {Case{FileOperation::Copy, "to/", 0, true}, Case{FileOperation::Move, "to/", 1, false},
          Case{FileOperation::Delete, "", 1, false}, Case{FileOperation::Trash, "", 1, false},
          Case{FileOperation::HardLink, "", 1, true},
          Case{FileOperation::Copy, "main/../ref/new/", 2, true},
          Case{FileOperation::Move, "main/../ref/new/", 2, true}}) {
        TempTree tree;
        tree.file("main/x", "same");
        tree.file("ref/x", "same");
        tree.chmod("ref/x", 0444);
        TempTree data;
        OperationRequest asked = request(c.operation, tree.path(c.destination));
        asked.trash = TrashLocations{data.path("Trash"), ::geteuid()};
        SearchOptions options;
        options.scope.folders = {{tree.path("ref"), true}};
        asked.references = ReferenceFolders(options.scope.folders);
        Result result(tree.path("main"), options);
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        // Ticked all the same, as a command of another front end might.
        engine.run(asked, result.rows, std::vector<char>(result.rows.size(), 1));
        SCOPED_TRACE(std::to_string(int(c.operation)) + " " + c.destination);
        EXPECT_EQ(engine.failures().size(), c.failures);
        for (const OperationFailure& failure : engine.failures())
            EXPECT_NE(failure.reason.find("reference folder"), std::string::npos);
        EXPECT_EQ(exists(tree.path("main/x")), c.mainStays); // its group keeps the reference file
        EXPECT_TRUE(exists(tree.path("ref/x")));
        EXPECT_FALSE(exists(tree.path("ref/new")));
    }
}

TEST(FileOperationEngine, CopiesJoinTheirGroupAndTheFirstFileGoesLast) {
    TempTree tree;
    tree.file("a", "one");
    tree.file("b", "one");
    tree.file("c", "two");
    tree.file("d", "two");
    Result result(tree);
    EXPECT_EQ(result.describe(), (Lines{"1:b:0", "1:a:0", "2:d:0", "2:c:0"}));
    ScriptedHost host;
    RunControl control;
    FileOperationEngine engine(result.table, host, control);
    engine.run(request(FileOperation::Copy, tree.root() + "/to/"), result.rows,
               result.ticks({"a"}));
    EXPECT_EQ(result.describe(), (Lines{"1:a:0", "1:to/a:1", "1:b:0", "2:c:0", "2:d:0"}));
    EXPECT_EQ(host.started, Lines{"1:a"});
}

TEST(FileOperationEngine, MoveNeverReplacesAndWarnsWhenAsked) {
    for (const bool warn : {true, false}) {
        TempTree tree;
        tree.file("a/x.txt", "same");
        tree.file("b/x.txt", "same");
        tree.file("to/x.txt", "other, not listed");
        Result result(tree);
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(request(FileOperation::Move, tree.root() + "/to/", OnCopy::Rename, warn),
                   result.rows, result.ticks({"a/x.txt"}));
        EXPECT_EQ(host.renameWarnings, warn ? 1 : 0);
        EXPECT_EQ(contentOf(tree.path("to/x.txt")), "other, not listed");
        EXPECT_EQ(contentOf(tree.path("to/x (1).txt")), "same");
        EXPECT_FALSE(exists(tree.path("a/x.txt")));
        EXPECT_EQ(result.describe(), (Lines{"1:to/x (1).txt:2", "1:b/x.txt:0"}));
    }
}

TEST(FileOperationEngine, DeleteKeepsAGroupsFileAndRefusesWhatChanged) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    tree.file("c", "same");
    tree.file("d", "two");
    tree.file("e", "two");
    Result result(tree);
    // Rows: b c a, e d. "a" is changed after the search: its delete is refused.
    tree.file("a", "SAME");
    ScriptedHost host;
    RunControl control;
    FileOperationEngine engine(result.table, host, control);
    engine.run(request(FileOperation::Delete), result.rows, result.ticks({"c", "a", "d"}));
    EXPECT_TRUE(exists(tree.path("b")));
    EXPECT_FALSE(exists(tree.path("c")));
    EXPECT_TRUE(exists(tree.path("a")));
    EXPECT_FALSE(exists(tree.path("d")));
    EXPECT_TRUE(exists(tree.path("e")));
    ASSERT_EQ(engine.failures().size(), 1u);
    EXPECT_EQ(engine.failures()[0].path, tree.path("a"));
    EXPECT_EQ(engine.failures()[0].reason, "The file has changed since the search.");
    // The group of e lost its other file; b and the refused a stay a group.
    EXPECT_EQ(result.describe(), (Lines{"1:a:0", "1:b:0"}));
}

TEST(FileOperationEngine, FilesInUseOrGoneArePassedOver) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    tree.file("c", "same");
    tree.file("d", "same");
    Result result(tree);
    tree.chmod("b", 0444); // read-only: in use
    ASSERT_EQ(::unlink(tree.path("a").c_str()), 0);
    // Being written by a program that takes no lock (a log, a download): in use too.
    UniqueFd writer(::open(tree.path("d").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ScriptedHost host;
    RunControl control;
    FileOperationEngine engine(result.table, host, control);
    engine.run(request(FileOperation::Delete), result.rows, result.ticks({"a", "b", "d"}));
    EXPECT_TRUE(exists(tree.path("b")));
    EXPECT_TRUE(exists(tree.path("d")));
    EXPECT_TRUE(engine.failures().empty());
    // Passed over, with the reason for those who want it (the command line names them).
    ASSERT_EQ(engine.passedOver().size(), 3u);
    EXPECT_EQ(engine.passedOver()[0].path, tree.path("b"));
    EXPECT_NE(engine.passedOver()[0].reason.find("in use"), std::string::npos);
    EXPECT_EQ(engine.passedOver()[1].path, tree.path("d"));
    EXPECT_NE(engine.passedOver()[1].reason.find("in use"), std::string::npos);
    EXPECT_EQ(engine.passedOver()[2].path, tree.path("a"));
    EXPECT_EQ(engine.passedOver()[2].reason, "It no longer exists.");
    EXPECT_EQ(host.started.size(), 3u); // each counted as handled
    EXPECT_EQ(engine.globalPosition(), 0);
}

TEST(FileOperationEngine, AFileAnotherProgramHoldsAnyLockOnIsPassedOver) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    Result result(tree);
    for (const bool flockStyle : {true, false}) {
        // Another open file description, as another program would hold.
        UniqueFd holder(::open(tree.path("a").c_str(), O_RDWR | O_CLOEXEC));
        struct flock lock {};
        lock.l_type = F_WRLCK;
        ASSERT_EQ(flockStyle ? ::flock(holder.get(), LOCK_SH)
                             : ::fcntl(holder.get(), F_OFD_SETLK, &lock),
                  0);
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(request(FileOperation::Delete), result.rows, result.ticks({"a"}));
        EXPECT_TRUE(exists(tree.path("a")));
        ASSERT_EQ(engine.passedOver().size(), 1u);
        EXPECT_NE(engine.passedOver()[0].reason.find("in use"), std::string::npos);
        result.rows = buildRows(result.table);
    }
}

TEST(FileOperationEngine, ARunAskedToEndStopsAfterTheFileUnderWayAndKeepsEveryRecord) {
    TempTree tree;
    for (const char* name : {"a", "b", "c", "d"})
        tree.file(name, "same");
    Result result(tree);
    ScriptedHost host;
    RunControl control;
    struct EndAfterFirst : ScriptedHost {
        RunControl* control = nullptr;
        void fileStarted(int number, const std::string& name, const std::string& folder) override {
            ScriptedHost::fileStarted(number, name, folder);
            control->requestTerminate();
        }
    } ending;
    ending.control = &control;
    FileOperationEngine engine(result.table, ending, control);
    engine.run(request(FileOperation::Delete), result.rows, result.ticks({"c", "d", "a"}));
    EXPECT_EQ(ending.started, Lines{"1:c"});
    EXPECT_FALSE(exists(tree.path("c")));
    EXPECT_TRUE(exists(tree.path("d")) && exists(tree.path("a")));
    EXPECT_EQ(result.describe(), (Lines{"1:d:0", "1:a:0", "1:b:0"}));
}

TEST(FileOperationEngine, ACopyOverAListedFileOfTheSameContentRefreshesItsRecord) {
    TempTree tree;
    tree.file("a/x.txt", "same");
    tree.file("b/x.txt", "same");
    Result result(tree);
    ScriptedHost host;
    RunControl control;
    FileOperationEngine engine(result.table, host, control);
    engine.run(request(FileOperation::Copy, tree.root() + "/b/", OnCopy::Replace), result.rows,
               result.ticks({"a/x.txt"}));
    ASSERT_TRUE(engine.failures().empty());
    EXPECT_EQ(result.table.size(), 2u);
    // Deleting the replaced file is no longer refused as changed since the search.
    result.rows = buildRows(result.table);
    engine.run(request(FileOperation::Delete), result.rows, result.ticks({"b/x.txt"}));
    EXPECT_TRUE(engine.failures().empty());
    EXPECT_FALSE(exists(tree.path("b/x.txt")));
}

} // namespace

namespace {

TEST(FileOperationEngine, TrashTakesTheSameChecksAsDeleteAndLeavesARecordPerFile) {
    TempTree tree;
    tree.file("photos/a b%.jpg", "same");
    tree.file("photos/copy.jpg", "same");
    tree.file("photos/third.jpg", "same");
    tree.file("other/x", "two");
    tree.file("other/y", "two");
    Result result(tree);
    // Rows: y x, then copy.jpg third.jpg "a b%.jpg". "x" changes after the search.
    tree.file("other/x", "TWO");
    ScriptedHost host;
    RunControl control;
    OperationRequest trash = request(FileOperation::Trash);
    trash.trash = TrashLocations{tree.path("home/Trash"), ::geteuid()};
    FileOperationEngine engine(result.table, host, control);
    engine.run(trash, result.rows,
               result.ticks({"photos/third.jpg", "photos/a b%.jpg", "other/x"}));

    EXPECT_TRUE(exists(tree.path("photos/copy.jpg")));
    EXPECT_FALSE(exists(tree.path("photos/third.jpg")));
    EXPECT_FALSE(exists(tree.path("photos/a b%.jpg")));
    EXPECT_TRUE(exists(tree.path("other/x")));
    for (const std::string name : {"third.jpg", "a b%.jpg"}) {
        EXPECT_EQ(contentOf(tree.path("home/Trash/files/" + name)), "same") << name;
        EXPECT_EQ(restoredPath(tree.path("home/Trash/info/" + name + ".trashinfo"), "/"),
                  tree.path("photos/" + name));
    }
    ASSERT_EQ(engine.failures().size(), 1u);
    EXPECT_EQ(engine.failures()[0].path, tree.path("other/x"));
    // Trashed rows leave the list as deleted ones do: copy.jpg has no copy left.
    EXPECT_EQ(result.describe(), (Lines{"1:other/x:0", "1:other/y:0"}));
}

TEST(FileOperationEngine, AFileNoTrashCanTakeStaysAndIsNamed) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    tree.file("home", "a file where the trash folder would be");
    Result result(tree);
    ScriptedHost host;
    RunControl control;
    OperationRequest trash = request(FileOperation::Trash);
    trash.trash = TrashLocations{tree.path("home/Trash"), ::geteuid()};
    FileOperationEngine engine(result.table, host, control);
    engine.run(trash, result.rows, result.ticks({"a"}));
    EXPECT_EQ(contentOf(tree.path("a")), "same");
    ASSERT_EQ(engine.failures().size(), 1u);
    EXPECT_EQ(engine.failures()[0].path, tree.path("a"));
    EXPECT_FALSE(engine.failures()[0].reason.empty());
    EXPECT_EQ(result.describe(), (Lines{"1:a:0", "1:b:0"}));
}

} // namespace

namespace {

// The entries of a folder whose names begin with `prefix`.
std::vector<std::string> namesIn(const std::string& folder, const std::string& prefix = "") {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RemovalSafety, AFileSeenThroughAnOverlayIsNeverTakenForACopyOfItsLayerFile) {
    using Kind = OverlayMount::Kind;
    int tested = 0;
    for (const Kind kind : {Kind::Kernel, Kind::KernelMetacopy, Kind::KernelRelative, Kind::Fuse}) {
        SCOPED_TRACE(static_cast<int>(kind));
        OverlayMount overlay(kind, [](const TempTree& layers) {
            layers.file("lower/x", "the only copy");
            layers.file("upper/y", "the only copy too");
        });
        if (!overlay.mounted()) {
            std::printf("overlay %d not tested: %s\n", static_cast<int>(kind),
                        overlay.error().c_str());
            continue;
        }
        ++tested;
        const TempTree& tree = overlay.tree();
        if (kind == Kind::KernelMetacopy || kind == Kind::KernelRelative) {
            // Its metadata copied up, its bytes still below.
            ASSERT_EQ(::chmod(tree.path("merged/x").c_str(), 0600), 0);
        }
        // The kernel's overlay is known by the mount table's layers: the search pairs nothing.
        if (kind == Kind::Kernel || kind == Kind::KernelMetacopy) {
            EXPECT_EQ(Result(tree).describe(), Lines{});
        }
        // Removals do not rest on the search: handed such a pair, the layer file stays.
        for (const std::string layerFile : {"lower/x", "upper/y"}) {
            SCOPED_TRACE(layerFile);
            const std::string seen = tree.path("merged/" + layerFile.substr(6));
            std::vector<TFiles> table{recordOf(seen), recordOf(tree.path(layerFile))};
            ScriptedHost host;
            RunControl control;
            FileOperationEngine engine(table, host, control);
            engine.run(request(FileOperation::Delete), buildRows(table), {0, 1});
            EXPECT_EQ(engine.failures().size(), 1u);
            EXPECT_TRUE(exists(tree.path(layerFile)));
            EXPECT_EQ(namesIn(tree.path(layerFile.substr(0, 5)), ".twinscope-"), Lines{});
        }
        EXPECT_EQ(contentOf(tree.path("merged/x")), "the only copy");
        if (kind != Kind::Kernel)
            continue;
        // The other way round, the file seen through the overlay is the kept file itself.
        std::vector<TFiles> table{recordOf(tree.path("lower/x")), recordOf(tree.path("merged/x"))};
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(table, host, control);
        engine.run(request(FileOperation::Delete), buildRows(table), {0, 1});
        ASSERT_EQ(engine.failures().size(), 1u);
        EXPECT_EQ(engine.failures()[0].reason, "It is the same file as the one kept in its group.");
        // Without knowing the overlay at all: once the layer file is set aside, the file seen
        // through the overlay has changed (a rename gives the file a new change time, after a
        // tick of the clock file times come from).
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const TFiles kept = recordOf(tree.path("merged/x"));
        const TFiles picked = recordOf(tree.path("lower/x"));
        CheckedFile file(picked.fullName());
        EXPECT_TRUE(removeChecked(file, &picked, &kept, OverlayMounts{}, deleteStep()));
        EXPECT_EQ(contentOf(tree.path("lower/x")), "the only copy");
    }
    if (tested == 0)
        GTEST_SKIP() << "no overlay could be mounted";
}

// Another program swaps a file between the checks and the removal: the file checked is the
// file acted on, or nothing is done.
TEST(RemovalSafety, WhatIsSwappedInBetweenTheStepsIsNeverRemoved) {
    struct Case {
        const char* name;
        FileOperation operation;
        RemovalStep at;
        const char* swapped; // "a" is ticked, "b" is the file its group keeps
    };
    const Case cases[] = {
        {"delete, ticked file swapped", FileOperation::Delete, RemovalStep::Checked, "a"},
        {"trash, ticked file swapped", FileOperation::Trash, RemovalStep::Checked, "a"},
        {"move, ticked file swapped", FileOperation::Move, RemovalStep::Checked, "a"},
        {"delete, kept file swapped", FileOperation::Delete, RemovalStep::Checked, "b"},
        {"trash, kept file swapped once set aside", FileOperation::Trash, RemovalStep::SetAside,
         "b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        tree.file("files/a", "same");
        tree.file("files/b", "same");
        Result result(tree);
        OperationRequest operation = request(c.operation, tree.path("moved/"));
        operation.trash = TrashLocations{tree.path("home/Trash"), ::geteuid()};
        const std::string swapped = tree.path(std::string("files/") + c.swapped);
        operation.seam = [&](RemovalStep step, const CheckedFile&) {
            if (step != c.at)
                return;
            ASSERT_EQ(::rename(swapped.c_str(), (swapped + ".checked").c_str()), 0);
            tree.file(std::string("files/") + c.swapped, "intruder");
        };
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(operation, result.rows, result.ticks({"files/a"}));
        ASSERT_EQ(engine.failures().size(), 1u);
        EXPECT_EQ(engine.failures()[0].path, tree.path("files/a"));
        EXPECT_EQ(contentOf(swapped), "intruder");
        EXPECT_EQ(contentOf(swapped + ".checked"), "same");
        EXPECT_EQ(contentOf(tree.path(c.swapped[0] == 'a' ? "files/b" : "files/a")), "same");
        Lines names{"a", "b", std::string(c.swapped) + ".checked"};
        std::sort(names.begin(), names.end());
        EXPECT_EQ(namesIn(tree.path("files")), names);
        EXPECT_EQ(namesIn(tree.path("home/Trash/files")), Lines{});
        EXPECT_EQ(namesIn(tree.path("moved")), Lines{});
    }
}

// The folder of a ticked file replaced after the search by a link to a folder that holds another
// name of the same file: the name removed would be one the search never listed.
TEST(RemovalSafety, AFolderReplacedSinceTheSearchIsNotEntered) {
    TempTree tree;
    tree.file("A/f", "same");
    tree.file("B/f", "same");
    TempTree elsewhere; // not searched
    ASSERT_EQ(::link(tree.path("A/f").c_str(), elsewhere.path("f").c_str()), 0);
    Result result(tree);
    ASSERT_EQ(::rename(tree.path("A").c_str(), tree.path("A.old").c_str()), 0);
    tree.symlink(elsewhere.root(), "A");
    ScriptedHost host;
    RunControl control;
    FileOperationEngine engine(result.table, host, control);
    engine.run(request(FileOperation::Delete), result.rows, result.ticks({"A/f"}));
    ASSERT_EQ(engine.failures().size(), 1u);
    EXPECT_NE(engine.failures()[0].reason.find("folder has changed"), std::string::npos);
    EXPECT_EQ(contentOf(elsewhere.path("f")), "same");
}

// FAT file systems know neither a rename that never replaces nor hard links: files still go to
// the trash of the stick and are moved, never over another file.
TEST(RemovalSafety, OnExFatFilesAreTrashedAndMoved) {
    LoopDisk disk(LoopDisk::Kind::ExFat);
    if (!disk.mounted())
        GTEST_SKIP() << "no exFAT disk: " << disk.error();
    for (const char* name : {"a", "b", "c"})
        std::ofstream(disk.path(name)) << "same";
    std::filesystem::create_directory(disk.path("moved"));
    std::ofstream(disk.path("moved/c")) << "taken";
    Result result(disk.path("").substr(0, disk.path("").size() - 1));
    ScriptedHost host;
    RunControl control;
    TempTree home; // another file system: the trash of the stick's top folder takes the file
    OperationRequest trash = request(FileOperation::Trash);
    trash.trash = TrashLocations{home.path("Trash"), ::geteuid()};
    FileOperationEngine engine(result.table, host, control);
    engine.run(trash, result.rows, result.ticks({"a"}));
    EXPECT_TRUE(engine.failures().empty()) << engine.failures()[0].reason;
    EXPECT_EQ(contentOf(disk.path(".Trash-" + std::to_string(::geteuid()) + "/files/a")), "same");
    result.rows = buildRows(result.table);
    engine.run(request(FileOperation::Move, disk.path("moved/")), result.rows, result.ticks({"c"}));
    EXPECT_TRUE(engine.failures().empty()) << engine.failures()[0].reason;
    EXPECT_EQ(contentOf(disk.path("moved/c")), "taken");
    EXPECT_EQ(contentOf(disk.path("moved/c (1)")), "same");
}

// A folder whose path is longer than PATH_MAX, made one level at a time; its path ends in "/".
std::string deepFolder(const TempTree& tree, const std::string& below) {
    std::string path = tree.path(below);
    std::filesystem::create_directories(path);
    UniqueFd folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string name(200, 'd');
    while (path.size() <= PATH_MAX) {
        ::mkdirat(folder.get(), name.c_str(), 0755);
        folder.reset(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        EXPECT_TRUE(folder) << std::strerror(errno);
        path += "/" + name;
    }
    return path + "/";
}

void writeDeep(const std::string& path, const std::string& content) {
    ParentHandle parent(path);
    UniqueFd out(::openat(parent.dirFd(), parent.leaf(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(out) << std::strerror(errno);
    ASSERT_EQ(::write(out.get(), content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
}

std::string readDeep(const std::string& path) {
    UniqueFd in(openLongPath(path, O_RDONLY));
    std::string text;
    return in && readRest(in.get(), text) ? text : "<missing>";
}

TEST(RemovalSafety, FilesDeeperThanPathMaxAreRemovedMovedAndCopied) {
    for (const FileOperation operation :
         {FileOperation::Delete, FileOperation::Trash, FileOperation::Move, FileOperation::Copy}) {
        SCOPED_TRACE(static_cast<int>(operation));
        TempTree tree;
        const std::string deep = deepFolder(tree, "deep");
        writeDeep(deep + "a", "deep content");
        writeDeep(deep + "b", "deep content");
        Result result(tree);
        ASSERT_EQ(result.rows.size(), 2u);
        // Copies go into a deep folder too, made on the way.
        const std::string destination =
            operation == FileOperation::Copy ? deepFolder(tree, "copies") : tree.path("moved/");
        OperationRequest what = request(operation, destination);
        what.trash = TrashLocations{tree.path("home/Trash"), ::geteuid()};
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(what, result.rows, result.ticks({deep.substr(tree.root().size() + 1) + "a"}));
        EXPECT_EQ(engine.failures().size(), 0u) << engine.failures()[0].reason;
        EXPECT_EQ(engine.passedOver().size(), 0u) << engine.passedOver()[0].reason;
        EXPECT_EQ(readDeep(deep + "a"),
                  operation == FileOperation::Copy ? "deep content" : "<missing>");
        EXPECT_EQ(readDeep(deep + "b"), "deep content");
        const std::string landed = operation == FileOperation::Trash  ? "home/Trash/files/a"
                                   : operation == FileOperation::Move ? "moved/a"
                                                                      : "";
        if (!landed.empty()) {
            EXPECT_EQ(contentOf(tree.path(landed)), "deep content");
        }
        if (operation == FileOperation::Copy) {
            EXPECT_EQ(readDeep(destination + "a"), "deep content");
        }
    }
}

TEST(RemovalSafety, AFileChangedSinceTheSearchLeavesItsGroupWhenMovedOrCopied) {
    for (const FileOperation operation : {FileOperation::Move, FileOperation::Copy}) {
        SCOPED_TRACE(static_cast<int>(operation));
        TempTree tree;
        for (const char* name : {"a", "b", "c"})
            tree.file(name, "same");
        Result result(tree);
        tree.file("a", "SAME");
        ScriptedHost host;
        RunControl control;
        FileOperationEngine engine(result.table, host, control);
        engine.run(request(operation, tree.path("to/")), result.rows, result.ticks({"a"}));
        EXPECT_TRUE(engine.failures().empty());
        EXPECT_EQ(contentOf(tree.path("to/a")), "SAME");
        EXPECT_EQ(result.describe(), (Lines{"1:c:0", "1:b:0"}));
    }
}

} // namespace

namespace {

struct stat statOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Bytes that no file system keeps inline or finds runs of zeros in.
std::string noise(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// Whether any of the file's blocks are shared with another file.
bool sharesBlocks(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<char> buffer(sizeof(fiemap) + 16 * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(buffer.data());
    map->fm_length = ~0ULL;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 16;
    if (!file || ::ioctl(file.get(), FS_IOC_FIEMAP, map) != 0)
        return false;
    for (unsigned k = 0; k < map->fm_mapped_extents; ++k) {
        if (map->fm_extents[k].fe_flags & FIEMAP_EXTENT_SHARED)
            return true;
    }
    return false;
}

struct Replaced {
    std::vector<OperationFailure> failures;
    Lines listed;
};

// Searches `root`, ticks `ticked` and replaces them by links; the failures and what is listed
// after.
Replaced replaceTicked(const std::string& root, const Lines& ticked, FileOperation operation,
                       const FailureSeam& failAt = nullptr, const RemovalSeam& seam = nullptr,
                       const SearchOptions& options = {}) {
    Result result(root, options);
    OperationRequest asked = request(operation);
    asked.failAt = failAt;
    asked.seam = seam;
    ScriptedHost host;
    RunControl control;
    FileOperationEngine engine(result.table, host, control);
    engine.run(asked, result.rows, result.ticks(ticked));
    return {engine.failures(), result.describe()};
}

TEST(LinkReplace, HardLinksEverywhereAndReflinksWhereBlocksAreShared) {
    struct Case {
        const char* name;
        std::optional<LoopDisk::Kind> disk; // none: a tmpfs
        FileOperation operation;
        int dedupeError;     // made to fail so: the clone is tried instead
        const char* refused; // the reason, when the file system refuses
    };
    const Case cases[] = {
        {"tmpfs, hard links", {}, FileOperation::HardLink, 0, nullptr},
        {"tmpfs, reflinks", {}, FileOperation::Reflink, 0, "does not share blocks"},
        {"btrfs, hard links", LoopDisk::Kind::Btrfs, FileOperation::HardLink, 0, nullptr},
        {"btrfs, reflinks", LoopDisk::Kind::Btrfs, FileOperation::Reflink, 0, nullptr},
        {"btrfs, reflinks by clone", LoopDisk::Kind::Btrfs, FileOperation::Reflink, EOPNOTSUPP,
         nullptr},
        {"xfs, reflinks", LoopDisk::Kind::Xfs, FileOperation::Reflink, 0, nullptr},
        {"xfs, reflinks by clone", LoopDisk::Kind::Xfs, FileOperation::Reflink, EOPNOTSUPP,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A tmpfs shares no blocks; the images of the others are made here, where root may.
        std::optional<LoopDisk> loop;
        std::optional<SmallDisk> tmpfs;
        const bool mounted = c.disk ? loop.emplace(*c.disk).mounted() : tmpfs.emplace().mounted();
        if (!mounted) {
            std::printf("[  SKIPPED ] %s: %s\n", c.name,
                        (loop ? loop->error() : tmpfs->error()).c_str());
            continue;
        }
        auto at = [&](const std::string& relative) {
            return loop ? loop->path(relative) : tmpfs->path(relative);
        };
        // Small enough for the tmpfs, past the size a file system keeps inline.
        const std::string content = noise(12345, 7);
        for (const char* name : {"t/keep", "t/x/b", "t/y/c"}) {
            std::filesystem::create_directories(std::filesystem::path(at(name)).parent_path());
            std::ofstream(at(name), std::ios::binary) << content;
        }
        // The ticked file's own attributes, which only a reflink keeps.
        ASSERT_EQ(::chmod(at("t/y/c").c_str(), 0640), 0);
        ASSERT_EQ(::chown(at("t/y/c").c_str(), 1234, 1234), 0);
        ::setxattr(at("t/y/c").c_str(), "user.note", "mine", 4, 0);
        const struct timespec times[2] = {{978307200, 5}, {978307200, 123456789}};
        ASSERT_EQ(::utimensat(AT_FDCWD, at("t/y/c").c_str(), times, 0), 0);
        const struct stat before = statOf(at("t/y/c"));
        const struct stat kept = statOf(at("t/keep"));

        const Replaced replaced =
            replaceTicked(at("t"), {"x/b", "y/c"}, c.operation, [&](ReplaceStep step) {
                return step == ReplaceStep::Dedupe ? c.dedupeError : 0;
            });
        const struct stat after = statOf(at("t/y/c"));
        EXPECT_EQ(readWholeFile(at("t/x/b")), content);
        EXPECT_EQ(readWholeFile(at("t/y/c")), content);
        EXPECT_EQ(namesIn(at("t/y"), ".twinscope-"), Lines{});
        if (c.refused) {
            ASSERT_EQ(replaced.failures.size(), 2u);
            EXPECT_NE(replaced.failures[0].reason.find(c.refused), std::string::npos)
                << replaced.failures[0].reason;
            EXPECT_EQ(after.st_ino, before.st_ino);
        } else if (c.operation == FileOperation::HardLink) {
            EXPECT_TRUE(replaced.failures.empty()) << replaced.failures[0].reason;
            EXPECT_EQ(after.st_ino, kept.st_ino);
            EXPECT_EQ(statOf(at("t/x/b")).st_ino, kept.st_ino);
            EXPECT_EQ(after.st_uid, kept.st_uid); // one file: the kept file's owner
            EXPECT_EQ(replaced.listed, Lines{});  // one file is listed once, alone
        } else {
            EXPECT_TRUE(replaced.failures.empty()) << replaced.failures[0].reason;
            EXPECT_NE(after.st_ino, kept.st_ino);
            // In place by the kernel's deduplication; a clone is a new file.
            EXPECT_EQ(after.st_ino == before.st_ino, c.dedupeError == 0);
            EXPECT_TRUE(sharesBlocks(at("t/y/c")));
            EXPECT_EQ(after.st_uid, 1234u);
            EXPECT_EQ(after.st_mode & 07777, 0640u);
            EXPECT_EQ(after.st_mtim.tv_nsec, 123456789);
            char note[8] = "";
            EXPECT_EQ(::getxattr(at("t/y/c").c_str(), "user.note", note, sizeof note), 4);
            EXPECT_EQ(replaced.listed.size(), 3u); // three files still
        }
    }
}

TEST(LinkReplace, AFailedStepOrAChangeBetweenStepsLeavesTheFileAsItWas) {
    using Change = std::function<void(const TempTree&)>;
    // Another program's write into the kept file that puts its time back, as copying tools do.
    const Change rewriteKept = [](const TempTree& tree) {
        const struct stat was = statOf(tree.path("keep"));
        std::fstream(tree.path("keep"), std::ios::in | std::ios::out | std::ios::binary) << "QQQQ";
        const struct timespec times[2] = {was.st_atim, was.st_mtim};
        ::utimensat(AT_FDCWD, tree.path("keep").c_str(), times, 0);
    };
    const Change swapTicked = [](const TempTree& tree) {
        ASSERT_EQ(::rename(tree.path("b").c_str(), tree.path("b.old").c_str()), 0);
        tree.file("b", "rewritten");
    };
    // A program that asks to open a file for writing while it is being replaced (it would
    // wait; this one does not).
    const auto writerArrives = [](const std::string& path) {
        EXPECT_EQ(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), -1);
        EXPECT_EQ(errno, EWOULDBLOCK);
    };
    const Change openSwappedOut = [&](const TempTree& tree) {
        const Lines aside = namesIn(tree.root(), ".twinscope-");
        ASSERT_EQ(aside.size(), 1u);
        writerArrives(tree.path(aside[0]));
    };
    UniqueFd keptWriter; // a program writing the kept file from before the search
    struct Case {
        const char* name;
        FileOperation operation;
        std::optional<ReplaceStep> failing; // with `error`
        int error;
        std::optional<RemovalStep> changeAt; // where `change` is made
        Change change;
        const char* reason;
    };
    const Change openKept = [&](const TempTree& tree) { writerArrives(tree.path("keep")); };
    const Change writeKept = [&](const TempTree& tree) {
        keptWriter.reset(::open(tree.path("keep").c_str(), O_WRONLY | O_CLOEXEC));
    };
    const Change linkElsewhere = [](const TempTree& tree) {
        ASSERT_EQ(::link(tree.path("b").c_str(), (tree.root() + ".b").c_str()), 0);
    };
    const FileOperation hard = FileOperation::HardLink;
    const FileOperation reflink = FileOperation::Reflink;
    // clang-format off
    const Case cases[] = {
        {"the link fails", hard, ReplaceStep::MakeLink, EMLINK, {}, {}, "as many hard links"},
        {"the swap fails", hard, ReplaceStep::Exchange, EIO, {}, {}, "could not take the file's place"},
        {"the removal fails", hard, ReplaceStep::RemoveOld, EIO, {}, {}, "could not be removed"},
        {"the deduplication fails", reflink, ReplaceStep::Dedupe, EIO, {}, {}, "could not share its blocks"},
        {"the ticked file is swapped once checked", reflink, {}, 0, RemovalStep::Checked, swapTicked, "changed since the search"},
        {"the ticked file is swapped once linked", hard, {}, 0, RemovalStep::Linked, swapTicked, "changed since the search"},
        {"the kept file is rewritten, its time put back", hard, {}, 0, RemovalStep::Checked, rewriteKept, "contents differ"},
        {"the ticked file has a name outside the search", hard, {}, 0, {}, linkElsewhere, "another hard link"},
        {"the replaced file is opened for writing once swapped", hard, {}, 0, RemovalStep::Swapped, openSwappedOut, "opened it for writing"},
        {"the kept file is opened for writing once linked", hard, {}, 0, RemovalStep::Linked, openKept, "opened the file kept in its group for writing"},
        {"the kept file is being written", hard, {}, 0, {}, writeKept, "kept in its group is being written"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        const std::string content = noise(5000, 3);
        tree.file("keep", content);
        tree.file("b", content);
        if (c.change && !c.changeAt)
            c.change(tree); // before the search
        const struct stat before = statOf(tree.path("b"));
        const Replaced replaced = replaceTicked(
            tree.root(), {"b"}, c.operation,
            [&](ReplaceStep step) { return step == c.failing ? c.error : 0; },
            [&](RemovalStep step, const CheckedFile&) {
                if (step == c.changeAt)
                    c.change(tree);
            });
        ASSERT_EQ(replaced.failures.size(), 1u);
        EXPECT_NE(replaced.failures[0].reason.find(c.reason), std::string::npos)
            << replaced.failures[0].reason;
        EXPECT_EQ(statOf(tree.path("keep")).st_nlink, 1u);
        if (exists(tree.path("b.old"))) {
            EXPECT_EQ(contentOf(tree.path("b.old")), content); // what the search found
        } else {
            EXPECT_EQ(statOf(tree.path("b")).st_ino, before.st_ino);
            EXPECT_EQ(contentOf(tree.path("b")), content);
        }
        EXPECT_EQ(namesIn(tree.root(), ".twinscope-"), Lines{});
        ::unlink((tree.root() + ".b").c_str());
        keptWriter.reset();
    }
}

// A folder where the link, once made, could not be removed again is refused before it is made.
TEST(LinkReplace, AFolderThatTakesNoRemovalsGetsNoLink) {
    TempTree tree;
    tree.file("keep", "same");
    tree.file("t/b", "same");
    UniqueFd folder(::open(tree.path("t").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (::ioctl(folder.get(), FS_IOC_GETFLAGS, &flags) != 0)
        GTEST_SKIP() << "no folder flags here: " << std::strerror(errno);
    flags |= FS_APPEND_FL;
    if (::ioctl(folder.get(), FS_IOC_SETFLAGS, &flags) != 0)
        GTEST_SKIP() << "cannot make a folder append-only: " << std::strerror(errno);
    const Replaced replaced = replaceTicked(tree.root(), {"t/b"}, FileOperation::HardLink);
    flags &= ~FS_APPEND_FL;
    ::ioctl(folder.get(), FS_IOC_SETFLAGS, &flags);
    ASSERT_EQ(replaced.failures.size(), 1u);
    EXPECT_NE(replaced.failures[0].reason.find("append-only"), std::string::npos);
    EXPECT_EQ(namesIn(tree.path("t")), Lines{"b"});
}

TEST(LinkReplace, AGroupLinksToItsReferenceFileAndAWhollyTickedGroupToNone) {
    TempTree tree;
    tree.file("main/a", "backed up");
    tree.file("main/b", "backed up");
    tree.file("ref/r", "backed up");
    tree.file("main/c", "no copy kept");
    tree.file("main/d", "no copy kept");
    SearchOptions options;
    options.scope.folders = {{tree.path("ref"), true}};
    const Replaced replaced = replaceTicked(tree.path("main"), {"a", "b", "c", "d"},
                                            FileOperation::HardLink, nullptr, nullptr, options);
    const ino_t reference = statOf(tree.path("ref/r")).st_ino;
    EXPECT_EQ(statOf(tree.path("main/a")).st_ino, reference);
    EXPECT_EQ(statOf(tree.path("main/b")).st_ino, reference);
    ASSERT_EQ(replaced.failures.size(), 2u);
    EXPECT_NE(replaced.failures[0].reason.find("Every file of its group is ticked"),
              std::string::npos);
    EXPECT_NE(statOf(tree.path("main/c")).st_ino, statOf(tree.path("main/d")).st_ino);
}

} // namespace
