// The hourly telemetry snapshot: where the NVX driver and a few other known filters sit in the
// Filter Manager stack of the system volume, written as one line of "key":number pairs to
// <ProgramData>\Kestro\Vantor\telemetry.log (replaced each time).
//
// InitTelemetry starts a periodic task (a snapshot at once, then every hour) that lives until
// the process ends; the service's shutdown does not stop it. Filter Manager failures only
// shorten the line and go to the debugger output (DebugTrace), never to the debug log; file
// failures are logged under Telemetry at Error.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace Kestro::Telemetry {

// One minifilter instance whose frame and altitude are reported (altitude 0: not found).
struct WatchedInstance {
    const wchar_t* filterName;
    const wchar_t* instanceName;
    const char* frameKey;
    const char* altitudeKey;
    uint32_t frame;
    uint32_t altitude;
};

// One legacy filter whose altitude is reported (0: not found).
struct WatchedLegacyFilter {
    const wchar_t* filterName;
    const char* altitudeKey;
    uint32_t altitude;
};

constexpr int kWatchedInstanceCount = 5;
constexpr int kWatchedLegacyFilterCount = 3;
constexpr uint32_t kNoFrame = 0xFFFFFFFF;

// The output line of the three tables: "NumFrames" first, then every instance and legacy
// filter found, in table order.
void WriteTelemetryText(std::ostream& out, const WatchedInstance (&instances)[kWatchedInstanceCount],
                        const WatchedLegacyFilter (&legacy)[kWatchedLegacyFilterCount], uint32_t frameCount);

// Walks the Filter Manager's filters and fills the tables and the frame count (the highest
// FrameID of all minifilters, set only when the walk reaches the end of the list). An entry that
// does not fit the bytes returned (or the buffer, when more are claimed), one of an unknown kind
// and a FilterFindNext failure end the walk with one DebugTrace line each; what was found stays.
void getDriverTelemetryInformation(WatchedInstance* instances, const wchar_t* volume, uint32_t volumeChars,
                                   WatchedLegacyFilter* legacy, uint32_t* frameCount);
// Walks one filter's instances for the instance on the volume; a later match overwrites. An
// entry that does not fit ends the walk with a DebugTrace line; entries of another kind than
// minifilter instance are passed over, and a FilterInstanceFindNext failure ends it quietly, as
// the end of the list does.
void GetInstanceAltitudeAndFrame(const wchar_t* filterName, const wchar_t* instanceName, const wchar_t* volume,
                                 uint32_t volumeChars, uint32_t* frame, uint32_t* altitude);
// The system drive's NT device name (for example \Device\HarddiskVolume3) into a buffer of 260
// characters; false when "SystemDrive" is not a two-character value or has no device.
bool GetSystemDriveDevice(wchar_t (&device)[260], uint32_t* chars);
// Collects and writes the whole line.
void GetDriverTelemetry(std::ostream& out);
// <ProgramData>\Kestro; on failure writes to the fallback text log and throws.
std::wstring GetCommonDataDirectory();
// One snapshot into telemetry.log.
void GetTelemetryAndWriteToFile();
// printf into a 1000-byte buffer, then OutputDebugStringA.
void DebugTrace(const char* format, ...);

}  // namespace Kestro::Telemetry

// Starts the hourly task (main thread); true when it exists, false after a failure that the main
// loop retries.
bool InitTelemetry();
