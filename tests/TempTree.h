#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A temporary folder tree for one test, removed (permissions restored) when it goes away.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The root folder, without a trailing "/".
    const std::string& root() const { return m_root; }
    std::string path(const std::string& relative) const { return m_root + "/" + relative; }

    // Creates the file (and its folders) with the given content.
    void file(const std::string& relative, const std::string& content) const;
    void folder(const std::string& relative) const;
    void symlink(const std::string& target, const std::string& relative) const;
    void hardlink(const std::string& existing, const std::string& relative) const;
    void fifo(const std::string& relative) const;
    void socket(const std::string& relative) const;
    void chmod(const std::string& relative, unsigned mode) const;

private:
    std::string m_root;
};

std::string readWholeFile(const std::string& path);

// Runs `body` in a child process as an unprivileged user when the tests run as root (so that
// permission checks apply), or directly otherwise. Returns the child's exit status (0 = pass).
int runUnprivileged(const std::function<int()>& body);

// Hex SHA-1 / MD5 of a text, for expected values.
std::string sha1Hex(const std::string& data);
std::string md5Hex(const std::string& data);
