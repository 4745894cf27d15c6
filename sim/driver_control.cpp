// The driver simulator's control channel (see driver_control.h).
#include "sim/driver_control.h"

#include <cstdint>
#include <cstdio>

#include "sim/driver_commands.h"
#include "sim/pipe_protocol.h"
#include "sim/simsupport.h"

using nvxsim::PrintError;

namespace nvxdriver {

namespace {

constexpr DWORD kControlBuffer = 0x10000;
constexpr DWORD kClientWaitMs = 10000;  // for a free control pipe instance

std::wstring gControlPipe;
HANDLE gUnloadEvent = nullptr;

std::wstring ControlPipeName(const std::wstring& instance) {
    return nvxsim_pipe::PipeRoot(instance) + L".driver-control";
}

HANDLE CreateControlInstance(bool first) {
    return CreateNamedPipeW(gControlPipe.c_str(), PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            kControlBuffer, kControlBuffer, 0, nullptr);
}

// Reads one pipe message of any length into `out`; false when the pipe failed before its end
// (`out` then holds what came).
bool ReadWholeMessage(HANDLE pipe, std::vector<uint8_t>* out) {
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, chunk, sizeof chunk, &got, nullptr);
        out->insert(out->end(), chunk, chunk + got);
        if (ok) return true;
        if (GetLastError() != ERROR_MORE_DATA) return false;
    }
}

// One control client: its arguments in, {exit code, text} out.
DWORD WINAPI ControlClientThread(void* arg) {
    HANDLE pipe = arg;
    std::vector<uint8_t> request;
    if (!ReadWholeMessage(pipe, &request)) {
        CloseHandle(pipe);
        return 0;
    }
    std::vector<std::string> args;
    std::string current;
    for (uint8_t byte : request) {
        if (byte == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(byte);
        }
    }
    Reply reply;
    reply.code = RunCommand(args, &reply);
    std::vector<uint8_t> answer;
    nvxsim::PutU32(answer, static_cast<uint32_t>(reply.code));
    answer.insert(answer.end(), reply.text.begin(), reply.text.end());
    DWORD written;
    WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    if (reply.unload) SetEvent(gUnloadEvent);
    return 0;
}

DWORD WINAPI ControlThread(void* arg) {
    HANDLE pipe = arg;
    for (;;) {
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(50);
            pipe = CreateControlInstance(false);
            continue;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            HANDLE thread = CreateThread(nullptr, 0, ControlClientThread, pipe, 0, nullptr);
            if (thread != nullptr) {
                CloseHandle(thread);
            } else {
                CloseHandle(pipe);
            }
        } else {
            CloseHandle(pipe);
        }
        pipe = CreateControlInstance(false);
    }
}

}  // namespace

HANDLE CreateControlPipe(const std::wstring& instance) {
    gControlPipe = ControlPipeName(instance);
    return CreateControlInstance(true);
}

bool StartControl(HANDLE first, HANDLE unloadEvent) {
    gUnloadEvent = unloadEvent;
    HANDLE thread = CreateThread(nullptr, 0, ControlThread, first, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}

int CallControl(const std::wstring& instance, const std::vector<std::string>& args, std::string* answerText,
                std::string* failure) {
    const std::wstring name = ControlPipeName(instance);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const ULONGLONG deadline = GetTickCount64() + kClientWaitMs;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY || GetTickCount64() >= deadline) {
            if (error == ERROR_FILE_NOT_FOUND) {
                *failure = "the driver simulator is not running";
                return 3;
            }
            *failure = "cannot reach the driver simulator: error " + std::to_string(error);
            return 1;
        }
        WaitNamedPipeW(name.c_str(), 1000);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    std::vector<uint8_t> request;
    for (const auto& arg : args) {
        request.insert(request.end(), arg.begin(), arg.end());
        request.push_back(0);
    }
    DWORD written;
    if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
        CloseHandle(pipe);
        *failure = "the driver closed its control pipe";
        return 1;
    }
    std::vector<uint8_t> answer;
    ReadWholeMessage(pipe, &answer);  // a cut answer still carries its exit code when 4 bytes came
    CloseHandle(pipe);
    if (answer.size() < 4) {
        *failure = "the driver gave no answer";
        return 1;
    }
    answerText->assign(reinterpret_cast<const char*>(answer.data()) + 4, answer.size() - 4);
    return static_cast<int>(nvxsim::GetU32(answer.data()));
}

int RunControlClient(const std::wstring& instance, const std::vector<std::string>& args) {
    std::string answer;
    std::string failure;
    const int code = CallControl(instance, args, &answer, &failure);
    if (!failure.empty()) return PrintError(code, failure);
    fwrite(answer.data(), 1, answer.size(), stdout);
    fflush(stdout);
    return code;
}

}  // namespace nvxdriver
