#include "journals/compress.h"

#include <cstring>

#include "journals/event_journals.h"
#include "journals/native_file.h"
#include "runtime/compiler.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/threads.h"
#include "runtime/unistr.h"

namespace {

constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kStatusNoMemory = 0xC0000017;
constexpr uint32_t kStatusObjectNameNotFound = 0xC0000034;
constexpr uint32_t kStatusDeletePending = 0xC0000056;
constexpr uint32_t kCompressionFailed = 0xFFFFFFFF;

constexpr uint32_t kInputSize = 0x10000;
// One and a half times the input: room for what one chunk, or the finish, produces.
constexpr uint32_t kOutputSize = 0x18000;
constexpr uint32_t kMinPathChars = 10;

constexpr uint32_t kDictionarySize = 0x800000;  // 8 MiB, as liblzma's preset 6
constexpr uint32_t kNiceLength = 64;

bool Failed(uint32_t status) { return static_cast<int32_t>(status) < 0; }

uint64_t SystemTime100ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// A copy of path whose last three characters are replaced by `suffix` (two or three
// characters): the length shrinks with a shorter suffix, never grows.
UNICODE_STRING* ReplaceLastThree(const UNICODE_STRING* path, const wchar_t* suffix) {
    UNICODE_STRING* copy = SgDuplicateUnistr(path);
    if (copy == nullptr) return nullptr;
    const size_t units = copy->Length / sizeof(wchar_t);
    const size_t suffixUnits = wcslen(suffix);
    memcpy(copy->Buffer + units - 3, suffix, suffixUnits * sizeof(wchar_t));
    for (size_t i = units - 3 + suffixUnits; i < units; ++i) copy->Buffer[i] = L'\0';
    copy->Length = static_cast<USHORT>((units - 3 + suffixUnits) * sizeof(wchar_t));
    return copy;
}

// Cleared when the journal thread has been asked to stop. Without a thread object there is
// nobody who could ask, so the compression runs to its end.
bool JournalThreadShouldRun() {
    SgThread* thread = EventJournalThread();
    return thread == nullptr || SgThreadShouldRun(thread);
}

// Everything one compression holds; released by Release on every path.
struct Compression {
    const JournalFile* journal = nullptr;
    uint8_t* input = nullptr;
    uint8_t* output = nullptr;
    UNICODE_STRING* tempPath = nullptr;
    UNICODE_STRING* destPath = nullptr;
    SgNativeFile source{};
    SgNativeFile temp{};
    lzma_stream stream = LZMA_STREAM_INIT;
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;

    void Release() {
        lzma_end(&stream);
        SgNativeClose(&source);
        SgNativeClose(&temp);
        if (input != nullptr) SgFreeMem(input);
        if (output != nullptr) SgFreeMem(output);
        SgFreeUnistr(tempPath);
        SgFreeUnistr(destPath);
        input = output = nullptr;
        tempPath = destPath = nullptr;
    }

