#include "settings/IniFile.h"

#include "platform/UniqueFd.h"
#include "tools/AsciiCase.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kMaxValueLength = 2047;
constexpr int kMaxLinkHops = 40; // as the kernel allows

std::string trimmed(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    std::size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// The whole text of a regular file; anything else (FIFO, socket, device, folder) reads as a
// missing file does. A FIFO is never opened: that would wait for a writer.
std::string regularFileText(const std::string& fileName) {
    struct stat st {};
    if (stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    UniqueFd fd(open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::string text;
    if (fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
        readRest(fd.get(), text);
    return text;
}

std::vector<std::string> readLines(const std::string& fileName) {
    const std::string text = regularFileText(fileName);
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        begin = end + 1;
    }
    return lines;
}

// The file a settings path names, its symbolic links followed to the end of a chain, so that a
// write replaces the target and the link (dotfiles kept elsewhere) stays a link. A dangling link
// names its missing target, which the write creates. Empty when the links loop.
std::string finalTarget(const std::string& fileName) {
    std::string path = fileName;
    for (int hops = 0; hops <= kMaxLinkHops; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string target(PATH_MAX, '\0');
        ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            return {};
        target.resize(static_cast<std::size_t>(length));
        std::size_t slash = path.rfind('/');
        if (target.front() != '/' && slash != std::string::npos)
            target.insert(0, path, 0, slash + 1);
        path = std::move(target);
    }
    return {};
}

// Whether a write may replace the settings file: it is missing, or a regular file this process
// may write. The write renames a new file over it, which only asks the folder's permission.
bool replaceable(const std::string& fileName) {
    struct stat st {};
    if (stat(fileName.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISREG(st.st_mode))
        return false;
    // root passes every access test, so a mode without write bits stands for a read-only file,
    // as it does for the files a search passes over.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    return faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
}

// As the classic profile functions read: one pair of matching double or single quotes around a
// value is not part of it.
std::string unquoted(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// The section a "[name]" line opens, or nothing.
bool sectionName(const std::string& line, std::string& name) {
    std::string text = trimmed(line);
    if (text.size() < 2 || text.front() != '[')
        return false;
    std::size_t close = text.find(']');
    if (close == std::string::npos)
        return false;
    name = trimmed(text.substr(1, close - 1));
    return true;
}

// Whether a "key=value" line holds `key`; fills its value.
bool keyLine(const std::string& line, const std::string& key, std::string* value) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos ||
        !equalsIgnoringAsciiCase(trimmed(line.substr(0, equals)), key))
        return false;
    if (value != nullptr)
        *value = trimmed(line.substr(equals + 1));
    return true;
}

// The temporary file lies beside `fileName`, so that the rename stays within one file system.
bool writeAtomically(const std::string& fileName, const std::string& text) {
    std::string temp = fileName + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    struct stat existing {};
    if (stat(fileName.c_str(), &existing) == 0)
        fchmod(fd, existing.st_mode & 07777);
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        written += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), fileName.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

IniFile::IniFile(std::string fileName) : m_fileName(std::move(fileName)) {
}

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& fallback) const {
    for (const auto& [name, value] : readSection(section)) {
        if (equalsIgnoringAsciiCase(name, key))
            return value;
    }
    return fallback;
}

std::vector<std::pair<std::string, std::string>>
IniFile::readSection(const std::string& section) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::string, std::string>> entries;
    bool inSection = false;
    for (const std::string& line : readLines(m_fileName)) {
        std::string name;
        if (sectionName(line, name)) {
            inSection = equalsIgnoringAsciiCase(name, section);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (inSection && equals != std::string::npos)
            entries.emplace_back(
                trimmed(line.substr(0, equals)),
                unquoted(trimmed(line.substr(equals + 1))).substr(0, kMaxValueLength));
    }
    return entries;
}

void IniFile::rewrite(const std::function<void(std::vector<std::string>& lines)>& change) {
    std::lock_guard lock(m_mutex);
    const std::string target = finalTarget(m_fileName);
    if (target.empty() || !replaceable(target))
        throw SettingsWriteError("Unable to write to " + m_fileName);
    std::vector<std::string> lines = readLines(target);
    change(lines);
    std::ostringstream text;
    for (const std::string& line : lines)
        text << line << '\n';
    if (!writeAtomically(target, text.str()))
        throw SettingsWriteError("Unable to write to " + m_fileName);
}

void IniFile::writeString(const std::string& section, const std::string& key,
                          const std::string& value) {
    rewrite([&](std::vector<std::string>& lines) { setKey(lines, section, key, value); });
}

void IniFile::setKey(std::vector<std::string>& lines, const std::string& section,
                     const std::string& key, const std::string& value) {
    const std::string newLine = key + "=" + value;
    bool inSection = false;
    bool sectionFound = false;
    std::size_t insertAt = lines.size();
    bool replaced = false;
    for (std::size_t i = 0; i < lines.size() && !replaced; ++i) {
        std::string name;
        if (sectionName(lines[i], name)) {
            if (inSection)
                break; // the section ended without the key
            inSection = equalsIgnoringAsciiCase(name, section);
            if (inSection) {
                sectionFound = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (keyLine(lines[i], key, nullptr)) {
            lines[i] = newLine;
            replaced = true;
        } else if (!trimmed(lines[i]).empty()) {
            insertAt = i + 1; // after the last entry of the section
        }
    }
    if (!replaced) {
        if (!sectionFound) {
            if (!lines.empty() && !trimmed(lines.back()).empty())
                lines.emplace_back();
            lines.push_back("[" + section + "]");
            insertAt = lines.size();
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
    }
}

void IniFile::writeSection(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& entries) {
    rewrite([&](std::vector<std::string>& lines) {
        bool inSection = false;
        std::erase_if(lines, [&](const std::string& line) {
            std::string name;
            if (sectionName(line, name))
                inSection = equalsIgnoringAsciiCase(name, section);
            return inSection;
        });
        while (!lines.empty() && trimmed(lines.back()).empty())
            lines.pop_back();
        if (entries.empty())
            return;
        if (!lines.empty())
            lines.emplace_back();
        lines.push_back("[" + section + "]");
        for (const auto& [key, value] : entries)
            lines.push_back(key + "=" + value);
    });
}
