#include "TempTree.h"
#include "platform/FileInUse.h"
#include "platform/FileLocks.h"
#include "platform/MountTable.h"
#include "platform/NameOrder.h"
#include "platform/OpenFileLimit.h"
#include "search/FileWalker.h"
#include "search/ReferenceFolders.h"
#include "search/ResultRows.h"
#include "search/RunControl.h"
#include "search/SearchEngine.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/fs.h>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct Search {
    SharedState state;
    RunControl control;
    SearchProgress progress;

    bool run(const std::string& folder, SearchOptions options = {}, bool subfolders = true,
             SearchHooks* hooks = nullptr) {
        SearchEngine engine(state, control, progress);
        const bool ran = engine.run(folder, subfolders, options, hooks);
        passedOver = engine.passedOver();
        folderProblem = engine.folderProblem();
        scopeNote = engine.scopeNote();
        return ran;
    }
    PassedOver passedOver;
    std::string folderProblem;
    std::string scopeNote;

    // Found files as paths relative to `root`.
    std::vector<std::string> found(const std::string& root) const {
        return relative(state.aFilesFounded, root);
    }
    std::vector<std::string> duplicates(const std::string& root) const {
        return relative(state.aDuplicatedFiles, root);
    }

    template <typename Table>
    static std::vector<std::string> relative(const Table& files, const std::string& root) {
        std::vector<std::string> names;
        for (const TFiles& file : files)
            names.push_back(file.fullName().substr(root.size() + 1));
        return names;
    }
};

using Names = std::vector<std::string>;

SearchOptions options(const std::string& speed, const std::string& hash = "sha1",
                      const std::string& ignoreEmpty = "no") {
    return SearchOptions{*speedFromName(speed), *hashFromName(hash), ignoreEmpty == "yes", "", {}};
}

TEST(Walk, SizeBoundsAndExcludesLeaveFilesAndFoldersOut) {
    TempTree tree;
    tree.file("a.txt", "12345");
    tree.file("b.tmp", "12345");
    tree.file("big.bin", std::string(2048, 'x'));
    tree.file("empty", "");
    tree.file("cache/x.bin", "1234");
    tree.file("cache/y.txt", "1234");
    tree.file("sub/cache/z.bin", "1234");
    tree.file("node_modules/m.txt", "123");
    tree.file(".hidden/h", "123");
    struct Case {
        std::int64_t minSize;
        std::int64_t maxSize;
        std::vector<std::string> excludes;
        Names found;
        std::string passedOver; // besides the hidden folder
    };
    const Names all{"a.txt",
                    "b.tmp",
                    "big.bin",
                    "empty",
                    "cache/x.bin",
                    "cache/y.txt",
                    "node_modules/m.txt",
                    "sub/cache/z.bin"};
    for (const Case& c : {
             Case{0, -1, {}, all, ""},
             // Files of size 0 go by their own option, not by the bounds.
             Case{4,
                  2047,
                  {},
                  {"a.txt", "b.tmp", "empty", "cache/x.bin", "cache/y.txt", "sub/cache/z.bin"},
                  ", 2 files outside the size bounds"},
             Case{2048, -1, {}, {"big.bin", "empty"}, ", 6 files outside the size bounds"},
             // A name anywhere; a folder by its name is not entered.
             Case{0,
                  -1,
                  {"*.tmp", "node_modules"},
                  {"a.txt", "big.bin", "empty", "cache/x.bin", "cache/y.txt", "sub/cache/z.bin"},
                  ", 2 files or folders excluded"},
             // A path below the searched folder, "*" not crossing "/".
             Case{0,
                  -1,
                  {"cache/*.bin"},
                  {"a.txt", "b.tmp", "big.bin", "empty", "cache/y.txt", "node_modules/m.txt",
                   "sub/cache/z.bin"},
                  ", 1 file or folder excluded"},
             Case{0,
                  -1,
                  {"*/cache"},
                  {"a.txt", "b.tmp", "big.bin", "empty", "cache/x.bin", "cache/y.txt",
                   "node_modules/m.txt"},
                  ", 1 file or folder excluded"},
         }) {
        SearchOptions options;
        options.ignoreEmptyFiles = false;
        options.scope = SearchScope{{}, c.minSize, c.maxSize, c.excludes};
        Search search;
        search.run(tree.root(), options);
        Names found = search.found(tree.root());
        std::sort(found.begin(), found.end());
        Names expected = c.found;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(found, expected) << c.minSize << " " << c.maxSize << " " << c.excludes.size();
        EXPECT_EQ(search.passedOver.text(), "1 hidden folder" + c.passedOver);
    }
}

