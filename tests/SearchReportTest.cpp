#include "TempTree.h"
#include "operations/FileTransfer.h"
#include "operations/SearchReport.h"
#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Lines = std::vector<std::string>;

const std::string kDigest = "0123456789abcdef0123456789abcdef";

ResultRow row(const std::string& caption, const std::string& name, const std::string& size,
              const std::string& modified, const std::string& folder) {
    return ResultRow{caption, name, size, modified, folder, "0", kDigest};
}

TEST(SearchReport, WorkedExampleByteForByte) {
    ReportInput input;
    input.dateText = "2011-12-05";
    input.timeText = "14:30:12";
    input.searchPath = "C:\\";
    input.summaryLine =
        "Search results: 2 duplicated files found (of 57 files). Total time: 00:00:03.";
    input.rows = {row("1", "a.txt", "3 bytes", "2011-12-01", "C:\\data\\"),
                  row("1", "copy of a.txt", "3 bytes", "2011-12-02", "C:\\backup\\old\\")};

    EXPECT_EQ(proposedReportName(input.dateText, input.timeText),
              "Twinscope_SearchResult_20111205143012");
    const std::string expected =
        "Twinscope " TWINSCOPE_VERSION_TEXT " (1892)\r\n"
        "Date: 2011-12-05, Time: 14:30:12\r\n"
        "\r\n"
        "Search path: C:\\\r\n"
        "Search results: 2 duplicated files found (of 57 files). Total time: 00:00:03.\r\n"
        "\r\n"
        "#   Name            Size      Hash                               Modified     Path"
        "            \r\n"
        "1   a.txt           3 bytes   " +
        kDigest +
        "   2011-12-01   C:\\data\\        \r\n"
        "1   copy of a.txt   3 bytes   " +
        kDigest +
        "   2011-12-02   C:\\backup\\old\\  \r\n"
        "\r\n"
        "EOF\r\n";
    Lines lines = buildReportLines(input);
    EXPECT_EQ(encodeReport(lines), expected);
    EXPECT_EQ(lines[7].size(), 94u);
    EXPECT_EQ(lines[8].size(), 94u);
}

TEST(SearchReport, EmptyListWritesTheHeaderWordsUnpadded) {
    ReportInput input{"d", "t", "/x/", "Search results: 0 duplicated files found.", {}};
    EXPECT_EQ(buildReportLines(input),
              (Lines{"Twinscope " TWINSCOPE_VERSION_TEXT " (1892)", "Date: d, Time: t", "",
                     "Search path: /x/", "Search results: 0 duplicated files found.", "",
                     "# Name Size Hash Modified Path", "", "EOF"}));
}

TEST(SearchReport, HeaderWordLongerThanItsColumnIsWrittenUnpadded) {
    ReportInput input;
    input.rows = {row("1", "a", "1 bytes", "2011-12-01", "/folder/"),
                  row("1", "b", "1 bytes", "2011-12-01", "/folder/")};
    Lines lines = buildReportLines(input);
    EXPECT_EQ(lines[6].substr(0, 9), "#   Name ");
    EXPECT_EQ(lines[7].substr(0, 8), "1   a   ");
    EXPECT_EQ(lines[6].size(), lines[7].size() + 1);
}

TEST(SearchReport, WidthsCountCharactersNotBytes) {
    ReportInput input;
    input.rows = {row("1", "\xC3\xA9t\xC3\xA9.txt", "1 bytes", "d", "/f/"),
                  row("1", "abcdefg", "1 bytes", "d", "/f/")};
    Lines lines = buildReportLines(input, "UTF-8");
    // "été.txt" is 7 characters like "abcdefg": both padded to 9.
    EXPECT_EQ(lines[7].substr(4, 11), "\xC3\xA9t\xC3\xA9.txt  ");
    EXPECT_EQ(lines[8].substr(4, 9), "abcdefg  ");
}

