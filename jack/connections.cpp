#include "connections.h"

#include "midi/midi_service.h"

#include <algorithm>

namespace sonarello::jack
{

Connections::Link Connections::linkFor(const std::string& port, bool toPlayer)
{
    const std::string own = std::string(midi::kClientName) + (toPlayer ? ":midi_in" : ":midi_out");
    return toPlayer ? Link{port, own, port} : Link{own, port, port};
}

bool Connections::make(Link& link, PortGraph& graph)
{
    link.made = graph.connect(link.source, link.destination);
    return link.made;
}

void Connections::gone(Link& link)
{
    if (link.made)
        midi::sayDevice(link.device, false);
    link.lost = link.lost || link.made;
    link.made = false;
}

bool Connections::keep(const std::string& port, bool toPlayer, PortGraph* graph)
{
    const Link wanted = linkFor(port, toPlayer);
    auto it =
        std::find_if(links_.begin(), links_.end(),
                     [&](const Link& l)
                     { return l.source == wanted.source && l.destination == wanted.destination; });
    if (it == links_.end())
        it = links_.insert(links_.end(), wanted);
    return graph != nullptr && make(*it, *graph);
}

void Connections::drop(const std::string& port, bool toPlayer, PortGraph* graph)
{
    const Link unwanted = linkFor(port, toPlayer);
    std::erase_if(links_, [&](const Link& l)
                  { return l.source == unwanted.source && l.destination == unwanted.destination; });
    if (graph != nullptr)
        graph->disconnect(unwanted.source, unwanted.destination);
}

void Connections::serverGone()
{
    for (Link& link : links_)
        gone(link);
}

bool Connections::relink(PortGraph& graph)
{
    bool complete = true;
    for (Link& link : links_)
    {
        // A device that left and came back between two looks has lost the connection all the
        // same: the connection itself is what counts.
        if (link.made && !graph.connected(link.source, link.destination))
            gone(link);
        if (link.made)
            continue;
        if (make(link, graph) && link.lost)
        {
            midi::sayDevice(link.device, true);
            link.lost = false;
        }
        complete = complete && link.made;
    }
    return complete;
}

} // namespace sonarello::jack
