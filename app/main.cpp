// The sonarello program: everything happens in the shell's start-up.
#include "shell/startup.h"

int main(int argc, char** argv)
{
    return sonarello::runSonarello(argc, argv);
}
