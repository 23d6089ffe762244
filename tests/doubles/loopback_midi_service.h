// A MIDI service with ports that a test names: what the test pushes into an input reaches the
// handler through the same dispatch thread as the system's messages. Any thread.
#pragma once

#include "midi/midi_dispatch.h"
#include "midi/midi_service.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sonarello::midi
{

class LoopbackMidiService final : public MidiService
{
  public:
    LoopbackMidiService(std::vector<std::string> inputs, std::vector<std::string> outputs)
        : inputs_(std::move(inputs)), outputs_(std::move(outputs))
    {
        dispatcher_.setStarted(virtualSlot_, true);
    }
    ~LoopbackMidiService() override { dispatcher_.setHandler(nullptr); }

    // Into the virtual port (kVirtualPortName) or every started open input of that name;
    // waits while a queue is full, as a device's driver waits without taking a core from
    // everything else. False when no port took the message.
    bool push(std::string_view port, ShortMessage message)
    {
        std::lock_guard lock(mutex_);
        const auto post = [&](int slot)
        {
            while (dispatcher_.started(slot))
                if (dispatcher_.post(slot, message))
                    return true;
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
            return false;
        };
        bool taken = port == kVirtualPortName && post(virtualSlot_);
        for (const auto& [handle, open] : open_)
            if (open.slot >= 0 && open.name == port)
                taken = post(open.slot) || taken;
        return taken;
    }
    bool outputOpen(std::string_view name) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(open_.begin(), open_.end(),
                           [&](const auto& e)
                           { return e.second.slot < 0 && e.second.name == name; });
    }

    void setHandler(MessageHandler handler) override { dispatcher_.setHandler(std::move(handler)); }
    void setNoteStarter(sound::NoteStarter* s) override { dispatcher_.setNoteStarter(s); }
    void setRunAhead(bool ahead) override { dispatcher_.setRunAhead(ahead); }
    std::vector<std::string> inputNames() override { return inputs_; }
    std::vector<std::string> outputNames() override { return outputs_; }
    PortHandle openInput(int number) override { return open(inputs_, number, true); }
    int startInput(PortHandle input) override { return setStarted(input, true); }
    int stopInput(PortHandle input) override { return setStarted(input, false); }
    int closeInput(PortHandle input) override { return close(input, true); }
    PortHandle openOutput(int number) override { return open(outputs_, number, false); }
    int closeOutput(PortHandle output) override { return close(output, false); }
    int outputNumber(PortHandle output, int& number) override
    {
        std::lock_guard lock(mutex_);
        const Port* port = find(output, false);
        number = port ? port->number : number;
        return port ? kMidiOk : kMidiBadHandle;
    }
    std::string apiName() const override { return "loopback"; }
    // Records what is sent to an open output, by the output's name.
    bool send(PortHandle output, const std::uint8_t* bytes, std::size_t size) override
    {
        std::lock_guard lock(mutex_);
        const Port* port = find(output, false);
        if (port)
            sent_[port->name].emplace_back(bytes, bytes + size);
        return port != nullptr;
    }
    void setPadRouting(PadRouting* routing) override { dispatcher_.setPadRouting(routing); }
    std::vector<std::vector<std::uint8_t>> sent(std::string_view output) const
    {
        std::lock_guard lock(mutex_);
        const auto it = sent_.find(output);
        return it == sent_.end() ? std::vector<std::vector<std::uint8_t>>{} : it->second;
    }
    void clearSent()
    {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

  private:
    struct Port
    {
        std::string name;
        int number = 0;
        int slot = -1; // the input's dispatcher slot; -1 for an output
    };

    PortHandle open(const std::vector<std::string>& names, int number, bool input)
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
    int close(PortHandle handle, bool input)
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
    int setStarted(PortHandle input, bool started)
    {
        std::lock_guard lock(mutex_);
        const Port* port = find(input, true);
        if (port)
            dispatcher_.setStarted(port->slot, started);
        return port ? kMidiOk : kMidiBadHandle;
    }
    Port* find(PortHandle handle, bool input) // under mutex_
    {
        const auto it = open_.find(handle);
        return it != open_.end() && (it->second.slot >= 0) == input ? &it->second : nullptr;
    }

    const std::vector<std::string> inputs_;
    const std::vector<std::string> outputs_;
    MidiDispatcher dispatcher_;
    mutable std::mutex mutex_; // also makes each slot's producer one thread at a time
    std::map<PortHandle, Port> open_;
    PortHandle lastHandle_ = kNoPort;
    std::map<std::string, std::vector<std::vector<std::uint8_t>>, std::less<>> sent_; // by output
    const int virtualSlot_ = dispatcher_.claimSlot();
};

} // namespace sonarello::midi
