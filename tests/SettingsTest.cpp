#include "FifoOpenWatch.h"
#include "TempTree.h"
#include "platform/SpecialFolders.h"
#include "settings/IniFile.h"
#include "settings/Options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// The names in a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes through `ini` and expects the designed failure.
void expectWriteFails(IniFile& ini, const std::string& shownPath) {
    try {
        ini.writeString("Options", "Hash", "md5");
        ADD_FAILURE() << "no error";
    } catch (const SettingsWriteError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + shownPath);
    }
}

TEST(IniFile, FirstWritesCreateTheFileAndAppendInOrder) {
    TempTree tree;
    IniFile ini(tree.path("config.ini"));
    EXPECT_EQ(ini.readString("Options", "Hash", "none"), "none");
    ini.writeString("Options", "Hash", "sha1");
    ini.writeString("Options", "SearchSpeed", "fast");
    ini.writeString("Options", "hash", "md5"); // replaced in place, matched without case
    EXPECT_EQ(readWholeFile(tree.path("config.ini")), "[Options]\nhash=md5\nSearchSpeed=fast\n");
    EXPECT_EQ(ini.readString("options", "HASH", ""), "md5");
}

TEST(IniFile, NewKeyGoesToTheEndOfItsSectionAndOtherSectionsStay) {
    TempTree tree;
    tree.file("config.ini", "[Other]\nA=1\n\n[Options]\nHash=sha1\n\n[Last]\nB=2\n");
    IniFile ini(tree.path("config.ini"));
    ini.writeString("Options", "Colour", "FFFFFF");
    ini.writeString("New", "C", "3");
    EXPECT_EQ(readWholeFile(tree.path("config.ini")),
              "[Other]\nA=1\n\n[Options]\nHash=sha1\nColour=FFFFFF\n\n[Last]\nB=2\n\n[New]\nC=3\n");
    EXPECT_EQ(ini.readString("Other", "Hash", "x"), "x");
    EXPECT_EQ(ini.readString("Last", "b", "x"), "2");
}

TEST(SearchScopeSettings, KeptInASectionOfTheirOwnAndReadBackAsTheUserWroteThem) {
    TempTree tree;
    tree.file("config.ini", "[Options]\nHash=sha1\n\n[Last]\nB=2\n");
    IniFile ini(tree.path("config.ini"));
    SearchScope scope;
    scope.folders = {{"/a b/ \"quoted\" ", false}, {"/backup", true}};
    scope.excludes = {"*.tmp", " spaced "};
    scope.minSize = 64 << 10;
    writeScope(ini, scope);
    Options read = readOptions(ini);
    EXPECT_EQ(read.scope, scope);
    EXPECT_TRUE(read.scopeProblems.empty());
    // An empty scope takes the section away, and the other sections stay as they were.
    writeScope(ini, SearchScope{});
    EXPECT_EQ(readWholeFile(tree.path("config.ini")), "[Options]\nHash=sha1\n\n[Last]\nB=2\n");

    // Edited by hand: numbers with gaps, other spellings, and a kind that says nothing clear is
    // taken as a reference, never the other way round.
    tree.file("config.ini", "[searchscope]\nfolder7=/seven\nReference7=TRUE\nFolder2=/two\n"
                            "Folder3=\nReference2=Off\nFolder9=/nine\nReference9=maybe\n"
                            "Folder11=/eleven\nFolder12=/twelve\nReference12=0\n"
                            "Exclude1=\nExclude4=*.bak\nMinSize=banana\nMaxSize=1K\n");
    read = readOptions(ini);
    EXPECT_EQ(read.scope.folders, (std::vector<SearchFolder>{{"/two", false},
                                                             {"/seven", true},
                                                             {"/nine", true},
                                                             {"/eleven", true},
                                                             {"/twelve", false}}));
    EXPECT_EQ(read.scope.excludes, std::vector<std::string>{"*.bak"});
    EXPECT_EQ(read.scope.minSize, 0);
    EXPECT_EQ(read.scope.maxSize, 1024);
    EXPECT_EQ(read.scopeProblems, (std::vector<std::string>{"MinSize=banana", "Folder3 is empty",
                                                            "Reference9=maybe (taken as yes)",
                                                            "Reference11= (taken as yes)"}));
}

