#include "process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sonarello::test
{

namespace
{

void drain(int fd, std::string& into)
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        into.append(buffer, static_cast<std::size_t>(n));
}

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

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& folder,
                         const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds limit, std::chrono::milliseconds terminateAfter)
{
    ProcessResult result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(127);
        execChild(argv, env, out[1], err[1]);
    }
    ::close(out[1]);
    ::close(err[1]);
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + limit;
    bool terminated = terminateAfter.count() == 0;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (!terminated && std::chrono::steady_clock::now() - started >= terminateAfter)
        {
            ::kill(pid, SIGTERM);
            terminated = true;
        }
        const int wait = terminated ? static_cast<int>(left.count()) : 50;
        if (::poll(fds, 2, wait) <= 0)
            continue;
        for (auto& f : fds)
        {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(f.fd, buffer, sizeof buffer);
            if (n > 0)
                (f.fd == out[0] ? result.out : result.err)
                    .append(buffer, static_cast<std::size_t>(n));
            else
            {
                f.fd = -1;
                --open;
            }
        }
    }
    drain(out[0], result.out);
    drain(err[0], result.err);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!result.timedOut && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

std::string installedProgram(const std::string& name)
{
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (::access((std::string(dir) + "/" + name).c_str(), X_OK) == 0)
            return std::string(dir) + "/" + name;
    return {};
}

bool Daemon::start(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& env)
{
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0)
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (::getppid() != parent || quiet < 0)
            ::_exit(127);
        execChild(argv, env, quiet, quiet);
    }
    return pid_ > 0;
}

void Daemon::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        ::usleep(50'000);
    if (::waitpid(pid_, &status, WNOHANG) == 0)
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = 0;
}

} // namespace sonarello::test
