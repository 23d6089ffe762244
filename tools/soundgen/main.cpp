// Writes the demo folder, or one generated sound, for trying the player without music.
#include "soundgen.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0)
    {
        std::puts("usage: sonarello-soundgen FOLDER   writes the demo set of sounds into FOLDER");
        return argc < 2 ? 1 : 0;
    }
    const int written = sonarello::soundgen::writeDemoFolder(argv[1]);
    std::printf("%d demo sounds written to %s\n", written, argv[1]);
    return written > 0 ? 0 : 1;
}