// The walk's rules written out plainly: roots in turn, each folder read once (by its real path),
// hidden folders and excluded entries passed over. A folder is a reference one when it was
// reached from a reference root or its real path lies under one. Found files by real path, with
// their content and reference mark.
std::map<std::string, std::pair<std::string, bool>>
plainSearch(const std::vector<SearchFolder>& roots, const SearchScope& scope) {
    namespace fs = std::filesystem;
    std::vector<std::string> references;
    for (const SearchFolder& root : roots)
        if (root.reference)
            references.push_back(fs::canonical(root.path).string() + "/");
    std::set<std::string> visited;
    std::map<std::string, std::pair<std::string, bool>> found;
    std::function<void(const fs::path&, const std::string&, bool)> visit =
        [&](const fs::path& folder, const std::string& below, bool reference) {
            const std::string real = fs::canonical(folder).string() + "/";
            if (!visited.insert(real).second)
                return;
            for (const std::string& r : references)
                reference = reference || real.starts_with(r);
            std::vector<fs::directory_entry> entries(fs::directory_iterator(folder), {});
            std::sort(entries.begin(), entries.end()); // the walk's order decides the first way in
            for (const fs::directory_entry& entry : entries) {
                const std::string name = entry.path().filename().string();
                if (scope.leavesOut(name, below + name, entry.is_directory()))
                    continue;
                if (entry.is_directory()) {
                    if (name[0] != '.')
                        visit(entry.path(), below + name + "/", reference);
                    continue;
                }
                const bool writable =
                    (entry.status().permissions() & fs::perms::owner_write) != fs::perms::none;
                if (entry.is_symlink() || (!writable && !reference) ||
                    !scope.sizeFits(static_cast<std::int64_t>(entry.file_size())))
                    continue;
                std::ifstream in(entry.path(), std::ios::binary);
                found[fs::canonical(entry.path())] = {
                    std::string(std::istreambuf_iterator<char>(in), {}), reference};
            }
        };
    for (const SearchFolder& root : roots)
        visit(root.path, "", root.reference);
    return found;
}

TEST(SearchRandom, SeveralFoldersWithReferencesExcludesAndBoundsFollowThePlainRules) {
    std::mt19937 random(20261209);
    auto pick = [&](const auto& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    const std::vector<std::string> folders = {"a", "a/x", "a/x/y", "b", "b/z", "c", "c/.h"};
    const std::vector<std::string> names = {"f.txt", "g.bin", "h.tmp", "y", "k.txt"};
    const std::vector<std::string> contents = {
        "", "p", "q", "pp", std::string(5000, 'r'), std::string(4999, 'r') + "s"};
    const std::vector<std::vector<std::string>> excludes = {
        {}, {}, {"*.tmp"}, {"y"}, {"x/*.bin"}, {"z", "*.txt"}, {"y/"}, {"**/*.bin"}, {"/x"}};
    // Nested, repeated and linked roots.
    const std::vector<std::string> rootNames = {"a", "a/x", "b", "b/link", "b/z", "c", "."};
    int referenceGroups = 0;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempTree tree;
        for (const std::string& folder : folders)
            tree.folder(folder);
        tree.symlink("../a/x", "b/link");
        for (int k = std::uniform_int_distribution<int>(4, 24)(random); k > 0; --k) {
            const std::string file = pick(folders) + "/" + std::to_string(k) + pick(names);
            tree.file(file, pick(contents));
            if (std::bernoulli_distribution(0.15)(random))
                tree.chmod(file, 0444); // listed in a reference folder only
        }
        std::vector<SearchFolder> roots{{tree.path(pick(rootNames)), false}};
        for (int k = std::uniform_int_distribution<int>(0, 3)(random); k > 0; --k)
            roots.push_back({tree.path(pick(rootNames)), std::bernoulli_distribution(0.5)(random)});
        SearchOptions options;
        options.searchSpeed = round % 2 ? SearchSpeed::Normal : SearchSpeed::Fast;
        options.scope = {{roots.begin() + 1, roots.end()},
                         pick(std::vector<std::int64_t>{0, 0, 2}),
                         pick(std::vector<std::int64_t>{-1, -1, 4999}),
                         pick(excludes)};

        Search search;
        ASSERT_TRUE(search.run(roots[0].path, options));
        const auto plain = plainSearch(roots, options.scope);
        std::map<std::string, bool> found, expectedFound;
        for (const auto& [path, file] : plain)
            expectedFound[path] = file.second;
        for (const TFiles& file : search.state.aFilesFounded)
            found[std::filesystem::canonical(file.fullName())] = file.fReference;
        ASSERT_EQ(found, expectedFound);
        ASSERT_EQ(search.state.aFilesFounded.size(), plain.size()) << "a file recorded twice";

        // Groups by content, none of reference files only.
        std::map<std::string, std::set<std::string>> expected, actual;
        std::map<std::string, bool> anyNormal, anyReference;
        for (const auto& [path, file] : plain) {
            expected[file.first].insert(path);
            (file.second ? anyReference : anyNormal)[file.first] = true;
        }
        std::erase_if(expected, [&](const auto& group) {
            return group.second.size() < 2 || !anyNormal[group.first];
        });
        for (const ResultRow& row : buildRows(search.state.aDuplicatedFiles))
            actual[row.caption].insert(std::filesystem::canonical(row.folder + row.name));
        std::set<std::set<std::string>> expectedGroups, actualGroups;
        for (const auto& [content, members] : expected) {
            expectedGroups.insert(members);
            referenceGroups += anyReference[content] ? 1 : 0;
        }
        for (const auto& [caption, members] : actual)
            actualGroups.insert(members);
        ASSERT_EQ(actualGroups, expectedGroups);
    }
    EXPECT_GT(referenceGroups, 10) << referenceGroups; // the trees really hold such groups
}

TEST(SearchScope, PatternsMatchNamesPathsOrFolders) {
    struct Case {
        const char* pattern;
        std::string below; // the entry's path below the searched folder
        bool folder;
        bool leftOut;
    };
    // A trailing "/" names folders only, a leading "/" the top, and "**" any depth, none included.
    for (const Case& c :
         {Case{"cache/", "a/cache", true, true}, Case{"cache/", "a/cache", false, false},
          Case{"/cache", "cache", true, true}, Case{"/cache", "a/cache", true, false},
          Case{"**/*.bin", "x.bin", false, true}, Case{"**/*.bin", "a/b/x.bin", false, true},
          Case{"a/*.bin", "a/b/x.bin", false, false}, Case{"*.bin", "a/b/x.bin", false, true}}) {
        const SearchScope scope{{}, 0, -1, {c.pattern}};
        const std::string name = c.below.substr(c.below.rfind('/') + 1);
        EXPECT_EQ(scope.leavesOut(name, c.below, c.folder), c.leftOut)
            << c.pattern << " " << c.below;
    }
}

