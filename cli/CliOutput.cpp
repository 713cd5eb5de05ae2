#include "cli/CliOutput.h"

#include "operations/SearchReport.h"
#include "platform/TextEncoding.h"
#include "search/ResultRows.h"

#include <cstdio>

namespace {
template <typename Visit> void forEachGroup(const std::vector<TFiles>& files, Visit visit) {
    for (std::size_t start = 0; start < files.size();) {
        std::size_t end = start + 1;
        while (end < files.size() && sameContent(files[end], files[start]))
            ++end;
        visit(start, end);
        start = end;
    }
}

void appendHex4(std::string& out, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", value);
    out += buffer;
}
} // namespace

void formatReport(const SearchSummary& summary, const std::vector<TFiles>& duplicates,
                  const TextSink& out) {
    ReportInput input;
    input.dateText = summary.dateText;
    input.timeText = summary.timeText;
    input.searchPath = summary.folder;
    input.summaryLine =
        searchSummaryLine(static_cast<int>(duplicates.size()), summary.filesFound, summary.elapsed);
    // Rows made one at a time as the report is written: a million rows never stand at once.
    writeReportLines(
        input,
        [&](const auto& visit) {
            RowBuilder builder;
            for (std::size_t i = 0; i < duplicates.size(); ++i)
                visit(builder.add(duplicates[i], i));
        },
        localeCharset(),
        [&](std::string_view line) {
            out(line);
            out("\r\n");
        });
}

void formatFdupes(const std::vector<TFiles>& duplicates, const TextSink& out) {
    forEachGroup(duplicates, [&](std::size_t start, std::size_t end) {
        for (std::size_t i = start; i < end; ++i) {
            out(duplicates[i].fPath.str());
            out(duplicates[i].fName);
            out("\n");
        }
        out("\n");
    });
}

std::string jsonString(const std::string& bytes) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c == '"')
                out += "\\\"";
            else if (c == '\\')
                out += "\\\\";
            else if (c == '\n')
                out += "\\n";
            else if (c == '\t')
                out += "\\t";
            else if (c == '\r')
                out += "\\r";
            else if (c < 0x20 || c == 0x7F)
                appendHex4(out, c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // Take the longest valid UTF-8 sequence here; a stray byte becomes its escape.
        std::size_t len = 0;
        for (std::size_t tryLen = 4; tryLen >= 2; --tryLen) {
            if (i + tryLen <= bytes.size() &&
                isValidUtf8(std::string_view(bytes).substr(i, tryLen))) {
                len = tryLen;
                break;
            }
        }
        if (len == 0) {
            appendHex4(out, 0xDC00u + c);
            ++i;
        } else {
            out.append(bytes, i, len);
            i += len;
        }
    }
    out += '"';
    return out;
}

void formatJson(const SearchSummary& summary, const std::vector<TFiles>& duplicates,
                const TextSink& sink) {
    std::string out = "{\n  \"folder\": " + jsonString(summary.folder) + ",\n";
    out += "  \"folders\": [{\"path\": " + jsonString(summary.folder) + ", \"reference\": false}";
    for (const SearchFolder& further : summary.further)
        out += ", {\"path\": " + jsonString(further.path) +
               ", \"reference\": " + (further.reference ? "true" : "false") + "}";
    out += "],\n";
    out += "  \"filesFound\": " + std::to_string(summary.filesFound) + ",\n";
    out += "  \"duplicatedFiles\": " + std::to_string(duplicates.size()) + ",\n";
    out += "  \"passedOver\": " + summary.passedOver.json() + ",\n";
    out += "  \"groups\": [";
    int group = 0;
    forEachGroup(duplicates, [&](std::size_t start, std::size_t end) {
        out += group == 0 ? "\n" : ",\n";
        ++group;
        out += "    {\"group\": " + std::to_string(group) +
               ", \"hash\": " + jsonString(duplicates[start].fHash.str()) +
               ", \"size\": " + std::to_string(duplicates[start].fSize) + ", \"files\": [";
        for (std::size_t i = start; i < end; ++i) {
            const TFiles& file = duplicates[i];
            out += i == start ? "\n" : ",\n";
            sink(out);
            out.clear();
            out += "      {\"name\": " + jsonString(file.fName) +
                   ", \"folder\": " + jsonString(file.fPath) +
                   ", \"size\": " + std::to_string(file.fSize) +
                   ", \"modified\": " + jsonString(fromLocaleCharset(file.fModified.str())) +
                   ", \"status\": " + std::to_string(file.fStatus) +
                   ", \"reference\": " + (file.fReference ? "true" : "false") + "}";
        }
        out += "\n    ]}";
    });
    out += group == 0 ? "]\n}\n" : "\n  ]\n}\n";
    sink(out);
}

std::string formatSelection(const std::vector<TFiles>& duplicates, const std::vector<char>& picked,
                            const std::vector<char>& kept) {
    std::string out;
    forEachGroup(duplicates, [&](std::size_t start, std::size_t end) {
        for (std::size_t k = start; k < end; ++k) {
            out += picked[k] && !kept[k] ? "[-] " : "[+] ";
            out += duplicates[k].fullName();
            out += '\n';
        }
        out += '\n';
    });
    return out;
}
