#include "controllers/controller.h"

#include "base/text.h"
#include "midi/midi_message.h"
#include "playback/event_handler.h"

#include <cstdio>
#include <mutex>

namespace sonarello::controllers
{

namespace
{

std::size_t at(int row)
{
    return static_cast<std::size_t>(row);
}

int velocityOf(midi::ShortMessage m)
{
    return static_cast<int>(m >> 16 & 0x7F);
}

// A note on above velocity 0, or a controller above 0: a press.
bool pressed(midi::ShortMessage m)
{
    return (m & 0xF0) == 0xB0 ? velocityOf(m) > 0 : midi::noteOf(m).on;
}

std::uint32_t packedLight(const Bytes& b)
{
    if (b.empty() || b.size() > static_cast<std::size_t>(midi::kMaxLightBytes))
        return 0;
    return midi::packLight(b[0], b.size() > 1 ? b[1] : 0, b.size() > 2 ? b[2] : 0, b.size());
}

} // namespace

Controller::Controller(Player& player, MidiState& midi, std::string choice,
                       std::vector<std::string> folders)
    : player_(player), midi_(midi), choice_(std::move(choice)), folders_(std::move(folders)),
      routing_(std::make_unique<midi::PadRouting>())
{
}

Controller::~Controller()
{
    if (fader_.joinable())
        fader_.join();
}

void Controller::start()
{
    if (choice_ == "auto")
    {
        for (const auto& name : builtInNames(folders_))
        {
            ProfileRead read = loadProfile(name, folders_);
            if (read.profile)
                builtIns_.push_back(std::move(*read.profile));
            else
                std::fprintf(stderr, "Sonarello: %s\n", read.error.c_str());
        }
    }
    else
    {
        ProfileRead read = loadProfile(choice_, folders_);
        if (!read.profile)
        {
            std::fprintf(stderr, "Sonarello: %s; the player keeps its own MIDI mapping\n",
                         read.error.c_str());
            return;
        }
        std::fprintf(stderr, "Sonarello: controller profile %s\n", read.profile->name.c_str());
        std::scoped_lock lock(player_.lock);
        take(std::move(*read.profile));
    }
    checkDevice();
}

// Program lock held.
void Controller::take(Profile profile)
{
    profile_ = std::move(profile);
    present_ = false;
    lights_.resize(profile_->pads.size());
    padOfRow_.assign(at(kMaxProfileRows) + 1, -1);
    cycleLight_.assign(at(kMaxProfileRows) + 1, Light::Playing);
    routing_->clear();
    for (std::size_t pad = 0; pad < profile_->pads.size(); ++pad)
    {
        const Mapped& m = profile_->pads[pad];
        if (padOfRow_[at(m.row)] < 0)
            padOfRow_[at(m.row)] = static_cast<int>(pad);
        const int key = m.row + kMidiRowOffset;
        if (m.control.kind != ControlKind::Note || key > 127)
            continue;
        for (int channel = 1; channel <= 16; ++channel)
            if (m.control.channel == kAnyChannel || m.control.channel == channel)
                routing_->noteKey[at((channel - 1) * 128 + m.control.number)].store(
                    static_cast<std::uint8_t>(key), std::memory_order_release);
    }
    routing_->velocity.store(profile_->velocity, std::memory_order_release);
    publishLights();
    if (!routed_ && midi_.service)
        midi_.service->setPadRouting(routing_.get());
    routed_ = true;
}

// The lights a start or stop writes within its JACK cycle, as the rows stand now.
void Controller::publishLights()
{
    for (int row = 1; row <= kMaxProfileRows; ++row)
    {
        const int pad = padOfRow_[at(row)];
        const int key = row + kMidiRowOffset;
        if (pad < 0 || key > 127)
            continue;
        const Light on = validRow(player_, row) && player_.rows.RowLoop[at(row)] == 1 &&
                                 !profile_->lights[static_cast<std::size_t>(Light::Looping)].empty()
                             ? Light::Looping
                             : Light::Playing;
        cycleLight_[at(row)] = on;
        const int number = profile_->pads[at(pad)].control.number;
        const auto& lights = profile_->lights;
        routing_->onLight[at(key)].store(
            packedLight(lights[static_cast<std::size_t>(on)].fill(number)),
            std::memory_order_release);
        routing_->offLight[at(key)].store(
            packedLight(lights[static_cast<std::size_t>(Light::Stopped)].fill(number)),
            std::memory_order_release);
    }
}

bool Controller::send(const Bytes& bytes)
{
    return !bytes.empty() && midi_.service &&
           midi_.service->send(midi_.MidiOutHandle, bytes.data(), bytes.size());
}

void Controller::sendTake(const std::vector<Bytes>& messages)
{
    for (const Bytes& b : messages)
        send(b);
}

RowView Controller::viewOf(int row)
{
    RowView view;
    if (!validRow(player_, row))
        return view;
    const auto& rows = player_.rows;
    const sound::StreamHandle stream = rows.RowStream[at(row)];
    view.exists = stream == sound::kNoStream || rows.RowLengthBytes[at(row)] > 0;
    view.playing = rows.RowPlaying[at(row)] == 1;
    view.looping = rows.RowLoop[at(row)] == 1;
    if (view.playing)
    {
        const std::uint32_t played = player_.engine.timeMs(stream);
        const std::uint32_t length = rows.RowLengthMs[at(row)];
        view.msLeft = length > played ? length - played : 0;
    }
    return view;
}

// Program lock held: what the JACK cycle lit is known, and every other change is sent.
void Controller::refresh()
{
    if (!profile_ || !present_)
        return;
    for (int row = 1; row <= kMaxProfileRows; ++row)
    {
        const int pad = padOfRow_[at(row)];
        if (pad < 0 || row + kMidiRowOffset > 127)
            continue;
        const auto lit =
            routing_->litByCycle[at(row + kMidiRowOffset)].exchange(0, std::memory_order_acq_rel);
        if (lit != 0)
            lights_.setElsewhere(at(pad), lit == midi::PadRouting::kLitOn ? cycleLight_[at(row)]
                                                                          : Light::Stopped);
    }
    std::vector<Light> wanted;
    wanted.reserve(profile_->pads.size());
    for (const Mapped& pad : profile_->pads)
        wanted.push_back(lightOf(*profile_, viewOf(pad.row)));
    for (const std::size_t pad : lights_.changes(wanted))
    {
        const Template& light = profile_->lights[static_cast<std::size_t>(wanted[pad])];
        if (!light.empty() && !send(light.fill(profile_->pads[pad].control.number)))
            lights_.unsent(pad);
    }
    publishLights();
}

bool Controller::onMessage(midi::ShortMessage message)
{
    if (!profile_)
        return false;
    const bool startedByNote = (message & midi::kStartedByNote) != 0;
    const midi::ShortMessage m = message & ~midi::kStartedByNote;
    const midi::Note note = midi::noteOf(m);
    const int channel = static_cast<int>(m & 0x0F) + 1;
    if (isControl(profile_->stopAll, m))
    {
        if (pressed(m))
            stopAll();
        return true;
    }
    if (const int row = (m & 0xF0) == 0xB0 ? rowOf(profile_->faders, m) : 0)
    {
        showMidiText(player_, decodeMidiMessage(m).text);
        setRowVolume(player_, row, static_cast<float>(velocityOf(m)) * 100.0f / 127.0f);
        return true;
    }
    const int row = rowOf(profile_->pads, m);
    if (note.isNote)
        showMidiText(player_,
                     "C:" + text::numberText(channel) + " N:" + text::numberText(note.key) +
                         " T:" + text::numberText(row) + " V:" + text::numberText(velocityOf(m)));
    else if (const std::string text = decodeMidiMessage(m).text; !text.empty())
        showMidiText(player_, text);
    if (row == 0)
        return true;
    if (pressed(m))
        startRow(player_, row, startedByNote,
                 profile_->velocity && note.isNote ? midi::velocityGain(velocityOf(m)) : 1.0f);
    else
        stopRow(player_, row);
    refresh();
    return true;
}

void Controller::stopAll()
{
    if (fading_.exchange(true))
        return; // a fade runs: it takes every row that plays
    if (fader_.joinable())
        fader_.join(); // it has ended: fading_ was false
    fader_ = std::thread([this] { fade(); });
}

// Fade thread: every playing row's sound down to silence over kStopAllFade, then stopped.
// RowVolume stays as it was, and so does the next start's volume.
void Controller::fade()
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::pair<int, sound::ChannelHandle>> rows;
    {
        std::scoped_lock lock(player_.lock);
        for (int row = 1; row <= player_.RowCount; ++row)
            if (player_.rows.RowPlaying[at(row)] == 1)
                rows.emplace_back(row, player_.rows.RowChannel[at(row)]);
    }
    for (bool done = false; !done;)
    {
        std::this_thread::sleep_for(kFadeStep);
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        done = elapsed >= kStopAllFade;
        const double left = 1.0 - std::chrono::duration<double>(elapsed) /
                                      std::chrono::duration<double>(kStopAllFade);
        std::scoped_lock lock(player_.lock);
        for (const auto& [row, channel] : rows)
        {
            if (player_.rows.RowPlaying[at(row)] != 1 ||
                player_.rows.RowChannel[at(row)] != channel)
                continue; // started again meanwhile: not this fade's
            if (done)
                stopRow(player_, row);
            else
                player_.engine.setVolume(channel, static_cast<int>(text::roundToInt(
                                                      channelVolume(player_, row) * left)));
        }
        if (done)
            refresh();
    }
    fading_.store(false);
}

