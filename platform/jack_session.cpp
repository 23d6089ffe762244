#include "platform/jack_session.h"

#include "platform/midi/midi_dispatch.h"
#include "platform/raii.h"
#include "platform/sound/mixer.h"

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
constexpr int kMaxEvents = 4096;          // MIDI messages read in one cycle (a JACK2 buffer)
constexpr std::size_t kMaxFrames = 8192;  // longer cycles render in pieces, notes in the first

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

// A short message from JACK's bytes, 0 for what the player does not take: data without a
// status, system exclusive, time code, clock and active sensing.
std::uint32_t shortMessage(const jack_midi_event_t& event)
{
    if (event.size == 0 || event.size > 3)
        return 0;
    const jack_midi_data_t status = event.buffer[0];
    if (status < 0x80 || status == 0xF0 || status == 0xF1 || status == 0xF8 || status == 0xFE)
        return 0;
    std::uint32_t message = event.buffer[0];
    for (std::size_t i = 1; i < event.size; ++i)
        message |= static_cast<std::uint32_t>(event.buffer[i]) << (8 * i);
    return message;
}

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
    // A connection asked for: another client's port (`device`) to midi_in, or midi_out to one.
    struct Link
    {
        std::string source;
        std::string destination;
        std::string device;
        bool made = false;
        bool lost = false; // made once, then its device or the server went
    };
    std::vector<Link> links;

    // audio thread reads these
    std::atomic<sound::Mixer*> mixer{nullptr};
    std::atomic<midi::MidiDispatcher*> dispatcher{nullptr};
    std::atomic<int> slot{-1};
    std::array<std::atomic<jack_port_t*>, 2> outs{};
    std::atomic<jack_port_t*> midiIn{nullptr};
    std::atomic<jack_port_t*> midiOut{nullptr};
    std::atomic<std::uint64_t> cycles{0};
    std::array<float, kMaxFrames * 2> block{};
    std::array<sound::NoteEvent, kMaxEvents> events{};
    std::array<std::uint32_t, kMaxEvents> messages{};
    std::array<int, kMaxEvents> eventOf{};

    bool quit = false;
    std::condition_variable wake;
    std::thread watchdog;

    // ---- audio thread ----

    static int process(jack_nframes_t frames, void* self) noexcept
    {
        static_cast<State*>(self)->cycle(frames);
        return 0;
    }

    void cycle(jack_nframes_t frames) noexcept
    {
        midi::MidiDispatcher* d = dispatcher.load(std::memory_order_acquire);
        sound::Mixer* m = mixer.load(std::memory_order_acquire);
        const int count = d != nullptr ? readMidi(frames, *d, m != nullptr) : 0;
        if (jack_port_t* out = midiOut.load(std::memory_order_acquire))
            jack_midi_clear_buffer(jack_port_get_buffer(out, frames));
        int noteCount = 0;
        for (int i = 0; i < count; ++i)
            noteCount += eventOf[static_cast<std::size_t>(i)] >= 0 ? 1 : 0;
        if (m != nullptr)
            render(*m, frames, noteCount);
        for (int i = 0; i < count; ++i)
        {
            const int e = eventOf[static_cast<std::size_t>(i)];
            std::uint32_t message = messages[static_cast<std::size_t>(i)];
            if (e < 0)
            {
                d->post(slot.load(std::memory_order_relaxed), message);
                continue;
            }
            const sound::NoteEvent& note = events[static_cast<std::size_t>(e)];
            if (note.on && note.handled)
                message |= midi::kStartedByNote;
            d->postStarted(slot.load(std::memory_order_relaxed), message);
        }
        cycles.fetch_add(1, std::memory_order_release);
    }

    static bool isNoteOff(std::uint32_t message) noexcept
    {
        const std::uint32_t kind = message & 0xF0;
        return kind == 0x80 || (kind == 0x90 && (message >> 16 & 0x7F) == 0);
    }

    static std::uint32_t messageAt(void* buffer, int i) noexcept
    {
        jack_midi_event_t event{};
        return jack_midi_event_get(&event, buffer, static_cast<std::uint32_t>(i)) == 0
                   ? shortMessage(event)
                   : 0;
    }

    // Reads midi_in; notes become events for the mixer when it renders here and the
    // dispatcher has room for them (a note whose message could not be posted never sounds).
    // A cycle that brings more than there is room for keeps its Note Offs first, so that no
    // flood of other messages leaves a row sounding.
    int readMidi(jack_nframes_t frames, midi::MidiDispatcher& d, bool rendering) noexcept
    {
        jack_port_t* in = midiIn.load(std::memory_order_acquire);
        if (in == nullptr)
            return 0;
        void* buffer = jack_port_get_buffer(in, frames);
        const auto total = static_cast<int>(jack_midi_get_event_count(buffer));
        const int room = std::min(kMaxEvents, d.room(slot.load(std::memory_order_relaxed)));
        int offs = 0;
        for (int i = 0; total > room && i < total; ++i)
            offs += isNoteOff(messageAt(buffer, i)) ? 1 : 0;
        int offRoom = room, otherRoom = room - std::min(offs, room);
        int count = 0, notes = 0;
        for (int i = 0; i < total && count < room; ++i)
        {
            jack_midi_event_t event{};
            if (jack_midi_event_get(&event, buffer, static_cast<std::uint32_t>(i)) != 0)
                continue;
            const std::uint32_t message = shortMessage(event);
            if (message == 0 || (isNoteOff(message) ? offRoom-- : otherRoom--) <= 0)
                continue;
            const auto index = static_cast<std::size_t>(count++);
            messages[index] = message;
            eventOf[index] = -1;
            const std::uint32_t kind = message & 0xF0;
            if (!rendering || (kind != 0x80 && kind != 0x90))
                continue;
            sound::NoteEvent& note = events[static_cast<std::size_t>(notes)];
            note.frame = static_cast<int>(event.time);
            note.key = static_cast<int>(message >> 8 & 0x7F);
            note.on = kind == 0x90 && (message >> 16 & 0x7F) != 0;
            note.handled = false;
            eventOf[index] = notes++;
        }
        return count;
    }

    void render(sound::Mixer& m, jack_nframes_t frames, int noteCount) noexcept
    {
        auto* left = static_cast<float*>(jack_port_get_buffer(outs[0].load(), frames));
        auto* right = static_cast<float*>(jack_port_get_buffer(outs[1].load(), frames));
        for (jack_nframes_t done = 0; done < frames;)
        {
            const auto n = std::min<jack_nframes_t>(frames - done, kMaxFrames);
            m.render(block.data(), static_cast<int>(n), -1, done == 0 ? events.data() : nullptr,
                     done == 0 ? noteCount : 0);
            for (jack_nframes_t i = 0; i < n; ++i)
            {
                left[done + i] = block[2 * i];
                right[done + i] = block[2 * i + 1];
            }
            done += n;
        }
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
        jack_set_process_callback(fresh.get(), &State::process, this);
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
        mixerWanted->setOutputRate(static_cast<int>(jack_get_sample_rate(client.get())));
        mixerWanted->setNoteDelayFrames(static_cast<int>(jack_get_buffer_size(client.get())));
        mixer.store(mixerWanted, std::memory_order_release);
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
        slot.store(slotWanted);
        dispatcher.store(dispatcherWanted, std::memory_order_release);
        return midiIn.load() != nullptr && midiOut.load() != nullptr;
    }

    // Waits until the audio thread no longer uses what was taken from it.
    void waitForCycle()
    {
        const auto seen = cycles.load(std::memory_order_acquire);
        for (int i = 0; i < 200 && serverUp && !lost.load() && cycles.load() < seen + 2; ++i)
            std::this_thread::sleep_for(1ms);
    }

    bool link(Link& l)
    {
        if (!client)
            return false;
        const int result = jack_connect(client.get(), l.source.c_str(), l.destination.c_str());
        l.made = result == 0 || result == EEXIST;
        return l.made;
    }

    static void gone(Link& l)
    {
        if (l.made)
            std::fprintf(
                stderr,
                "Sonarello: MIDI device \"%s\" is gone; it is connected again when it returns\n",
                l.device.c_str());
        l.lost = l.lost || l.made;
        l.made = false;
    }

    // Notices the devices that went, and connects the missing links; true when none is.
    bool relink()
    {
        bool complete = true;
        for (Link& l : links)
        {
            // A device that left and came back between two looks has lost the connection
            // all the same: the connection itself is what counts.
            jack_port_t* source = jack_port_by_name(client.get(), l.source.c_str());
            if (l.made &&
                (source == nullptr || !jack_port_connected_to(source, l.destination.c_str())))
                gone(l);
            if (l.made)
                continue;
            if (link(l) && l.lost)
            {
                std::fprintf(stderr, "Sonarello: MIDI device \"%s\" is back\n", l.device.c_str());
                l.lost = false;
            }
            complete = complete && l.made;
        }
        return complete;
    }

    // Every client of the old server is dead: set aside, its ports forgotten.
    void dropServer()
    {
        static auto* const abandoned = new std::vector<const void*>;
        if (client)
            abandoned->push_back(client.release());
        serverUp = false;
        for (Link& l : links)
            gone(l);
        mixer.store(nullptr);
        dispatcher.store(nullptr);
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
            if (client && std::chrono::steady_clock::now() < retryUntil && relink())
                retryUntil = {};
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
    s.mixer.store(nullptr, std::memory_order_release);
    s.waitForCycle();
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
    s.dispatcher.store(nullptr, std::memory_order_release);
    s.waitForCycle();
    s.links.clear();
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
    const std::string own = std::string(kClientName) + (source ? ":midi_in" : ":midi_out");
    State::Link wanted{source ? port : own, source ? own : port, port};
    auto it =
        std::find_if(s.links.begin(), s.links.end(),
                     [&](const State::Link& l)
                     { return l.source == wanted.source && l.destination == wanted.destination; });
    if (it == s.links.end())
        it = s.links.insert(s.links.end(), wanted);
    return s.link(*it);
}

void Session::disconnectMidi(const std::string& port, bool source)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    const std::string own = std::string(kClientName) + (source ? ":midi_in" : ":midi_out");
    const std::string from = source ? port : own;
    const std::string to = source ? own : port;
    std::erase_if(s.links,
                  [&](const State::Link& l) { return l.source == from && l.destination == to; });
    if (s.client)
        jack_disconnect(s.client.get(), from.c_str(), to.c_str());
}

bool Session::audioOpen()
{
    std::lock_guard lock(state_->mutex);
    return state_->client != nullptr && state_->mixer.load() != nullptr;
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
