#include "TempTree.h"
#include "platform/SpecialFolders.h"
#include "search/DigestCache.h"
#include "search/DigestStore.h"
#include "search/RunControl.h"
#include "search/SearchEngine.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using Names = std::set<std::string>;

// The files read (by read or pread) in some folders while it watches, through inotify; a search
// that takes every digest from the cache reads none.
class ReadWatch {
public:
    explicit ReadWatch(const std::vector<std::string>& folders)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const std::string& folder : folders)
            m_folders[inotify_add_watch(m_fd, folder.c_str(), IN_ACCESS)] = folder;
    }
    ~ReadWatch() { close(m_fd); }
    ReadWatch(const ReadWatch&) = delete;
    ReadWatch& operator=(const ReadWatch&) = delete;

    bool watching() const {
        return m_fd >= 0 && !m_folders.empty() && m_folders.begin()->first >= 0;
    }

    // The paths read since the watch began or since the last call.
    Names read() {
        Names names;
        alignas(inotify_event) char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t offset = 0; offset < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if (event->len > 0 && (event->mask & IN_ISDIR) == 0)
                    names.insert(m_folders[event->wd] + "/" + event->name);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }

private:
    int m_fd;
    std::map<int, std::string> m_folders;
};

// Waits until the clock file times come from has passed every change made so far: the cache
// keeps no digest of a file changed within the tick its search began in.
void letChangesSettle() {
    timespec fine{};
    clock_gettime(CLOCK_REALTIME, &fine);
    timespec coarse{};
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
    } while (coarse.tv_sec < fine.tv_sec ||
             (coarse.tv_sec == fine.tv_sec && coarse.tv_nsec <= fine.tv_nsec));
}

struct Outcome {
    std::vector<std::string> rows; // path, digest and size of each result row, in order
    std::string problem;
    Names read;
    int found = 0;
};

// Files of each kind the fast matcher treats apart: small copies and a same-size trap, empty
// files, files over 16 KiB that differ in their first 4 KiB or only after them, mid-sized files
// digested one after another, large files keyed by their content or compared as a pair, and a
// lone size.
void mixedTree(const TempTree& tree) {
    for (const char* name : {"a", "c", "sub/e"})
        tree.file(name, "first content");
    for (const char* name : {"b", "sub/d"})
        tree.file(name, "other content");
    tree.file("f", "third content");
    tree.file("empty1", "");
    tree.file("sub/empty2", "");
    const std::string big(20000, 'x');
    tree.file("p1", big);
    tree.file("sub/p2", big);
    tree.file("p3", big.substr(0, big.size() - 1) + "y");
    tree.file("p4", "z" + big.substr(1));
    const std::string mid(8192, 'm');
    tree.file("m1", mid);
    tree.file("sub/m2", mid);
    tree.file("m3", mid.substr(0, 100) + "n" + mid.substr(101));
    std::string large(1 << 20, 'L');
    large[5] = '1';
    tree.file("l1", large);
    tree.file("sub/l2", large);
    large.back() = '2';
    tree.file("l3", large);
    // Large files two of a size: compared as a pair, keyed only with the cache.
    tree.file("q1", large + "q");
    large[large.size() / 2] = 'Q';
    tree.file("sub/q2", large + "q");
    tree.file("r1", large + "rr");
    tree.file("sub/r2", large + "rr");
    tree.file("lone", "a size of its own");
}

class CacheTest : public ::testing::Test {
protected:
    // The user's own cache file, the one a damaged file may be replaced at.
    std::string cacheFile() const { return digestCacheFile(); }

    Outcome search(const std::string& speed, const std::string& hash, bool withCache = true,
                   const std::string& folder = {}) {
        ReadWatch watch({tree.root(), tree.path("sub")});
        SharedState state;
        RunControl control;
        SearchProgress progress;
        SearchEngine engine(state, control, progress);
        engine.run(folder.empty() ? tree.root() : folder, true,
                   SearchOptions{*speedFromName(speed),
                                 *hashFromName(hash),
                                 false,
                                 withCache ? cacheFile() : "",
                                 {}});
        engine.saveDigests(); // as the front ends do once the result is shown
        Outcome outcome;
        for (const TFiles& file : state.aDuplicatedFiles) {
            outcome.rows.push_back(file.fullName() + " " + file.fHash + " " +
                                   std::to_string(file.fSize));
        }
        outcome.problem = engine.cacheProblem();
        outcome.read = watch.read();
        outcome.found = state.iFilesFounded;
        return outcome;
    }

