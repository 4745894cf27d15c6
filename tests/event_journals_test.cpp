// The event-journal store: the journal-name grammar, the per-type lists of a listing, the
// housekeeping pass's rotation over the types with what it does to each file, a stop request
// between two files, a store that cannot be found, and the monitoring thread's first pass.
// Journals live in a temporary directory that the Paths key names, as an installation does.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "journals/event_journals.h"
#include "journals/journal_file.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names_testing.h"
#include "runtime/sg_containers.h"
#include "runtime/unistr.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using nvx_test::LogLine;

const wchar_t* const kTypes[] = {L"System",
                                 L"DirectoryChanges",
                                 L"FileBinaryChanges",
                                 L"FileDataChanges",
                                 L"FileOtherChanges",
                                 L"FileBinaryReads",
                                 L"FileDataReads",
                                 L"FileOtherReads",
                                 L"FileHashes",
                                 L"FileProperties",
                                 L"ProcessProperties",
                                 L"Process",
                                 L"Thread",
                                 L"Image",
                                 L"Registry",
                                 L"Dns",
                                 L"Http",
                                 L"Ip",
                                 L"Network",
                                 L"Url"};

bool NoOsPaths() { return true; }
const SgOsPathCalls kNoOsPaths = {NoOsPaths, NoOsPaths};

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr));
    return out;
}

std::string Text(const UNICODE_STRING* s) { return Utf8(std::wstring(s->Buffer, s->Length / sizeof(wchar_t))); }

// Texts of the captured lines at one level.
std::vector<std::string> Texts(const std::vector<LogLine>& log, uint32_t level) {
    std::vector<std::string> out;
    for (const LogLine& line : log) {
        if (line.facility == SG_FAC_EVTJRN && line.level == level) out.push_back(line.text);
    }
    return out;
}

// The paths a log line of the given beginning names, in order (the path is the line's end).
std::vector<std::string> Named(const std::vector<LogLine>& log, const std::string& begin) {
    std::vector<std::string> out;
    for (const LogLine& line : log) {
        size_t path = line.text.find("\\??\\");
        if (line.text.rfind(begin, 0) == 0 && path != std::string::npos) out.push_back(line.text.substr(path));
    }
    return out;
}

class JournalStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitOsSymbols() && SgInitMemory());
        SgSetOsPathCallsForTesting(&kNoOsPaths);
        ASSERT_TRUE(SgInitPathManagement());
        ASSERT_FALSE(data_.empty());
        root_ = data_ + L"\\Data\\Event Journals\\KestroNVX";
        SetDataDirectory((L"\\??\\" + data_).c_str());
        nvx_test::ClearLog();
    }

    void TearDown() override {
        if (initialised_) {
            EXPECT_TRUE(ShutdownEventJournals());
        }
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDriverPathsKeyPath);
        EXPECT_TRUE(SgShutdownPathManagement());
        SgSetOsPathCallsForTesting(nullptr);
        EXPECT_TRUE(SgShutdownMemory());
        SgShutdownOsSymbols();
    }

    // The installation's record of the data directory; none deletes the value.
    void SetDataDirectory(const wchar_t* value) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverPathsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        if (value != nullptr) {
            RegSetValueExW(key, L"NvxProgramDataDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           DWORD((wcslen(value) + 1) * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(key, L"NvxProgramDataDir");
        }
        RegCloseKey(key);
    }

    void MakeStore() {
        for (const std::wstring& dir : {data_, data_ + L"\\Data", data_ + L"\\Data\\Event Journals", root_}) {
            CreateDirectoryW(dir.c_str(), nullptr);
        }
        for (const wchar_t* type : kTypes) CreateDirectoryW((root_ + L"\\" + type).c_str(), nullptr);
    }

    // A journal of `size` bytes (sparse beyond what is written).
    void Put(const std::wstring& dir, const std::wstring& name, uint64_t size = 1000) {
        HANDLE h = CreateFileW((root_ + L"\\" + dir + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::string text(size_t(std::min<uint64_t>(size, 4096)), 'j');
        DWORD n;
        WriteFile(h, text.data(), DWORD(text.size()), &n, nullptr);
        LARGE_INTEGER end;
        end.QuadPart = LONGLONG(size);
        SetFilePointerEx(h, end, nullptr, FILE_BEGIN);
        SetEndOfFile(h);
        CloseHandle(h);
    }

    std::vector<std::wstring> Files(const std::wstring& dir) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW((root_ + L"\\" + dir + L"\\*").c_str(), &found);
        if (h == INVALID_HANDLE_VALUE) return names;
        do {
            if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
                names.push_back(found.cFileName);
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Nt(const std::wstring& dir, const std::wstring& name = L"") {
        return Utf8(L"\\??\\" + root_ + L"\\" + dir + (name.empty() ? L"" : L"\\" + name));
    }

    void Init() {
        ASSERT_TRUE(InitEventJournals());
        initialised_ = true;
        // Passes run here in place of the thread's body; they stop when its run flag is clear.
        SgThreadSetRunning(EventJournalThread());
    }

    nvx_test::TempDirectory temp_{L"nvxjt"};
    const std::wstring& data_ = temp_.path();
    std::wstring root_;
    bool initialised_ = false;
};

struct NameCase {
    const wchar_t* name;
    bool valid;
    uint32_t type = 0;
    uint64_t hex1 = 0, hex2 = 0, dec1 = 0, dec2 = 0;
    bool longForm = true, bin = false, xz = false, tmp = false;
};

TEST_F(JournalStoreTest, NameGrammar) {
    const NameCase cases[] = {
        {L"System-1F-2A-100-200.bin", true, 0, 0x1F, 0x2A, 100, 200, true, true},
        {L"System-1F-100.bin", true, 0, 0x1F, 0x1F, 100, 100, false},
        {L"Dns-1-2.anything", true, 15, 1, 1, 2, 2, false},
        {L"Ip-+a-+B-+7-8.bin", true, 17, 0xA, 0xB, 7, 8, true, true},
        {L"ProcessProperties-1-2-3-4.xz", true, 10, 1, 2, 3, 4, true, false, true},
        {L"Process-1-2-3-4.tmp", true, 11, 1, 2, 3, 4, true, false, false, true},
        {L"Ip-1-2-3-4.bins", true, 17, 1, 2, 3, 4, true, true},
        {L"Ip-1-2-3-4.log", true, 17, 1, 2, 3, 4},
        {L"Ip-1-2-3-4.", true, 17, 1, 2, 3, 4},
        {L"Ip-1-2-3-4.bi", true, 17, 1, 2, 3, 4},
        // 21 characters (sign included) are accepted; values wrap at 64 bits.
        {L"Url-100000000000000000001-+FFFFFFFFFFFFFFFFFFFF-+12345678901234567890-0.xz", true, 19, 1,
         0xFFFFFFFFFFFFFFFFull, 12345678901234567890ull, 0, true, false, true},
        {L"Url-1000000000000000000001-2-3-4.bin", false},
        {L"Url-1-2-3-+123456789012345678901.bin", false},
        {L"Ip-1-2-3A-4.bin", false},
        {L"Ip-1-2A.bin", false},
        {L"Ip-1-G-3-4.bin", false},
        {L"Foo-1-2-3-4.bin", false},
        {L"dns-1-2-3-4.bin", false},
        {L"Dns_1-2-3-4.bin", false},
        {L"Dns-1.bin", false},
        {L"Dns-1-2-3.bin", false},
        {L"Dns-1-2-3-4-5.bin", false},
        {L"Dns--2-3-4.bin", false},
        {L"Dns-+-2-3-4.bin", false},
        {L"Dns-++1-2-3-4.bin", false},
        {L"Dns-1-2-3-4", false},
        {L"Dns-", false},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        UNICODE_STRING* path = SgCreateUnistrFromWide(c.name);
        JournalFile* file = ParseJournalName(path, c.name, uint32_t(wcslen(c.name) * sizeof(wchar_t)));
        std::vector<LogLine> log = nvx_test::TakeLog();
        if (!c.valid) {
            EXPECT_EQ(file, nullptr);
            EXPECT_EQ(Texts(log, SG_LVL_ERROR),
                      std::vector<std::string>{"Invalid event journal pathname: " + Utf8(c.name)});
            SgFreeUnistr(path);
            continue;
        }
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(Texts(log, SG_LVL_ERROR).empty());
        EXPECT_EQ(file->Path, path);
        EXPECT_EQ(file->TypeIndex, c.type);
        EXPECT_EQ(file->Hex1, c.hex1);
        EXPECT_EQ(file->Hex2, c.hex2);
        EXPECT_EQ(file->Dec1, c.dec1);
        EXPECT_EQ(file->Dec2, c.dec2);
        EXPECT_EQ(file->LongForm, c.longForm);
        if (c.longForm) {
            EXPECT_EQ((std::vector<bool>{file->IsBin, file->IsXz, file->IsTmp}),
                      (std::vector<bool>{c.bin, c.xz, c.tmp}));
        }
        SgDisposeObject(&file->header, kSgFreeAlways);
    }

    // Only the length the listing gives counts: "Dns-1-2-3-4" ends before its extension.
    UNICODE_STRING* path = SgCreateUnistrFromWide(L"Dns-1-2-3-4.bin");
    EXPECT_EQ(ParseJournalName(path, path->Buffer, 11 * sizeof(wchar_t)), nullptr);
    SgFreeUnistr(path);
}

TEST_F(JournalStoreTest, ListingKeepsEachTypeHighestKeyFirstInListingOrderForTies) {
    MakeStore();
    for (const wchar_t* name : {L"Registry-5-0-0-0.bin", L"Registry-9-0-0-0.bin", L"Registry-7-0-0-0.bin",
                                L"Registry-7-1-0-0.tmp", L"Registry-7-2-0-0.xz"}) {
        Put(L"Registry", name);
    }
    Put(L"Http", L"Dns-1-2-3-4.bin", 77);          // kept by its name's type
    Put(L"Ip", L"Foo-1-2-3-4.bin");                // no type
    Put(L"Ip", L"Ip-1-0-0-0.bin", 0xFFFFFFFEull);  // the largest size a record holds
    Put(L"Ip", L"Ip-2-0-0-0.bin", 0xFFFFFFFFull);  // too large for a record
    ASSERT_TRUE(RemoveDirectoryW((root_ + L"\\Url").c_str())) << "error " << GetLastError();
    Init();
    nvx_test::ClearLog();

    JournalSet* set = EnumerateJournals();
    ASSERT_NE(set, nullptr);
    std::vector<LogLine> log = nvx_test::TakeLog();

    std::vector<std::string> registry;
    for (JournalFile* f = set->lists[14].head; f != nullptr; f = reinterpret_cast<JournalFile*>(f->header.next)) {
        registry.push_back(Text(f->Path));
    }
    EXPECT_EQ(set->lists[14].count, 5u);
    // The three Hex1 7 records keep the order in which the directory listed them.
    std::vector<std::string> sevens;
    for (const std::string& path : Named(log, "Dir entry: ")) {
        if (path.find("Registry-7-") != std::string::npos) sevens.push_back(path);
    }
    ASSERT_EQ(sevens.size(), 3u);
    EXPECT_EQ(registry, (std::vector<std::string>{Nt(L"Registry", L"Registry-9-0-0-0.bin"), sevens[0], sevens[1],
                                                  sevens[2], Nt(L"Registry", L"Registry-5-0-0-0.bin")}));
    ASSERT_EQ(set->lists[15].count + set->lists[16].count, 1u);
    EXPECT_EQ(Text(set->lists[15].head->Path), Nt(L"Http", L"Dns-1-2-3-4.bin"));
    EXPECT_EQ(set->lists[15].head->Size, 77u);
    ASSERT_EQ(set->lists[17].count, 1u);
    EXPECT_EQ(set->lists[17].head->Size, 0xFFFFFFFEu);

    std::vector<std::string> debug = Texts(log, SG_LVL_DEBUG);
    auto has = [&debug](const std::string& line) { return std::count(debug.begin(), debug.end(), line); };
    EXPECT_EQ(has("Directory read returned 5 entries"), 1);  // Ip: the dots, Foo and both big files
    EXPECT_EQ(has("Directory read returned 7 entries"), 1);  // Registry
    EXPECT_EQ(has("Directory read returned 2 entries"), 16);
    EXPECT_EQ(has("Dir entry: " + Nt(L"Ip", L"Ip-2-0-0-0.bin")), 0);
    EXPECT_EQ(has("Unable to open event journal directory " + Nt(L"Url") + " 0xC0000034"), 1);
    EXPECT_EQ(Texts(log, SG_LVL_ERROR),
              std::vector<std::string>{"Invalid event journal pathname: " + Nt(L"Ip", L"Foo-1-2-3-4.bin")});
    DestroyJournalSet(set);
}

TEST_F(JournalStoreTest, PassTakesOneJournalOfEachTypeInTurnAndActsByItsName) {
    MakeStore();
    for (const wchar_t* name : {L"System-1F-2A-100-200.bin", L"System-3-0-0-0.bin", L"System-2-100.bin"}) {
        Put(L"System", name);
    }
    for (const wchar_t* name : {L"Thread-1-0-0-0.bin", L"Thread-3-0-0-0.bin", L"Thread-2-0-0-0.bin"}) {
        Put(L"Thread", name);
    }
    Put(L"Image", L"Image-5-0-0-0.bin");
    for (const wchar_t* name : {L"Dns-1-2-3-4.tmp", L"Dns-1-2-3-4.xz", L"Dns-1-2-3-4.log"}) Put(L"Dns", name, 10);
    Put(L"Http", L"Dns-7-0-0-0.bin");
    for (const wchar_t* name : {L"Ip-+a-+B-+7-8.bin", L"Ip-1-2-3A-4.bin", L"Ip-1-2-3-4.bins"}) Put(L"Ip", name);
    // A leftover that cannot be deleted: a directory with a temporary file's name.
    CreateDirectoryW((root_ + L"\\Registry\\Registry-1-0-0-0.tmp").c_str(), nullptr);
    Init();
    nvx_test::ClearLog();

    RunJournalHousekeeping(1234);
    std::vector<LogLine> log = nvx_test::TakeLog();

    EXPECT_EQ(Named(log, "Compressed "),
              (std::vector<std::string>{Nt(L"System", L"System-1F-2A-100-200.bin"),
                                        Nt(L"Thread", L"Thread-3-0-0-0.bin"), Nt(L"Image", L"Image-5-0-0-0.bin"),
                                        Nt(L"Http", L"Dns-7-0-0-0.bin"), Nt(L"Ip", L"Ip-+a-+B-+7-8.bin"),
                                        Nt(L"System", L"System-3-0-0-0.bin"), Nt(L"Thread", L"Thread-2-0-0-0.bin"),
                                        Nt(L"Ip", L"Ip-1-2-3-4.bins"), Nt(L"Thread", L"Thread-1-0-0-0.bin")}));
    std::vector<std::string> debug = Texts(log, SG_LVL_DEBUG);
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(debug.front(), "OS Event Journal housekeeping 1234");
    EXPECT_EQ(debug.back(), "Compressed 9 files, deleted 1 files, and ignored 3 files");
    std::vector<std::string> errors = Texts(log, SG_LVL_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "Invalid event journal pathname: " + Nt(L"Ip", L"Ip-1-2-3A-4.bin"));
    EXPECT_EQ(errors[1].rfind("Unable to delete (or set for delete on close)  event journal " +
                                  Nt(L"Registry", L"Registry-1-0-0-0.tmp") + ", errcode 0x",
                              0),
              0u);

    using Names = std::vector<std::wstring>;
    EXPECT_EQ(Files(L"System"), (Names{L"System-1F-2A-100-200.xz", L"System-2-100.bin", L"System-3-0-0-0.xz"}));
    EXPECT_EQ(Files(L"Thread"), (Names{L"Thread-1-0-0-0.xz", L"Thread-2-0-0-0.xz", L"Thread-3-0-0-0.xz"}));
    EXPECT_EQ(Files(L"Image"), (Names{L"Image-5-0-0-0.xz"}));
    EXPECT_EQ(Files(L"Dns"), (Names{L"Dns-1-2-3-4.log", L"Dns-1-2-3-4.xz"}));
    EXPECT_EQ(Files(L"Http"), (Names{L"Dns-7-0-0-0.xz"}));
    EXPECT_EQ(Files(L"Ip"), (Names{L"Ip-+a-+B-+7-8.xz", L"Ip-1-2-3-4.bxz", L"Ip-1-2-3A-4.bin"}));
    EXPECT_EQ(Files(L"Registry"), (Names{L"Registry-1-0-0-0.tmp"}));
}

TEST_F(JournalStoreTest, StopRequestEndsThePassAfterTheVisitInHand) {
    MakeStore();
    Put(L"System", L"System-1-0-0-0.tmp");
    Put(L"Dns", L"Dns-1-0-0-0.tmp");
    Init();
    SgStopThread(EventJournalThread());
    nvx_test::ClearLog();

    // The first visit takes System's file; an empty visit is a visit too.
    RunJournalHousekeeping(1);
    RunJournalHousekeeping(2);
    std::vector<std::string> debug = Texts(nvx_test::TakeLog(), SG_LVL_DEBUG);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "Compressed 0 files, deleted 1 files, and ignored 0 files"), 1);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "Compressed 0 files, deleted 0 files, and ignored 0 files"), 1);
    EXPECT_TRUE(Files(L"System").empty());
    EXPECT_EQ(Files(L"Dns"), std::vector<std::wstring>{L"Dns-1-0-0-0.tmp"});
}

