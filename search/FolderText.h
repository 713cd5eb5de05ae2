#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

// A folder text shared by all the records of one folder: a search of a million files keeps one
// copy of each folder's path instead of one per file. Reads like a const std::string. The walk
// also notes which folder it was (device and inode), so that an operation can tell whether the
// path still leads to it.
class FolderText {
public:
    FolderText() = default;
    FolderText(std::string text, std::uint64_t device = 0, std::uint64_t inode = 0)
        : m_shared(std::make_shared<const Shared>(Shared{std::move(text), device, inode})) {}
    FolderText(const char* text) : FolderText(std::string(text)) {}

    const std::string& str() const { return m_shared ? m_shared->text : empty(); }
    operator const std::string&() const { return str(); }
    const char* c_str() const { return str().c_str(); }
    std::size_t size() const { return str().size(); }
    // The folder's device and inode when the walk found it; 0 and 0 when not known.
    std::uint64_t device() const { return m_shared ? m_shared->device : 0; }
    std::uint64_t inode() const { return m_shared ? m_shared->inode : 0; }

    friend std::string operator+(const FolderText& folder, const std::string& name) {
        return folder.str() + name;
    }
    friend bool operator==(const FolderText& a, const FolderText& b) { return a.str() == b.str(); }
    friend bool operator==(const FolderText& a, const std::string& b) { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const FolderText& folder) {
        return out << folder.str();
    }

private:
    struct Shared {
        std::string text;
        std::uint64_t device;
        std::uint64_t inode;
    };
    static const std::string& empty() {
        static const std::string none;
        return none;
    }

    std::shared_ptr<const Shared> m_shared;
};
