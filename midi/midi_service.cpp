#include "midi_service.h"

namespace sonarello::midi
{

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
