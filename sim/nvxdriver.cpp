// nvxdriver: the NVX driver simulator, an ordinary console program inside the simulated machine.
//
//   nvxdriver serve [--instance NAME] [--journal PATH] [--ports-closed]
//   nvxdriver ctl [--instance NAME] COMMAND [ARGS...]
//   nvxdriver journal COMMAND [ARGS...]
//   nvxdriver load [--instance NAME] --seconds S [--per-second R] -- P COMMAND [ARGS...] [-- P ...]
//
// serve runs the driver: it serves the communication ports "\KestroVantorAsyncCommPort" and
// "\KestroVantorSyncCommPort" to the fltlib.dll stand-in (over the pipes of pipe_protocol.h;
// driver_ports.h), answers every send on the asynchronous port with a 4-byte status (0
// unless told otherwise) and the 48-byte request on the synchronous port with a 32-byte
// SyncReplyMsg, and records everything on its ports in a journal, one JSON object a line
// (default C:\nvxsim\driver\received.jsonl, driver_recorder.h): connections with their context,
// every message from the service with its bytes and the status it got, every message to the
// service, disconnections. While it runs it publishes its performance-counter sets in the file
// the pdh.dll stand-in reads (driver_counters.h) and its filter stack in the description the
// fltlib.dll stand-in walks (driver_filter_stack.h), both removed when it unloads. Once its
// control pipe is up it prints {"event":"ready",...}. With --ports-closed the ports appear only
// on `ctl open-ports`, as a driver that is loaded but has not created them yet.
//
// ctl sends one command to a running driver (driver_control.h, driver_commands.h) and prints its
// answer, one JSON object a line:
//   status                               ports, connections, pending answers
//   open-ports
//   send [--kind get|set|call|exec|N] [--flags F] [--request-id N] [--component N]
//        [--source-component N] [--pid N] [--key N] [--dest-pid N] [--dest-key N] [--format N]
//        [--body-version N] [--hex BYTES | --no-nul] [--wait-reply MS] [--conn N] [TEXT...]
//                                        a CommandMsg to the service (flags 0x05, component 12
//                                        to 30 by default); --wait-reply collects the service's
//                                        replies until the final one
//   event [--body-version N] [--hex BYTES | --no-nul] [TEXT...]     an EventMsg
//   reg [--component N] [--marker N] [--body-version N] [--tag N]   a RegRequestMsg
//   raw HEX...                           any bytes as one message
//   answer STATUS N | queue-full N       the next N sends on the asynchronous port get STATUS
//                                        (queue-full: 0xE0020009) instead of 0
//   counters set|status|add-instance|remove-instance|add-counter|unregister|register|reset ...
//                                        change the published counter sets: a value, a counter
//                                        status, instances, counters, whole sets
//                                        (driver_counters.h; INSTANCE "" for a set without)
//   filters set PATH | filters reset     publish the description at PATH as the filter stack, or
//                                        the driver's own stack again (driver_filter_stack.h)
//   disconnect [--port async|sync|all]   close the service's connections, as an unloading driver
//   wait-connect [--port async|sync] [--timeout-ms N]
//   flood [--seconds N] [--warmup-ms N] [--conn N] [--beside N] [--slice-ms N] [--timeout-ms N] [TEXT...]
//                                        Get commands (TEXT: Version) one after the other, each
//                                        sent once the last one's final reply is in, for N
//                                        seconds: round trips per second, p50/p99 latency; with
//                                        --beside, on two connections in turns (driver_flood.h)
//   clear                                empty the journal
//   unload                               close everything and end
//
//   nvxdriver journal dirs | write DIR NAME [--size N] [--content text|random|zero] [--seed S]
//                  | grow DIR NAME --by N [--times K] [--every-ms T] | shrink DIR NAME --to N
//                  | remove DIR [NAME]
// journal writes event journals as the driver does (driver_event_journals.h), into the store below the installation's
// data directory (made first, as at load): a file of any name and size in any directory of the store, one that grows by
// N bytes K times every T ms, one cut to N bytes, or removes a file or directory. It needs no running driver and prints
// one JSON line (the path and the size reached).
//
// load runs driver commands through a running driver's control channel for S seconds, each group
// at every P-th step, and counts their outcomes (driver_load.h).
//
// Messages to the service (send, event, reg, raw) go to the newest asynchronous connection
// unless --conn names one, and wait up to --timeout-ms (default 5000) for the pipe to take them.
// Exit status: 0 done, 1 the driver could not do it (or no final reply came), 2 usage, 3 the
// driver is not running.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/counter_sets.h"
#include "sim/driver_commands.h"
#include "sim/driver_control.h"
#include "sim/driver_counters.h"
#include "sim/driver_event_journals.h"
#include "sim/driver_filter_stack.h"
#include "sim/driver_load.h"
#include "sim/driver_ports.h"
#include "sim/driver_recorder.h"
#include "sim/filter_stack.h"
#include "sim/pipe_protocol.h"
#include "sim/simsupport.h"

using nvxsim::Json;
using nvxsim::PrintError;
using nvxsim::PrintLine;
using nvxsim::Utf8;
using nvxsim::Wide;

