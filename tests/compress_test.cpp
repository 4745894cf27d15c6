// Journal compression and the native file layer under it: the produced .xz decodes to the
// journal's exact bytes with a CRC64 check and replaces the journal; names come from the
// whole path; a stop request ends the work after the current chunk; every failure leaves the
// journal as it was and no temporary file behind, with its one log line. The static liblzma
// links into this Windows program and matches its header.
//
// With --compress-samples=<dir> the program instead writes sample journals of several sizes
// into <dir> (and a reference copy of each into <dir>\ref), compresses them with
// CompressJournal and exits 0 when every one succeeded; tests/compress_xz_interop.sh then
// checks the results against the host's xz.
#include <windows.h>

#include <lzma.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "journals/compress.h"
#include "journals/event_journals.h"
#include "journals/native_file.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names_testing.h"
#include "runtime/threads.h"
#include "runtime/unistr.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::string;

// ---- the journal thread as CompressJournal sees it -------------------------------------------
SgThread* g_thread = nullptr;
int g_checks = 0;       // how often the compression asked for the thread object
int g_stopAtCheck = 0;  // that check clears the run flag first (0: never)

DWORD WINAPI NeverStarted(LPVOID) { return 0; }

}  // namespace

SgThread* EventJournalThread() {
    if (++g_checks == g_stopAtCheck) SgStopThread(g_thread);
    return g_thread;
}

namespace {

// ---- sample data -------------------------------------------------------------------------
// Journal-like bytes: binary record fields (sequence, time, ids, a hash) followed by a UTF-16
// path, as the driver records file events; with `random`, incompressible bytes.
Bytes Sample(size_t size, uint64_t seed, bool random = false) {
    static const wchar_t* const kPaths[] = {
        L"\\Device\\HarddiskVolume1\\Windows\\System32\\kernel32.dll",
        L"\\Device\\HarddiskVolume1\\Users\\alice\\AppData\\Local\\Temp\\report.docx",
        L"\\Device\\HarddiskVolume1\\Program Files\\Kestro\\Vantor\\NVXService.exe"};
    uint64_t state = seed | 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        return state ^= state << 17;
    };
    Bytes out;
    for (uint64_t sequence = 0; out.size() < size; ++sequence) {
        const uint64_t r = next(), hash = next();
        if (random) {
            out.append(reinterpret_cast<const char*>(&hash), sizeof(hash));
            continue;
        }
        const uint64_t fields[4] = {sequence, 0x01DA9B3C00000000ull + sequence * 7919, r & 0xFFFF0FFC, hash};
        out.append(reinterpret_cast<const char*>(fields), sizeof(fields));
        const wchar_t* path = kPaths[r % 3];
        out.append(reinterpret_cast<const char*>(path), wcslen(path) * sizeof(wchar_t));
    }
    out.resize(size);
    return out;
}

// ---- files ---------------------------------------------------------------------------------
using nvx_test::ReadFileBytes;
using nvx_test::WriteFileBytes;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Decodes a whole .xz stream; false unless it is one complete, intact stream with a CRC64 check.
bool DecodeXz(const Bytes& xz, Bytes* out) {
    lzma_stream_flags flags;
    if (xz.size() < LZMA_STREAM_HEADER_SIZE ||
        lzma_stream_header_decode(&flags, reinterpret_cast<const uint8_t*>(xz.data())) != LZMA_OK ||
        flags.check != LZMA_CHECK_CRC64) {
        return false;
    }
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&strm, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) return false;
    strm.next_in = reinterpret_cast<const uint8_t*>(xz.data());
    strm.avail_in = xz.size();
    lzma_ret ret = LZMA_OK;
    uint8_t buf[65536];
    while (ret == LZMA_OK) {
        strm.next_out = buf;
        strm.avail_out = sizeof(buf);
        ret = lzma_code(&strm, LZMA_FINISH);
        out->append(reinterpret_cast<const char*>(buf), sizeof(buf) - strm.avail_out);
    }
    lzma_end(&strm);
    return ret == LZMA_STREAM_END;
}

// A journal record as the store's listing makes it: the full NT path and the listed size.
struct Journal {
    JournalFile record{};
    std::wstring dosPath;  // for checking with the Win32 API

    Journal(const std::wstring& dir, const std::wstring& name, uint32_t size) : dosPath(dir + L"\\" + name) {
        record.Path = SgCreateUnistrFromWide((L"\\??\\" + dosPath).c_str());
        record.Size = size;
        record.LongForm = true;
        record.IsBin = true;
    }
    ~Journal() { SgFreeUnistr(record.Path); }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // The journal's path with its last three characters replaced, as the compression names
    // its temporary file and destination.
    std::wstring With(const std::wstring& ending) const { return dosPath.substr(0, dosPath.size() - 3) + ending; }
    std::string NtPathUtf8() const {
        const std::wstring nt = L"\\??\\" + dosPath;
        return std::string(nt.begin(), nt.end());  // the tests' paths are ASCII
    }
};

