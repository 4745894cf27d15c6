// OS path management against the real object manager of the test machine: link
// resolution and its limits, placeholders, the known directories, drive-letter
// conversion, and the strict UTF-8 rules behind names that arrive as UTF-8.
#include "runtime/os_paths.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/unistr.h"
#include "runtime/utf8.h"

extern "C" {
NTSTATUS NTAPI NtCreateDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE);
}

namespace {

UNICODE_STRING View(const std::wstring& s) {
    UNICODE_STRING u;
    u.Buffer = const_cast<wchar_t*>(s.c_str());
    u.Length = static_cast<USHORT>(s.size() * sizeof(wchar_t));
    u.MaximumLength = u.Length;
    return u;
}

std::wstring Text(const UNICODE_STRING* s) { return s ? std::wstring(s->Buffer, s->Length / 2) : L"<none>"; }

// Object-manager fixtures: permanent objects in this machine's wineserver.
void MakeDirectory(const std::wstring& name) {
    UNICODE_STRING u = View(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | OBJ_OPENIF | 0x10, nullptr, nullptr);
    HANDLE h = nullptr;
    ASSERT_GE(NtCreateDirectoryObject(&h, 0xF000F, &oa), 0) << std::string(name.begin(), name.end());
    CloseHandle(h);
}

void MakeLink(const std::wstring& name, const std::wstring& target) {
    UNICODE_STRING u = View(name), t = View(target);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE h = nullptr;
    if (SgNtOpenSymbolicLinkObject(&h, 0xF0001, &oa) >= 0) {
        NtMakeTemporaryObject(h);
        CloseHandle(h);
    }
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | 0x10, nullptr, nullptr);
    ASSERT_GE(NtCreateSymbolicLinkObject(&h, 0xF0001, &oa, &t), 0) << std::string(name.begin(), name.end());
    CloseHandle(h);
}

// The machine shape the service expects: C: on a volume device, \SystemRoot below it.
void SetUpSystemVolume(const std::wstring& systemRootTarget = L"\\??\\HarddiskVolume1\\windows") {
    MakeDirectory(L"\\??\\HarddiskVolume1");
    MakeDirectory(L"\\??\\HarddiskVolume1\\windows");  // answers "type mismatch" like a path below a volume
    MakeLink(L"\\??\\C:", L"\\??\\HarddiskVolume1");
    MakeLink(L"\\SystemRoot", systemRootTarget);
}

class OsPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitOsSymbols());
        ASSERT_TRUE(SgInitMemory());
        SgIs64BitKernel = true;
        ns_ = L"\\NvxPathTest" + std::to_wstring(GetCurrentProcessId());
        MakeDirectory(ns_);
    }
    void TearDown() override {
        ShutdownOsPaths();
        EXPECT_TRUE(SgShutdownMemory()) << "pool reported unreleased blocks";
        SgShutdownOsSymbols();
    }
    std::wstring Resolve(const std::wstring& path) {
        UNICODE_STRING in = View(path);
        UNICODE_STRING* out = ResolveDevicePath(&in);
        std::wstring text = Text(out);
        if (out) SgFreeUnistr(out);
        return text;
    }
    std::wstring ns_;
};

TEST_F(OsPathsTest, LinkChainsAreFollowedForAtMostFiveSubstitutingPasses) {
    // L0 -> L1 -> ... -> L6 -> a real directory; each pass replaces one link.
    for (int i = 0; i < 6; ++i) MakeLink(ns_ + L"\\L" + std::to_wstring(i), ns_ + L"\\L" + std::to_wstring(i + 1));
    MakeDirectory(ns_ + L"\\End");
    MakeLink(ns_ + L"\\L6", ns_ + L"\\End");
    EXPECT_EQ(Resolve(ns_ + L"\\L6\\file"), ns_ + L"\\End\\file");  // one substituting pass
    EXPECT_EQ(Resolve(ns_ + L"\\L4\\file"), ns_ + L"\\End\\file");  // three
    EXPECT_EQ(Resolve(ns_ + L"\\L2\\file"), ns_ + L"\\End\\file");  // five: the limit
    EXPECT_EQ(Resolve(ns_ + L"\\L1\\file"), L"<none>") << "six substituting passes fail";
    EXPECT_EQ(Resolve(ns_ + L"\\L6"), ns_ + L"\\End") << "a link as the whole path is followed too";
}