    // Codes what the stream holds with `action` into the output buffer and appends the result
    // to the temporary file. One call takes each whole chunk (it fits the encoder's window at
    // once; output that does not fit the buffer waits in the encoder for the next call), and
    // one call finishes the stream (all the encoder can still hold fits the buffer). Should the
    // coder all the same keep input back, or stop short of the end of the stream, it is called
    // again: nothing is left out of the file while the stream still looks complete.
    bool Code(lzma_action action) {
        for (;;) {
            stream.next_out = output;
            stream.avail_out = kOutputSize;
            const lzma_ret ret = lzma_code(&stream, action);
            if (ret != LZMA_OK && ret != LZMA_STREAM_END) {
                SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "LZMA2 compression failed with error %d",
                             static_cast<int>(ret));
                return false;
            }
            const uint32_t produced = kOutputSize - static_cast<uint32_t>(stream.avail_out);
            if (produced > 0) {
                bytesWritten += produced;
                const int32_t written = SgNativeWrite(&temp, output, produced);
                if (written != static_cast<int32_t>(produced)) {
                    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Only wrote %d of %lu bytes to compressed journal file",
                                 static_cast<int>(written), static_cast<unsigned long>(produced));
                    return false;
                }
            }
            if (action == LZMA_RUN ? stream.avail_in == 0 : ret == LZMA_STREAM_END) return true;
        }
    }

    // Reads the journal chunk by chunk through the encoder, then finishes the stream.
    // False (logged) when the compression has to be abandoned.
    bool Run() {
        const UNICODE_STRING* path = journal->Path;
        for (;;) {
            const int32_t n = SgNativeRead(&source, input, kInputSize);
            SG_COUNTED_FORMAT_BEGIN
            if (n < 0) {
                SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Unable to read data from event journal %wZ errcode 0x%08X",
                             path, static_cast<unsigned>(n));
                return false;
            }
            if (n == 0) break;
            bytesRead += static_cast<uint32_t>(n);
            stream.next_in = input;
            stream.avail_in = static_cast<size_t>(n);
            if (!Code(LZMA_RUN)) return false;
            if (!JournalThreadShouldRun()) {
                SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG,
                             "LZMA2 compression of %wZ stopped before complete because service stopping", path);
                return false;
            }
            SG_COUNTED_FORMAT_END
            // A short chunk at the listed size is the end of the file. A full one may be
            // followed by bytes written after the listing: one more read tells, so a journal
            // that grew is never cut at a chunk boundary and then deleted.
            if (bytesRead == journal->Size && static_cast<uint32_t>(n) < kInputSize) break;
        }
        if (bytesRead != journal->Size) {
            SG_COUNTED_FORMAT_BEGIN
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Only read %llu of %lu bytes from: %wZ",
                         static_cast<unsigned long long>(bytesRead), static_cast<unsigned long>(journal->Size), path);
            SG_COUNTED_FORMAT_END
            return false;
        }
        return Code(LZMA_FINISH);
    }

    // The temporary file is removed; the journal itself is left as it was.
    uint32_t Abandon() {
        const bool tempCreated = SgNativeIsOpen(&temp);
        lzma_end(&stream);
        SgNativeClose(&source);
        SgNativeClose(&temp);
        if (tempCreated) {
            const uint32_t status = SgNativeDelete(tempPath);
            if (Failed(status)) {
                SG_COUNTED_FORMAT_BEGIN
                SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR,
                             "Unable to delete (or set for delete on close) temp event journal %wZ, errcode 0x%08X",
                             journal->Path, status);
                SG_COUNTED_FORMAT_END
            }
        }
        Release();
        return kCompressionFailed;
    }

    // Puts the complete temporary file in the destination's place, then removes the journal.
    uint32_t Complete(uint64_t startTime) {
        const UNICODE_STRING* path = journal->Path;
        SG_COUNTED_FORMAT_BEGIN
        // A failed flush may mean the compressed bytes never reach the disk, so the journal is
        // kept and the temporary file removed, as for a failed rename; the next pass tries again.
        uint32_t status = SgNativeFlush(&temp);
        if (Failed(status)) {
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR,
                         "Unable to flush the temp compressed event journal %wZ errcode 0x%08X", path, status);
        }
        SgNativeClose(&source);
        SgNativeClose(&temp);

        if (!Failed(status)) {
            status = SgNativeRename(tempPath, destPath);
            if (Failed(status)) {
                SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR,
                             "Unable to rename the temp compressed event journal %wZ errcode 0x%08X", path, status);
            }
        }
        if (Failed(status)) {
            const uint32_t deleted = SgNativeDelete(tempPath);
            if (Failed(deleted)) {
                SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR,
                             "Unable to delete (or set for delete on close) temp event journal %wZ, errcode 0x%08X",
                             path, deleted);
                status = deleted;
            }
            Release();
            return status;
        }

        const uint32_t deleted = SgNativeDelete(path);
        if (Failed(deleted)) {
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR,
                         "Unable to delete (or set for delete on close) event journal %wZ after compressed file "
                         "created, errcode 0x%08X",
                         path, deleted);
        }
        const int64_t micros = static_cast<int64_t>(SystemTime100ns() - startTime) / 10;
        uint64_t percentage = 0;
        if (bytesRead > 0 && bytesWritten < bytesRead) percentage = (bytesRead - bytesWritten) * 100 / bytesRead;
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG,
                     "Compressed %llu bytes to %llu bytes in %lld usecs percentage: %llu %wZ",
                     static_cast<unsigned long long>(bytesRead), static_cast<unsigned long long>(bytesWritten),
                     static_cast<long long>(micros), static_cast<unsigned long long>(percentage), path);
        SG_COUNTED_FORMAT_END
        Release();
        return 0;
    }
};

}  // namespace

