#include "program_fixture.h"

#include "devices/system_outputs.h"
#include "engine/audio_engine.h"

#include <QTimer>
#include <cstdlib>

namespace sonarello::test
{

void ProgramTest::SetUp()
{
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    makeEngine = [] { return sound::createSystemEngine(); };
}

int ProgramTest::run(std::vector<std::string> args, std::function<void(Program&)> drive)
{
    StartupServices services;
    services.makeEngine = makeEngine;
    services.showMessage = [this](const std::string& text) { messages.push_back(text); };
    services.makeMidiService = [this](const std::string&)
    {
        auto service = std::make_unique<midi::LoopbackMidiService>(
            std::vector<std::string>{"Pads", "Keys"}, std::vector<std::string>{"Synth"});
        loopback = service.get();
        return service;
    };
    services.onWindowReady = [&drive](Program& program)
    {
        QTimer::singleShot(0,
                           [&]
                           {
                               if (drive)
                                   drive(program);
                               program.window->sendMessage(gui::message::kCommand,
                                                           gui::message::kCancelCommand, 0);
                           });
    };
    return runProgram(parseCommandLine(args), services);
}

void ProgramTest::writeTones(int count, double hertz, double seconds, const char* prefix)
{
    for (int i = 1; i <= count; ++i)
        ASSERT_TRUE(
            writeSine(folder.file(prefix + std::to_string(i) + ".wav"), hertz * i, seconds, 44100));
}

} // namespace sonarello::test
