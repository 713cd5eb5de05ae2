#pragma once

#include <stdexcept>
#include <string>

// A refused key or value; the message reads "Failed to create key <key>" or
// "Failed to set data for '<name>'".
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The operations the folder context-menu entry needs from a registry of keys with named string
// values (the value name "" is a key's default value). Keys are written with "\" between their
// parts; a trailing "\" names the same key.
class Registry {
public:
    virtual ~Registry() = default;
    virtual bool keyExists(const std::string& key) const = 0;
    // Creates the key with its default value. Throws RegistryError.
    virtual void createKey(const std::string& key, const std::string& defaultValue) = 0;
    // A missing key or value reads as empty.
    virtual std::string readString(const std::string& key, const std::string& name) const = 0;
    // Throws RegistryError.
    virtual void writeString(const std::string& key, const std::string& name,
                             const std::string& value) = 0;
    // Deleting what does not exist, or cannot be deleted, fails silently.
    virtual void deleteValue(const std::string& key, const std::string& name) = 0;
    virtual void deleteKey(const std::string& key) = 0;
};

extern const char* const kShellKey;   // "Folder\shell\Twinscope\"
extern const char* const kCommandKey; // "Folder\shell\Twinscope\Command\"

// The folder entry as the file managers of Linux know it: a KDE service menu
// (<root>/kio/servicemenus/twinscope-folder.desktop, for Dolphin's folder menu) and a desktop
// entry for folders (<root>/applications/twinscope-folder.desktop, for "Open With" in GNOME
// Files, Nemo and Thunar). The key's default value is the label, the command value runs with
// "%l" turned into "%f", and an "Icon" value shows the installed program icon. The raw values
// are kept in the files too, so that what is written reads back exactly.
class FreedesktopRegistry : public Registry {
public:
    // `dataRoot`: the system data folder, "/usr/local/share" for a normal installation.
    explicit FreedesktopRegistry(std::string dataRoot);

    bool keyExists(const std::string& key) const override;
    void createKey(const std::string& key, const std::string& defaultValue) override;
    std::string readString(const std::string& key, const std::string& name) const override;
    void writeString(const std::string& key, const std::string& name,
                     const std::string& value) override;
    void deleteValue(const std::string& key, const std::string& name) override;
    void deleteKey(const std::string& key) override;

    std::string serviceMenuFile() const;
    std::string desktopEntryFile() const;

private:
    struct Entry {
        bool exists = false;
        std::string label;
        bool hasIcon = false;
        std::string icon;
        bool hasCommand = false;
        std::string command;
    };

    Entry load() const;
    void save(const Entry& entry, const std::string& key, const std::string& name) const;

    std::string m_root;
};

// The Exec line of a desktop entry for a command value: the program quoted as desktop entries
// require, "%l" (quoted or not) turned into "%f", "%" doubled elsewhere.
std::string execLineFor(const std::string& command);

// A string value of a desktop entry with its characters escaped.
std::string desktopValue(const std::string& text);
