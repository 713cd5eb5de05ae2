#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Whether this process runs with administrator rights (effective user id 0).
bool IsUserAnAdmin();

// The path of pkexec, or empty when it is not installed: the platform then has no elevation
// prompt.
std::string pkexecPath();

// A launch of a program with administrator rights through pkexec, passing on the display
// variables. It counts as started once the elevated program has begun to run; a declined or
// failed authentication is failure.
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

// The variable through which an elevated instance says that it has started: it names a file
// that the instance removes at once.
extern const char* const kStartedSignalVariable;

// Called early by the program: tells a waiting launcher that this instance has started.
void signalStartedToLauncher();
