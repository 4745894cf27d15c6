#include "service/command_line.h"

#include <cstdio>
#include <cstring>

#include "runtime/identity.h"

namespace {

void PrintUsage() {
    char line[256];
    snprintf(line, sizeof(line), "usage: %s [ options ]\n", kExecutableName);
    printf("%s", line);
    printf("Options:\n");
    printf(" -h          Displays this help message\n");
    printf(" -v          Displays the application version\n");
}

}  // namespace

bool HandleCommandLine(int argc, char** argv, int* exitCode) {
    if (argc < 2 || argv[1] == nullptr || argv[1][0] != '-') return false;
    const char* arg = argv[1];
    if (strcmp(arg, "-h") == 0) {
        PrintUsage();
        *exitCode = 0;
    } else if (strcmp(arg, "-v") == 0) {
        printf("%s %s\n", kServiceName, kProductVersion);
        printf("%s\n", kCopyrightLine);
        *exitCode = 0;
    } else {
        PrintUsage();
        *exitCode = 1;
    }
    fflush(stdout);
    return true;
}
