// Paths from outside (registry values, names the driver sends): device-path resolution through
// the object namespace's symbolic links, placeholder expansion, the system volume's prefix
// match, the drive-letter form, and interning. The first input byte picks a prefix to compare
// with; the rest is the path in UTF-16 (little-endian).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/platform/fuzz_support.h"
#include "runtime/os_paths.h"
#include "runtime/path_names.h"
#include "runtime/unistr.h"

namespace {

constexpr uint16_t kMaxPathBytes = 259 * 2;

void CheckPathResult(const UNICODE_STRING* s, const char* what) {
    if (s == nullptr) return;
    NvxFuzzRequire(s->Length <= kMaxPathBytes && s->Length % 2 == 0 && s->Length < s->MaximumLength, what);
    NvxFuzzRequire(s->Buffer[s->Length / 2] == 0, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzInit(kNvxFuzzMemory | kNvxFuzzPaths);
    if (size == 0 || size > 4096) return -1;
    const NvxFuzzBaseline baseline = NvxFuzzTakeBaseline();
    const uint8_t mode = data[0];
    // The text in a buffer of exactly its length: a counted string has no NUL to stop a reader.
    const size_t bytes = (size - 1) & ~static_cast<size_t>(1);
    std::vector<uint8_t> buffer(data + 1, data + 1 + bytes);
    UNICODE_STRING path;
    path.Buffer = reinterpret_cast<wchar_t*>(buffer.data());
    path.Length = static_cast<USHORT>(bytes);
    path.MaximumLength = path.Length;

    UNICODE_STRING* resolved = ResolveDevicePath(&path);
    CheckPathResult(resolved, "a resolved path out of shape");
    UNICODE_STRING* expanded = ExpandPathPlaceholders(&path);
    CheckPathResult(expanded, "an expanded path out of shape");
    if (expanded != nullptr) {
        UNICODE_STRING* both = ResolveDevicePath(expanded);
        CheckPathResult(both, "an expanded, resolved path out of shape");
        if (both != nullptr) SgFreeUnistr(both);
    }

    // The drive-letter form exists exactly for paths below the system volume's device.
    UNICODE_STRING* user = SgGetUserPathFromKernelPathW(&path);
    if (user != nullptr) {
        NvxFuzzRequire(SgUnistrHasPathPrefix(&path, SystemDrive), "a drive-letter path for another volume");
        NvxFuzzRequire(user->Length == path.Length - SystemDrive->Length + SystemDriveLetter->Length,
                       "a drive-letter path of the wrong length");
        SgFreeUnistr(user);
    }

    const UNICODE_STRING* prefixes[] = {SystemDrive, SystemRoot, ProgramDataDir, resolved, expanded};
    const UNICODE_STRING* prefix = prefixes[mode % 5];
    if (prefix != nullptr && SgUnistrHasPathPrefix(&path, prefix)) {
        NvxFuzzRequire(path.Length >= prefix->Length && memcmp(path.Buffer, prefix->Buffer, prefix->Length) == 0,
                       "a prefix match on different text");
        NvxFuzzRequire(path.Length == prefix->Length || prefix->Buffer[prefix->Length / 2 - 1] == L'\\' ||
                           path.Buffer[prefix->Length / 2] == L'\\',
                       "a prefix match inside a path component");
    }

    // Interning: the same name gives the same object, in both forms.
    SgFullPath* wide = SgGetFullPathW(&path);
    SgFullPath* again = SgGetFullPathW(&path);
    NvxFuzzRequire(wide == again, "one wide name interned twice");
    ANSI_STRING narrow;
    narrow.Buffer = reinterpret_cast<char*>(buffer.data());
    narrow.Length = static_cast<USHORT>(bytes);
    narrow.MaximumLength = narrow.Length;
    SgFullPath* utf8 = SgGetFullPathA(&narrow);
    if (wide != nullptr) SgReleaseFullPathW(wide);
    if (again != nullptr) SgReleaseFullPathW(again);
    if (utf8 != nullptr) SgReleaseFullPathA(utf8);

    if (resolved != nullptr) SgFreeUnistr(resolved);
    if (expanded != nullptr) SgFreeUnistr(expanded);
    NvxFuzzCheckBaseline(baseline, "one path");
    return 0;
}
