#include "TempTree.h"
#include "operations/FileTransfer.h"
#include "search/Matcher.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct stat statOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

// Permission bits in octal, as failures are best read.
std::string octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

std::string modeOf(const std::string& path) {
    return octal(statOf(path).st_mode);
}

// Gives a file times with nanoseconds that no copy made now could have by chance.
void setTimes(const std::string& path) {
    const struct timespec times[2] = {{1234567890, 123456789}, {1500000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const struct stat st = statOf(path);
    if (st.st_mtim.tv_nsec != 987654321)
        GTEST_SKIP() << "the temporary folder keeps no nanoseconds";
}

TEST(AutoRename, NumberGoesBeforeTheLastExtension) {
    EXPECT_EQ(numberedName("photo.jpg", 1), "photo (1).jpg");
    EXPECT_EQ(numberedName("photo.jpg", 2), "photo (2).jpg");
    EXPECT_EQ(numberedName("archive.tar.gz", 1), "archive.tar (1).gz");
    EXPECT_EQ(numberedName("README", 1), "README (1)");
    EXPECT_EQ(numberedName(".profile", 1), " (1).profile");
}

TEST(AutoRename, FirstNumberThatNothingTakes) {
    TempTree tree;
    tree.file("photo (1).jpg", "x");
    tree.folder("photo (2).jpg"); // no file can be put where a folder is
    tree.symlink("nowhere", "photo (3).jpg");
    EXPECT_EQ(freeNumberedName(tree.root() + "/", "photo.jpg"), "photo (4).jpg");
}

TEST(CopyFileWP, ProgressAsTheBarShowsIt) {
    TempTree tree;
    auto positions = [&](std::size_t size) {
        tree.file("source", std::string(size, 's'));
        std::vector<int> seen;
        TransferResult result =
            CopyFileWP(tree.path("source"), tree.path("copy"), CopyMode::Replace,
                       [&](int percent) { seen.push_back(percent); });
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(readWholeFile(tree.path("copy")), std::string(size, 's'));
        return seen;
    };
    EXPECT_EQ(positions(0), (std::vector<int>{0}));
    EXPECT_EQ(positions(16384), (std::vector<int>{0, 100}));
    EXPECT_EQ(positions(16385), (std::vector<int>{0, 100, 100}));
    EXPECT_EQ(positions(4 * 16384), (std::vector<int>{0, 50, 75, 100, 100}));
}

TEST(CopyFileWP, ReplaceOverwritesAndCreateNewRefusesAnExistingFile) {
    TempTree tree;
    tree.file("source", "new");
    tree.file("target", "much longer old content");
    EXPECT_FALSE(CopyFileWP(tree.path("source"), tree.path("target"), CopyMode::CreateNew).ok);
    EXPECT_EQ(readWholeFile(tree.path("target")), "much longer old content");
    EXPECT_TRUE(CopyFileWP(tree.path("source"), tree.path("target"), CopyMode::Replace).ok);
    EXPECT_EQ(readWholeFile(tree.path("target")), "new");
}

TEST(CopyFileWP, NeverOntoItsOwnSource) {
    TempTree tree;
    tree.file("dir/source", "precious");
    tree.symlink("dir", "alias");
    tree.hardlink("dir/source", "dir/hardlink");
    for (const char* destination : {"dir/source", "alias/source", "dir/hardlink"}) {
        TransferResult result =
            CopyFileWP(tree.path("dir/source"), tree.path(destination), CopyMode::Replace);
        EXPECT_FALSE(result.ok) << destination;
        EXPECT_NE(result.error.find("Cannot create file"), std::string::npos) << result.error;
        EXPECT_EQ(readWholeFile(tree.path("dir/source")), "precious");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree.path("dir")),
                            std::filesystem::directory_iterator()),
              2); // no temporary file left behind
}

TEST(CopyFileWP, FailureMidwayLeavesNoPartialFileAndTheOldDestination) {
    TempTree tree;
    tree.file("source", std::string(200000, 'n'));
    tree.file("out/target", "old");
    const std::string source = tree.path("source");
    const std::string target = tree.path("out/target");
    // A child whose files may not grow beyond 50,000 bytes: the write fails half way.
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{50000, 50000};
        setrlimit(RLIMIT_FSIZE, &limit);
        TransferResult result = CopyFileWP(source, target, CopyMode::Replace);
        _exit(result.ok ? 1
                        : (result.error.find("Cannot write file") != std::string::npos ? 0 : 2));
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readWholeFile(target), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree.path("out")),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(CopyFileWP, UnreadableSourceIsAnOpenError) {
    TempTree tree;
    TransferResult result = CopyFileWP(tree.path("missing"), tree.path("copy"), CopyMode::Replace);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("Cannot open file"), std::string::npos);
}

