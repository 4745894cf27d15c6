// File names from a listing of the journal store: the name grammar and the type table. The
// input is the name in UTF-16 (little-endian), held in a buffer of exactly its length and
// without a NUL, as the directory listing hands it out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "fuzz/platform/fuzz_support.h"
#include "journals/journal_file.h"
#include "runtime/sg_containers.h"
#include "runtime/unistr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzInit(kNvxFuzzMemory);
    if (size > 4096) return -1;
    const NvxFuzzBaseline baseline = NvxFuzzTakeBaseline();

    std::vector<uint8_t> bytes(data, data + size);
    const auto* name = reinterpret_cast<const wchar_t*>(bytes.data());
    const auto nameBytes = static_cast<uint32_t>(size);
    UNICODE_STRING* path = SgConcatWide(L"\\Device\\HarddiskVolume1\\ProgramData\\Journal\\", L"");
    NvxFuzzRequire(path != nullptr, "no path");
    JournalFile* file = ParseJournalName(path, size == 0 ? nullptr : name, nameBytes);
    if (file == nullptr) {
        SgFreeUnistr(path);
    } else {
        NvxFuzzRequire(file->TypeIndex < kJournalTypeCount && file->Path == path, "a record of no type");
        const wchar_t* type = kJournalTypeNames[file->TypeIndex];
        const size_t n = wcslen(type);
        NvxFuzzRequire(nameBytes / 2 > n && memcmp(name, type, n * 2) == 0 && name[n] == L'-',
                       "a record whose name does not start with its type and a dash");
        if (!file->LongForm) {
            NvxFuzzRequire(file->Hex2 == file->Hex1 && file->Dec2 == file->Dec1, "a short form with two keys");
        }
        NvxFuzzRequire(!(file->IsBin && (file->IsXz || file->IsTmp)) && !(file->IsXz && file->IsTmp),
                       "two extensions at once");
        SgDisposeObject(&file->header, kSgFreeAlways);
    }
    NvxFuzzCheckBaseline(baseline, "one journal name");
    return 0;
}
