// Drives the real main window with Qt's test mouse, as a person's clicks and drags reach it.
#include "program_fixture.h"
#include "shell/startup.h"
#include "soundgen.h"
#include "support/fake_sound_engine.h"
#include "support/temp_folder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>

using namespace sonarello;

namespace
{

QWidget* cell(int id)
{
    for (QWidget* w : QApplication::allWidgets())
        if (w->objectName() == QStringLiteral("control%1").arg(id))
            return w;
    return nullptr;
}

class MainWindow : public test::ProgramFolderTest
{
  protected:
    void SetUp() override
    {
        ProgramFolderTest::SetUp();
        for (int i = 1; i <= 6; ++i)
            soundgen::writeSound(folder.file("tone " + std::to_string(i) + ".wav"),
                                 {soundgen::Sound::Sine, 110.0 * i, 0.3, 44100, 2, 0.5f},
                                 soundgen::Container::Wav16);
        std::ofstream(folder.file("impostazioni.ini")) << "riga=2,velo=30,vol=10,loop=1,file=2\n";
    }

    // Runs the player; `drive` runs inside its window's event loop, which it then closes.
    void runWith(std::function<void(Program&)> drive)
    {
        StartupServices services;
        services.makeEngine = [] { return std::make_unique<test::FakeSoundEngine>(); };
        services.showMessage = [](const std::string&) {};
        services.onWindowReady = [&](Program& program)
        {
            QTimer::singleShot(0,
                               [&]
                               {
                                   drive(program);
                                   program.window->sendMessage(gui::message::kCommand,
                                                               gui::message::kCancelCommand, 0);
                               });
        };
        ASSERT_EQ(runProgram(parseCommandLine({"--audio=null"}), services), kExitNormal);
    }

    void pointAt(Program& p, int id)
    {
        const gui::Control* c = p.window->findControl(id);
        p.window->setCursorPosition({c->x + c->width / 2, c->y + c->height / 2});
    }

    static std::string caption(Program& p, int id)
    {
        return std::string(p.toolkit->controls[static_cast<std::size_t>(id)].caption.trimmed());
    }
};

TEST_F(MainWindow, LeftPressOnPlayStartsTheRowAndShowsOn)
{
    runWith(
        [&](Program& p)
        {
            pointAt(p, kPlayBase + 1);
            QTest::mousePress(cell(kPlayBase + 1), Qt::LeftButton, {}, QPoint(4, 4));
            EXPECT_EQ(p.player->rows.RowPlaying[1], 1);
            EXPECT_EQ(caption(p, kPlayBase + 1), "ON");
            QTest::mouseRelease(cell(kPlayBase + 1), Qt::LeftButton, {}, QPoint(4, 4));
            EXPECT_EQ(p.player->rows.RowPlaying[1], 1) << "the release changes nothing";
        });
}

TEST_F(MainWindow, RightButtonOnVolumeGivesFullVolume)
{
    runWith(
        [&](Program& p)
        {
            EXPECT_EQ(p.player->rows.RowVolume[2], 10);
            pointAt(p, kVolumeBase + 2);
            QTest::mousePress(cell(kVolumeBase + 2), Qt::RightButton, {}, QPoint(10, 8));
            EXPECT_EQ(p.player->rows.RowVolume[2], 255);
            EXPECT_EQ(caption(p, kVolumeBase + 2), "100");
            QTest::mouseRelease(cell(kVolumeBase + 2), Qt::RightButton, {}, QPoint(10, 8));
        });
}

TEST_F(MainWindow, RightDragAlongAFileCellStepsAtMostOncePer200Ms)
{
    runWith(
        [&](Program& p)
        {
            QWidget* file = cell(kFileBase + 2);
            pointAt(p, kFileBase + 2);
            QElapsedTimer clock;
            clock.start();
            QTest::mousePress(file, Qt::RightButton, {}, QPoint(20, 8));
            for (int x = 30; x <= 50; x += 10)
            {
                p.window->setCursorPosition({p.window->findControl(kFileBase + 2)->x + x,
                                             p.window->findControl(kFileBase + 2)->y + 8});
                QTest::mouseMove(file, QPoint(x, 8));
            }
            const auto elapsed = clock.elapsed();
            QTest::mouseRelease(file, Qt::RightButton, {}, QPoint(50, 8));
            const int index = p.window->findControl(kFileBase + 2)->auxValue(1);
            const int steps = index - 2;
            EXPECT_GE(steps, 1);
            EXPECT_LE(steps, 4);
            EXPECT_GE(elapsed, 200 * steps - 20) << steps << " steps";
            EXPECT_EQ(p.player->rows.RowPlaying[2], 0);
        });
}

} // namespace
