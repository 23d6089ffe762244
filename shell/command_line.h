// Reads the command line: our "--" options, and the words of the wanted file name joined
// with single blanks. Main thread at start-up.
#pragma once

#include "osc/allow_list.h"

#include <string>
#include <vector>

namespace sonarello
{

constexpr int kDefaultPeriodFrames = 256;
constexpr int kMinPeriodFrames = 64;
constexpr int kMaxPeriodFrames = 4096;

struct CommandLine
{
    bool headless = false;
    bool help = false;
    bool version = false;
    std::string audio = "auto"; // auto | jack | jack:noconnect | pulse | alsa | null | wav:FILE
    std::string midi = "auto";  // auto | alsa | jack | none
    int periodFrames = kDefaultPeriodFrames; // asked of every output but a running jackd
    std::string controller; // auto | NAME | FILE; empty: the player's own MIDI mapping
    bool osc = false;       // --osc: listen for OSC on oscAddress:oscPort
    std::string oscAddress;
    int oscPort = 0;
    osc::AllowList oscAllow; // --osc-allow; empty: every sender that reaches the socket
    std::string wantedName;  // the file to move to entry 1; empty when none was given
    std::string error;       // why the line could not be read; empty when it could
};

// `args` are the words after the program's name. After a lone "--" every word belongs to
// the file name, so a file whose name begins with "--" can still be named.
CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

} // namespace sonarello