// ---- runtime set-up ----------------------------------------------------------------------------
bool FakeInitOsPaths() { return true; }
bool FakeShutdownOsPaths() { return true; }

bool StartRuntime() {
    if (!SgInitOsSymbols() || !SgInitMemory()) return false;
    const SgOsPathCalls calls = {FakeInitOsPaths, FakeShutdownOsPaths};
    SgSetOsPathCallsForTesting(&calls);
    if (!SgInitPathManagement()) return false;
    g_thread = SgCreateThread(NeverStarted, nullptr, 0);
    if (g_thread == nullptr) return false;
    SgThreadSetRunning(g_thread);
    return true;
}

bool StopRuntime() {
    SgDestroyAndFreeThread(&g_thread);
    const bool paths = SgShutdownPathManagement();
    SgSetOsPathCallsForTesting(nullptr);
    return SgShutdownMemory() && paths;
}

using nvx_test::LogLine;
constexpr auto TakeLog = nvx_test::TakeLogWithoutPoolDebug;

std::string Hex(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", status);
    return text;
}

class CompressTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StartRuntime());
        g_checks = g_stopAtCheck = 0;
        ASSERT_FALSE(dir_.empty());
        TakeLog();
    }
    void TearDown() override { EXPECT_TRUE(StopRuntime()) << "pool blocks left behind"; }

    // The journal is gone, no temporary file is left, and the .xz holds exactly `data`.
    void ExpectCompressed(const Journal& j, const Bytes& data) {
        EXPECT_FALSE(Exists(j.dosPath)) << "the journal is removed";
        EXPECT_FALSE(Exists(j.With(L"tmp"))) << "no temporary file is left";
        Bytes decoded;
        EXPECT_TRUE(DecodeXz(ReadFileBytes(j.With(L"xz")), &decoded)) << "a complete .xz with a CRC64 check";
        EXPECT_TRUE(decoded == data) << "decodes to the journal's bytes (" << decoded.size() << " of " << data.size()
                                     << ")";
    }
    // The journal is untouched and neither a temporary file nor a destination exists.
    void ExpectUntouched(const Journal& j, const Bytes& data) {
        EXPECT_TRUE(ReadFileBytes(j.dosPath) == data) << "the journal is left as it was";
        EXPECT_FALSE(Exists(j.With(L"tmp"))) << "the temporary file is removed";
    }

    nvx_test::TempDirectory temp_{L"nvxjrn-"};
    const std::wstring& dir_ = temp_.path();
};

// ---- compression ------------------------------------------------------------------------------

