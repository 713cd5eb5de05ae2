#pragma once

#include <string>

// The folder of this program's settings: $XDG_CONFIG_HOME (else ~/.config) followed by
// "/hollowbright/Twinscope/".
std::string settingsFolder();

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share; without a trailing "/".
std::string dataHome();

// The digest cache: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache, followed by
// "/hollowbright/Twinscope/digests.sqlite".
std::string digestCacheFile();

// The user's desktop folder as xdg-user-dir DESKTOP names it, else ~/Desktop when it exists,
// else the home folder; with a trailing "/".
std::string desktopFolder();

// Creates a folder with every missing parent; the outcome is not reported.
void forceDirectories(const std::string& folder);
