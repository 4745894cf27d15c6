#include <windows.h>

#include "sim/driver_load.h"

#include <cstdio>

#include "sim/driver_control.h"
#include "sim/simsupport.h"

namespace nvxdriver {

namespace {

constexpr ULONGLONG kGoneMs = 10000;

struct Group {
    uint64_t period = 1;
    std::vector<std::string> args;
    uint64_t runs = 0;
    uint64_t failed = 0;
    std::string firstFailure;
};

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

int Usage(const std::string& why) {
    return nvxsim::PrintError(
        2, "load: " + why + " (usage: nvxdriver load --seconds S [--per-second R] -- P COMMAND... [-- P ...])");
}

}  // namespace

int LoadCommand(const std::wstring& instance, const std::vector<std::string>& args) {
    uint64_t seconds = 0;
    uint64_t perSecond = 0;
    size_t at = 0;
    while (at < args.size() && args[at] != "--") {
        uint64_t* target = args[at] == "--seconds" ? &seconds : args[at] == "--per-second" ? &perSecond : nullptr;
        if (target == nullptr || at + 1 >= args.size() || !nvxsim::ParseNumber(args[at + 1], target)) {
            return Usage("unknown or incomplete option " + args[at]);
        }
        at += 2;
    }
    if (seconds == 0) return Usage("--seconds is required");
    std::vector<Group> groups;
    while (at < args.size()) {  // args[at] is "--"
        Group group;
        if (at + 2 >= args.size() || !nvxsim::ParseNumber(args[at + 1], &group.period) || group.period == 0) {
            return Usage("a group is a period of 1 or more and a command");
        }
        at += 2;
        while (at < args.size() && args[at] != "--") group.args.push_back(args[at++]);
        if (group.args.empty()) return Usage("a group without a command");
        groups.push_back(group);
    }
    if (groups.empty()) return Usage("no command to run");

    const ULONGLONG start = GetTickCount64();
    const ULONGLONG end = start + seconds * 1000;
    uint64_t steps = 0;
    for (ULONGLONG now = start; now < end; now = GetTickCount64()) {
        for (Group& group : groups) {
            if (steps % group.period != 0) continue;
            std::string answer;
            std::string failure;
            int code;
            // Between two clients the driver may have no pipe instance listening for a moment,
            // which looks like no driver at all: the command is sent again, and only a driver
            // gone for good ends the load.
            const ULONGLONG firstTry = GetTickCount64();
            while ((code = CallControl(instance, group.args, &answer, &failure)) == 3) {
                if (GetTickCount64() - firstTry > kGoneMs) return nvxsim::PrintError(3, failure);
                Sleep(10);
                answer.clear();
                failure.clear();
            }
            ++group.runs;
            if (code != 0) {
                ++group.failed;
                if (group.firstFailure.empty()) group.firstFailure = failure.empty() ? answer : failure;
            }
        }
        ++steps;
        if (perSecond > 0) {
            // Paced from the start, so a slow answer is made up by the following steps.
            const ULONGLONG due = start + steps * 1000 / perSecond;
            const ULONGLONG after = GetTickCount64();
            if (due > after) Sleep(static_cast<DWORD>(due - after));
        }
    }
    bool clean = true;
    for (const Group& group : groups) {
        nvxsim::Json line;
        line.Str("event", "load").Str("command", Joined(group.args)).Num("period", group.period);
        line.Num("runs", group.runs).Num("failed", group.failed);
        if (!group.firstFailure.empty()) line.Str("first_failure", group.firstFailure);
        nvxsim::PrintLine(line.Text());
        clean = clean && group.failed == 0;
    }
    nvxsim::PrintLine(
        nvxsim::Json().Str("event", "load_done").Num("steps", steps).Num("ms", GetTickCount64() - start).Text());
    return clean ? 0 : 1;
}

}  // namespace nvxdriver
