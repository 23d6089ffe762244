// A controller's pads as the MIDI and audio threads see them: the row cue each pad's note
// starts, the gain of its velocity, and the light a start or stop through JACK sets in the
// same cycle. Written on control threads; read on the MIDI and audio threads (see
// engine/realtime.h).
#pragma once

#include "midi/midi_service.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sonarello::midi
{

constexpr int kMaxLightBytes = 3; // a light set within the cycle is a short message

struct PadRouting
{
    static constexpr std::uint8_t kNoKey = 0xFF;
    static constexpr std::uint8_t kLitOn = 1;  // litByCycle: the start's light was written
    static constexpr std::uint8_t kLitOff = 2; // the stop's light was written

    // Per channel x 128 + note: the cue key of the pad's row, kNoKey for no pad.
    std::array<std::atomic<std::uint8_t>, 16 * 128> noteKey{};
    // Per cue key: the light of a start and of a stop, packed as bytes | size << 24; 0 none.
    std::array<std::atomic<std::uint32_t>, 128> onLight{};
    std::array<std::atomic<std::uint32_t>, 128> offLight{};
    // Per cue key: which light the audio thread wrote last (kLitOn, kLitOff), 0 once read.
    std::array<std::atomic<std::uint8_t>, 128> litByCycle{};
    std::atomic<bool> velocity{false}; // a note's velocity scales its sound's gain

    PadRouting() { clear(); }

    // Control thread.
    void clear() noexcept
    {
        for (auto& key : noteKey)
            key.store(kNoKey, std::memory_order_relaxed);
        for (std::size_t i = 0; i < onLight.size(); ++i)
        {
            onLight[i].store(0, std::memory_order_relaxed);
            offLight[i].store(0, std::memory_order_relaxed);
            litByCycle[i].store(0, std::memory_order_relaxed);
        }
        velocity.store(false, std::memory_order_release);
    }

    // Any thread: the cue key a note message starts or fades, kNoKey when it is no pad's.
    std::uint8_t cueKey(ShortMessage message) const noexcept
    {
        const auto index = (message & 0x0F) * 128 + (message >> 8 & 0x7F);
        return noteKey[index].load(std::memory_order_acquire);
    }
};

constexpr std::uint32_t packLight(std::uint8_t status, std::uint8_t data1, std::uint8_t data2,
                                  std::size_t size) noexcept
{
    return static_cast<std::uint32_t>(status) | static_cast<std::uint32_t>(data1) << 8 |
           static_cast<std::uint32_t>(data2) << 16 | static_cast<std::uint32_t>(size) << 24;
}

// The gain of a note's velocity (1..127): (velocity / 127) squared, about -12 dB at 64, -24 dB
// at 32, the curve of a struck string. Any thread.
constexpr float velocityGain(int velocity) noexcept
{
    const float v = static_cast<float>(velocity < 0 ? 0 : velocity > 127 ? 127 : velocity) / 127.0f;
    return v * v;
}

} // namespace sonarello::midi
