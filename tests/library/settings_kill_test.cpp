// Saving the settings survives being killed at any moment: a child process saves two known
// versions in turn and is killed (SIGKILL) a thousand times; after each kill the file holds
// one version whole, and at most one temporary file is left beside it.
#include "base/files.h"
#include "library/settings.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sonarello
{
namespace
{

constexpr int kKills = 1000;
constexpr int kLongestLifeUs = 4000; // a child lives long enough for a few saves
constexpr int kRows = 72;

// A full grid; the second version also keeps many lines of rows beyond it, so the two
// texts differ in length and a cut or mixed file cannot pass for either.
Settings version(int speed, int linesBeyond)
{
    Settings s;
    s.rows.resize(kRows + 1);
    for (int row = 1; row <= kRows; ++row)
        s.rows[static_cast<std::size_t>(row)] = {speed, 255 - row,
                                                 static_cast<std::uint8_t>(row % 2), row + speed};
    for (int i = 0; i < linesBeyond; ++i)
        s.linesBeyond.push_back("riga= " + std::to_string(kRows + 1 + i) +
                                " ,velo= 50 ,vol= 255 ,loop= 1 ,file= " + std::to_string(i));
    return s;
}

std::size_t filesBeside(const std::filesystem::path& folder)
{
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        n += entry.path().filename() != kSettingsFileName;
    return n;
}

TEST(SettingsFile, KilledWhileSavingHoldsTheOldOrTheNewVersionWhole)
{
    test::TempFolder folder;
    const std::string path = folder.file(kSettingsFileName);
    const std::array<Settings, 2> versions{version(50, 0), version(80, 400)};
    const std::array<std::string, 2> texts{formatSettings(versions[0]),
                                           formatSettings(versions[1])};
    ASSERT_TRUE(saveSettings(path, versions[0]));

    std::mt19937 random(20070727);
    std::uniform_int_distribution<int> lifeUs(0, kLongestLifeUs);
    std::array<int, 2> seen{};
    int tempLeft = 0;
    for (int kill = 0; kill < kKills; ++kill)
    {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            for (std::size_t i = 1;; ++i)
                saveSettings(path, versions[i % 2]);
        std::this_thread::sleep_for(std::chrono::microseconds(lifeUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);

        const std::string now = os::readWholeFile(path);
        ASSERT_TRUE(now == texts[0] || now == texts[1])
            << "after kill " << kill << " the file holds " << now.size() << " bytes";
        ++seen[now == texts[0] ? 0 : 1];
        const std::size_t beside = filesBeside(folder.path());
        ASSERT_LE(beside, 1u) << "temporary files pile up after kill " << kill;
        tempLeft += static_cast<int>(beside);
    }
    // The kills landed both between saves and inside them.
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(tempLeft, 0);
}

} // namespace
} // namespace sonarello