    // The result of a search without the cache, which one with it must equal.
    std::vector<std::string> reference(const std::string& speed, const std::string& hash) {
        return search(speed, hash, false).rows;
    }

    TempTree tree;

private:
    TempTree m_scratch;
    EnvScope m_cacheHome{"XDG_CACHE_HOME", m_scratch.path("cache")};
};

class CacheAtEachSpeed
    : public CacheTest,
      public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {
protected:
    std::string speed() const { return std::get<0>(GetParam()); }
    std::string hash() const { return std::get<1>(GetParam()); }
};

TEST_P(CacheAtEachSpeed, HitGivesTheResultOfAMissWithoutReadingAnyFile) {
    mixedTree(tree);
    const std::vector<std::string> expected = reference(speed(), hash());
    ASSERT_EQ(expected.size(), 15u);
    letChangesSettle();

    const Outcome first = search(speed(), hash());
    EXPECT_EQ(first.rows, expected);
    EXPECT_EQ(first.problem, "");
    EXPECT_TRUE(first.read.contains(tree.path("sub/l2"))); // the watch sees reads
    const Outcome second = search(speed(), hash());
    EXPECT_EQ(second.rows, expected);
    EXPECT_EQ(second.problem, "");
    EXPECT_EQ(second.read, Names{});
}

TEST_P(CacheAtEachSpeed, FileChangedInPlaceWithItsTimeRestoredIsReadAgain) {
    tree.file("a", "first content");
    tree.file("b", "first content");
    tree.file("c", "other content");
    letChangesSettle();
    search(speed(), hash());
    struct stat before {};
    ASSERT_EQ(stat(tree.path("a").c_str(), &before), 0);
    {
        // Same size, same inode; only the change time tells.
        std::fstream out(tree.path("a"), std::ios::in | std::ios::out | std::ios::binary);
        out << "other";
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, tree.path("a").c_str(), times, 0), 0);
    struct stat after {};
    ASSERT_EQ(stat(tree.path("a").c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    letChangesSettle();

    const Outcome changed = search(speed(), hash());
    EXPECT_EQ(changed.rows, reference(speed(), hash()));
    EXPECT_EQ(changed.rows.size(), 2u);
    EXPECT_NE(changed.rows[0].find(tree.path("c")), std::string::npos);
    EXPECT_TRUE(changed.read.contains(tree.path("a")));
    EXPECT_FALSE(changed.read.contains(tree.path("b")));
}

INSTANTIATE_TEST_SUITE_P(SpeedsAndDigests, CacheAtEachSpeed,
                         ::testing::Combine(::testing::Values("fast", "normal"),
                                            ::testing::Values("sha1", "md5")));

// A change to the file at "a" after a search that filled the cache, with its modification time
// set back where it changes that.
struct Change {
    const char* name;
    std::function<void(const TempTree&)> make;
};

class ChangedFile : public CacheTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangedFile, IsReadAgain) {
    tree.file("a", "first content");
    tree.file("b", "first content");
    tree.file("c", "other content");
    tree.file("d", "first content!");
    letChangesSettle();
    search("fast", "sha1");
    GetParam().make(tree);
    letChangesSettle();
    const Outcome changed = search("fast", "sha1");
    EXPECT_EQ(changed.rows, reference("fast", "sha1"));
    // The new name, or the old one.
    EXPECT_TRUE(changed.read.contains(tree.path("z")) || changed.read.contains(tree.path("a")));
    EXPECT_FALSE(changed.read.contains(tree.path("b")));
}

void keepModificationTime(const std::string& path, const std::function<void()>& change) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    change();
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangedFile,
    ::testing::Values(
        Change{"ReplacedByAnotherFile",
               [](const TempTree& tree) {
                   keepModificationTime(tree.path("a"), [&] {
                       tree.file("new", "other content");
                       ASSERT_EQ(rename(tree.path("new").c_str(), tree.path("a").c_str()), 0);
                   });
               }},
        Change{"Resized",
               [](const TempTree& tree) {
                   keepModificationTime(tree.path("a"), [&] {
                       std::ofstream(tree.path("a"), std::ios::app) << "!";
                   });
               }},
        Change{"Renamed",
               [](const TempTree& tree) {
                   ASSERT_EQ(rename(tree.path("a").c_str(), tree.path("z").c_str()), 0);
               }}),
    [](const ::testing::TestParamInfo<Change>& change) { return std::string(change.param.name); });

