// The operations the player asks of its sound engine: streams opened by file name, played
// on channels, positioned, looped, levelled. Control threads only (calls may lock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sonarello::sound
{

using StreamHandle = std::uint32_t; // 0: no stream; every call with it is harmless
using ChannelHandle = std::int32_t; // generation << 12 | index; anything else plays nothing

constexpr StreamHandle kNoStream = 0;
constexpr ChannelHandle kNoChannel = -1;
constexpr int kMaxVolume = 255;

struct EngineOptions
{
    // auto | jack | jack:noconnect | pulse | alsa | null | wav:FILE
    std::string output = "auto";
    int mixRate = 44100; // asked; the device's own rate is used where it differs
    // Voices that can sound at once. A restarted row holds two for one period (the old
    // sound fades out while the new one starts), so 72 rows restarted together need 144.
    int channels = 160;
    int periodFrames = 256;
};

// Notes that start cued sounds at their own time from a MIDI thread (see SoundEngine::setCue).
class NoteStarter
{
  public:
    virtual ~NoteStarter() = default;
    // Any thread, real-time safe (see realtime.h): the note (key 0..127) that arrived at `arrival`
    // (steady clock, nanoseconds) starts the key's cue, or fades the key's sound, a constant
    // delay later. False leaves the note to the control side.
    virtual bool noteAt(int key, bool on, std::int64_t arrival) noexcept = 0;
    // Control thread: the key's cue starts at `start` (steady clock, nanoseconds), on the frame
    // that instant falls on, with no delay added: starts given one instant share their frame.
    // An instant already past starts it as soon as possible. False leaves it to the caller.
    virtual bool startCueAt(int, std::int64_t) noexcept { return false; }
};

class SoundEngine
{
  public:
    virtual ~SoundEngine() = default;

    // Opens the output; false when no output could be started at all.
    virtual bool start(const EngineOptions& options) = 0;
    virtual float version() const = 0;
    virtual int outputRate() const = 0;

    // Keeps the decoded head and lengths of a row's file in memory, so that opening and
    // playing it later needs no disk work (instant start).
    virtual void preload(const std::string& path) = 0;

    virtual StreamHandle openStream(const std::string& path) = 0;
    // Starts the stream on a free channel at this volume and rate (0 = the file's own
    // rate), both in force from the first sample; kNoChannel when nothing could play.
    virtual ChannelHandle playStream(StreamHandle stream, int volume = kMaxVolume,
                                     int rateHz = 0) = 0;
    virtual bool stopStream(StreamHandle stream) = 0;
    virtual bool closeStream(StreamHandle stream) = 0;

    virtual std::uint32_t lengthBytes(StreamHandle stream) = 0; // the file's size
    virtual std::uint32_t lengthMs(StreamHandle stream) = 0;
    virtual std::uint32_t positionBytes(StreamHandle stream) = 0;
    virtual bool setPositionBytes(StreamHandle stream, std::uint32_t bytes) = 0;
    virtual std::uint32_t timeMs(StreamHandle stream) = 0;
    virtual bool setTimeMs(StreamHandle stream, std::uint32_t ms) = 0;
    virtual int sampleRate(StreamHandle stream) = 0; // the file's own rate
    virtual bool setLoop(StreamHandle stream, bool loop) = 0;
    virtual bool ended(StreamHandle stream) = 0; // played to its end, not looping

    virtual bool setVolume(ChannelHandle channel, int volume) = 0; // 0..255, clamped
    virtual bool setFrequency(ChannelHandle channel, int hz) = 0;  // 0 holds the voice silent
    // Peak of each side since the previous query, after volume, 0..1.
    virtual bool currentLevels(ChannelHandle channel, float& left, float& right) = 0;

    // Decodes a file's head on a worker of the engine, as preload() does, without holding the
    // caller; preloaded() tells when it is in memory.
    virtual void prefetch(const std::string&) {}
    virtual bool preloaded(const std::string&) { return false; }

    // Cues: a note (key 0..127) can start a prepared stream at its own frame, on the audio or a
    // MIDI thread. setCue takes the stream (opened and never played) with its volume and rate,
    // replacing and closing the key's previous cue; kNoStream clears it. `sounding` is the
    // voice that a Note Off of the key fades. False while a cue a note started waits for
    // takeStartedCue(); the stream is closed then.
    virtual bool setCue(int, StreamHandle stream, int, int, ChannelHandle)
    {
        closeStream(stream);
        return false;
    }
    // The sound a note started from the key's cue, now the caller's; false when none did.
    virtual bool takeStartedCue(int, StreamHandle&, ChannelHandle&) { return false; }
    // Where MIDI arriving off the audio thread starts cues; nullptr when the engine has none.
    virtual NoteStarter* noteStarter() { return nullptr; }
    // False when the output's server carries the stream on a thread of ordinary priority
    // (PulseAudio's main thread): a MIDI thread ahead of ordinary work would starve it in a
    // flood, and the sound would drop out.
    virtual bool midiMayRunAhead() { return true; }
    // The gaps a device's buffer ran dry since the output opened (PulseAudio, ALSA).
    virtual unsigned underruns() { return 0; }
};

} // namespace sonarello::sound
