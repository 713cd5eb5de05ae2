#pragma once

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A failed write of the settings file; the message reads "Unable to write to <file>".
class SettingsWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An INI file with the semantics of the classic profile functions: sections and keys matched
// without regard to case, a new key appended at the end of its section, an existing key replaced
// in place, file and section created by the first write, values cut at 2,047 characters and read
// without one pair of surrounding quotes. Every write rewrites the file atomically, so a crash
// never leaves half a file; a linked file is rewritten at its target and the link stays. Anything
// but a regular file reads as empty and is never written. Reads and writes from several threads
// are serialised.
class IniFile {
public:
    explicit IniFile(std::string fileName);

    const std::string& fileName() const { return m_fileName; }

    std::string readString(const std::string& section, const std::string& key,
                           const std::string& fallback) const;
    // Every "key=value" line of the section, in file order, values read as readString reads them.
    std::vector<std::pair<std::string, std::string>> readSection(const std::string& section) const;
    // Throws SettingsWriteError.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    // Replaces the whole section with `entries` (key, value) in one write; no entries remove it.
    // Throws SettingsWriteError.
    void writeSection(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& entries);

private:
    // Reads the file's lines, lets `change` edit them and writes the file again atomically.
    void rewrite(const std::function<void(std::vector<std::string>& lines)>& change);
    static void setKey(std::vector<std::string>& lines, const std::string& section,
                       const std::string& key, const std::string& value);

    std::string m_fileName;
    mutable std::mutex m_mutex;
};