TEST(CopyFileWP, PermissionsOfTheSourceMinusTheUmask) {
    struct Case {
        unsigned source;
        mode_t umask;
        unsigned copy;
    };
    for (const Case& c : {Case{0600, 022, 0600}, Case{0644, 022, 0644}, Case{0666, 027, 0640},
                          Case{0444, 022, 0444}, Case{04755, 022, 0755}, Case{02770, 0, 0770}}) {
        SCOPED_TRACE(testing::Message()
                     << std::oct << "source " << c.source << " umask " << c.umask);
        UmaskScope scope(c.umask);
        TempTree tree;
        tree.file("source", "private");
        tree.chmod("source", c.source);
        ASSERT_TRUE(CopyFileWP(tree.path("source"), tree.path("copy"), CopyMode::CreateNew).ok);
        EXPECT_EQ(modeOf(tree.path("copy")), octal(c.copy));
        // Replacing an existing, wider file gives the same mode.
        tree.file("wide", "old");
        tree.chmod("wide", 0666);
        ASSERT_TRUE(CopyFileWP(tree.path("source"), tree.path("wide"), CopyMode::Replace).ok);
        EXPECT_EQ(modeOf(tree.path("wide")), octal(c.copy));
    }
}

TEST(CopyFileWP, KeepsTheModificationTimeToTheNanosecond) {
    TempTree tree;
    tree.file("source", "dated");
    setTimes(tree.path("source"));
    ASSERT_TRUE(CopyFileWP(tree.path("source"), tree.path("copy"), CopyMode::CreateNew).ok);
    const struct stat copy = statOf(tree.path("copy"));
    EXPECT_EQ(copy.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(copy.st_mtim.tv_nsec, 987654321);
}

TEST(MoveFile, NeverReplacesAnExistingFile) {
    TempTree tree;
    tree.file("a/file", "moving");
    tree.file("b/file", "staying");
    TransferResult result = moveFile(tree.path("a/file"), tree.path("b/file"));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(readWholeFile(tree.path("a/file")), "moving");
    EXPECT_EQ(readWholeFile(tree.path("b/file")), "staying");
    EXPECT_TRUE(moveFile(tree.path("a/file"), tree.path("b/file (1)")).ok);
    EXPECT_FALSE(fileExists(tree.path("a/file")));
    EXPECT_EQ(readWholeFile(tree.path("b/file (1)")), "moving");
}

TEST(MoveFile, AcrossFileSystemsCopiesThenRemoves) {
    struct stat tmp {};
    struct stat shm {};
    if (stat("/dev/shm", &shm) != 0 ||
        stat(std::filesystem::temp_directory_path().c_str(), &tmp) != 0 || tmp.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    TempTree tree;
    tree.file("file", std::string(50000, 'm'));
    char pattern[] = "/dev/shm/twinscope-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string destination = std::string(pattern) + "/file";
    TransferResult result = moveFile(tree.path("file"), destination);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(fileExists(tree.path("file")));
    EXPECT_EQ(readWholeFile(destination), std::string(50000, 'm'));
    std::filesystem::remove_all(pattern);
}

// A tmpfs mounted for one test, so that a move into it crosses file systems.
class MoveAcrossFileSystems : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "twinscope-mount-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_mount = pattern;
        // Open to all: the unprivileged user of runUnprivileged moves files into it too.
        if (mount("twinscope-test", m_mount.c_str(), "tmpfs", 0, "mode=0777") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs (" << std::strerror(errno)
                         << "); the moves across file systems are not tested";
        m_mounted = true;
        ASSERT_NE(statOf(m_mount).st_dev, statOf(m_tree.root()).st_dev);
    }
    void TearDown() override {
        if (m_mounted)
            umount2(m_mount.c_str(), MNT_DETACH);
        rmdir(m_mount.c_str());
    }
    std::string there(const std::string& name) const { return m_mount + "/" + name; }

    UmaskScope m_umask{022};
    TempTree m_tree;
    std::string m_mount;
    bool m_mounted = false;
};

TEST_F(MoveAcrossFileSystems, KeepsAnOwnerOnlyMode) {
    m_tree.file("private", "secret");
    m_tree.chmod("private", 0600);
    TransferResult result = moveFile(m_tree.path("private"), there("private"));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(fileExists(m_tree.path("private")));
    EXPECT_EQ(readWholeFile(there("private")), "secret");
    EXPECT_EQ(modeOf(there("private")), "0600");
}

TEST_F(MoveAcrossFileSystems, KeepsTimesToTheNanosecond) {
    m_tree.file("dated", "old news");
    setTimes(m_tree.path("dated"));
    TransferResult result = moveFile(m_tree.path("dated"), there("dated"));
    ASSERT_TRUE(result.ok) << result.error;
    const struct stat moved = statOf(there("dated"));
    EXPECT_EQ(moved.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(moved.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(moved.st_atim.tv_sec, 1234567890);
    EXPECT_EQ(moved.st_atim.tv_nsec, 123456789);
}

TEST_F(MoveAcrossFileSystems, RootKeepsOwnerGroupAndSetIdBits) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give files to another owner";
    for (unsigned mode : {0640u, 04750u, 02755u}) {
        SCOPED_TRACE(testing::Message() << std::oct << mode);
        m_tree.file("theirs", "not root's");
        ASSERT_EQ(chown(m_tree.path("theirs").c_str(), 65534, 65534), 0);
        m_tree.chmod("theirs", mode);
        const std::string name = "theirs-" + std::to_string(mode);
        TransferResult result = moveFile(m_tree.path("theirs"), there(name));
        ASSERT_TRUE(result.ok) << result.error;
        const struct stat moved = statOf(there(name));
        EXPECT_EQ(moved.st_uid, 65534u);
        EXPECT_EQ(moved.st_gid, 65534u);
        EXPECT_EQ(octal(moved.st_mode), octal(mode));
    }
}

// An ordinary user moves files whose owner or group it cannot give to the copy: the copy is
// its own, and nobody may do more with it than the source allowed.
TEST_F(MoveAcrossFileSystems, WhatCannotBeKeptIsNarrowedNeverWidened) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make files of other owners";
    struct Case {
        uid_t owner;
        gid_t group;
        unsigned source;
        unsigned moved; // owned by 65534:65534
    };
    const Case cases[] = {
        {65534, 0, 0664, 0644},  // the group may read and write, others only read
        {65534, 0, 0670, 0600},  // the group may do all, others nothing
        {65534, 0, 02775, 0755}, // set-group-ID of a group the copy does not have
        {0, 0, 04755, 0755},     // set-user-ID of an owner the copy does not have
        {0, 0, 0644, 0644},
    };
    m_tree.folder("from");
    m_tree.chmod("from", 0777);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::oct << c.source << std::dec << " of " << c.owner << ":" << c.group);
        const std::string source = m_tree.path("from/file");
        const std::string destination = there("moved");
        m_tree.file("from/file", "content");
        ASSERT_EQ(chown(source.c_str(), c.owner, c.group), 0);
        m_tree.chmod("from/file", c.source);
        const int status =
            runUnprivileged([&] { return moveFile(source, destination).ok ? 0 : 1; });
        ASSERT_EQ(status, 0);
        EXPECT_FALSE(fileExists(source));
        const struct stat moved = statOf(destination);
        EXPECT_EQ(moved.st_uid, 65534u);
        EXPECT_EQ(moved.st_gid, 65534u);
        EXPECT_EQ(octal(moved.st_mode), octal(c.moved));
        // Group and others never get more than the source gave to others.
        const unsigned others = c.source & 07;
        EXPECT_EQ((moved.st_mode >> 3) & 07 & ~others, 0u);
        EXPECT_EQ(moved.st_mode & 07 & ~others, 0u);
        ASSERT_EQ(unlink(destination.c_str()), 0);
    }
}

