// Runs a program as a child process in a given folder and environment (an empty value unsets a
// variable), with a time limit, and collects its exit code and output; optionally sends it
// SIGTERM (or another signal) after a while, as a person closing it would. Test thread.
#pragma once

#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sonarello::test
{

struct ProcessResult
{
    int exitCode = -1; // -1 when it had to be killed or could not start
    std::string out;
    std::string err;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& folder,
                         const std::map<std::string, std::string>& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(30),
                         std::chrono::milliseconds terminateAfter = std::chrono::milliseconds(0),
                         int terminateSignal = SIGTERM);

// A sound server of a test's own: quiet, started with its environment and ended with this
// process even when a failing test takes the process down; 0 when it could not start.
pid_t startDaemon(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env);
// SIGTERM, then SIGKILL after five seconds; `pid` becomes 0.
void stopDaemon(pid_t& pid);

} // namespace sonarello::test
