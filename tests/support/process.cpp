#include "process.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sonarello::test
{

namespace
{

// In the child: its standard output and error, its environment (an empty value unsets a
// variable), then the program.
[[noreturn]] void execChild(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env, int out, int err)
{
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : env)
        value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

std::string contents(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file))
        text.append(buffer, n);
    return text;
}

// Sends `terminateSignal` at `terminateAfter` (unless zero) and SIGKILL at `limit`. The exit code,
// -1 when a signal ended the child.
int waitForChild(pid_t pid, std::chrono::milliseconds limit,
                 std::chrono::milliseconds terminateAfter, int terminateSignal = SIGTERM)
{
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0)
    {
        const auto age = std::chrono::steady_clock::now() - started;
        if (age >= limit)
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        if (terminateAfter.count() > 0 && age >= terminateAfter)
        {
            ::kill(pid, terminateSignal);
            terminateAfter = {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& folder,
                         const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds limit, std::chrono::milliseconds terminateAfter,
                         int terminateSignal)
{
    // Output goes to unnamed files rather than pipes, so a talkative child never blocks.
    const File out(std::tmpfile(), &std::fclose);
    const File err(std::tmpfile(), &std::fclose);
    ProcessResult result;
    if (!out || !err)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(127);
        execChild(argv, env, ::fileno(out.get()), ::fileno(err.get()));
    }
    result.exitCode = waitForChild(pid, limit, terminateAfter, terminateSignal);
    result.out = contents(out.get());
    result.err = contents(err.get());
    return result;
}

pid_t startDaemon(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env)
{
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (::getppid() != parent || quiet < 0)
            ::_exit(127);
        execChild(argv, env, quiet, quiet);
    }
    return std::max(pid, pid_t{0});
}

void stopDaemon(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    waitForChild(pid, std::chrono::seconds(5), {});
    pid = 0;
}

} // namespace sonarello::test
