// Who may send to the player: IPv4 networks given as addresses or address/bits, and where it
// listens. Read at start-up on the main thread; allows() on the OSC thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::osc
{

// Not a default port of QLab (53000), TouchOSC (8000, 9000), Companion (12321), Open Stage
// Control (8080), Resolume (7000), Eos (3032, 8000), X32 (10023), Ardour (3819) or SuperCollider
// (57120).
constexpr int kDefaultPort = 38800;
constexpr std::string_view kDefaultAddress = "127.0.0.1";

struct Network
{
    std::uint32_t address = 0; // host order, the bits under the mask only
    std::uint32_t mask = 0;
};

// Empty: every sender that reaches the socket.
struct AllowList
{
    std::vector<Network> networks;
    bool allows(std::uint32_t address) const; // host order
};

// "NET[,NET...]", each NET an IPv4 address or address/bits; false with the reason.
bool parseAllowList(std::string_view text, AllowList& list, std::string& error);

// Where to listen: "" (the default address and port), "PORT" or "ADDRESS:PORT"; false with the
// reason. Port 0 lets the system choose.
bool parseListenAddress(std::string_view text, std::string& address, int& port, std::string& error);

// An IPv4 address in dotted form, host order; false when it is not one.
bool parseIPv4(std::string_view text, std::uint32_t& address);

} // namespace sonarello::osc
