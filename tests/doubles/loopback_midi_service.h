// A MIDI service with ports that a test names: what the test pushes into an input reaches the
// handler through the same dispatch thread as the system's messages. Any thread.
#pragma once

#include "midi/midi_dispatch.h"
#include "midi/midi_service.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::midi
{

class LoopbackMidiService final : public MidiService
{
  public:
    LoopbackMidiService(std::vector<std::string> inputs, std::vector<std::string> outputs);
    ~LoopbackMidiService() override { dispatcher_.setHandler(nullptr); }

    // Into the virtual port (kVirtualPortName) or every started open input of that name;
    // waits while a queue is full. False when no port took the message.
    bool push(std::string_view port, ShortMessage message);
    bool outputOpen(std::string_view name) const;

    void setHandler(MessageHandler handler) override { dispatcher_.setHandler(std::move(handler)); }
    void setNoteStarter(sound::NoteStarter* starter) override
    {
        dispatcher_.setNoteStarter(starter);
    }
    void setRunAhead(bool ahead) override { dispatcher_.setRunAhead(ahead); }
    std::vector<std::string> inputNames() override { return inputs_; }
    std::vector<std::string> outputNames() override { return outputs_; }
    PortHandle openInput(int number) override { return open(inputs_, number, true); }
    int startInput(PortHandle input) override { return setStarted(input, true); }
    int stopInput(PortHandle input) override { return setStarted(input, false); }
    int closeInput(PortHandle input) override { return close(input, true); }
    PortHandle openOutput(int number) override { return open(outputs_, number, false); }
    int closeOutput(PortHandle output) override { return close(output, false); }
    int outputNumber(PortHandle output, int& number) override;
    std::string apiName() const override { return "loopback"; }
    // Records what is sent to an open output, by the output's name.
    bool send(PortHandle output, const std::uint8_t* bytes, std::size_t size) override;
    void setPadRouting(PadRouting* routing) override { dispatcher_.setPadRouting(routing); }
    std::vector<std::vector<std::uint8_t>> sent(std::string_view output) const;
    void clearSent();

  private:
    struct Port
    {
        std::string name;
        int number = 0;
        int slot = -1; // the input's dispatcher slot; -1 for an output
    };

    PortHandle open(const std::vector<std::string>& names, int number, bool input);
    int close(PortHandle handle, bool input);
    int setStarted(PortHandle input, bool started);
    Port* find(PortHandle handle, bool input); // under mutex_

    const std::vector<std::string> inputs_;
    const std::vector<std::string> outputs_;
    MidiDispatcher dispatcher_;
    mutable std::mutex mutex_; // also makes each slot's producer one thread at a time
    std::map<PortHandle, Port> open_;
    PortHandle lastHandle_ = kNoPort;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> sent_;
    int virtualSlot_ = -1;
};

} // namespace sonarello::midi
