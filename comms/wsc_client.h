// The command attributes the service registers: "Version" and "WSCClient", and the WSC client
// run on the driver's behalf.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

#include "comms/messages.h"

// Creates the table and lock and registers the attributes; false with nothing left.
bool SgInitWSCClient();
void SgShutdownWSCClient();

// Exec handler of "WSCClient" (arity 2): runs WSCClient.exe with the argument text and the
// requester's identity, waits for it and replies with its exit code ("-1" when there is none).
// 1 when the exit code was obtained; 0 otherwise (no reply when the client's path is unknown).
uint8_t SgExecWSCClient(SgMessage* message, const char* arguments);

// Why argument text may not go onto the WSC client's command line: the client runs protected
// and trusts its "/spid", so the text must not forge one or split the line.
enum class SgWscArgumentFault { kNone, kDoubleQuote, kControlCharacter, kSpidSwitch };
// The first fault in `text` and its byte offset (0 when there is none).
SgWscArgumentFault SgCheckWSCClientArguments(const char* text, uint32_t* offset);

// The WSC client's command line: quote, path, quote, blank, the argument text (UTF-8) and
// " /spid <pid>:<key>". Null after logging the failure.
UNICODE_STRING* SgBuildWSCClientCommandLine(const UNICODE_STRING* path, const char* arguments, uint32_t processId,
                                            uint64_t processKey);

// Asked when UpdateProcThreadAttribute refuses the protection level with `error`: true lets
// the client start as an ordinary process. Only the simulated machine's build installs one
// (the OS there has no protected processes); the shipped service fails the command instead.
typedef bool (*SgWscUnprotectedStartFn)(DWORD error);
void SgSetWscUnprotectedStart(SgWscUnprotectedStartFn allow);