// The report as written, split at its line ends.
Lines writtenLines(const std::string& bytes) {
    Lines lines;
    for (std::size_t start = 0; start < bytes.size();) {
        std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

struct LocaleCase {
    const char* charset;
    // Texts the C library writes in that set.
    std::string date;
    std::string time;
    std::string modified;
};

void PrintTo(const LocaleCase& locale, std::ostream* out) {
    *out << locale.charset;
}

class ReportCharsetTest : public testing::TestWithParam<LocaleCase> {};

TEST_P(ReportCharsetTest, TableLinesHaveOneLengthAndLocalTextsStayAsTheyAre) {
    const LocaleCase& locale = GetParam();
    ReportInput input;
    input.dateText = locale.date;
    input.timeText = locale.time;
    input.searchPath = "/home/u/";
    input.summaryLine = "s";
    // "€" is "EUR" in ISO-8859-1, an emoji one "?" outside UTF-8, "日本" is "??" in Latin sets.
    input.rows = {row("1", "r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80.txt", "3 bytes",
                      locale.modified, "/home/u/\xE6\x97\xA5\xE6\x9C\xAC/"),
                  row("1", "plain.txt", "3 bytes", locale.modified, "/home/u/folder/"),
                  row("2", "\xE2\x80\xA6 and \xC5\x93uvre.txt", "12 bytes", "12/01/26", "/x/")};

    const Lines lines = writtenLines(encodeReport(buildReportLines(input, locale.charset)));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[1], "Date: " + locale.date + ", Time: " + locale.time);
    auto length = [&](const std::string& line) {
        return isUtf8Charset(locale.charset) ? utf16Length(line) : line.size();
    };
    for (std::size_t i = 7; i <= 9; ++i) {
        EXPECT_EQ(length(lines[i]), length(lines[6])) << i << ": " << lines[i];
        EXPECT_NE(lines[i].find(i == 9 ? "12/01/26" : locale.modified), std::string::npos)
            << lines[i];
    }
}

// "2026年12月09日", "00時56分53秒" and "2026年12月01日" as ja_JP.EUC-JP writes them.
const std::string kEucJpDate = std::string("2026\xC7\xAF") + "12\xB7\xEE" + "09\xC6\xFC";
const std::string kEucJpTime = std::string("00\xBB\xFE") + "56\xCA\xAC" + "53\xC9\xC3";
const std::string kEucJpModified = std::string("2026\xC7\xAF") + "12\xB7\xEE" + "01\xC6\xFC";
// "déc." in Latin-1, then with a Latin-9 euro sign.
const std::string kLatinModified = std::string("d\xE9") + "c. 2026";
const std::string kLatin9Modified = std::string("1 d\xE9") + "c. 26 \xA4";
const std::string kUtf8Date = std::string("2026\xE5\xB9\xB4") + "12\xE6\x9C\x88" + "09\xE6\x97\xA5";

INSTANTIATE_TEST_SUITE_P(
    Sets, ReportCharsetTest,
    testing::Values(LocaleCase{"ISO-8859-1", "09.12.26", "00:56:53", kLatinModified},
                    LocaleCase{"ISO-8859-15", "09/12/26", "00:56:53", kLatin9Modified},
                    LocaleCase{"EUC-JP", kEucJpDate, kEucJpTime, kEucJpModified},
                    LocaleCase{"UTF-8", kUtf8Date, "00:56:53",
                               std::string("1 d\xC3\xA9") + "c. 2026"}));

TEST(SearchReport, ControlCharactersOfNamesAndFoldersAreQuestionMarks) {
    ReportInput input;
    input.searchPath = "/home/u/new\nline";
    input.summaryLine = "s";
    input.rows = {
        row("1", "x\r\nEOF\r\n", "3 bytes", "2011-12-01", "/home/u/new\nline/"),
        row("1", "tab\there \x1b[31mred\x7f", "3 bytes", "2011-12-01", "/home/u/new\nline/")};
    for (const char* charset : {"UTF-8", "ISO-8859-1"}) {
        SCOPED_TRACE(charset);
        const std::string bytes = encodeReport(buildReportLines(input, charset));
        const Lines lines = writtenLines(bytes);
        ASSERT_EQ(lines.size(), 11u) << bytes;
        EXPECT_EQ(lines[3], "Search path: /home/u/new?line");
        EXPECT_EQ(lines[7].substr(0, 30), "1   x??EOF??             3 byt");
        EXPECT_EQ(lines[8].substr(0, 30), "1   tab?here ?[31mred?   3 byt");
        for (std::size_t i = 7; i <= 8; ++i) {
            EXPECT_EQ(lines[i].size(), lines[6].size()) << lines[i];
            EXPECT_NE(lines[i].find("/home/u/new?line/"), std::string::npos) << lines[i];
        }
        for (const std::string& line : lines) {
            EXPECT_EQ(std::count_if(line.begin(), line.end(),
                                    [](unsigned char c) { return c < 0x20 || c == 0x7F; }),
                      0)
                << line;
        }
        EXPECT_EQ(lines.back(), "EOF");
    }
}

TEST(SearchReport, TextsFromTheWindowAreConverted) {
    ReportInput input{"d", "t", "/home/\xC3\xA9t\xC3\xA9/", "caf\xC3\xA9 \xE2\x82\xAC", {}};
    Lines lines = buildReportLines(input, "ISO-8859-1");
    EXPECT_EQ(lines[3], "Search path: /home/\xE9t\xE9/");
    EXPECT_EQ(lines[4], "caf\xE9 EUR");
}

TEST(SearchReport, ProposedNameIsOneNameInItsFolder) {
    EXPECT_EQ(proposedReportName("12/09/26", "00:56:53"), "Twinscope_SearchResult_12-09-26005653");
    EXPECT_EQ(proposedReportName("12/05/2011", "2:30:12 PM"),
              "Twinscope_SearchResult_12-05-201123012 PM");
    EXPECT_EQ(proposedReportName("05.12.2011", "14/30/12"),
              "Twinscope_SearchResult_05.12.201114-30-12");
}

TEST(SearchReport, CharacterSetConversion) {
    EXPECT_EQ(toCharset("caf\xC3\xA9", "UTF-8"), "caf\xC3\xA9");
    EXPECT_EQ(toCharset("bad \xFF byte", "UTF-8"), "bad ? byte");
    EXPECT_EQ(toCharset("caf\xC3\xA9", "ISO-8859-1"), "caf\xE9");
    EXPECT_EQ(toCharset("\xE6\x97\xA5 \xFF", "ISO-8859-1"), "? ?");
    std::string ascii = toCharset("caf\xC3\xA9", "ANSI_X3.4-1968");
    EXPECT_TRUE(ascii == "cafe" || ascii == "caf?") << ascii;
}

TEST(SearchReport, WritesReplacesAndReportsFailures) {
    TempTree tree;
    const std::string file = tree.path("report.txt");
    tree.file("report.txt", std::string(10000, 'o'));
    ReportInput input{"d", "t", "/x/", "s", {}};
    writeReportFile(file, buildReportLines(input));
    EXPECT_EQ(readWholeFile(file), encodeReport(buildReportLines(input)));

    const std::string missing = tree.path("no/such/folder/report.txt");
    try {
        writeReportFile(missing, buildReportLines(input));
        FAIL() << "no error";
    } catch (const ReportWriteError& error) {
        EXPECT_NE(std::string(error.what()).find(missing), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("No such file or directory"), std::string::npos);
    }
}

TEST(SearchReport, FullDiskKeepsThePreviousReport) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs (" << disk.error() << "); a full disk is not tested";
    const std::string file = disk.path("report.txt");
    std::ofstream(file) << "previous report";
    disk.fill();
    ReportInput input{"d", "t", "/x/", "s", {}};
    try {
        writeReportFile(file, buildReportLines(input));
        FAIL() << "no error";
    } catch (const ReportWriteError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot write file \"" + file + "\". No space left on device");
    }
    EXPECT_EQ(readWholeFile(file), "previous report");
    EXPECT_EQ(disk.names(), (std::vector<std::string>{"filler", "report.txt"}));
}

