#pragma once

#include "search/SearchOptions.h"
#include "search/TFiles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The reference folders of a search scope by their real paths, so that a path is known to lie in
// one however it is written (relative, through a link).
class ReferenceFolders {
public:
    ReferenceFolders() = default;
    explicit ReferenceFolders(const std::vector<SearchFolder>& folders);

    bool empty() const { return m_folders.empty(); }
    // The reference folder, as given, that holds the real path `real` (with a trailing "/" for a
    // folder); nothing when none does.
    std::optional<std::string> holdingReal(const std::string& real) const;
    // The reference folder, as given, that is the folder of this identity; nothing when none is.
    std::optional<std::string> withIdentity(std::uint64_t device, std::uint64_t inode) const;
    // The same for a path that may not exist yet: it is taken from its nearest existing folder.
    std::optional<std::string> holding(const std::string& path) const;
    // Marks the records whose folder lies in a reference folder; true when any was not yet.
    bool mark(std::vector<TFiles>& table) const;

private:
    std::vector<std::pair<std::string, std::string>> m_folders; // real path with "/", as given
    // The same folders by identity, so that one mounted at a second path is known there too.
    std::vector<std::pair<std::pair<std::uint64_t, std::uint64_t>, std::string>> m_identities;
};
