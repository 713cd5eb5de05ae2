#include "TempTree.h"
#include "search/SearchProgress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// In a forked child: becomes twinscope-cli with `args`.
[[noreturn]] void execCli(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(TWINSCOPE_CLI)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(TWINSCOPE_CLI, argv.data());
    _exit(127);
}

// Starts twinscope-cli with its output sent to files in `scratch`.
pid_t startCli(const std::vector<std::string>& args, const TempTree& scratch) {
    pid_t child = fork();
    if (child == 0) {
        int out = open(scratch.path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(scratch.path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // Digests are kept beside the output unless a test says where.
        setenv("XDG_CACHE_HOME", scratch.path("cache").c_str(), 0);
        execCli(args);
    }
    return child;
}

CliResult finish(pid_t child, const TempTree& scratch) {
    int status = 0;
    waitpid(child, &status, 0);
    CliResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readWholeFile(scratch.path("stdout"));
    result.err = readWholeFile(scratch.path("stderr"));
    return result;
}

// Waits until the program has handed SIGINT and SIGTERM to its watcher (its main thread blocks
// them), so that a signal sent from now on is the program's to handle.
bool waitUntilSignalsAreWatched(pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(child) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGINT - 1))) != 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Waits until the program's main thread waits in this system call (as /proc shows it).
bool waitUntilWaitingIn(pid_t child, long call) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        long now = -1;
        std::ifstream("/proc/" + std::to_string(child) + "/syscall") >> now;
        if (now == call)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

CliResult runCli(const std::vector<std::string>& args) {
    TempTree scratch;
    return finish(startCli(args, scratch), scratch);
}

// a, c, e equal; b, d equal; f unique; two empty files.
void knownTree(const TempTree& tree) {
    for (const char* name : {"a", "c", "sub/e"})
        tree.file(name, "first content");
    for (const char* name : {"b", "d"})
        tree.file(name, "other content");
    tree.file("f", "unique content");
    tree.file("empty1", "");
    tree.file("empty2", "");
}

TEST(Cli, BadUsageExitsWithTwoAndOneLine) {
    TempTree tree;
    tree.folder("ref");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--hash", "sha256", tree.root()},
                                               {"--speed"},
                                               {"--format", "xml", tree.root()},
                                               {"--bogus", tree.root()},
                                               {tree.path("no-such-folder")},
                                               {tree.root(), tree.path("no-such-folder")},
                                               {"--reference", tree.path("none"), tree.root()},
                                               {"--reference", tree.root()},
                                               {"--reference", tree.path("ref"), "--output",
                                                tree.path("ref/../ref/report.txt"), tree.root()},
                                               {"Local drives"},
                                               {"--min-size", "1X", tree.root()},
                                               {"--min-size=2K", "--max-size=1K", tree.root()},
                                               {"--exclude=", tree.root()}}) {
        CliResult result = runCli(args);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("twinscope-cli: ", 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(result.err.ends_with('\n')) << result.err;
    }
    // The line of a usage error points to the help.
    EXPECT_NE(runCli({"--bogus", tree.root()}).err.find("twinscope-cli --help"), std::string::npos);
}

TEST(Cli, HelpAndVersion) {
    CliResult help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: twinscope-cli"), std::string::npos);
    CliResult version = runCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "twinscope-cli " TWINSCOPE_VERSION_TEXT "\n");
}

TEST(Cli, FdupesFormatListsGroupsInResultOrder) {
    TempTree tree;
    knownTree(tree);
    const std::string r = tree.root() + "/";
    for (const char* hash : {"sha1", "md5"}) {
        for (const char* speed : {"fast", "normal"}) {
            CliResult result =
                runCli({"--format", "fdupes", "--hash", hash, "--speed", speed, tree.root()});
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.out, r + "c\n" + r + "sub/e\n" + r + "a\n\n" + r + "d\n" + r + "b\n\n")
                << hash << " " << speed;
        }
    }
    CliResult withEmpty =
        runCli({"--format=fdupes", "--include-empty", "--no-subfolders", tree.root()});
    EXPECT_EQ(withEmpty.out, r + "c\n" + r + "a\n\n" + r + "d\n" + r + "b\n\n" + r + "empty2\n" +
                                 r + "empty1\n\n");
    // The search's bounds and patterns, from the command line.
    CliResult scoped = runCli({"--format=fdupes", "--exclude", "sub", "--exclude=b",
                               "--max-size=13", "--min-size", "13", tree.root()});
    EXPECT_EQ(scoped.exitCode, 0) << scoped.err;
    EXPECT_EQ(scoped.out, r + "c\n" + r + "a\n\n");
    EXPECT_EQ(scoped.err, "twinscope-cli: passed over: 2 files or folders excluded, 1 file "
                          "outside the size bounds\n");
}

