#include "doubles/loopback_midi_service.h"

#include <algorithm>
#include <mutex>
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

LoopbackMidiService::~LoopbackMidiService()
{
    dispatcher_.setHandler(nullptr);
}

bool LoopbackMidiService::push(std::string_view port, ShortMessage message)
{
    std::shared_lock lock(mutex_);
    std::vector<int> slots;
    if (port == kVirtualPortName)
        slots.push_back(virtualSlot_);
    for (const auto& [handle, open] : openInputs_)
        if (open.name == port)
            slots.push_back(open.slot);

    bool taken = false;
    for (const int slot : slots)
    {
        std::lock_guard producer(slotMutex_[static_cast<std::size_t>(slot)]);
        while (dispatcher_.started(slot))
        {
            if (dispatcher_.post(slot, message))
            {
                taken = true;
                break;
            }
            std::this_thread::yield(); // the queue is full: the dispatch thread is behind
        }
    }
    return taken;
}

bool LoopbackMidiService::outputOpen(std::string_view name) const
{
    std::shared_lock lock(mutex_);
    return std::any_of(openOutputs_.begin(), openOutputs_.end(),
                       [&](const auto& entry) { return entry.second.name == name; });
}

void LoopbackMidiService::setHandler(MessageHandler handler)
{
    dispatcher_.setHandler(std::move(handler));
}

std::vector<std::string> LoopbackMidiService::inputNames()
{
    std::shared_lock lock(mutex_);
    return inputs_;
}

std::vector<std::string> LoopbackMidiService::outputNames()
{
    std::shared_lock lock(mutex_);
    return outputs_;
}

PortHandle LoopbackMidiService::openInput(int number)
{
    std::unique_lock lock(mutex_);
    if (number < 0 || static_cast<std::size_t>(number) >= inputs_.size())
        return kNoPort;
    const int slot = dispatcher_.claimSlot();
    if (slot < 0)
        return kNoPort;
    openInputs_[++lastHandle_] = {inputs_[static_cast<std::size_t>(number)], number, slot};
    return lastHandle_;
}

int LoopbackMidiService::startInput(PortHandle input)
{
    std::unique_lock lock(mutex_);
    const auto it = openInputs_.find(input);
    if (it == openInputs_.end())
        return kMidiBadHandle;
    dispatcher_.setStarted(it->second.slot, true);
    return kMidiOk;
}

int LoopbackMidiService::stopInput(PortHandle input)
{
    std::unique_lock lock(mutex_);
    const auto it = openInputs_.find(input);
    if (it == openInputs_.end())
        return kMidiBadHandle;
    dispatcher_.setStarted(it->second.slot, false);
    return kMidiOk;
}

int LoopbackMidiService::closeInput(PortHandle input)
{
    std::unique_lock lock(mutex_);
    const auto it = openInputs_.find(input);
    if (it == openInputs_.end())
        return kMidiBadHandle;
    dispatcher_.releaseSlot(it->second.slot);
    openInputs_.erase(it);
    return kMidiOk;
}

PortHandle LoopbackMidiService::openOutput(int number)
{
    std::unique_lock lock(mutex_);
    if (number < 0 || static_cast<std::size_t>(number) >= outputs_.size())
        return kNoPort;
    openOutputs_[++lastHandle_] = {outputs_[static_cast<std::size_t>(number)], number, -1};
    return lastHandle_;
}

int LoopbackMidiService::closeOutput(PortHandle output)
{
    std::unique_lock lock(mutex_);
    return openOutputs_.erase(output) == 1 ? kMidiOk : kMidiBadHandle;
}

int LoopbackMidiService::outputNumber(PortHandle output, int& number)
{
    std::shared_lock lock(mutex_);
    const auto it = openOutputs_.find(output);
    if (it == openOutputs_.end())
        return kMidiBadHandle;
    number = it->second.number;
    return kMidiOk;
}

bool LoopbackMidiService::send(PortHandle output, const std::uint8_t* bytes, std::size_t size)
{
    std::unique_lock lock(mutex_);
    const auto it = openOutputs_.find(output);
    if (it == openOutputs_.end())
        return false;
    sent_.emplace_back(it->second.name, std::vector<std::uint8_t>(bytes, bytes + size));
    return true;
}

std::vector<std::vector<std::uint8_t>> LoopbackMidiService::sent(std::string_view output) const
{
    std::shared_lock lock(mutex_);
    std::vector<std::vector<std::uint8_t>> messages;
    for (const auto& [name, bytes] : sent_)
        if (name == output)
            messages.push_back(bytes);
    return messages;
}

void LoopbackMidiService::clearSent()
{
    std::unique_lock lock(mutex_);
    sent_.clear();
}

} // namespace sonarello::midi
