// Watches the ALSA sequencer's ports come and go from its announce events, with no client
// opened per look. The observer's own thread; construction and destruction on control threads.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sonarello::midi
{

// The system's ports under the sequencer's names ("client:port C:P"), the player's own left out.
struct PresentPorts
{
    std::vector<std::string> sources;      // ports that send: a device's inputs to us
    std::vector<std::string> destinations; // ports that receive
    bool operator==(const PresentPorts&) const = default;
};

// Where the observer learns of ports: the sequencer's announce port, or a stand-in in tests.
class AnnounceSource
{
  public:
    virtual ~AnnounceSource() = default;
    // Observer thread: blocks until announce events arrive, reads all that are waiting and
    // returns how many; 0 once stop() was called (or the source failed).
    virtual int waitForAnnounces() = 0;
    // Any thread: the waiting call returns 0, now and from then on.
    virtual void stop() = 0;
    // Observer thread.
    virtual PresentPorts presentPorts() = 0;
};

// The sequencer's announce port through a client of our own; nullptr where the system has no
// sequencer or the subscription is refused.
std::unique_ptr<AnnounceSource> openSequencerAnnounces();

// Calls `changed` on its thread with the ports present after each batch of announce events
// that changed them; a batch costs one look at the ports however many events it holds.
class SequencerObserver
{
  public:
    using Changed = std::function<void(const PresentPorts&)>;
    SequencerObserver(std::unique_ptr<AnnounceSource> source, Changed changed);
    ~SequencerObserver(); // returns once `changed` is no longer running
    SequencerObserver(const SequencerObserver&) = delete;
    SequencerObserver& operator=(const SequencerObserver&) = delete;

  private:
    void run();

    std::unique_ptr<AnnounceSource> source_;
    Changed changed_;
    std::thread thread_;
};

} // namespace sonarello::midi
