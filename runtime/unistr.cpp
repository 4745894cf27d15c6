#include "runtime/unistr.h"

#include <cstring>
#include <cwchar>

#include "runtime/memory.h"

namespace {

const wchar_t kDosDevicesPrefix[] = L"\\DosDevices\\";
constexpr uint32_t kDosDevicesBytes = sizeof(kDosDevicesPrefix) - sizeof(wchar_t);  // 24

bool HasText(const UNICODE_STRING* s) { return s != nullptr && (s->Buffer != nullptr || s->Length == 0); }

// New string holding the parts back to back; capacity = their total + extra bytes.
UNICODE_STRING* Build(const void* a, uint32_t aBytes, const void* b, uint32_t bBytes, const void* c, uint32_t cBytes,
                      uint32_t extra) {
    uint32_t total = aBytes + bBytes + cBytes;
    if (total + extra > kUnistrMaxBytes) return nullptr;
    UNICODE_STRING* s = SgCreateUnistr(total + extra);
    if (s == nullptr) return nullptr;
    auto* p = reinterpret_cast<uint8_t*>(s->Buffer);
    if (aBytes) memcpy(p, a, aBytes);
    if (bBytes) memcpy(p + aBytes, b, bBytes);
    if (cBytes) memcpy(p + aBytes + bBytes, c, cBytes);
    s->Length = static_cast<USHORT>(total);
    return s;
}

}  // namespace

UNICODE_STRING* SgCreateUnistr(uint32_t capacityBytes) {
    if (capacityBytes > kUnistrMaxBytes) return nullptr;
    auto* s = static_cast<UNICODE_STRING*>(SgAllocMem(sizeof(UNICODE_STRING) + capacityBytes));
    if (s == nullptr) return nullptr;
    s->Length = 0;
    s->MaximumLength = static_cast<USHORT>(capacityBytes);
    s->Buffer = reinterpret_cast<wchar_t*>(s + 1);
    memset(s->Buffer, 0, capacityBytes);
    return s;
}

UNICODE_STRING* SgDuplicateUnistr(const UNICODE_STRING* a) {
    if (a == nullptr || a->Buffer == nullptr) return nullptr;
    return Build(a->Buffer, a->Length, nullptr, 0, nullptr, 0, 2);
}

UNICODE_STRING* SgCreateUnistrFromWide(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    size_t bytes = wcslen(text) * sizeof(wchar_t);
    if (bytes > kUnistrMaxBytes - 2) return nullptr;
    return Build(text, static_cast<uint32_t>(bytes), nullptr, 0, nullptr, 0, 2);
}

UNICODE_STRING* SgConcatUnistr(const UNICODE_STRING* a, const UNICODE_STRING* b) {
    if (!HasText(a) || !HasText(b)) return nullptr;
    return Build(a->Buffer, a->Length, b->Buffer, b->Length, nullptr, 0, 2);
}

UNICODE_STRING* SgConcatWide(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) return nullptr;
    size_t aBytes = wcslen(a) * sizeof(wchar_t), bBytes = wcslen(b) * sizeof(wchar_t);
    if (aBytes + bBytes + 2 > kUnistrMaxBytes) return nullptr;
    return Build(a, static_cast<uint32_t>(aBytes), b, static_cast<uint32_t>(bBytes), nullptr, 0, 2);
}

UNICODE_STRING* SgAppendUnistrChars(const UNICODE_STRING* a, const wchar_t* chars, uint32_t bytes) {
    if (!HasText(a) || (chars == nullptr && bytes != 0) || bytes > kUnistrMaxBytes) return nullptr;
    return Build(a->Buffer, a->Length, chars, bytes, nullptr, 0, 2);
}

UNICODE_STRING* SgJoinUnistr(const UNICODE_STRING* a, const UNICODE_STRING* b) {
    if (!HasText(a) || !HasText(b)) return nullptr;
    static const wchar_t kBackslash = L'\\';
    return Build(a->Buffer, a->Length, &kBackslash, sizeof(wchar_t), b->Buffer, b->Length, 2);
}

UNICODE_STRING* SgPrefixDosDevices(const UNICODE_STRING* a) {
    if (!HasText(a) || a->Length > 65509) return nullptr;
    return Build(kDosDevicesPrefix, kDosDevicesBytes, a->Buffer, a->Length, nullptr, 0, 2);
}

void SgFreeUnistr(UNICODE_STRING* s) { SgFreeMem(s); }

bool SgUnistrHasPathPrefix(const UNICODE_STRING* path, const UNICODE_STRING* prefix) {
    if (!HasText(path) || !HasText(prefix) || prefix->Length == 0 || path->Length < prefix->Length) return false;
    if (memcmp(path->Buffer, prefix->Buffer, prefix->Length) != 0) return false;
    if (path->Length == prefix->Length) return true;
    // A prefix that itself ends in a backslash already ends at a boundary.
    if (prefix->Buffer[prefix->Length / 2 - 1] == L'\\') return true;
    return path->Buffer[prefix->Length / 2] == L'\\';
}

bool SgUnistrEqual(const UNICODE_STRING* a, const UNICODE_STRING* b) {
    if (!HasText(a) || !HasText(b)) return false;
    return a->Length == b->Length && memcmp(a->Buffer, b->Buffer, a->Length) == 0;
}
