#include "player_fixture.h"

#include "gui/gui_application.h"
#include "shell/main_window.h"

namespace sonarello::test
{

void PlayerFixture::SetUpTestSuite()
{
    ensureGuiApplication();
}

void PlayerFixture::makePlayer(int files, int rows)
{
    for (int i = 1; i <= files; ++i)
    {
        char name[32];
        std::snprintf(name, sizeof name, "tone %02d.wav", i);
        const int rate = i == 3 ? 48000 : 44100;
        writeSine(folder.file(name), 220.0 * i, 0.5 * (1 + (i - 1) % 4), rate);
    }
    manual = sound::createManualEngine(44100);
    scanCatalogue(catalogue, folder.path().string() + "/", engine());
    window = std::make_unique<gui::Window>(kClientWidth, clientHeight(rows), lock);
    toolkit = std::make_unique<controls::Toolkit>(lock);
    player.reset(new Player{lock, *toolkit, *window, engine(), catalogue, rows, {}, {}, {}});
    player->rows.resize(rows);
    for (int r = 1; r <= rows; ++r)
    {
        player->rows.RowSpeed[static_cast<std::size_t>(r)] = kNormalSpeed;
        player->rows.RowVolume[static_cast<std::size_t>(r)] = 255;
        player->rows.RowLoop[static_cast<std::size_t>(r)] = 1;
        player->rows.RowFile[static_cast<std::size_t>(r)] = r;
        player->rows.RowChannel[static_cast<std::size_t>(r)] = r;
    }
    createMidiDisplay(*player);
    buildColumns(*player, folder.path().string() + "/");
}

void PlayerFixture::play(double seconds)
{
    constexpr int kPeriod = 256;
    std::vector<float> block(2 * kPeriod);
    for (int frames = static_cast<int>(seconds * 44100); frames > 0; frames -= kPeriod)
        manual->render(block.data(), std::min(kPeriod, frames));
}

std::string PlayerFixture::caption(int id)
{
    return std::string(toolkit->controls.at(static_cast<std::size_t>(id)).caption.trimmed());
}

float PlayerFixture::value(int id)
{
    return toolkit->controls.at(static_cast<std::size_t>(id)).value;
}

int PlayerFixture::aux1(int id)
{
    const gui::Control* c = window->findControl(id);
    return c ? c->auxValue(1) : -1;
}

float PlayerFixture::level(int row)
{
    float left = 0, right = 0;
    engine().currentLevels(player->rows.RowChannel[static_cast<std::size_t>(row)], left, right);
    return left;
}

} // namespace sonarello::test