TEST(IniFile, ValuesAreTrimmedAndCut) {
    TempTree tree;
    tree.file("config.ini",
              "[Options]\r\n  Hash =  md5  \r\nLong=" + std::string(3000, 'v') + "\n");
    IniFile ini(tree.path("config.ini"));
    EXPECT_EQ(ini.readString("Options", "Hash", ""), "md5");
    EXPECT_EQ(ini.readString("Options", "Long", "").size(), 2047u);
}

TEST(IniFile, OnePairOfSurroundingQuotesIsTakenOffOnReading) {
    TempTree tree;
    const std::string text = "[Options]\nHash=\"md5\"\nSpeed = 'normal' \nTwice=\"\"x\"\"\n"
                             "Mixed=\"x'\nLone=\"\nInner=a \"b\" c\nEmpty=\"\"\n";
    tree.file("config.ini", text);
    IniFile ini(tree.path("config.ini"));
    EXPECT_EQ(ini.readString("Options", "Hash", ""), "md5");
    EXPECT_EQ(ini.readString("Options", "Speed", ""), "normal");
    EXPECT_EQ(ini.readString("Options", "Twice", ""), "\"x\"");
    EXPECT_EQ(ini.readString("Options", "Mixed", ""), "\"x'");
    EXPECT_EQ(ini.readString("Options", "Lone", ""), "\"");
    EXPECT_EQ(ini.readString("Options", "Inner", ""), "a \"b\" c");
    EXPECT_EQ(ini.readString("Options", "Empty", "x"), "");
    // Writing keeps a value as given, quotes and all.
    ini.writeString("Options", "Hash", "\"sha1\"");
    EXPECT_EQ(readWholeFile(tree.path("config.ini")),
              "[Options]\nHash=\"sha1\"\n" + text.substr(text.find("Speed")));
    EXPECT_EQ(ini.readString("Options", "Hash", ""), "sha1");
}

TEST(IniFile, FailedWriteSaysWhichFileAndLeavesNoTemporaryFile) {
    TempTree tree;
    const std::string file = tree.path("missing/config.ini");
    IniFile ini(file);
    try {
        ini.writeString("Options", "Hash", "sha1");
        FAIL() << "no error";
    } catch (const SettingsWriteError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + file);
    }
}

// A settings path that is not a regular file reads as a missing file does, without waiting, and
// is never replaced by a write.
class IniFileNotARegularFile : public testing::TestWithParam<std::string> {};

TEST_P(IniFileNotARegularFile, ReadsAsEmptyAndWritesFailAndLeaveItAlone) {
    TempTree tree;
    const std::string kind = GetParam();
    if (kind == "fifo")
        tree.fifo("cfg/config.ini");
    else if (kind == "socket")
        tree.socket("cfg/config.ini");
    else if (kind == "folder")
        tree.folder("cfg/config.ini");
    else
        tree.symlink("/dev/null", "cfg/config.ini"); // a device
    const std::string file = tree.path("cfg/config.ini");
    struct stat before {};
    ASSERT_EQ(lstat(file.c_str(), &before), 0);
    std::optional<FifoOpenWatch> watch;
    if (kind == "fifo")
        watch.emplace(file);
    IniFile ini(file);
    EXPECT_EQ(ini.readString("Options", "Hash", "none"), "none");
    expectWriteFails(ini, file);
    if (watch) {
        EXPECT_EQ(watch->opens(), 0) << "the FIFO was opened";
    }
    struct stat after {};
    ASSERT_EQ(lstat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(namesIn(tree.path("cfg")), std::vector<std::string>{"config.ini"});
}

INSTANTIATE_TEST_SUITE_P(IniFile, IniFileNotARegularFile,
                         testing::Values("fifo", "socket", "folder", "device"),
                         [](const auto& test) { return test.param; });

TEST(IniFile, FileWithoutWriteBitsIsNotRewritten) {
    // Root passes every permission test: only the mode's bits say this file is read-only.
    TempTree tree;
    const std::string text = "[Options]\nHash=sha1\n";
    tree.file("config.ini", text);
    tree.chmod("config.ini", 0444);
    const std::string file = tree.path("config.ini");
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    IniFile ini(file);
    EXPECT_EQ(ini.readString("Options", "Hash", ""), "sha1");
    expectWriteFails(ini, file);
    EXPECT_EQ(readWholeFile(file), text);
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0444u);
    EXPECT_EQ(namesIn(tree.root()), std::vector<std::string>{"config.ini"});
}

