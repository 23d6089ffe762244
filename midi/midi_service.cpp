#include "midi_service.h"

#include <cstdio>
#include <string>

namespace sonarello::midi
{

void sayDevice(std::string_view device, bool back)
{
    const std::string name(device);
    std::fprintf(stderr,
                 back ? "Sonarello: MIDI device \"%s\" is back\n"
                      : "Sonarello: MIDI device \"%s\" is gone; it is connected again when it "
                        "returns\n",
                 name.c_str());
}

ShortMessage shortMessageOf(const std::uint8_t* bytes, std::size_t size) noexcept
{
    if (size == 0 || size > 3)
        return 0;
    const std::uint8_t status = bytes[0];
    if (status < 0x80 || status == 0xF0 || status == 0xF1 || status == 0xF8 || status == 0xFE)
        return 0;
    return packShortMessage(status, size > 1 ? bytes[1] : 0, size > 2 ? bytes[2] : 0);
}

bool isPlayerPort(std::string_view systemName)
{
    const std::string_view client = kClientName;
    if (!systemName.starts_with(client) || systemName.size() == client.size())
        return false;
    const char next = systemName[client.size()];
    return next == ':' || next == ' ' || next == '-';
}

bool isMidiChoice(std::string_view choice)
{
    return choice == "auto" || choice == "alsa" || choice == "jack" || choice == "none";
}

std::string chooseMidiApi(std::string_view choice, bool audioOnJack, bool sequencerExists,
                          bool jackRuns)
{
    if (choice == "auto")
        return audioOnJack ? "jack" : sequencerExists ? "alsa" : jackRuns ? "jack" : "none";
    return isMidiChoice(choice) ? std::string(choice) : "none";
}

} // namespace sonarello::midi
