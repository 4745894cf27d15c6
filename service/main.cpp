#include "service/command_line.h"
#include "service/startup.h"

int main(int argc, char** argv) {
    int exitCode = 0;
    if (HandleCommandLine(argc, argv, &exitCode)) return exitCode;
    RunStartupSequence(argc > 0 ? argv[0] : "");
}
