#include "TempTree.h"
#include "operations/SearchReport.h"
#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

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
        "Twinscope v1.16rc (1892)\r\n"
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
              (Lines{"Twinscope v1.16rc (1892)", "Date: d, Time: t", "", "Search path: /x/",
                     "Search results: 0 duplicated files found.", "",
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
    Lines lines = buildReportLines(input);
    // "été.txt" is 7 characters like "abcdefg": both padded to 9.
    EXPECT_EQ(lines[7].substr(4, 11), "\xC3\xA9t\xC3\xA9.txt  ");
    EXPECT_EQ(lines[8].substr(4, 9), "abcdefg  ");
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

TEST(SearchReport, SummaryLine) {
    EXPECT_EQ(searchSummaryLine(4, 10, "1 day, 00:00:02"),
              "Search results: 4 duplicated files found (of 10 files). Total time: 1 day, "
              "00:00:02.");
}

} // namespace
