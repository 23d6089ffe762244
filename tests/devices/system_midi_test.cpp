// The choice of the system's MIDI and the service where there is none. The JACK MIDI devices
// a person chooses, and their return after their client or the server went, are played end
// to end in tests/e2e.
#include "devices/system_midi.h"
#include "midi/midi_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace sonarello::midi
{
namespace
{

TEST(MidiApiChoice, FollowsTheOptionAndWhatTheSystemHas)
{
    EXPECT_EQ(chooseMidiApi("auto", true, true, true), "jack");
    EXPECT_EQ(chooseMidiApi("auto", false, true, true), "alsa");
    EXPECT_EQ(chooseMidiApi("auto", false, false, true), "jack");
    EXPECT_EQ(chooseMidiApi("auto", false, false, false), "none");
    EXPECT_EQ(chooseMidiApi("jack", false, true, false), "jack");
    EXPECT_EQ(chooseMidiApi("alsa", true, false, true), "alsa");
    EXPECT_EQ(chooseMidiApi("none", true, true, true), "none");
    EXPECT_EQ(chooseMidiApi("winmm", true, true, true), "none");
}

TEST(MidiPortNames, ThePlayersOwnPortsAreRecognised)
{
    EXPECT_TRUE(isPlayerPort("Sonarello:midi_in"));
    EXPECT_TRUE(isPlayerPort("Sonarello in:in"));
    EXPECT_TRUE(isPlayerPort("Sonarello-01:Sonarello"));
    EXPECT_TRUE(isPlayerPort("Sonarello:Sonarello 128:0"));
    EXPECT_FALSE(isPlayerPort("Sonarello"));
    EXPECT_FALSE(isPlayerPort("SonarelloPad:out"));
    EXPECT_FALSE(isPlayerPort("Midi Through:Midi Through Port-0 14:0"));
}

TEST(SystemMidi, NoneAndAlsaWithoutASequencerListNoDevice)
{
    for (const char* api : {"none", "alsa"})
    {
        if (api == std::string("alsa") && std::filesystem::exists("/dev/snd/seq"))
            continue; // this system has an ALSA sequencer
        const auto service = createMidiService(api);
        EXPECT_EQ(service->apiName(), api);
        EXPECT_TRUE(service->inputNames().empty());
        EXPECT_TRUE(service->outputNames().empty());
        EXPECT_EQ(service->openInput(0), kNoPort);
        EXPECT_EQ(service->openOutput(0), kNoPort);
        EXPECT_NE(service->startInput(kNoPort), kMidiOk);
        EXPECT_NE(service->closeOutput(kNoPort), kMidiOk);
    }
}

} // namespace
} // namespace sonarello::midi
