// Synthesises short musical sounds (tones, drum hits, a chord, a two-bar loop) and writes
// them as WAV (libsndfile) or MP3 (libmp3lame): the demo folder and the tests' files.
#pragma once

#include <string>
#include <vector>

namespace sonarello::soundgen
{

enum class Sound
{
    Sine, // a pure tone at `frequency`
    Kick, // drum hits: sharp attack, fast decay
    Snare,
    HiHat,
    Chord, // a major triad on `frequency`
    Loop,  // two bars of drums and bass at 120 bpm, seamless when repeated
    Silence,
};

struct SoundSpec
{
    Sound sound = Sound::Sine;
    double frequency = 441.0;
    double seconds = 1.0; // ignored by Loop (always two bars)
    int sampleRate = 44100;
    int channels = 2;
    float amplitude = 0.5f;
};

enum class Container
{
    Wav16,
    Wav8,
    Wav24,
    Wav32,
    WavFloat,
    WavAdpcm,       // IMA ADPCM
    WavExtensible,  // WAVE_FORMAT_EXTENSIBLE, 16-bit
    Mp3Cbr,         // with a LAME/Info header
    Mp3Vbr,         // with a LAME/Xing header
    Mp3CbrNoHeader, // bare frames: the length must come from a frame scan
    Mp3VbrNoHeader,
};

// Interleaved samples, `channels` per frame.
std::vector<float> synthesise(const SoundSpec& recipe);

// Writes interleaved samples; false (and no file left behind) on failure.
bool writeSamples(const std::string& path, const std::vector<float>& samples, int sampleRate,
                  int channels, Container container);
bool writeSound(const std::string& path, const SoundSpec& recipe, Container container);

// Fills `folder` (created if missing) with the demo set: a dozen files mixing kinds,
// containers, rates and channel counts. Returns the number of files written.
int writeDemoFolder(const std::string& folder);

} // namespace sonarello::soundgen
