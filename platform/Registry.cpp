#include "platform/Registry.h"

#include "platform/SpecialFolders.h"
#include "tools/AsciiCase.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char* const kShellKey = "Folder\\shell\\Twinscope\\";
const char* const kCommandKey = "Folder\\shell\\Twinscope\\Command\\";

namespace {

enum class KeyKind { Shell, Command, Other };

KeyKind kindOf(std::string key) {
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    std::string shell = kShellKey;
    shell.pop_back();
    std::string command = kCommandKey;
    command.pop_back();
    if (equalsIgnoringAsciiCase(key, shell))
        return KeyKind::Shell;
    if (equalsIgnoringAsciiCase(key, command))
        return KeyKind::Command;
    return KeyKind::Other;
}

// The raw values ride along under keys of our own, escaped like any string value.
const char* const kRawLabel = "X-Twinscope-Label";
const char* const kRawIcon = "X-Twinscope-Icon";
const char* const kRawCommand = "X-Twinscope-Command";

std::string unescape(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            char next = value[++i];
            out += next == 's'   ? ' '
                   : next == 'n' ? '\n'
                   : next == 't' ? '\t'
                   : next == 'r' ? '\r'
                                 : next;
        } else {
            out += value[i];
        }
    }
    return out;
}

bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.good())
            return false;
    }
    chmod(temp.c_str(), mode);
    return rename(temp.c_str(), path.c_str()) == 0;
}

bool quoteNeeded(const std::string& arg) {
    if (arg.empty())
        return true;
    for (char c : arg) {
        if (std::string(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string::npos)
            return true;
    }
    return false;
}

std::string quoteArg(const std::string& arg) {
    if (!quoteNeeded(arg))
        return arg;
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string doublePercent(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '%' ? std::string("%%") : std::string(1, c);
    return out;
}

} // namespace

std::string desktopValue(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == ' ' && i == 0)
            out += "\\s";
        else
            out += c;
    }
    return out;
}

std::string execLineFor(const std::string& command) {
    // The design's command is the program's path, a blank and "%l" in double quotes.
    for (const char* placeholder : {" \"%l\"", " %l"}) {
        const std::string tail = placeholder;
        if (command.size() > tail.size() &&
            command.compare(command.size() - tail.size(), tail.size(), tail) == 0) {
            return doublePercent(quoteArg(command.substr(0, command.size() - tail.size()))) + " %f";
        }
    }
    return doublePercent(quoteArg(command)) + " %f";
}

FreedesktopRegistry::FreedesktopRegistry(std::string dataRoot) : m_root(std::move(dataRoot)) {
    while (m_root.size() > 1 && m_root.back() == '/')
        m_root.pop_back();
}

std::string FreedesktopRegistry::serviceMenuFile() const {
    return m_root + "/kio/servicemenus/twinscope-folder.desktop";
}

std::string FreedesktopRegistry::desktopEntryFile() const {
    return m_root + "/applications/twinscope-folder.desktop";
}

FreedesktopRegistry::Entry FreedesktopRegistry::load() const {
    Entry entry;
    std::ifstream in(desktopEntryFile(), std::ios::binary);
    if (!in)
        return entry;
    entry.exists = true;
    std::string line;
    while (std::getline(in, line)) {
        std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = unescape(line.substr(equals + 1));
        if (key == kRawLabel) {
            entry.label = value;
        } else if (key == kRawIcon) {
            entry.hasIcon = true;
            entry.icon = value;
        } else if (key == kRawCommand) {
            entry.hasCommand = true;
            entry.command = value;
        }
    }
    return entry;
}

