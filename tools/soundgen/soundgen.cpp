#include "soundgen.h"

#include "base/raii.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <lame/lame.h>
#include <numbers>
#include <sndfile.h>

namespace sonarello::soundgen
{

namespace
{

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kLoopBpm = 120.0;
constexpr int kLoopBars = 2;

// A fixed pseudo-random sequence, so every generated file is the same on every machine.
struct Noise
{
    std::uint32_t state = 0x12345678u;
    float next()
    {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
};

using Mono = std::vector<float>;

void addKick(Mono& out, std::size_t at, int rate, float gain)
{
    double phase = 0.0;
    for (std::size_t i = 0; at + i < out.size() && i < static_cast<std::size_t>(rate / 2); ++i)
    {
        const double t = static_cast<double>(i) / rate;
        phase += kTwoPi * (50.0 + 100.0 * std::exp(-t * 30.0)) / rate;
        out[at + i] += gain * static_cast<float>(std::sin(phase) * std::exp(-t * 8.0));
    }
}

void addSnare(Mono& out, std::size_t at, int rate, float gain)
{
    Noise noise;
    for (std::size_t i = 0; at + i < out.size() && i < static_cast<std::size_t>(rate / 4); ++i)
    {
        const double t = static_cast<double>(i) / rate;
        const double tone = 0.4 * std::sin(kTwoPi * 180.0 * t);
        out[at + i] += gain * static_cast<float>((0.6 * noise.next() + tone) * std::exp(-t * 18.0));
    }
}

void addHiHat(Mono& out, std::size_t at, int rate, float gain)
{
    Noise noise;
    float previous = 0.0f;
    for (std::size_t i = 0; at + i < out.size() && i < static_cast<std::size_t>(rate / 12); ++i)
    {
        const double t = static_cast<double>(i) / rate;
        const float n = noise.next();
        out[at + i] += gain * static_cast<float>((n - previous) * 0.5 * std::exp(-t * 60.0));
        previous = n;
    }
}

void addTone(Mono& out, std::size_t at, std::size_t length, double frequency, int rate, float gain)
{
    const double release = 0.01 * rate;
    for (std::size_t i = 0; at + i < out.size() && i < length; ++i)
    {
        const double fromEnd = static_cast<double>(length - i);
        const double envelope =
            std::min({1.0, static_cast<double>(i) / release, fromEnd / release});
        out[at + i] +=
            gain * static_cast<float>(envelope *
                                      std::sin(kTwoPi * frequency * static_cast<double>(i) / rate));
    }
}

Mono makeLoop(const SoundSpec& recipe)
{
    const int rate = recipe.sampleRate;
    const double beat = 60.0 / kLoopBpm;
    const auto beatFrames = static_cast<std::size_t>(beat * rate);
    Mono out(beatFrames * 4 * kLoopBars, 0.0f);
    const double bass[] = {55.0, 55.0, 65.41, 49.0};
    for (std::size_t b = 0; b < 4 * kLoopBars; ++b)
    {
        const std::size_t at = b * beatFrames;
        if (b % 2 == 0)
            addKick(out, at, rate, recipe.amplitude);
        else
            addSnare(out, at, rate, recipe.amplitude * 0.7f);
        addHiHat(out, at, rate, recipe.amplitude * 0.4f);
        addHiHat(out, at + beatFrames / 2, rate, recipe.amplitude * 0.25f);
        addTone(out, at, beatFrames * 3 / 4, bass[b % 4], rate, recipe.amplitude * 0.5f);
    }
    return out;
}

Mono makeMono(const SoundSpec& recipe)
{
    const int rate = recipe.sampleRate;
    const auto frames = static_cast<std::size_t>(std::llround(recipe.seconds * rate));
    Mono out(frames, 0.0f);
    switch (recipe.sound)
    {
    case Sound::Sine:
        for (std::size_t i = 0; i < frames; ++i)
            out[i] = recipe.amplitude * static_cast<float>(std::sin(kTwoPi * recipe.frequency *
                                                                    static_cast<double>(i) / rate));
        break;
    case Sound::Kick:
        addKick(out, 0, rate, recipe.amplitude);
        break;
    case Sound::Snare:
        addSnare(out, 0, rate, recipe.amplitude);
        break;
    case Sound::HiHat:
        addHiHat(out, 0, rate, recipe.amplitude);
        break;
    case Sound::Chord:
        for (const double ratio : {1.0, 1.25, 1.5})
            addTone(out, 0, frames, recipe.frequency * ratio, rate, recipe.amplitude / 3.0f);
        break;
    case Sound::Loop:
        return makeLoop(recipe);
    case Sound::Silence:
        break;
    }
    return out;
}

using SndFile = std::unique_ptr<SNDFILE, Deleter<sf_close>>;
using Lame = std::unique_ptr<lame_global_flags, Deleter<lame_close>>;

int sndfileFormat(Container c)
{
    switch (c)
    {
    case Container::Wav8:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    case Container::Wav24:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    case Container::Wav32:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    case Container::WavFloat:
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    case Container::WavAdpcm:
        return SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM;
    case Container::WavExtensible:
        return SF_FORMAT_WAVEX | SF_FORMAT_PCM_16;
    default:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    }
}

bool writeWav(const std::string& path, const std::vector<float>& samples, int rate, int channels,
              Container c)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = sndfileFormat(c);
    SndFile file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file)
        return false;
    const auto frames =
        static_cast<sf_count_t>(samples.size() / static_cast<std::size_t>(channels));
    return sf_writef_float(file.get(), samples.data(), frames) == frames;
}

Lame makeEncoder(int rate, int channels, Container c)
{
    Lame gf(lame_init());
    if (!gf)
        return gf;
    const bool vbr = c == Container::Mp3Vbr || c == Container::Mp3VbrNoHeader;
    const bool header = c == Container::Mp3Cbr || c == Container::Mp3Vbr;
    lame_set_in_samplerate(gf.get(), rate);
    lame_set_out_samplerate(gf.get(), rate);
    lame_set_num_channels(gf.get(), channels);
    lame_set_mode(gf.get(), channels == 1 ? MONO : JOINT_STEREO);
    lame_set_quality(gf.get(), 5);
    lame_set_bWriteVbrTag(gf.get(), header ? 1 : 0);
    if (vbr)
    {
        lame_set_VBR(gf.get(), vbr_default);
        lame_set_VBR_quality(gf.get(), 4.0f);
    }
    else
    {
        lame_set_VBR(gf.get(), vbr_off);
        lame_set_brate(gf.get(), rate < 32000 ? 64 : 128);
    }
    if (lame_init_params(gf.get()) < 0)
        gf.reset();
    return gf;
}

bool writeMp3(const std::string& path, const std::vector<float>& samples, int rate, int channels,
              Container c)
{
    Lame gf = makeEncoder(rate, channels, c);
    if (!gf)
        return false;
    const int frames = static_cast<int>(samples.size() / static_cast<std::size_t>(channels));
    std::vector<unsigned char> mp3(static_cast<std::size_t>(frames) * 5 / 4 + 7200 + 8192);
    int size = channels == 2
                   ? lame_encode_buffer_interleaved_ieee_float(
                         gf.get(), samples.data(), frames, mp3.data(), static_cast<int>(mp3.size()))
                   : lame_encode_buffer_ieee_float(gf.get(), samples.data(), samples.data(), frames,
                                                   mp3.data(), static_cast<int>(mp3.size()));
    if (size < 0)
        return false;
    const int tail =
        lame_encode_flush(gf.get(), mp3.data() + size, static_cast<int>(mp3.size()) - size);
    if (tail < 0)
        return false;
    size += tail;
    // The LAME/Xing tag frame replaces the placeholder frame the encoder left at the start.
    if (lame_get_bWriteVbrTag(gf.get()))
    {
        unsigned char tag[2880];
        const std::size_t tagSize = lame_get_lametag_frame(gf.get(), tag, sizeof tag);
        std::copy_n(tag, std::min(tagSize, static_cast<std::size_t>(size)), mp3.begin());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(mp3.data()), size);
    return static_cast<bool>(out.flush());
}

bool isMp3(Container c)
{
    return c == Container::Mp3Cbr || c == Container::Mp3Vbr || c == Container::Mp3CbrNoHeader ||
           c == Container::Mp3VbrNoHeader;
}

} // namespace

