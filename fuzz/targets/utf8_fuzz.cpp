// UTF-8 text from outside (command arguments, names) to UTF-16: counting, conversion into a
// buffer of a chosen capacity, the counted-string maker, and the way back the log takes.
// The first input byte chooses the capacity; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/platform/fuzz_support.h"
#include "runtime/log_format.h"
#include "runtime/os_paths.h"
#include "runtime/unistr.h"
#include "runtime/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzInit(kNvxFuzzMemory);
    if (size == 0 || size > 8192) return -1;
    const NvxFuzzBaseline baseline = NvxFuzzTakeBaseline();
    const uint8_t mode = data[0];
    // Exactly the source bytes, so that a read past the count is seen.
    std::vector<char> source(data + 1, data + size);
    const size_t count = source.size();

    uint32_t counted = 0;
    const uint32_t countResult = CountUtf8AsUtf16(source.data(), count, &counted);
    NvxFuzzRequire(countResult == kUtf8Success || counted == 0, "a failed count with a size");
    NvxFuzzRequire(counted <= count * 2, "more UTF-16 than UTF-8 units");

    // Capacity: what the count asked for, one unit less or more, or a small fixed room.
    const size_t needUnits = counted / 2;
    size_t capacity = needUnits;
    if ((mode & 3) == 1) capacity = needUnits > 0 ? needUnits - 1 : 0;
    if ((mode & 3) == 2) capacity = needUnits + 1;
    if ((mode & 3) == 3) capacity = mode >> 2;
    std::vector<uint16_t> out(capacity + 1, 0xAAAA);
    uint32_t written = 0;
    const uint32_t convertResult =
        ConvertUtf8ToUtf16(count > 0 ? source.data() : nullptr, count, out.data(), capacity, &written);
    if (countResult != kUtf8Success) {
        NvxFuzzRequire(convertResult == countResult || convertResult == kUtf8DestinationTooSmall,
                       "conversion and count disagree about the text");
    } else if (capacity >= needUnits) {
        NvxFuzzRequire(convertResult == kUtf8Success && written == counted, "conversion and count disagree");
        NvxFuzzRequire(out[capacity] == 0xAAAA || capacity == 0, "written past the capacity");
        // Back to UTF-8 as the log writes it: the same bytes.
        std::vector<char> back(count * 2 + 8);
        const size_t n = SgUtf16ToUtf8(out.data(), needUnits, back.data(), back.size());
        NvxFuzzRequire(n == count && memcmp(back.data(), source.data(), count) == 0, "UTF-8 does not round-trip");
    } else {
        NvxFuzzRequire(convertResult == kUtf8DestinationTooSmall && written == 0, "a conversion that cannot fit");
    }
    if (convertResult != kUtf8Success && capacity > 0) NvxFuzzRequire(out[0] == 0, "a failed conversion left text");

    // The counted-string maker over the text up to its first NUL.
    std::string text(source.data(), count);
    UNICODE_STRING* s = SgCreateUnistrFromChar(text.c_str());
    if (s != nullptr) {
        uint32_t bytes = 0;
        CountUtf8AsUtf16(text.c_str(), strlen(text.c_str()) + 1, &bytes);
        NvxFuzzRequire(s->Length + 2u == bytes && s->Buffer[s->Length / 2] == 0, "a counted string of the wrong size");
        SgFreeUnistr(s);
    }
    NvxFuzzCheckBaseline(baseline, "one UTF-8 text");
    return 0;
}
