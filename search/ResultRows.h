#pragma once

#include "search/TFiles.h"

#include <string>
#include <unordered_set>
#include <vector>

// One row of the result list as text: the group number and the record's fields.
struct ResultRow {
    std::string caption;    // group number, from 1 in list order
    std::string name;       // fName
    std::string size;       // fSize followed by " bytes"
    std::string modified;   // fModified
    std::string folder;     // fPath
    std::string status;     // fStatus ("0", "1", "2")
    std::string hash;       // fHash
    std::size_t record = 0; // index of the record in the result table
    bool reference = false; // fReference: the row is never ticked
};

// Whether two records hold the same content: equal digest texts and equal fingerprints. Two
// files whose digests collide get adjacent groups with one digest text; the fingerprint keeps
// them apart.
bool sameContent(const TFiles& a, const TFiles& b);

// Builds rows from records; the group number grows by one whenever a record's content differs
// from the one before it.
class RowBuilder {
public:
    ResultRow add(const TFiles& file, std::size_t record = 0);
    int groupNumber() const { return m_group; }

private:
    int m_group = 0;
    DigestText m_previousHash;
    Fingerprint m_previousFingerprint;
    bool m_first = true;
};

std::vector<ResultRow> buildRows(const std::vector<TFiles>& files);

// The extension of a file name: from its last "." to the end, dot included; empty without one.
std::string fileExtension(const std::string& name);

// Caption of the filter entry a file falls under: "*" + extension, or "Unknown".
std::string filterCaptionFor(const std::string& name);

// The entries of the filter menu: one per extension, "*" + extension or "Unknown", matched
// without regard to letter case and accelerator marks, kept in the order they first occur.
class FilterEntryList {
public:
    // The caption of a new entry for this file name, or an empty text when an entry for it
    // exists already.
    std::string addFor(const std::string& name);
    bool contains(const std::string& caption) const;
    const std::vector<std::string>& captions() const { return m_captions; }
    void clear();

private:
    std::vector<std::string> m_captions;
    std::unordered_set<std::string> m_keys;
};

// The form in which filter captions are compared: "&" removed, ASCII letters in lower case.
std::string filterCaptionKey(const std::string& caption);
