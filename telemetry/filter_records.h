// Reading the records the Filter Manager's enumeration returns: one filter entry
// (FilterAggregateStandardInformation) or one instance entry (InstanceAggregateStandardInformation)
// per call, with names and altitudes given as a byte length and an offset from the entry's start,
// not zero-terminated. The records come from outside the service: every length and offset is
// checked against the byte count the call returned before anything is read, and a record that
// does not fit is refused as a whole.
#pragma once

#include <windows.h>

#include <fltuser.h>

#include <cstdint>

namespace Kestro::Telemetry {

// A text inside a record: UTF-16 code units, `bytes` long, not terminated.
struct RecordText {
    const uint8_t* data = nullptr;
    uint32_t bytes = 0;
};

struct FilterRecord {
    uint32_t flags = 0;  // FLTFL_ASI_IS_MINIFILTER (1) or FLTFL_ASI_IS_LEGACYFILTER (2), or anything else
    uint32_t frame = 0;  // minifilters only
    RecordText name;
    RecordText altitude;
};

struct InstanceRecord {
    uint32_t flags = 0;  // FLTFL_IASI_IS_MINIFILTER (1) or FLTFL_IASI_IS_LEGACYFILTER (2), or anything else
    uint32_t frame = 0;  // minifilter instances only
    RecordText instance;
    RecordText altitude;
    RecordText volume;
    uint16_t volumeOffset = 0;
};

// False when the entry's fixed part or one of its texts lies outside the first `returned`
// bytes of `buffer`. An entry of another kind than 1 or 2 is read as far as its Flags.
bool ReadFilterRecord(const void* buffer, uint32_t returned, FilterRecord* record);
bool ReadInstanceRecord(const void* buffer, uint32_t returned, InstanceRecord* record);

// True when the text holds exactly these UTF-16 code units (`chars` of them).
bool SameText(const RecordText& text, const wchar_t* chars, size_t count);

// The altitude's integer part: leading blanks, then decimal digits up to the first non-digit
// ("328010.5" gives 328010, text without digits gives 0). Saturates at the largest 32-bit value.
uint32_t ParseAltitude(const RecordText& text);

}  // namespace Kestro::Telemetry