TEST_F(OsPathsTest, ResolutionFailsOnMissingComponentsAndOversizedResults) {
    EXPECT_EQ(Resolve(ns_ + L"\\NoSuchLink\\file"), L"<none>") << "only a type mismatch is not an error mid-path";
    EXPECT_EQ(Resolve(ns_ + L"\\NoSuchLink"), ns_ + L"\\NoSuchLink") << "at the end a missing object is fine";

    std::wstring longName(200, L'x');
    MakeDirectory(ns_ + L"\\" + longName);
    MakeLink(ns_ + L"\\Long", ns_ + L"\\" + longName);
    EXPECT_EQ(Resolve(ns_ + L"\\Long\\" + std::wstring(30, L'y')).size(), ns_.size() + 1 + 200 + 1 + 30);
    EXPECT_EQ(Resolve(ns_ + L"\\Long\\" + std::wstring(60, L'y')), L"<none>") << "259 characters at most";
    EXPECT_EQ(Resolve(ns_ + L"\\" + std::wstring(259, L'z')), L"<none>");
}

TEST_F(OsPathsTest, DriveLettersOfEitherCaseResolveToTheVolumeDevice) {
    SetUpSystemVolume();
    EXPECT_EQ(Resolve(L"C:\\Program Files"), L"\\??\\HarddiskVolume1\\Program Files");
    EXPECT_EQ(Resolve(L"c:\\Program Files"), L"\\??\\HarddiskVolume1\\Program Files");
    EXPECT_EQ(Resolve(L"\\SystemRoot"), L"\\??\\HarddiskVolume1\\windows");
}

// Every known directory of the simulated machine is in the log the debug-log-file scenario checks.
TEST_F(OsPathsTest, KnownDirectoriesComeFromTheLinksAndTheRegistry) {
    SetUpSystemVolume(L"\\??\\HarddiskVolume1\\windows\\");  // a trailing backslash is dropped
    ASSERT_TRUE(InitOsPaths());
    const std::wstring volume = L"\\??\\HarddiskVolume1";
    EXPECT_EQ(Text(SystemRoot), volume + L"\\windows");
    EXPECT_EQ(Text(SystemDrive), volume);
    EXPECT_EQ(Text(ProgramFilesX86Dir), volume + L"\\Program Files (x86)");
    ASSERT_TRUE(ShutdownOsPaths());
    EXPECT_EQ(SystemRoot, nullptr);
    EXPECT_EQ(NvxLogsDir, nullptr);

    SgIs64BitKernel = false;  // a 32-bit kernel has a single program-files directory
    ASSERT_TRUE(InitOsPaths());
    EXPECT_EQ(Text(ProgramFilesX86Dir), Text(ProgramFilesDir));
}