// A file this user may not write, in a folder where anyone may replace files.
class IniFileOfAnotherUser : public testing::TestWithParam<unsigned> {};

TEST_P(IniFileOfAnotherUser, IsNotRewritten) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a test file another owner";
    TempTree tree;
    const std::string text = "[Options]\nHash=sha1\n";
    tree.file("shared/config.ini", text);
    tree.chmod("shared/config.ini", GetParam());
    tree.chmod("shared", 0777);
    const std::string file = tree.path("shared/config.ini");
    int status = runUnprivileged([&] {
        IniFile ini(file);
        if (ini.readString("Options", "Hash", "") != "sha1")
            return 1;
        try {
            ini.writeString("Options", "Hash", "md5");
            return 2;
        } catch (const SettingsWriteError& error) {
            return std::string(error.what()) == "Unable to write to " + file ? 0 : 3;
        }
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readWholeFile(file), text);
    EXPECT_EQ(namesIn(tree.path("shared")), std::vector<std::string>{"config.ini"});
}

INSTANTIATE_TEST_SUITE_P(IniFile, IniFileOfAnotherUser, testing::Values(0644u, 0444u),
                         [](const auto& test) {
                             char name[16];
                             std::snprintf(name, sizeof name, "mode%o", test.param);
                             return std::string(name);
                         });

std::string linkText(const std::string& link) {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string();
}

TEST(IniFile, LinkedFileIsReplacedAtItsTargetAndStaysALink) {
    TempTree tree;
    tree.file("dotfiles/twinscope.ini", "[Options]\nHash=sha1\n");
    tree.chmod("dotfiles/twinscope.ini", 0640);
    tree.symlink("../dotfiles/twinscope.ini", "cfg/config.ini");
    const std::string target = tree.path("dotfiles/twinscope.ini");
    struct stat before {};
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    IniFile ini(tree.path("cfg/config.ini"));
    EXPECT_EQ(ini.readString("Options", "Hash", ""), "sha1");
    ini.writeString("Options", "Hash", "md5");
    // Compared after one write: a second would be free to reuse the first inode's number.
    struct stat after {};
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not renamed over";
    ini.writeString("Options", "SearchSpeed", "fast");
    EXPECT_EQ(linkText(tree.path("cfg/config.ini")), "../dotfiles/twinscope.ini");
    EXPECT_EQ(readWholeFile(target), "[Options]\nHash=md5\nSearchSpeed=fast\n");
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(namesIn(tree.path("cfg")), std::vector<std::string>{"config.ini"});
    EXPECT_EQ(namesIn(tree.path("dotfiles")), std::vector<std::string>{"twinscope.ini"});
}

TEST(IniFile, ChainOfLinksIsFollowedToTheEnd) {
    TempTree tree;
    tree.file("dotfiles/real.ini", "[Options]\nHash=sha1\n");
    tree.symlink("dotfiles", "dots"); // a linked folder on the way
    tree.symlink("../dots/real.ini", "links/b");
    tree.symlink(tree.path("links/b"), "links/a");
    tree.symlink("../links/a", "cfg/config.ini");
    IniFile ini(tree.path("cfg/config.ini"));
    ini.writeString("Options", "Hash", "md5");
    EXPECT_EQ(readWholeFile(tree.path("dotfiles/real.ini")), "[Options]\nHash=md5\n");
    EXPECT_EQ(linkText(tree.path("cfg/config.ini")), "../links/a");
    EXPECT_EQ(linkText(tree.path("links/a")), tree.path("links/b"));
    EXPECT_EQ(linkText(tree.path("links/b")), "../dots/real.ini");
    EXPECT_EQ(linkText(tree.path("dots")), "dotfiles");
    EXPECT_EQ(namesIn(tree.path("dotfiles")), std::vector<std::string>{"real.ini"});
    EXPECT_EQ(ini.readString("Options", "Hash", ""), "md5");
}

