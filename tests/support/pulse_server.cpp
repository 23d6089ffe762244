#include "pulse_server.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

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
    return installedProgram("pulseaudio");
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
    if (!daemon_.start({program(), "-n", "--daemonize=no", "--exit-idle-time=-1",
                        "--use-pid-file=no", "--disallow-exit", "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" +
                            folder_.file("run") + "/native",
                        "-L", "module-null-sink sink_name=test"},
                       {{"XDG_RUNTIME_DIR", folder_.file("run")},
                        {"HOME", folder_.file("home")},
                        {"PULSE_SERVER", ""}}))
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
    daemon_.stop();
}

} // namespace sonarello::test
