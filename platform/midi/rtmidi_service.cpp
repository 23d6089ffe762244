// The MIDI service over RtMidi: ALSA sequencer or JACK MIDI. Every RtMidi call is wrapped:
// its exceptions become "no port". With JACK a watchdog thread opens the virtual port and
// the chosen ports again when the server stops and returns.
#include "platform/midi/midi_dispatch.h"
#include "platform/midi/midi_service.h"
#include "platform/raii.h"

#include <RtMidi.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sonarello::midi
{
namespace
{

using namespace std::chrono_literals;

constexpr const char* kSequencerDevice = "/dev/snd/seq";
constexpr auto kWatchdogPeriod = 100ms;
constexpr auto kReconnectWindow = 1500ms; // after a port came or went
constexpr auto kBlindRetryPeriod = 1s;    // reconnect attempts where the server leaves no socket
constexpr std::size_t kMaxShortMessageBytes = 3;
constexpr unsigned char kFirstStatusByte = 0x80;
constexpr unsigned char kSysExStart = 0xF0;

const std::string kInputClient = std::string(kClientName) + " in";
const std::string kOutputClient = std::string(kClientName) + " out";
const std::string kListClient = std::string(kClientName) + " list";
const std::string kWatchClient = std::string(kClientName) + " watch";

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
    if (bytes == nullptr || bytes->empty() || bytes->size() > kMaxShortMessageBytes)
        return;
    const unsigned char status = (*bytes)[0];
    // A stray data byte has no status to belong to; system exclusive is not ours.
    if (status < kFirstStatusByte || status == kSysExStart)
        return;
    const int data1 = bytes->size() > 1 ? (*bytes)[1] : 0;
    const int data2 = bytes->size() > 2 ? (*bytes)[2] : 0;
    route->dispatcher->post(route->slot, packShortMessage(status, data1, data2));
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

using JackClient = std::unique_ptr<jack_client_t, Deleter<jack_client_close>>;

void quietJackMessage(const char*) {}
void printJackMessage(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
}

std::string jackServerName()
{
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name != nullptr && *name != '\0' ? name : "default";
}

// The server's socket where jackd keeps it; PipeWire's JACK has none.
bool jackSocketExists()
{
    const std::string file = "/jack_" + jackServerName() + "_" + std::to_string(::getuid()) + "_0";
    return ::access(("/dev/shm" + file).c_str(), F_OK) == 0 ||
           ::access(("/tmp" + file).c_str(), F_OK) == 0;
}

bool jackServerRuns()
{
    // Only at start-up, on the main thread: the probe's failure is not worth four lines of
    // the JACK library on standard error.
    jack_set_error_function(&quietJackMessage);
    const JackClient probe(jack_client_open(kWatchClient.c_str(), JackNoStartServer, nullptr));
    jack_set_error_function(&printJackMessage);
    return probe != nullptr;
}

// An output of ours held open on JACK, connected to the chosen port and sending nothing.
// RtMidi's JACK output frees its buffer before it closes its client, whose last period can
// then read freed memory; closing this client first stops its thread.
class JackHeldOutput
{
  public:
    static std::unique_ptr<JackHeldOutput> open(const std::string& destination)
    {
        auto held = std::make_unique<JackHeldOutput>();
        held->client_.reset(jack_client_open(kOutputClient.c_str(), JackNoStartServer, nullptr));
        if (!held->client_)
            return nullptr;
        jack_client_t* client = held->client_.get();
        held->port_ =
            jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (held->port_ == nullptr)
            return nullptr;
        jack_set_process_callback(client, &JackHeldOutput::process, held.get());
        if (jack_activate(client) != 0 ||
            jack_connect(client, jack_port_name(held->port_), destination.c_str()) != 0)
            return nullptr;
        return held;
    }

  private:
    // JACK thread: an output port's buffer must be emptied in every period.
    static int process(jack_nframes_t frames, void* self) noexcept
    {
        jack_midi_clear_buffer(
            jack_port_get_buffer(static_cast<JackHeldOutput*>(self)->port_, frames));
        return 0;
    }

    JackClient client_;
    jack_port_t* port_ = nullptr;
};

class RtMidiService final : public MidiService
{
  public:
    explicit RtMidiService(std::string api) : apiName_(std::move(api))
    {
        api_ = apiName_ == "alsa"   ? RtMidi::LINUX_ALSA
               : apiName_ == "jack" ? RtMidi::UNIX_JACK
                                    : RtMidi::RTMIDI_DUMMY;
        if (api_ == RtMidi::RTMIDI_DUMMY)
            return;
        virtual_.dispatcher = &dispatcher_;
        virtual_.slot = dispatcher_.claimSlot();
        dispatcher_.setStarted(virtual_.slot, true);
        if (api_ == RtMidi::UNIX_JACK)
            connectWatch();
        {
            std::lock_guard lock(mutex_);
            openVirtualPort();
        }
        if (api_ == RtMidi::UNIX_JACK)
            watchdog_ = std::thread([this] { watch(); });
    }

    ~RtMidiService() override
    {
        if (watchdog_.joinable())
        {
            {
                std::lock_guard lock(mutex_);
                stopping_ = true;
            }
            wakeWatchdog_.notify_one();
            watchdog_.join();
        }
        dispatcher_.setHandler(nullptr);
        std::lock_guard lock(mutex_);
        virtualIn_.reset();
        inputs_.clear();
        outputs_.clear();
        watchClient_.reset(); // its callbacks reach into this object
    }

    void setHandler(MessageHandler handler) override { dispatcher_.setHandler(std::move(handler)); }
    void setNoteStarter(sound::NoteStarter* starter) override
    {
        dispatcher_.setNoteStarter(starter);
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
        if (!connectInput(*input, number, {}))
        {
            dispatcher_.releaseSlot(input->route.slot);
            return kNoPort;
        }
        inputs_[++lastHandle_] = std::move(input);
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
        return kMidiOk;
    }

    PortHandle openOutput(int number) override
    {
        std::lock_guard lock(mutex_);
        if (!available() || number < 0)
            return kNoPort;
        auto output = std::make_unique<Output>();
        output->number = number;
        if (!connectOutput(*output, number, {}))
            return kNoPort;
        outputs_[++lastHandle_] = std::move(output);
        return lastHandle_;
    }

    int closeOutput(PortHandle handle) override
    {
        std::lock_guard lock(mutex_);
        return outputs_.erase(handle) == 1 ? kMidiOk : kMidiBadHandle;
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
        std::string portName;         // the system's name, to find the port again
        std::unique_ptr<RtMidiIn> in; // empty while the JACK server is away
    };
    struct Output
    {
        int number = 0;
        std::string portName;
        std::unique_ptr<RtMidiOut> out; // ALSA
        std::unique_ptr<JackHeldOutput> jackOut;
        bool open() const { return out || jackOut; }
    };

    // Under mutex_. ALSA while the sequencer exists (asking RtMidi without it costs two
    // lines on standard error and an exception), JACK while the server answers.
    bool available() const
    {
        switch (api_)
        {
        case RtMidi::LINUX_ALSA:
            return ::access(kSequencerDevice, F_OK) == 0;
        case RtMidi::UNIX_JACK:
            return serverUp_;
        default:
            return false;
        }
    }

    // Under mutex_: the system's ports that are not the player's, with RtMidi's numbers. On
    // JACK they are read with our watch client; no RtMidiOut is made there (see JackHeldOutput).
    template <typename T> std::vector<std::pair<unsigned, std::string>> systemPorts()
    {
        if (!available())
            return {};
        if (api_ == RtMidi::UNIX_JACK)
        {
            constexpr bool kSources = std::is_same_v<T, RtMidiIn>;
            std::vector<std::pair<unsigned, std::string>> ports;
            const char** names = jack_get_ports(watchClient_.get(), nullptr, JACK_DEFAULT_MIDI_TYPE,
                                                kSources ? JackPortIsOutput : JackPortIsInput);
            for (unsigned i = 0; names != nullptr && names[i] != nullptr; ++i)
                if (!isPlayerPort(names[i]))
                    ports.emplace_back(i, names[i]);
            jack_free(static_cast<void*>(names));
            return ports;
        }
        const auto lister = makeRtMidi<T>(api_, kListClient);
        return lister ? foreignPorts(*lister) : std::vector<std::pair<unsigned, std::string>>{};
    }

    template <typename T> std::vector<std::string> names()
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> list;
        for (auto& [index, name] : systemPorts<T>())
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

    // Under mutex_.
    bool connectInput(Input& input, int number, const std::string& name)
    {
        auto in = makeRtMidi<RtMidiIn>(api_, kInputClient);
        unsigned index = 0;
        std::string found;
        if (!in || !findPort(foreignPorts(*in), number, name, index, found))
            return false;
        try
        {
            in->setErrorCallback(&onRtMidiError, &input.route);
            in->ignoreTypes(true, true, true);
            in->setCallback(&onRtMidiMessage, &input.route);
            input.route.failed.store(false);
            in->openPort(index, "in");
            if (input.route.failed.load() || !in->isPortOpen())
                return false;
        }
        catch (...)
        {
            return false;
        }
        input.portName = found;
        input.in = std::move(in);
        return true;
    }

    bool connectOutput(Output& output, int number, const std::string& name)
    {
        unsigned index = 0;
        std::string found;
        if (api_ == RtMidi::UNIX_JACK)
        {
            if (!findPort(systemPorts<RtMidiOut>(), number, name, index, found))
                return false;
            output.jackOut = JackHeldOutput::open(found);
            if (!output.jackOut)
                return false;
        }
        else
        {
            auto out = makeRtMidi<RtMidiOut>(api_, kOutputClient);
            if (!out || !findPort(foreignPorts(*out), number, name, index, found))
                return false;
            try
            {
                out->openPort(index, "out");
                if (!out->isPortOpen())
                    return false;
            }
            catch (...)
            {
                return false;
            }
            output.out = std::move(out);
        }
        output.portName = found;
        return true;
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

    // JACK thread
    static void onJackShutdown(void* self) noexcept
    {
        static_cast<RtMidiService*>(self)->serverLost_.store(true);
    }
    static void onPortRegistration(jack_port_id_t, int, void* self) noexcept
    {
        static_cast<RtMidiService*>(self)->portsChanged_.store(true);
    }

    // A client of our own that hears the server stop and ports come and go.
    void connectWatch()
    {
        JackClient client(jack_client_open(kWatchClient.c_str(), JackNoStartServer, nullptr));
        if (!client)
            return;
        serverLost_.store(false);
        jack_on_shutdown(client.get(), &RtMidiService::onJackShutdown, this);
        jack_set_port_registration_callback(client.get(), &RtMidiService::onPortRegistration, this);
        if (jack_activate(client.get()) != 0)
            return;
        socketKnown_ = jackSocketExists();
        portsChanged_.store(true);
        std::lock_guard lock(mutex_);
        watchClient_ = std::move(client);
        serverUp_ = true;
    }

    // Watchdog thread
    void watch()
    {
        auto lastAttempt = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        while (!stopping_)
        {
            wakeWatchdog_.wait_for(lock, kWatchdogPeriod);
            if (stopping_)
                break;
            if (serverLost_.exchange(false))
                dropServer();
            if (!serverUp_)
            {
                const auto now = std::chrono::steady_clock::now();
                const bool worthTrying =
                    socketKnown_ ? jackSocketExists() : now - lastAttempt >= kBlindRetryPeriod;
                if (!worthTrying)
                    continue;
                lastAttempt = now;
                lock.unlock();
                connectWatch();
                lock.lock();
            }
            // A new port shows in the server's lists a period or more after its notice, so
            // what is still missing is tried again for a while.
            if (portsChanged_.exchange(false))
                retryUntil_ = std::chrono::steady_clock::now() + kReconnectWindow;
            if (serverUp_ && std::chrono::steady_clock::now() < retryUntil_ && !reconnect())
                continue;
            retryUntil_ = {};
        }
    }

    // Under mutex_: every client of the old server is dead; the handles stay valid.
    void dropServer()
    {
        serverUp_ = false;
        abandon(virtualIn_);
        for (auto& [handle, input] : inputs_)
            abandon(input->in);
        for (auto& [handle, output] : outputs_)
        {
            output->out.reset(); // never a JACK one
            abandon(output->jackOut);
        }
        abandon(watchClient_);
    }

    // Closing a JACK client, or RtMidi's JACK input unregistering its port, races the
    // library's own shutdown work once the server has gone, and can crash: the clients of a
    // dead server are set aside, never closed (a few kilobytes for each return of the
    // server). A dead client calls nothing.
    template <typename T, typename D> static void abandon(std::unique_ptr<T, D>& client)
    {
        // Kept for the whole process, so that leak checkers see them still held.
        static auto* const abandoned = new std::vector<const void*>;
        if (client)
            abandoned->push_back(client.release());
    }

    // Under mutex_: opens whatever is missing, by the names it had; true when nothing is.
    bool reconnect()
    {
        if (!virtualIn_)
            openVirtualPort();
        bool complete = virtualIn_ != nullptr;
        for (auto& [handle, input] : inputs_)
            if (!input->in)
                complete = connectInput(*input, input->number, input->portName) && complete;
        for (auto& [handle, output] : outputs_)
            if (!output->open())
                complete = connectOutput(*output, output->number, output->portName) && complete;
        return complete;
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

    JackClient watchClient_;
    bool serverUp_ = false;
    bool socketKnown_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point retryUntil_;
    std::atomic<bool> serverLost_{false};
    std::atomic<bool> portsChanged_{false};
    std::condition_variable wakeWatchdog_;
    std::thread watchdog_;
};

} // namespace

bool isPlayerPort(std::string_view systemName)
{
    const std::string_view client = kClientName;
    if (!systemName.starts_with(client) || systemName.size() == client.size())
        return false;
    const char next = systemName[client.size()];
    return next == ':' || next == ' ' || next == '-';
}

std::string chooseMidiApi(std::string_view choice, bool sequencerExists, bool jackRuns)
{
    if (choice == "alsa" || choice == "jack")
        return std::string(choice);
    if (choice == "auto")
        return sequencerExists ? "alsa" : jackRuns ? "jack" : "none";
    return "none";
}

std::unique_ptr<MidiService> createMidiService(std::string_view choice)
{
    std::string api = std::string(choice);
    if (choice == "auto")
    {
        const bool sequencer = ::access(kSequencerDevice, F_OK) == 0;
        api = chooseMidiApi(choice, sequencer, !sequencer && jackServerRuns());
    }
    api = chooseMidiApi(api, false, false);
    if (api == "jack")
        return createJackMidiService();
    return std::make_unique<RtMidiService>(api);
}

} // namespace sonarello::midi
