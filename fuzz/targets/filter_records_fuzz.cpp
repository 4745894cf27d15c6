// The Filter Manager's enumeration records (telemetry/filter_records.cpp): one filter or
// instance entry with the byte count the call returned, names and altitudes as offsets and
// lengths from the entry's start, and the altitude's integer part.
//
// Input: a mode byte (bit 0: an instance entry, bit 1: the count is the whole buffer), a
// claimed byte count (reduced to the buffer), then the entry's bytes, copied into a buffer
// exactly as long as they are, so any read past it is seen. A record read is checked against the
// readers' promises: its texts lie within the returned bytes, its fields are the entry's own.
// fuzz-sources: telemetry/filter_records.cpp
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include <fltuser.h>

#include "fuzz/platform/fuzz_support.h"
#include "telemetry/filter_records.h"

namespace {

using Kestro::Telemetry::RecordText;

uint32_t U32At(const uint8_t* bytes, size_t at) {
    uint32_t value;
    memcpy(&value, bytes + at, sizeof(value));
    return value;
}

// A text is within the returned bytes (an empty one may be anywhere up to their end).
void RequireWithin(const RecordText& text, const uint8_t* buffer, uint32_t returned, const char* what) {
    if (text.bytes == 0 && text.data == nullptr) return;
    NvxFuzzRequire(text.data >= buffer && text.data <= buffer + returned &&
                       text.bytes <= static_cast<size_t>(buffer + returned - text.data),
                   what);
}

// The altitude's integer part, computed apart: blanks, then digits, saturated at 32 bits.
uint32_t Altitude(const RecordText& text) {
    std::vector<uint16_t> units(text.bytes / 2);
    if (!units.empty()) memcpy(units.data(), text.data, units.size() * 2);
    size_t i = 0;
    while (i < units.size() && (units[i] == ' ' || units[i] == '\t')) ++i;
    while (i < units.size() && units[i] == '0') ++i;
    std::string digits;
    for (; i < units.size() && units[i] >= '0' && units[i] <= '9'; ++i) digits.push_back(static_cast<char>(units[i]));
    if (digits.size() > 10) return UINT32_MAX;
    const unsigned long long value = digits.empty() ? 0 : std::stoull(digits);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// ParseAltitude agrees with the computation above, and SameText knows a text's own units.
void CheckText(const RecordText& text) {
    NvxFuzzRequire(Kestro::Telemetry::ParseAltitude(text) == Altitude(text), "a wrong altitude");
    std::vector<wchar_t> units(text.bytes / 2 + 1);
    if (text.bytes > 0) memcpy(units.data(), text.data, text.bytes / 2 * 2);
    const bool same = Kestro::Telemetry::SameText(text, units.data(), text.bytes / 2);
    NvxFuzzRequire(same == (text.bytes % 2 == 0), "a text differs from its own units");
    if (text.bytes >= 2) {
        units[0] ^= 1;
        NvxFuzzRequire(!Kestro::Telemetry::SameText(text, units.data(), text.bytes / 2), "a text equals other units");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzBytes in(data, size);
    const uint8_t mode = in.Byte();
    const uint16_t claimed = in.U16();
    const size_t available = in.Left();
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[available > 0 ? available : 1]);
    memcpy(buffer.get(), in.Take(available), available);
    const uint32_t returned =
        (mode & 2) != 0 ? static_cast<uint32_t>(available) : static_cast<uint32_t>(claimed % (available + 1));
    const uint8_t* b = buffer.get();

    if ((mode & 1) == 0) {
        Kestro::Telemetry::FilterRecord record;
        record.frame = 0xDEAD;
        if (!Kestro::Telemetry::ReadFilterRecord(b, returned, &record)) return 0;
        NvxFuzzRequire(returned >= 8 && record.flags == U32At(b, 4), "a filter record's flags are not its own");
        if (record.flags == FLTFL_ASI_IS_MINIFILTER) {
            NvxFuzzRequire(returned >= 28 && record.frame == U32At(b, 12), "a minifilter's frame is not its own");
        } else if (record.flags == FLTFL_ASI_IS_LEGACYFILTER) {
            NvxFuzzRequire(returned >= 20, "a legacy filter read from a short record");
        } else {
            NvxFuzzRequire(record.name.data == nullptr && record.altitude.data == nullptr,
                           "an entry of another kind has texts");
        }
        RequireWithin(record.name, b, returned, "a filter name lies outside the returned bytes");
        RequireWithin(record.altitude, b, returned, "a filter altitude lies outside the returned bytes");
        CheckText(record.name);
        CheckText(record.altitude);
        return 0;
    }
    Kestro::Telemetry::InstanceRecord record;
    record.frame = 0xDEAD;
    if (!Kestro::Telemetry::ReadInstanceRecord(b, returned, &record)) return 0;
    NvxFuzzRequire(returned >= 8 && record.flags == U32At(b, 4), "an instance record's flags are not its own");
    if (record.flags == FLTFL_IASI_IS_MINIFILTER) {
        NvxFuzzRequire(returned >= 36 && record.frame == U32At(b, 12), "an instance's frame is not its own");
    } else {
        NvxFuzzRequire(
            record.instance.data == nullptr && record.altitude.data == nullptr && record.volume.data == nullptr,
            "an entry of another kind has texts");
    }
    RequireWithin(record.instance, b, returned, "an instance name lies outside the returned bytes");
    RequireWithin(record.altitude, b, returned, "an instance altitude lies outside the returned bytes");
    RequireWithin(record.volume, b, returned, "a volume name lies outside the returned bytes");
    CheckText(record.instance);
    CheckText(record.altitude);
    CheckText(record.volume);
    return 0;
}
