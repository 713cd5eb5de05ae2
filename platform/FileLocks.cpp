#include "platform/FileLocks.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/sysmacros.h>

LockedFiles LockedFiles::snapshot() {
    std::ifstream in("/proc/locks");
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str().c_str());
}

LockedFiles LockedFiles::parse(const char* text) {
    LockedFiles locks;
    locks.m_available = true;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // "1: POSIX  ADVISORY  WRITE 1234 fd:01:2360379 0 EOF"; "->" marks a waiting request.
        std::istringstream fields(line);
        std::string id, type, mode, access, pid, file;
        fields >> id >> type;
        if (type == "->")
            continue;
        fields >> mode >> access >> pid >> file;
        if (type != "POSIX" && type != "OFDLCK")
            continue; // flock() locks do not stop a record lock
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3)
            locks.m_locked.insert(Key{makedev(major, minor), inode});
    }
    return locks;
}

bool LockedFiles::contains(dev_t device, ino_t inode) const {
    return m_locked.count(
               Key{static_cast<std::uint64_t>(device), static_cast<std::uint64_t>(inode)}) != 0;
}
