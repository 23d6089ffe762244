#include "observer.h"

#include "base/raii.h"
#include "midi/midi_service.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sonarello::midi
{
namespace
{

using Sequencer = std::unique_ptr<snd_seq_t, Deleter<snd_seq_close>>;
using ClientInfo = std::unique_ptr<snd_seq_client_info_t, Deleter<snd_seq_client_info_free>>;
using PortInfo = std::unique_ptr<snd_seq_port_info_t, Deleter<snd_seq_port_info_free>>;

constexpr const char* kSequencerDevice = "/dev/snd/seq";
const std::string kObserverClient = std::string(kClientName) + " observer";
// The kinds of port RtMidi lists, so that both give the same ports the same names.
constexpr unsigned kMidiPortTypes =
    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;
constexpr unsigned kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

// An eventfd that wakes the observer's poll to stop it.
class WakeFd
{
  public:
    WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~WakeFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;

    int fd() const { return fd_; }
    void wake() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
    }

  private:
    int fd_;
};

bool isAnnounce(snd_seq_event_type_t type)
{
    return type == SND_SEQ_EVENT_PORT_START || type == SND_SEQ_EVENT_PORT_EXIT ||
           type == SND_SEQ_EVENT_PORT_CHANGE || type == SND_SEQ_EVENT_CLIENT_START ||
           type == SND_SEQ_EVENT_CLIENT_EXIT || type == SND_SEQ_EVENT_CLIENT_CHANGE;
}

class AlsaAnnounces final : public AnnounceSource
{
  public:
    explicit AlsaAnnounces(Sequencer sequencer) : sequencer_(std::move(sequencer)) {}

    bool canStop() const { return wake_.fd() >= 0; }

    int waitForAnnounces() override
    {
        const int count = snd_seq_poll_descriptors_count(sequencer_.get(), POLLIN);
        if (count <= 0)
            return 0;
        std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
        fds[0] = pollfd{wake_.fd(), POLLIN, 0};
        snd_seq_poll_descriptors(sequencer_.get(), fds.data() + 1, static_cast<unsigned>(count),
                                 POLLIN);
        while (!stopped_.load())
        {
            const int announces = readWaiting();
            if (announces != 0)
                return announces > 0 ? announces : 0;
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                return 0;
        }
        return 0;
    }

    void stop() override
    {
        stopped_.store(true);
        wake_.wake();
    }

    PresentPorts presentPorts() override
    {
        PresentPorts ports;
        snd_seq_client_info_t* clientRaw = nullptr;
        snd_seq_port_info_t* portRaw = nullptr;
        if (snd_seq_client_info_malloc(&clientRaw) < 0)
            return ports;
        const ClientInfo client(clientRaw);
        if (snd_seq_port_info_malloc(&portRaw) < 0)
            return ports;
        const PortInfo port(portRaw);
        snd_seq_client_info_set_client(client.get(), -1);
        while (snd_seq_query_next_client(sequencer_.get(), client.get()) >= 0)
        {
            const int clientId = snd_seq_client_info_get_client(client.get());
            if (clientId == SND_SEQ_CLIENT_SYSTEM)
                continue;
            const std::string clientName = snd_seq_client_info_get_name(client.get());
            snd_seq_port_info_set_client(port.get(), clientId);
            snd_seq_port_info_set_port(port.get(), -1);
            while (snd_seq_query_next_port(sequencer_.get(), port.get()) >= 0)
            {
                if ((snd_seq_port_info_get_type(port.get()) & kMidiPortTypes) == 0)
                    continue;
                std::string name = clientName + ":" + snd_seq_port_info_get_name(port.get()) + " " +
                                   std::to_string(clientId) + ":" +
                                   std::to_string(snd_seq_port_info_get_port(port.get()));
                if (isPlayerPort(name))
                    continue;
                const unsigned caps = snd_seq_port_info_get_capability(port.get());
                if ((caps & kSourceCaps) == kSourceCaps)
                    ports.sources.push_back(name);
                if ((caps & kDestinationCaps) == kDestinationCaps)
                    ports.destinations.push_back(std::move(name));
            }
        }
        return ports;
    }

  private:
    // The announce events waiting, all read; -1 when the sequencer fails.
    int readWaiting()
    {
        int announces = 0;
        for (;;)
        {
            snd_seq_event_t* event = nullptr;
            const int result = snd_seq_event_input(sequencer_.get(), &event);
            if (result == -EAGAIN)
                return announces;
            if (result == -ENOSPC) // the queue overflowed and events were lost: look anyway
                ++announces;
            else if (result < 0)
                return -1;
            else if (event != nullptr && isAnnounce(event->type))
                ++announces;
        }
    }

    Sequencer sequencer_;
    WakeFd wake_;
    std::atomic<bool> stopped_{false};
};

} // namespace

std::unique_ptr<AnnounceSource> openSequencerAnnounces()
{
    // Without the device libasound would write its failure on standard error.
    if (::access(kSequencerDevice, F_OK) != 0)
        return nullptr;
    snd_seq_t* raw = nullptr;
    if (snd_seq_open(&raw, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0)
        return nullptr;
    Sequencer sequencer(raw);
    snd_seq_set_client_name(sequencer.get(), kObserverClient.c_str());
    const int port = snd_seq_create_simple_port(sequencer.get(), "announce",
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 || snd_seq_connect_from(sequencer.get(), port, SND_SEQ_CLIENT_SYSTEM,
                                         SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
        return nullptr;
    auto source = std::make_unique<AlsaAnnounces>(std::move(sequencer));
    if (!source->canStop())
        return nullptr;
    return source;
}

SequencerObserver::SequencerObserver(std::unique_ptr<AnnounceSource> source, Changed changed)
    : source_(std::move(source)), changed_(std::move(changed)), thread_([this] { run(); })
{
}

SequencerObserver::~SequencerObserver()
{
    source_->stop();
    thread_.join();
}

void SequencerObserver::run()
{
    PresentPorts seen = source_->presentPorts();
    while (source_->waitForAnnounces() > 0)
    {
        PresentPorts present = source_->presentPorts();
        // Our own clients coming and going leave the ports as they were.
        if (present == seen)
            continue;
        seen = std::move(present);
        changed_(seen);
    }
}

} // namespace sonarello::midi
