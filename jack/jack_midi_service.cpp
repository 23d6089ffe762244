#include "jack_midi_service.h"

#include "session.h"

#include "midi/midi_dispatch.h"
#include "midi/midi_service.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace sonarello::midi
{
namespace
{

constexpr auto kFlushWait = std::chrono::milliseconds(500);

class JackMidiService final : public MidiService
{
  public:
    JackMidiService()
    {
        slot_ = dispatcher_.claimSlot();
        dispatcher_.setStarted(slot_, true);
        jack::Session::instance().openMidi(dispatcher_, slot_);
    }

    ~JackMidiService() override
    {
        jack::Session::instance().closeMidi();
        dispatcher_.setHandler(nullptr);
    }

    void setHandler(MessageHandler handler) override { dispatcher_.setHandler(std::move(handler)); }
    void setNoteStarter(sound::NoteStarter* starter) override
    {
        dispatcher_.setNoteStarter(starter);
    }
    void setRunAhead(bool ahead) override { dispatcher_.setRunAhead(ahead); }

    std::vector<std::string> inputNames() override
    {
        return jack::Session::instance().midiPorts(true);
    }
    std::vector<std::string> outputNames() override
    {
        return jack::Session::instance().midiPorts(false);
    }

    PortHandle openInput(int number) override
    {
        const auto names = inputNames();
        if (number < 0 || number >= static_cast<int>(names.size()))
            return kNoPort;
        std::lock_guard lock(mutex_);
        inputs_[++lastHandle_] = {names[static_cast<std::size_t>(number)], number};
        return lastHandle_;
    }

    int startInput(PortHandle input) override { return link(inputs_, input, true, true); }
    int stopInput(PortHandle input) override { return link(inputs_, input, true, false); }

    int closeInput(PortHandle input) override
    {
        const int result = link(inputs_, input, true, false);
        std::lock_guard lock(mutex_);
        inputs_.erase(input);
        return result;
    }

    PortHandle openOutput(int number) override
    {
        const auto names = outputNames();
        if (number < 0 || number >= static_cast<int>(names.size()) ||
            !jack::Session::instance().connectMidi(names[static_cast<std::size_t>(number)], false))
            return kNoPort;
        std::lock_guard lock(mutex_);
        outputs_[++lastHandle_] = {names[static_cast<std::size_t>(number)], number};
        return lastHandle_;
    }

    int closeOutput(PortHandle output) override
    {
        const int result = link(outputs_, output, false, false);
        std::lock_guard lock(mutex_);
        outputs_.erase(output);
        return result;
    }

    int outputNumber(PortHandle output, int& number) override
    {
        std::lock_guard lock(mutex_);
        const auto it = outputs_.find(output);
        if (it == outputs_.end())
            return kMidiBadHandle;
        number = it->second.number;
        return kMidiOk;
    }

    std::string apiName() const override { return "jack"; }

    // Everything connected to midi_out hears it: the chosen output, or what the patchbay added.
    bool send(PortHandle, const std::uint8_t* bytes, std::size_t size) override
    {
        return jack::Session::instance().sendMidi(bytes, size);
    }
    void flushOutput() override
    {
        const auto until = std::chrono::steady_clock::now() + kFlushWait;
        while (!jack::Session::instance().midiSent() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        // The last cycle's buffer must reach its readers: one more period passes.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    void setPadRouting(PadRouting* routing) override
    {
        dispatcher_.setPadRouting(routing);
        jack::Session::instance().setPadRouting(routing);
    }
    std::vector<std::string> connectedSources() override
    {
        return jack::Session::instance().midiInSources();
    }

  private:
    struct Port
    {
        std::string name;
        int number = 0;
    };

    int link(const std::map<PortHandle, Port>& ports, PortHandle handle, bool source, bool on)
    {
        std::string name;
        {
            std::lock_guard lock(mutex_);
            const auto it = ports.find(handle);
            if (it == ports.end())
                return kMidiBadHandle;
            name = it->second.name;
        }
        if (on)
            jack::Session::instance().connectMidi(name, source);
        else
            jack::Session::instance().disconnectMidi(name, source);
        return kMidiOk;
    }

    MidiDispatcher dispatcher_;
    int slot_ = -1;
    std::mutex mutex_;
    std::map<PortHandle, Port> inputs_;
    std::map<PortHandle, Port> outputs_;
    PortHandle lastHandle_ = kNoPort;
};

} // namespace

std::unique_ptr<MidiService> createJackMidiService()
{
    return std::make_unique<JackMidiService>();
}

} // namespace sonarello::midi
