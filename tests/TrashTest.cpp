#include "TempTree.h"
#include "platform/Trash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

std::string realFolder(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    EXPECT_NE(real, nullptr) << path;
    std::string text = real != nullptr ? real : path;
    std::free(real);
    return text;
}

// The names in a folder in byte order; none when it does not exist.
Names namesIn(const std::string& folder) {
    Names found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

bool exists(const std::string& path) {
    struct stat about {};
    return lstat(path.c_str(), &about) == 0;
}

struct stat lstatOf(const std::string& path) {
    struct stat about {};
    EXPECT_EQ(lstat(path.c_str(), &about), 0) << path;
    return about;
}

unsigned permissionsOf(const std::string& path) {
    return lstatOf(path).st_mode & 07777;
}

Names linesOf(const std::string& text) {
    Names lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start) + "<no line end>");
    return lines;
}

std::string localNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// A Path value holds only unreserved URL characters, "/" and %XX escapes.
bool escapedAsUrl(const std::string& value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~/", c) != nullptr)
            continue;
        if (c != '%' || i + 2 >= value.size() ||
            !std::isxdigit(static_cast<unsigned char>(value[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(value[i + 2])))
            return false;
        i += 2;
    }
    return true;
}

class TrashHome : public testing::Test {
protected:
    std::string trash(const std::string& relative) const {
        return tree.path("data/Trash/" + relative);
    }

    TempTree tree;
    const TrashLocations where{tree.path("data/Trash"), geteuid()};
};

TEST_F(TrashHome, FileGoesToTheHomeTrashWithItsRecord) {
    const ZoneScope zone("TST-5:45"); // a record in UTC would be off by hours
    tree.file("docs/report.txt", "quarterly figures");
    const std::string before = localNow();
    const TrashResult result = moveToTrash(tree.path("docs/report.txt"), where);
    const std::string after = localNow();
    ASSERT_TRUE(result.ok) << result.error;

    EXPECT_FALSE(exists(tree.path("docs/report.txt")));
    EXPECT_EQ(result.trashedFile, trash("files/report.txt"));
    EXPECT_EQ(result.infoFile, trash("info/report.txt.trashinfo"));
    EXPECT_EQ(namesIn(trash("files")), Names{"report.txt"});
    EXPECT_EQ(readWholeFile(trash("files/report.txt")), "quarterly figures");
    EXPECT_EQ(namesIn(trash("info")), Names{"report.txt.trashinfo"});

    const Names lines = linesOf(readWholeFile(trash("info/report.txt.trashinfo")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[Trash Info]");
    EXPECT_EQ(lines[1], "Path=" + realFolder(tree.root()) + "/docs/report.txt");
    ASSERT_EQ(lines[2].rfind("DeletionDate=", 0), 0u) << lines[2];
    const std::string date = lines[2].substr(13);
    EXPECT_EQ(date.size(), 19u) << date;
    EXPECT_LE(before, date);
    EXPECT_LE(date, after);
}

TEST_F(TrashHome, TrashFoldersArePrivateWhateverTheUmask) {
    tree.file("docs/a.txt", "a");
    const UmaskScope mask(0277);
    const TrashResult result = moveToTrash(tree.path("docs/a.txt"), where);
    ASSERT_TRUE(result.ok) << result.error;
    for (const char* folder : {"data", "data/Trash", "data/Trash/files", "data/Trash/info"})
        EXPECT_EQ(permissionsOf(tree.path(folder)), 0700u) << folder;
}

TEST_F(TrashHome, SameNameTwiceGetsMatchingFreeNames) {
    tree.file("a/x.txt", "first");
    tree.file("b/x.txt", "second");
    const TrashResult first = moveToTrash(tree.path("a/x.txt"), where);
    const TrashResult second = moveToTrash(tree.path("b/x.txt"), where);
    ASSERT_TRUE(first.ok) << first.error;
    ASSERT_TRUE(second.ok) << second.error;

    EXPECT_EQ(namesIn(trash("files")), (Names{"x.txt", "x.txt.2"}));
    EXPECT_EQ(namesIn(trash("info")), (Names{"x.txt.2.trashinfo", "x.txt.trashinfo"}));
    const std::string root = realFolder(tree.root());
    EXPECT_EQ(readWholeFile(trash("files/x.txt")), "first");
    EXPECT_EQ(restoredPath(trash("info/x.txt.trashinfo"), ""), root + "/a/x.txt");
    EXPECT_EQ(readWholeFile(trash("files/x.txt.2")), "second");
    EXPECT_EQ(restoredPath(trash("info/x.txt.2.trashinfo"), ""), root + "/b/x.txt");
    EXPECT_EQ(second.trashedFile, trash("files/x.txt.2"));
    EXPECT_EQ(second.infoFile, trash("info/x.txt.2.trashinfo"));
}

TEST_F(TrashHome, ExistingRecordIsNeverReplaced) {
    tree.file("data/Trash/info/x.txt.trashinfo", "made by another program");
    tree.folder("data/Trash/files");
    tree.file("docs/x.txt", "new");
    const TrashResult result = moveToTrash(tree.path("docs/x.txt"), where);
    ASSERT_TRUE(result.ok) << result.error;

    EXPECT_EQ(readWholeFile(trash("info/x.txt.trashinfo")), "made by another program");
    EXPECT_EQ(namesIn(trash("files")), Names{"x.txt.2"});
    EXPECT_EQ(readWholeFile(trash("files/x.txt.2")), "new");
    EXPECT_EQ(restoredPath(trash("info/x.txt.2.trashinfo"), ""),
              realFolder(tree.root()) + "/docs/x.txt");
}

TEST_F(TrashHome, NameTakenInFilesIsSkippedWithoutARecordLeftBehind) {
    tree.file("data/Trash/files/x.txt", "trashed earlier, record lost");
    tree.folder("data/Trash/info");
    tree.file("docs/x.txt", "new");
    const TrashResult result = moveToTrash(tree.path("docs/x.txt"), where);
    ASSERT_TRUE(result.ok) << result.error;

    EXPECT_EQ(readWholeFile(trash("files/x.txt")), "trashed earlier, record lost");
    EXPECT_EQ(readWholeFile(trash("files/x.txt.2")), "new");
    EXPECT_EQ(namesIn(trash("info")), Names{"x.txt.2.trashinfo"});
}

TEST_F(TrashHome, RecordIsCompleteBeforeTheFileArrives) {
    tree.folder("data/Trash/files");
    tree.folder("data/Trash/info");
    tree.file("docs/x.txt", "x");
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0) << std::strerror(errno);
    const int info = inotify_add_watch(watch, trash("info").c_str(), IN_CREATE | IN_CLOSE_WRITE);
    const int files = inotify_add_watch(watch, trash("files").c_str(), IN_CREATE | IN_MOVED_TO);
    ASSERT_GE(info, 0);
    ASSERT_GE(files, 0);

    const TrashResult result = moveToTrash(tree.path("docs/x.txt"), where);
    ASSERT_TRUE(result.ok) << result.error;

    // One queue for both folders keeps the order in which things happened.
    Names events;
    alignas(inotify_event) char buffer[4096];
    const ssize_t got = read(watch, buffer, sizeof buffer);
    close(watch);
    for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        std::string text = event->wd == info ? "info " : "files ";
        text += (event->mask & IN_CREATE) != 0        ? "create "
                : (event->mask & IN_CLOSE_WRITE) != 0 ? "written "
                                                      : "moved in ";
        events.push_back(text + event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    EXPECT_EQ(events, (Names{"info create x.txt.trashinfo", "info written x.txt.trashinfo",
                             "files moved in x.txt"}));
}

TEST_F(TrashHome, FailedRenameLeavesNoRecord) {
    // The file's folder may not be written to, so the rename fails after the record is made.
    tree.folder("user");
    if (geteuid() == 0) {
        ASSERT_EQ(chown(tree.path("user").c_str(), 65534, 65534), 0);
    }
    tree.file("locked/x.txt", "stays");
    tree.chmod("locked", 0555);
    const std::string home = tree.path("user/Trash");
    const std::string file = tree.path("locked/x.txt");
    const int status = runUnprivileged([&] {
        const TrashResult result = moveToTrash(file, {home, geteuid()});
        if (result.ok)
            return 1;
        return result.error.find("Permission denied") == std::string::npos ? 2 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readWholeFile(file), "stays");
    ASSERT_TRUE(exists(home + "/info")) << "the record was not even attempted";
    EXPECT_EQ(namesIn(home + "/info"), Names{});
    EXPECT_EQ(namesIn(home + "/files"), Names{});
}

TEST_F(TrashHome, FolderIsRefused) {
    tree.file("docs/inner/a.txt", "a");
    const TrashResult result = moveToTrash(tree.path("docs/inner"), where);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("It is a folder."), std::string::npos) << result.error;
    EXPECT_EQ(readWholeFile(tree.path("docs/inner/a.txt")), "a");
}

TEST_F(TrashHome, LinkedFolderOnTheWayIsResolvedInTheRecord) {
    tree.file("docs/x.txt", "x");
    tree.symlink(tree.path("docs"), "shortcut");
    const TrashResult result = moveToTrash(tree.path("shortcut/x.txt"), where);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(exists(tree.path("shortcut")));
    EXPECT_EQ(restoredPath(result.infoFile, ""), realFolder(tree.root()) + "/docs/x.txt");
}

TEST_F(TrashHome, SymbolicLinkGoesItselfAndItsTargetStays) {
    tree.file("docs/inner/a.txt", "a");
    tree.symlink(tree.path("docs/inner"), "docs/link");
    const TrashResult result = moveToTrash(tree.path("docs/link"), where);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(exists(tree.path("docs/link")));
    EXPECT_TRUE(S_ISLNK(lstatOf(trash("files/link")).st_mode));
    EXPECT_EQ(readWholeFile(tree.path("docs/inner/a.txt")), "a");
    EXPECT_EQ(restoredPath(result.infoFile, ""), realFolder(tree.root()) + "/docs/link");
}

class TrashNames : public testing::TestWithParam<const char*> {};

TEST_P(TrashNames, RecordedPathGivesBackTheNameByteForByte) {
    TempTree tree;
    const std::string name = GetParam();
    tree.file("docs/" + name, "content");
    const TrashResult result =
        moveToTrash(tree.path("docs/" + name), {tree.path("Trash"), geteuid()});
    ASSERT_TRUE(result.ok) << result.error;

    EXPECT_EQ(readWholeFile(tree.path("Trash/files/" + name)), "content");
    const Names lines = linesOf(readWholeFile(tree.path("Trash/info/" + name + ".trashinfo")));
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_EQ(lines[1].rfind("Path=", 0), 0u);
    EXPECT_TRUE(escapedAsUrl(lines[1].substr(5))) << lines[1];
    const std::string original = realFolder(tree.root()) + "/docs/" + name;
    EXPECT_EQ(decodeTrashPath(lines[1].substr(5)), original);
    EXPECT_EQ(restoredPath(result.infoFile, "/elsewhere"), original);
}

INSTANTIATE_TEST_SUITE_P(Trash, TrashNames,
                         testing::Values("with space.txt", "100%.txt", "%41.txt", "#hash",
                                         "\xff\xfe bytes", "line\nfeed", "tab\there",
                                         "\xc3\xa4 \xe2\x82\xac.txt", "a+b=c&d;e?f:g@h",
                                         "[Trash Info]", "Path=x"));

TEST(TrashNameLength, LongNameStillFitsItsRecord) {
    TempTree tree;
    const std::string name = std::string(NAME_MAX - 3, 'n') + ".gz";
    tree.file("docs/" + name, "long");
    const TrashLocations where{tree.path("Trash"), geteuid()};
    const TrashResult result = moveToTrash(tree.path("docs/" + name), where);
    ASSERT_TRUE(result.ok) << result.error;
    const Names files = namesIn(tree.path("Trash/files"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(namesIn(tree.path("Trash/info")), Names{files[0] + ".trashinfo"});
    EXPECT_EQ(restoredPath(result.infoFile, ""), realFolder(tree.root()) + "/docs/" + name);
}

TEST(TrashRecord, PathIsReadFromItsGroupWithAnyEscapes) {
    TempTree tree;
    tree.file("a.trashinfo", "[Other]\nPath=/wrong\n\n[Trash Info]\n"
                             "DeletionDate=2024-01-02T03:04:05\nPath=/a%20b/%c3%A4/\xc3\xb6%25\n");
    EXPECT_EQ(restoredPath(tree.path("a.trashinfo"), ""), "/a b/\xc3\xa4/\xc3\xb6%");
    tree.file("relative.trashinfo", "[Trash Info]\nPath=sub/x%0Ay\n");
    EXPECT_EQ(restoredPath(tree.path("relative.trashinfo"), "/media/disk/"),
              "/media/disk/sub/x\ny");
    tree.file("broken.trashinfo", "[Trash Info]\nPath=/a%2\n");
    EXPECT_EQ(restoredPath(tree.path("broken.trashinfo"), ""), std::nullopt);
    tree.file("bad-hex.trashinfo", "[Trash Info]\nPath=/a%G1\n");
    EXPECT_EQ(restoredPath(tree.path("bad-hex.trashinfo"), ""), std::nullopt);
    EXPECT_EQ(restoredPath(tree.path("missing.trashinfo"), ""), std::nullopt);
}

TEST(TrashRecord, EncodingKeepsOnlyUnreservedCharactersAndSlashes) {
    EXPECT_EQ(encodeTrashPath("/a-b_c.d~e/F9"), "/a-b_c.d~e/F9");
    EXPECT_EQ(encodeTrashPath("/x y%#?\n\xff"), "/x%20y%25%23%3F%0A%FF");
}

TEST(TrashLocationsForUser, FollowXdgDataHomeElseTheHomeFolder) {
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const std::string savedData = oldData != nullptr ? oldData : "";
    const std::string savedHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_DATA_HOME", "/data/someone", 1);
    EXPECT_EQ(TrashLocations::forUser().homeTrash, "/data/someone/Trash");
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(TrashLocations::forUser().homeTrash, "/home/someone/.local/share/Trash");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(TrashLocations::forUser().homeTrash, "/home/someone/.local/share/Trash");
    EXPECT_EQ(TrashLocations::forUser().uid, geteuid());
    setenv("HOME", savedHome.c_str(), 1);
    if (oldData != nullptr)
        setenv("XDG_DATA_HOME", savedData.c_str(), 1);
}

// Undoes a bind mount made by a test, whatever the test's outcome.
class MountScope {
public:
    MountScope(const std::string& source, const std::string& target) : m_target(target) {
        m_mounted = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (!m_mounted)
            m_error = std::string("bind mounts are not permitted here: ") + std::strerror(errno);
    }
    ~MountScope() {
        if (m_mounted)
            umount2(m_target.c_str(), MNT_DETACH);
    }
    MountScope(const MountScope&) = delete;
    MountScope& operator=(const MountScope&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }

private:
    std::string m_target;
    bool m_mounted = false;
    std::string m_error;
};

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(readWholeFile(path), content) << path;
}

// A file on a second file system, whose trash must be on that file system too.
class TrashOtherDisk : public testing::Test {
protected:
    void SetUp() override {
        if (!disk.mounted())
            GTEST_SKIP() << "a tmpfs cannot be mounted here: " << disk.error();
    }

    std::string top(const std::string& relative) const { return disk.path(relative); }

    // Trashes relative (on the disk), which must arrive in `trashRoot` (relative to the disk).
    void expectTrashedInto(const std::string& relative, const std::string& trashRoot) {
        writeFile(top(relative), "on the disk");
        const TrashResult result = moveToTrash(top(relative), where);
        ASSERT_TRUE(result.ok) << result.error;
        const std::string name = relative.substr(relative.find_last_of('/') + 1);
        EXPECT_FALSE(exists(top(relative)));
        EXPECT_EQ(result.trashedFile, top(trashRoot + "/files/" + name));
        EXPECT_EQ(readWholeFile(top(trashRoot + "/files/" + name)), "on the disk");
        EXPECT_EQ(result.infoFile, top(trashRoot + "/info/" + name + ".trashinfo"));
        const Names lines = linesOf(readWholeFile(result.infoFile));
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1], "Path=" + encodeTrashPath(relative));
        EXPECT_EQ(restoredPath(result.infoFile, top("")), top(relative));
        EXPECT_EQ(permissionsOf(top(trashRoot)), 0700u);
        EXPECT_EQ(lstatOf(top(trashRoot)).st_uid, geteuid());
        EXPECT_FALSE(exists(home)) << "the home trash was made";
    }

    // Trashing x.txt (made by the test, holding "stays") must fail with `why` in the message
    // and leave everything in place.
    void expectRefused(const std::string& why) {
        const Names before = disk.names();
        const ino_t inode = lstatOf(top("x.txt")).st_ino;
        const TrashResult result = moveToTrash(top("x.txt"), where);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(why), std::string::npos) << result.error;
        EXPECT_EQ(lstatOf(top("x.txt")).st_ino, inode);
        EXPECT_EQ(readWholeFile(top("x.txt")), "stays");
        EXPECT_EQ(disk.names(), before);
        EXPECT_FALSE(exists(home)) << "the home trash was made";
    }

    void makeFolder(const std::string& relative, unsigned mode) const {
        fs::create_directories(top(relative));
        ASSERT_EQ(chmod(top(relative).c_str(), mode), 0) << relative;
    }

    void makeLink(const std::string& target, const std::string& relative) const {
        ASSERT_EQ(symlink(target.c_str(), top(relative).c_str()), 0) << relative;
    }

    void giveAway(const std::string& relative) const {
        ASSERT_EQ(lchown(top(relative).c_str(), 65534, 65534), 0) << relative;
    }

    SmallDisk disk;
    TempTree tree;
    const std::string home = tree.path("data/Trash");
    const TrashLocations where{home, geteuid()};
    const std::string uid = std::to_string(geteuid());
};

TEST_F(TrashOtherDisk, TopFolderTrashOfTheUserWithRelativePaths) {
    expectTrashedInto("sub/b c.txt", ".Trash-" + uid);
    expectTrashedInto("top.txt", ".Trash-" + uid);
    for (const char* part : {"/files", "/info"})
        EXPECT_EQ(permissionsOf(top(".Trash-" + uid + part)), 0700u) << part;
}

TEST_F(TrashOtherDisk, SharedTrashWithStickyBitTakesAFolderPerUser) {
    makeFolder(".Trash", 01777);
    expectTrashedInto("sub/x.txt", ".Trash/" + uid);
    EXPECT_FALSE(exists(top(".Trash-" + uid)));
}

TEST_F(TrashOtherDisk, SharedTrashWithoutStickyBitIsPassedOver) {
    makeFolder(".Trash", 0777);
    expectTrashedInto("x.txt", ".Trash-" + uid);
    EXPECT_EQ(namesIn(top(".Trash")), Names{});
}

TEST_F(TrashOtherDisk, SharedTrashThatIsALinkIsPassedOver) {
    makeFolder(".shared", 01777);
    makeLink(".shared", ".Trash");
    expectTrashedInto("x.txt", ".Trash-" + uid);
    EXPECT_EQ(namesIn(top(".shared")), Names{});
}

TEST_F(TrashOtherDisk, UserFolderOfAnotherOwnerInTheSharedTrashIsPassedOver) {
    makeFolder(".Trash", 01777);
    makeFolder(".Trash/" + uid, 0777);
    giveAway(".Trash/" + uid);
    expectTrashedInto("x.txt", ".Trash-" + uid);
    EXPECT_EQ(namesIn(top(".Trash/" + uid)), Names{});
}

TEST_F(TrashOtherDisk, UserFolderLinkedOutOfTheSharedTrashIsPassedOver) {
    makeFolder(".Trash", 01777);
    makeFolder(".elsewhere", 0700);
    makeLink("../.elsewhere", ".Trash/" + uid);
    expectTrashedInto("x.txt", ".Trash-" + uid);
    EXPECT_EQ(namesIn(top(".elsewhere")), Names{});
}

TEST_F(TrashOtherDisk, TrashThatIsALinkIsRefused) {
    makeFolder(".elsewhere", 0700);
    makeLink(".elsewhere", ".Trash-" + uid);
    writeFile(top("x.txt"), "stays");
    expectRefused("No trash can take it on this file system (\"" + realFolder(top("")) +
                  "/.Trash-" + uid + "\" is a symbolic link).");
    EXPECT_EQ(namesIn(top(".elsewhere")), Names{});
}

TEST_F(TrashOtherDisk, TrashThatIsAFileIsRefused) {
    writeFile(top(".Trash-" + uid), "");
    writeFile(top("x.txt"), "stays");
    expectRefused("is not a folder).");
}

TEST_F(TrashOtherDisk, TrashOfAnotherUserIsRefused) {
    makeFolder(".Trash-" + uid, 0777);
    giveAway(".Trash-" + uid);
    writeFile(top("x.txt"), "stays");
    expectRefused("belongs to another user).");
    EXPECT_EQ(namesIn(top(".Trash-" + uid)), Names{});
}

TEST_F(TrashOtherDisk, ReadOnlyDiskIsRefused) {
    writeFile(top("x.txt"), "stays");
    ASSERT_EQ(mount(nullptr, top("").c_str(), nullptr,
                    MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr),
              0)
        << std::strerror(errno);
    expectRefused("Cannot create the trash folder \"" + realFolder(top("")) + "/.Trash-" + uid +
                  "\": Read-only file system.");
}

TEST_F(TrashOtherDisk, TopFolderTheUserMayNotWriteIsRefused) {
    // The user's own file in a folder open to all, on a disk whose top belongs to root.
    makeFolder("shared", 0777);
    writeFile(top("shared/x.txt"), "stays");
    if (geteuid() == 0) {
        ASSERT_EQ(chown(top("shared/x.txt").c_str(), 65534, 65534), 0);
    }
    const std::string file = top("shared/x.txt");
    const std::string trashFolder = realFolder(top("")) + "/.Trash-";
    const int status = runUnprivileged([&] {
        const TrashResult result = moveToTrash(file, {home, geteuid()});
        if (result.ok)
            return 1;
        const std::string why = "Cannot create the trash folder \"" + trashFolder +
                                std::to_string(geteuid()) + "\": Permission denied.";
        return result.error.find(why) == std::string::npos ? 2 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readWholeFile(file), "stays");
    EXPECT_EQ(disk.names(), Names{"shared"});
}

TEST_F(TrashHome, BindMountOfTheSameFileSystemHasItsOwnTrash) {
    // Same device as the home trash, yet rename(2) does not cross mounts.
    tree.file("source/x.txt", "x");
    tree.folder("bound");
    const MountScope bound(tree.path("source"), tree.path("bound"));
    if (!bound.mounted())
        GTEST_SKIP() << bound.error();
    const TrashResult result = moveToTrash(tree.path("bound/x.txt"), where);
    ASSERT_TRUE(result.ok) << result.error;
    const std::string own = tree.path("bound/.Trash-" + std::to_string(geteuid()));
    EXPECT_EQ(result.trashedFile, own + "/files/x.txt");
    EXPECT_EQ(readWholeFile(own + "/files/x.txt"), "x");
    EXPECT_EQ(linesOf(readWholeFile(result.infoFile)).at(1), "Path=x.txt");
    EXPECT_FALSE(exists(trash(""))) << "the home trash was made";
}

TEST_F(TrashHome, MountedFileStaysAndLeavesNoRecord) {
    tree.file("docs/real.txt", "real");
    tree.file("docs/mounted.txt", "");
    const std::string target = tree.path("docs/mounted.txt");
    const MountScope mounted(tree.path("docs/real.txt"), target);
    if (!mounted.mounted())
        GTEST_SKIP() << mounted.error();
    const TrashResult result = moveToTrash(target, where);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(readWholeFile(target), "real");
    ASSERT_TRUE(exists(trash("info"))) << "the record was not even attempted";
    EXPECT_EQ(namesIn(trash("info")), Names{});
    EXPECT_EQ(namesIn(trash("files")), Names{});
}

} // namespace
