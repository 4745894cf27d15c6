// A journal file as the listing of the driver's journal store found it: its type, the
// numbers of its name, its size and full path. Records of one listing are kept per type,
// ordered by Hex1 (highest first).
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

#include "runtime/sg_object.h"

constexpr uint32_t kJournalTypeCount = 20;
// Directory names and file-name prefixes, by type index. "ProcessProperties" comes before
// "Process", which is a prefix of it.
extern const wchar_t* const kJournalTypeNames[kJournalTypeCount];

struct JournalFile {
    SgObject header;  // list links; destroy frees Path
    uint32_t TypeIndex;
    uint32_t Size;
    uint64_t Hex1;
    uint64_t Hex2;
    uint64_t Dec1;
    uint64_t Dec2;
    UNICODE_STRING* Path;  // owned
    bool LongForm;
    bool IsBin;
    bool IsXz;
    bool IsTmp;
};

struct JournalList {
    JournalFile* head;
    JournalFile* tail;
    uint32_t count;
};

struct JournalSet {
    JournalList lists[kJournalTypeCount];
};

// Parses the file name `name` (nameBytes bytes, no NUL needed) of the journal at `path`: a
// record that owns `path`, or null (the name logged as invalid, `path` left to the caller).
// Defined in journals/journal_names.cpp.
JournalFile* ParseJournalName(UNICODE_STRING* path, const wchar_t* name, uint32_t nameBytes);