// Every name below `folder`, as a sorted list, to show what a write left behind.
std::vector<std::string> namesBelow(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.push_back(entry.path().string().substr(folder.size() + 1));
    std::sort(names.begin(), names.end());
    return names;
}

// A text written in pieces is the whole text, in a new file or over a longer one, and a text
// left unfinished leaves the file as it was.
TEST(SearchReport, TextWrittenInPiecesReplacesTheFileOnlyWhenFinished) {
    TempTree tree;
    const std::vector<std::string> pieces = {std::string(70000, 'a'), "", "bc\n", "d"};
    const std::string whole = pieces[0] + pieces[2] + pieces[3];
    tree.file("longer.txt", std::string(100000, 'o'));
    for (const char* name : {"new.txt", "longer.txt"}) {
        WholeFileWriter writer(tree.path(name));
        ASSERT_TRUE(writer.prepare(whole.size()).ok) << name;
        for (const std::string& piece : pieces)
            ASSERT_TRUE(writer.append(piece).ok) << name;
        ASSERT_TRUE(writer.finish().ok) << name;
        EXPECT_EQ(readWholeFile(tree.path(name)), whole) << name;
    }
    {
        WholeFileWriter writer(tree.path("new.txt"));
        ASSERT_TRUE(writer.prepare(5).ok);
        ASSERT_TRUE(writer.append("other").ok);
    }
    EXPECT_EQ(readWholeFile(tree.path("new.txt")), whole);
    EXPECT_EQ(namesBelow(tree.root()), (std::vector<std::string>{"longer.txt", "new.txt"}));
}

