#include "runtime/utf8.h"

namespace {

bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Decodes one character at s[i]; returns its code point and length, or a failure code.
uint32_t DecodeOne(const uint8_t* s, size_t count, size_t i, uint32_t* codePoint, size_t* length) {
    uint8_t lead = s[i];
    if (lead < 0x80) {
        *codePoint = lead;
        *length = 1;
        return kUtf8Success;
    }
    if ((lead & 0xE0) == 0xC0) {
        if ((lead & 0x1F) < 2 || i + 1 >= count || !IsContinuation(s[i + 1])) return kUtf8InvalidSequence;
        *codePoint = ((lead & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
        *length = 2;
        return kUtf8Success;
    }
    if ((lead & 0xF0) == 0xE0) {
        if (i + 2 >= count || !IsContinuation(s[i + 1]) || !IsContinuation(s[i + 2])) return kUtf8InvalidSequence;
        if (lead == 0xE0 && s[i + 1] < 0xA0) return kUtf8InvalidSequence;  // overlong
        if (lead == 0xED && s[i + 1] >= 0xA0) return kUtf8Surrogate;
        if (lead == 0xEF && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF)) return kUtf8Noncharacter;
        *codePoint = ((lead & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
        *length = 3;
        return kUtf8Success;
    }
    if ((lead & 0xF8) == 0xF0) {
        if (i + 3 >= count || !IsContinuation(s[i + 1]) || !IsContinuation(s[i + 2]) || !IsContinuation(s[i + 3])) {
            return kUtf8InvalidSequence;
        }
        uint32_t cp =
            ((lead & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
        if (cp < 0x10000 || cp > 0x10FFFF) return kUtf8InvalidSequence;
        *codePoint = cp;
        *length = 4;
        return kUtf8Success;
    }
    return kUtf8InvalidSequence;
}

// Walks the source once; writes only when destination is given.
uint32_t Walk(const char* source, size_t count, uint16_t* destination, size_t capacityUnits, size_t* units) {
    const auto* s = reinterpret_cast<const uint8_t*>(source);
    size_t produced = 0;
    for (size_t i = 0; i < count;) {
        uint32_t cp = 0;
        size_t length = 0;
        uint32_t rc = DecodeOne(s, count, i, &cp, &length);
        if (rc != kUtf8Success) return rc;
        size_t need = cp >= 0x10000 ? 2 : 1;
        if (destination != nullptr) {
            if (produced + need > capacityUnits) return kUtf8DestinationTooSmall;
            if (need == 2) {
                destination[produced] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
                destination[produced + 1] = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                destination[produced] = static_cast<uint16_t>(cp);
            }
        }
        produced += need;
        i += length;
    }
    *units = produced;
    return kUtf8Success;
}

}  // namespace

uint32_t CountUtf8AsUtf16(const char* source, size_t count, uint32_t* bytes) {
    *bytes = 0;
    if (source == nullptr) return kUtf8InvalidSequence;
    size_t units = 0;
    uint32_t rc = Walk(source, count, nullptr, 0, &units);
    if (rc == kUtf8Success) *bytes = static_cast<uint32_t>(units * 2);
    return rc;
}

uint32_t ConvertUtf8ToUtf16(const char* source, size_t count, uint16_t* destination, size_t capacityUnits,
                            uint32_t* lengthBytes) {
    *lengthBytes = 0;
    if (destination == nullptr) return kUtf8DestinationTooSmall;
    size_t units = 0;
    uint32_t rc = source == nullptr ? static_cast<uint32_t>(kUtf8InvalidSequence)
                                    : Walk(source, count, destination, capacityUnits, &units);
    if (rc != kUtf8Success) {
        if (capacityUnits > 0) destination[0] = 0;
        return rc;
    }
    *lengthBytes = static_cast<uint32_t>(units * 2);
    if (units < capacityUnits) destination[units] = 0;
    return kUtf8Success;
}