TEST_F(CompressTest, JournalBecomesAnXzOfItsExactBytesWithItsStatisticsLine) {
    struct Case {
        const wchar_t* name;
        Bytes data;
        bool incompressible;
    };
    const Case cases[] = {
        {L"System-1-1-0-0.bin", Bytes(), false},
        {L"System-2-2-0-1.bin", Bytes(1, 'J'), false},
        {L"Process-4-4-0-65537.bin", Sample(0x10001, 4), false},
        {L"Network-6-6-0-200000.bin", Sample(200000, 6, true), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        Journal j(dir_, c.name, uint32_t(c.data.size()));
        ASSERT_TRUE(WriteFileBytes(j.dosPath, c.data));
        ASSERT_EQ(CompressJournal(&j.record), 0u);
        ExpectCompressed(j, c.data);

        const uint64_t read = c.data.size(), written = ReadFileBytes(j.With(L"xz")).size();
        const uint64_t percentage = read > 0 && written < read ? (read - written) * 100 / read : 0;
        if (c.incompressible || read <= 1) {
            EXPECT_EQ(percentage, 0u);
        }
        const std::string expected =
            "Compressed " + std::to_string(read) + " bytes to " + std::to_string(written) + " bytes in ";
        const std::string tail = " usecs percentage: " + std::to_string(percentage) + " " + j.NtPathUtf8();
        const auto log = TakeLog();
        ASSERT_EQ(log.size(), 1u) << "one statistics line and nothing else";
        EXPECT_EQ(log[0].facility, SG_FAC_EVTJRN);
        EXPECT_EQ(log[0].level, SG_LVL_DEBUG);
        EXPECT_EQ(log[0].text.rfind(expected, 0), 0u) << log[0].text;
        ASSERT_GT(log[0].text.size(), tail.size());
        EXPECT_EQ(log[0].text.substr(log[0].text.size() - tail.size()), tail) << log[0].text;
    }
}

TEST_F(CompressTest, NamesComeFromTheWholePathAndAnExistingDestinationIsReplaced) {
    const Bytes data = Sample(150000, 7);
    Journal j(dir_, L"Dns-1-2-3-4.bins", uint32_t(data.size()));
    ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
    ASSERT_TRUE(WriteFileBytes(dir_ + L"\\Dns-1-2-3-4.bxz", "an older, unrelated file"));
    ASSERT_EQ(CompressJournal(&j.record), 0u);
    EXPECT_FALSE(Exists(dir_ + L"\\Dns-1-2-3-4.btmp"));
    ExpectCompressed(j, data);  // into Dns-1-2-3-4.bxz
}

TEST_F(CompressTest, RecordsThatAreNotCompleteJournalsAreRefusedSilently) {
    const Bytes data = Sample(1000, 8);
    Journal j(dir_, L"Ip-1-2-3-4.bin", uint32_t(data.size()));
    ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
    Journal shortPath(dir_, L"A.bin", 0);
    SgFreeUnistr(shortPath.record.Path);
    shortPath.record.Path = SgCreateUnistrFromWide(L"\\??\\a.bin");  // 9 characters
    EXPECT_EQ(CompressJournal(nullptr), 0xC000000Du);
    EXPECT_EQ(CompressJournal(&shortPath.record), 0xC000000Du);
    j.record.LongForm = false;
    EXPECT_EQ(CompressJournal(&j.record), 0xC000000Du);
    j.record.LongForm = true;
    j.record.IsBin = false;
    EXPECT_EQ(CompressJournal(&j.record), 0xC000000Du);
    EXPECT_TRUE(TakeLog().empty());
    ExpectUntouched(j, data);
    EXPECT_FALSE(Exists(j.With(L"xz")));
}

TEST_F(CompressTest, StopRequestEndsTheWorkAfterTheCurrentChunk) {
    const Bytes data = Sample(5 * 0x10000 + 100, 9);
    Journal j(dir_, L"Thread-1-2-3-4.bin", uint32_t(data.size()));
    ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
    g_stopAtCheck = 2;  // the stop arrives while the second chunk is being coded
    EXPECT_EQ(CompressJournal(&j.record), 0xFFFFFFFFu);
    EXPECT_EQ(g_checks, 2) << "no chunk is read after the stop was seen";
    ExpectUntouched(j, data);
    EXPECT_FALSE(Exists(j.With(L"xz")));
    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, SG_LVL_DEBUG);
    EXPECT_EQ(log[0].text,
              "LZMA2 compression of " + j.NtPathUtf8() + " stopped before complete because service stopping");
}

