#include "system_midi.h"

#include "jack/jack_midi_service.h"
#include "jack/session.h"
#include "sequencer/sequencer_service.h"

#include <string>

namespace sonarello::midi
{

std::unique_ptr<MidiService> createMidiService(std::string_view choice)
{
    std::string api = std::string(choice);
    if (choice == "auto")
    {
        const bool onJack = jack::Session::instance().audioOpen();
        const bool sequencer = sequencerExists();
        api = chooseMidiApi(choice, onJack, sequencer,
                            !onJack && !sequencer && jack::serverRunning());
    }
    api = chooseMidiApi(api, false, false, false);
    if (api == "jack")
        return createJackMidiService();
    return createSequencerService(api);
}

} // namespace sonarello::midi