TEST(SearchScope, SizesWithTheirUnits) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> size;
    };
    for (const Case& c :
         {Case{"0", 0}, Case{"4096", 4096}, Case{"64K", 64 << 10}, Case{"2g", 2LL << 30},
          Case{"1T", 1LL << 40}, Case{"", std::nullopt}, Case{"K", std::nullopt},
          Case{"12KB", std::nullopt}, Case{"-1", std::nullopt}, Case{"9999999999T", std::nullopt},
          Case{"99999999999999999999", std::nullopt}})
        EXPECT_EQ(parseSize(c.text), c.size) << c.text;
}

TEST(Walk, FilesInNameOrderThenSubfoldersDepthFirst) {
    TempTree tree;
    for (const char* name : {"b.txt", "a.txt", "A.txt", "c", "sub/x", "sub/deeper/z", "Sub2/y"})
        tree.file(name, name);
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()),
              (Names{"A.txt", "a.txt", "b.txt", "c", "sub/x", "sub/deeper/z", "Sub2/y"}));
    EXPECT_EQ(search.state.iFilesFounded, 7);
}

TEST(Walk, FolderTextWithAndWithoutTrailingSlashGiveTheSameFolders) {
    TempTree tree;
    tree.file("sub/x", "x");
    Search plain;
    plain.run(tree.root());
    Search slashed;
    slashed.run(tree.root() + "/");
    ASSERT_EQ(plain.state.aFilesFounded.size(), 1u);
    EXPECT_EQ(plain.state.aFilesFounded[0].fPath, tree.root() + "/sub/");
    EXPECT_EQ(slashed.state.aFilesFounded[0].fPath, plain.state.aFilesFounded[0].fPath);
}

TEST(Walk, SubfoldersOffKeepsToTheFolder) {
    TempTree tree;
    tree.file("top", "1");
    tree.file("sub/inner", "2");
    Search search;
    search.run(tree.root(), {}, false);
    EXPECT_EQ(search.found(tree.root()), (Names{"top"}));
}

TEST(Walk, HiddenFoldersAreNotEnteredButHiddenFilesAreRecorded) {
    TempTree tree;
    tree.file(".hidden-file", "1");
    tree.file(".git/config", "2");
    tree.file("visible/.also-hidden", "3");
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{".hidden-file", "visible/.also-hidden"}));
}

TEST(Walk, SpecialFilesAreNeverRecordedNorOpened) {
    TempTree tree;
    tree.fifo("a-fifo"); // a blocking open would hang the test here
    tree.socket("b-socket");
    tree.symlink("/nonexistent/target", "c-dangling");
    tree.symlink("c-self-loop", "c-self-loop");
    if (geteuid() == 0) {
        ASSERT_EQ(mknod(tree.path("d-device").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    tree.file("e-regular", "x");
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"e-regular"}));
}

TEST(Walk, LinksToFilesAreNotCopiesAndLinkedFoldersAreEnteredOnce) {
    TempTree tree;
    tree.file("data/photo.jpg", "jpeg");
    tree.symlink("photo.jpg", "data/link-to-photo.jpg");
    tree.symlink("../data", "other/link-to-data");
    tree.symlink("..", "data/loop"); // leads back to the root
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"data/photo.jpg"}));
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());
}

TEST(Walk, LinkedFolderIsEnteredWhenItIsTheOnlyWay) {
    TempTree outside;
    outside.file("kept", "k");
    TempTree tree;
    tree.symlink(outside.root(), "linked");
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"linked/kept"}));
}

TEST(Walk, TwoHardLinksAreOneFile) {
    TempTree tree;
    tree.file("a", "same bytes");
    tree.hardlink("a", "sub/b");
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"a"}));
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());
}

TEST(Walk, AFileOrFolderAlsoInAReferenceFolderIsAReferenceOne) {
    TempTree tree;
    tree.file("ref/inner/h", "same bytes");
    tree.hardlink("ref/inner/h", "norm/h");
    tree.file("norm/h2", "same bytes");
    SearchOptions options;
    options.scope.folders = {{tree.path("ref"), true}};
    // The hard link in the normal folder is found first; its other path makes it a reference.
    Search linked;
    linked.run(tree.path("norm"), options);
    ASSERT_EQ(linked.duplicates(tree.root()), (Names{"norm/h2", "norm/h"}));
    EXPECT_TRUE(linked.state.aDuplicatedFiles[1].fReference);
    EXPECT_FALSE(linked.state.aDuplicatedFiles[0].fReference);
    // A folder given as normal inside a reference folder is said to be a reference one.
    Search inside;
    inside.run(tree.path("ref/inner"), options);
    EXPECT_EQ(inside.scopeNote, "These folders lie in a reference folder, so their files are "
                                "compared but never picked, moved or removed:\n" +
                                    tree.path("ref/inner") + "\n");
}

// A temporary tree with bind mounts in it, undone in tear-down before the tree is removed.
class BindMount : public testing::Test {
protected:
    void TearDown() override {
        for (auto target = m_targets.rbegin(); target != m_targets.rend(); ++target)
            umount2(target->c_str(), MNT_DETACH);
    }

