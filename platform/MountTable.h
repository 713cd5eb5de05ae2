#pragma once

#include <optional>
#include <string>
#include <vector>

// A field of /proc/self/mountinfo with its octal escapes ("\040" for a space) undone.
std::string unescapeMountField(const std::string& field);

// Mount points as /proc/self/mountinfo lists them, with its octal escapes ("\040") undone.
std::vector<std::string> parseMountPoints(const char* mountinfo);

// Whether some mount point of this process is not a folder: a file mounted onto another path.
// True when the list cannot be read, since such a mount cannot then be ruled out.
bool fileMountsListed();

// Whether the file system that holds the folder `folder` keeps what identifies a file's content
// between searches: inode numbers that stay and a change time of its own. FAT and exFAT (whose
// change time only mirrors the modification time, and whose inode numbers are handed out anew
// at each mount), FUSE file systems (which may do either), image file systems and overlays do
// not. Nothing when the folder cannot be opened.
std::optional<bool> fileIdentityIsStable(const std::string& folder);
