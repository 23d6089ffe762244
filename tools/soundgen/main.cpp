// Writes the demo folder, or one generated tone, for trying the player without music.
#include "soundgen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

constexpr const char* kUsage =
    "usage: sonarello-soundgen FOLDER                 writes the demo set of sounds\n"
    "       sonarello-soundgen --sine HZ SECONDS RATE FILE.wav|FILE.mp3\n";

int writeSine(char** argv)
{
    using namespace sonarello::soundgen;
    const SoundSpec recipe{
        Sound::Sine, std::atof(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), 2, 0.5f};
    const std::string file = argv[5];
    const Container container = file.ends_with(".mp3") ? Container::Mp3Cbr : Container::Wav16;
    return writeSound(file, recipe, container) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--sine") == 0)
        return writeSine(argv);
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0)
    {
        std::fputs(kUsage, argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 1;
    }
    const int written = sonarello::soundgen::writeDemoFolder(argv[1]);
    std::printf("%d demo sounds written to %s\n", written, argv[1]);
    return written > 0 ? 0 : 1;
}
