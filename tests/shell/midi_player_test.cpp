// MIDI into the running player through a loopback service: a flood of notes from two threads
// leaves every row in the state of its last note and the display shows the last message, and a
// device chosen in the Setup dialog takes over from the previous one. What each message does
// and shows is midi_message_test's and midi_devices_test's.
#include "program_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>

using namespace sonarello;
using midi::packShortMessage;

namespace
{

class MidiPlayer : public test::ProgramTest
{
  protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        writeTones(6, 100, 0.3, "t");
    }
    void runWith(std::function<void(Program&)> drive)
    {
        EXPECT_EQ(run({"--audio=null"}, std::move(drive)), kExitNormal);
    }

    // Waits until the MIDI thread has handled what was pushed; the window's events go on.
    static bool settle(Program& p, std::function<bool()> done)
    {
        return QTest::qWaitFor(
            [&]
            {
                std::scoped_lock lock(p.lock);
                return done();
            },
            2000);
    }
};

TEST_F(MidiPlayer, FloodFromTwoSourcesLeavesEachRowAsItsLastNoteSaid)
{
    runWith(
        [&](Program& p)
        {
            // Start-up opens the first input and the first output; the virtual port plays too.
            EXPECT_TRUE(loopback->outputOpen("Synth"));
            EXPECT_FALSE(loopback->push("Keys", packShortMessage(0x90, 38, 100)));
            auto flood = [&](const char* port, int firstNote)
            {
                for (int i = 0; i < 5000; ++i)
                {
                    const int note = firstNote + i % 3;
                    const bool on = (i / 3) % 2 == 0;
                    loopback->push(port, i % 7 == 0
                                             ? packShortMessage(0xB0, 7, i % 128)
                                             : packShortMessage(on ? 0x90 : 0x80, note, 100));
                }
                // Last words: rows firstNote-35 .. +2 end on, off, on.
                loopback->push(port, packShortMessage(0x90, firstNote, 1));
                loopback->push(port, packShortMessage(0x80, firstNote + 1, 0));
                loopback->push(port, packShortMessage(0x90, firstNote + 2, 5));
            };
            std::thread a(flood, "Pads", 36);
            std::thread b(flood, "Sonarello", 39);
            a.join();
            b.join();
            loopback->push("Pads", packShortMessage(0xE0, 0, 64));
            const auto& display = p.toolkit->controls[kMidiDisplayId].caption;
            EXPECT_TRUE(settle(p, [&] { return display.trimmed() == "Bender Change 64"; }));
            const auto& playing = p.player->rows.RowPlaying;
            EXPECT_EQ(std::vector<int>(playing.begin() + 1, playing.end()),
                      (std::vector<int>{1, 0, 1, 1, 0, 1}));
        });
}

TEST_F(MidiPlayer, ChosenInputDeviceTakesOver)
{
    runWith(
        [&](Program& p)
        {
            QTimer::singleShot(
                50,
                []
                {
                    for (QWidget* w : QApplication::topLevelWidgets())
                        if (auto* list = w->findChild<QComboBox*>("devices"))
                        {
                            EXPECT_EQ(list->count(), 2);
                            EXPECT_EQ(list->itemText(0).toStdString(), " 0 Pads");
                            EXPECT_EQ(list->currentIndex(), 0);
                            EXPECT_TRUE(w->windowFlags().testFlags(Qt::WindowMinimizeButtonHint |
                                                                   Qt::WindowMaximizeButtonHint));
                            emit list->activated(1);
                        }
                });
            p.window->sendMessage(gui::message::kCommand, kCommandMidiIn, 0);
            EXPECT_EQ(messages, std::vector<std::string>{"Midi in ora è :  1 Keys"});
            EXPECT_FALSE(loopback->push("Pads", packShortMessage(0x90, 36, 100)));
            EXPECT_TRUE(loopback->push("Keys", packShortMessage(0x90, 36, 100)));
            EXPECT_TRUE(settle(p, [&] { return p.player->rows.RowPlaying[1] == 1; }));
        });
}

} // namespace
