#include "controllers/lights.h"

namespace sonarello::controllers
{

namespace
{

bool has(const Profile& p, Light light)
{
    return !p.lights[static_cast<std::size_t>(light)].empty();
}

} // namespace

Light lightOf(const Profile& profile, const RowView& row)
{
    if (!row.exists)
        return has(profile, Light::NoFile) ? Light::NoFile : Light::Stopped;
    if (!row.playing)
        return Light::Stopped;
    if (row.looping)
        return has(profile, Light::Looping) ? Light::Looping : Light::Playing;
    const auto endingMs = static_cast<std::uint32_t>(profile.endingSeconds) * 1000u;
    if (row.msLeft < endingMs && has(profile, Light::Ending))
        return Light::Ending;
    return Light::Playing;
}

void PadLights::resize(std::size_t pads)
{
    sent_.assign(pads, kUnknown);
    changedIn_.assign(pads, 0);
}

void PadLights::forget()
{
    std::fill(sent_.begin(), sent_.end(), kUnknown);
}

std::vector<std::size_t> PadLights::changes(const std::vector<Light>& wanted)
{
    std::vector<std::size_t> pads;
    for (std::size_t pad = 0; pad < wanted.size() && pad < sent_.size(); ++pad)
    {
        const auto light = static_cast<std::uint8_t>(wanted[pad]);
        if (sent_[pad] == light || changedIn_[pad] == tick_)
            continue;
        sent_[pad] = light;
        changedIn_[pad] = tick_;
        pads.push_back(pad);
    }
    return pads;
}

void PadLights::setElsewhere(std::size_t pad, Light light)
{
    if (pad < sent_.size())
    {
        sent_[pad] = static_cast<std::uint8_t>(light);
        changedIn_[pad] = tick_;
    }
}

void PadLights::unsent(std::size_t pad)
{
    if (pad < sent_.size())
    {
        sent_[pad] = kUnknown;
        changedIn_[pad] = 0;
    }
}

} // namespace sonarello::controllers
