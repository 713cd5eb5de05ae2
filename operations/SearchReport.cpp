#include "operations/SearchReport.h"

#include "platform/TextEncoding.h"
#include "tools/GeneralTools.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const char* const kReportTitle = "Twinscope v1.16rc (1892)";

namespace {
// A date or time text as part of a file name: "-" and ":" dropped, and "/" (the usual
// short date's separator) made "-" so that the name does not point into folders.
std::string fileNamePart(std::string text, char dropped) {
    std::erase(text, dropped);
    std::replace(text.begin(), text.end(), '/', '-');
    return text;
}

std::string joinFields(const std::array<std::string, 6>& fields, const std::array<int, 6>& widths) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ' ';
        line += SetStrLength(fields[i], widths[i]);
    }
    return line;
}

std::array<std::string, 6> reportFields(const ResultRow& row) {
    return {row.caption, row.name, row.size, row.hash, row.modified, row.folder};
}
} // namespace

std::vector<std::string> buildReportLines(const ReportInput& input) {
    std::array<int, 6> widths{};
    for (const ResultRow& row : input.rows) {
        auto fields = reportFields(row);
        for (std::size_t i = 0; i < fields.size(); ++i)
            widths[i] = std::max(widths[i], static_cast<int>(utf16Length(fields[i])) + 1);
    }

    std::vector<std::string> lines;
    lines.reserve(input.rows.size() + 10);
    lines.emplace_back(kReportTitle);
    lines.push_back("Date: " + input.dateText + ", Time: " + input.timeText);
    lines.emplace_back();
    lines.push_back("Search path: " + input.searchPath);
    lines.push_back(input.summaryLine);
    lines.emplace_back();
    lines.push_back(joinFields({"#", "Name", "Size", "Hash", "Modified", "Path"}, widths));
    for (const ResultRow& row : input.rows)
        lines.push_back(joinFields(reportFields(row), widths));
    lines.emplace_back();
    lines.emplace_back("EOF");
    return lines;
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
    return toLocaleCharset(text);
}

void writeReportFile(const std::string& fileName, const std::vector<std::string>& lines) {
    const std::string bytes = encodeReport(lines);
    auto fail = [&](int error) {
        throw ReportWriteError("Cannot create file \"" + fileName + "\". " + std::strerror(error));
    };
    int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        fail(errno);
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            fail(error);
        }
        written += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0)
        fail(errno);
}
