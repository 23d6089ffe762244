// MIDI into the running player through a loopback service: notes start and stop rows, the
// display follows, a flood from two threads leaves every row in the state of its last note,
// and a device chosen in the Setup dialog takes over from the previous one.
#include "platform/text.h"
#include "program_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <atomic>
#include <chrono>
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

    // Waits until the MIDI thread has handled what was pushed.
    static bool settle(Program& p, std::function<bool()> done)
    {
        for (int i = 0; i < 400; ++i)
        {
            {
                std::scoped_lock lock(p.lock);
                if (done())
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // The display's stored caption: a 20-character field (the drawn text is whole).
    static std::string shown(std::string text)
    {
        return std::string(text::trimBlanks(text::fitCharacters(text, 20)));
    }
    static std::string display(Program& p)
    {
        std::scoped_lock lock(p.lock);
        return std::string(p.toolkit->controls[kMidiDisplayId].caption.trimmed());
    }
};

TEST_F(MidiPlayer, NotesStartAndStopRowsAndTheDisplayFollows)
{
    runWith(
        [&](Program& p)
        {
            auto& rows = p.player->rows;
            EXPECT_TRUE(loopback->outputOpen("Synth"));
            ASSERT_TRUE(loopback->push("Pads", packShortMessage(0x99, 36, 127)));
            EXPECT_TRUE(settle(p, [&] { return rows.RowPlaying[1] == 1; }));
            EXPECT_EQ(display(p), shown("C: 10 N: 36 T: 1 V: 127"));
            loopback->push("Sonarello",
                           packShortMessage(0x90, 37, 90)); // the virtual port plays too
            EXPECT_TRUE(settle(p, [&] { return rows.RowPlaying[2] == 1; }));
            loopback->push("Pads", packShortMessage(0x90, 37, 0));
            EXPECT_TRUE(settle(p, [&] { return rows.RowPlaying[2] == 0; }));
            EXPECT_EQ(display(p), shown("C: 1 N: 37 T: 2 V: 0"));
            loopback->push("Pads", packShortMessage(0x85, 36, 64));
            EXPECT_TRUE(settle(p, [&] { return rows.RowPlaying[1] == 0; }));
            loopback->push("Pads", packShortMessage(0x90, 35, 100));
            loopback->push("Pads", packShortMessage(0xF8, 0, 0)); // clock: ignored
            EXPECT_TRUE(settle(p, [&] { return display(p) == shown("C: 1 N: 35 T: 0 V: 100"); }));
            EXPECT_FALSE(loopback->push("Keys", packShortMessage(0x90, 38, 100)))
                << "device 1 is not open";
        });
}

TEST_F(MidiPlayer, FloodFromTwoSourcesLeavesEachRowAsItsLastNoteSaid)
{
    runWith(
        [&](Program& p)
        {
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
            EXPECT_TRUE(settle(p, [&] { return display(p) == "Bender Change 64"; }));
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
