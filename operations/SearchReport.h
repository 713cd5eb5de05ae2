#pragma once

#include "platform/TextEncoding.h"
#include "search/ResultRows.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A report that could not be written; the message names the file and the reason.
class ReportWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The date and time texts and each row's modification date are in the report's character set,
// as strftime writes them under the locale; the other texts are UTF-8 (names and folders as the
// file system has them).
struct ReportInput {
    std::string dateText;    // today's short date
    std::string timeText;    // the current long time
    std::string searchPath;  // the search path box as it stands
    std::string summaryLine; // the caption of the search result line
    std::vector<ResultRow> rows;
};

extern const char* const kReportTitle;

// The rows of a report: calls `visit` with each row in list order; called twice, once for the
// column widths and once for the lines, so that a large result needs no copy of its rows.
using ReportRows = std::function<void(const std::function<void(const ResultRow&)>& visit)>;

// The lines of the saved report in CHARSET, each handed to `line` without its end: header, an
// aligned table (#, Name, Size, Hash, Modified, Path) whose columns are padded in the converted
// text, and the end mark. Control characters of names and folders are written as "?", so that
// every file is one line. `input.rows` is not used: `rows` gives them.
void writeReportLines(const ReportInput& input, const ReportRows& rows, const std::string& charset,
                      const std::function<void(std::string_view)>& line);

// The lines of the report of `input.rows`.
std::vector<std::string> buildReportLines(const ReportInput& input,
                                          const std::string& charset = localeCharset());

// The report's bytes straight from the rows, every line ended by CR LF.
std::string reportText(const ReportInput& input, const ReportRows& rows,
                       const std::string& charset = localeCharset());

// The proposed file name: "Twinscope_SearchResult_" + date without "-" + time without ":",
// each "/" of either made "-".
std::string proposedReportName(const std::string& dateText, const std::string& timeText);

// The summary line the search writes when it ends.
std::string searchSummaryLine(int duplicated, int found, const std::string& elapsed);

// The report's bytes: every line of buildReportLines ended by CR LF.
std::string encodeReport(const std::vector<std::string>& lines);

// Creates or replaces the file with the encoded report, as writeWholeFile does: a report that
// cannot be written leaves the previous file as it was. Throws ReportWriteError.
void writeReportFile(const std::string& fileName, const std::vector<std::string>& lines);
