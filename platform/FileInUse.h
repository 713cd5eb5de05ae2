#pragma once

#include <string>
#include <sys/stat.h>

// The in-use tests of an already opened regular file: this process may not write it, its mode
// has no write bit, or another process holds a lock on it. `dirFd`/`leaf` name the same file
// for the access test. Nothing is opened for writing and nothing is changed.
bool openFileIsInUse(int fd, const struct stat& st, int dirFd, const char* leaf);

// Whether another open file description holds a lock that a write lock on the whole file would
// meet (asked with F_OFD_GETLK, so a read-only descriptor will do).
bool lockedByAnother(int fd);

// True when the file exists but must be left alone: not a regular file, not writable by this
// process, read-only by its mode, locked by another process, or not readable. A missing file
// is not in use.
bool IsFileInUse(const std::string& fileName);

// Opens a regular file for reading without blocking and without following a final symbolic
// link. Returns -1 with errno set when it cannot be opened or is not a regular file; `st`
// receives its fstat.
int openRegularFileAt(int dirFd, const char* name, struct stat& st);
