#include "output.h"

namespace sonarello::sound
{

std::optional<OutputChoice> parseOutputChoice(const std::string& text, bool& valid)
{
    valid = true;
    OutputChoice choice;
    if (text == "auto" || text.empty())
        return std::nullopt;
    if (text == "jack" || text == "jack:noconnect")
    {
        choice.kind = OutputKind::Jack;
        choice.connect = text == "jack";
    }
    else if (text == "pulse")
        choice.kind = OutputKind::Pulse;
    else if (text == "alsa")
        choice.kind = OutputKind::Alsa;
    else if (text == "null")
        choice.kind = OutputKind::Null;
    else if (text.rfind("wav:", 0) == 0 && text.size() > 4)
    {
        choice.kind = OutputKind::Wav;
        choice.wavPath = text.substr(4);
    }
    else
    {
        valid = false;
        return std::nullopt;
    }
    return choice;
}

} // namespace sonarello::sound
