// The fault seam of the test build: the chosen calls of an operation fail as the function reports
// failures, with the chosen error; the calls before and after reach the OS; every call is counted.
#include "runtime/fault_seam_testing.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fltuser.h>
#include <shlobj.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "comms/fltlib_api.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);

class FaultSeamTest : public ::testing::Test {
protected:
    void TearDown() override { SgFaultDisarmAll(); }
};

LSTATUS OpenSoftwareKey() {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
}

TEST_F(FaultSeamTest, OnlyTheArmedCallsOfTheOperationFailWithTheChosenError) {
    const uint64_t before = SgFaultCalls(SG_FAULT_REG_OPEN);
    const uint64_t failedBefore = SgFaultFailures(SG_FAULT_REG_OPEN);
    SgFaultArm(SG_FAULT_REG_OPEN, before + 2, 2, ERROR_BAD_PATHNAME);
    EXPECT_EQ(OpenSoftwareKey(), ERROR_SUCCESS);
    EXPECT_EQ(OpenSoftwareKey(), ERROR_BAD_PATHNAME);
    EXPECT_EQ(OpenSoftwareKey(), ERROR_BAD_PATHNAME);
    EXPECT_EQ(OpenSoftwareKey(), ERROR_SUCCESS);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_REG_OPEN), before + 4);
    EXPECT_EQ(SgFaultFailures(SG_FAULT_REG_OPEN), failedBefore + 2);

    // Another operation's calls neither fail nor move this one's count.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    SgFaultArmNext(SG_FAULT_REG_QUERY, 1, 0);
    DWORD bytes = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"NoSuchValue", nullptr, nullptr, nullptr, &bytes),
              static_cast<LSTATUS>(SgFaultDefaultError(SG_FAULT_REG_QUERY)));
    EXPECT_EQ(RegQueryValueExW(key, L"NoSuchValue", nullptr, nullptr, nullptr, &bytes), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_REG_OPEN), before + 5);

    // Disarmed: the next calls reach the registry.
    SgFaultArmNext(SG_FAULT_REG_OPEN, 1, ERROR_BAD_PATHNAME);
    SgFaultArm(SG_FAULT_REG_OPEN, 0, 0, 0);
    EXPECT_EQ(OpenSoftwareKey(), ERROR_SUCCESS);
}

DWORD WINAPI ReturnSeven(void*) { return 7; }

TEST_F(FaultSeamTest, CreationAndWaitsFailWithLastErrorSet) {
    SgFaultArmNext(SG_FAULT_EVENT_CREATE, 1, ERROR_NO_SYSTEM_RESOURCES);
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);

    SgFaultArmNext(SG_FAULT_WAIT, 1, 0);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "the operation's default error";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);

    const uint64_t threads = SgFaultCalls(SG_FAULT_THREAD_CREATE);
    SgFaultArmNext(SG_FAULT_THREAD_CREATE, 1, 0);
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE thread = CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_THREAD_CREATE), threads + 2);
}

// What one thread's waits of each kind answered.
struct WaitsOfEachKind {
    HANDLE event;
    HANDLE port;
    DWORD single = 0;
    DWORD multiple[2] = {};
    DWORD multipleError = 0;
    BOOL completed[2] = {};
    DWORD completionError[2] = {};
    OVERLAPPED* firstPacket = nullptr;
};

DWORD WINAPI WaitOfEachKind(void* p) {
    auto* w = static_cast<WaitsOfEachKind*>(p);
    w->single = WaitForSingleObject(w->event, 0);
    SetLastError(0);
    w->multiple[0] = WaitForMultipleObjects(1, &w->event, FALSE, 0);
    w->multipleError = GetLastError();
    w->multiple[1] = WaitForMultipleObjects(1, &w->event, FALSE, 0);
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* packet = reinterpret_cast<OVERLAPPED*>(&bytes);
    for (int i = 0; i < 2; ++i) {
        w->completed[i] = GetQueuedCompletionStatus(w->port, &bytes, &key, &packet, 0);
        w->completionError[i] = GetLastError();
        if (i == 0) w->firstPacket = packet;
    }
    return 0;
}

