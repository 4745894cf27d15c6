// Path management: interned full path names. Every distinct name is held once, in a
// reference-counted full-path object kept in one of two hash tables (UTF-16 names and UTF-8
// names, each with its own lock); every user of a path holds a reference to the shared object.
// The last release removes the name from its table and frees it. Names are compared by byte
// length and bytes: case-sensitive, no normalisation.
//
// Initialisation ends by starting OS path management (InitOsPaths); shutdown begins by
// ending it (ShutdownOsPaths).
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

#include "runtime/sg_object.h"

constexpr uint32_t kPathTableBuckets = 8192;
constexpr uint32_t kPathHashMask = 0x1FFF;
// A name copy has capacity length + 2 and lengths are 16-bit.
constexpr uint32_t kPathMaxNameBytes = 65533;

struct SgFullPath {
    SgObject header;  // bucket = the name's hash; destroy = SgDeleteFullPath
    // Holders. Changed atomically; the change that takes a name out of its table (1 to 0) is
    // made under the table lock, so a get never finds an object on its way out.
    uint32_t referenceCount;
    union {
        UNICODE_STRING* wideName;  // wide == 1
        ANSI_STRING* narrowName;   // wide == 0; UTF-8 bytes
    };
    uint8_t deletePending;  // raised by a destroy that found other holders; atomic
    uint8_t wide;
    uint8_t invalid;  // the name holds a character below 32
};

bool SgInitPathManagement();
// False (and nothing released) when OS path management could not be shut down.
bool SgShutdownPathManagement();

// The interned object for a UTF-16 name, with one more reference for the caller; null when
// memory runs out or path management is not initialised. The caller's string is copied.
SgFullPath* SgGetFullPathW(const UNICODE_STRING* name);
// The same for a UTF-8 name (a counted narrow string).
SgFullPath* SgGetFullPathA(const ANSI_STRING* name);
// Releases one reference; the last one removes the name from its table and frees it.
void SgReleaseFullPathW(SgFullPath* path);
void SgReleaseFullPathA(SgFullPath* path);
// Either form, by the object's wide flag.
void SgReleaseFullPath(SgFullPath* path);
// The object's destroy operation: with other holders it only drops one reference and marks
// deletion pending (false); otherwise it frees the name copy and the lock (true; the caller
// returns the object's memory).
bool SgDeleteFullPath(SgObject* path);

// Hash values (0 .. 0x1FFF) used as the objects' bucket values: a function of the name's bytes
// in which every byte's position counts; equal names (same length and bytes) hash equal.
uint32_t SgHashPathW(const UNICODE_STRING* name);
uint32_t SgHashPathA(const ANSI_STRING* name);