std::vector<float> synthesise(const SoundSpec& recipe)
{
    const Mono mono = makeMono(recipe);
    const auto channels = static_cast<std::size_t>(std::max(1, recipe.channels));
    std::vector<float> out(mono.size() * channels);
    for (std::size_t i = 0; i < mono.size(); ++i)
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i * channels), channels,
                    std::clamp(mono[i], -1.0f, 1.0f));
    return out;
}

bool writeSamples(const std::string& path, const std::vector<float>& samples, int sampleRate,
                  int channels, Container container)
{
    const bool ok = isMp3(container) ? writeMp3(path, samples, sampleRate, channels, container)
                                     : writeWav(path, samples, sampleRate, channels, container);
    if (!ok)
    {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    return ok;
}

bool writeSound(const std::string& path, const SoundSpec& recipe, Container container)
{
    return writeSamples(path, synthesise(recipe), recipe.sampleRate, std::max(1, recipe.channels),
                        container);
}

int writeDemoFolder(const std::string& folder)
{
    struct DemoFile
    {
        const char* name;
        SoundSpec recipe;
        Container container;
    };
    const DemoFile files[] = {
        {"01 Kick.wav", {Sound::Kick, 0, 0.6, 44100, 1, 0.9f}, Container::Wav16},
        {"02 Snare.wav", {Sound::Snare, 0, 0.4, 48000, 2, 0.8f}, Container::Wav24},
        {"03 Hi-hat.wav", {Sound::HiHat, 0, 0.2, 22050, 1, 0.8f}, Container::Wav8},
        {"04 Loop 120 bpm.wav", {Sound::Loop, 0, 0, 44100, 2, 0.7f}, Container::WavFloat},
        {"05 Loop 120 bpm.mp3", {Sound::Loop, 0, 0, 48000, 2, 0.7f}, Container::Mp3Vbr},
        {"06 Chord C major.mp3", {Sound::Chord, 261.63, 4.0, 44100, 2, 0.6f}, Container::Mp3Cbr},
        {"07 Chord F major.mp3", {Sound::Chord, 349.23, 4.0, 44100, 2, 0.6f}, Container::Mp3Vbr},
        {"08 Tone A 440.mp3", {Sound::Sine, 440.0, 3.0, 44100, 2, 0.4f}, Container::Mp3CbrNoHeader},
        {"09 Tone E 330.wav", {Sound::Sine, 329.63, 3.0, 22050, 1, 0.4f}, Container::WavAdpcm},
        {"10 Tone C 523.wav", {Sound::Sine, 523.25, 3.0, 48000, 2, 0.4f}, Container::WavExtensible},
        {"11 Chord G major.mp3",
         {Sound::Chord, 392.0, 6.0, 22050, 1, 0.6f},
         Container::Mp3VbrNoHeader},
        {"12 Long pad A minor.mp3", {Sound::Chord, 220.0, 40.0, 44100, 2, 0.5f}, Container::Mp3Cbr},
    };
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    int written = 0;
    for (const auto& f : files)
        written +=
            writeSound((std::filesystem::path(folder) / f.name).string(), f.recipe, f.container);
    return written;
}

} // namespace sonarello::soundgen
