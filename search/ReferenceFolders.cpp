#include "search/ReferenceFolders.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <unordered_map>

namespace {
// The real path of an existing folder or file, with a trailing "/" for a folder text that ends
// with one; nothing when it cannot be resolved.
std::optional<std::string> realPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return std::nullopt;
    std::string text(real);
    std::free(real);
    return text;
}

std::string withSlash(std::string text) {
    if (text.empty() || text.back() != '/')
        text += '/';
    return text;
}
} // namespace

ReferenceFolders::ReferenceFolders(const std::vector<SearchFolder>& folders) {
    for (const SearchFolder& folder : folders) {
        if (!folder.reference)
            continue;
        if (const auto real = realPath(folder.path))
            m_folders.emplace_back(withSlash(*real), folder.path);
        struct stat st {};
        if (::stat(folder.path.c_str(), &st) == 0)
            m_identities.push_back({{st.st_dev, st.st_ino}, folder.path});
    }
}

std::optional<std::string> ReferenceFolders::holdingReal(const std::string& real) const {
    for (const auto& [folder, given] : m_folders) {
        if (real.starts_with(folder))
            return given;
    }
    return std::nullopt;
}

std::optional<std::string> ReferenceFolders::withIdentity(std::uint64_t device,
                                                          std::uint64_t inode) const {
    for (const auto& [identity, given] : m_identities) {
        if (identity == std::pair<std::uint64_t, std::uint64_t>{device, inode})
            return given;
    }
    return std::nullopt;
}

std::optional<std::string> ReferenceFolders::holding(const std::string& path) const {
    if (m_folders.empty() || path.empty())
        return std::nullopt;
    // Parts that do not exist yet cannot be links: they are added to the real path as written.
    std::string existing = path;
    std::string rest;
    for (;;) {
        while (existing.size() > 1 && existing.back() == '/')
            existing.pop_back();
        if (const auto real = realPath(existing)) {
            if (auto folder = holdingReal(withSlash(*real) + rest))
                return folder;
            // A reference folder mounted at another path: its identity among the ancestors.
            for (std::string up = *real;; up.resize(std::max<std::size_t>(1, up.rfind('/')))) {
                struct stat st {};
                if (::stat(up.c_str(), &st) == 0) {
                    if (auto folder = withIdentity(st.st_dev, st.st_ino))
                        return folder;
                }
                if (up == "/")
                    return std::nullopt;
            }
        }
        const std::size_t slash = existing.rfind('/');
        if (slash == std::string::npos || existing == "/")
            return std::nullopt;
        rest = existing.substr(slash + 1) + "/" + rest;
        existing.resize(slash == 0 ? 1 : slash);
    }
}

bool ReferenceFolders::mark(std::vector<TFiles>& table) const {
    if (m_folders.empty())
        return false;
    bool changed = false;
    std::unordered_map<std::string, bool> inReference; // by folder text, each resolved once
    for (TFiles& file : table) {
        auto [known, added] = inReference.try_emplace(file.fPath.str(), false);
        if (added) {
            const auto real = realPath(file.fPath.str());
            known->second = real && holdingReal(withSlash(*real)).has_value();
        }
        if (known->second && !file.fReference) {
            file.fReference = true;
            changed = true;
        }
    }
    return changed;
}
