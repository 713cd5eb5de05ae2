#include "TempTree.h"
#include "platform/Elevation.h"
#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <unistd.h>
#include <thread>

namespace {

// Splits an Exec line as a file manager does (desktop entry quoting), after the file's own
// string escapes have been undone.
std::vector<std::string> execArguments(const std::string& exec, const std::string& folder) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false;
    bool any = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size()) {
            current += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any || !current.empty())
                args.push_back(current);
            current.clear();
            any = false;
        } else if (c == '%' && i + 1 < exec.size()) {
            char code = exec[++i];
            current += code == 'f' ? folder : code == '%' ? "%" : "";
        } else {
            current += c;
        }
    }
    if (any || !current.empty())
        args.push_back(current);
    return args;
}

TEST(ShellEntry, ExecLineRunsTheProgramWithTheFolder) {
    const std::string folder = "/home/me/My Pictures (2019)";
    EXPECT_EQ(execArguments(execLineFor("/usr/local/bin/twinscope \"%l\""), folder),
              (std::vector<std::string>{"/usr/local/bin/twinscope", folder}));
    const std::string odd = "/opt/Twin \"Scope\" $HOME 100%/twinscope";
    EXPECT_EQ(execArguments(execLineFor(odd + " \"%l\""), folder),
              (std::vector<std::string>{odd, folder}));
}

TEST(ShellEntry, WhatIsWrittenReadsBackExactly) {
    TempTree tree;
    FreedesktopRegistry reg(tree.root());
    EXPECT_FALSE(reg.keyExists(kShellKey));
    EXPECT_EQ(reg.readString(kShellKey, ""), "");
    reg.createKey("Folder\\shell\\Twinscope", "Search for duplicated files");
    EXPECT_TRUE(reg.keyExists(kShellKey));
    EXPECT_FALSE(reg.keyExists(kCommandKey));
    const std::string command = "/opt/a \\ b/twinscope \"%l\"";
    reg.createKey(kCommandKey, command);
    reg.writeString(kShellKey, "Icon", "/opt/a \\ b/twinscope, 16");
    FreedesktopRegistry again(tree.root());
    EXPECT_EQ(again.readString(kCommandKey, ""), command);
    EXPECT_EQ(again.readString(kShellKey, "icon"), "/opt/a \\ b/twinscope, 16");
    EXPECT_EQ(again.readString(kShellKey, ""), "Search for duplicated files");
    again.deleteValue(kShellKey, "Icon");
    EXPECT_EQ(again.readString(kShellKey, "Icon"), "");
    EXPECT_EQ(readWholeFile(again.desktopEntryFile()).find("Icon=twinscope"), std::string::npos);
    again.deleteKey(kShellKey);
    EXPECT_FALSE(again.keyExists(kShellKey));
    EXPECT_FALSE(again.keyExists(kCommandKey));
    EXPECT_THROW(again.createKey("Directory\\shell\\Other", "x"), RegistryError);
}

TEST(Elevation, StartedWhenTheElevatedProgramRuns) {
    TempTree tree;
    // A stand-in for pkexec that runs its command at once, and one that refuses.
    tree.file("pkexec-yes", "#!/bin/sh\nexec \"$@\"\n");
    tree.file("pkexec-no", "#!/bin/sh\nexit 126\n");
    tree.file("program", "#!/bin/sh\nrm -f \"${1#--started-signal=}\"\nsleep 1\n");
    for (const char* name : {"pkexec-yes", "pkexec-no", "program"})
        tree.chmod(name, 0755);
    auto outcome = [&](const char* pkexec) {
        ElevatedLaunch launch(tree.path(pkexec), tree.path("program"), {});
        for (int i = 0; i < 100 && launch.poll() == ElevatedLaunch::State::Waiting; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return launch.poll();
    };
    EXPECT_EQ(outcome("pkexec-yes"), ElevatedLaunch::State::Started);
    EXPECT_EQ(outcome("pkexec-no"), ElevatedLaunch::State::Failed);
}

// The elevated instance removes a file named on its command line as root: only the launcher's
// own kind of file, never a path that leads elsewhere or a file of root's.
TEST(Elevation, TheStartedSignalRemovesOnlyTheLaunchersFile) {
    TempTree tree;
    tree.file("victim", "kept");
    auto made = [](uid_t owner) {
        char name[] = "/tmp/twinscope-started-XXXXXX";
        ::close(::mkstemp(name));
        return ::chown(name, owner, owner) == 0 || owner == ::geteuid() ? std::string(name) : "";
    };
    const uid_t other = ::geteuid() == 0 ? 65534 : ::geteuid();
    const std::string mine = made(other);
    const std::string roots = ::geteuid() == 0 ? made(0) : "";
    struct Case {
        std::string file;
        bool fromPkexec; // only then is there a caller whose file it may be
        bool removed;
    };
    for (const Case& c : {Case{mine, false, false}, Case{mine, true, true},
                          Case{"/tmp/twinscope-started-/../.." + tree.path("victim"), true, false},
                          Case{mine + "/x", true, false}, Case{roots, true, false}}) {
        if (c.file.empty())
            continue;
        SCOPED_TRACE(c.file);
        std::optional<EnvScope> caller;
        if (c.fromPkexec)
            caller.emplace("PKEXEC_UID", std::to_string(other));
        std::string option = kStartedSignalOption + c.file;
        char program[] = "twinscope";
        char folder[] = "/some/folder";
        char* argv[] = {program, option.data(), folder, nullptr};
        int argc = 3;
        const std::optional<std::string> file = takeStartedSignal(argc, argv);
        EXPECT_EQ(argc, 2); // the option is taken out of the arguments
        EXPECT_STREQ(argv[1], "/some/folder");
        ASSERT_EQ(file, c.file);
        EXPECT_EQ(signalStartedToLauncher(*file), c.removed);
    }
    EXPECT_EQ(::access(mine.c_str(), F_OK), -1);
    EXPECT_EQ(readWholeFile(tree.path("victim")), "kept");
    if (!roots.empty()) {
        EXPECT_EQ(::access(roots.c_str(), F_OK), 0);
        ::unlink(roots.c_str());
    }
}

} // namespace