TEST_F(CompressTest, FailuresLeaveTheJournalAndNoTemporaryFile) {
    const Bytes data = Sample(3 * 0x10000 + 5, 10);
    auto expectOneLine = [](uint32_t level, const std::string& text) {
        const auto log = TakeLog();
        ASSERT_EQ(log.size(), 1u) << (log.empty() ? std::string() : log[0].text);
        EXPECT_EQ(log[0].facility, SG_FAC_EVTJRN);
        EXPECT_EQ(log[0].level, level);
        EXPECT_EQ(log[0].text, text);
    };
    {
        SCOPED_TRACE("missing journal");
        Journal j(dir_, L"Image-1-2-3-4.bin", 10);
        EXPECT_EQ(CompressJournal(&j.record), 0xC0000034u);
        expectOneLine(SG_LVL_DEBUG, "Unable to open event journal " + j.NtPathUtf8() + " errcode 0xC0000034");
        EXPECT_FALSE(Exists(j.With(L"tmp")));
    }
    {
        SCOPED_TRACE("temporary file cannot be created");
        Journal j(dir_, L"Image-2-2-3-4.bin", uint32_t(data.size()));
        ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
        ASSERT_TRUE(CreateDirectoryW(j.With(L"tmp").c_str(), nullptr));
        EXPECT_EQ(CompressJournal(&j.record), 0xFFFFFFF5u);
        expectOneLine(SG_LVL_ERROR,
                      "Unable to create/open for overwrite temp file " + j.NtPathUtf8() + " errcode 0xFFFFFFF5");
        EXPECT_TRUE(ReadFileBytes(j.dosPath) == data);
        EXPECT_TRUE(GetFileAttributesW(j.With(L"tmp").c_str()) & FILE_ATTRIBUTE_DIRECTORY) << "not ours to remove";
    }
    // Shrank since the listing; grew; grew past a listed size on a chunk boundary.
    for (const uint32_t listed : {uint32_t(data.size() + 1), uint32_t(data.size() - 1), 0x20000u}) {
        SCOPED_TRACE("journal of " + std::to_string(data.size()) + " bytes listed as " + std::to_string(listed));
        Journal j(dir_, L"Url-3-2-3-4.bin", listed);
        ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
        EXPECT_EQ(CompressJournal(&j.record), 0xFFFFFFFFu);
        expectOneLine(SG_LVL_ERROR, "Only read " + std::to_string(data.size()) + " of " + std::to_string(listed) +
                                        " bytes from: " + j.NtPathUtf8());
        ExpectUntouched(j, data);
        EXPECT_FALSE(Exists(j.With(L"xz")));
    }
    {
        SCOPED_TRACE("destination cannot take the name");
        Journal j(dir_, L"Http-4-2-3-4.bin", uint32_t(data.size()));
        ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
        ASSERT_TRUE(CreateDirectoryW(j.With(L"xz").c_str(), nullptr));
        const uint32_t status = CompressJournal(&j.record);
        EXPECT_TRUE(status != 0 && status != 0xFFFFFFFFu) << Hex(status) << ": the rename's own status";
        expectOneLine(SG_LVL_ERROR, "Unable to rename the temp compressed event journal " + j.NtPathUtf8() +
                                        " errcode " + Hex(status));
        ExpectUntouched(j, data);
    }
    {
        // The disk refuses to flush the compressed file: its bytes may never reach the disk, so
        // nothing takes the journal's place and the journal stays for the next pass.
        SCOPED_TRACE("compressed file cannot be flushed");
        Journal j(dir_, L"Dns-5-2-3-4.bin", uint32_t(data.size()));
        ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
        const PFN_NtFlushBuffersFile flush = SgNtFlushBuffersFile;
        SgNtFlushBuffersFile = [](HANDLE, PIO_STATUS_BLOCK) -> NTSTATUS {
            return static_cast<NTSTATUS>(0xC000007F);  // STATUS_DISK_FULL
        };
        const uint32_t status = CompressJournal(&j.record);
        SgNtFlushBuffersFile = flush;
        EXPECT_EQ(status, 0xC000007Fu);
        expectOneLine(SG_LVL_ERROR,
                      "Unable to flush the temp compressed event journal " + j.NtPathUtf8() + " errcode 0xC000007F");
        ExpectUntouched(j, data);
        EXPECT_FALSE(Exists(j.With(L"xz")));
    }
}

TEST_F(CompressTest, JournalThatCannotBeDeletedStaysBesideItsCompleteXz) {
    const Bytes data = Sample(100000, 11);
    Journal j(dir_, L"FileHashes-1-2-3-4.bin", uint32_t(data.size()));
    ASSERT_TRUE(WriteFileBytes(j.dosPath, data));
    // Another reader that does not share delete access.
    HANDLE holder = CreateFileW(j.dosPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CompressJournal(&j.record), 0u);
    CloseHandle(holder);
    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].level, SG_LVL_ERROR);
    EXPECT_EQ(log[0].text, "Unable to delete (or set for delete on close) event journal " + j.NtPathUtf8() +
                               " after compressed file created, errcode 0xC0000043");
    EXPECT_EQ(log[1].text.rfind("Compressed 100000 bytes to ", 0), 0u);
    EXPECT_TRUE(ReadFileBytes(j.dosPath) == data);
    Bytes decoded;
    EXPECT_TRUE(DecodeXz(ReadFileBytes(j.With(L"xz")), &decoded) && decoded == data);
}

TEST_F(CompressTest, EncoderSetUpFailureIsNamed) {
    EXPECT_FALSE(InitJournalEncoder(nullptr));
    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, SG_LVL_ERROR);
    EXPECT_EQ(log[0].text, "LZMA2 compression init failure with unknown error 11");  // LZMA_PROG_ERROR
}

// The static liblzma is the release its header describes: another would compile and mostly work.
TEST(Liblzma, LinkedLibraryMatchesItsHeader) { EXPECT_EQ(lzma_version_number(), uint32_t{LZMA_VERSION}); }

// ---- native file layer --------------------------------------------------------------------

using nvx_test::NtPath;

