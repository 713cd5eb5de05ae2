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