TEST_F(OsPathsTest, PlaceholdersExpandOnlyWhenTheirDirectoryIsKnown) {
    SetUpSystemVolume();
    ASSERT_TRUE(InitOsPaths());
    auto expand = [](const std::wstring& s) {
        UNICODE_STRING in = View(s);
        UNICODE_STRING* out = ExpandPathPlaceholders(&in);
        std::wstring text = Text(out);
        if (out) SgFreeUnistr(out);
        return text;
    };
    EXPECT_EQ(expand(L"%SystemRoot%\\system32"), L"\\??\\HarddiskVolume1\\windows\\system32");
    EXPECT_EQ(expand(L"%ProgramData%\\x;%ProgramFiles%"),
              L"\\??\\HarddiskVolume1\\ProgramData\\x;\\??\\HarddiskVolume1\\Program Files");
    EXPECT_EQ(expand(L"%systemroot%\\a%b%"), L"%systemroot%\\a%b%") << "placeholders are case-sensitive";
    EXPECT_EQ(expand(L"100%"), L"100%");
    EXPECT_EQ(expand(std::wstring(259, L'a')), std::wstring(259, L'a'));
    EXPECT_EQ(expand(std::wstring(260, L'a')), L"<none>");
    EXPECT_EQ(expand(std::wstring(240, L'a') + L"%SystemRoot%"), L"<none>") << "the directory must fit";

    UNICODE_STRING* saved = SystemDrive;
    SystemDrive = nullptr;  // unknown directory: the placeholder stays as it is
    EXPECT_EQ(expand(L"%SystemDrive%\\ProgramData"), L"%SystemDrive%\\ProgramData");
    SystemDrive = saved;
}

TEST_F(OsPathsTest, UserPathsOnlyForPathsBelowTheSystemVolume) {
    SetUpSystemVolume();
    ASSERT_TRUE(InitOsPaths());
    auto user = [](const std::wstring& s) {
        UNICODE_STRING in = View(s);
        UNICODE_STRING* out = SgGetUserPathFromKernelPathW(&in);
        std::wstring text = Text(out);
        if (out) SgFreeUnistr(out);
        return text;
    };
    EXPECT_EQ(user(L"\\??\\HarddiskVolume1\\windows\\system32\\DRIVERS\\KestroNVX.sys"),
              L"C:\\windows\\system32\\DRIVERS\\KestroNVX.sys");
    EXPECT_EQ(user(L"\\??\\HarddiskVolume1"), L"<none>") << "the volume alone has no user form";
    EXPECT_EQ(user(L"\\??\\HarddiskVolume2\\windows"), L"<none>");
    EXPECT_EQ(user(L"\\??\\HarddiskVolume10\\windows"), L"<none>") << "Volume1 must not match Volume10";
    EXPECT_EQ(user(L"C:"), L"<none>");
}

TEST_F(OsPathsTest, SystemDriveMatchEndsAtAComponentBoundary) {
    // \SystemRoot on volume 10 while C: is volume 1: C: must not be taken for it.
    MakeDirectory(L"\\??\\HarddiskVolume10");
    SetUpSystemVolume(L"\\??\\HarddiskVolume10\\windows");
    ASSERT_TRUE(InitOsPaths());
    EXPECT_EQ(SystemDrive, nullptr);
    EXPECT_EQ(SystemDriveLetter, nullptr);
    SetUpSystemVolume();
}

