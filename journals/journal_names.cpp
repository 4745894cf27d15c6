// The journal-name grammar and the type table of the driver's journal store. Pure logic over
// the names a directory listing hands out: no OS calls, so it builds natively for fuzzing.
#include <cstddef>
#include <cstring>
#include <cwchar>

#include "journals/journal_file.h"
#include "runtime/compiler.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/unistr.h"

const wchar_t* const kJournalTypeNames[kJournalTypeCount] = {
    L"System",
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
    L"Url",
};

namespace {

constexpr uint32_t kMaxNumericPart = 21;  // characters, sign included

bool DestroyJournalFile(SgObject* object) {
    auto* file = reinterpret_cast<JournalFile*>(object);
    if (file->Path != nullptr) SgFreeUnistr(file->Path);
    file->Path = nullptr;
    return true;
}

struct NameCursor {
    const wchar_t* text;
    uint32_t length;  // characters
    uint32_t at;
};

int DigitValue(wchar_t c, bool hex) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (!hex) return -1;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// The extent of the next numeric part: up to its terminator ('-' or '.'), which is returned
// and skipped. False when the name ends first, or the part is empty or too long.
bool NextPart(NameCursor* cursor, uint32_t* start, uint32_t* count, wchar_t* terminator) {
    uint32_t at = cursor->at;
    while (at < cursor->length && cursor->text[at] != L'-' && cursor->text[at] != L'.') {
        if (at - cursor->at >= kMaxNumericPart) return false;
        ++at;
    }
    if (at >= cursor->length || at == cursor->at) return false;
    *start = cursor->at;
    *count = at - cursor->at;
    *terminator = cursor->text[at];
    cursor->at = at + 1;
    return true;
}

// One optional '+', then at least one digit of the base; wraps as an unsigned 64-bit number.
bool PartValue(const NameCursor& cursor, uint32_t start, uint32_t count, bool hex, uint64_t* value) {
    const wchar_t* p = cursor.text + start;
    if (*p == L'+') {
        ++p;
        --count;
    }
    if (count == 0) return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int digit = DigitValue(p[i], hex);
        if (digit < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    *value = v;
    return true;
}

bool ReadPart(NameCursor* cursor, bool hex, wchar_t wantTerminator, uint64_t* value) {
    uint32_t start, count;
    wchar_t terminator;
    return NextPart(cursor, &start, &count, &terminator) && terminator == wantTerminator &&
           PartValue(*cursor, start, count, hex, value);
}

bool ExtensionIs(const NameCursor& cursor, const wchar_t* ext) {
    size_t n = wcslen(ext);
    return cursor.length - cursor.at >= n && wmemcmp(cursor.text + cursor.at, ext, n) == 0;
}

bool ParseName(NameCursor* cursor, JournalFile* out) {
    uint32_t type = kJournalTypeCount;
    for (uint32_t i = 0; i < kJournalTypeCount; ++i) {
        size_t n = wcslen(kJournalTypeNames[i]);
        if (cursor->length > n && wmemcmp(cursor->text, kJournalTypeNames[i], n) == 0 && cursor->text[n] == L'-') {
            type = i;
            cursor->at = static_cast<uint32_t>(n + 1);
            break;
        }
    }
    if (type == kJournalTypeCount) return false;
    out->TypeIndex = type;
    if (!ReadPart(cursor, true, L'-', &out->Hex1)) return false;

    uint32_t start, count;
    wchar_t terminator;
    if (!NextPart(cursor, &start, &count, &terminator)) return false;
    if (terminator == L'.') {
        if (!PartValue(*cursor, start, count, false, &out->Dec1)) return false;
        out->Hex2 = out->Hex1;
        out->Dec2 = out->Dec1;
        out->LongForm = false;
    } else {
        if (!PartValue(*cursor, start, count, true, &out->Hex2)) return false;
        if (!ReadPart(cursor, false, L'-', &out->Dec1)) return false;
        if (!ReadPart(cursor, false, L'.', &out->Dec2)) return false;
        out->LongForm = true;
    }
    // Only the extension's leading characters count ("bins" is a bin journal).
    out->IsBin = ExtensionIs(*cursor, L"bin");
    out->IsXz = ExtensionIs(*cursor, L"xz");
    out->IsTmp = ExtensionIs(*cursor, L"tmp");
    return true;
}

}  // namespace

JournalFile* ParseJournalName(UNICODE_STRING* path, const wchar_t* name, uint32_t nameBytes) {
    NameCursor cursor = {name, nameBytes / static_cast<uint32_t>(sizeof(wchar_t)), 0};
    JournalFile parsed = {};
    JournalFile* file = nullptr;
    if (name != nullptr && ParseName(&cursor, &parsed))
        file = static_cast<JournalFile*>(SgAllocMem(sizeof(JournalFile)));
    if (file == nullptr) {
        SG_COUNTED_FORMAT_BEGIN
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Invalid event journal pathname: %wZ", path);
        SG_COUNTED_FORMAT_END
        return nullptr;
    }
    *file = parsed;
    file->header.size = sizeof(JournalFile);
    file->header.destroy = DestroyJournalFile;
    file->Path = path;
    return file;
}
