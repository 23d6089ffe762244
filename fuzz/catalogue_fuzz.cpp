// Any file name, extension, duration and stream size through the catalogue's text code:
// titles never hold a "/" nor grow, durations are one short line, bit rates are >= 0.
#include "fuzz_check.h"
#include "library/catalogue.h"

#include <cmath>
#include <cstring>
#include <string_view>

using namespace sonarello;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    double seconds = 0;
    std::uint32_t numbers[2]{}; // bytes, ms
    if (size < sizeof seconds + sizeof numbers)
        return 0;
    std::memcpy(&seconds, data, sizeof seconds);
    std::memcpy(numbers, data + sizeof seconds, sizeof numbers);
    // Any duration is written without fault; those a file can have (up to 32-bit milliseconds,
    // as the catalogue itself writes them) as "## h ## min ##.# s".
    for (const double s : {std::isfinite(seconds) ? std::fabs(seconds) : 0.0, numbers[1] / 1000.0})
    {
        const std::string text = formatDuration(s);
        FUZZ_CHECK(s > 4294967.295 || (text.size() <= 32 && text.ends_with(" s")));
    }
    FUZZ_CHECK(bitRateKbps(numbers[0], numbers[1]) >= 0);

    // The rest is an extension, a zero byte, then a path.
    const std::string_view rest(reinterpret_cast<const char*>(data) + sizeof seconds +
                                    sizeof numbers,
                                size - sizeof seconds - sizeof numbers);
    const auto zero = rest.find('\0');
    const std::string_view extension = zero == std::string_view::npos ? "" : rest.substr(0, zero);
    const std::string_view path = zero == std::string_view::npos ? rest : rest.substr(zero + 1);
    const std::string title = fileTitleFromPath(path, extension);
    FUZZ_CHECK(title.find('/') == std::string::npos && title.size() <= path.size());
    FUZZ_CHECK(!extension.empty() || path.ends_with(title));
    return 0;
}
