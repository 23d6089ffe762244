#include "jack_server.h"

#include <jack/jack.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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
    return installedProgram("jackd");
}

bool JackServer::start()
{
    if (!daemon_.start({program(), "-n", name_, "--no-realtime", "-d", "dummy", "-r", "48000", "-p",
                        std::to_string(periodFrames_)}))
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
    daemon_.stop();
}

} // namespace sonarello::test
