#pragma once

#include <string>

// A path split into an open folder descriptor and the last component, so that *at() calls
// reach files whose full path is longer than PATH_MAX (deep trees).
class ParentHandle {
public:
    explicit ParentHandle(const std::string& path);
    ~ParentHandle();
    ParentHandle(const ParentHandle&) = delete;
    ParentHandle& operator=(const ParentHandle&) = delete;

    bool valid() const { return m_valid; }
    int dirFd() const { return m_dirFd; }
    const char* leaf() const { return m_leaf.c_str(); }
    // errno of the failure when !valid().
    int error() const { return m_error; }

private:
    int m_dirFd;
    bool m_valid = true;
    bool m_owned = false;
    int m_error = 0;
    std::string m_leaf;
};

// open(2) that also works for paths longer than PATH_MAX. Returns -1 with errno set.
int openLongPath(const std::string& path, int flags);

// A folder opened with O_PATH whatever the length of its path (a path longer than PATH_MAX is
// walked one component at a time); with `make`, missing folders on the way are made (mode 0755
// before the umask). Returns -1 with errno set.
int openFolder(const std::string& folder, bool make = false);

// The folder that holds `path`, opened as openFolder opens it, and the last component of the
// path in `leaf` (a trailing "/" is not part of it).
int openParentFolder(const std::string& path, std::string& leaf);

// renameat(2) that never replaces an entry; where the file system cannot promise that, a hard
// link (which never replaces either) and the removal of the old name, and where it has no hard
// links either, a rename to a name found free. 0 or an errno.
int renameWithoutReplacing(int fromFolder, const char* from, int toFolder, const char* to);