TEST_F(CompressTest, NativeFileLayerKeepsItsOffsetItsPathReferenceAndReportsStatuses) {
    NtPath path(dir_ + L"\\data.bin"), other(dir_ + L"\\other.bin"), directory(dir_);
    const Bytes data = Sample(0x10000 + 300, 12, true);
    SgNativeFile out, in, again;
    ASSERT_EQ(SgNativeCreateOverwrite(&path.us, &out), 0u);
    ASSERT_EQ(SgNativeWrite(&out, data.data(), 0x10000), 0x10000);
    ASSERT_EQ(SgNativeWrite(&out, data.data() + 0x10000, 300), 300);
    EXPECT_EQ(SgNativeFlush(&out), 0u);
    SgNativeClose(&out);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u) << "the path reference goes with the close";

    ASSERT_EQ(SgNativeOpenRead(&path.us, &in), 0u);
    ASSERT_EQ(SgNativeOpenRead(&path.us, &again), 0u);
    EXPECT_EQ(in.path, again.path) << "both opens share one interned path";
    EXPECT_EQ(in.path->referenceCount, 2u);
    Bytes back(2 * 0x10000, '\0');
    EXPECT_EQ(SgNativeRead(&in, back.data(), uint32_t(back.size())), 0x10000) << "at most 64 KiB per read";
    EXPECT_EQ(SgNativeRead(&in, back.data() + 0x10000, 0x10000), 300);
    EXPECT_EQ(SgNativeRead(&in, back.data(), 0x10000), 0) << "the end of the file reads as 0 bytes";
    EXPECT_TRUE(back.substr(0, data.size()) == data);
    SgNativeClose(&in);
    SgNativeClose(&again);

    EXPECT_EQ(SgNativeOpenRead(&other.us, &in), 0xC0000034u);
    EXPECT_EQ(SgNativeCreateOverwrite(&directory.us, &in), 0xFFFFFFF5u) << "whatever the NT status was";
    ASSERT_EQ(SgNativeOpenRead(&directory.us, &in), 0u);
    EXPECT_TRUE(in.isDirectory) << "read-open opens a directory as one";
    SgNativeClose(&in);

    ASSERT_TRUE(WriteFileBytes(other.text.substr(4), "older"));
    EXPECT_EQ(SgNativeRename(&path.us, &other.us), 0u);
    EXPECT_TRUE(ReadFileBytes(other.text.substr(4)) == data) << "the rename replaces an existing target";
    EXPECT_EQ(SgNativeRename(&path.us, &other.us), 0xC0000034u);
    EXPECT_EQ(SgNativeDelete(&other.us), 0u);
    EXPECT_FALSE(Exists(other.text.substr(4)));
    EXPECT_EQ(SgNativeDelete(&other.us), 0xC0000034u);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
    EXPECT_TRUE(TakeLog().empty()) << "the file layer reports, its callers log";
}

// ---- samples for the host's xz (--compress-samples) -----------------------------------------------

int CompressSamples(const char* dirArgument) {
    const std::string narrow(dirArgument);
    const std::wstring dir(narrow.begin(), narrow.end());
    struct Item {
        const wchar_t* name;
        Bytes data;
    };
    const Item samples[] = {
        {L"System-1-1-0-0.bin", Bytes()},
        {L"System-2-2-0-1.bin", Bytes(1, 'J')},
        {L"Process-3-3-0-65536.bin", Sample(0x10000, 21)},
        {L"Process-4-4-0-65537.bin", Sample(0x10001, 22)},
        {L"Registry-5-5-0-3145851.bin", Sample(3 * 1048576 + 123, 23)},
        {L"Network-6-6-0-1048576.bin", Sample(1048576, 24, true)},
    };
    if (!StartRuntime()) {
        std::fprintf(stderr, "runtime start-up failed\n");
        return 1;
    }
    CreateDirectoryW((dir + L"\\ref").c_str(), nullptr);
    int failures = 0;
    for (const Item& s : samples) {
        Journal j(dir, s.name, uint32_t(s.data.size()));
        if (!WriteFileBytes(dir + L"\\ref\\" + s.name, s.data) || !WriteFileBytes(j.dosPath, s.data)) {
            std::fprintf(stderr, "cannot write %ls\n", s.name);
            ++failures;
            continue;
        }
        const uint32_t status = CompressJournal(&j.record);
        std::printf("%ls: %zu bytes, CompressJournal 0x%08X\n", s.name, s.data.size(), status);
        failures += status != 0;
    }
    for (const LogLine& line : TakeLog()) std::printf("log: %s\n", line.text.c_str());
    if (!StopRuntime()) {
        std::fprintf(stderr, "the runtime did not shut down clean\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    static const char kFlag[] = "--compress-samples=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kFlag, sizeof(kFlag) - 1) == 0) return CompressSamples(argv[i] + sizeof(kFlag) - 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
