#include "base/files.h"
#include "base/text.h"
#include "engine/audio_engine.h"
#include "library/catalogue.h"
#include "soundgen.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace sonarello;

TEST(Catalogue, DurationsLeaveOutEmptyFieldsTitlesDropEveryExactExtensionBitRatesClamp)
{
    for (const auto& [seconds, text] : {std::pair{250.0, "  4 min 10.0 s"},
                                        {45.3, "  45.3 s"},
                                        {3605.0, " 1 h   5.0 s"},
                                        {1205.0, " 20 min  5.0 s"},
                                        {119.6, "  1 min 59.6 s"},
                                        {3725.25, " 1 h  2 min  5.2 s"}}) // 5.25 rounds to even
        EXPECT_EQ(formatDuration(seconds), text);
    EXPECT_EQ(fileTitleFromPath("/music/a.mp3.mp3", ".mp3"), "a");
    EXPECT_EQ(fileTitleFromPath("back\\slash.wav", ".wav"), "back\\slash");
    EXPECT_EQ(bitRateKbps(4000000, 250000), 128);
    EXPECT_EQ(bitRateKbps(12345, 0), 0); // a stream without length
    EXPECT_EQ(bitRateKbps(UINT32_MAX, 1), INT32_MAX);
}

// The text rules of titles and their order, where the scans below do not reach: UTF-8 sequences
// of four bytes or cut short at the edge of a field, and byte order beyond ASCII letters.
TEST(Catalogue, TextNeverCutsAUtf8SequenceAndCaseTouchesAsciiLettersOnly)
{
    using namespace text;
    EXPECT_EQ(fitCharacters("\xF0\x9F\x8E\xB5x", 1), "\xF0\x9F\x8E\xB5");
    EXPECT_EQ(fitCharacters("ab\xC3", 5), "ab\xC3") << "a cut sequence counts byte by byte";
    EXPECT_EQ(asciiUpper("àbc-z"), "àBC-Z");
    EXPECT_FALSE(equalsIgnoringAsciiCase("È", "è"));
    EXPECT_TRUE(lessIgnoringAsciiCase("z", "\xC3\xA0")) << "bytes compare unsigned";
    EXPECT_TRUE(lessIgnoringAsciiCase("a", "_")) << "0x5F sorts after letters mapped to capitals";
    EXPECT_TRUE(lessIgnoringAsciiCase("song", "song2"));
}

class CatalogueScan : public ::testing::Test
{
  protected:
    test::TempFolder folder;
    std::unique_ptr<sound::ManualEngine> manual = sound::createManualEngine(44100);
    sound::SoundEngine& engine = manual->engine();
    TrackCatalogue catalogue;

    std::string work() const { return folder.path().string() + "/"; }
    void bytes(const std::string& name, const std::string& contents)
    {
        std::ofstream(folder.file(name), std::ios::binary) << contents;
    }
    std::string listFile() const { return os::readWholeFile(folder.file("lista mp3.txt")); }
    std::vector<std::string> titles() const
    {
        return {catalogue.FileTitle.begin() + 1,
                catalogue.FileTitle.begin() + 1 + catalogue.FileCount};
    }
};

TEST_F(CatalogueScan, SortsAcrossBothKindsIgnoringCaseAndWritesTheListByteForByteIfItCan)
{
    using soundgen::Container;
    ASSERT_TRUE(
        test::writeSine(folder.file("b.wav"), 441, 250.0 / 60, 44100, 0.5f, Container::Wav16));
    ASSERT_TRUE(test::writeSine(folder.file("A.mp3"), 441, 1.0, 44100, 0.5f, Container::Mp3Cbr));
    bytes("c.mp3", "");
    scanCatalogue(catalogue, work(), engine);

    ASSERT_EQ(titles(), (std::vector<std::string>{"A (1.0 s)", "b (4.2 s)", "c (0.0 s)"}));
    EXPECT_EQ(catalogue.FilePath[1], work() + "A.mp3");
    EXPECT_EQ(catalogue.FilePath[3], work() + "c.mp3");

    // An mp3's size, and so its bit rate, are its encoder's; b's line pins the bit rate.
    std::string list = listFile();
    const auto rate = list.find("001 A (") + 7;
    list.replace(rate, list.find(' ', rate) - rate, "N");
    EXPECT_EQ(list, "Dormelto: 3 files. *" + work() + "*\r\n001 A (N kbps, " +
                        std::to_string(std::filesystem::file_size(folder.file("A.mp3"))) +
                        " Bytes,   1.0 s)\r\n"
                        "002 b (1411 kbps, 735044 Bytes,   4.2 s)\r\n"
                        "003 c (0 kbps, 0 Bytes,   0.0 s)\r\n");

    std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    scanCatalogue(catalogue, work(), engine);
    EXPECT_EQ(catalogue.FileCount, 3) << "a read-only folder still gives the catalogue";
    EXPECT_EQ(catalogue.FileTitle[2], "b (4.2 s)");
}

