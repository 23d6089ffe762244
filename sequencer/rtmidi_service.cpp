#include "sequencer_service.h"

#include "midi/midi_dispatch.h"
#include "midi/midi_service.h"
#include "sequencer/device_follower.h"
#include "sequencer/observer.h"

#include <RtMidi.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sonarello::midi
{
namespace
{

constexpr const char* kSequencerDevice = "/dev/snd/seq";

const std::string kInputClient = std::string(kClientName) + " in";
const std::string kOutputClient = std::string(kClientName) + " out";
const std::string kListClient = std::string(kClientName) + " list";

// Where an input's library callback posts its messages. Outlives the RtMidiIn that calls it.
struct Route
{
    MidiDispatcher* dispatcher = nullptr;
    int slot = -1;
    std::atomic<bool> failed{false};
};

// MIDI library thread
void onRtMidiMessage(double, std::vector<unsigned char>* bytes, void* user) noexcept
{
    const auto* route = static_cast<const Route*>(user);
    const ShortMessage message = bytes ? shortMessageOf(bytes->data(), bytes->size()) : 0;
    if (message != 0)
        route->dispatcher->post(route->slot, message);
}

// Any thread RtMidi reports from: with a callback set, RtMidi throws nothing; failures are
// read back from the flag.
void onRtMidiError(RtMidiError::Type type, const std::string&, void* user) noexcept
{
    if (user != nullptr && type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
        static_cast<Route*>(user)->failed.store(true);
}

template <typename T> std::unique_ptr<T> makeRtMidi(RtMidi::Api api, const std::string& client)
{
    try
    {
        auto midi = std::make_unique<T>(api, client);
        midi->setErrorCallback(&onRtMidiError, nullptr);
        return midi;
    }
    catch (...)
    {
        return nullptr;
    }
}

// The system's ports that are not the player's, with RtMidi's own numbers.
std::vector<std::pair<unsigned, std::string>> foreignPorts(RtMidi& midi)
{
    std::vector<std::pair<unsigned, std::string>> ports;
    try
    {
        const unsigned count = midi.getPortCount();
        for (unsigned i = 0; i < count; ++i)
        {
            std::string name = midi.getPortName(i);
            if (!name.empty() && !isPlayerPort(name))
                ports.emplace_back(i, std::move(name));
        }
    }
    catch (...)
    {
    }
    return ports;
}

class RtMidiService final : public MidiService, private PortReopener
{
  public:
    explicit RtMidiService(std::string api) : apiName_(std::move(api)), follower_(*this)
    {
        api_ = apiName_ == "alsa" ? RtMidi::LINUX_ALSA : RtMidi::RTMIDI_DUMMY;
        if (api_ == RtMidi::RTMIDI_DUMMY)
            return;
        virtual_.dispatcher = &dispatcher_;
        virtual_.slot = dispatcher_.claimSlot();
        dispatcher_.setStarted(virtual_.slot, true);
        std::lock_guard lock(mutex_);
        openVirtualPort();
        if (!available())
            return;
        if (auto announces = openSequencerAnnounces())
            observer_ =
                std::make_unique<SequencerObserver>(std::move(announces),
                                                    [this](const PresentPorts& present)
                                                    {
                                                        std::lock_guard observerLock(mutex_);
                                                        follower_.portsChanged(present);
                                                    });
    }

    ~RtMidiService() override
    {
        observer_.reset(); // takes mutex_ while it runs
        dispatcher_.setHandler(nullptr);
        std::lock_guard lock(mutex_);
        virtualIn_.reset();
        inputs_.clear();
        outputs_.clear();
    }

    void setHandler(MessageHandler handler) override { dispatcher_.setHandler(std::move(handler)); }
    void setNoteStarter(sound::NoteStarter* starter) override
    {
        dispatcher_.setNoteStarter(starter);
    }
    void setRunAhead(bool ahead) override { dispatcher_.setRunAhead(ahead); }
    void setPadRouting(PadRouting* routing) override { dispatcher_.setPadRouting(routing); }

    // A gone device (out is empty until it returns) takes nothing.
    bool send(PortHandle handle, const std::uint8_t* bytes, std::size_t size) override
    {
        std::lock_guard lock(mutex_);
        const auto it = outputs_.find(handle);
        if (it == outputs_.end() || !it->second->out)
            return false;
        try
        {
            it->second->out->sendMessage(bytes, size);
            return true;
        }
        catch (...)
        {
            return false;
        }
    }

    std::vector<std::string> inputNames() override { return names<RtMidiIn>(); }
    std::vector<std::string> outputNames() override { return names<RtMidiOut>(); }

    PortHandle openInput(int number) override
    {
        std::lock_guard lock(mutex_);
        if (!available() || number < 0)
            return kNoPort;
        auto input = std::make_unique<Input>();
        input->route.dispatcher = &dispatcher_;
        input->route.slot = dispatcher_.claimSlot();
        if (input->route.slot < 0)
            return kNoPort;
        input->number = number;
        std::string portName = connectInput(*input, number, {});
        if (portName.empty())
        {
            dispatcher_.releaseSlot(input->route.slot);
            return kNoPort;
        }
        inputs_[++lastHandle_] = std::move(input);
        follower_.follow(lastHandle_, PortDirection::Input, std::move(portName));
        return lastHandle_;
    }

    int startInput(PortHandle handle) override { return setStarted(handle, true); }
    int stopInput(PortHandle handle) override { return setStarted(handle, false); }

    int closeInput(PortHandle handle) override
    {
        std::lock_guard lock(mutex_);
        const auto it = inputs_.find(handle);
        if (it == inputs_.end())
            return kMidiBadHandle;
        it->second->in.reset(); // no callback after this
        dispatcher_.releaseSlot(it->second->route.slot);
        inputs_.erase(it);
        follower_.forget(handle);
        return kMidiOk;
    }

    PortHandle openOutput(int number) override
    {
        std::lock_guard lock(mutex_);
        if (!available() || number < 0)
            return kNoPort;
        auto output = std::make_unique<Output>();
        output->number = number;
        std::string portName = connectOutput(*output, number, {});
        if (portName.empty())
            return kNoPort;
        outputs_[++lastHandle_] = std::move(output);
        follower_.follow(lastHandle_, PortDirection::Output, std::move(portName));
        return lastHandle_;
    }

    int closeOutput(PortHandle handle) override
    {
        std::lock_guard lock(mutex_);
        if (outputs_.erase(handle) != 1)
            return kMidiBadHandle;
        follower_.forget(handle);
        return kMidiOk;
    }

    int outputNumber(PortHandle handle, int& number) override
    {
        std::lock_guard lock(mutex_);
        const auto it = outputs_.find(handle);
        if (it == outputs_.end())
            return kMidiBadHandle;
        number = it->second->number;
        return kMidiOk;
    }

    std::string apiName() const override { return apiName_; }

  private:
    struct Input
    {
        Route route;
        int number = 0;
        std::unique_ptr<RtMidiIn> in; // none while the device is gone
    };
    struct Output
    {
        int number = 0;
        std::unique_ptr<RtMidiOut> out;
    };

    // Observer thread, under mutex_ (the follower is called there).
    bool reopen(PortHandle handle, PortDirection direction, const std::string& presentName) override
    {
        if (direction == PortDirection::Input)
        {
            const auto it = inputs_.find(handle);
            return it != inputs_.end() &&
                   !connectInput(*it->second, it->second->number, presentName).empty();
        }
        const auto it = outputs_.find(handle);
        return it != outputs_.end() &&
               !connectOutput(*it->second, it->second->number, presentName).empty();
    }

    void close(PortHandle handle, PortDirection direction) override
    {
        if (direction == PortDirection::Input)
        {
            if (const auto it = inputs_.find(handle); it != inputs_.end())
                it->second->in.reset();
        }
        else if (const auto it = outputs_.find(handle); it != outputs_.end())
            it->second->out.reset();
    }

    // Under mutex_. While the sequencer exists: asking RtMidi without it costs two lines on
    // standard error and an exception.
    bool available() const
    {
        return api_ == RtMidi::LINUX_ALSA && ::access(kSequencerDevice, F_OK) == 0;
    }

    // The system's ports that are not the player's, through a client opened for the asking.
    template <typename T> std::vector<std::string> names()
    {
        std::lock_guard lock(mutex_);
        if (!available())
            return {};
        const auto lister = makeRtMidi<T>(api_, kListClient);
        std::vector<std::string> list;
        if (lister)
            for (auto& [index, name] : foreignPorts(*lister))
                list.push_back(std::move(name));
        return list;
    }

    // The port with our number, or with this name when a name is given.
    static bool findPort(const std::vector<std::pair<unsigned, std::string>>& ports, int number,
                         const std::string& name, unsigned& index, std::string& found)
    {
        for (std::size_t i = 0; i < ports.size(); ++i)
        {
            if (name.empty() ? static_cast<int>(i) == number : ports[i].second == name)
            {
                index = ports[i].first;
                found = ports[i].second;
                return true;
            }
        }
        return false;
    }

    // Under mutex_: the name of the port now open, empty when none could be.
    std::string connectInput(Input& input, int number, const std::string& name)
    {
        auto in = makeRtMidi<RtMidiIn>(api_, kInputClient);
        unsigned index = 0;
        std::string found;
        if (!in || !findPort(foreignPorts(*in), number, name, index, found))
            return {};
        try
        {
            in->setErrorCallback(&onRtMidiError, &input.route);
            in->ignoreTypes(true, true, true);
            in->setCallback(&onRtMidiMessage, &input.route);
            input.route.failed.store(false);
            in->openPort(index, "in");
            if (input.route.failed.load() || !in->isPortOpen())
                return {};
        }
        catch (...)
        {
            return {};
        }
        input.in = std::move(in);
        return found;
    }

    std::string connectOutput(Output& output, int number, const std::string& name)
    {
        unsigned index = 0;
        std::string found;
        auto out = makeRtMidi<RtMidiOut>(api_, kOutputClient);
        if (!out || !findPort(foreignPorts(*out), number, name, index, found))
            return {};
        try
        {
            out->openPort(index, "out");
            if (!out->isPortOpen())
                return {};
        }
        catch (...)
        {
            return {};
        }
        output.out = std::move(out);
        return found;
    }

    void openVirtualPort()
    {
        if (!available())
            return;
        auto in = makeRtMidi<RtMidiIn>(api_, kClientName);
        if (!in)
            return;
        try
        {
            in->setErrorCallback(&onRtMidiError, &virtual_);
            in->ignoreTypes(true, true, true);
            in->setCallback(&onRtMidiMessage, &virtual_);
            virtual_.failed.store(false);
            in->openVirtualPort(kVirtualPortName);
            if (!virtual_.failed.load())
                virtualIn_ = std::move(in);
        }
        catch (...)
        {
        }
    }

    int setStarted(PortHandle handle, bool started)
    {
        std::lock_guard lock(mutex_);
        const auto it = inputs_.find(handle);
        if (it == inputs_.end())
            return kMidiBadHandle;
        dispatcher_.setStarted(it->second->route.slot, started);
        return kMidiOk;
    }

    std::string apiName_;
    RtMidi::Api api_ = RtMidi::RTMIDI_DUMMY;
    MidiDispatcher dispatcher_;

    std::mutex mutex_;
    Route virtual_;
    std::unique_ptr<RtMidiIn> virtualIn_;
    std::map<PortHandle, std::unique_ptr<Input>> inputs_;
    std::map<PortHandle, std::unique_ptr<Output>> outputs_;
    PortHandle lastHandle_ = kNoPort;
    DeviceFollower follower_;
    std::unique_ptr<SequencerObserver> observer_; // none without a sequencer
};

} // namespace

bool sequencerExists()
{
    return ::access(kSequencerDevice, F_OK) == 0;
}

std::unique_ptr<MidiService> createSequencerService(std::string_view api)
{
    return std::make_unique<RtMidiService>(std::string(api));
}

} // namespace sonarello::midi
