#include "jack_midi_service.h"

#include "session.h"

#include "midi/midi_dispatch.h"
#include "midi/midi_service.h"

#include <map>
#include <mutex>

namespace sonarello::midi
{
namespace
{

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
