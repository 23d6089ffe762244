// A MIDI service with ports that a test names: what the test pushes into an input reaches the
// handler through the same dispatch thread as the system's messages. Any thread.
#pragma once

#include "midi/midi_dispatch.h"
#include "midi/midi_service.h"

#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::midi
{

class LoopbackMidiService final : public MidiService
{
  public:
    LoopbackMidiService(std::vector<std::string> inputs, std::vector<std::string> outputs);
    ~LoopbackMidiService() override;

    // Into the virtual port (kVirtualPortName) or every started open input of that name;
    // waits while a queue is full. False when no port took the message.
    bool push(std::string_view port, ShortMessage message);
    bool outputOpen(std::string_view name) const;

    void setHandler(MessageHandler handler) override;
    void setNoteStarter(sound::NoteStarter* starter) override
    {
        dispatcher_.setNoteStarter(starter);
    }
    void setRunAhead(bool ahead) override { dispatcher_.setRunAhead(ahead); }
    std::vector<std::string> inputNames() override;
    std::vector<std::string> outputNames() override;
    PortHandle openInput(int number) override;
    int startInput(PortHandle input) override;
    int stopInput(PortHandle input) override;
    int closeInput(PortHandle input) override;
    PortHandle openOutput(int number) override;
    int closeOutput(PortHandle output) override;
    int outputNumber(PortHandle output, int& number) override;
    std::string apiName() const override { return "loopback"; }
    // Records what is sent to an open output, by the output's name.
    bool send(PortHandle output, const std::uint8_t* bytes, std::size_t size) override;
    void setPadRouting(PadRouting* routing) override { dispatcher_.setPadRouting(routing); }
    std::vector<std::vector<std::uint8_t>> sent(std::string_view output) const;
    void clearSent();

  private:
    struct OpenPort
    {
        std::string name;
        int number = 0;
        int slot = -1;
    };

    MidiDispatcher dispatcher_;
    mutable std::shared_mutex mutex_; // shared while pushing, exclusive to change the ports
    std::array<std::mutex, kMaxInputSlots> slotMutex_; // one producer per slot at a time
    std::vector<std::string> inputs_;
    std::vector<std::string> outputs_;
    std::map<PortHandle, OpenPort> openInputs_;
    std::map<PortHandle, OpenPort> openOutputs_;
    PortHandle lastHandle_ = kNoPort;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> sent_;
    int virtualSlot_ = -1;
};

} // namespace sonarello::midi
