// The driver simulator's journal of what happened on its ports (received.jsonl by default): one
// JSON object a line, for the host's tools and the tests to read while the driver runs.
//
// Every record starts with "seq" (1, 2, ... over the file's life, carried on from earlier runs
// that wrote the same file), "time" (UTC, ISO 8601 with milliseconds), "t_ms" (since this
// driver opened the journal) and "event" (one of the names below), then the event's own fields.
// A record is one WriteFile at the file's end under a lock, so concurrent writers never
// interleave and a reader sees whole lines only. The file is shared for reading, writing and
// deletion, so a reader never stops the driver.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "sim/simsupport.h"

namespace nvxdriver {

// The journal's events.
constexpr char kEventLoad[] = "load";              // the driver started (pid, ports_open, store)
constexpr char kEventUnload[] = "unload";          // the driver ends
constexpr char kEventPortsOpen[] = "ports-open";   // `ctl open-ports` created the ports
constexpr char kEventConnect[] = "connect";        // a port connection, with its context
constexpr char kEventDisconnect[] = "disconnect";  // a connection ended, "by" the service or the driver
// A message the service sent to the driver (FilterSendMessage), with the status it was answered.
constexpr char kEventFromService[] = "from_service";
// A message the driver sent to the service (what FilterGetMessage receives).
constexpr char kEventToService[] = "to_service";
constexpr char kEventReplyMessage[] = "reply-message";  // a FilterReplyMessage, always refused
constexpr char kEventAnswer[] = "answer";               // the status the next sends will get

class Recorder {
public:
    // Opens (or creates, with its parent directories) the journal; false with the Win32 error
    // left in GetLastError().
    bool Open(const std::wstring& path);
    // Appends one record: the common fields, then `fields`.
    void Write(const char* event, const nvxsim::Json& fields);
    // Empties the journal; numbering starts again at 1.
    void Clear();
    // Records in the journal so far.
    uint64_t Count();

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint64_t seq_ = 0;
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER origin_{};
};

}  // namespace nvxdriver
