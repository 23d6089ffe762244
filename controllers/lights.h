// The lights of a controller's pads: the light each row state asks for, and which pads must be
// sent again, only changes and at most one per pad per tick. Plain values; the caller holds
// the program lock.
#pragma once

#include "controllers/profile.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonarello::controllers
{

// A row as its pad shows it.
struct RowView
{
    bool exists = false; // a row of the grid with a file that opens
    bool playing = false;
    bool looping = false;
    std::uint32_t msLeft = 0; // of a playing row's sound
};

// The light for the row; a state the profile gives no message falls back (ending to
// playing, looping to playing, no file to stopped).
Light lightOf(const Profile& profile, const RowView& row);

class PadLights
{
  public:
    explicit PadLights(std::size_t pads = 0) { resize(pads); }
    void resize(std::size_t pads);
    // Every pad is sent again at the next changes() (the device was taken or came back).
    void forget();
    // A new tick: every pad may change once more.
    void tick() { ++tick_; }
    // The pads whose wanted light is not the one sent, each at most once per tick; they
    // count as sent from now.
    std::vector<std::size_t> changes(const std::vector<Light>& wanted);
    // The pad was set elsewhere (within the JACK cycle of its note), or its message was not
    // taken and must go again.
    void setElsewhere(std::size_t pad, Light light);
    void unsent(std::size_t pad);

  private:
    static constexpr std::uint8_t kUnknown = 0xFF;
    std::vector<std::uint8_t> sent_;
    std::vector<std::uint64_t> changedIn_;
    std::uint64_t tick_ = 1;
};

} // namespace sonarello::controllers
