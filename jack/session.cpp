#include "jack/session.h"

#include "connections.h"
#include "process.h"

#include "base/raii.h"
#include "base/steady_clock.h"
#include "engine/mixer.h"
#include "midi/midi_dispatch.h"

#include <dlfcn.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>

namespace sonarello::jack
{

namespace
{

using namespace std::chrono_literals;
using JackClient = std::unique_ptr<jack_client_t, Deleter<jack_client_close>>;
using midi::kClientName;

constexpr auto kWatchPeriod = 100ms;
constexpr auto kReconnectWindow = 1500ms; // after a port came or went, missing links retried
constexpr auto kBlindRetry = 500ms;       // reopen attempts where the server leaves no socket

void quiet(const char*) {}

void silenceJack()
{
    jack_set_error_function(&quiet);
    jack_set_info_function(&quiet);
}

std::string serverName()
{
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name != nullptr && *name != '\0' ? name : "default";
}

// The server's socket where jackd keeps it; PipeWire's JACK has none.
bool socketExists()
{
    const std::string file = "/jack_" + serverName() + "_" + std::to_string(::getuid()) + "_0";
    return ::access(("/dev/shm" + file).c_str(), F_OK) == 0 ||
           ::access(("/tmp" + file).c_str(), F_OK) == 0;
}

// One cycle's port buffers.
class JackCycleIo final : public CycleIo
{
  public:
    JackCycleIo(jack_client_t* client, jack_port_t* in, jack_port_t* out, jack_port_t* left,
                jack_port_t* right, jack_nframes_t frames) noexcept
        : client_(client), in_(in ? jack_port_get_buffer(in, frames) : nullptr),
          out_(out ? jack_port_get_buffer(out, frames) : nullptr),
          sides_{left ? static_cast<float*>(jack_port_get_buffer(left, frames)) : nullptr,
                 right ? static_cast<float*>(jack_port_get_buffer(right, frames)) : nullptr}
    {
    }
    int midiEventCount() noexcept override
    {
        return in_ ? static_cast<int>(jack_midi_get_event_count(in_)) : 0;
    }
    bool midiEvent(int index, std::uint32_t& frame, const std::uint8_t*& bytes,
                   std::size_t& size) noexcept override
    {
        jack_midi_event_t event{};
        if (jack_midi_event_get(&event, in_, static_cast<std::uint32_t>(index)) != 0)
            return false;
        frame = event.time;
        bytes = event.buffer;
        size = event.size;
        return true;
    }
    float* audioOut(int side) noexcept override { return sides_[side == 0 ? 0 : 1]; }
    void clearMidiOut() noexcept override
    {
        if (out_)
            jack_midi_clear_buffer(out_);
    }
    bool writeMidiOut(std::uint32_t frame, const std::uint8_t* bytes,
                      std::size_t size) noexcept override
    {
        return out_ != nullptr && jack_midi_event_write(out_, frame, bytes, size) == 0;
    }

    std::int64_t cycleStart() noexcept override
    {
        jack_nframes_t frames = 0;
        jack_time_t start = 0, next = 0;
        float period = 0;
        if (client_ == nullptr ||
            jack_get_cycle_times(client_, &frames, &start, &next, &period) != 0)
            return -1;
        // The server's clock in microseconds beside the steady clock, for the offset.
        const auto [serverNow, steady] =
            readBesideSteady([] { return static_cast<std::int64_t>(jack_get_time()); });
        return static_cast<std::int64_t>(start) * 1000 + (steady - serverNow * 1000);
    }
    bool cycleFrames(std::uint32_t& first, std::uint32_t& gone) noexcept override
    {
        if (client_ == nullptr)
            return false;
        first = jack_last_frame_time(client_);
        gone = jack_frames_since_cycle_start(client_);
        return true;
    }

