#pragma once

#include <memory>
#include <ostream>
#include <string>

// A folder text shared by all the records of one folder: a search of a million files keeps one
// copy of each folder's path instead of one per file. Reads like a const std::string.
class FolderText {
public:
    FolderText() = default;
    FolderText(std::string text) : m_text(std::make_shared<const std::string>(std::move(text))) {}
    FolderText(const char* text) : FolderText(std::string(text)) {}

    const std::string& str() const { return m_text ? *m_text : empty(); }
    operator const std::string&() const { return str(); }
    const char* c_str() const { return str().c_str(); }
    std::size_t size() const { return str().size(); }

    friend std::string operator+(const FolderText& folder, const std::string& name) {
        return folder.str() + name;
    }
    friend bool operator==(const FolderText& a, const FolderText& b) { return a.str() == b.str(); }
    friend bool operator==(const FolderText& a, const std::string& b) { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const FolderText& folder) {
        return out << folder.str();
    }

private:
    static const std::string& empty() {
        static const std::string none;
        return none;
    }

    std::shared_ptr<const std::string> m_text;
};
