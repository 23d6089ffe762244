#include "jack_output.h"

#include "session.h"

#include <cstdint>

namespace sonarello::jack
{

namespace
{

// The session renders the mixer in its process callback, and opens the client again when the
// server returns: the output never needs reopening by the engine.
class JackOutput final : public sound::Output
{
  public:
    explicit JackOutput(int rate) : rate_(rate), lateBefore_(Session::instance().latePeriods()) {}
    ~JackOutput() override { Session::instance().closeAudio(); }

    int sampleRate() const override { return rate_; }
    bool running() override { return Session::instance().serverUp(); }
    bool recoversByItself() const override { return true; }
    unsigned underruns() const override
    {
        return static_cast<unsigned>(Session::instance().latePeriods() - lateBefore_);
    }

  private:
    int rate_ = 0;
    std::uint64_t lateBefore_ = 0;
};

} // namespace

std::unique_ptr<sound::Output> openJackOutput(sound::Mixer& mixer, bool connect, int periodFrames,
                                              std::string& error)
{
    if (!Session::instance().openAudio(mixer, connect, periodFrames, error))
        return nullptr;
    return std::make_unique<JackOutput>(Session::instance().sampleRate());
}

} // namespace sonarello::jack