  private:
    jack_client_t* client_;
    void* in_;
    void* out_;
    std::array<float*, 2> sides_;
};

// The server's graph as the player's client sees it.
class Graph final : public PortGraph
{
  public:
    explicit Graph(jack_client_t* client) : client_(client) {}
    bool connected(const std::string& source, const std::string& destination) override
    {
        jack_port_t* port = jack_port_by_name(client_, source.c_str());
        return port != nullptr && jack_port_connected_to(port, destination.c_str());
    }
    bool connect(const std::string& source, const std::string& destination) override
    {
        const int result = jack_connect(client_, source.c_str(), destination.c_str());
        return result == 0 || result == EEXIST;
    }
    void disconnect(const std::string& source, const std::string& destination) override
    {
        jack_disconnect(client_, source.c_str(), destination.c_str());
    }

  private:
    jack_client_t* client_;
};

} // namespace

struct Session::State
{
    std::mutex mutex; // everything below but the atomics
    JackClient client;
    bool serverUp = false;
    bool socketKnown = false;
    std::atomic<bool> lost{false};
    std::atomic<bool> portsChanged{false};
    std::chrono::steady_clock::time_point retryUntil;
    std::chrono::steady_clock::time_point lastAttempt;

    bool audioWanted = false;
    bool connectPlayback = false;
    sound::Mixer* mixerWanted = nullptr;
    midi::MidiDispatcher* dispatcherWanted = nullptr;
    int slotWanted = -1;
    Connections connections;

    // the process callback reads these
    Process process;
    std::array<std::atomic<jack_port_t*>, 2> outs{};
    std::atomic<jack_port_t*> midiIn{nullptr};
    std::atomic<jack_port_t*> midiOut{nullptr};
    std::atomic<jack_client_t*> cycleClient{nullptr}; // set before the client is activated

    bool quit = false;
    std::condition_variable wake;
    std::thread watchdog;

    // ---- audio thread ----

    static int processCallback(jack_nframes_t frames, void* self) noexcept
    {
        auto& state = *static_cast<State*>(self);
        JackCycleIo io(state.cycleClient.load(std::memory_order_acquire),
                       state.midiIn.load(std::memory_order_acquire),
                       state.midiOut.load(std::memory_order_acquire),
                       state.outs[0].load(std::memory_order_acquire),
                       state.outs[1].load(std::memory_order_acquire), frames);
        state.process.cycle(io, frames);
        return 0;
    }

    // JACK's threads
    static void shutdown(jack_status_t, const char*, void* self) noexcept
    {
        static_cast<State*>(self)->lost.store(true, std::memory_order_release);
    }
    static void portRegistered(jack_port_id_t, int, void* self) noexcept
    {
        static_cast<State*>(self)->portsChanged.store(true, std::memory_order_release);
    }

    // ---- control threads, under mutex ----

    bool wanted() const { return audioWanted || dispatcherWanted != nullptr; }

    bool openClient()
    {
        if (client)
            return true;
        silenceJack();
        jack_status_t status{};
        JackClient fresh(jack_client_open(kClientName, JackNoStartServer, &status));
        if (!fresh)
            return false;
        lost.store(false);
        cycleClient.store(fresh.get(), std::memory_order_release);
        jack_set_process_callback(fresh.get(), &State::processCallback, this);
        jack_on_info_shutdown(fresh.get(), &State::shutdown, this);
        jack_set_port_registration_callback(fresh.get(), &State::portRegistered, this);
        if (jack_activate(fresh.get()) != 0)
            return false;
        client = std::move(fresh);
        serverUp = true;
        socketKnown = socketExists();
        return true;
    }

    void ensureWatchdog()
    {
        if (!watchdog.joinable())
            watchdog = std::thread([this] { watch(); });
    }

    jack_port_t* registerPort(const char* name, const char* type, unsigned long flags)
    {
        jack_port_t* port =
            jack_port_by_name(client.get(), (std::string(kClientName) + ":" + name).c_str());
        if (port != nullptr && jack_port_is_mine(client.get(), port))
            return port;
        return jack_port_register(client.get(), name, type, flags, 0);
    }

    bool registerAudio()
    {
        for (std::size_t i = 0; i < 2; ++i)
            if (!outs[i].load())
                outs[i].store(registerPort(i == 0 ? "out_1" : "out_2", JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsOutput));
        if (!outs[0].load() || !outs[1].load())
            return false;
        mixerWanted->useDevice(static_cast<int>(jack_get_sample_rate(client.get())),
                               static_cast<int>(jack_get_buffer_size(client.get())));
        process.attachMixer(mixerWanted);
        if (connectPlayback)
            connectToPlayback();
        return true;
    }

