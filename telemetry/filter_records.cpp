#include "telemetry/filter_records.h"

#include <cstddef>
#include <cstring>

namespace Kestro::Telemetry {

namespace {

static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Flags) == 4);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type) == 8);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Flags) == 4);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type) == 8);

// The text at `offset`, `length` bytes long, if it lies inside the returned bytes.
bool TextAt(const uint8_t* entry, uint32_t returned, uint16_t length, uint16_t offset, RecordText* text) {
    if (static_cast<uint32_t>(offset) + length > returned) return false;
    *text = RecordText{entry + offset, length};
    return true;
}

}  // namespace

bool ReadFilterRecord(const void* buffer, uint32_t returned, FilterRecord* record) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    FILTER_AGGREGATE_STANDARD_INFORMATION entry{};
    if (buffer == nullptr || returned < offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type)) return false;
    memcpy(&entry, bytes, returned < sizeof(entry) ? returned : sizeof(entry));
    *record = FilterRecord{};
    record->flags = entry.Flags;
    if (entry.Flags == FLTFL_ASI_IS_MINIFILTER) {
        const auto& m = entry.Type.MiniFilter;
        if (returned < offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type) + sizeof(m)) return false;
        record->frame = m.FrameID;
        return TextAt(bytes, returned, m.FilterNameLength, m.FilterNameBufferOffset, &record->name) &&
               TextAt(bytes, returned, m.FilterAltitudeLength, m.FilterAltitudeBufferOffset, &record->altitude);
    }
    if (entry.Flags == FLTFL_ASI_IS_LEGACYFILTER) {
        const auto& l = entry.Type.LegacyFilter;
        if (returned < offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type) + sizeof(l)) return false;
        return TextAt(bytes, returned, l.FilterNameLength, l.FilterNameBufferOffset, &record->name) &&
               TextAt(bytes, returned, l.FilterAltitudeLength, l.FilterAltitudeBufferOffset, &record->altitude);
    }
    return true;
}

bool ReadInstanceRecord(const void* buffer, uint32_t returned, InstanceRecord* record) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    INSTANCE_AGGREGATE_STANDARD_INFORMATION entry{};
    if (buffer == nullptr || returned < offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type)) return false;
    memcpy(&entry, bytes, returned < sizeof(entry) ? returned : sizeof(entry));
    *record = InstanceRecord{};
    record->flags = entry.Flags;
    if (entry.Flags != FLTFL_IASI_IS_MINIFILTER) return true;
    const auto& m = entry.Type.MiniFilter;
    // The fields read end with the filter name's offset; SupportedFeatures after it is not used.
    const size_t used = offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FilterNameBufferOffset) +
                        sizeof(m.FilterNameBufferOffset);
    if (returned < used) return false;
    record->frame = m.FrameID;
    record->volumeOffset = m.VolumeNameBufferOffset;
    return TextAt(bytes, returned, m.InstanceNameLength, m.InstanceNameBufferOffset, &record->instance) &&
           TextAt(bytes, returned, m.AltitudeLength, m.AltitudeBufferOffset, &record->altitude) &&
           TextAt(bytes, returned, m.VolumeNameLength, m.VolumeNameBufferOffset, &record->volume);
}

bool SameText(const RecordText& text, const wchar_t* chars, size_t count) {
    return text.bytes == count * sizeof(wchar_t) && (count == 0 || memcmp(text.data, chars, text.bytes) == 0);
}

uint32_t ParseAltitude(const RecordText& text) {
    const size_t units = text.bytes / sizeof(uint16_t);
    size_t i = 0;
    auto unit = [&](size_t at) {
        uint16_t c;
        memcpy(&c, text.data + at * sizeof(c), sizeof(c));
        return c;
    };
    while (i < units && (unit(i) == u' ' || unit(i) == u'\t')) ++i;
    uint64_t value = 0;
    for (; i < units && unit(i) >= u'0' && unit(i) <= u'9'; ++i) {
        value = value * 10 + (unit(i) - u'0');
        if (value > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace Kestro::Telemetry
