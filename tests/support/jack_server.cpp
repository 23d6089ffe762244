#include "jack_server.h"

#include <jack/jack.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sonarello::test
{

using namespace std::chrono_literals;

JackServer::JackServer(std::string name, int periodFrames)
    : name_(std::move(name)), periodFrames_(periodFrames)
{
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
}

JackServer::~JackServer()
{
    stop();
}

std::string JackServer::program()
{
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (::access((std::string(dir) + "/jackd").c_str(), X_OK) == 0)
            return std::string(dir) + "/jackd";
    return {};
}

bool JackServer::start()
{
    std::string path = program();
    std::string period = std::to_string(periodFrames_);
    std::vector<std::string> words = {path, "-n",    name_, "--no-realtime", "-d", "dummy",
                                      "-r", "48000", "-p",  period};
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0)
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (::getppid() != parent || quiet < 0)
            ::_exit(127);
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    if (pid_ < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline)
    {
        jack_set_error_function([](const char*) {});
        if (jack_client_t* probe = jack_client_open("probe", JackNoStartServer, nullptr))
        {
            jack_client_close(probe);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void JackServer::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(50ms);
    if (::waitpid(pid_, &status, WNOHANG) == 0)
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = 0;
}

} // namespace sonarello::test
