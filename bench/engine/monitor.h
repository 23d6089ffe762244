// The recording of a sink's monitor that the PulseAudio benchmarks read, in small chunks of
// stereo floats. Any thread; one reader at a time.
#pragma once

#include "base/raii.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <pulse/error.h>
#include <pulse/simple.h>

namespace sonarello::bench
{

using MonitorStream = std::unique_ptr<pa_simple, Deleter<pa_simple_free>>;

// `device` nullptr: the default source. nullptr, with one line naming `program`, when the server
// refuses.
inline MonitorStream openMonitor(const char* program, const char* device, int rate, int chunkFrames)
{
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(rate), 2};
    const auto any = static_cast<std::uint32_t>(-1);
    const pa_buffer_attr attr{any, any, any, any,
                              static_cast<std::uint32_t>(chunkFrames * 2 * sizeof(float))};
    int error = 0;
    MonitorStream stream(pa_simple_new(nullptr, program, PA_STREAM_RECORD, device, "monitor",
                                       &format, nullptr, &attr, &error));
    if (!stream)
        std::printf("%s: no recording: %s\n", program, pa_strerror(error));
    return stream;
}

} // namespace sonarello::bench
