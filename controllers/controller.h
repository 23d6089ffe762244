// A pad controller in the running player: the profile chosen or found by port name, its pads
// starting rows, its faders, stop-all and velocity, and its lights kept up to date. onMessage
// runs on the MIDI thread with the program lock held; the rest on the GUI thread.
#pragma once

#include "controllers/lights.h"
#include "controllers/profile.h"
#include "midi/midi_devices.h"
#include "midi/pad_routing.h"
#include "playback/rows.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sonarello::controllers
{

constexpr int kDeviceCheckTicks = 5; // the ports are looked at every 500 ms
constexpr auto kStopAllFade = std::chrono::milliseconds(250);
constexpr auto kFadeStep = std::chrono::milliseconds(10);

class Controller
{
  public:
    // choice: "auto", a built-in profile's name, notes:N or a profile file.
    Controller(Player& player, MidiState& midi, std::string choice,
               std::vector<std::string> folders = profileFolders());
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Once MIDI is open. A profile that cannot be read is one line on standard error, and the
    // player keeps its own MIDI mapping.
    void start();
    // True when the profile took the message (pads, faders, stop-all, and what the profile
    // leaves unmapped); false leaves it to the player's own mapping. Program lock held.
    bool onMessage(midi::ShortMessage message);
    // Each tick of the row timer: the lights of changed rows, and every 500 ms the device's
    // ports (found, gone, back).
    void afterTick();
    // A device was chosen in the Setup menu: taken again, every pad set.
    void deviceChosen();
    // Before MIDI closes: every pad dark, the device released, nothing routed any more.
    void finish();

    const Profile* profile() const { return profile_ ? &*profile_ : nullptr; }
    bool present() const { return present_; }

  private:
    void take(Profile profile);
    void checkDevice();
    void refresh();
    void publishLights();
    bool send(const Bytes& bytes);
    void sendTake(const std::vector<Bytes>& messages);
    void letGo();
    void stopAll();
    void fade();
    RowView viewOf(int row);

    Player& player_;
    MidiState& midi_;
    std::string choice_;
    std::vector<std::string> folders_;
    std::vector<Profile> builtIns_; // auto chooses among these
    std::optional<Profile> profile_;
    std::unique_ptr<midi::PadRouting> routing_;
    PadLights lights_;
    std::vector<int> padOfRow_;     // by row: the first pad that shows it, -1 none
    std::vector<Light> cycleLight_; // by row: the light a start within the JACK cycle writes
    bool present_ = false;
    bool routed_ = false;
    int ticks_ = 0;
    std::atomic<bool> fading_{false};
    std::thread fader_;
};

} // namespace sonarello::controllers
