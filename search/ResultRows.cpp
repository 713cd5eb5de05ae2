#include "search/ResultRows.h"

bool sameContent(const TFiles& a, const TFiles& b) {
    return a.fHash == b.fHash && a.fFingerprint == b.fFingerprint;
}

ResultRow RowBuilder::add(const TFiles& file) {
    if (m_first || file.fHash != m_previousHash || file.fFingerprint != m_previousFingerprint)
        ++m_group;
    m_first = false;
    m_previousHash = file.fHash;
    m_previousFingerprint = file.fFingerprint;
    return ResultRow{std::to_string(m_group),
                     file.fName,
                     std::to_string(file.fSize) + " bytes",
                     file.fModified,
                     file.fPath,
                     std::to_string(file.fStatus),
                     file.fHash};
}

std::vector<ResultRow> buildRows(const std::vector<TFiles>& files) {
    RowBuilder builder;
    std::vector<ResultRow> rows;
    rows.reserve(files.size());
    for (const TFiles& file : files)
        rows.push_back(builder.add(file));
    return rows;
}

std::string fileExtension(const std::string& name) {
    std::size_t dot = name.find_last_of('.');
    std::size_t slash = name.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return name.substr(dot);
}

std::string filterCaptionFor(const std::string& name) {
    std::string ext = fileExtension(name);
    return ext.empty() ? "Unknown" : "*" + ext;
}
