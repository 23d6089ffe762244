// Any file name, extension, duration and stream size through the catalogue's text code:
// titles never hold a "/" nor grow, durations are one short line, bit rates are >= 0.
#include "fuzz_check.h"
#include "library/catalogue.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

using namespace sonarello;

namespace
{

constexpr std::size_t kNumbersSize = sizeof(double) + 2 * sizeof(std::uint32_t);
constexpr std::size_t kLongestDuration = 32;
constexpr double kLongestFileSeconds = 4294967.295; // 32-bit milliseconds

// Any duration is written without fault; those a file can have as "## h ## min ##.# s".
void checkDuration(double seconds)
{
    const std::string text = formatDuration(seconds);
    if (seconds > kLongestFileSeconds)
        return;
    FUZZ_CHECK(text.size() <= kLongestDuration);
    FUZZ_CHECK(text.ends_with(" s"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kNumbersSize)
        return 0;
    double seconds = 0;
    std::uint32_t bytes = 0;
    std::uint32_t ms = 0;
    std::memcpy(&seconds, data, sizeof seconds);
    std::memcpy(&bytes, data + sizeof seconds, sizeof bytes);
    std::memcpy(&ms, data + sizeof seconds + sizeof bytes, sizeof ms);

    if (std::isfinite(seconds))
        checkDuration(std::fabs(seconds));
    checkDuration(ms / 1000.0); // the durations the catalogue itself writes
    FUZZ_CHECK(bitRateKbps(bytes, ms) >= 0);

    // The rest is an extension, a zero byte, then a path.
    const std::string_view rest(reinterpret_cast<const char*>(data + kNumbersSize),
                                size - kNumbersSize);
    const auto zero = rest.find('\0');
    const std::string_view extension = zero == std::string_view::npos ? "" : rest.substr(0, zero);
    const std::string_view path = zero == std::string_view::npos ? rest : rest.substr(zero + 1);
    const std::string title = fileTitleFromPath(path, extension);
    FUZZ_CHECK(title.find('/') == std::string::npos);
    FUZZ_CHECK(title.size() <= path.size());
    if (extension.empty())
        FUZZ_CHECK(path.ends_with(title));
    return 0;
}