TEST(DeleteVerified, RefusesAFileChangedSinceTheSearch) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    TFiles a = recordOf(tree.path("a"));
    TFiles b = recordOf(tree.path("b"));
    tree.file("a", "SAME"); // same size, new content and time
    struct timespec later[2] = {{0, UTIME_OMIT}, {a.fModifiedNs / 1000000000 + 10, 0}};
    utimensat(AT_FDCWD, tree.path("a").c_str(), later, 0);
    TransferResult result = deleteVerified(a, &b);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(fileExists(tree.path("a")));
}

TEST(DeleteVerified, RefusesWhenTheBytesDifferFromTheKeptFile) {
    TempTree tree;
    const std::string data = TWINSCOPE_TEST_DATA "/collisions/";
    tree.file("letter_of_rec.ps", readWholeFile(data + "letter_of_rec.ps"));
    tree.file("order.ps", readWholeFile(data + "order.ps"));
    // Two records that claim one digest, as a digest collision would make them.
    TFiles kept = recordOf(tree.path("letter_of_rec.ps"));
    TFiles ticked = recordOf(tree.path("order.ps"));
    TransferResult result = deleteVerified(ticked, &kept);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("differ"), std::string::npos);
    EXPECT_TRUE(fileExists(tree.path("order.ps")));
}

