// Any bytes as the settings file: reading never fails, and the text written back from what
// was read reads back to the same rows and the same kept lines, and writes the same text.
#include "fuzz_check.h"
#include "library/settings.h"

#include <algorithm>
#include <string_view>
#include <tuple>

using namespace sonarello;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int rowCount = data[0] % 80; // a little beyond the 72 rows of the grid
    const Settings read =
        parseSettings({reinterpret_cast<const char*>(data + 1), size - 1}, rowCount);
    FUZZ_CHECK(read.rows.size() == static_cast<std::size_t>(rowCount) + 1);
    for (int row = 1; row <= rowCount; ++row)
        FUZZ_CHECK(read.rows[static_cast<std::size_t>(row)].RowFile >= 1);

    const std::string written = formatSettings(read);
    const Settings reread = parseSettings(written, rowCount);
    const auto fields = [](const RowSettings& r)
    { return std::tie(r.RowSpeed, r.RowVolume, r.RowLoop, r.RowFile); };
    FUZZ_CHECK(std::equal(
        read.rows.begin(), read.rows.end(), reread.rows.begin(), reread.rows.end(),
        [&](const RowSettings& x, const RowSettings& y) { return fields(x) == fields(y); }));
    FUZZ_CHECK(read.linesBeyond == reread.linesBeyond);
    FUZZ_CHECK(formatSettings(reread) == written);
    return 0;
}