TEST(Cli, ReportFormat) {
    TempTree tree;
    knownTree(tree);
    CliResult result = runCli({"--format", "report", "--quiet", tree.root()});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("Twinscope " TWINSCOPE_VERSION_TEXT " (1892)\r\nDate: ", 0), 0u);
    EXPECT_NE(result.out.find(
                  "\r\n\r\nSearch path: " + tree.root() + "\r\n" +
                  "Search results: 5 duplicated files found (of 6 files). Total time: 00:00:0"),
              std::string::npos);
    EXPECT_NE(result.out.find("\r\n1   c   13 bytes   "), std::string::npos);
    EXPECT_NE(result.out.find("\r\n2   b   13 bytes   "), std::string::npos);
    EXPECT_EQ(result.out.substr(result.out.size() - 7), "\r\nEOF\r\n");
}

TEST(Cli, ReportHasOneLinePerFileWhateverTheNames) {
    TempTree tree;
    tree.file("new\nline/x\r\nEOF\r\n", "same content");
    tree.file("new\nline/tab\t\x1b[7m", "same content");
    CliResult result = runCli({"--format", "report", tree.path("new\nline")});
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < result.out.size();) {
        const std::size_t end = result.out.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << result.out;
        lines.push_back(result.out.substr(start, end - start));
        start = end + 2;
    }
    ASSERT_EQ(lines.size(), 11u) << result.out;
    EXPECT_EQ(lines[3], "Search path: " + tree.root() + "/new?line");
    EXPECT_EQ(lines[7].rfind("1   x??EOF??   ", 0), 0u) << lines[7];
    EXPECT_EQ(lines[8].rfind("1   tab??[7m   ", 0), 0u) << lines[8];
    EXPECT_EQ(lines[10], "EOF");
    for (const std::string& line : lines) {
        EXPECT_EQ(std::count_if(line.begin(), line.end(),
                                [](unsigned char c) { return c < 0x20 || c == 0x7F; }),
                  0)
            << line;
    }
}