TEST(DeleteVerified, DeletesAnUnchangedCopy) {
    TempTree tree;
    tree.file("kept", "same bytes");
    tree.file("copy", "same bytes");
    TFiles kept = recordOf(tree.path("kept"));
    TFiles copy = recordOf(tree.path("copy"));
    EXPECT_TRUE(deleteVerified(copy, &kept).ok);
    EXPECT_FALSE(fileExists(tree.path("copy")));
    EXPECT_TRUE(fileExists(tree.path("kept")));
}

TEST(DeleteVerified, NeverTheOnlyCopyThroughASecondPath) {
    TempTree tree;
    tree.file("kept", "only copy");
    tree.hardlink("kept", "link");
    TFiles kept = recordOf(tree.path("kept"));
    TFiles link = recordOf(tree.path("link"));
    EXPECT_FALSE(deleteVerified(link, &kept).ok);
    EXPECT_TRUE(fileExists(tree.path("link")));
}

TEST(Regroup, MovesEachGroupsFirstFileToItsEndAndDropsLoneRecords) {
    auto record = [](const char* name, const char* hash) {
        TFiles file;
        file.fName = name;
        file.fHash = hash;
        return file;
    };
    // A group that lost members to a delete, a lone survivor, and an appended copy.
    std::vector<TFiles> slots{record("b", "x"), record("c", "x"), record("a", "x"),
                              record("e", ""),  record("d", "y"), record("copy", "x")};
    std::string names;
    for (const TFiles& file : regroupedResult(slots))
        names += file.fName + " ";
    EXPECT_EQ(names, "c a copy b ");
}

// The regroup as designed: every pair of slots, digests emptied as marks.
std::vector<TFiles> referenceRegroup(std::vector<TFiles> slots) {
    std::vector<TFiles> result;
    bool open = false;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        for (std::size_t j = 0; j < slots.size(); ++j) {
            if (j != i && !slots[i].fHash.empty() && !slots[j].fHash.empty() &&
                slots[i].fHash == slots[j].fHash &&
                slots[i].fFingerprint == slots[j].fFingerprint) {
                result.push_back(slots[j]);
                slots[j].fHash.clear();
                open = true;
            }
            if (j == slots.size() - 1 && open) {
                result.push_back(slots[i]);
                slots[i].fHash.clear();
                open = false;
            }
        }
    }
    return result;
}

TEST(Regroup, SameAsThePairwiseRegroupOnRandomTables) {
    std::mt19937 random(7);
    for (int round = 0; round < 1000; ++round) {
        std::vector<TFiles> slots(std::uniform_int_distribution<int>(0, 30)(random));
        for (std::size_t k = 0; k < slots.size(); ++k) {
            slots[k].fName = std::to_string(k);
            int content = std::uniform_int_distribution<int>(0, 6)(random);
            slots[k].fHash = content == 0   ? ""
                             : content <= 2 ? "collide"
                                            : "h" + std::to_string(content);
            slots[k].fFingerprint.bytes[0] = static_cast<std::uint8_t>(content);
        }
        std::vector<std::string> expected;
        for (const TFiles& file : referenceRegroup(slots))
            expected.push_back(file.fName);
        std::vector<std::string> actual;
        for (const TFiles& file : regroupedResult(slots))
            actual.push_back(file.fName);
        ASSERT_EQ(actual, expected) << "round " << round;
    }
}

} // namespace
