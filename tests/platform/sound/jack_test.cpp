// End to end through a real JACK server (dummy driver, no sound card): what the engine plays
// is recorded by a second JACK client, also across a restart of the server.
#include "platform/sound/audio_engine.h"
#include "platform/sound/output.h"
#include "sound_files.h"
#include "support/jack_server.h"
#include "support/temp_folder.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sonarello;
using namespace sonarello::sound;
using namespace std::chrono_literals;

namespace
{

bool haveProgram(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::map<std::string, std::string> record(double seconds, double waitSeconds)
{
    const std::string command = std::string("/usr/bin/python3 ") + SONARELLO_JACK_RECORDER + " " +
                                std::to_string(seconds) + " " + std::to_string(waitSeconds);
    std::map<std::string, std::string> fields;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return fields;
    char line[1024] = {};
    std::string text;
    while (std::fgets(line, sizeof line, pipe))
        text += line;
    pclose(pipe);
    fields["text"] = text;
    std::istringstream words(text);
    std::string word;
    while (words >> word)
        if (const auto eq = word.find('='); eq != std::string::npos)
            fields[word.substr(0, eq)] = word.substr(eq + 1);
    return fields;
}

TEST(JackOutput, PlaysIntoJackAndComesBackAfterTheServerRestarts)
{
    if (!haveProgram("command -v jackd") ||
        !haveProgram("/usr/bin/python3 -c 'import jack, numpy'"))
        GTEST_SKIP() << "needs jackd and the python3 jack and numpy modules";
    test::JackServer server("sonarello-test-" + std::to_string(getpid()), 256);
    ASSERT_TRUE(server.start()) << "jackd did not come up";

    test::TempFolder folder;
    ASSERT_TRUE(test::writeSine(folder.file("a.wav"), 441, 12, 44100));
    auto engine = createAudioEngine();
    EngineOptions options;
    options.output = "jack";
    ASSERT_TRUE(engine->start(options));
    EXPECT_EQ(engine->outputRate(), 48000) << "the server's rate wins over the asked 44100";
    const StreamHandle stream = engine->openStream(folder.file("a.wav"));
    engine->setLoop(stream, true);
    ASSERT_NE(engine->playStream(stream), kNoChannel);

    auto heard = record(1.0, 5.0);
    ASSERT_TRUE(heard.count("waited")) << "no output port: " << heard["text"];
    EXPECT_EQ(heard["port"].rfind("Sonarello", 0), 0u) << heard["port"];
    EXPECT_NE(heard["connected"].find("system:playback_1"), std::string::npos);
    EXPECT_NEAR(std::stod(heard["peak"]), 0.5, 0.02);
    EXPECT_NEAR(std::stod(heard["freq"]), 441.0, 1.0) << "a 44.1 kHz file on a 48 kHz server";

    server.stop();
    std::this_thread::sleep_for(1s);
    const auto before = engine->timeMs(stream); // answers while the server is gone
    ASSERT_TRUE(server.start());
    heard = record(0.5, 5.0);
    ASSERT_TRUE(heard.count("waited")) << "the engine did not come back";
    EXPECT_LT(std::stod(heard["waited"]), 2.0);
    EXPECT_NEAR(std::stod(heard["freq"]), 441.0, 1.0);
    EXPECT_GE(engine->timeMs(stream), before) << "the voice kept its state";

    options.output = "jack:noconnect";
    ASSERT_TRUE(engine->start(options));
    engine->playStream(engine->openStream(folder.file("a.wav")));
    heard = record(0.3, 5.0);
    EXPECT_EQ(heard["connected"], "-") << "left for the user to connect";
    EXPECT_NEAR(std::stod(heard["freq"]), 441.0, 1.0);
}

} // namespace