void Controller::checkDevice()
{
    if (!midi_.service)
        return;
    std::vector<std::string> names = midi_.service->connectedSources();
    if (midi_.MidiInHandle != midi::kNoPort)
    {
        const auto inputs = midi_.service->inputNames();
        if (midi_.MidiInDevice >= 0 && at(midi_.MidiInDevice) < inputs.size())
            names.push_back(inputs[at(midi_.MidiInDevice)]);
    }
    std::scoped_lock lock(player_.lock);
    auto matches = [&](const Profile& p)
    {
        for (const auto& name : names)
            if (matchesPort(p, name))
                return name;
        return std::string();
    };
    if (choice_ == "auto")
        for (const Profile& candidate : builtIns_)
            if (const std::string port = matches(candidate); !port.empty())
            {
                if (profile_ && profile_->name == candidate.name)
                    break;
                if (profile_)
                    letGo();
                std::fprintf(stderr, "Sonarello: controller profile %s for \"%s\"\n",
                             candidate.name.c_str(), port.c_str());
                take(candidate);
                break;
            }
    if (!profile_)
        return;
    const bool present = choice_ == "auto" ? !matches(*profile_).empty() : !names.empty();
    if (present && !present_)
    {
        present_ = true;
        sendTake(profile_->take);
        lights_.forget();
        refresh();
    }
    else if (!present && present_)
    {
        present_ = false;
        lights_.forget();
    }
}

void Controller::afterTick()
{
    if (++ticks_ % kDeviceCheckTicks == 0)
        checkDevice();
    std::scoped_lock lock(player_.lock);
    lights_.tick();
    refresh();
}

void Controller::deviceChosen()
{
    {
        std::scoped_lock lock(player_.lock);
        present_ = false;
    }
    checkDevice();
}

// Program lock held: every pad dark, then the messages that release the device.
void Controller::letGo()
{
    if (!profile_ || !present_)
        return;
    const Template& dark = profile_->lights[static_cast<std::size_t>(Light::Dark)];
    for (const Mapped& pad : profile_->pads)
        if (!dark.empty())
            send(dark.fill(pad.control.number));
    sendTake(profile_->release);
    present_ = false;
}

void Controller::finish()
{
    if (fader_.joinable())
        fader_.join();
    {
        std::scoped_lock lock(player_.lock);
        letGo();
    }
    if (midi_.service && routed_)
    {
        midi_.service->flushOutput();
        midi_.service->setPadRouting(nullptr);
        routed_ = false;
    }
}

} // namespace sonarello::controllers
