#pragma once

#include <string>
#include <vector>

// A field of /proc/self/mountinfo with its octal escapes ("\040" for a space) undone.
std::string unescapeMountField(const std::string& field);

// Mount points as /proc/self/mountinfo lists them, with its octal escapes ("\040") undone.
std::vector<std::string> parseMountPoints(const char* mountinfo);

// Whether some mount point of this process is not a folder: a file mounted onto another path.
// True when the list cannot be read, since such a mount cannot then be ruled out.
bool fileMountsListed();