void FreedesktopRegistry::save(const Entry& entry, const std::string& key,
                               const std::string& name) const {
    auto fail = [&] {
        if (name.empty())
            throw RegistryError("Failed to create key " + key);
        throw RegistryError("Failed to set data for '" + name + "'");
    };
    // Until the command exists the entry is there but hidden: it would have nothing to run.
    const std::string exec = entry.hasCommand ? execLineFor(entry.command) : "true";
    std::ostringstream raw;
    raw << kRawLabel << "=" << desktopValue(entry.label) << "\n";
    if (entry.hasIcon)
        raw << kRawIcon << "=" << desktopValue(entry.icon) << "\n";
    if (entry.hasCommand)
        raw << kRawCommand << "=" << desktopValue(entry.command) << "\n";
    const std::string icon = entry.hasIcon ? "Icon=twinscope\n" : "";

    std::ostringstream application;
    application << "[Desktop Entry]\n"
                << "Type=Application\n"
                << "Name=" << desktopValue(entry.label) << "\n"
                << "Exec=" << desktopValue(exec) << "\n"
                << icon << "MimeType=inode/directory;\n"
                << "NoDisplay=true\n"
                << (entry.hasCommand ? "" : "Hidden=true\n") << raw.str();

    std::ostringstream service;
    service << "[Desktop Entry]\n"
            << "Type=Service\n"
            << "Name=" << desktopValue(entry.label) << "\n"
            << "MimeType=inode/directory;\n"
            << "Actions=twinscopeSearch;\n"
            << "X-KDE-Priority=TopLevel\n"
            << (entry.hasCommand ? "" : "Hidden=true\n") << raw.str() << "\n"
            << "[Desktop Action twinscopeSearch]\n"
            << "Name=" << desktopValue(entry.label) << "\n"
            << icon << "Exec=" << desktopValue(exec) << "\n";

    forceDirectories(m_root + "/applications/");
    forceDirectories(m_root + "/kio/servicemenus/");
    if (!writeFile(desktopEntryFile(), application.str(), 0644) ||
        !writeFile(serviceMenuFile(), service.str(), 0755))
        fail();
}

bool FreedesktopRegistry::keyExists(const std::string& key) const {
    const Entry entry = load();
    switch (kindOf(key)) {
    case KeyKind::Shell:
        return entry.exists;
    case KeyKind::Command:
        return entry.exists && entry.hasCommand;
    case KeyKind::Other:
        break;
    }
    return false;
}

void FreedesktopRegistry::createKey(const std::string& key, const std::string& defaultValue) {
    Entry entry = load();
    switch (kindOf(key)) {
    case KeyKind::Shell:
        entry.exists = true;
        entry.label = defaultValue;
        break;
    case KeyKind::Command:
        entry.exists = true;
        entry.hasCommand = true;
        entry.command = defaultValue;
        break;
    case KeyKind::Other:
        throw RegistryError("Failed to create key " + key);
    }
    save(entry, key, "");
}

std::string FreedesktopRegistry::readString(const std::string& key, const std::string& name) const {
    const Entry entry = load();
    const KeyKind kind = kindOf(key);
    if (kind == KeyKind::Shell && name.empty())
        return entry.label;
    if (kind == KeyKind::Shell && equalsIgnoringAsciiCase(name, "Icon"))
        return entry.icon;
    if (kind == KeyKind::Command && name.empty())
        return entry.command;
    return {};
}

void FreedesktopRegistry::writeString(const std::string& key, const std::string& name,
                                      const std::string& value) {
    Entry entry = load();
    const KeyKind kind = kindOf(key);
    if (kind == KeyKind::Shell && name.empty()) {
        entry.label = value;
    } else if (kind == KeyKind::Shell && equalsIgnoringAsciiCase(name, "Icon")) {
        entry.hasIcon = true;
        entry.icon = value;
    } else if (kind == KeyKind::Command && name.empty()) {
        entry.hasCommand = true;
        entry.command = value;
    } else {
        throw RegistryError("Failed to set data for '" + name + "'");
    }
    entry.exists = true;
    save(entry, key, name);
}

void FreedesktopRegistry::deleteValue(const std::string& key, const std::string& name) {
    Entry entry = load();
    if (!entry.exists)
        return;
    const KeyKind kind = kindOf(key);
    if (kind == KeyKind::Shell && equalsIgnoringAsciiCase(name, "Icon") && entry.hasIcon) {
        entry.hasIcon = false;
        entry.icon.clear();
    } else if (kind == KeyKind::Command && name.empty() && entry.hasCommand) {
        entry.command.clear();
    } else {
        return;
    }
    try {
        save(entry, key, name);
    } catch (const RegistryError&) {
        // Deleting fails silently.
    }
}

void FreedesktopRegistry::deleteKey(const std::string& key) {
    switch (kindOf(key)) {
    case KeyKind::Shell:
        unlink(desktopEntryFile().c_str());
        unlink(serviceMenuFile().c_str());
        break;
    case KeyKind::Command: {
        Entry entry = load();
        if (!entry.exists || !entry.hasCommand)
            return;
        entry.hasCommand = false;
        entry.command.clear();
        try {
            save(entry, key, "");
        } catch (const RegistryError&) {
        }
        break;
    }
    case KeyKind::Other:
        break;
    }
}
