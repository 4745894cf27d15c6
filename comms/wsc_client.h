// The command attributes the service registers: "Version" and "WSCClient".
#pragma once

#include <cstdint>

#include "comms/messages.h"

// Creates the table and lock and registers the attributes; false with nothing left.
bool SgInitWSCClient();
void SgShutdownWSCClient();
