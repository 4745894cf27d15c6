// The native file layer of the journal store: opens, reads, writes, renames and deletes files
// by full NT path through the native calls of the OS symbol table (SgNtCreateFile and the
// others), never through the Win32 file API.
//
// An open file is a caller-owned SgNativeFile record. While it is open it holds a reference on the
// interned path object of its name (path management must be initialised); the object
// attributes name the file through that object's own copy, so the caller's string may go
// away after the open. Reads and writes go to the record's own byte offset, which each call
// advances: callers never seek.
//
// Nothing here logs: every operation reports its status and the caller, who knows which
// journal it is working on, logs the failure once.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

#include "runtime/path_names.h"

// Status of every failed create-for-overwrite, whatever the NT status was.
constexpr uint32_t kSgStatusCreateForWriteFailed = 0xFFFFFFF5;
// A single read returns at most this many bytes.
constexpr uint32_t kSgNativeReadMax = 0x10000;

struct SgNativeFile {
    OBJECT_ATTRIBUTES attributes;  // ObjectName = path->wideName, case-insensitive lookup
    HANDLE handle;                 // null while closed
    SgFullPath* path;              // reference held from the open until SgNativeClose
    ACCESS_MASK access;            // what the open asked for
    ULONG options;                 // the create options the handle was opened with
    uint64_t offset;               // next byte to read or write
    bool isDirectory;              // read-open found a directory and opened it as one
};

// Opens an existing file (or directory) for reading: 0 or the NT status. A directory is
// opened as such and flagged, so a directory listing can use the handle.
uint32_t SgNativeOpenRead(const UNICODE_STRING* path, SgNativeFile* file);
// Creates the file, or truncates it when it exists, for writing from offset 0: 0 or
// kSgStatusCreateForWriteFailed.
uint32_t SgNativeCreateOverwrite(const UNICODE_STRING* path, SgNativeFile* file);
// Reads up to min(length, kSgNativeReadMax) bytes at the file's offset: the count (0 at the
// end of the file), or the NT status as a negative value.
int32_t SgNativeRead(SgNativeFile* file, void* buffer, uint32_t length);
// Writes length bytes (below 2 GiB) at the file's offset: the count written, or the NT
// status as a negative value.
int32_t SgNativeWrite(SgNativeFile* file, const void* data, uint32_t length);
// Flushes the file's buffers to the disk: 0 or the NT status.
uint32_t SgNativeFlush(SgNativeFile* file);
// Closes the handle and releases the path reference. Harmless on a record that is closed
// or was never opened (zero-filled).
void SgNativeClose(SgNativeFile* file);
bool SgNativeIsOpen(const SgNativeFile* file);

// Renames source to target, replacing an existing file of that name: 0 or the NT status.
uint32_t SgNativeRename(const UNICODE_STRING* source, const UNICODE_STRING* target);
// Deletes the file: it goes when the last handle to it is closed. 0 or the NT status.
uint32_t SgNativeDelete(const UNICODE_STRING* path);
