#include "command_line.h"

#include "engine/output.h"
#include "midi/midi_service.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

namespace sonarello
{

namespace
{

bool validAudio(std::string_view v)
{
    bool valid = false;
    sound::parseOutputChoice(std::string(v), valid);
    return valid;
}

// A whole decimal number of frames within the allowed range.
bool readPeriod(std::string_view v, int& frames)
{
    int value = 0;
    const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (error != std::errc() || end != v.data() + v.size() || value < kMinPeriodFrames ||
        value > kMaxPeriodFrames)
        return false;
    frames = value;
    return true;
}

// Applies one "--" option; false when it is not ours or its value is not allowed.
bool applyOption(CommandLine& line, std::string_view word)
{
    if (word == "--headless")
        line.headless = true;
    else if (word == "--help" || word == "-h")
        line.help = true;
    else if (word == "--version")
        line.version = true;
    else if (word.starts_with("--audio=") && validAudio(word.substr(8)))
        line.audio = word.substr(8);
    else if (word.starts_with("--midi=") && midi::isMidiChoice(word.substr(7)))
        line.midi = word.substr(7);
    else if (word.starts_with("--controller=") && word.size() > 13)
        line.controller = word.substr(13);
    else if (word == "--osc" || word.starts_with("--osc="))
    {
        std::string error;
        line.osc = true;
        const bool named = word.size() > 5; // "--osc=" names an address, "--osc" the default
        if ((!osc::parseListenAddress(word.substr(std::min<std::size_t>(word.size(), 6)),
                                      line.oscAddress, line.oscPort, error) ||
             (named && word.size() == 6)) &&
            line.error.empty())
            line.error = error.empty() ? "--osc= takes [ADDRESS:]PORT" : error;
    }
    else if (word.starts_with("--osc-allow="))
    {
        std::string error;
        if (!osc::parseAllowList(word.substr(12), line.oscAllow, error) && line.error.empty())
            line.error = error;
    }
    else if (word.starts_with("--period="))
    {
        if (!readPeriod(word.substr(9), line.periodFrames) && line.error.empty())
            line.error = "--period takes a number of frames from " +
                         std::to_string(kMinPeriodFrames) + " to " +
                         std::to_string(kMaxPeriodFrames) + ": " + std::string(word);
    }
    else
        return false;
    return true;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine line;
    bool namesOnly = false;
    for (const auto& word : args)
    {
        if (!namesOnly && word == "--")
            namesOnly = true;
        else if (!namesOnly && (word.starts_with("--") || word == "-h"))
        {
            if (!applyOption(line, word) && line.error.empty())
                line.error = "unknown or malformed option: " + word;
        }
        else
            line.wantedName += (line.wantedName.empty() ? "" : " ") + word;
    }
    if (!line.osc && !line.oscAllow.networks.empty() && line.error.empty())
        line.error = "--osc-allow needs --osc";
    return line;
}

std::string usageText()
{
    return R"(Usage: sonarello [OPTION]... [FILE NAME]
Live player of the .mp3 and .wav files in the current folder: every file is a row that
plays on its own stream, started and stopped with the mouse or from a MIDI instrument.

Options:
  --headless              run without a display (played from MIDI alone)
  --audio=OUTPUT          auto, jack, jack:noconnect, pulse, alsa, null or wav:FILE
                          (auto: JACK when a server runs, else PulseAudio, else ALSA)
  --midi=SYSTEM           auto, alsa, jack or none
  --period=FRAMES         frames per audio period, 64 to 4096 (default 256), asked of
                          PipeWire, PulseAudio, ALSA, null and wav; a running JACK
                          server keeps its own
  --controller=PROFILE    play from a pad controller: auto (chosen by the MIDI input's
                          port name), launchpad-mini-mk3, launchpad-x, apc-mini,
                          apc-mini-mk2, notes:N (pads sending N and up) or a profile file;
                          its pads start rows and light up with the rows' state
  --osc[=[ADDRESS:]PORT]  listen for OSC over UDP (default 127.0.0.1:38800;
                          --osc=0.0.0.0:PORT for the network)
  --osc-allow=NET,...     take OSC only from these IPv4 addresses or address/bits
  --help                  show this text and end
  --version               show the version and end
  --                      every word after it belongs to the file name

FILE NAME (the words joined with single blanks) moves the file whose path ends with it
to row 1.

Mouse, on a row's cells:
  number key, Play        left click: start the row, or stop it when it plays
  Play                    right button: start the row again from its beginning
  Loop                    left click: looping on or off
  file name               button held while moving: right steps to the next file,
                          left to the previous one (the row stops)
  Volume, Velocità        left held: follow the pointer; right: full volume / normal speed
  Posizione               left: jump to the pointer; right: one second back

MIDI: note 36 (C1) starts row 1, note 37 row 2, and so on, on any channel; Note Off or
a Note On with velocity 0 stops the row. Connect a controller to the input port
"Sonarello" (aconnect, qjackctl, Helvum) or choose it in the Setup menu.

OSC (with --osc): /sonarello/row/N/start, stop, toggle, loop 0|1, volume 0-100,
speed 0-100 (50 normal), position SECONDS, file INDEX, next, previous, state [PORT];
/sonarello/stop, panic, subscribe [PORT], unsubscribe [PORT], counters [PORT]. A bundle
with a time tag starts its rows together on the frame of that instant.
)";
}

} // namespace sonarello