TEST(Cli, JsonFormat) {
    TempTree tree;
    knownTree(tree);
    CliResult result = runCli({"--format", "json", "--hash", "md5", tree.root()});
    EXPECT_EQ(result.exitCode, 0);
    const std::string& out = result.out;
    EXPECT_NE(out.find("\"folder\": \"" + tree.root() + "\""), std::string::npos);
    EXPECT_NE(out.find("\"filesFound\": 6"), std::string::npos);
    EXPECT_NE(out.find("\"passedOver\": {\"hiddenFolders\": 0, \"unreadableFolders\": 0, "
                       "\"inUse\": 0, \"excluded\": 0, \"outsideSizes\": 0},"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("{\"group\": 1, \"hash\": \"" + md5Hex("first content") +
                       "\", \"size\": 13, \"files\": [\n      {\"name\": \"c\", \"folder\": \"" +
                       tree.root() + "/\", \"size\": 13, \"modified\": \""),
              std::string::npos);
    EXPECT_NE(out.find("{\"group\": 2, \"hash\": \"" + md5Hex("other content")), std::string::npos);
    EXPECT_EQ(out.find("\"group\": 3"), std::string::npos);
}

TEST(Cli, JsonDatesAreUtf8WhateverTheLocale) {
    // Under a locale of another character set the C library writes dates in that set; JSON is
    // UTF-8.
    TempTree locales;
    const std::string locale = locales.path("ja_JP.EUC-JP");
    const std::string build = "localedef -c -i ja_JP -f EUC-JP '" + locale + "' >/dev/null 2>&1";
    if (std::system(build.c_str()) < 0 || access((locale + "/LC_TIME").c_str(), F_OK) != 0)
        GTEST_SKIP() << "no ja_JP.EUC-JP locale could be built (Debian package locales)";
    TempTree tree;
    knownTree(tree);
    setenv("LOCPATH", locales.root().c_str(), 1);
    setenv("LC_ALL", "ja_JP.EUC-JP", 1);
    CliResult json = runCli({"--format", "json", tree.root()});
    unsetenv("LOCPATH");
    unsetenv("LC_ALL");
    EXPECT_EQ(json.exitCode, 0);
    const std::size_t key = json.out.find("\"modified\": \"");
    ASSERT_NE(key, std::string::npos) << json.out;
    const std::string date = json.out.substr(key + 13, json.out.find('"', key + 13) - key - 13);
    EXPECT_NE(date.find("\xE5\xB9\xB4"), std::string::npos) << date; // 年 in UTF-8
    EXPECT_EQ(date.find("\\udc"), std::string::npos) << date;        // not bytes escaped one by one
}

TEST(Cli, NamesThatAreNotUtf8Survive) {
    TempTree tree;
    tree.file("caf\xC3\xA9 \xFF", "same");
    tree.file("quote\" back\\slash\nline", "same");
    CliResult fdupes = runCli({"--format", "fdupes", tree.root()});
    EXPECT_EQ(fdupes.out, tree.path("quote\" back\\slash\nline") + "\n" +
                              tree.path("caf\xC3\xA9 \xFF") + "\n\n");
    CliResult json = runCli({"--format", "json", tree.root()});
    EXPECT_NE(json.out.find("\"name\": \"caf\xC3\xA9 \\udcff\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"name\": \"quote\\\" back\\\\slash\\nline\""), std::string::npos);
}

TEST(Cli, OutputFile) {
    TempTree tree;
    knownTree(tree);
    TempTree scratch;
    const std::string file = scratch.path("result.txt");
    CliResult result = runCli({"--format", "fdupes", "--output", file, tree.root()});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(readWholeFile(file).substr(0, tree.root().size() + 3), tree.root() + "/c\n");
    CliResult failed = runCli({"--output", scratch.path("missing/dir/x"), tree.root()});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "twinscope-cli: Cannot create file \"" + scratch.path("missing/dir/x") +
                              "\". No such file or directory\n");
}

TEST(Cli, OutputOnAFullDiskKeepsThePreviousFile) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs (" << disk.error() << "); a full disk is not tested";
    TempTree tree;
    // A result larger than the page the old file frees.
    for (int i = 0; i < 40; ++i)
        tree.file("a copy with a name long enough to fill the page " + std::to_string(i), "same");
    const std::string file = disk.path("result.json");
    std::ofstream(file) << "previous result\n";
    disk.fill();
    CliResult result = runCli({"--format", "json", "--output", file, tree.root()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "twinscope-cli: Cannot write file \"" + file + "\". No space left on device\n");
    EXPECT_EQ(readWholeFile(file), "previous result\n");
    EXPECT_EQ(disk.names(), (std::vector<std::string>{"filler", "result.json"}));
}