bool InitJournalEncoder(lzma_stream* stream) {
    lzma_options_lzma options;
    memset(&options, 0, sizeof(options));
    options.dict_size = kDictionarySize;
    options.preset_dict = nullptr;
    options.preset_dict_size = 0;
    options.lc = 3;
    options.lp = 0;
    options.pb = 2;
    options.mode = LZMA_MODE_NORMAL;
    options.nice_len = kNiceLength;
    options.mf = LZMA_MF_BT4;
    options.depth = 0;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    const lzma_ret ret = lzma_stream_encoder(stream, filters, LZMA_CHECK_CRC64);
    switch (ret) {
        case LZMA_OK:
            return true;
        case LZMA_UNSUPPORTED_CHECK:
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "LZMA2 specified integrity check is not supported");
            break;
        case LZMA_MEM_ERROR:
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "LZMA2 compression memory allocation failed");
            break;
        case LZMA_OPTIONS_ERROR:
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "LZMA2 specified filter chain is not supported");
            break;
        default:
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "LZMA2 compression init failure with unknown error %d",
                         static_cast<int>(ret));
            break;
    }
    return false;
}

uint32_t CompressJournal(const JournalFile* journal) {
    if (journal == nullptr || !journal->LongForm || !journal->IsBin) return kStatusInvalidParameter;
    const UNICODE_STRING* path = journal->Path;
    if (path == nullptr || path->Buffer == nullptr || path->Length < kMinPathChars * sizeof(wchar_t)) {
        return kStatusInvalidParameter;
    }

    Compression c;
    c.journal = journal;
    c.input = static_cast<uint8_t*>(SgAllocMem(kInputSize));
    c.output = static_cast<uint8_t*>(SgAllocMem(kOutputSize));
    c.tempPath = ReplaceLastThree(path, L"tmp");
    c.destPath = ReplaceLastThree(path, L"xz");
    if (c.input == nullptr || c.output == nullptr || c.tempPath == nullptr || c.destPath == nullptr) {
        c.Release();
        return kStatusNoMemory;
    }

    const uint64_t startTime = SystemTime100ns();
    SG_COUNTED_FORMAT_BEGIN
    const uint32_t opened = SgNativeOpenRead(path, &c.source);
    if (Failed(opened)) {
        // A journal the driver or an earlier pass removed meanwhile is not an error.
        const bool gone = opened == kStatusObjectNameNotFound || opened == kStatusDeletePending;
        SgDebugPrint(SG_FAC_EVTJRN, gone ? SG_LVL_DEBUG : SG_LVL_ERROR,
                     "Unable to open event journal %wZ errcode 0x%08X", path, opened);
        c.Release();
        return opened;
    }
    const uint32_t created = SgNativeCreateOverwrite(c.tempPath, &c.temp);
    if (created != 0) {
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Unable to create/open for overwrite temp file %wZ errcode 0x%08X",
                     path, created);
        c.Release();
        return created;
    }
    SG_COUNTED_FORMAT_END

    if (!InitJournalEncoder(&c.stream)) {
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Unable to initialize the LZMA2 compression encoder");
        return c.Abandon();
    }
    if (!c.Run()) return c.Abandon();
    return c.Complete(startTime);
}
