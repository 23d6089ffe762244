// The MIDI connections the player was asked for (a device's port to midi_in, midi_out to a
// device's port), kept by name and made again whenever the device or the server returns.
// Control threads, under the session's lock.
#pragma once

#include <string>
#include <vector>

namespace sonarello::jack
{

// The server's ports and connections as the connections see them: JACK's, or a test's own.
class PortGraph
{
  public:
    virtual ~PortGraph() = default;
    // False also when either port does not exist (now).
    virtual bool connected(const std::string& source, const std::string& destination) = 0;
    // True when the connection exists afterwards.
    virtual bool connect(const std::string& source, const std::string& destination) = 0;
    virtual void disconnect(const std::string& source, const std::string& destination) = 0;
};

class Connections
{
  public:
    // Keeps the connection of another client's `port` to midi_in (`toPlayer`) or of midi_out to
    // it, and makes it now where there is a graph; false when it could not be made now.
    bool keep(const std::string& port, bool toPlayer, PortGraph* graph);
    void drop(const std::string& port, bool toPlayer, PortGraph* graph);
    void clear() { links_.clear(); }

    // The server went away: every connection made is lost (one line each).
    void serverGone();
    // Notices the devices that went (a line each) and makes the missing connections again (a
    // line each for those that were lost); true when none is missing.
    bool relink(PortGraph& graph);

  private:
    struct Link
    {
        std::string source;
        std::string destination;
        std::string device;
        bool made = false;
        bool lost = false; // made once, then its device or the server went
    };
    static Link linkFor(const std::string& port, bool toPlayer);
    static void gone(Link& link);
    static bool make(Link& link, PortGraph& graph);

    std::vector<Link> links_;
};

} // namespace sonarello::jack