// A wait of one kind is reached through its own count, whatever other waits the process makes;
// it still counts, and can fail, as a Wait. Only the program's own threads make those calls:
// a thread it did not start (here the test's main thread, elsewhere the C++ runtime's) does not.
TEST_F(FaultSeamTest, APartOfWaitFailsOnlyItsOwnCallsOnTheProgramsThreads) {
    WaitsOfEachKind w;
    w.event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(w.event, nullptr);
    w.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(w.port, nullptr);
    const uint64_t waits = SgFaultCalls(SG_FAULT_WAIT);
    const uint64_t multiple = SgFaultCalls(SG_FAULT_WAIT_MULTIPLE);
    SgFaultArmNext(SG_FAULT_WAIT_MULTIPLE, 1, ERROR_ACCESS_DENIED);
    SgFaultArmNext(SG_FAULT_COMPLETION_WAIT, 1, 0);
    EXPECT_EQ(WaitForMultipleObjects(1, &w.event, FALSE, 0), WAIT_OBJECT_0) << "a thread the program did not start";

    HANDLE thread = CreateThread(nullptr, 0, WaitOfEachKind, &w, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(w.single, WAIT_OBJECT_0) << "another kind of wait";
    EXPECT_EQ(w.multiple[0], WAIT_FAILED);
    EXPECT_EQ(w.multipleError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(w.multiple[1], WAIT_OBJECT_0);
    EXPECT_FALSE(w.completed[0]);
    EXPECT_EQ(w.completionError[0], static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "the part's default error";
    EXPECT_EQ(w.firstPacket, nullptr) << "a failed wait dequeues no packet";
    EXPECT_FALSE(w.completed[1]);
    EXPECT_EQ(w.completionError[1], static_cast<DWORD>(WAIT_TIMEOUT)) << "the next call reaches the port";
    EXPECT_EQ(SgFaultCalls(SG_FAULT_WAIT), waits + 7);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_WAIT_MULTIPLE), multiple + 2);

    // Wait's own range holds the parts' calls, on any thread.
    SgFaultArmNext(SG_FAULT_WAIT, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(WaitForMultipleObjects(1, &w.event, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    CloseHandle(w.port);
    CloseHandle(w.event);
}

// The OS symbol slots and the Filter Manager port calls are resolved at run time: the seam hands
// out its wrappers through GetProcAddress.
TEST_F(FaultSeamTest, CallsResolvedAtRunTimeAreCountedAndFailed) {
    ASSERT_TRUE(SgInitOsSymbols());
    nvx_test::TempDirectory dir(L"fault_seam");
    ASSERT_FALSE(dir.path().empty());
    HANDLE file = CreateFileW((dir.path() + L"\\probe.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    IO_STATUS_BLOCK io{};
    FILE_STANDARD_INFORMATION info{};
    const uint64_t before = SgFaultCalls(SG_FAULT_NT_FILE);
    SgFaultArmNext(SG_FAULT_NT_FILE, 1, static_cast<uint32_t>(kStatusAccessDenied));
    EXPECT_EQ(SgNtQueryInformationFile(file, &io, &info, sizeof(info), FileStandardInformation), kStatusAccessDenied);
    EXPECT_EQ(SgNtQueryInformationFile(file, &io, &info, sizeof(info), FileStandardInformation), 0);
    EXPECT_EQ(SgNtFlushBuffersFile(file, &io), 0);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_NT_FILE), before + 3) << "every NT file call counts as one operation";
    CloseHandle(file);
    SgShutdownOsSymbols();

    HMODULE fltlib = LoadLibraryA("fltlib.dll");
    ASSERT_NE(fltlib, nullptr);
    auto connect = SgResolve<PFN_FilterConnectCommunicationPort>(fltlib, "FilterConnectCommunicationPort");
    ASSERT_NE(connect, nullptr);
    const uint64_t connects = SgFaultCalls(SG_FAULT_FLT_CONNECT);
    SgFaultArmNext(SG_FAULT_FLT_CONNECT, 1, static_cast<uint32_t>(kHresultAborted));
    HANDLE port = nullptr;
    EXPECT_EQ(connect(L"\\NoSuchPort", 0, nullptr, 0, nullptr, &port), kHresultAborted);
    EXPECT_NE(connect(L"\\NoSuchPort", 0, nullptr, 0, nullptr, &port), kHresultAborted) << "the real call";
    EXPECT_EQ(SgFaultCalls(SG_FAULT_FLT_CONNECT), connects + 2);

    // The filter walk's calls are resolved at run time too.
    auto findFirst = SgResolve<decltype(&::FilterFindFirst)>(fltlib, "FilterFindFirst");
    ASSERT_NE(findFirst, nullptr);
    SgFaultArmNext(SG_FAULT_FLT_WALK, 1, static_cast<uint32_t>(kHresultAborted));
    DWORD returned = 0;
    HANDLE find = nullptr;
    EXPECT_EQ(findFirst(FilterAggregateStandardInformation, nullptr, 0, &returned, &find), kHresultAborted);
    EXPECT_EQ(SgFaultFailures(SG_FAULT_FLT_WALK), 1u);
    FreeLibrary(fltlib);
}

// The SDK declares the shell's calls without dllimport: the link wraps the import library's thunk
// itself.
TEST_F(FaultSeamTest, CallsThroughImportThunksAreCountedAndFailed) {
    const uint64_t before = SgFaultCalls(SG_FAULT_KNOWN_FOLDER);
    SgFaultArmNext(SG_FAULT_KNOWN_FOLDER, 1, static_cast<uint32_t>(E_OUTOFMEMORY));
    PWSTR folder = reinterpret_cast<PWSTR>(1);
    EXPECT_EQ(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder), E_OUTOFMEMORY);
    EXPECT_EQ(folder, nullptr) << "a failed lookup leaves no path to free";
    ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder), S_OK);
    EXPECT_NE(folder, nullptr);
    CoTaskMemFree(folder);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_KNOWN_FOLDER), before + 2);
}

