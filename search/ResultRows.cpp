#include "search/ResultRows.h"

#include "tools/AsciiCase.h"

bool sameContent(const TFiles& a, const TFiles& b) {
    return a.fHash == b.fHash && a.fFingerprint == b.fFingerprint;
}

ResultRow RowBuilder::add(const TFiles& file, std::size_t record) {
    if (m_first || file.fHash != m_previousHash || file.fFingerprint != m_previousFingerprint)
        ++m_group;
    m_first = false;
    m_previousHash = file.fHash;
    m_previousFingerprint = file.fFingerprint;
    ResultRow row{std::to_string(m_group), file.fName, std::to_string(file.fSize) + " bytes",
                  file.fModified,          file.fPath, std::to_string(file.fStatus),
                  file.fHash.str()};
    row.record = record;
    row.reference = file.fReference;
    return row;
}

std::vector<ResultRow> buildRows(const std::vector<TFiles>& files) {
    RowBuilder builder;
    std::vector<ResultRow> rows;
    rows.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        rows.push_back(builder.add(files[i], i));
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

std::string filterCaptionKey(const std::string& caption) {
    std::string key;
    key.reserve(caption.size());
    for (char c : caption) {
        if (c == '&')
            continue;
        key += asciiLower(c);
    }
    return key;
}

std::string FilterEntryList::addFor(const std::string& name) {
    const std::string caption = filterCaptionFor(name);
    if (!m_keys.insert(filterCaptionKey(caption)).second)
        return {};
    m_captions.push_back(caption);
    return caption;
}

bool FilterEntryList::contains(const std::string& caption) const {
    return m_keys.count(filterCaptionKey(caption)) != 0;
}

void FilterEntryList::clear() {
    m_captions.clear();
    m_keys.clear();
}
