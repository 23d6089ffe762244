// Sound files written and read back, measurements of what they hold, and the engine over the
// system's outputs, for the tests of the engine and of the program. Test thread.
#pragma once

#include "devices/system_outputs.h"
#include "engine/decoder.h"
#include "soundgen.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonarello::test
{

// The engine over the system's outputs started on `output` (auto, null, wav:FILE, ...); null
// when that output cannot open.
inline std::unique_ptr<sound::SoundEngine> startSystemEngine(const std::string& output,
                                                             int periodFrames = 256)
{
    auto engine = sound::createSystemEngine();
    return engine->start({.output = output, .periodFrames = periodFrames}) ? std::move(engine)
                                                                           : nullptr;
}

// A float WAV whose left sample is frame / frames and right sample its negative, so every
// rendered value names the frame it came from.
inline bool writeRampFile(const std::string& path, std::int64_t frames, int rate)
{
    std::vector<float> samples;
    for (std::int64_t f = 0; f < frames; ++f)
        for (const float sign : {1.0f, -1.0f})
            samples.push_back(sign * static_cast<float>(f) / static_cast<float>(frames));
    return soundgen::writeSamples(path, samples, rate, 2, soundgen::Container::WavFloat);
}

inline std::int64_t rampFrameOf(float value, std::int64_t frames)
{
    return std::llround(static_cast<double>(value) * static_cast<double>(frames));
}

inline bool writeSine(const std::string& path, double hz, double seconds, int rate,
                      float amplitude = 0.5f,
                      soundgen::Container container = soundgen::Container::WavFloat)
{
    return soundgen::writeSound(path, {soundgen::Sound::Sine, hz, seconds, rate, 2, amplitude},
                                container);
}

// Frequency of the left channel from its rising zero crossings.
inline double measureFrequency(const std::vector<float>& stereo, int rate)
{
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = 2; i + 1 < stereo.size(); i += 2)
    {
        const float a = stereo[i - 2], b = stereo[i];
        if (a < 0 && b >= 0)
        {
            const double at = static_cast<double>(i / 2 - 1) + a / (a - b);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * rate / (last - first);
}

inline float peakOf(const std::vector<float>& stereo, std::size_t from = 0)
{
    float peak = 0;
    for (std::size_t i = from; i < stereo.size(); ++i)
        peak = std::max(peak, std::fabs(stereo[i]));
    return peak;
}

// The whole file as interleaved stereo, with its rate; empty when it cannot be decoded.
inline std::vector<float> readSound(const std::string& path, int& rate)
{
    auto decoder = sound::openDecoder(path);
    if (!decoder)
        return {};
    rate = decoder->format().sampleRate;
    std::vector<float> samples(static_cast<std::size_t>(decoder->format().frames) * 2);
    samples.resize(
        static_cast<std::size_t>(decoder->read(samples.data(), decoder->format().frames)) * 2);
    return samples;
}

} // namespace sonarello::test
