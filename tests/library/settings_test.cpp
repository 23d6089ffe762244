#include "base/files.h"
#include "library/settings.h"
#include "support/temp_folder.h"

#include <array>
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sonarello;
namespace fs = std::filesystem;

namespace
{

void expectRow(const Settings& s, int row, int speed, int volume, int loop, int file)
{
    const auto& r = s.rows.at(static_cast<std::size_t>(row));
    EXPECT_EQ(std::tuple(r.RowSpeed, r.RowVolume, int(r.RowLoop), r.RowFile),
              std::tuple(speed, volume, loop, file))
        << "row " << row;
}

} // namespace

TEST(Settings, AppliesLinesOverTheDefaultsInsideThirtyTwoBits)
{
    const auto s = parseSettings("riga=  3 ,velo= 80 ,vol= 100 ,loop= 0 ,file= 7 \r\n"
                                 "riga= 4 \r\n"
                                 "riga= 5 ,file= 0 \r\n"
                                 "riga=2,velo=50.5,vol=51.5,loop=258\r\n"
                                 "garbage line\r\n\r\n"
                                 "riga=6,velo=1,vol=2,loop=1,file=2\r\n"
                                 "riga=6,velo=9\r\n"
                                 "file=3,riga=7,vol=vol=5,velo=-12.75abc,loop=x\r\n",
                                 7);
    expectRow(s, 1, 50, 255, 1, 1);
    expectRow(s, 3, 80, 100, 0, 7);
    expectRow(s, 4, 0, 0, 0, 1);
    expectRow(s, 5, 0, 0, 0, 1);
    expectRow(s, 2, 50, 52, 2, 1); // halves to even, loop keeps its low 8 bits
    expectRow(s, 6, 9, 0, 0, 1);   // the last line naming a row wins
    // Keys in any order; a value ends at the first byte that is no number, or where its own
    // key stands again.
    expectRow(s, 7, -13, 0, 0, 3);

    for (const char* end : {"\n", "\r", "\r\n"})
    {
        const std::string text = std::string("riga=1,velo=11") + end + "riga=2,velo=22" + end +
                                 "riga=3,velo=33\x1A" + end + "riga=4,velo=44" + end;
        const auto t = parseSettings(text, 4);
        EXPECT_EQ(std::vector({t.rows[1].RowSpeed, t.rows[2].RowSpeed, t.rows[3].RowSpeed,
                               t.rows[4].RowSpeed}),
                  std::vector({11, 22, 33, 50}))
            << "every line end ends a line, byte 26 the text";
    }

    // Huge numbers and binary bytes.
    std::string binary(300, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i % 256 == 26 ? 27 : i % 256); // byte 26 would end the text
    const auto h = parseSettings("riga=1,velo=99999999999999999999,vol=-1e400,file=-5\n" + binary +
                                     "\nriga=2,velo=" + std::string(10'000'000, '9') + "\n",
                                 2);
    expectRow(h, 1, INT32_MAX, -1, 0, 1);
    EXPECT_EQ(h.rows[2].RowSpeed, INT32_MAX);
}

TEST(Settings, SavesOneLinePerRowThenTheRowsBeyondAsTheyWereRead)
{
    auto s = parseSettings("riga=1,velo=70\r\n"
                           "riga= 73 ,velo= 1 ,vol= 2 ,loop= 0 ,file= 9 \n"
                           "riga=3,file=3001\n"
                           "riga=9 odd\r",
                           2);
    s.rows[2].RowFile = 5;
    EXPECT_EQ(formatSettings(s), "riga=  1 ,velo= 70 ,vol= 0 ,loop= 0 ,file= 1 \r\n"
                                 "riga=  2 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 5 \r\n"
                                 "riga= 73 ,velo= 1 ,vol= 2 ,loop= 0 ,file= 9 \r\n"
                                 "riga=3,file=3001\r\n"
                                 "riga=9 odd\r\n");
    // Read again with more rows, the kept lines apply; an index past the catalogue stays.
    const auto again = parseSettings(formatSettings(s), 73);
    expectRow(again, 73, 1, 2, 0, 9);
    EXPECT_EQ(again.rows[3].RowFile, 3001);
    EXPECT_TRUE(again.linesBeyond.empty());
}

class SettingsFile : public ::testing::Test
{
  protected:
    // The file holds row 1 at speed 7; the settings to save set it to 8.
    Settings changed()
    {
        std::ofstream(path) << kOld;
        auto s = loadSettings(path, 1);
        s.rows[1].RowSpeed = 8;
        return s;
    }
    static constexpr const char* kOld = "riga=1,velo=7\r\n";
    test::TempFolder folder;
    std::string path = folder.file(kSettingsFileName);
};