TEST(Cli, OutputToStandardOutputOrAFifoIsWrittenDirectly) {
    TempTree tree;
    knownTree(tree);
    const std::string expected = runCli({"--format", "fdupes", tree.root()}).out;
    ASSERT_NE(expected, "");
    CliResult toStdout = runCli({"--format", "fdupes", "--output", "/dev/stdout", tree.root()});
    EXPECT_EQ(toStdout.exitCode, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, expected);

    TempTree scratch;
    scratch.fifo("pipe");
    // Open for reading and writing: the open does not wait for a writer, and the result stays
    // in the pipe after the program has closed its end.
    const int pipe = open(scratch.path("pipe").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    CliResult toFifo =
        runCli({"--format", "fdupes", "--output", scratch.path("pipe"), tree.root()});
    EXPECT_EQ(toFifo.exitCode, 0) << toFifo.err;
    std::string received(expected.size() + 100, '\0');
    const ssize_t got = read(pipe, received.data(), received.size());
    close(pipe);
    received.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(received, expected);
    struct stat st {};
    ASSERT_EQ(lstat(scratch.path("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(Cli, CollisionPairsAreNotReported) {
    TempTree tree;
    const std::string data = TWINSCOPE_TEST_DATA "/collisions/";
    for (const char* name : {"bad.pdf", "good.pdf", "letter_of_rec.ps", "order.ps"})
        tree.file(name, readWholeFile(data + name));
    for (const char* hash : {"sha1", "md5"}) {
        for (const char* speed : {"fast", "normal"}) {
            CliResult result =
                runCli({"--format", "fdupes", "--hash", hash, "--speed", speed, tree.root()});
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.out, "") << hash << " " << speed;
        }
    }
}

TEST(Cli, InterruptEndsCleanlyWith130) {
    TempTree tree;
    // Two large sparse files of one size: digesting them takes seconds.
    for (const char* name : {"big1", "big2"}) {
        int fd = open(tree.path(name).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(ftruncate(fd, 8LL << 30), 0);
        close(fd);
    }
    TempTree scratch;
    pid_t child = startCli({"--format", "fdupes", tree.root()}, scratch);
    ASSERT_TRUE(waitUntilSignalsAreWatched(child));
    const auto sent = std::chrono::steady_clock::now();
    kill(child, SIGINT);
    CliResult result = finish(child, scratch);
    EXPECT_EQ(result.exitCode, 130) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("interrupted"), std::string::npos);
    // The digest in progress gives up at once rather than reading on.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
}

} // namespace

namespace {

bool present(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

TEST(CliSelect, WithoutAnActionNothingIsChanged) {
    TempTree tree;
    knownTree(tree);
    CliResult result = runCli({"--select", "all-but-one", tree.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string r = tree.root() + "/";
    // Groups in the order of the result; the first row of each is kept.
    EXPECT_EQ(result.out, "[+] " + r + "c\n[-] " + r + "sub/e\n[-] " + r + "a\n\n[+] " + r +
                              "d\n[-] " + r + "b\n\n");
    EXPECT_NE(result.err.find("nothing was changed"), std::string::npos);
    for (const char* name : {"a", "b", "c", "d", "sub/e"})
        EXPECT_TRUE(present(tree.path(name))) << name;
}

TEST(CliSelect, TrashMovesThePickedFilesAndKeepsOneOfEachGroup) {
    TempTree tree;
    knownTree(tree);
    TempTree data;
    EnvScope home("XDG_DATA_HOME", data.root());
    // Every file lies in the folder: one of each group must stay all the same.
    CliResult result = runCli({"--select", "in-folder:" + tree.root(), "--trash", tree.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string r = tree.root() + "/";
    EXPECT_EQ(result.out, "[+] " + r + "c\n[-] " + r + "sub/e\n[-] " + r + "a\n\n[+] " + r +
                              "d\n[-] " + r + "b\n\n");
    EXPECT_TRUE(present(tree.path("c")) && present(tree.path("d")));
    for (const char* name : {"a", "b", "sub/e"})
        EXPECT_FALSE(present(tree.path(name))) << name;
    for (const char* name : {"a", "b", "e"})
        EXPECT_TRUE(present(data.path(std::string("Trash/files/") + name))) << name;
}

TEST(CliSelect, AFileLeftWhereItWasIsNamedAndTheStatusSaysSo) {
    TempTree tree;
    tree.file("keep/x", "same");
    tree.file("old/x", "same");
    TempTree data;
    data.file("Trash", "a file where the trash folder would be");
    EnvScope home("XDG_DATA_HOME", data.root());
    CliResult result =
        runCli({"--select", "in-folder:" + tree.root() + "/old", "--trash", tree.root()});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_TRUE(present(tree.path("old/x")));
    EXPECT_NE(result.err.find("not removed: " + tree.path("old/x") + ": "), std::string::npos)
        << result.err;
    // The listing shows the file as kept.
    EXPECT_EQ(result.out, "[+] " + tree.path("old/x") + "\n[+] " + tree.path("keep/x") + "\n\n");
}

TEST(CliSelect, NothingIsRemovedWhenTheListingCannotBeWritten) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    CliResult result = runCli({"--select", "all-but-one", "--delete", "--output",
                               tree.path("missing/listing.txt"), tree.root()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(present(tree.path("a")) && present(tree.path("b")));
    EXPECT_NE(result.err.find("nothing was removed"), std::string::npos) << result.err;
}

TEST(CliSelect, DeleteRemovesForGood) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    CliResult result = runCli({"--select", "all-but-one", "--delete", "--quiet", tree.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(present(tree.path("b")));
    EXPECT_FALSE(present(tree.path("a")));
    EXPECT_EQ(result.err, "");
}

TEST(CliSelect, AReferenceFolderKeepsItsFilesAndItsGroupsLoseEveryOtherCopy) {
    TempTree tree;
    tree.file("main/a1", "backed up");
    tree.file("more/a2", "backed up");
    tree.file("backup/a", "backed up");
    tree.file("backup/c1", "only in the backup");
    tree.file("backup/old/c2", "only in the backup");
    tree.chmod("backup/a", 0444); // a read-only backup is still compared
    const std::vector<std::string> folders = {"--quiet", "--reference", tree.path("backup"),
                                              tree.path("main"), tree.path("more")};
    std::vector<std::string> args = {"--format", "json"};
    args.insert(args.end(), folders.begin(), folders.end());
    CliResult json = runCli(args);
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_NE(json.out.find("{\"path\": \"" + tree.path("backup") + "\", \"reference\": true}"),
              std::string::npos);
    EXPECT_NE(json.out.find("\"status\": 0, \"reference\": true}"), std::string::npos) << json.out;
    EXPECT_EQ(json.out.find("\"c1\""), std::string::npos) << "a group of reference files only";

    args = {"--select", "all-but-one", "--delete"};
    args.insert(args.end(), folders.begin(), folders.end());
    EXPECT_EQ(runCli(args).exitCode, 0);
    for (const char* name : {"main/a1", "more/a2", "backup/a", "backup/c1", "backup/old/c2"})
        EXPECT_EQ(present(tree.path(name)), name[0] == 'b') << name;
}

TEST(CliSelect, HardLinksTakeThePlaceOfThePickedFilesAndAFileSystemThatCannotIsNamed) {
    TempTree tree;
    tree.file("a", "same");
    tree.file("b", "same");
    CliResult result = runCli({"--select", "all-but-one", "--hardlink", "--quiet", tree.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(::stat(tree.path("a").c_str(), &a) | ::stat(tree.path("b").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);

    // A tmpfs shares no blocks between files: the picked file stays, named, and the status says so.
    SmallDisk tmpfs;
    if (!tmpfs.mounted())
        GTEST_SKIP() << "no tmpfs: " << tmpfs.error();
    std::ofstream(tmpfs.path("c")) << "same";
    std::ofstream(tmpfs.path("d")) << "same";
    result = runCli({"--select", "all-but-one", "--reflink", tmpfs.path("")});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.err.find("not replaced: " + tmpfs.path("c") +
                              ": The file system does not "
                              "share blocks"),
              std::string::npos)
        << result.err;
}

TEST(CliSelect, UsageErrors) {
    TempTree tree;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--trash", tree.root()},
          {"--select", "all-but-one", "--trash", "--delete", tree.root()},
          {"--select", "all-but-one", "--hardlink", "--reflink", tree.root()},
          {"--reflink", tree.root()},
          {"--select", "newest", tree.root()},
          {"--select", "in-folder", tree.root()},
          {"--select", "all-but-one:/x", tree.root()},
          {"--select", "none", "--delete", tree.root()},
          {"--select", "all-but-one", "--format", "json", tree.root()},
          // A mistyped folder would pick nothing and look like success.
          {"--select", "in-folder:" + tree.root() + "/missing", "--delete", tree.root()}}) {
        CliResult result = runCli(args);
        EXPECT_EQ(result.exitCode, 2) << args[1];
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

TEST(CliCache, KeptInTheUserCacheFolderUnlessTurnedOff) {
    TempTree tree;
    knownTree(tree);
    TempTree cache;
    EnvScope home("XDG_CACHE_HOME", cache.root());
    const std::string file = cache.path("hollowbright/Twinscope/digests.sqlite");
    CliResult without = runCli({"--no-cache", "--format", "fdupes", tree.root()});
    EXPECT_EQ(without.exitCode, 0) << without.err;
    EXPECT_FALSE(present(file));
    CliResult with = runCli({"--format", "fdupes", tree.root()});
    EXPECT_EQ(with.exitCode, 0) << with.err;
    EXPECT_EQ(with.out, without.out);
    EXPECT_EQ(with.err, "");
    EXPECT_TRUE(present(file));
}

TEST(CliCache, CacheFileNamesWhereDigestsAreKept) {
    TempTree tree;
    knownTree(tree);
    TempTree cache;
    EnvScope home("XDG_CACHE_HOME", cache.root());
    CliResult result = runCli({"--cache-file", cache.path("mine.sqlite"), tree.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(present(cache.path("mine.sqlite")));
    EXPECT_FALSE(present(cache.path("hollowbright")));
}

TEST(CliCache, ACacheThatCannotServeIsNamedOnceUnlessQuiet) {
    TempTree tree;
    knownTree(tree);
    const std::string r = tree.root() + "/";
    const std::string expected = r + "c\n" + r + "sub/e\n" + r + "a\n\n" + r + "d\n" + r + "b\n\n";
    TempTree scratch;
    scratch.file("not-a-folder", "x");
    const std::string cache = scratch.path("not-a-folder/digests.sqlite");
    CliResult told = runCli({"--cache-file", cache, "--format", "fdupes", tree.root()});
    EXPECT_EQ(told.exitCode, 0);
    EXPECT_EQ(told.out, expected);
    EXPECT_EQ(std::count(told.err.begin(), told.err.end(), '\n'), 1) << told.err;
    EXPECT_NE(told.err.find("twinscope-cli: the digest cache " + cache), std::string::npos)
        << told.err;
    CliResult quiet = runCli({"--cache-file", cache, "--quiet", "--format", "fdupes", tree.root()});
    EXPECT_EQ(quiet.out, expected);
    EXPECT_EQ(quiet.err, "");
}

TEST(CliCache, UsageErrors) {
    TempTree tree;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--cache-file"},
          {"--cache-file", "", tree.root()},
          {"--no-cache", "--cache-file", tree.path("c.sqlite"), tree.root()}}) {
        CliResult result = runCli(args);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(present(tree.path("c.sqlite")));
    }
}

} // namespace

namespace {

TEST(Cli, EveryStageEndsOnSigintSigtermOrSighupEvenAWaitOnTheOutput) {
    if (!std::ifstream("/proc/self/syscall"))
        GTEST_SKIP() << "/proc does not show what a process waits in";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool select : {false, true}) {
            SCOPED_TRACE(std::to_string(signal) + (select ? " select" : ""));
            TempTree tree;
            tree.file("a", "same");
            tree.file("b", "same");
            TempTree scratch;
            scratch.fifo("pipe"); // nobody reads it
            std::vector<std::string> args{"--output", scratch.path("pipe"), tree.root()};
            if (select)
                args.insert(args.begin(), {"--select", "all-but-one", "--delete"});
            const pid_t child = startCli(args, scratch);
            ASSERT_TRUE(waitUntilSignalsAreWatched(child));
            // Waiting in the open of the pipe, for a reader; a signal that comes sooner ends the
            // search, which must end the program all the same.
            waitUntilWaitingIn(child, SYS_openat);
            kill(child, signal);
            // A program that does not end is ended, so that the test fails rather than hangs.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            auto ended = [child] {
                siginfo_t info{};
                return waitid(P_PID, static_cast<id_t>(child), &info,
                              WEXITED | WNOHANG | WNOWAIT) != 0 ||
                       info.si_pid != 0;
            };
            while (!ended() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!ended()) {
                ADD_FAILURE() << "still running a minute after the signal";
                kill(child, SIGKILL);
            }
            const CliResult result = finish(child, scratch);
            EXPECT_EQ(result.exitCode, 128 + signal) << result.err;
            EXPECT_NE(result.err.find("interrupted"), std::string::npos) << result.err;
            EXPECT_TRUE(present(tree.path("a")) && present(tree.path("b")));
        }
    }
}

TEST(CliSelect, AnOutputFileThatIsAFileOfTheResultIsRefusedBeforeAnythingIsDone) {
    TempTree tree;
    tree.file("t/x1", "same");
    tree.file("t/x2", "same");
    tree.symlink(tree.path("t/x2"), "link");
    tree.hardlink("t/x2", "hard"); // outside the searched folder
    for (const std::string& output :
         {tree.path("t/x2"), tree.path("t/../t/x2"), tree.path("link"), tree.path("hard")}) {
        for (const bool select : {true, false}) {
            SCOPED_TRACE(output + (select ? " select" : ""));
            std::vector<std::string> args{"--output", output, tree.path("t")};
            if (select)
                args.insert(args.begin(), {"--select", "all-but-one", "--delete"});
            const CliResult result = runCli(args);
            EXPECT_EQ(result.exitCode, 2) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_EQ(readWholeFile(tree.path("t/x1")), "same");
            EXPECT_EQ(readWholeFile(tree.path("t/x2")), "same");
        }
    }
    // Standard error sent into a listed file, which the messages would change.
    const pid_t child = fork();
    if (child == 0) {
        const int err = open(tree.path("t/x2").c_str(), O_WRONLY | O_APPEND);
        dup2(err, STDERR_FILENO);
        execl(TWINSCOPE_CLI, TWINSCOPE_CLI, "--select", "all-but-one", "--delete", "--quiet",
              tree.path("t").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(readWholeFile(tree.path("t/x1")), "same");
    EXPECT_EQ(readWholeFile(tree.path("t/x2")), "same"); // not even the message went there
}

TEST(CliSelect, NothingIsRemovedUnlessTheWholeListingCanBeWritten) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs (" << disk.error() << "); a full disk is not tested";
    TempTree tree;
    // A listing of about 16 KiB, for 8 KiB of room.
    for (int i = 0; i < 30; ++i) {
        const std::string name = std::string(240, 'n') + std::to_string(i);
        tree.file("one/" + name, "content " + std::to_string(i));
        tree.file("two/" + name, "content " + std::to_string(i));
    }
    // A log larger than the listing: room taken at its start would be room it already has.
    const std::string before(24 << 10, 'L');
    std::ofstream(disk.path("log")) << before;
    disk.fill(8192);
    // "" is standard output appended to the log, as `>> log` makes it.
    for (const std::string& output :
         {disk.path("listing"), std::string("/dev/full"), std::string()}) {
        SCOPED_TRACE(output);
        std::vector<std::string> args{"--select", "all-but-one", "--delete", tree.root()};
        if (!output.empty())
            args.insert(args.begin() + 3, {"--output", output});
        TempTree scratch;
        const pid_t child = fork();
        if (child == 0) {
            const int err = open(scratch.path("stderr").c_str(), O_WRONLY | O_CREAT, 0644);
            const int out =
                output.empty() ? open(disk.path("log").c_str(), O_WRONLY | O_APPEND) : -1;
            dup2(err, STDERR_FILENO);
            if (out >= 0)
                dup2(out, STDOUT_FILENO);
            execCli(args);
        }
        int status = 0;
        waitpid(child, &status, 0);
        const std::string err = readWholeFile(scratch.path("stderr"));
        EXPECT_EQ(WEXITSTATUS(status), 1) << err;
        EXPECT_NE(err.find("nothing was removed"), std::string::npos) << err;
        for (int i = 0; i < 30; ++i) {
            const std::string name = std::string(240, 'n') + std::to_string(i);
            EXPECT_TRUE(present(tree.path("one/" + name)) && present(tree.path("two/" + name)));
        }
    }
    EXPECT_EQ(readWholeFile(disk.path("log")), before);
    EXPECT_EQ(disk.names(), (std::vector<std::string>{"filler", "log"}));
}

} // namespace

namespace {

// Ctrl-C while files are removed: the removals stop after the file under way, and the listing
// still says, file by file, what went and what stayed.
TEST(CliSelect, AnInterruptedRemovalStillWritesTheListing) {
    TempTree tree;
    for (int i = 0; i < 1500; ++i) {
        char folder[16];
        std::snprintf(folder, sizeof folder, "p/%04d/", i);
        tree.file(std::string(folder) + "a", "content " + std::to_string(i));
        tree.file(std::string(folder) + "b", "content " + std::to_string(i));
    }
    TempTree scratch;
    const pid_t child =
        startCli({"--select", "all-but-one", "--delete", "--no-cache", tree.root()}, scratch);
    ASSERT_TRUE(waitUntilSignalsAreWatched(child));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (present(tree.path("p/0000/a")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    kill(child, SIGINT);
    const CliResult result = finish(child, scratch);
    // However far the removals got, the listing matches the disk.
    int stayed = 0;
    int removed = 0;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const std::string path = line.substr(4);
        if (line.rfind("[-] ", 0) == 0) {
            EXPECT_FALSE(present(path)) << path;
            ++removed;
        } else {
            EXPECT_TRUE(present(path)) << path;
            stayed += path.ends_with("/a");
        }
    }
    EXPECT_EQ(removed + stayed, 1500) << result.err;
    EXPECT_GE(removed, 1);
    EXPECT_EQ(result.exitCode, stayed > 0 ? 130 : 0) << result.err;
}

} // namespace

namespace {

TEST(Cli, AFolderThatCannotBeReadIsNamed) {
    // The searched folder itself ends the run; a subfolder is named and the rest is listed.
    struct Case {
        std::string searched;
        int status;
        std::string said;
    };
    for (const Case& c : {Case{"locked", 2, "could not be read: Permission denied"},
                          Case{"", 0, "locked/ — Permission denied"}}) {
        TempTree tree;
        tree.folder("locked");
        tree.file("locked/x", "same");
        tree.file("a", "same");
        tree.file("b", "same");
        tree.chmod("locked", 0);
        for (const char* name : {"a", "b"})
            tree.chmod(name, 0666); // files the user may not write are passed over
        TempTree scratch;
        ::chmod(scratch.root().c_str(), 0777); // the output of an unprivileged run
        const int status = runUnprivileged([&] {
            const pid_t child = startCli({"--quiet", "--no-cache", "--format=fdupes",
                                          c.searched.empty() ? tree.root() : tree.path(c.searched)},
                                         scratch);
            int code = 0;
            waitpid(child, &code, 0);
            return WIFEXITED(code) ? WEXITSTATUS(code) : 99;
        });
        EXPECT_EQ(status, c.status) << c.searched;
        const std::string err = readWholeFile(scratch.path("stderr"));
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        if (c.status == 0) {
            EXPECT_EQ(readWholeFile(scratch.path("stdout")),
                      tree.path("b") + "\n" + tree.path("a") + "\n\n");
        }
    }
}

} // namespace

namespace {

// The same scenario as the window's: a folder given through a link to it.
TEST(CliSelect, InFolderGivenThroughALink) {
    TempTree tree;
    tree.file("photos/a", "same");
    tree.file("backup/a", "same");
    TempTree elsewhere;
    elsewhere.symlink(tree.path("photos"), "alias");
    const CliResult result =
        runCli({"--select", "in-folder:" + elsewhere.path("alias"), "--quiet", tree.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("[-] " + tree.path("photos/a") + "\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("[+] " + tree.path("backup/a") + "\n"), std::string::npos)
        << result.out;
}

} // namespace

TEST(CliProgress, BytesReadAndTheTimeLeftAsTheLineShowsThem) {
    const std::int64_t mib = 1 << 20;
    struct Case {
        std::int64_t read, toRead;
        double elapsed;
        const char* line;
    };
    for (const Case& c :
         {Case{0, 0, 9, ""}, // nothing to read (normal speed)
          Case{0, 10 * mib, 0, "read 0 B of 10.0 MiB"},
          Case{5 * mib, 10 * mib, 1, "read 5.0 MiB of 10.0 MiB"}, // too soon
          Case{5 * mib, 10 * mib, 62, "read 5.0 MiB of 10.0 MiB, about 1:02 left"},
          Case{mib, 3601 * mib, 1, "read 1.0 MiB of 3.5 GiB"},
          Case{mib, 3601 * mib, 2, "read 1.0 MiB of 3.5 GiB, about 2:00:00 left"},
          Case{10 * mib, 10 * mib, 5, "read 10.0 MiB of 10.0 MiB, about 0:00 left"}}) {
        EXPECT_EQ(readingText(c.read, c.toRead, secondsLeft(c.read, c.toRead, c.elapsed)), c.line)
            << c.read << " of " << c.toRead << " in " << c.elapsed;
    }
}
