#include "doubles/loopback_midi_service.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sonarello::midi
{

LoopbackMidiService::LoopbackMidiService(std::vector<std::string> inputs,
                                         std::vector<std::string> outputs)
    : inputs_(std::move(inputs)), outputs_(std::move(outputs))
{
    virtualSlot_ = dispatcher_.claimSlot();
    dispatcher_.setStarted(virtualSlot_, true);
}

bool LoopbackMidiService::push(std::string_view port, ShortMessage message)
{
    std::lock_guard lock(mutex_);
    const auto post = [&](int slot)
    {
        while (dispatcher_.started(slot))
        {
            if (dispatcher_.post(slot, message))
                return true;
            // The queue is full: the dispatch thread is behind. A device's driver waits
            // without taking a core from everything else, as this does.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return false;
    };
    bool taken = port == kVirtualPortName && post(virtualSlot_);
    for (const auto& [handle, open] : open_)
        if (open.slot >= 0 && open.name == port)
            taken = post(open.slot) || taken;
    return taken;
}

bool LoopbackMidiService::outputOpen(std::string_view name) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(open_.begin(), open_.end(),
                       [&](const auto& entry)
                       { return entry.second.slot < 0 && entry.second.name == name; });
}

int LoopbackMidiService::outputNumber(PortHandle output, int& number)
{
    std::lock_guard lock(mutex_);
    const Port* port = find(output, false);
    if (port == nullptr)
        return kMidiBadHandle;
    number = port->number;
    return kMidiOk;
}

PortHandle LoopbackMidiService::open(const std::vector<std::string>& names, int number, bool input)
{
    std::lock_guard lock(mutex_);
    if (number < 0 || static_cast<std::size_t>(number) >= names.size())
        return kNoPort;
    const int slot = input ? dispatcher_.claimSlot() : -1;
    if (input && slot < 0)
        return kNoPort;
    open_[++lastHandle_] = {names[static_cast<std::size_t>(number)], number, slot};
    return lastHandle_;
}

int LoopbackMidiService::close(PortHandle handle, bool input)
{
    std::lock_guard lock(mutex_);
    const Port* port = find(handle, input);
    if (port == nullptr)
        return kMidiBadHandle;
    if (input)
        dispatcher_.releaseSlot(port->slot);
    open_.erase(handle);
    return kMidiOk;
}

int LoopbackMidiService::setStarted(PortHandle input, bool started)
{
    std::lock_guard lock(mutex_);
    const Port* port = find(input, true);
    if (port == nullptr)
        return kMidiBadHandle;
    dispatcher_.setStarted(port->slot, started);
    return kMidiOk;
}

LoopbackMidiService::Port* LoopbackMidiService::find(PortHandle handle, bool input)
{
    const auto it = open_.find(handle);
    return it != open_.end() && (it->second.slot >= 0) == input ? &it->second : nullptr;
}

bool LoopbackMidiService::send(PortHandle output, const std::uint8_t* bytes, std::size_t size)
{
    std::lock_guard lock(mutex_);
    const Port* port = find(output, false);
    if (port == nullptr)
        return false;
    sent_.emplace_back(port->name, std::vector<std::uint8_t>(bytes, bytes + size));
    return true;
}

std::vector<std::vector<std::uint8_t>> LoopbackMidiService::sent(std::string_view output) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::vector<std::uint8_t>> messages;
    for (const auto& [name, bytes] : sent_)
        if (name == output)
            messages.push_back(bytes);
    return messages;
}

void LoopbackMidiService::clearSent()
{
    std::lock_guard lock(mutex_);
    sent_.clear();
}

} // namespace sonarello::midi
