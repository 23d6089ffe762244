// Finds the chosen input and output devices again by name as the sequencer's ports come and go.
// Any thread, under the owner's lock (the observer's thread and control threads).
#pragma once

#include "midi/midi_service.h"
#include "sequencer/observer.h"

#include <map>
#include <string>
#include <string_view>

namespace sonarello::midi
{

enum class PortDirection
{
    Input,
    Output
};

// What the follower asks of the service that owns the ports: RtMidi, or a recorder in tests.
class PortReopener
{
  public:
    virtual ~PortReopener() = default;
    // Opens the followed port again under its present name; false when that failed (it is
    // tried again at the next change of the ports).
    virtual bool reopen(PortHandle handle, PortDirection direction,
                        const std::string& presentName) = 0;
    virtual void close(PortHandle handle, PortDirection direction) = 0;
};

// The sequencer's name without its numbers, which it gives anew when a device is plugged in
// again: "Pad:Pad MIDI 1 24:0" is "Pad:Pad MIDI 1".
std::string_view withoutNumbers(std::string_view portName);

class DeviceFollower
{
  public:
    explicit DeviceFollower(PortReopener& ports) : ports_(ports) {}

    // An open device, under the name the sequencer gave its port.
    void follow(PortHandle handle, PortDirection direction, std::string portName);
    void forget(PortHandle handle);
    // Says on standard error which device is gone and which is back.
    void portsChanged(const PresentPorts& present);

  private:
    struct Followed
    {
        PortDirection direction = PortDirection::Input;
        std::string portName; // with the numbers it had when last open
        bool open = true;
    };

    PortReopener& ports_;
    std::map<PortHandle, Followed> followed_;
};

} // namespace sonarello::midi
