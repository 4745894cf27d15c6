// The driver's event-journal store: twenty journal directories listed once a minute by the
// event-journal monitoring thread, complete journals compressed, leftovers deleted.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

#include "journals/journal_file.h"
#include "runtime/threads.h"

bool InitEventJournals();
bool StartEventJournalThread();
bool StopEventJournalThread();
bool ShutdownEventJournals();
// Waits for the monitoring thread's OS thread to end (nothing when there is none).
void WaitEventJournalThreadEnd();
void RunJournalHousekeeping(int64_t nowMicros);
JournalSet* EnumerateJournals();
void DestroyJournalSet(JournalSet* set);
// The monitoring thread's object (its run flag and lock tell a compression to stop).
SgThread* EventJournalThread();
