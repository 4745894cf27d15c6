// Test-only access to path management. Never included by product code.
#pragma once

#include <cstdint>

#include "runtime/path_names.h"

// The OS path management calls made at the end of SgInitPathManagement and at the start of
// SgShutdownPathManagement. Both members must be set; null restores InitOsPaths and
// ShutdownOsPaths. Lets unit tests run path management without the machine's known
// directories, and observe the order of the calls.
struct SgOsPathCalls {
    bool (*init)();
    bool (*shutdown)();
};
void SgSetOsPathCallsForTesting(const SgOsPathCalls* calls);

// Elements in the UTF-16 (wide) or UTF-8 table; 0 when path management is not initialised.
uint32_t SgPathTableCountForTesting(bool wide);
// Invalid-name counters (reset by init and shutdown).
uint64_t SgInvalidPathCountForTesting(bool wide);