namespace {

std::wstring gInstance;
nvxdriver::Recorder gJournal;

int Serve(const std::wstring& journalPath, bool portsClosed) {
    HANDLE unloadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE control = nvxdriver::CreateControlPipe(gInstance);
    if (control == INVALID_HANDLE_VALUE) {
        return PrintError(1, "a driver of instance " + Utf8(gInstance) + " is already running (error " +
                                 std::to_string(GetLastError()) + ")");
    }
    if (!gJournal.Open(journalPath)) {
        return PrintError(
            1, "cannot open the journal " + Utf8(journalPath) + " (error " + std::to_string(GetLastError()) + ")");
    }
    nvxdriver::InitPorts(gInstance, unloadEvent, &gJournal);
    nvxdriver::InitCommands(gInstance, &gJournal);
    const bool portsOpen = !portsClosed;
    Json load;
    load.Num("pid", GetCurrentProcessId()).Str("instance", Utf8(gInstance)).Bool("ports_open", portsOpen);
    // The event-journal store is there once the driver has loaded (without a data directory the
    // driver still serves its ports).
    std::wstring journalRoot;
    std::string storeProblem;
    if (nvxdriver::EnsureJournalStore(&journalRoot, &storeProblem)) {
        load.Str("event_journals", Utf8(journalRoot));
    } else {
        load.Str("event_journals_error", storeProblem);
    }
    // The counter sets are registered as the driver loads; without them it still serves its ports.
    std::string countersProblem;
    if (nvxdriver::PublishCounterSets(&countersProblem)) {
        load.Str("counter_sets", Utf8(nvxsim::CounterSetsPath()));
    } else {
        load.Str("counter_sets_error", countersProblem);
    }
    // So are its minifilter instances, in the machine's filter stack.
    std::string stackProblem;
    if (nvxdriver::PublishFilterStack(&stackProblem)) {
        load.Str("filter_stack", Utf8(nvxsim::FilterStackPath()));
    } else {
        load.Str("filter_stack_error", stackProblem);
    }
    gJournal.Write(nvxdriver::kEventLoad, load);
    if (portsOpen) nvxdriver::OpenPorts();
    if (!nvxdriver::StartControl(control, unloadEvent)) return 1;

    Json ready;
    ready.Str("event", "ready").Num("pid", GetCurrentProcessId()).Str("instance", Utf8(gInstance));
    ready.Str("journal", Utf8(journalPath)).Bool("ports_open", portsOpen);
    PrintLine(ready.Text());

    WaitForSingleObject(unloadEvent, INFINITE);
    nvxdriver::WithdrawCounterSets();
    nvxdriver::WithdrawFilterStack();
    gJournal.Write(nvxdriver::kEventUnload, Json().Num("pid", GetCurrentProcessId()));
    // Ending the process closes every port and connection at once, as an unloading driver does:
    // the service's outstanding receive completes with a broken pipe.
    ExitProcess(0);
    return 0;
}

int Usage() {
    fputs(
        "usage: nvxdriver serve [--instance NAME] [--journal PATH] [--ports-closed]\n"
        "       nvxdriver ctl [--instance NAME] COMMAND [ARGS...]\n"
        "       nvxdriver journal dirs | write DIR NAME [--size N] [--content text|random|zero] [--seed S]\n"
        "                 | grow DIR NAME --by N [--times K] [--every-ms T] | shrink DIR NAME --to N\n"
        "                 | remove DIR [NAME]\n"
        "       nvxdriver load [--instance NAME] --seconds S [--per-second R] -- P COMMAND... [-- P ...]\n"
        "commands: status, open-ports, send, event, reg, raw, answer, queue-full, counters, filters, disconnect,\n"
        "          wait-connect, flood, clear, unload (see the head of nvxdriver.cpp)\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // JSON lines end in LF only
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
    gInstance = nvxsim_pipe::InstanceFromEnvironment();
    if (args.empty()) return Usage();
    const std::string mode = args[0];
    size_t at = 1;
    std::wstring journal = L"C:\\nvxsim\\driver\\received.jsonl";
    bool portsClosed = false;
    while (at < args.size()) {
        if (args[at] == "--instance" && at + 1 < args.size()) {
            gInstance = Wide(args[at + 1]);
            at += 2;
        } else if (mode == "serve" && args[at] == "--journal" && at + 1 < args.size()) {
            journal = Wide(args[at + 1]);
            at += 2;
        } else if (mode == "serve" && args[at] == "--ports-closed") {
            portsClosed = true;
            ++at;
        } else {
            break;
        }
    }
    if (mode == "serve") return at == args.size() ? Serve(journal, portsClosed) : Usage();
    if (mode == "ctl" && at < args.size()) {
        return nvxdriver::RunControlClient(gInstance, std::vector<std::string>(args.begin() + at, args.end()));
    }
    if (mode == "load" && at < args.size()) {
        return nvxdriver::LoadCommand(gInstance, std::vector<std::string>(args.begin() + at, args.end()));
    }
    if (mode == "journal" && at < args.size()) {
        return nvxdriver::JournalCommand(std::vector<std::string>(args.begin() + at, args.end()));
    }
    return Usage();
}