TEST_F(FaultSeamTest, PoolAllocationFailsAndIsLoggedByThePool) {
    ASSERT_TRUE(SgInitMemory());
    nvx_test::ClearLog();
    const size_t big = kPoolMaxSmall + 1;
    SgFaultArmNext(SG_FAULT_MEMORY, 1, 0);
    EXPECT_EQ(SgAllocMem(big), nullptr);
    auto log = nvx_test::TakeLogWithoutPoolDebug();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].text.find("Cannot allocate memory chunk"), std::string::npos) << log[0].text;
    void* block = SgAllocMem(big);
    EXPECT_NE(block, nullptr);
    SgFreeMem(block);
    EXPECT_TRUE(SgShutdownMemory());
}

TEST_F(FaultSeamTest, NamesAndTheCountsFileCoverEveryOperation) {
    for (uint32_t i = 0; i < SG_FAULT_OP_COUNT; ++i) {
        const std::string name = SgFaultOpName(static_cast<SgFaultOp>(i));
        std::wstring lower;
        for (char c : name) lower += static_cast<wchar_t>(tolower(c));
        SgFaultOp op = SG_FAULT_OP_COUNT;
        EXPECT_TRUE(SgFaultOpFromName(lower.c_str(), &op)) << name;
        EXPECT_EQ(op, static_cast<SgFaultOp>(i)) << name;
        EXPECT_NE(SgFaultDefaultError(op), 0u) << name;
    }
    SgFaultOp op;
    EXPECT_FALSE(SgFaultOpFromName(L"RegOpen", &op));
    EXPECT_FALSE(SgFaultOpFromName(L"RegOpenKeyX", &op));

    nvx_test::TempDirectory dir(L"fault_seam");
    ASSERT_FALSE(dir.path().empty());
    SgFaultSetCountsFile(nullptr);
    EXPECT_FALSE(SgFaultWriteCounts()) << "no file set";
    const std::wstring path = dir.path() + L"\\counts.txt";
    SgFaultSetCountsFile(path.c_str());
    SgFaultArmNext(SG_FAULT_REG_OPEN, 1, 0);
    EXPECT_NE(OpenSoftwareKey(), ERROR_SUCCESS);
    ASSERT_TRUE(SgFaultWriteCounts());
    SgFaultSetCountsFile(nullptr);

    std::string text;
    FILE* file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, n);
    fclose(file);
    std::istringstream in(text);
    std::map<std::string, std::pair<uint64_t, uint64_t>> counts;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        uint64_t calls = 0, failures = 0;
        ASSERT_TRUE(fields >> name >> calls >> failures) << line;
        counts[name] = {calls, failures};
    }
    ASSERT_EQ(counts.size(), static_cast<size_t>(SG_FAULT_OP_COUNT));
    for (uint32_t i = 0; i < SG_FAULT_OP_COUNT; ++i) {
        const auto o = static_cast<SgFaultOp>(i);
        EXPECT_EQ(counts[SgFaultOpName(o)], std::make_pair(SgFaultCalls(o), SgFaultFailures(o))) << SgFaultOpName(o);
    }
    EXPECT_GE(counts["RegOpenKey"].second, 1u);
}

}  // namespace
