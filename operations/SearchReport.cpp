#include "operations/SearchReport.h"

#include "operations/FileTransfer.h"
#include "platform/TextEncoding.h"
#include "tools/GeneralTools.h"

#include <algorithm>
#include <array>

const char* const kReportTitle = "Twinscope " TWINSCOPE_VERSION_TEXT " (1892)";

namespace {
// A date or time text as part of a file name: "-" and ":" dropped, and "/" (the usual
// short date's separator) made "-" so that the name does not point into folders.
std::string fileNamePart(std::string text, char dropped) {
    std::erase(text, dropped);
    std::replace(text.begin(), text.end(), '/', '-');
    return text;
}

// A name or folder as one line of the report: a line end in it would start a line of its own
// and other control characters move a terminal's cursor, so each is written as "?", like a
// character the report's set cannot show.
std::string oneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; }, '?');
    return text;
}

using Fields = std::array<std::string, 6>;

// A row's fields as written: names, folders and the other texts converted from UTF-8; the
// modification date the C library wrote in the locale's character set already.
Fields writtenFields(const ResultRow& row, const char* charset) {
    return {toCharset(row.caption, charset),
            toCharset(oneLine(row.name), charset),
            toCharset(row.size, charset),
            toCharset(row.hash, charset),
            row.modified,
            toCharset(oneLine(row.folder), charset)};
}

// Columns line up in the written text: in UTF-8 counted in UTF-16 code units, as the list shows
// the texts; in other sets in bytes, after transliteration ("€" may become "EUR").
std::int64_t writtenLength(std::string_view text, bool utf8) {
    return static_cast<std::int64_t>(utf8 ? utf16Length(text) : text.size());
}

std::string joinFields(const Fields& fields, const std::array<int, 6>& widths, bool utf8) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ' ';
        line += padToColumn(fields[i], writtenLength(fields[i], utf8), widths[i]);
    }
    return line;
}
} // namespace

void writeReportLines(const ReportInput& input, const ReportRows& rows, const std::string& charset,
                      const std::function<void(std::string_view)>& line) {
    const bool utf8 = isUtf8Charset(charset);
    std::array<int, 6> widths{};
    rows([&](const ResultRow& row) {
        const Fields fields = writtenFields(row, charset.c_str());
        for (std::size_t i = 0; i < widths.size(); ++i)
            widths[i] = std::max(widths[i], static_cast<int>(writtenLength(fields[i], utf8)) + 1);
    });

    line(kReportTitle);
    line("Date: " + input.dateText + ", Time: " + input.timeText);
    line({});
    line(toCharset("Search path: " + oneLine(input.searchPath), charset.c_str()));
    line(toCharset(input.summaryLine, charset.c_str()));
    line({});
    line(joinFields({"#", "Name", "Size", "Hash", "Modified", "Path"}, widths, utf8));
    rows([&](const ResultRow& row) {
        line(joinFields(writtenFields(row, charset.c_str()), widths, utf8));
    });
    line({});
    line("EOF");
}

std::vector<std::string> buildReportLines(const ReportInput& input, const std::string& charset) {
    std::vector<std::string> lines;
    lines.reserve(input.rows.size() + 10);
    writeReportLines(
        input,
        [&](const auto& visit) {
            for (const ResultRow& row : input.rows)
                visit(row);
        },
        charset, [&](std::string_view text) { lines.emplace_back(text); });
    return lines;
}

std::string reportText(const ReportInput& input, const ReportRows& rows,
                       const std::string& charset) {
    std::string text;
    writeReportLines(input, rows, charset, [&](std::string_view line) {
        text += line;
        text += "\r\n";
    });
    return text;
}

std::string proposedReportName(const std::string& dateText, const std::string& timeText) {
    return "Twinscope_SearchResult_" + fileNamePart(dateText, '-') + fileNamePart(timeText, ':');
}

std::string searchSummaryLine(int duplicated, int found, const std::string& elapsed) {
    return "Search results: " + std::to_string(duplicated) + " duplicated files found (of " +
           std::to_string(found) + " files). " + "Total time: " + elapsed + ".";
}

std::string encodeReport(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void writeReportFile(const std::string& fileName, const std::vector<std::string>& lines) {
    const TransferResult written = writeWholeFile(fileName, encodeReport(lines));
    if (!written.ok)
        throw ReportWriteError(written.error);
}
