#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Whether this process runs with administrator rights (effective user id 0).
bool IsUserAnAdmin();

// The path of pkexec, or empty when it is not installed: the platform then has no elevation
// prompt.
std::string pkexecPath();

// A launch of a program with administrator rights through pkexec, which is asked to run the
// program itself (so that its authentication dialog names it and polkit's action for it applies;
// that action lets the display through). It counts as started once the elevated program has
// begun to run and removed the signal file named on its command line; a declined or failed
// authentication is failure.
class ElevatedLaunch {
public:
    enum class State { Waiting, Started, Failed };

    ElevatedLaunch(const std::string& pkexec, const std::string& program,
                   const std::vector<std::string>& parameters);
    ~ElevatedLaunch();
    ElevatedLaunch(const ElevatedLaunch&) = delete;
    ElevatedLaunch& operator=(const ElevatedLaunch&) = delete;

    // Looks again; never blocks.
    State poll();

private:
    pid_t m_child = -1;
    std::string m_signalFile;
    State m_state = State::Failed;
};

// The first argument of an elevated instance: this option, then the file the instance removes
// at once to say it has started.
extern const char* const kStartedSignalOption;

// Called early by the program with its arguments: when the first is kStartedSignalOption, takes
// it out of the arguments and returns the file it names.
std::optional<std::string> takeStartedSignal(int& argc, char** argv);

// Tells the waiting launcher that this instance has started (its window is up) by removing the
// file. Only a file of exactly the launcher's pattern in /tmp is removed, and only a regular file
// of the user who asked pkexec for the elevation (never one of root's, and none at all when this
// instance was not started by pkexec). Returns whether one was.
bool signalStartedToLauncher(const std::string& file);