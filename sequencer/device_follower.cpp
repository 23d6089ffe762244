#include "device_follower.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sonarello::midi
{
namespace
{

// The present name of the port once called `portName`; empty when it is gone.
std::string presentName(const std::vector<std::string>& ports, const std::string& portName)
{
    const auto it = std::find_if(ports.begin(), ports.end(),
                                 [&](const std::string& present)
                                 { return withoutNumbers(present) == withoutNumbers(portName); });
    return it != ports.end() ? *it : std::string();
}

} // namespace

std::string_view withoutNumbers(std::string_view portName)
{
    const auto blank = portName.rfind(' ');
    return blank != std::string_view::npos &&
                   portName.find_first_not_of("0123456789:", blank + 1) == std::string_view::npos
               ? portName.substr(0, blank)
               : portName;
}

void DeviceFollower::follow(PortHandle handle, PortDirection direction, std::string portName)
{
    followed_[handle] = Followed{direction, std::move(portName), true};
}

void DeviceFollower::forget(PortHandle handle)
{
    followed_.erase(handle);
}

void DeviceFollower::portsChanged(const PresentPorts& present)
{
    for (auto& [handle, device] : followed_)
    {
        const std::string now = presentName(
            device.direction == PortDirection::Input ? present.sources : present.destinations,
            device.portName);
        // Other numbers under the same name: the device was unplugged and plugged in again
        // between two looks, and the old subscription leads nowhere.
        if (device.open && now != device.portName)
        {
            ports_.close(handle, device.direction);
            device.open = false;
            sayDevice(withoutNumbers(device.portName), false);
        }
        if (!device.open && !now.empty() && ports_.reopen(handle, device.direction, now))
        {
            device.open = true;
            device.portName = now;
            sayDevice(withoutNumbers(now), true);
        }
    }
}

} // namespace sonarello::midi
