#include "pulse_server.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sonarello::test
{

using namespace std::chrono_literals;

PulseServer::PulseServer()
{
    std::filesystem::create_directories(folder_.path() / "run");
    std::filesystem::create_directories(folder_.path() / "home");
    std::filesystem::permissions(folder_.path() / "run", std::filesystem::perms::owner_all);
    address_ = "unix:" + folder_.file("run/native");
    ::setenv("PULSE_SERVER", address_.c_str(), 1);
}

PulseServer::~PulseServer()
{
    stop();
}

std::string PulseServer::program()
{
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (::access((std::string(dir) + "/pulseaudio").c_str(), X_OK) == 0)
            return std::string(dir) + "/pulseaudio";
    return {};
}

namespace
{

constexpr pa_usec_t kSettledSinkLatency = 50'000;

// Whether a client can connect and, when `settled` is given, whether the sink's latency is
// low.
bool answers(bool* settled)
{
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "probe");
    bool ready = false;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0)
    {
        pa_operation* query = nullptr;
        for (;;)
        {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            ready = state == PA_CONTEXT_READY;
            if (ready && !settled)
                break;
            if (ready && !query)
                query = pa_context_get_sink_info_by_name(
                    context, "test",
                    [](pa_context*, const pa_sink_info* sink, int, void* data)
                    {
                        if (sink)
                            *static_cast<bool*>(data) = sink->latency < kSettledSinkLatency;
                    },
                    settled);
            if (query && pa_operation_get_state(query) != PA_OPERATION_RUNNING)
                break;
            if (pa_mainloop_iterate(loop, 1, nullptr) < 0)
                break;
        }
        if (query)
            pa_operation_unref(query);
        pa_context_disconnect(context);
    }
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return ready;
}

} // namespace

bool PulseServer::start()
{
    std::string path = program();
    const std::string runtime = folder_.file("run");
    const std::string home = folder_.file("home");
    std::vector<std::string> words = {
        path,
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--disallow-exit",
        "-L",
        "module-native-protocol-unix auth-anonymous=1 socket=" + runtime + "/native",
        "-L",
        "module-null-sink sink_name=test",
    };
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
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("PULSE_SERVER");
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    if (pid_ < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (answers(nullptr))
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

bool PulseServer::settle()
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline)
    {
        bool settled = false;
        if (answers(&settled) && settled)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void PulseServer::stop()
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