TEST(IniFile, DanglingLinkGetsItsTargetCreated) {
    TempTree tree;
    tree.folder("dotfiles");
    tree.symlink("../dotfiles/twinscope.ini", "cfg/config.ini");
    IniFile ini(tree.path("cfg/config.ini"));
    EXPECT_EQ(ini.readString("Options", "Hash", "none"), "none");
    ini.writeString("Options", "Hash", "sha1");
    EXPECT_EQ(readWholeFile(tree.path("dotfiles/twinscope.ini")), "[Options]\nHash=sha1\n");
    EXPECT_EQ(linkText(tree.path("cfg/config.ini")), "../dotfiles/twinscope.ini");
}

TEST(IniFile, LinksThatCannotBeWrittenThroughFail) {
    TempTree tree;
    tree.symlink("../nowhere/twinscope.ini", "cfg/missing-folder.ini");
    tree.symlink("loop-b.ini", "cfg/loop-a.ini");
    tree.symlink("loop-a.ini", "cfg/loop-b.ini");
    tree.file("dotfiles/read-only.ini", "[Options]\nHash=sha1\n");
    tree.chmod("dotfiles/read-only.ini", 0444);
    tree.symlink("../dotfiles/read-only.ini", "cfg/read-only.ini");
    for (const char* name : {"missing-folder.ini", "loop-a.ini", "read-only.ini"}) {
        SCOPED_TRACE(name);
        const std::string link = tree.path(std::string("cfg/") + name);
        const std::string before = linkText(link);
        IniFile ini(link);
        expectWriteFails(ini, link);
        EXPECT_EQ(linkText(link), before);
    }
    EXPECT_EQ(readWholeFile(tree.path("dotfiles/read-only.ini")), "[Options]\nHash=sha1\n");
    EXPECT_EQ(namesIn(tree.path("cfg")),
              (std::vector<std::string>{"loop-a.ini", "loop-b.ini", "missing-folder.ini",
                                        "read-only.ini"}));
    EXPECT_FALSE(std::filesystem::exists(tree.path("nowhere")));
}

TEST(IniFile, ConcurrentReadersSeeWholeValues) {
    TempTree tree;
    IniFile ini(tree.path("config.ini"));
    ini.writeString("Options", "Hash", "sha1");
    std::vector<std::thread> threads;
    std::atomic<bool> torn{false};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                ini.writeString("Options", "Key" + std::to_string(t), std::to_string(i));
                std::string hash = ini.readString("Options", "Hash", "");
                if (hash != "sha1" && hash != "md5")
                    torn = true;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i)
            ini.writeString("Options", "Hash", i % 2 ? "md5" : "sha1");
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(torn);
    for (int t = 0; t < 3; ++t)
        EXPECT_EQ(ini.readString("Options", "Key" + std::to_string(t), ""), "99");
}

TEST(SpecialFolders, SettingsFolderFollowsXdgConfigHome) {
    TempTree tree;
    setenv("XDG_CONFIG_HOME", tree.root().c_str(), 1);
    EXPECT_EQ(settingsFolder(), tree.root() + "/hollowbright/Twinscope/");
    tree.folder("home/Schreibtisch");
    tree.file("user-dirs.dirs", "# comment\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", tree.path("home").c_str(), 1);
    EXPECT_EQ(desktopFolder(), tree.path("home/Schreibtisch/"));
    tree.file("user-dirs.dirs", "");
    EXPECT_EQ(desktopFolder(), tree.path("home/"));
    setenv("HOME", oldHome.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
}

} // namespace