TEST(Utf8, ResultCodesFollowTheStrictRules) {
    auto convert = [](const char* text, size_t capacityUnits, std::u16string* out) {
        uint16_t buffer[64] = {0xFFFF};
        uint32_t length = 99;
        uint32_t rc = ConvertUtf8ToUtf16(text, strlen(text) + 1, buffer, capacityUnits, &length);
        out->assign(reinterpret_cast<const char16_t*>(buffer), length / 2);
        if (rc != kUtf8Success) {
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(buffer[0], 0u) << "a failed conversion leaves an empty string";
        }
        return rc;
    };
    std::u16string out;
    EXPECT_EQ(convert("\xF0\x9F\x98\x80", 64, &out), kUtf8Success);
    EXPECT_EQ(out, std::u16string(u"\xD83D\xDE00") + u'\0');
    EXPECT_EQ(convert("\xED\xA0\x80", 64, &out), kUtf8Surrogate);
    EXPECT_EQ(convert("a\xEF\xBF\xBE", 64, &out), kUtf8Noncharacter);
    EXPECT_EQ(convert("\xEF\xBF\xBF", 64, &out), kUtf8Noncharacter);
    EXPECT_EQ(convert("\xC0\x80", 64, &out), kUtf8InvalidSequence) << "overlong two-byte form";
    EXPECT_EQ(convert("\xC1\xBF", 64, &out), kUtf8InvalidSequence);
    EXPECT_EQ(convert("\xE0\x9F\xBF", 64, &out), kUtf8InvalidSequence) << "overlong three-byte form";
    EXPECT_EQ(convert("\xF4\x90\x80\x80", 64, &out), kUtf8InvalidSequence) << "beyond U+10FFFF";
    EXPECT_EQ(convert("\xF0\x8F\xBF\xBF", 64, &out), kUtf8InvalidSequence) << "overlong four-byte form";
    EXPECT_EQ(convert("\x80", 64, &out), kUtf8InvalidSequence);
    EXPECT_EQ(convert("\xE2\x82", 64, &out), kUtf8InvalidSequence) << "truncated before the NUL";
    EXPECT_EQ(convert("\xC3\xA9", 64, &out), kUtf8Success);
    EXPECT_EQ(out, std::u16string(u"\u00E9") + u'\0');
    // "ab" needs three units with its NUL: two are one too few.
    EXPECT_EQ(convert("ab", 2, &out), kUtf8DestinationTooSmall);
    EXPECT_EQ(convert("ab", 3, &out), kUtf8Success);

    uint32_t bytes = 0;
    EXPECT_EQ(CountUtf8AsUtf16("\xF0\x9F\x98\x80x", 6, &bytes), kUtf8Success);
    EXPECT_EQ(bytes, 8u) << "surrogate pair, x and the NUL";
}

TEST(Utf8, CountedStringsFromUtf8) {
    ASSERT_TRUE(SgInitMemory());
    UNICODE_STRING* s = SgCreateUnistrFromChar(
        "\xF0\x9F\x98\x80"
        "A");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Length, 6u) << "the NUL is not counted";
    EXPECT_EQ(s->Buffer[0], 0xD83D);
    EXPECT_EQ(s->Buffer[1], 0xDE00);
    EXPECT_EQ(s->Buffer[3], 0) << "terminated";
    SgFreeUnistr(s);
    EXPECT_EQ(SgCreateUnistrFromChar("\xED\xA0\x80"), nullptr);
    EXPECT_EQ(SgCreateUnistrFromChar(std::string(32767, 'a').c_str()), nullptr) << "count includes the NUL";
    s = SgCreateUnistrFromChar(std::string(32766, 'a').c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Length, 65532u);
    SgFreeUnistr(s);
    EXPECT_TRUE(SgShutdownMemory());
}

TEST(CountedStrings, LimitsOfTheOperations) {
    ASSERT_TRUE(SgInitMemory());
    EXPECT_EQ(SgCreateUnistr(65536), nullptr);
    UNICODE_STRING* big = SgCreateUnistr(65535);
    ASSERT_NE(big, nullptr);
    SgFreeUnistr(big);
    std::wstring a(32765, L'a'), b(1, L'b');
    UNICODE_STRING va = View(a), vb = View(b);
    UNICODE_STRING* joined = SgJoinUnistr(&va, &vb);  // 65,532 bytes of text: over 65,531
    EXPECT_EQ(joined, nullptr);
    std::wstring a2(32764, L'a');
    UNICODE_STRING va2 = View(a2);
    joined = SgJoinUnistr(&va2, &vb);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(joined->Length, 65532u);
    EXPECT_EQ(joined->MaximumLength, 65534u);
    EXPECT_EQ(joined->Buffer[32764], L'\\');
    SgFreeUnistr(joined);
    UNICODE_STRING* prefixed = SgPrefixDosDevices(&vb);
    ASSERT_NE(prefixed, nullptr);
    EXPECT_EQ(Text(prefixed), L"\\DosDevices\\b");
    EXPECT_EQ(prefixed->MaximumLength, vb.Length + 26);
    SgFreeUnistr(prefixed);
    EXPECT_TRUE(SgShutdownMemory());
}

}  // namespace