    void connectToPlayback()
    {
        const char** playback = jack_get_ports(client.get(), nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsPhysical | JackPortIsInput);
        for (std::size_t i = 0; playback != nullptr && i < 2 && playback[i] != nullptr; ++i)
            jack_connect(client.get(), jack_port_name(outs[i].load()), playback[i]);
        jack_free(static_cast<void*>(playback));
    }

    bool registerMidi()
    {
        if (!midiIn.load())
            midiIn.store(registerPort("midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput));
        if (!midiOut.load())
            midiOut.store(registerPort("midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput));
        process.attachDispatcher(dispatcherWanted, slotWanted);
        return midiIn.load() != nullptr && midiOut.load() != nullptr;
    }

    // Every client of the old server is dead: set aside, its ports forgotten.
    void dropServer()
    {
        static auto* const abandoned = new std::vector<const void*>;
        if (client)
            abandoned->push_back(client.release());
        serverUp = false;
        connections.serverGone();
        // Only the new client's cycles may render: a dead client's thread must not race them.
        process.attachMixer(nullptr);
        process.attachDispatcher(nullptr, -1);
        for (auto& out : outs)
            out.store(nullptr);
        midiIn.store(nullptr);
        midiOut.store(nullptr);
    }

    // Opens the client again with its ports when the server has returned.
    void reopen()
    {
        const auto now = std::chrono::steady_clock::now();
        if (socketKnown ? !socketExists() : now - lastAttempt < kBlindRetry)
            return;
        lastAttempt = now;
        if (!openClient())
            return;
        if (audioWanted)
            registerAudio();
        if (dispatcherWanted != nullptr)
            registerMidi();
        portsChanged.store(true);
    }

    // Watchdog thread
    void watch()
    {
        std::unique_lock lock(mutex);
        while (!quit)
        {
            wake.wait_for(lock, kWatchPeriod);
            if (lost.exchange(false))
                dropServer();
            if (!client && wanted())
                reopen();
            if (portsChanged.exchange(false))
                retryUntil = std::chrono::steady_clock::now() + kReconnectWindow;
            if (client && std::chrono::steady_clock::now() < retryUntil)
            {
                Graph graph(client.get());
                if (connections.relink(graph))
                    retryUntil = {};
            }
        }
    }
};

Session& Session::instance()
{
    static Session* const session = new Session; // outlives every JACK thread
    return *session;
}

Session::Session() : state_(new State) {}
Session::~Session() = default;

bool Session::openAudio(sound::Mixer& mixer, bool connectPlayback, int periodFrames,
                        std::string& error)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.mixerWanted = &mixer;
    s.connectPlayback = connectPlayback;
    s.ensureWatchdog();
    if (!s.openClient())
    {
        error = "no JACK server";
        s.mixerWanted = nullptr;
        return false;
    }
    s.audioWanted = true;
    if (libraryName() == "PipeWire")
        jack_set_buffer_size(s.client.get(), static_cast<jack_nframes_t>(periodFrames));
    if (!s.registerAudio())
    {
        error = "cannot register the JACK ports";
        return false;
    }
    return true;
}

void Session::closeAudio()
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.audioWanted = false;
    s.process.attachMixer(nullptr);
    s.mixerWanted = nullptr;
    for (auto& out : s.outs)
        if (s.client && out.load())
            jack_port_disconnect(s.client.get(), out.load());
}

int Session::sampleRate()
{
    std::lock_guard lock(state_->mutex);
    return state_->client ? static_cast<int>(jack_get_sample_rate(state_->client.get())) : 0;
}

bool Session::openMidi(midi::MidiDispatcher& dispatcher, int slot)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.dispatcherWanted = &dispatcher;
    s.slotWanted = slot;
    s.ensureWatchdog();
    return s.openClient() && s.registerMidi();
}

void Session::closeMidi()
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.dispatcherWanted = nullptr;
    s.process.attachDispatcher(nullptr, -1);
    s.connections.clear();
}

std::vector<std::string> Session::midiPorts(bool sources)
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> ports;
    if (!state_->client)
        return ports;
    const char** names = jack_get_ports(state_->client.get(), nullptr, JACK_DEFAULT_MIDI_TYPE,
                                        sources ? JackPortIsOutput : JackPortIsInput);
    for (std::size_t i = 0; names != nullptr && names[i] != nullptr; ++i)
        if (!midi::isPlayerPort(names[i]))
            ports.emplace_back(names[i]);
    jack_free(static_cast<void*>(names));
    return ports;
}

