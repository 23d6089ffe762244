#include "cue_table.h"

namespace sonarello::sound
{

void CueTable::clear()
{
    for (Entry& entry : entries_)
        entry = Entry{};
}

bool CueTable::arm(Mixer& mixer, int key, std::unique_ptr<Cue> cue, StreamHandle stream,
                   std::vector<StreamHandle>& unused)
{
    Entry& entry = entries_[static_cast<std::size_t>(key)];
    Cue* replaced = nullptr; // entry.cue, which no note took: freed below
    if (!mixer.armCue(key, cue.get(), replaced))
    {
        unused.push_back(stream);
        return false;
    }
    if (entry.stream != stream)
        unused.push_back(entry.stream);
    if (!cue)
        unused.push_back(stream);
    entry.stream = cue ? stream : kNoStream;
    entry.cue = std::move(cue);
    return entry.cue != nullptr;
}

bool CueTable::takeFired(Mixer& mixer, int key, StreamHandle& stream, int& slot,
                         std::uint32_t& serial)
{
    const Cue* fired = mixer.firedCue(key);
    if (fired == nullptr)
        return false;
    Entry& entry = entries_[static_cast<std::size_t>(key)];
    slot = fired->slot;
    serial = fired->serial;
    stream = entry.stream;
    entry = Entry{}; // frees the cue
    return true;
}

} // namespace sonarello::sound