    // Mounts `source` onto `target` (paths in the tree); an empty text when done, else why not.
    std::string bind(const std::string& source, const std::string& target) {
        const std::string full = tree.path(target);
        if (mount(tree.path(source).c_str(), full.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return std::string("bind mounts are not permitted here: ") + std::strerror(errno);
        m_targets.push_back(full);
        return {};
    }

    TempTree tree;

private:
    std::vector<std::string> m_targets;
};

TEST_F(BindMount, FileMountedOntoASecondPathIsOneFile) {
    tree.file("a_thesis.txt", "thesis");
    tree.file("b_mountpoint.txt", "");
    tree.file("sub/c_mountpoint.txt", "");
    if (std::string why = bind("a_thesis.txt", "b_mountpoint.txt"); !why.empty())
        GTEST_SKIP() << why;
    if (std::string why = bind("a_thesis.txt", "sub/c_mountpoint.txt"); !why.empty())
        GTEST_SKIP() << why;
    for (const char* speed : {"fast", "normal"}) {
        Search search;
        search.run(tree.root(), options(speed));
        // The real file is kept: deleting it as a copy would leave only the mounts.
        EXPECT_EQ(search.found(tree.root()), (Names{"a_thesis.txt"})) << speed;
        EXPECT_TRUE(search.state.aDuplicatedFiles.empty()) << speed;
    }
}

TEST_F(BindMount, FileMountedOntoAPathFoundBeforeItIsOneFile) {
    tree.file("a_mountpoint.txt", "");
    tree.file("b_thesis.txt", "thesis");
    tree.file("c_other.txt", "other");
    if (std::string why = bind("b_thesis.txt", "a_mountpoint.txt"); !why.empty())
        GTEST_SKIP() << why;
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"a_mountpoint.txt", "c_other.txt"}));
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());
}

TEST_F(BindMount, FolderMountedOntoAnotherFolderIsEnteredOnce) {
    tree.file("a/photo.jpg", "jpeg");
    tree.file("a/inner/song.mp3", "mp3");
    tree.folder("b");
    if (std::string why = bind("a", "b"); !why.empty())
        GTEST_SKIP() << why;
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"a/photo.jpg", "a/inner/song.mp3"}));
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());
}

TEST_F(BindMount, AReferenceFolderMountedAtASecondPathIsKnownThere) {
    tree.file("ref/sub/a", "a");
    tree.folder("mounted");
    if (std::string why = bind("ref", "mounted"); !why.empty())
        GTEST_SKIP() << why;
    const ReferenceFolders references({{tree.path("ref"), true}});
    for (const char* path : {"mounted/sub/", "mounted/sub/a", "mounted/new/deeper/"})
        EXPECT_EQ(references.holding(tree.path(path)), tree.path("ref")) << path;
    EXPECT_EQ(references.holding(tree.path("elsewhere/")), std::nullopt);
}

TEST_F(BindMount, MountTableShowsAFileMount) {
    tree.file("source", "s");
    tree.file("target", "");
    if (std::string why = bind("source", "target"); !why.empty())
        GTEST_SKIP() << why;
    EXPECT_TRUE(fileMountsListed());
}

TEST(MountTable, MountPointsWithEscapedCharacters) {
    const char* text = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                       "35 22 8:1 /home/a\\040b /mnt/with\\040space rw - ext4 /dev/sda1 rw\n"
                       "36 22 0:5 /tab /mnt/tab\\011here rw - tmpfs tmpfs rw";
    EXPECT_EQ(parseMountPoints(text), (Names{"/", "/mnt/with space", "/mnt/tab\there"}));
}

TEST(Walk, ReadOnlyFileIsInUseEvenForRoot) {
    TempTree tree;
    tree.file("readonly", "x");
    tree.file("writable", "x");
    tree.chmod("readonly", 0444);
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.found(tree.root()), (Names{"writable"}));
}

// The walk answers the access test from statx where the owner's bits decide it; whenever it
// answers, it must say what faccessat says: for other users' files, on a read-only mount and for
// immutable files too. Gives the answers that differ, and counts those given.
std::vector<std::string> accessAnswersThatDiffer(const std::string& folder,
                                                 const std::vector<std::string>& names,
                                                 int& answered) {
    std::vector<std::string> differ;
    const int dir = open(folder.c_str(), O_PATH | O_DIRECTORY);
    const OwnerAccess access(dir);
    for (const std::string& name : names) {
        struct statx sx {};
        if (statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0)
            differ.push_back(name + ": " + std::strerror(errno));
        for (int want : {R_OK, W_OK, R_OK | W_OK}) {
            const bool kernel = faccessat(dir, name.c_str(), want, AT_EACCESS) == 0;
            if (const std::optional<bool> told = access.allows(sx, want)) {
                ++answered;
                if (*told != kernel)
                    differ.push_back(name + " for " + std::to_string(want));
            }
        }
    }
    close(dir);
    return differ;
}

