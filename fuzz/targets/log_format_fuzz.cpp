// The log formatter's text arguments: counted strings (%wZ, %hZ, %Z), wide and narrow
// C strings (%S, %ls, %ws, %s, %hs) and their precision and width, with arbitrary bytes and
// embedded NULs, into an output of any capacity; and `%*` widths of every size and sign (INT_MIN
// and INT_MAX included) on text, numbers, characters and pointers.
//
// The formatter's contract (runtime/log_format.h) is printf's: a counted string's Length is
// trusted to lie within its buffer (MaximumLength is not read, so it is fuzzed freely); a C
// string is NUL-terminated unless a precision bounds what may be read. Lengths are fuzzed
// within those bounds, in buffers of exactly that size so that any read beyond is seen.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <windows.h>
#include <winternl.h>
#include "fuzz/platform/fuzz_support.h"

#include "runtime/log_format.h"

namespace {

// Text of up to 255 units, exactly as long as taken from the input.
std::vector<uint16_t> WideText(NvxFuzzBytes& in) {
    const size_t units = in.Byte();
    std::vector<uint16_t> text;
    for (size_t i = 0; i < units && in.Left() >= 2; ++i) text.push_back(in.U16());
    return text;
}
std::vector<char> NarrowText(NvxFuzzBytes& in) {
    size_t n = in.Byte();
    if (n > in.Left()) n = in.Left();
    const uint8_t* p = in.Take(n);
    return std::vector<char>(p, p + n);
}

// A `%*` width: small ones as they are, the extremes by code (the ends of int, and widths far
// beyond any output, both signs).
int Width(int8_t code) {
    switch (code) {
        case INT8_MIN:
            return INT_MIN;
        case INT8_MIN + 1:
            return INT_MIN + 1;
        case INT8_MIN + 2:
            return -100000;
        case INT8_MAX:
            return INT_MAX;
        case INT8_MAX - 1:
            return 100000;
        default:
            return code;
    }
}

bool ValidUtf8(const char* s, size_t n) {
    for (size_t i = 0; i < n;) {
        const auto b = static_cast<uint8_t>(s[i]);
        size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        if (len == 0 || i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzBytes in(data, size);
    const uint8_t form = in.Byte();
    const uint8_t capacityCode = in.Byte();
    const size_t capacity = capacityCode < 200 ? capacityCode : kLogMessageCapacity;
    const int precisionSeed = in.Byte();
    const int width = Width(static_cast<int8_t>(in.Byte()));
    const uint16_t lyingMaximum = in.U16();

    std::vector<uint16_t> wide = WideText(in);
    std::vector<char> narrow = NarrowText(in);
    // Counted strings: Length within the buffer (odd byte counts too), MaximumLength anything.
    const uint16_t wideBytes = static_cast<uint16_t>(wide.size() * 2);
    UNICODE_STRING cw;
    cw.Length = static_cast<USHORT>(wideBytes > 0 ? precisionSeed % (wideBytes + 1) : 0);
    cw.MaximumLength = lyingMaximum;
    cw.Buffer = wide.empty() ? nullptr : reinterpret_cast<wchar_t*>(wide.data());
    ANSI_STRING cn;
    cn.Length = static_cast<USHORT>(narrow.empty() ? 0 : precisionSeed % (narrow.size() + 1));
    cn.MaximumLength = lyingMaximum;
    cn.Buffer = narrow.empty() ? nullptr : narrow.data();
    // C strings: the same text with a NUL added (embedded NULs end it early).
    std::vector<uint16_t> wideZ(wide);
    wideZ.push_back(0);
    std::vector<char> narrowZ(narrow);
    narrowZ.push_back('\0');
    // A precision that bounds an unterminated buffer: never more than the buffer holds.
    const int widePrecision = wide.empty() ? 0 : precisionSeed % static_cast<int>(wide.size() + 1);
    const int narrowPrecision = narrow.empty() ? 0 : precisionSeed % static_cast<int>(narrow.size() + 1);
    const uint16_t* wideRaw = wide.empty() ? wideZ.data() : wide.data();
    const char* narrowRaw = narrow.empty() ? narrowZ.data() : narrow.data();

    std::vector<char> out(capacity > 0 ? capacity : 1, '\x7f');
    char* o = out.data();
    int r = 0;
    bool wideOnly = true;
    switch (form % 13) {
        case 0:
            r = SgFormatMessage(o, capacity, "Dir entry: %wZ", &cw);
            break;
        case 1:
            r = SgFormatMessage(o, capacity, "%hZ|%Z", &cn, &cn);
            wideOnly = false;
            break;
        case 2:
            r = SgFormatMessage(o, capacity, "ApplicationName: %S, CommandLine: %ls", wideZ.data(), wideZ.data());
            break;
        case 3:
            r = SgFormatMessage(o, capacity, "buf = %s, source pid = %lu", narrowZ.data(), 42ul);
            wideOnly = false;
            break;
        case 4:
            r = SgFormatMessage(o, capacity, "%.*s|", narrowPrecision, narrowRaw);
            wideOnly = false;
            break;
        case 5:
            r = SgFormatMessage(o, capacity, "%.*S|%.*ws", widePrecision, wideRaw, widePrecision, wideRaw);
            break;
        case 6:
            r = SgFormatMessage(o, capacity, "%*wZ|%-*wZ|", width, &cw, width, &cw);
            break;
        case 7:
            r = SgFormatMessage(o, capacity, "%.3wZ %.1S %.2hZ", &cw, wideZ.data(), &cn);
            wideOnly = false;
            break;
        case 8:
            r = SgFormatMessage(o, capacity, "%*.*s|%hs", width, narrowPrecision, narrowRaw, narrowZ.data());
            wideOnly = false;
            break;
        case 9:
            r = SgFormatMessage(o, capacity, "%-*.*S|%C", width, widePrecision, wideRaw,
                                static_cast<int>(wide.empty() ? 0x20AC : wide[0]));
            break;
        case 10:
            r = SgFormatMessage(o, capacity, "%wZ%wZ%wZ%wZ%wZ%wZ%wZ%wZ", &cw, &cw, &cw, &cw, &cw, &cw, &cw, &cw);
            break;
        case 12: {
            r = SgFormatMessage(o, capacity, "%*d|%-*llu|%*.*x|%*c|%*p", width, -7, width, 12345ull, width,
                                precisionSeed, 0xbeefu, width, 'c', width, static_cast<const void*>(&cw));
            wideOnly = false;
            // Widths that fit the output come out as the C library writes them (up to the
            // pointer, which the formatter writes as the Windows C runtime does).
            if (width > -100 && width < 100 && capacity > 0) {
                char expected[1024];
                const int n = snprintf(expected, sizeof(expected), "%*d|%-*llu|%*.*x|%*c|", width, -7, width, 12345ull,
                                       width, precisionSeed, 0xbeefu, width, 'c');
                const size_t compared = static_cast<size_t>(n) < capacity - 1 ? static_cast<size_t>(n) : capacity - 1;
                NvxFuzzRequire(memcmp(o, expected, compared) == 0, "a %* width differs from the C library's");
            }
            break;
        }
        default:
            r = SgFormatMessage(o, capacity, "%wZ %s", static_cast<const UNICODE_STRING*>(nullptr),
                                static_cast<const char*>(nullptr));
            break;
    }

    if (capacity == 0) {
        NvxFuzzRequire(out[0] == '\x7f', "written into an output of no capacity");
        return 0;
    }
    // Counted strings may hold NULs, which are written as they are: the result, not the first
    // NUL, gives the length (the log turns control characters into '?').
    NvxFuzzRequire(r >= -1 && (r == -1 || static_cast<size_t>(r) < capacity), "a result beyond the capacity");
    const size_t length = r >= 0 ? static_cast<size_t>(r) : strnlen(o, capacity);
    NvxFuzzRequire(length < capacity && o[length] == '\0', "the output is not NUL-terminated within its capacity");
    if (wideOnly && r >= 0) NvxFuzzRequire(ValidUtf8(o, length), "wide text came out as invalid UTF-8");
    return 0;
}
