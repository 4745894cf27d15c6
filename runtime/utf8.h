// Strict UTF-8 to UTF-16 conversion for names that arrive as UTF-8. Pure logic: no OS
// calls, so it also builds natively for fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>

enum SgUtf8Result : uint32_t {
    kUtf8Success = 1,
    kUtf8DestinationTooSmall = 2,
    kUtf8Surrogate = 3,
    kUtf8InvalidSequence = 4,
    kUtf8Noncharacter = 5,
};

// Source counts include the terminating NUL (callers pass strlen + 1), so it is
// converted too. Reports the UTF-16 size in bytes (code units x 2) in *bytes.
uint32_t CountUtf8AsUtf16(const char* source, size_t count, uint32_t* bytes);

// Converts into destination (capacity in code units). On success *lengthBytes is the
// number of bytes written (the NUL's unit included) and a further NUL is added when
// there is room. On any failure *lengthBytes is 0 and destination[0] is 0.
uint32_t ConvertUtf8ToUtf16(const char* source, size_t count, uint16_t* destination, size_t capacityUnits,
                            uint32_t* lengthBytes);