TEST(Walk, AccessToldFromTheModeIsTheKernelsAnswer) {
    SmallDisk disk;
    TempTree tree;
    auto check = [&](const std::string& folder, bool readOnly) {
        std::vector<std::string> names;
        for (const auto& [name, mode] : std::vector<std::pair<std::string, unsigned>>{
                 {"rw", 0600}, {"r", 0400}, {"w", 0200}, {"none", 0}, {"group", 0060}}) {
            std::ofstream(folder + "/" + name) << "x";
            ASSERT_EQ(::chmod((folder + "/" + name).c_str(), mode), 0);
            names.push_back(name);
        }
        // Root may make a file immutable.
        std::ofstream(folder + "/immutable") << "x";
        int fd = open((folder + "/immutable").c_str(), O_RDONLY);
        int flags = FS_IMMUTABLE_FL;
        if (fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0)
            names.push_back("immutable");
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0); // for the other user below
        if (readOnly) {
            ASSERT_EQ(mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        }
        int answered = 0;
        EXPECT_EQ(accessAnswersThatDiffer(folder, names, answered), Names{}) << folder;
        // Without answers the walk would be as slow as before: the owner's own file is told.
        EXPECT_GT(answered, 0) << folder;
        if (geteuid() == 0) {
            // Root's files as another user sees them: their owner's bits are not that user's.
            const pid_t child = fork();
            if (child == 0) {
                int none = 0;
                _exit(setgid(1234) == 0 && setuid(1234) == 0 &&
                              accessAnswersThatDiffer(folder, names, none).empty()
                          ? 0
                          : 1);
            }
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << folder;
        }
        flags = 0;
        if (fd >= 0) {
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
            close(fd);
        }
    };
    check(tree.root(), false);
    if (disk.mounted())
        check(disk.path(""), true);
}