TEST_F(CatalogueScan, OddFilesKeepTheirLinesAndTheListStaysWhole)
{
    bytes("zero.mp3", "");
    bytes("noise.wav", std::string(5000, '\x5A'));
    bytes(" blank \"quoted\" città.wav", "RIFF");
    bytes("-dash.mp3", "x");
    bytes("LOUD.MP3", "x");
    bytes(".hidden.mp3", "x");
    bytes("notes.txt", "x");
    std::filesystem::create_directory(folder.file("folder.mp3"));
    scanCatalogue(catalogue, work(), engine);

    EXPECT_EQ(titles(),
              (std::vector<std::string>{" blank \"quoted\" città (0.0 s)", "-dash (0.0 s)",
                                        "LOUD.MP3 (0.0 s)", "noise (0.0 s)", "zero (0.0 s)"}));
    const auto list = listFile();
    EXPECT_TRUE(list.starts_with("Dormelto: 5 files. *"));
    EXPECT_NE(list.find("005 zero (0 kbps, 0 Bytes,   0.0 s)\r\n"), std::string::npos);
    EXPECT_NE(list.find("004 noise (0 kbps, 0 Bytes,   0.0 s)\r\n"), std::string::npos);
}

TEST_F(CatalogueScan, StopsAtThreeThousandAndMeasuresTheFirstTwoHundred)
{
    for (int i = 0; i < 2990; ++i)
        bytes("m" + std::to_string(10000 + i) + ".mp3", "");
    for (int i = 0; i < 20; ++i)
        bytes("w" + std::to_string(10 + i) + ".wav", "");
    scanCatalogue(catalogue, work(), engine);

    EXPECT_EQ(catalogue.FileCount, kMaxFiles);
    EXPECT_EQ(catalogue.FilePath[kMaxFiles], work() + "w19.wav"); // only w10..w19 fitted
    EXPECT_EQ(catalogue.FileTitle[200], "m10199 (0.0 s)");
    EXPECT_EQ(catalogue.FileTitle[201], "m10200");
    const auto list = listFile();
    EXPECT_NE(list.find("\r\n200 m10199 ("), std::string::npos);
    EXPECT_EQ(list.find("\r\n201 "), std::string::npos);
}

TEST(CatalogueWantedFile, MovesTheFirstPathEndingWithTheNameToEntryOne)
{
    const TrackCatalogue c{3, {"", "/m/a.mp3", "/m/b.mp3", "/m/xb.mp3"}, {"", "a", "b", "xb"}};
    for (const char* wanted :
         {"\"/m/b.mp3\"", "B.mp3", "/longer/than/every/path/m/a.mp3", "", "\"\""})
    {
        auto moved = c;
        moveWantedFileFirst(moved, wanted);
        const bool found = wanted == std::string("\"/m/b.mp3\"");
        EXPECT_EQ(moved.FilePath[1], found ? "/m/b.mp3" : "/m/a.mp3") << wanted;
        EXPECT_EQ(moved.FilePath[2], found ? "/m/a.mp3" : "/m/b.mp3") << wanted;
        EXPECT_EQ(moved.FileTitle[1], found ? "b" : "a") << wanted;
        EXPECT_EQ(moved.FilePath[3], "/m/xb.mp3") << wanted;
    }
}
