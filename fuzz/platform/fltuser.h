// The Filter Manager's enumeration records as the user-mode header declares them, with the
// Windows layout (telemetry/filter_records.cpp asserts the offsets it depends on). Only the
// records and flags the record readers use; no calls.
#pragma once

#include <windows.h>

typedef enum _FLT_FILESYSTEM_TYPE { FLT_FSTYPE_UNKNOWN, FLT_FSTYPE_RAW, FLT_FSTYPE_NTFS } FLT_FILESYSTEM_TYPE;

#define FLTFL_ASI_IS_MINIFILTER 1
#define FLTFL_ASI_IS_LEGACYFILTER 2
#define FLTFL_IASI_IS_MINIFILTER 1
#define FLTFL_IASI_IS_LEGACYFILTER 2

typedef struct _FILTER_AGGREGATE_STANDARD_INFORMATION {
    ULONG NextEntryOffset;
    ULONG Flags;
    union {
        struct {
            ULONG Flags;
            ULONG FrameID;
            ULONG NumberOfInstances;
            USHORT FilterNameLength;
            USHORT FilterNameBufferOffset;
            USHORT FilterAltitudeLength;
            USHORT FilterAltitudeBufferOffset;
        } MiniFilter;
        struct {
            ULONG Flags;
            USHORT FilterNameLength;
            USHORT FilterNameBufferOffset;
            USHORT FilterAltitudeLength;
            USHORT FilterAltitudeBufferOffset;
        } LegacyFilter;
    } Type;
} FILTER_AGGREGATE_STANDARD_INFORMATION, *PFILTER_AGGREGATE_STANDARD_INFORMATION;

typedef struct _INSTANCE_AGGREGATE_STANDARD_INFORMATION {
    ULONG NextEntryOffset;
    ULONG Flags;
    union {
        struct {
            ULONG Flags;
            ULONG FrameID;
            FLT_FILESYSTEM_TYPE VolumeFileSystemType;
            USHORT InstanceNameLength;
            USHORT InstanceNameBufferOffset;
            USHORT AltitudeLength;
            USHORT AltitudeBufferOffset;
            USHORT VolumeNameLength;
            USHORT VolumeNameBufferOffset;
            USHORT FilterNameLength;
            USHORT FilterNameBufferOffset;
            ULONG SupportedFeatures;
        } MiniFilter;
        struct {
            ULONG Flags;
            USHORT AltitudeLength;
            USHORT AltitudeBufferOffset;
            USHORT VolumeNameLength;
            USHORT VolumeNameBufferOffset;
            USHORT FilterNameLength;
            USHORT FilterNameBufferOffset;
            ULONG SupportedFeatures;
        } LegacyFilter;
    } Type;
} INSTANCE_AGGREGATE_STANDARD_INFORMATION, *PINSTANCE_AGGREGATE_STANDARD_INFORMATION;

static_assert(sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION) == 28, "the Windows layout");
static_assert(sizeof(INSTANCE_AGGREGATE_STANDARD_INFORMATION) == 40, "the Windows layout");
