#pragma once

#include <cstdint>
#include <sys/types.h>
#include <unordered_set>

// The files on which some process holds a POSIX or open-file-description lock, as the kernel
// lists them in /proc/locks. One read of that list replaces opening every file of a walk to ask
// for its lock; the last look before a file is digested or changed still asks the file itself.
class LockedFiles {
public:
    // Reads the current list. Without /proc/locks, available() is false.
    static LockedFiles snapshot();
    // Parses a list in the format of /proc/locks.
    static LockedFiles parse(const char* text);

    bool available() const { return m_available; }
    bool contains(dev_t device, ino_t inode) const;

private:
    struct Key {
        std::uint64_t device;
        std::uint64_t inode;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return std::hash<std::uint64_t>()(key.inode * 1000003u ^ key.device);
        }
    };

    bool m_available = false;
    std::unordered_set<Key, KeyHash> m_locked;
};
