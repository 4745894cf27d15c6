#include "runtime/system_library.h"
#include "service/command_line.h"
#include "service/startup.h"

int main(int argc, char** argv) {
    // Before any library is loaded on demand: a DLL beside the executable must never be taken
    // for a system one. A failure is logged there and start-up goes on.
    SgRestrictDllSearchToSystem32();
    int exitCode = 0;
    if (HandleCommandLine(argc, argv, &exitCode)) return exitCode;
    RunStartupSequence(argc > 0 ? argv[0] : "");
}