TEST_F(SettingsFile, FullDiskOrAReadOnlyFileKeepsTheOldFileWhole)
{
    const auto s = changed();
    // A file-size limit fails the write as a full disk does, also for the superuser.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit tiny{10, previous.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    const bool saved = saveSettings(path, s);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(saved);
    EXPECT_EQ(os::readWholeFile(path), kOld);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1) << "no temporary file";

    const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(path, readOnly);
    EXPECT_FALSE(saveSettings(path, s));
    EXPECT_EQ(os::readWholeFile(path), kOld);
    EXPECT_EQ(fs::status(path).permissions(), readOnly);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(saveSettings(path, s));
    EXPECT_EQ(os::readWholeFile(path), formatSettings(s));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << "a replaced file keeps its permissions";
}

// A FIFO no writer ever opens, a link to an endless device, a file far larger than any settings
// file: none is read, and the first two are never replaced either.
TEST_F(SettingsFile, OnlyARegularFileOfSensibleSizeIsRead)
{
    ASSERT_EQ(::mkfifo(folder.file("fifo").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", folder.file("zero"));
    std::ofstream(folder.file("huge")) << std::string(kMaxSettingsBytes, ' ') << "riga=1,vol=7";
    ::alarm(10); // a blind read waits for the FIFO's writer, or for memory to run out
    for (const std::string name : {"fifo", "zero", "huge"})
    {
        auto s = loadSettings(folder.file(name), 1);
        expectRow(s, 1, 50, 255, 1, 1);
        EXPECT_NE(s.problem.find(name), std::string::npos) << name;
        EXPECT_TRUE(name == "huge" || !saveSettings(folder.file(name), s)) << name;
    }
    ::alarm(0);
    EXPECT_TRUE(fs::is_fifo(folder.file("fifo")));
    EXPECT_EQ(fs::read_symlink(folder.file("zero")), "/dev/zero");
}

// A link planted at the temporary name never leads a save into another file; a settings file
// that is itself a link is updated where it points.
TEST_F(SettingsFile, SavesNeverFollowALinkButTheSettingsFilesOwn)
{
    const std::string victim = folder.file("victim");
    std::ofstream(victim) << "mine";
    fs::create_symlink(victim, path + ".tmp");
    EXPECT_TRUE(saveSettings(path, changed()));
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(os::readWholeFile(victim), "mine");

    fs::create_directory(folder.file("setups"));
    fs::remove(path);
    path = folder.file("setups/show.ini");
    const auto s = changed();
    fs::create_symlink("setups/show.ini", folder.file(kSettingsFileName));
    ASSERT_TRUE(saveSettings(folder.file(kSettingsFileName), s));
    EXPECT_TRUE(fs::is_symlink(folder.file(kSettingsFileName)));
    EXPECT_EQ(os::readWholeFile(path), formatSettings(s));
}

// A child saves two known versions in turn and is killed (SIGKILL) a thousand times: after each
// kill the file holds one version whole, and at most one temporary file is left beside it.
TEST_F(SettingsFile, KilledWhileSavingHoldsTheOldOrTheNewVersionWhole)
{
    // Full grids; the second also keeps many lines of rows beyond it, so the two texts differ
    // in length and a cut or mixed file cannot pass for either.
    std::array<Settings, 2> versions;
    for (int v = 0; v < 2; ++v)
    {
        versions[v].rows.resize(73);
        for (int row = 1; row <= 72; ++row)
            versions[v].rows[std::size_t(row)] = {50 + 30 * v, 255 - row, std::uint8_t(row % 2),
                                                  row + v};
        for (int i = 0; i < 400 * v; ++i)
            versions[v].linesBeyond.push_back("riga= " + std::to_string(73 + i) + " ,file= 1");
    }
    const std::array texts{formatSettings(versions[0]), formatSettings(versions[1])};
    const auto reread = parseSettings(texts[1], 72);
    for (int row = 1; row <= 72; ++row)
        expectRow(reread, row, 80, 255 - row, row % 2, row + 1); // every row is saved
    ASSERT_TRUE(saveSettings(path, versions[0]));

    std::mt19937 random(20070727);
    std::uniform_int_distribution<int> lifeUs(0, 4000); // long enough for a few saves
    std::array<int, 2> seen{};
    int tempLeft = 0;
    for (int kill = 0; kill < 1000; ++kill)
    {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            for (std::size_t i = 1;; ++i)
                saveSettings(path, versions[i % 2]);
        std::this_thread::sleep_for(std::chrono::microseconds(lifeUs(random)));
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);

        const std::string now = os::readWholeFile(path);
        ASSERT_TRUE(now == texts[0] || now == texts[1])
            << "after kill " << kill << " the file holds " << now.size() << " bytes";
        ++seen[now == texts[0] ? 0 : 1];
        const auto beside = std::distance(fs::directory_iterator(folder.path()), {}) - 1;
        ASSERT_LE(beside, 1) << "temporary files pile up after kill " << kill;
        tempLeft += static_cast<int>(beside);
    }
    // The kills landed both between saves and inside them.
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(tempLeft, 0);
}
