// A JACK server of a test's own (dummy driver: no sound card), named uniquely so that other
// servers on the machine are left alone, with every client of the process pointed at it.
// Test thread.
#pragma once

#include "process.h"

#include <string>

namespace sonarello::test
{

class JackServer
{
  public:
    JackServer(std::string name, int periodFrames);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // The path of jackd, empty when it is not installed.
    static std::string program();

    // Starts jackd and waits until a client can connect. The server ends with this process,
    // even when a failing test takes the process down.
    bool start();
    void stop();

  private:
    std::string name_;
    int periodFrames_;
    Daemon daemon_;
};

} // namespace sonarello::test
