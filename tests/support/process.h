// Runs a program as a child process in a given folder and environment (an empty value unsets a
// variable), with a time limit, and collects its exit code and output; optionally sends it
// SIGTERM (or another signal) after a while, as a person closing it would. Test thread.
#pragma once

#include <QProcess>

#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <vector>

namespace sonarello::test
{

using Environment = std::map<std::string, std::string>;

struct ProcessResult
{
    int exitCode = -1; // -1 when it had to be killed or could not start
    std::string out;
    std::string err;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& folder,
                         const Environment& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(30),
                         std::chrono::milliseconds terminateAfter = std::chrono::milliseconds(0),
                         int terminateSignal = SIGTERM);

// A sound server of a test's own: quiet, and ended with this process even when a failing test
// takes the process down; at its end SIGTERM, then SIGKILL after five seconds.
class Daemon
{
  public:
    Daemon(const std::vector<std::string>& argv, const Environment& env);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool running() const { return process_.state() == QProcess::Running; }

  private:
    QProcess process_;
};

} // namespace sonarello::test
