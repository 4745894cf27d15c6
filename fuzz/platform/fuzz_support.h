// What the fuzz targets share: bringing the runtime up once per process with the shim's
// deterministic machine, the per-input checks (pool blocks, held locks), and what the shim
// observed of the calls the product made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Which parts of the service a target needs; each is brought up once, in the service's order.
enum NvxFuzzParts : uint32_t {
    kNvxFuzzMemory = 0x1,    // the memory pool
    kNvxFuzzPaths = 0x2,     // path management and the OS paths (the shim's registry and links)
    kNvxFuzzCommands = 0x4,  // command attributes, the WSC client's commands, a capturing router
};
void NvxFuzzInit(uint32_t parts);

// Call around each input: the pool's blocks and big chunks in use, and the critical sections
// held, must be back where they were. A difference aborts the run with a report (a finding).
struct NvxFuzzBaseline {
    uint64_t blocks;
    uint64_t bigChunks;
    int64_t locks;
};
NvxFuzzBaseline NvxFuzzTakeBaseline();
void NvxFuzzCheckBaseline(const NvxFuzzBaseline& before, const char* what);

// Stops the run with a message when `condition` is false: an invariant of the product broke.
void NvxFuzzRequire(bool condition, const char* what);

// The command line of the last CreateProcessW call (UTF-16 as the product built it), and the
// number of such calls since the last NvxFuzzResetObserved.
struct NvxFuzzObserved {
    std::u16string lastCommandLine;
    uint32_t processStarts;
    uint32_t repliesRouted;
    std::string lastReplyText;
    uint8_t lastReplyFlags;
};
NvxFuzzObserved& NvxFuzzObservedCalls();
void NvxFuzzResetObserved();

// Reads fuzz bytes front to back; past the end it yields zeros.
class NvxFuzzBytes {
public:
    NvxFuzzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    size_t Left() const { return size_ - at_; }
    const uint8_t* Take(size_t n) {
        if (n > Left()) n = Left();
        const uint8_t* p = data_ + at_;
        at_ += n;
        return p;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};
