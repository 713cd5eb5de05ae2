#include "platform/FileLocks.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/sysmacros.h>
#include <unistd.h>

LockedFiles LockedFiles::snapshot() {
    UniqueFd fd(open("/proc/locks", O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    std::string text;
    readRest(fd.get(), text); // what could be read is still worth knowing
    return parse(text.c_str());
}

LockedFiles LockedFiles::parse(const char* text) {
    LockedFiles locks;
    locks.m_available = true;
    std::string line;
    for (const char* start = text; *start != '\0';) {
        const char* end = std::strchr(start, '\n');
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - start) : std::strlen(start);
        line.assign(start, length);
        start += length + (end != nullptr ? 1 : 0);
        // "1: POSIX  ADVISORY  WRITE 1234 fd:01:2360379 0 EOF"; "->" marks a waiting request.
        char type[16];
        char file[64];
        if (std::sscanf(line.c_str(), "%*s %15s", type) != 1 || std::strcmp(type, "->") == 0)
            continue;
        if (std::strcmp(type, "POSIX") != 0 && std::strcmp(type, "OFDLCK") != 0)
            continue; // flock() locks do not stop a record lock
        if (std::sscanf(line.c_str(), "%*s %*s %*s %*s %*s %63s", file) != 1)
            continue;
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file, "%x:%x:%llu", &major, &minor, &inode) == 3)
            locks.m_locked.insert(Key{makedev(major, minor), inode});
    }
    return locks;
}

bool LockedFiles::contains(dev_t device, ino_t inode) const {
    return m_locked.count(
               Key{static_cast<std::uint64_t>(device), static_cast<std::uint64_t>(inode)}) != 0;
}
