// Any bytes as an audio file, named .wav or .mp3 by the first byte: opening, measuring,
// decoding to the end and seeking never fail, and decoding never yields more frames than
// the length the decoder reported.
#include "engine/decoder.h"
#include "fuzz_check.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

using namespace sonarello;

namespace
{

constexpr std::int64_t kBlockFrames = 4096;

// The frames read up to the end, or up to 4 M frames (enough for any small input).
std::int64_t readToEnd(sound::Decoder& decoder)
{
    static std::vector<float> block(2 * kBlockFrames);
    std::int64_t total = 0;
    for (std::int64_t got = -1; got != 0 && total < std::int64_t{1} << 22; total += got)
    {
        got = decoder.read(block.data(), kBlockFrames);
        FUZZ_CHECK(got >= 0 && got <= kBlockFrames);
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const auto path =
        std::filesystem::temp_directory_path() /
        ("sonarello-fuzz-" + std::to_string(::getpid()) + (data[0] % 2 ? ".mp3" : ".wav"));
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    if (const auto measure = sound::measureFile(path.string()))
        FUZZ_CHECK(measure->format.frames >= 0 && measure->sizeBytes == size - 1);

    if (auto decoder = sound::openDecoder(path.string()))
    {
        const std::int64_t frames = decoder->format().frames;
        FUZZ_CHECK(frames >= 0 && decoder->format().sampleRate > 0);
        FUZZ_CHECK(readToEnd(*decoder) <= frames);
        if (decoder->seek(frames / 2))
            FUZZ_CHECK(readToEnd(*decoder) <= frames - frames / 2);
        if (decoder->seek(0))
            FUZZ_CHECK(readToEnd(*decoder) <= frames);
    }
    std::filesystem::remove(path);
    return 0;
}
