#include "pulse_server.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace sonarello::test
{

using namespace std::chrono_literals;

PulseServer::PulseServer()
{
    std::filesystem::create_directories(folder_.path() / "run");
    std::filesystem::create_directories(folder_.path() / "home");
    std::filesystem::permissions(folder_.path() / "run", std::filesystem::perms::owner_all);
    ::setenv("PULSE_SERVER", ("unix:" + folder_.file("run/native")).c_str(), 1);
}

bool PulseServer::installed()
{
    return ::access("/usr/bin/pulseaudio", X_OK) == 0 && ::access("/usr/bin/pactl", X_OK) == 0;
}

namespace
{

// Asks pactl until `answered` holds for its output, for up to ten seconds.
template <typename Answered>
bool waitForPactl(const std::vector<std::string>& args, Answered answered)
{
    std::vector<std::string> argv{"/usr/bin/pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms))
        if (const auto r = runProcess(argv, "/", {}, 5s); r.exitCode == 0 && answered(r.out))
            return true;
    return false;
}

} // namespace

bool PulseServer::start()
{
    daemon_.emplace(
        std::vector<std::string>{
            "/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
            "--use-pid-file=no", "--disallow-exit", "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + folder_.file("run") +
                "/native",
            "-L", "module-null-sink sink_name=test"},
        Environment{{"XDG_RUNTIME_DIR", folder_.file("run")},
                    {"HOME", folder_.file("home")},
                    {"PULSE_SERVER", ""}});
    return daemon_->running() && waitForPactl({"info"}, [](const std::string&) { return true; });
}

bool PulseServer::settle()
{
    // The sink's "Latency: N usec", under 50 ms.
    return waitForPactl({"list", "sinks"},
                        [](const std::string& out)
                        {
                            const auto at = out.find("Latency: ");
                            return at != std::string::npos &&
                                   std::atol(out.c_str() + at + 9) < 50'000;
                        });
}

} // namespace sonarello::test
