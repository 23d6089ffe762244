// Any bytes as an audio file, named .wav or .mp3 by the first byte: opening, measuring,
// decoding to the end and seeking never fail, and decoding never yields more frames than
// the length the decoder reported.
#include "engine/decoder.h"
#include "fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace sonarello;

namespace
{

constexpr std::int64_t kBlockFrames = 4096;
constexpr std::int64_t kMostFrames = std::int64_t{1} << 22; // enough for any small input

std::string inputPath(bool mp3)
{
    const auto folder = std::filesystem::temp_directory_path();
    const std::string name = "sonarello-fuzz-" + std::to_string(::getpid());
    return (folder / (name + (mp3 ? ".mp3" : ".wav"))).string();
}

std::int64_t readToEnd(sound::Decoder& decoder, std::vector<float>& block)
{
    std::int64_t total = 0;
    while (total < kMostFrames)
    {
        const std::int64_t got = decoder.read(block.data(), kBlockFrames);
        FUZZ_CHECK(got >= 0 && got <= kBlockFrames);
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string path = inputPath(data[0] % 2 == 1);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    if (const auto measure = sound::measureFile(path))
        FUZZ_CHECK(measure->format.frames >= 0 && measure->sizeBytes == size - 1);

    if (auto decoder = sound::openDecoder(path))
    {
        const sound::AudioFormat format = decoder->format();
        FUZZ_CHECK(format.frames >= 0 && format.sampleRate > 0);
        std::vector<float> block(static_cast<std::size_t>(kBlockFrames) * 2);
        FUZZ_CHECK(readToEnd(*decoder, block) <= format.frames);
        const std::int64_t middle = format.frames / 2;
        if (decoder->seek(middle))
            FUZZ_CHECK(readToEnd(*decoder, block) <= format.frames - middle);
        if (decoder->seek(0))
            FUZZ_CHECK(readToEnd(*decoder, block) <= format.frames);
    }
    std::filesystem::remove(path);
    return 0;
}