TEST(Walk, FileLockedByAnotherOpenerIsInUse) {
    TempTree tree;
    tree.file("locked", "x");
    tree.file("free", "x");
    int fd = open(tree.path("locked").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    Search search;
    search.run(tree.root());
    close(fd);
    EXPECT_EQ(search.found(tree.root()), (Names{"free"}));
}

class LockedAfterTheWalkBegan : public testing::TestWithParam<const char*> {};

TEST_P(LockedAfterTheWalkBegan, FileIsNotListed) {
    TempTree tree;
    tree.file("a", "same bytes");
    tree.file("b", "same bytes");
    Search search;
    // The walk stops at its first file, after it has read the lock list.
    search.control.pause();
    std::thread worker([&] { search.run(tree.root(), options(GetParam())); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!search.control.holding() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool held = search.control.holding();
    int fd = open(tree.path("b").c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool locked = fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0;
    search.control.resume();
    worker.join();
    close(fd);
    ASSERT_TRUE(held);
    ASSERT_TRUE(locked);
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());
    if (std::string(GetParam()) == "normal") {
        EXPECT_EQ(search.found(tree.root()), (Names{"a"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, LockedAfterTheWalkBegan, testing::Values("fast", "normal"));

TEST(Walk, LockListNamesRecordLocksOnly) {
    LockedFiles locks = LockedFiles::parse("1: POSIX  ADVISORY  WRITE 1234 fd:01:2360379 0 EOF\n"
                                           "1: -> POSIX  ADVISORY  WRITE 1299 fd:01:77 0 EOF\n"
                                           "2: OFDLCK ADVISORY  READ  -1 08:02:42 0 EOF\n"
                                           "3: FLOCK  ADVISORY  WRITE 99 08:02:43 0 EOF\n");
    EXPECT_TRUE(locks.contains(makedev(0xfd, 1), 2360379));
    EXPECT_TRUE(locks.contains(makedev(8, 2), 42));
    EXPECT_FALSE(locks.contains(makedev(0xfd, 1), 77)); // only waiting for it
    EXPECT_FALSE(locks.contains(makedev(8, 2), 43));    // flock() does not stop a record lock
}

TEST(Walk, UnreadableFolderAndFileArePassedOverSilently) {
    TempTree tree;
    tree.file("a-locked-away/secret", "s");
    tree.file("b-unreadable", "u");
    tree.file("c-open/visible", "v");
    tree.file("d-plain", "p");
    for (const char* name : {"b-unreadable", "c-open/visible", "d-plain"})
        tree.chmod(name, 0666); // writable by the unprivileged user, or they would be in use
    tree.chmod("b-unreadable", 0222);
    tree.chmod("a-locked-away", 0000);
    const std::string root = tree.root();
    int status = runUnprivileged([&] {
        Search search;
        search.run(root);
        return search.found(root) == Names{"d-plain", "c-open/visible"} ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(Walk, IgnoreEmptyFiles) {
    TempTree tree;
    tree.file("empty", "");
    tree.file("full", "x");
    Search ignoring;
    ignoring.run(tree.root(), options("fast", "sha1", "yes"));
    EXPECT_EQ(ignoring.found(tree.root()), (Names{"full"}));
    Search keeping;
    keeping.run(tree.root(), options("fast", "sha1", "no"));
    ASSERT_EQ(keeping.found(tree.root()), (Names{"empty", "full"}));
    EXPECT_EQ(keeping.state.aFilesFounded[0].fSize, 0);
}

TEST(Walk, NoStackOverflowOnAVeryDeepTree) {
    TempTree tree;
    constexpr int kDepth = 10000;
    tree.file("top.txt", "deep copy");
    int fd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < kDepth; ++level) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
        int child = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = child;
    }
    int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(write(file, "deep copy", 9), 9);
    close(file);
    close(fd);

    Search search;
    search.run(tree.root());
    ASSERT_EQ(search.state.iFilesFounded, 2);
    EXPECT_EQ(search.state.aFilesFounded[1].fName, "bottom.txt");
    EXPECT_EQ(search.state.aFilesFounded[1].fPath.size(), tree.root().size() + 1 + 2 * kDepth);
    // The deep file's path is far beyond PATH_MAX and is still digested and matched.
    ASSERT_EQ(search.state.iDuplicatedFiles, 2);
    EXPECT_EQ(search.state.aDuplicatedFiles[0].fName, "bottom.txt");
}

TEST(Walk, ManyWideLevelsStayWithinTheOpenFolderLimit) {
    // Every level has a second folder to come back to, so every level keeps its folder in
    // mind; deeper than the limit of open folders, they are reopened.
    TempTree tree;
    std::string path;
    for (int level = 0; level < 300; ++level) {
        path += "d/";
        tree.file(path + "z/leaf", "leaf " + std::to_string(level));
    }
    Search search;
    search.run(tree.root());
    EXPECT_EQ(search.state.iFilesFounded, 300);
}

// Runs `body` in a child process whose limits of open files (soft and hard) are `limit`.
// Returns the child's exit status.
int runWithOpenFileLimit(rlim_t limit, const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        const struct rlimit low { limit, limit };
        if (setrlimit(RLIMIT_NOFILE, &low) != 0)
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(Walk, LowLimitOfOpenFilesStillFindsEveryFile) {
    // Every level has a second folder to come back to, so the walk would keep far more
    // folders open than 20 descriptors allow.
    TempTree tree;
    constexpr int kLevels = 150;
    std::string path;
    for (int level = 0; level < kLevels; ++level) {
        path += "d/";
        tree.file(path + "own", "level " + std::to_string(level));
        tree.file(path + "z/leaf", "the same leaf");
    }
    for (const char* speed : {"fast", "normal"}) {
        const std::string root = tree.root();
        int status = runWithOpenFileLimit(20, [&] {
            Search search;
            search.run(root, options(speed));
            if (search.state.iFilesFounded != 2 * kLevels ||
                search.state.iDuplicatedFiles != kLevels) {
                std::fprintf(stderr, "%s: %d found, %d duplicated\n", speed,
                             search.state.iFilesFounded.load(),
                             search.state.iDuplicatedFiles.load());
                return 1;
            }
            return 0;
        });
        EXPECT_EQ(status, 0) << speed;
    }
}

TEST(Walk, SoftLimitOfOpenFilesIsRaisedToTheHardLimit) {
    int status = runWithOpenFileLimit(64, [] {
        struct rlimit limit {};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 20;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 2;
        raiseOpenFileLimit();
        getrlimit(RLIMIT_NOFILE, &limit);
        return limit.rlim_cur == 64 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(Walk, DigestsInNormalSpeedOnly) {
    TempTree tree;
    tree.file("a", "a");
    tree.file("b", "bb");
    Search fast;
    fast.run(tree.root(), options("fast"));
    for (const TFiles& file : fast.state.aFilesFounded)
        EXPECT_EQ(file.fHash, "");
    for (const char* hash : {"sha1", "md5"}) {
        Search normal;
        normal.run(tree.root(), options("normal", hash));
        for (const TFiles& file : normal.state.aFilesFounded)
            EXPECT_EQ(file.fHash.size(), std::string(hash) == "sha1" ? 40u : 32u);
        EXPECT_EQ(normal.state.aFilesFounded[1].fHash,
                  std::string(hash) == "sha1" ? sha1Hex("bb") : md5Hex("bb"));
    }
}

TEST(Walk, RecordsModificationAndChangeTimesToTheNanosecond) {
    TempTree tree;
    tree.file("a", "a");
    // A modification time set back leaves the change time at the moment of the change.
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, tree.path("a").c_str(), times, 0), 0);
    struct stat st {};
    ASSERT_EQ(stat(tree.path("a").c_str(), &st), 0);
    Search search;
    search.run(tree.root());
    ASSERT_EQ(search.state.aFilesFounded.size(), 1u);
    const TFiles& file = search.state.aFilesFounded[0];
    EXPECT_EQ(file.fModifiedNs, 1000000000123456789);
    EXPECT_EQ(file.fChangedNs, st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec);
    EXPECT_NE(file.fChangedNs, file.fModifiedNs);
}

TEST(Walk, TerminationBeforeTheFirstCandidateRecordsNothing) {
    TempTree tree;
    tree.file("a", "1");
    tree.file("b", "2");
    Search search;
    search.control.requestTerminate();
    EXPECT_TRUE(search.run(tree.root()));
    EXPECT_EQ(search.state.iFilesFounded, 0);
    EXPECT_EQ(search.state.FinderOperation, FinderPhase::MatchFiles);
}

TEST(Walk, PauseHoldsTheWalkUntilResumed) {
    TempTree tree;
    tree.file("a", "1");
    tree.file("b", "1");
    Search search;
    search.control.pause();
    std::thread worker([&] { search.run(tree.root()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(search.state.iFilesFounded.load(), 0);
    search.control.resume();
    worker.join();
    EXPECT_EQ(search.state.iFilesFounded, 2);
    EXPECT_EQ(search.state.iDuplicatedFiles, 2);
}

// The files of a large folder are looked at on several threads, a window at a time; what the
// walk finds, and in which order, is what one thread would find.
TEST(Walk, FolderOfManyFilesKeepsNameOrderAndInUseTests) {
    TempTree tree;
    Names expected;
    for (int i = 0; i < 2500; ++i) {
        const int number = (i * 7919) % 2500;
        const std::string name = (i % 2 != 0 ? "F" : "f") + std::to_string(number);
        tree.file("big/" + name, std::to_string(i % 10));
        if (number % 97 == 0)
            tree.chmod("big/" + name, 0444); // in use: read-only by its mode
        else
            expected.push_back(name);
    }
    tree.file("big/sub/inner", "x");
    std::sort(expected.begin(), expected.end(), nameLess);
    expected.push_back("sub/inner");
    Search search;
    search.run(tree.path("big"));
    EXPECT_EQ(search.found(tree.path("big")), expected);
}

TEST(Walk, PauseAndCancelHoldTheFilesOfALargeFolder) {
    TempTree tree;
    for (int i = 0; i < 100; ++i)
        tree.file("f" + std::to_string(i), "1");
    Search paused;
    paused.control.pause();
    std::thread worker([&] { paused.run(tree.root()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(paused.state.iFilesFounded.load(), 0);
    paused.control.resume();
    worker.join();
    EXPECT_EQ(paused.state.iFilesFounded, 100);

    Search cancelled;
    cancelled.control.pause();
    std::thread second([&] { cancelled.run(tree.root()); });
    cancelled.control.requestTerminate();
    second.join();
    EXPECT_EQ(cancelled.state.iFilesFounded, 0);
}

TEST(Walk, CancelWhilePausedEndsTheRun) {
    TempTree tree;
    tree.file("a", "1");
    Search search;
    search.control.pause();
    std::thread worker([&] { search.run(tree.root()); });
    search.control.requestTerminate();
    worker.join();
    EXPECT_EQ(search.state.iFilesFounded, 0);
}

TEST(Walk, SparseFileOverFourGibibytesKeepsItsSize) {
    TempTree tree;
    const std::int64_t size = (5LL << 30) + 7;
    int fd = open(tree.path("sparse.img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    Search search;
    search.run(tree.root());
    ASSERT_EQ(search.state.iFilesFounded, 1);
    EXPECT_EQ(search.state.aFilesFounded[0].fSize, size);
    RowBuilder rows;
    EXPECT_EQ(rows.add(search.state.aFilesFounded[0]).size, "5368709127 bytes");
}

struct ChangeBetweenWalkAndMatch : SearchHooks {
    std::function<void()> change;
    void walkEnded() override { change(); }
};

TEST(Search, FileThatVanishesOrShrinksAfterTheWalkMatchesNothing) {
    TempTree tree;
    tree.file("a", "same content");
    tree.file("b", "same content");
    tree.file("c", "same content");
    tree.file("d", "same content");
    ChangeBetweenWalkAndMatch hooks;
    hooks.change = [&] {
        std::filesystem::remove(tree.path("a"));
        std::filesystem::resize_file(tree.path("b"), 4);
    };
    Search search;
    search.run(tree.root(), options("fast"), true, &hooks);
    EXPECT_EQ(search.duplicates(tree.root()), (Names{"d", "c"}));
}

TEST(Search, FileReplacedAfterTheWalkIsNotTheFileThatWasFound) {
    TempTree tree;
    tree.file("a", "same content");
    tree.file("b", "same content");
    ChangeBetweenWalkAndMatch hooks;
    hooks.change = [&] {
        tree.file("new", "same content");
        std::filesystem::rename(tree.path("new"), tree.path("b"));
    };
    Search search;
    search.run(tree.root(), options("fast"), true, &hooks);
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());
}

TEST(Search, GroupsInTheDesignedOrder) {
    TempTree tree;
    for (const char* name : {"a", "c", "e"})
        tree.file(name, "first content");
    for (const char* name : {"b", "d"})
        tree.file(name, "other content");
    for (const char* speed : {"fast", "normal"}) {
        Search search;
        search.run(tree.root(), options(speed));
        EXPECT_EQ(search.duplicates(tree.root()), (Names{"c", "e", "a", "d", "b"})) << speed;
        auto rows = buildRows(search.state.aDuplicatedFiles);
        EXPECT_EQ(rows[0].caption, "1");
        EXPECT_EQ(rows[2].caption, "1");
        EXPECT_EQ(rows[3].caption, "2");
        EXPECT_EQ(rows[0].size, "13 bytes");
    }
}

TEST(Search, ThreeSameSizedFilesOfWhichTwoAreEqual) {
    TempTree tree;
    tree.file("a", "xxx");
    tree.file("b", "yyy");
    tree.file("c", "xxx");
    Search search;
    search.run(tree.root(), options("fast"));
    EXPECT_EQ(search.duplicates(tree.root()), (Names{"c", "a"}));
    // Found entries keep their digests: the digest cache writes them from there. (Which files
    // are digested is checked against the pairwise scan in the matcher's tests.)
    for (const TFiles& file : search.state.aFilesFounded)
        EXPECT_EQ(file.fHash, sha1Hex(file.fName == "b" ? "yyy" : "xxx")) << file.fName;
    for (const TFiles& file : search.state.aDuplicatedFiles)
        EXPECT_EQ(file.fHash, sha1Hex("xxx"));
}

TEST(Search, LargeFilesAreComparedByTheirBytes) {
    TempTree tree;
    const std::string content(3 << 20, 'L');
    std::string lastByte = content;
    lastByte.back() = 'M';
    std::string firstByte = content;
    firstByte.front() = 'F';
    tree.file("a", content);
    tree.file("b", lastByte);
    tree.file("c", content);
    tree.file("d", firstByte);
    tree.file("e", content);
    // Sizes of two files each: a pair is compared before either is digested.
    std::string middle = content + "m";
    tree.file("m1", middle);
    middle[middle.size() / 2] = 'M';
    tree.file("m2", middle);
    tree.file("p1", content + "pp");
    tree.file("p2", content + "pp");
    tree.file("t1", content + "ttt");
    tree.file("t2", content + "ttT");
    for (const char* hash : {"sha1", "md5"}) {
        Search search;
        search.run(tree.root(), options("fast", hash));
        EXPECT_EQ(search.duplicates(tree.root()), (Names{"c", "e", "a", "p2", "p1"})) << hash;
        for (const TFiles& file : search.state.aDuplicatedFiles) {
            const std::string bytes = file.fName[0] == 'p' ? content + "pp" : content;
            EXPECT_EQ(file.fHash, std::string(hash) == "sha1" ? sha1Hex(bytes) : md5Hex(bytes));
        }
    }
}

TEST(Search, ManyMidSizedFilesOfOneSizeEachGetTheirOwnDigest) {
    // More files of one size than one digesting task takes: copies of two contents, files that
    // differ from them in the last byte only, and each file's digest must be that of its bytes.
    TempTree tree;
    const std::string first(8192, 'p');
    std::string second = first;
    second[4000] = 'q';
    std::vector<std::string> contents;
    for (int k = 0; k < 150; ++k) {
        std::string content = k % 3 == 0 ? first : k % 3 == 1 ? second : first;
        if (k % 10 == 9)
            content.back() = static_cast<char>('a' + k % 26 + (k > 100 ? 1 : 0));
        contents.push_back(content);
        char name[16];
        std::snprintf(name, sizeof name, "f%03d", k);
        tree.file(name, content);
    }
    for (const char* hash : {"sha1", "md5"}) {
        Search search;
        search.run(tree.root(), options("fast", hash));
        std::size_t members = 0;
        for (const TFiles& file : search.state.aDuplicatedFiles) {
            const std::string& content = contents[std::stoul(file.fName.substr(1))];
            EXPECT_EQ(file.fHash, std::string(hash) == "sha1" ? sha1Hex(content) : md5Hex(content))
                << file.fName;
            ++members;
        }
        // Everything but the few files whose last byte no other file shares.
        std::map<std::string, int> copies;
        for (const std::string& content : contents)
            ++copies[content];
        std::size_t expected = 0;
        for (const auto& [content, count] : copies)
            expected += count >= 2 ? static_cast<std::size_t>(count) : 0;
        EXPECT_EQ(members, expected) << hash;
    }
}

TEST(Search, EmptyFilesFormOneGroupUnlessIgnored) {
    TempTree tree;
    tree.file("e1", "");
    tree.file("e2", "");
    tree.file("x", "x");
    for (const char* speed : {"fast", "normal"}) {
        Search keeping;
        keeping.run(tree.root(), options(speed, "sha1", "no"));
        EXPECT_EQ(keeping.duplicates(tree.root()), (Names{"e2", "e1"})) << speed;
        Search ignoring;
        ignoring.run(tree.root(), options(speed, "sha1", "yes"));
        EXPECT_TRUE(ignoring.state.aDuplicatedFiles.empty()) << speed;
    }
}

TEST(Search, FolderWithNoFilesAndTextThatIsNoFolder) {
    TempTree tree;
    Search empty;
    EXPECT_TRUE(empty.run(tree.root()));
    EXPECT_EQ(empty.state.iFilesFounded, 0);
    EXPECT_EQ(empty.state.FinderOperation, FinderPhase::MatchFiles);
    Search none;
    EXPECT_FALSE(none.run("Local drives"));
    EXPECT_EQ(none.state.FinderOperation, FinderPhase::None);
    EXPECT_EQ(none.state.iFilesFounded, 0);
    // A further folder that has gone (an unplugged disk) is named; the others are searched.
    tree.file("here/a", "x");
    SearchOptions options;
    options.scope.folders = {{tree.path("gone"), true}, {tree.path("here"), false}};
    Search partly;
    EXPECT_TRUE(partly.run(tree.root(), options));
    EXPECT_EQ(partly.found(tree.root()), Names{"here/a"});
    EXPECT_EQ(partly.folderProblem, "The folder \"" + tree.path("gone") +
                                        "\" could not be read: No such file or directory.");
}

TEST(Search, HostileNamesAreFoundAndMatched) {
    TempTree tree;
    const Names names{"-leading dash", "name with spaces",  "quote\"s and 'apostrophes'",
                      "new\nline",     "not utf8 \xff\xfe", "tab\there"};
    for (const std::string& name : names)
        tree.file(name, "identical bytes");
    for (const char* speed : {"fast", "normal"}) {
        Search search;
        search.run(tree.root(), options(speed));
        EXPECT_EQ(search.state.iFilesFounded, static_cast<int>(names.size()));
        EXPECT_EQ(search.state.iDuplicatedFiles, static_cast<int>(names.size())) << speed;
    }
}

class Collisions : public testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(Collisions, EqualDigestsOfDifferentBytesAreNotDuplicates) {
    auto [speed, hash] = GetParam();
    TempTree tree;
    const std::string data = TWINSCOPE_TEST_DATA "/collisions/";
    for (const char* name : {"bad.pdf", "good.pdf", "letter_of_rec.ps", "order.ps"})
        tree.file(name, readWholeFile(data + name));
    Search search;
    search.run(tree.root(), options(speed, hash));
    EXPECT_TRUE(search.state.aDuplicatedFiles.empty());

    // A real copy is still found, and only with its original.
    tree.file("copy-of-order.ps", readWholeFile(data + "order.ps"));
    tree.file("copy-of-good.pdf", readWholeFile(data + "good.pdf"));
    Search again;
    again.run(tree.root(), options(speed, hash));
    auto rows = buildRows(again.state.aDuplicatedFiles);
    Names names = again.duplicates(tree.root());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Names{"copy-of-good.pdf", "copy-of-order.ps", "good.pdf", "order.ps"}));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].caption, "1");
    EXPECT_EQ(rows[2].caption, "2");
}

INSTANTIATE_TEST_SUITE_P(SpeedsAndHashes, Collisions,
                         testing::Combine(testing::Values("fast", "normal"),
                                          testing::Values("sha1", "md5")),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param)) + "_" +
                                    std::get<1>(param.param);
                         });

} // namespace