bool Session::connectMidi(const std::string& port, bool source)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    Graph graph(s.client.get());
    return s.connections.keep(port, source, s.client ? &graph : nullptr);
}

void Session::disconnectMidi(const std::string& port, bool source)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    Graph graph(s.client.get());
    s.connections.drop(port, source, s.client ? &graph : nullptr);
}

bool Session::sendMidi(const std::uint8_t* bytes, std::size_t size)
{
    std::lock_guard lock(state_->mutex);
    return state_->process.queueOut(bytes, size);
}

bool Session::midiSent()
{
    return state_->process.outDrained();
}

void Session::setPadRouting(midi::PadRouting* routing)
{
    std::lock_guard lock(state_->mutex);
    state_->process.attachRouting(routing);
}

std::vector<std::string> Session::midiInSources()
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> sources;
    jack_port_t* in = state_->midiIn.load();
    if (!state_->client || in == nullptr)
        return sources;
    const char** names = jack_port_get_all_connections(state_->client.get(), in);
    for (std::size_t i = 0; names != nullptr && names[i] != nullptr; ++i)
        sources.emplace_back(names[i]);
    jack_free(static_cast<void*>(names));
    return sources;
}

bool Session::audioOpen()
{
    std::lock_guard lock(state_->mutex);
    return state_->client != nullptr && state_->audioWanted;
}

std::uint64_t Session::latePeriods()
{
    return state_->process.latePeriods();
}

bool Session::serverUp()
{
    std::lock_guard lock(state_->mutex);
    return state_->client != nullptr;
}

std::string libraryName()
{
    Dl_info info{};
    const bool pipewire =
        dladdr(reinterpret_cast<void*>(&jack_client_open), &info) != 0 &&
        info.dli_fname != nullptr &&
        std::string_view(info.dli_fname).find("pipewire") != std::string_view::npos;
    return pipewire ? "PipeWire" : "JACK";
}

void startOverOnPipeWire(char** argv, int periodFrames)
{
    constexpr const char* kMarker = "SONARELLO_JACK_LIBRARY_CHOSEN";
    if (std::getenv(kMarker) != nullptr)
        return;
    setenv(kMarker, "1", 1); // once per run, whatever happens next
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const std::string socket = std::string(runtime != nullptr ? runtime : "") + "/" +
                               (remote != nullptr ? remote : "pipewire-0");
    const std::string library = std::string(SONARELLO_PIPEWIRE_JACK_DIR) + "/libjack.so.0";
    if (runtime == nullptr || ::access(socket.c_str(), F_OK) != 0 ||
        ::access(library.c_str(), R_OK) != 0 || libraryName() == "PipeWire" || serverRunning())
        return;
    const char* path = std::getenv("LD_LIBRARY_PATH");
    const std::string paths = std::string(SONARELLO_PIPEWIRE_JACK_DIR) +
                              (path != nullptr && *path ? std::string(":") + path : "");
    setenv("LD_LIBRARY_PATH", paths.c_str(), 1);
    // The quantum asked of the graph: the player's period (PipeWire's JACK reads both).
    const std::string quantum = std::to_string(periodFrames) + "/48000";
    setenv("PIPEWIRE_LATENCY", quantum.c_str(), 0);
    setenv("PIPEWIRE_QUANTUM", quantum.c_str(), 0);
    ::execv("/proc/self/exe", argv);
}

bool serverRunning()
{
    silenceJack();
    jack_status_t status{};
    const JackClient probe(jack_client_open("Sonarello-probe", JackNoStartServer, &status));
    return probe != nullptr;
}

} // namespace sonarello::jack