// Contents of one size that differ in their first bytes, in their last byte, or not at all.
std::string variant(std::size_t size, unsigned kind) {
    std::string content(size, static_cast<char>('a' + kind % 3));
    if (kind >= 3 && size > 0)
        content.back() = 'Z';
    return content;
}

class CacheAgainstSearchWithout : public CacheTest,
                                  public ::testing::WithParamInterface<const char*> {};

TEST_P(CacheAgainstSearchWithout, RandomChangesBetweenSearches) {
    // Sizes on each path of the fast matcher: read in one go, batched, looked at first, keyed.
    const std::vector<std::size_t> sizes{13, 8192, 20000, (1 << 20) + 3};
    std::mt19937 random(20240607);
    auto pick = [&](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    std::vector<std::string> names;
    auto add = [&](const std::string& name) {
        tree.file(name, variant(sizes[pick(sizes.size())], static_cast<unsigned>(pick(6))));
        names.push_back(name);
    };
    // More files than the cache writes in one statement.
    for (int i = 0; i < 80; ++i)
        add((i % 3 == 0 ? "sub/f" : "f") + std::to_string(i));
    int created = 80;
    for (int round = 0; round < 6; ++round) {
        letChangesSettle();
        const Outcome cached = search(GetParam(), "sha1");
        ASSERT_EQ(cached.rows, reference(GetParam(), "sha1")) << "round " << round;
        ASSERT_EQ(cached.problem, "");
        if (round == 0) { // what the first search wrote serves a second one in full
            ASSERT_EQ(search(GetParam(), "sha1").read, Names{});
        }
        for (int change = 0; change < 4; ++change) {
            const std::size_t k = pick(names.size());
            const std::string path = tree.path(names[k]);
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            const auto size = static_cast<std::size_t>(st.st_size);
            const timespec times[2] = {st.st_atim, st.st_mtim};
            switch (pick(5)) {
            case 0: { // new bytes in place, the time set back
                std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
                out << variant(size, static_cast<unsigned>(pick(6)));
                out.close();
                ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
                break;
            }
            case 1: // another file put in its place, the time set back
                tree.file("replacement", variant(size, static_cast<unsigned>(pick(6))));
                ASSERT_EQ(rename(tree.path("replacement").c_str(), path.c_str()), 0);
                ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
                break;
            case 2:
                ASSERT_EQ(unlink(path.c_str()), 0);
                names.erase(names.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            case 3:
                add("sub/new" + std::to_string(created++));
                break;
            default: {
                const std::string renamed = "renamed" + std::to_string(created++);
                ASSERT_EQ(rename(path.c_str(), tree.path(renamed).c_str()), 0);
                names[k] = renamed;
                break;
            }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, CacheAgainstSearchWithout, ::testing::Values("fast", "normal"));

TEST_F(CacheTest, DigestsNotSavedByTheFrontEndAreSavedByTheNextRunOrTheEngineEnd) {
    mixedTree(tree);
    letChangesSettle();
    SharedState state;
    RunControl control;
    SearchProgress progress;
    const SearchOptions options{SearchSpeed::Fast, HashKind::Sha1, false, cacheFile(), {}};
    {
        SearchEngine engine(state, control, progress);
        engine.run(tree.root(), true, options);
        const std::vector<std::string> first = search("fast", "sha1", false).rows;
        engine.run(tree.root(), true, options); // saves the first run's digests first
        ReadWatch watch({tree.root(), tree.path("sub")});
        SharedState otherState;
        SearchEngine other(otherState, control, progress);
        other.run(tree.root(), true, options);
        EXPECT_EQ(watch.read(), Names{});
        EXPECT_EQ(otherState.aDuplicatedFiles.size(), first.size());
    }
    EXPECT_EQ(search("fast", "sha1").read, Names{});
}

TEST_F(CacheTest, Md5AndSha1RecordsDoNotMix) {
    mixedTree(tree);
    letChangesSettle();
    EXPECT_EQ(search("fast", "md5").rows, reference("fast", "md5"));
    const Outcome sha1 = search("fast", "sha1");
    EXPECT_EQ(sha1.rows, reference("fast", "sha1"));
    EXPECT_TRUE(sha1.read.contains(tree.path("a")));
    // Each kind keeps its own digest of an unchanged file.
    const Outcome md5Again = search("fast", "md5");
    EXPECT_EQ(md5Again.rows, reference("fast", "md5"));
    EXPECT_EQ(md5Again.read, Names{});
    EXPECT_EQ(search("fast", "sha1").read, Names{});
}

TEST_F(CacheTest, AnySpellingOfTheFolderFindsItsRecords) {
    mixedTree(tree);
    TempTree links;
    links.symlink(tree.root(), "linked");
    letChangesSettle();
    search("fast", "sha1");
    const Outcome throughLink = search("fast", "sha1", true, links.path("linked") + "/");
    EXPECT_EQ(throughLink.rows.size(), 15u);
    EXPECT_EQ(throughLink.read, Names{});
}

TEST_F(CacheTest, SearchWithoutTheCacheMakesNoFile) {
    mixedTree(tree);
    search("fast", "sha1", false);
    search("normal", "sha1", false);
    EXPECT_FALSE(std::ifstream(cacheFile()).good());
    search("fast", "sha1");
    EXPECT_TRUE(std::ifstream(cacheFile()).good());
}

void writeBytes(const std::string& path, long offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file << bytes;
}

TEST_F(CacheTest, FileThatIsNoCacheIsReplaced) {
    mixedTree(tree);
    letChangesSettle();
    const std::vector<std::string> expected = reference("fast", "sha1");
    search("fast", "sha1");
    std::ofstream(cacheFile(), std::ios::trunc) << "these are not the digests you are looking for";
    const Outcome replaced = search("fast", "sha1");
    EXPECT_EQ(replaced.rows, expected);
    EXPECT_NE(replaced.problem.find("replaced"), std::string::npos) << replaced.problem;
    EXPECT_FALSE(replaced.read.empty());
    const Outcome next = search("fast", "sha1");
    EXPECT_EQ(next.rows, expected);
    EXPECT_EQ(next.problem, "");
    EXPECT_EQ(next.read, Names{});
}

TEST_F(CacheTest, NamedFileThatIsNoCacheIsLeftAsItIs) {
    mixedTree(tree);
    letChangesSettle();
    const std::vector<std::string> expected = reference("fast", "sha1");
    TempTree scratch;
    // A file named by mistake, and another program's database.
    const std::string text = scratch.path("notes.txt");
    std::ofstream(text) << "not digests";
    const std::string other = scratch.path("other.sqlite");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1)", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    for (const std::string& file : {text, other}) {
        const std::string before = readWholeFile(file);
        SharedState state;
        RunControl control;
        SearchProgress progress;
        SearchEngine engine(state, control, progress);
        engine.run(tree.root(), true,
                   SearchOptions{SearchSpeed::Fast, HashKind::Sha1, false, file, {}});
        engine.saveDigests();
        std::vector<std::string> rows;
        for (const TFiles& found : state.aDuplicatedFiles)
            rows.push_back(found.fullName() + " " + found.fHash + " " +
                           std::to_string(found.fSize));
        EXPECT_EQ(rows, expected);
        EXPECT_NE(engine.cacheProblem().find("left as it is"), std::string::npos)
            << engine.cacheProblem();
        EXPECT_EQ(readWholeFile(file), before) << file;
    }
}

TEST_F(CacheTest, FifoOrFolderAtTheCachePathIsPassedOver) {
    mixedTree(tree);
    letChangesSettle();
    const std::vector<std::string> expected = reference("fast", "sha1");
    for (const auto& make :
         {std::function<int(const char*)>([](const char* path) { return mkfifo(path, 0600); }),
          std::function<int(const char*)>([](const char* path) { return mkdir(path, 0700); })}) {
        std::remove(cacheFile().c_str());
        rmdir(cacheFile().c_str());
        const std::string folder = cacheFile().substr(0, cacheFile().rfind('/'));
        ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
        ASSERT_EQ(make(cacheFile().c_str()), 0);
        const Outcome outcome = search("fast", "sha1");
        EXPECT_EQ(outcome.rows, expected);
        EXPECT_NE(outcome.problem.find("not a regular file"), std::string::npos) << outcome.problem;
    }
}

TEST_F(CacheTest, CacheDamagedInsideIsReplaced) {
    mixedTree(tree);
    letChangesSettle();
    const std::vector<std::string> expected = reference("fast", "sha1");
    search("fast", "sha1");
    struct stat st {};
    ASSERT_EQ(stat(cacheFile().c_str(), &st), 0);
    ASSERT_GE(st.st_size, 3 * 4096);
    // The header stays; every page after the first is overwritten.
    writeBytes(cacheFile(), 4096, std::string(static_cast<std::size_t>(st.st_size) - 4096, '\x5a'));
    const Outcome damaged = search("fast", "sha1");
    EXPECT_EQ(damaged.rows, expected);
    EXPECT_NE(damaged.problem.find("replaced"), std::string::npos) << damaged.problem;
    const Outcome next = search("fast", "sha1");
    EXPECT_EQ(next.rows, expected);
    EXPECT_EQ(next.read, Names{});
}

TEST_F(CacheTest, CacheLockedByAnotherProgramIsPassedOverAndKept) {
    mixedTree(tree);
    letChangesSettle();
    const std::vector<std::string> expected = reference("fast", "sha1");
    search("fast", "sha1");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(cacheFile().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const Outcome locked = search("fast", "sha1");
    EXPECT_EQ(locked.rows, expected);
    EXPECT_NE(locked.problem.find("in use by another program"), std::string::npos)
        << locked.problem;
    EXPECT_TRUE(locked.read.contains(tree.path("a")));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    // Its records were neither lost nor replaced.
    const Outcome unlocked = search("fast", "sha1");
    EXPECT_EQ(unlocked.rows, expected);
    EXPECT_EQ(unlocked.problem, "");
    EXPECT_EQ(unlocked.read, Names{});
}

TEST_F(CacheTest, CacheThatCannotBeMadeLeavesTheSearchAsItIs) {
    mixedTree(tree);
    const std::vector<std::string> expected = reference("normal", "md5");
    TempTree scratch;
    scratch.file("not-a-folder", "x");
    SharedState state;
    RunControl control;
    SearchProgress progress;
    SearchEngine engine(state, control, progress);
    engine.run(tree.root(), true,
               SearchOptions{SearchSpeed::Normal,
                             HashKind::Md5,
                             false,
                             scratch.path("not-a-folder/digests.sqlite"),
                             {}});
    std::vector<std::string> rows;
    for (const TFiles& file : state.aDuplicatedFiles)
        rows.push_back(file.fullName() + " " + file.fHash + " " + std::to_string(file.fSize));
    EXPECT_EQ(rows, expected);
    EXPECT_NE(engine.cacheProblem().find("this search goes without it"), std::string::npos)
        << engine.cacheProblem();
}

TEST_F(CacheTest, MissingCacheIsMadeAgain) {
    mixedTree(tree);
    letChangesSettle();
    search("fast", "sha1");
    ASSERT_EQ(unlink(cacheFile().c_str()), 0);
    const Outcome again = search("fast", "sha1");
    EXPECT_EQ(again.rows, reference("fast", "sha1"));
    EXPECT_EQ(again.problem, "");
    EXPECT_FALSE(again.read.empty());
    EXPECT_EQ(search("fast", "sha1").read, Names{});
}

TEST_F(CacheTest, ReadOnlyCacheIsReadButNotWritten) {
    // Permissions bind only a user other than root.
    tree.chmod("", 0777);
    const std::string root = tree.root();
    TempTree cacheFolder;
    cacheFolder.chmod("", 0777);
    const std::string cache = cacheFolder.path("digests.sqlite");
    const int status = runUnprivileged([&] {
        const TempTree& files = tree;
        files.file("a", "first content");
        files.file("b", "first content");
        letChangesSettle();
        auto run = [&](bool withCache) {
            ReadWatch watch({root});
            SharedState state;
            RunControl control;
            SearchProgress progress;
            SearchEngine engine(state, control, progress);
            engine.run(root, true,
                       SearchOptions{
                           SearchSpeed::Fast, HashKind::Sha1, false, withCache ? cache : "", {}});
            engine.saveDigests();
            std::vector<std::string> rows;
            for (const TFiles& file : state.aDuplicatedFiles)
                rows.push_back(file.fullName() + " " + file.fHash);
            return std::make_tuple(rows, engine.cacheProblem(), watch.read());
        };
        run(true);
        if (::chmod(cache.c_str(), 0444) != 0)
            return 10;
        const std::string kept = readWholeFile(cache);
        files.file("c", "other content");
        files.file("d", "other content");
        letChangesSettle();
        const auto [rows, problem, read] = run(true);
        if (rows != std::get<0>(run(false)) || rows.size() != 4)
            return 11;
        if (problem.find("read-only") == std::string::npos)
            return 12;
        // Digests it holds are still taken; new ones are not written.
        if (read.contains(root + "/a") || !read.contains(root + "/c"))
            return 13;
        if (readWholeFile(cache) != kept)
            return 14;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// Runs SQL on the cache file from outside.
void execute(const std::string& cache, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(cache.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

std::vector<std::string> keptPaths(const std::string& cache) {
    std::vector<std::string> paths;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(cache.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT CAST(folders.path || files.name AS TEXT) FROM files JOIN folders "
                       "ON folders.id = files.folder ORDER BY 1",
                       -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW)
        paths.push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return paths;
}

std::int64_t today() {
    return static_cast<std::int64_t>(std::time(nullptr)) / 86400;
}

TEST_F(CacheTest, RecordsUnusedForNinetyDaysAreDropped) {
    tree.file("old/a", "first content");
    tree.file("old/b", "first content");
    tree.file("older/a", "other content");
    tree.file("older/b", "other content");
    tree.file("now/a", "third content");
    tree.file("now/b", "third content");
    letChangesSettle();
    search("fast", "sha1");
    ASSERT_EQ(keptPaths(cacheFile()).size(), 6u);
    const std::string r = tree.root();
    auto under = [](const std::string& folder) {
        return " WHERE folder = (SELECT id FROM folders WHERE CAST(path AS TEXT) = '" + folder +
               "/')";
    };
    execute(cacheFile(),
            "UPDATE files SET seen = " + std::to_string(today() - 90) + under(r + "/old") +
                ";UPDATE files SET seen = " + std::to_string(today() - 91) + under(r + "/older") +
                ";UPDATE meta SET value = value - 1 WHERE key = 'cleanup'");
    // A search of another folder cleans up on a new day.
    search("fast", "sha1", true, tree.path("now"));
    EXPECT_EQ(keptPaths(cacheFile()),
              (std::vector<std::string>{r + "/now/a", r + "/now/b", r + "/old/a", r + "/old/b"}));
}

TEST_F(CacheTest, SearchOfUsedRecordsMarksThemSeenToday) {
    tree.file("a", "first content");
    tree.file("b", "first content");
    letChangesSettle();
    search("fast", "sha1");
    execute(cacheFile(), "UPDATE files SET seen = " + std::to_string(today() - 91));
    search("fast", "sha1");
    execute(cacheFile(), "UPDATE meta SET value = value - 1 WHERE key = 'cleanup'");
    TempTree other;
    search("fast", "sha1", true, other.root());
    EXPECT_EQ(keptPaths(cacheFile()).size(), 2u);
}

// A record made directly, of a file that is not there: the cache compares what it is given.
TFiles madeUpRecord(const std::string& name) {
    TFiles file;
    file.fName = name;
    file.fPath = FolderText("/searched/sub/");
    file.fSize = 1234;
    file.fInode = 99;
    file.fModifiedNs = 1000000000123456789;
    file.fChangedNs = 1000000000987654321;
    file.fHash = "0123456789abcdef0123456789abcdef01234567";
    file.fFingerprint.bytes[3] = 7;
    return file;
}

struct Mismatch {
    const char* name;
    std::function<void(TFiles&)> change;
};

class RecordField : public ::testing::TestWithParam<Mismatch> {};

TEST_P(RecordField, MustMatchForTheRecordToServe) {
    TempTree scratch;
    const std::string cache = scratch.path("digests.sqlite");
    const FileTable kept{madeUpRecord("name")};
    {
        DigestCache writing(cache, HashKind::Sha1, {{"/searched/", "/real/"}});
        writing.remember(kept, 0);
        writing.save(kept);
        ASSERT_EQ(writing.problem(), "");
    }
    DigestCache reading(cache, HashKind::Sha1, {{"/searched/", "/real/"}});
    FileTable found{madeUpRecord("name"), madeUpRecord("name")};
    TFiles& same = found[0];
    same.fHash.clear();
    same.fFingerprint = {};
    ASSERT_TRUE(reading.recall(found, 0));
    EXPECT_EQ(same.fHash, kept[0].fHash);
    EXPECT_EQ(same.fFingerprint, kept[0].fFingerprint);

    TFiles& other = found[1];
    other.fHash.clear();
    GetParam().change(other);
    EXPECT_FALSE(reading.recall(found, 1));
    EXPECT_EQ(other.fHash, "");
    EXPECT_EQ(keptPaths(cache), std::vector<std::string>{"/real/sub/name"});
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RecordField,
    ::testing::Values(Mismatch{"Path", [](TFiles& f) { f.fName = "other"; }},
                      Mismatch{"Size", [](TFiles& f) { f.fSize += 1; }},
                      Mismatch{"Inode", [](TFiles& f) { f.fInode += 1; }},
                      Mismatch{"ModificationTime", [](TFiles& f) { f.fModifiedNs += 1; }},
                      Mismatch{"ChangeTime", [](TFiles& f) { f.fChangedNs += 1; }}),
    [](const ::testing::TestParamInfo<Mismatch>& field) { return std::string(field.param.name); });

TEST(DigestCache, FileChangedAfterTheSearchBeganIsNotKept) {
    TempTree scratch;
    const std::string cache = scratch.path("digests.sqlite");
    FileTable files{madeUpRecord("before"), madeUpRecord("later")};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    files[1].fChangedNs = (now.tv_sec + 1) * 1000000000LL;
    {
        DigestCache writing(cache, HashKind::Sha1, {{"/searched/", "/searched/"}});
        writing.remember(files, 0);
        writing.remember(files, 1);
        writing.save(files);
    }
    EXPECT_EQ(keptPaths(cache), std::vector<std::string>{"/searched/sub/before"});
}

TEST(DigestCache, CacheDeletedWhileTheSearchRanIsNamedSo) {
    TempTree scratch;
    const std::string cache = scratch.path("digests.sqlite");
    const FileTable files{madeUpRecord("a")};
    DigestCache writing(cache, HashKind::Sha1, {{"/searched/", "/searched/"}});
    writing.remember(files, 0);
    ASSERT_EQ(unlink(cache.c_str()), 0);
    writing.save(files);
    EXPECT_NE(writing.problem().find("was deleted or moved while the search ran"),
              std::string::npos)
        << writing.problem();
}

// A file system that keeps whole seconds (ext3, ext4 with small inodes, FAT) gives a file
// rewritten within the second it was read the times it had; such a file is kept only once its
// times are two seconds old, and one of finer times once they are a tick of their own old.
TEST(DigestCache, FileOfCoarseTimesIsKeptOnlyWhenItsTimesAreOlderThanTheirTick) {
    TempTree scratch;
    const std::string cache = scratch.path("digests.sqlite");
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const std::int64_t second = 1000000000LL;
    const std::int64_t lastSecond = now.tv_sec * second; // at most a second ago
    struct Times {
        const char* name;
        std::int64_t modified;
        std::int64_t changed;
    };
    FileTable files;
    for (const Times& times : {
             Times{"whole-second-now", lastSecond, lastSecond},
             Times{"whole-second-1s-ago", lastSecond - second, lastSecond - second},
             Times{"whole-second-3s-ago", lastSecond - 3 * second, lastSecond - 3 * second},
             Times{"modified-in-whole-seconds", lastSecond - second, lastSecond - 5 * second + 7},
             Times{"hundredths-50ms-ago", lastSecond - 50000000, lastSecond - 50000000},
             Times{"hundredths-1s-ago", lastSecond - 990000000, lastSecond - 990000000},
             Times{"nanoseconds-just-before", lastSecond - 123457, lastSecond - 123457},
         }) {
        files.push_back(madeUpRecord(times.name));
        files.back().fModifiedNs = times.modified;
        files.back().fChangedNs = times.changed;
    }
    {
        DigestCache writing(cache, HashKind::Sha1, {{"/searched/", "/searched/"}});
        for (std::size_t index = 0; index < files.size(); ++index)
            writing.remember(files, index);
        writing.save(files);
    }
    EXPECT_EQ(keptPaths(cache), (std::vector<std::string>{"/searched/sub/hundredths-1s-ago",
                                                          "/searched/sub/hundredths-50ms-ago",
                                                          "/searched/sub/nanoseconds-just-before",
                                                          "/searched/sub/whole-second-3s-ago"}));
}

TEST(DigestCache, BeyondItsLimitTheRecordsUsedLongestAgoGo) {
    TempTree scratch;
    const std::string cache = scratch.path("digests.sqlite");
    {
        DigestCache writing(cache, HashKind::Md5, {{"/searched/", "/searched/"}});
        FileTable files;
        for (const char* name : {"a", "b", "c", "d", "e"}) {
            files.push_back(madeUpRecord(name));
            files.back().fHash = "0123456789abcdef0123456789abcdef";
            writing.remember(files, files.size() - 1);
        }
        writing.save(files);
    }
    execute(cache, "UPDATE files SET seen = seen - 3 WHERE CAST(name AS TEXT) = 'c';"
                   "UPDATE files SET seen = seen - 2 WHERE CAST(name AS TEXT) = 'a';"
                   "UPDATE files SET seen = seen - 1 WHERE CAST(name AS TEXT) = 'e';"
                   "UPDATE meta SET value = value - 1");
    DigestCache(cache, HashKind::Md5, {{"/searched/", "/searched/"}}, DigestCacheLimits{90, 3})
        .save(FileTable{});
    EXPECT_EQ(keptPaths(cache),
              (std::vector<std::string>{"/searched/sub/b", "/searched/sub/d", "/searched/sub/e"}));
}

// What lies at the store's path before it opens, and what the opening says of it.
struct AtThePath {
    const char* name;
    std::function<void(const TempTree&, const std::string&)> make;
    StoreStatus::Fault fault;
};

class StoreOpening : public ::testing::TestWithParam<AtThePath> {};

TEST_P(StoreOpening, SaysWhatItFound) {
    TempTree scratch;
    GetParam().make(scratch, "digests.sqlite");
    DigestStore store(scratch.path("digests.sqlite"), HashKind::Sha1);
    const StoreStatus status = store.open();
    EXPECT_EQ(status.fault, GetParam().fault) << status.code << " " << status.message;
    EXPECT_EQ(store.isOpen(), status.ok());
}

INSTANTIATE_TEST_SUITE_P(
    Files, StoreOpening,
    ::testing::Values(
        AtThePath{"Nothing", [](const TempTree&, const std::string&) {}, StoreStatus::Fault::None},
        AtThePath{"Text",
                  [](const TempTree& tree, const std::string& name) {
                      tree.file(name, "these are not the digests you are looking for");
                  },
                  StoreStatus::Fault::Damaged},
        AtThePath{"AnotherProgramsDatabase",
                  [](const TempTree& tree, const std::string& name) {
                      execute(tree.path(name), "CREATE TABLE t(x); INSERT INTO t VALUES(1)");
                  },
                  StoreStatus::Fault::Damaged},
        AtThePath{"CacheOfALaterVersion",
                  [](const TempTree& tree, const std::string& name) {
                      execute(tree.path(name), "PRAGMA user_version = 2");
                  },
                  StoreStatus::Fault::Damaged},
        AtThePath{"Fifo", [](const TempTree& tree, const std::string& name) { tree.fifo(name); },
                  StoreStatus::Fault::NotAFile},
        AtThePath{"Folder",
                  [](const TempTree& tree, const std::string& name) { tree.folder(name); },
                  StoreStatus::Fault::NotAFile}),
    [](const ::testing::TestParamInfo<AtThePath>& at) { return std::string(at.param.name); });

} // namespace

namespace {

// exFAT and FAT give a file the change time of its modification time, so a file rewritten at
// its size with its time put back would keep its old digest: such files keep none.
TEST_F(CacheTest, FilesOnFatOrFuseFileSystemsKeepNoDigests) {
    LoopDisk disk(LoopDisk::Kind::ExFat);
    if (!disk.mounted())
        GTEST_SKIP() << "no exFAT disk: " << disk.error();
    const timespec past[2] = {{1577836800, 0}, {1577836800, 0}};
    auto write = [&](const char* name, const char* content) {
        std::ofstream(disk.path(name), std::ios::binary | std::ios::trunc) << content;
        ASSERT_EQ(utimensat(AT_FDCWD, disk.path(name).c_str(), past, 0), 0);
    };
    write("a", "AAAA");
    write("b", "AAAA");
    EXPECT_EQ(search("fast", "sha1", true, disk.path("")).rows.size(), 2u);
    write("a", "BBBB");
    EXPECT_EQ(search("fast", "sha1", true, disk.path("")).rows, std::vector<std::string>{});
    EXPECT_EQ(keptPaths(cacheFile()), std::vector<std::string>{});
}

} // namespace
