// The player's OSC address space: one datagram (a message or a bundle of them) read into the
// actions it asks for and the messages it refused. A pure function over bytes; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::osc
{

constexpr std::uint64_t kImmediately = 1; // the time tag that means "now"
constexpr int kMaxBundleDepth = 8;        // bundles inside bundles, the outermost counted
constexpr std::size_t kMaxMessagesPerPacket = 128;
constexpr std::string_view kPrefix = "/sonarello/";

enum class Verb : std::uint8_t
{
    Start,
    Stop,
    Toggle,
    Loop,
    Volume,
    Speed,
    Position,
    File,
    Next,
    Previous,
    State,
    StopAll,
    Panic,
    Subscribe,
    Unsubscribe,
    Counters,
};

// One message understood. `row` 1..rows for the row verbs; `value` the number it carried
// (loop 0/1, volume and speed 0..100, position in seconds, file index, reply port, 0 none).
struct Action
{
    Verb verb = Verb::Start;
    int row = 0;
    double value = 0;
    std::uint64_t timeTag = kImmediately; // of the innermost bundle that held it
};

enum class Fault : std::uint8_t
{
    Malformed,      // not OSC, truncated, or a bundle frame that does not add up
    UnknownAddress, // not one of ours
    WrongArguments, // a type or a count the address does not take, or a number out of range
    NoSuchRow,
    TooDeep, // bundles nested past kMaxBundleDepth
    TooMany, // messages past kMaxMessagesPerPacket
};

struct Refusal
{
    Fault fault = Fault::Malformed;
    std::string address; // cut to kMaxReportedAddress bytes; empty when unreadable
};

constexpr std::size_t kMaxReportedAddress = 64;

// The grid the addresses name.
struct Limits
{
    int rows = 0;
    int files = 0;
};

// What one datagram asked for, in its order. Kept between datagrams so that its vectors keep
// their room.
struct Packet
{
    std::vector<Action> actions;
    std::vector<Refusal> refusals;
    bool bundle = false;
    void clear()
    {
        actions.clear();
        refusals.clear();
        bundle = false;
    }
};

// Reads a datagram. liblo decodes each message (address, types and arguments); the frame of a
// bundle (its header, time tag and sized elements) is walked here, nested at most
// kMaxBundleDepth deep. Never throws; a button's release (a single argument 0 to a verb that
// takes none) is neither an action nor a refusal.
void readPacket(const std::uint8_t* data, std::size_t size, const Limits& limits, Packet& out);

std::string_view faultText(Fault fault);

} // namespace sonarello::osc
