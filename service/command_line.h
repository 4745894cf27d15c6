// The executable's command line: it only answers -h and -v.
#pragma once

// Examines the first argument. Returns true when the process must end now with *exitCode
// (usage or version printed); false when start-up goes on.
bool HandleCommandLine(int argc, char** argv, int* exitCode);
