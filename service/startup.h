// Process start-up: debug settings, banner, the runtime foundation in its fixed order,
// the debug privilege and the Service Control Manager checks, then the dispatcher.
#pragma once

// Logs the six banner lines; false when the banner was given up.
bool LogStartupBanner(const char* argv0);

// The tail of the process entry: never returns, the process ends with ExitCode.
[[noreturn]] void RunStartupSequence(const char* argv0);
