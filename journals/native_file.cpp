#include "journals/native_file.h"

#include <cstddef>
#include <cstring>

#include "runtime/memory.h"
#include "runtime/os_symbols.h"

namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The largest write the layer takes: counts are reported as positive 32-bit values.
constexpr uint32_t kWriteMax = 0x7FFFFFFF;

// Takes a reference on the interned path and points the object attributes at the interned
// copy, so the name stays valid for as long as the file is open.
NTSTATUS PrepareRecord(SgNativeFile* file, const UNICODE_STRING* path) {
    memset(file, 0, sizeof(*file));
    if (path == nullptr || path->Buffer == nullptr || path->Length == 0) return kStatusInvalidParameter;
    file->path = SgGetFullPathW(path);
    if (file->path == nullptr) return kStatusNoMemory;
    InitializeObjectAttributes(&file->attributes, file->path->wideName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return kStatusSuccess;
}

void ReleaseRecord(SgNativeFile* file) {
    if (file->path != nullptr) SgReleaseFullPathW(file->path);
    memset(file, 0, sizeof(*file));
}

NTSTATUS Create(SgNativeFile* file, ACCESS_MASK access, ULONG disposition, ULONG options) {
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NTSTATUS status = SgNtCreateFile(&handle, access, &file->attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
                                     disposition, options, nullptr, 0);
    if (status < 0) return status;
    file->handle = handle;
    file->access = access;
    file->options = options;
    return kStatusSuccess;
}

// Opens path for DELETE with the given extra options; the caller closes the record.
NTSTATUS OpenForDelete(SgNativeFile* file, const UNICODE_STRING* path, ULONG extraOptions) {
    NTSTATUS status = PrepareRecord(file, path);
    if (status < 0) return status;
    return Create(file, DELETE | SYNCHRONIZE, FILE_OPEN,
                  FILE_OPEN_FOR_BACKUP_INTENT | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | extraOptions);
}

}  // namespace

uint32_t SgNativeOpenRead(const UNICODE_STRING* path, SgNativeFile* file) {
    if (file == nullptr) return static_cast<uint32_t>(kStatusInvalidParameter);
    NTSTATUS status = PrepareRecord(file, path);
    if (status >= 0) {
        const ACCESS_MASK access = FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        const ULONG common = FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
        status = Create(file, access, FILE_OPEN, common | FILE_NON_DIRECTORY_FILE);
        if (status == kStatusFileIsADirectory) {
            status = Create(file, access, FILE_OPEN, common | FILE_DIRECTORY_FILE);
            file->isDirectory = status >= 0;
        }
    }
    if (status < 0) ReleaseRecord(file);
    return static_cast<uint32_t>(status);
}

uint32_t SgNativeCreateOverwrite(const UNICODE_STRING* path, SgNativeFile* file) {
    if (file == nullptr) return kSgStatusCreateForWriteFailed;
    NTSTATUS status = PrepareRecord(file, path);
    if (status >= 0) {
        status = Create(file, FILE_WRITE_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_OVERWRITE_IF,
                        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
    }
    if (status < 0) {
        ReleaseRecord(file);
        return kSgStatusCreateForWriteFailed;
    }
    return 0;
}

int32_t SgNativeRead(SgNativeFile* file, void* buffer, uint32_t length) {
    if (!SgNativeIsOpen(file) || buffer == nullptr) return kStatusInvalidParameter;
    if (length > kSgNativeReadMax) length = kSgNativeReadMax;
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(file->offset);
    NTSTATUS status = SgNtReadFile(file->handle, nullptr, nullptr, nullptr, &io, buffer, length, &offset, nullptr);
    if (status == kStatusEndOfFile) return 0;
    if (status < 0) return status;
    const uint32_t count = static_cast<uint32_t>(io.Information);
    file->offset += count;
    return static_cast<int32_t>(count);
}

int32_t SgNativeWrite(SgNativeFile* file, const void* data, uint32_t length) {
    if (!SgNativeIsOpen(file) || (data == nullptr && length != 0) || length > kWriteMax) {
        return kStatusInvalidParameter;
    }
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(file->offset);
    NTSTATUS status =
        SgNtWriteFile(file->handle, nullptr, nullptr, nullptr, &io, const_cast<void*>(data), length, &offset, nullptr);
    if (status < 0) return status;
    const uint32_t count = static_cast<uint32_t>(io.Information);
    file->offset += count;
    return static_cast<int32_t>(count);
}

uint32_t SgNativeFlush(SgNativeFile* file) {
    if (!SgNativeIsOpen(file)) return static_cast<uint32_t>(kStatusInvalidParameter);
    IO_STATUS_BLOCK io{};
    return static_cast<uint32_t>(SgNtFlushBuffersFile(file->handle, &io));
}

void SgNativeClose(SgNativeFile* file) {
    if (file == nullptr) return;
    if (file->handle != nullptr) SgNtClose(file->handle);
    ReleaseRecord(file);
}

bool SgNativeIsOpen(const SgNativeFile* file) { return file != nullptr && file->handle != nullptr; }

uint32_t SgNativeRename(const UNICODE_STRING* source, const UNICODE_STRING* target) {
    if (target == nullptr || target->Buffer == nullptr || target->Length == 0) {
        return static_cast<uint32_t>(kStatusInvalidParameter);
    }
    SgNativeFile file;
    NTSTATUS status = OpenForDelete(&file, source, 0);
    if (status >= 0) {
        // The record ends in the first character of the new name; the name follows it.
        const ULONG size = offsetof(FILE_RENAME_INFORMATION, FileName) + target->Length;
        auto* info = static_cast<FILE_RENAME_INFORMATION*>(SgAllocMem(size));
        if (info == nullptr) {
            status = kStatusNoMemory;
        } else {
            memset(info, 0, size);
            info->ReplaceIfExists = TRUE;
            info->RootDirectory = nullptr;
            info->FileNameLength = target->Length;
            memcpy(info->FileName, target->Buffer, target->Length);
            IO_STATUS_BLOCK io{};
            status = SgNtSetInformationFile(file.handle, &io, info, size, FileRenameInformation);
            SgFreeMem(info);
        }
    }
    SgNativeClose(&file);
    return static_cast<uint32_t>(status);
}

uint32_t SgNativeDelete(const UNICODE_STRING* path) {
    SgNativeFile file;
    NTSTATUS status = OpenForDelete(&file, path, FILE_DELETE_ON_CLOSE);
    SgNativeClose(&file);
    return static_cast<uint32_t>(status);
}
