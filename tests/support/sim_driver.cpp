// The driver simulator for test programs (see sim_driver.h).
#include "tests/support/sim_driver.h"

#include <gtest/gtest.h>

#ifndef NVX_SIM_BIN_DIR
#error "NVX_SIM_BIN_DIR must name the directory of nvxdriver.exe and fltlib.dll"
#endif

namespace nvx_test {

namespace {

constexpr DWORD kSettleMs = 5000;  // bound for the driver to go after an unload
constexpr int kSpawnAttempts = 3;
constexpr DWORD kSpawnRetryMs = 200;

std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    for (char c : arg) out += c == '"' ? std::string("\\\"") : std::string(1, c);
    return out + "\"";
}

}  // namespace

std::wstring SimBinDir() {
    std::string dir = NVX_SIM_BIN_DIR;
    if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
    for (char& c : dir) {
        if (c == '/') c = '\\';
    }
    return std::wstring(dir.begin(), dir.end());
}

SimDriver::SimDriver(const std::string& prefix) {
    static int counter = 0;
    instance_ = prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    SetEnvironmentVariableW(L"NVXSIM_DRIVER_INSTANCE", std::wstring(instance_.begin(), instance_.end()).c_str());
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    journal_ = std::wstring(temp) + L"nvxdriver-" + std::wstring(instance_.begin(), instance_.end()) + L".jsonl";
    DeleteFileW(journal_.c_str());
    counters_ =
        std::wstring(temp) + L"nvxdriver-" + std::wstring(instance_.begin(), instance_.end()) + L"-counters.txt";
    SetEnvironmentVariableW(L"NVXSIM_PDH_COUNTERS", counters_.c_str());
    // Whatever this process leaves running ends with it.
    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

SimDriver::~SimDriver() {
    Stop();
    if (job_ != nullptr) CloseHandle(job_);
    DeleteFileW(journal_.c_str());
    DeleteFileW(counters_.c_str());
}

HANDLE SimDriver::Spawn(const std::vector<std::string>& args, HANDLE* output, std::string* failure) {
    const std::wstring dir = SimBinDir();
    std::string line = "\"" + std::string(dir.begin(), dir.end()) + "\\nvxdriver.exe\"";
    for (const auto& arg : args) line += " " + Quoted(arg);
    std::wstring wline(line.begin(), line.end());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) {
        *failure = "CreatePipe: error " + std::to_string(GetLastError());
        return nullptr;
    }
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write;
    si.hStdError = write;
    PROCESS_INFORMATION pi{};
    // Process creation under Wine on a loaded host has been seen to fail once and work the next
    // time; the tests using this are about the driver, not about starting it, so try again.
    BOOL ok = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < kSpawnAttempts && !ok; ++attempt) {
        if (attempt != 0) Sleep(kSpawnRetryMs);
        ok =
            CreateProcessW(nullptr, wline.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
        error = ok ? 0 : GetLastError();
    }
    CloseHandle(write);
    if (!ok) {
        *failure = "CreateProcess: error " + std::to_string(error) + " at each of " + std::to_string(kSpawnAttempts) +
                   " attempts";
        CloseHandle(read);
        return nullptr;
    }
    AssignProcessToJobObject(job_, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    *output = read;
    return pi.hProcess;
}

void SimDriver::Start(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"serve", "--instance", instance_, "--journal",
                                     std::string(journal_.begin(), journal_.end())};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string text;
    // The driver writes its "ready" or "error" line before anything else; a process that ends
    // having written nothing never ran (Wine could not bring it up), so it is started once more.
    for (int attempt = 0; attempt < 2 && text.empty(); ++attempt) {
        if (process_ != nullptr) {
            CloseHandle(process_);
            process_ = nullptr;
        }
        HANDLE output;
        std::string failure;
        process_ = Spawn(args, &output, &failure);
        ASSERT_NE(process_, nullptr) << "nvxdriver.exe did not start: " << failure;
        char chunk[256];
        DWORD got;
        while (text.find('\n') == std::string::npos && ReadFile(output, chunk, sizeof chunk, &got, nullptr) && got) {
            text.append(chunk, got);
        }
        CloseHandle(output);  // later output of the driver goes nowhere
    }
    ASSERT_NE(text.find("\"event\":\"ready\""), std::string::npos) << text;
}

void SimDriver::Stop() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        Ctl({"unload"});
        if (WaitForSingleObject(process_, kSettleMs) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
        WaitForSingleObject(process_, kSettleMs);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

PendingCtl SimDriver::CtlStart(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"ctl", "--instance", instance_};
    all.insert(all.end(), args.begin(), args.end());
    PendingCtl ctl;
    ctl.process = Spawn(all, &ctl.output, &ctl.failure);
    return ctl;
}

CtlRun SimDriver::CtlFinish(PendingCtl ctl) {
    if (ctl.process == nullptr) return {255, "ctl did not start: " + ctl.failure};
    CtlRun run;
    char chunk[4096];
    DWORD got;
    while (ReadFile(ctl.output, chunk, sizeof chunk, &got, nullptr) && got) run.out.append(chunk, got);
    WaitForSingleObject(ctl.process, INFINITE);
    GetExitCodeProcess(ctl.process, &run.code);
    CloseHandle(ctl.output);
    CloseHandle(ctl.process);
    return run;
}

void SimDriver::CtlOk(const std::vector<std::string>& args) {
    CtlRun run = Ctl(args);
    ASSERT_EQ(run.code, 0u) << args[0] << ": " << run.out;
}

std::string SimDriver::Journal() const {
    HANDLE file = CreateFileW(journal_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char chunk[65536];
    DWORD got;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

std::vector<std::string> SimDriver::JournalLines() const {
    std::vector<std::string> lines;
    const std::string text = Journal();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace nvx_test