// A listing that must be written before files are removed is refused at once when standard
// output is a pipe nobody reads any more, and taken when someone does.
TEST(SearchReport, StandardOutputToAPipeWithoutReaderIsRefusedBeforeAnythingIsWritten) {
    for (const bool readerGone : {false, true}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        if (readerGone)
            close(ends[0]);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGPIPE, SIG_IGN);
            dup2(ends[1], STDOUT_FILENO);
            WholeFileWriter writer("");
            _exit(writer.prepare(10).ok ? 0 : 1);
        }
        close(ends[1]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), readerGone ? 1 : 0) << "reader gone: " << readerGone;
        if (!readerGone)
            close(ends[0]);
    }
}

TEST(SearchReport, ReplacedReportKeepsItsModeAndLinksStayLinks) {
    UmaskScope umask(027);
    TempTree tree;
    const ReportInput input{"d", "t", "/x/", "s", {}};
    const std::string report = encodeReport(buildReportLines(input));

    writeReportFile(tree.path("new.txt"), buildReportLines(input));
    struct stat st {};
    ASSERT_EQ(stat(tree.path("new.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    tree.file("shared.txt", "old");
    tree.chmod("shared.txt", 0604);
    writeReportFile(tree.path("shared.txt"), buildReportLines(input));
    ASSERT_EQ(stat(tree.path("shared.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(readWholeFile(tree.path("shared.txt")), report);

    // A report kept in a dotfiles folder and linked from where it is used.
    tree.file("dotfiles/report.txt", "old");
    tree.symlink("../dotfiles/report.txt", "home/report.txt");
    tree.symlink("not-yet.txt", "home/dangling.txt");
    for (const char* name : {"home/report.txt", "home/dangling.txt"}) {
        writeReportFile(tree.path(name), buildReportLines(input));
        ASSERT_EQ(lstat(tree.path(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << name;
    }
    EXPECT_EQ(readWholeFile(tree.path("dotfiles/report.txt")), report);
    EXPECT_EQ(readWholeFile(tree.path("home/not-yet.txt")), report);
    EXPECT_EQ(
        namesBelow(tree.root()),
        (std::vector<std::string>{"dotfiles", "dotfiles/report.txt", "home", "home/dangling.txt",
                                  "home/not-yet.txt", "home/report.txt", "new.txt", "shared.txt"}));
}

TEST(SearchReport, FolderOrFileThatMayNotBeWrittenIsLeftAlone) {
    TempTree tree;
    tree.folder("locked");
    tree.chmod("locked", 0555);
    tree.folder("open");
    tree.chmod("open", 0777);
    tree.file("open/read-only.txt", "old");
    tree.chmod("open/read-only.txt", 0444);
    const int status = runUnprivileged([&] {
        const ReportInput input{"d", "t", "/x/", "s", {}};
        int failures = 0;
        for (const char* name : {"locked/report.txt", "open/read-only.txt"}) {
            const std::string file = tree.path(name);
            try {
                writeReportFile(file, buildReportLines(input));
                ++failures;
            } catch (const ReportWriteError& error) {
                if (std::string(error.what()) !=
                    "Cannot create file \"" + file + "\". Permission denied")
                    ++failures;
            }
        }
        return failures;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readWholeFile(tree.path("open/read-only.txt")), "old");
    EXPECT_EQ(namesBelow(tree.root()),
              (std::vector<std::string>{"locked", "open", "open/read-only.txt"}));
}

TEST(SearchReport, SummaryLine) {
    EXPECT_EQ(searchSummaryLine(4, 10, "1 day, 00:00:02"),
              "Search results: 4 duplicated files found (of 10 files). Total time: 1 day, "
              "00:00:02.");
}

} // namespace

namespace {

TEST(SearchReport, TextMadeRowByRowEqualsTheLines) {
    ReportInput input{"d", "t", "/x/", "Search results: 3 duplicated files found.", {}};
    input.rows = {ResultRow{"1", "a\nb", "3 bytes", "01/02/03", "/x/", "0", "h"},
                  ResultRow{"1", "long name", "3 bytes", "01/02/03", "/x/y/", "0", "h"},
                  ResultRow{"2", "\xff", "12 bytes", "01/02/03", "/", "1", "g"}};
    int visits = 0;
    const std::string streamed = reportText(
        input,
        [&](const auto& visit) {
            ++visits;
            for (const ResultRow& row : input.rows)
                visit(row);
        },
        "UTF-8");
    EXPECT_EQ(streamed, encodeReport(buildReportLines(input, "UTF-8")));
    EXPECT_EQ(visits, 2); // widths first, then the lines
}

} // namespace
