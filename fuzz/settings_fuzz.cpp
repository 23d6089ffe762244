// Any bytes as the settings file: reading never fails, and the text written back from what
// was read reads back to the same rows and the same kept lines, and writes the same text.
#include "fuzz_check.h"
#include "library/settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

using namespace sonarello;

namespace
{

constexpr int kRowCounts = 80; // a little beyond the 72 rows of the grid

bool sameRows(const Settings& a, const Settings& b)
{
    const auto fields = [](const RowSettings& r)
    { return std::tie(r.RowSpeed, r.RowVolume, r.RowLoop, r.RowFile); };
    return std::equal(a.rows.begin(), a.rows.end(), b.rows.begin(), b.rows.end(),
                      [&](const RowSettings& x, const RowSettings& y)
                      { return fields(x) == fields(y); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int rowCount = data[0] % kRowCounts;
    const std::string_view contents(reinterpret_cast<const char*>(data + 1), size - 1);

    const Settings read = parseSettings(contents, rowCount);
    FUZZ_CHECK(read.rows.size() == static_cast<std::size_t>(rowCount) + 1);
    for (int row = 1; row <= rowCount; ++row)
        FUZZ_CHECK(read.rows[static_cast<std::size_t>(row)].RowFile >= 1);

    const std::string written = formatSettings(read);
    const Settings reread = parseSettings(written, rowCount);
    FUZZ_CHECK(sameRows(read, reread));
    FUZZ_CHECK(read.linesBeyond == reread.linesBeyond);
    FUZZ_CHECK(formatSettings(reread) == written);
    return 0;
}
