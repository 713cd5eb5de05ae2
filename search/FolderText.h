#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <ostream>
#include <string>

// A folder text shared by all the records of one folder: a search of a million files keeps one
// copy of each folder's path instead of one per file. Reads like a const std::string. The walk
// also notes which folder it was (device and inode), so that an operation can tell whether the
// path still leads to it. One pointer wide, as every found file holds one.
class FolderText {
public:
    FolderText() = default;
    FolderText(std::string text, std::uint64_t device = 0, std::uint64_t inode = 0)
        : m_shared(new Shared{std::move(text), device, inode, {1}}) {}
    FolderText(const FolderText& other) noexcept : m_shared(other.m_shared) {
        if (m_shared != nullptr)
            m_shared->users.fetch_add(1, std::memory_order_relaxed);
    }
    FolderText(FolderText&& other) noexcept : m_shared(std::exchange(other.m_shared, nullptr)) {}
    FolderText& operator=(FolderText other) noexcept {
        std::swap(m_shared, other.m_shared);
        return *this;
    }
    ~FolderText() {
        if (m_shared != nullptr && m_shared->users.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete m_shared;
    }
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
        mutable std::atomic<std::size_t> users;
    };
    static const std::string& empty() {
        static const std::string none;
        return none;
    }

    const Shared* m_shared = nullptr;
};