TEST_F(JournalStoreTest, WithoutDataDirectoryEveryPassReportsThatItCannotList) {
    SetDataDirectory(nullptr);
    Init();
    RunJournalHousekeeping(5);
    std::vector<LogLine> log = nvx_test::TakeLog();
    EXPECT_EQ(Texts(log, SG_LVL_DEBUG),
              (std::vector<std::string>{"Initialize OS event journal management", "OS Event Journal housekeeping 5"}));
    EXPECT_EQ(Texts(log, SG_LVL_ERROR), (std::vector<std::string>{"Enumerating event journals failed",
                                                                  "Unable to enumerate event journal files"}));
}

TEST_F(JournalStoreTest, ThreadRunsAPassAtStartAndEndsOnStopWithoutAnother) {
    EXPECT_FALSE(StartEventJournalThread());
    EXPECT_TRUE(StopEventJournalThread());
    MakeStore();
    Put(L"Network", L"Network-1-2-3-4.bin");
    ASSERT_TRUE(InitEventJournals());
    initialised_ = true;
    ASSERT_TRUE(StartEventJournalThread());
    const std::string done = "Compressed 1 files, deleted 0 files, and ignored 0 files";
    std::vector<LogLine> log;
    for (int i = 0; i < 500 && nvx_test::CountLines(log, SG_FAC_EVTJRN, SG_LVL_DEBUG, done) == 0; ++i) {
        Sleep(20);
        for (LogLine& line : nvx_test::TakeLog()) log.push_back(line);
    }
    EXPECT_TRUE(StopEventJournalThread());
    WaitEventJournalThreadEnd();
    EXPECT_TRUE(ShutdownEventJournals());
    initialised_ = false;
    for (LogLine& line : nvx_test::TakeLog()) log.push_back(line);

    // The start-up and shutdown lines around it are the journal scenario's (a failed thread start).
    std::vector<std::string> debug = Texts(log, SG_LVL_DEBUG);
    EXPECT_EQ(std::count_if(debug.begin(), debug.end(),
                            [](const std::string& t) { return t.rfind("OS Event Journal housekeeping", 0) == 0; }),
              1);
    ASSERT_GE(debug.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(debug.end() - 3, debug.end()),
              (std::vector<std::string>{done, "Stopping OS Event Journal Monitoring thread...",
                                        "Shutdown OS event journal management"}));
    EXPECT_EQ(Files(L"Network"), std::vector<std::wstring>{L"Network-1-2-3-4.xz"});
    EXPECT_FALSE(StartEventJournalThread());
}

}  // namespace
