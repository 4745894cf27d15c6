// Counted wide strings: the string type of the runtime layer. A string made here is one
// pool block: the UNICODE_STRING record followed at once by a zero-filled buffer of
// MaximumLength bytes, so the text is NUL-terminated whenever Length < MaximumLength.
// Lengths are in bytes and limited to 65,535. Free with SgFreeUnistr (or SgFreeMem).
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

constexpr uint32_t kUnistrMaxBytes = 65535;

// Empty string with a capacity of `capacityBytes` (at most 65,535).
UNICODE_STRING* SgCreateUnistr(uint32_t capacityBytes);
// Copy of a; capacity a.Length + 2. None when a has no buffer.
UNICODE_STRING* SgDuplicateUnistr(const UNICODE_STRING* a);
// Copy of a NUL-terminated wide string (at most 65,533 bytes); capacity length + 2.
UNICODE_STRING* SgCreateUnistrFromWide(const wchar_t* text);
// a followed by b; capacity total + 2 (total at most 65,533 bytes).
UNICODE_STRING* SgConcatUnistr(const UNICODE_STRING* a, const UNICODE_STRING* b);
// Two NUL-terminated wide strings joined (total + 2 at most 65,535).
UNICODE_STRING* SgConcatWide(const wchar_t* a, const wchar_t* b);
// a followed by `bytes` bytes of UTF-16 from `chars` (total + 2 at most 65,535).
UNICODE_STRING* SgAppendUnistrChars(const UNICODE_STRING* a, const wchar_t* chars, uint32_t bytes);
// a, a backslash, b; capacity total + 4 (total at most 65,531 bytes).
UNICODE_STRING* SgJoinUnistr(const UNICODE_STRING* a, const UNICODE_STRING* b);
// "\DosDevices\" followed by a; capacity a.Length + 26 (a.Length at most 65,509).
UNICODE_STRING* SgPrefixDosDevices(const UNICODE_STRING* a);
void SgFreeUnistr(UNICODE_STRING* s);

// True when `path` begins with `prefix` and the match ends at a component boundary:
// the path ends there or continues with a backslash (so ...Volume1 never matches
// ...Volume10).
bool SgUnistrHasPathPrefix(const UNICODE_STRING* path, const UNICODE_STRING* prefix);
bool SgUnistrEqual(const UNICODE_STRING* a, const UNICODE_STRING* b);
