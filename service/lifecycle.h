// Process-wide lifecycle state shared by start-up, service control and shutdown:
// the exit code and one started flag per component, set when it came up and cleared
// by the shutdown step that releases it. The two driver flags are also cleared by the main
// loop when it takes a broken driver connection down (on the service thread, as the shutdown).
#pragma once

#include <cstdint>

extern uint32_t ExitCode;

struct SgStartedFlags {
    uint8_t debugStarted;
    uint8_t poolStarted;
    uint8_t pathsStarted;
    uint8_t commandAttrsStarted;
    uint8_t wscStarted;
    uint8_t syncPortUp;
    uint8_t driverConnected;
    uint8_t notifyStarted;
    uint8_t journalsStarted;
    uint8_t perfLoggerUp;
    uint8_t telemetryUp;
};

extern SgStartedFlags Started;
