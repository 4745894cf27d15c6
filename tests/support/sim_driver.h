// The driver simulator for test programs: nvxdriver.exe started as a child process of the test,
// with an instance of its own (so tests may run side by side) and a journal of its own.
//
// The instance's name goes into this process's environment as NVXSIM_DRIVER_INSTANCE, where the
// fltlib.dll stand-in looks for it when a port is opened, and every program started here belongs
// to a job object that ends it when the test program ends, however that happens.
//
// nvxdriver.exe and fltlib.dll are found in the directory NVX_SIM_BIN_DIR names when this module
// is built (SimBinDir()).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace nvx_test {

// The directory of nvxdriver.exe and the stand-in DLLs (fltlib.dll, pdh.dll) as a Windows path:
// a host path is reached through drive Z:.
std::wstring SimBinDir();

// An export of a stand-in loaded from there, with its own type: GetProcAddress hands out a generic
// function pointer. nullptr when the DLL lacks it.
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// What one `nvxdriver ctl` run printed (standard output and error), and its exit status.
struct CtlRun {
    DWORD code = 0;
    std::string out;
};

// A `nvxdriver ctl` run started without waiting for it; CtlFinish waits for it.
struct PendingCtl {
    HANDLE process = nullptr;
    HANDLE output = nullptr;
    std::string failure;  // why the run did not start, when process is nullptr
};

class SimDriver {
public:
    // A new instance named `prefix`, this process's ID and a counter; sets NVXSIM_DRIVER_INSTANCE
    // and removes a journal an earlier run left under that name. The driver is not started.
    explicit SimDriver(const std::string& prefix);
    // Stops the driver, ends whatever it started that is still running, removes the journal.
    ~SimDriver();
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    // Starts `nvxdriver serve` for this instance and journal, with `extra` arguments behind
    // (e.g. --ports-closed), and waits for its "ready" line; a fatal failure when it does not come.
    void Start(const std::vector<std::string>& extra = {});
    // Unloads a running driver through ctl; ends it when it is still there after the settle bound.
    void Stop();
    // The driver's process while started, else nullptr.
    HANDLE Process() const { return process_; }
    const std::string& Instance() const { return instance_; }

    // `nvxdriver ctl --instance <this> args...`.
    PendingCtl CtlStart(const std::vector<std::string>& args);
    static CtlRun CtlFinish(PendingCtl ctl);
    CtlRun Ctl(const std::vector<std::string>& args) { return CtlFinish(CtlStart(args)); }
    // Ctl that must exit with status 0: a fatal failure (in this call) otherwise.
    void CtlOk(const std::vector<std::string>& args);

    // The driver's journal so far (one JSON object a line), and the same cut into whole lines.
    std::string Journal() const;
    std::vector<std::string> JournalLines() const;

private:
    // Starts nvxdriver.exe with `args` in the job, its output on a pipe handed back in `output`.
    // On failure returns nullptr and says in `failure` which call failed, with its error code.
    HANDLE Spawn(const std::vector<std::string>& args, HANDLE* output, std::string* failure);

    std::string instance_;
    std::wstring journal_;
    std::wstring counters_;  // the counter sets it publishes, apart from every other instance's
    HANDLE job_ = nullptr;
    HANDLE process_ = nullptr;
};

}  // namespace nvx_test
