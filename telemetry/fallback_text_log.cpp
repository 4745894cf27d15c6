#include "telemetry/fallback_text_log.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <new>
#include <vector>

#include "runtime/identity.h"

namespace Kestro::Telemetry {

namespace {

constexpr DWORD kLongestPath = 32767;
const wchar_t* const kLevelNames[] = {L"INFO", L"INFO_EXTERNAL", L"ERROR", L"WARNING"};

const wchar_t* LevelName(TextLogLevel level) {
    const auto index = static_cast<uint32_t>(level);
    return index < sizeof(kLevelNames) / sizeof(kLevelNames[0]) ? kLevelNames[index] : L"UNKNOWN";
}

std::wstring ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= kLongestPath) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2 > kLongestPath ? kLongestPath : buffer.size() * 2);
    }
}

std::wstring TemporaryDirectory() {
    const DWORD needed = GetTempPathW(0, nullptr);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0 || length >= buffer.size()) return {};
    return std::wstring(buffer.data(), length);
}

// Appends text to the file as UTF-16LE with every "\n" stored as CR LF. The file is created when
// missing and then starts with the byte-order mark; others may read and write it meanwhile, as
// with the C runtime's own opens. onNew, when given, makes the text that goes first into a new
// file (below 3 bytes, so empty or holding only the mark).
bool AppendText(const std::wstring& path, const std::wstring& text, std::wstring (*onNew)() = nullptr) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    LARGE_INTEGER zero{};
    bool ok = GetFileSizeEx(file, &size) && SetFilePointerEx(file, zero, nullptr, FILE_END);
    if (ok) {
        try {
            const std::wstring lines = onNew != nullptr && size.QuadPart < 3 ? onNew() + text : text;
            std::wstring content;
            if (size.QuadPart == 0) content.push_back(L'\xFEFF');
            for (const wchar_t c : lines) {
                if (c == L'\n') content.push_back(L'\r');
                content.push_back(c);
            }
            static_assert(sizeof(wchar_t) == 2, "the file holds the UTF-16 code units as they are in memory");
            const auto bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
            DWORD written = 0;
            ok = bytes == 0 || (WriteFile(file, content.data(), bytes, &written, nullptr) && written == bytes);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    CloseHandle(file);
    return ok;
}

// The message of a line; false when there was no memory for it. A format the C runtime rejects
// gives an empty message.
bool FormatText(const wchar_t* format, va_list args, std::wstring* text) noexcept {
    va_list counting;
    va_copy(counting, args);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) return true;
    try {
        text->resize(static_cast<size_t>(length) + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    va_list writing;
    va_copy(writing, args);
    _vsnwprintf(text->data(), text->size(), format, writing);
    va_end(writing);
    text->resize(static_cast<size_t>(length));
    return true;
}

std::wstring StartedLine() { return L"Started " + ExecutablePath() + L"\n"; }

}  // namespace

std::wstring LocalDateTimeText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t date[128];
    wchar_t time[128];
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, 128) == 0 ||
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 128) == 0) {
        return L"Invalid DateTime";
    }
    return std::wstring(date) + L" " + time;
}

std::wstring FallbackTextLogFileName(const std::wstring& dateTime) {
    std::wstring safe = dateTime;
    for (wchar_t& c : safe) {
        if (c == L'/') c = L'-';
        if (c == L':') c = L'_';
    }
    return std::wstring(kProductName) + L" " + safe + L".log";
}

FallbackTextLog::FallbackTextLog(std::wstring path) : path_(std::move(path)) {
    if (!path_.empty()) AppendText(path_, L"", StartedLine);
}

void FallbackTextLog::LogLine(TextLogLevel level, const wchar_t* format, ...) noexcept {
    if (path_.empty() || format == nullptr) return;
    va_list args;
    va_start(args, format);
    std::wstring message;
    const bool formatted = FormatText(format, args, &message);
    va_end(args);
    if (!formatted) return;
    try {
        AppendText(path_, LocalDateTimeText() + L", " + LevelName(level) + L" : " + message + L"\n");
    } catch (const std::bad_alloc&) {
        // The line is lost; the caller goes on.
    }
}

FallbackTextLog& GetFallbackTextLog() {
    static FallbackTextLog* const instance = [] {
        const std::wstring directory = TemporaryDirectory();
        return new FallbackTextLog(directory.empty() ? std::wstring()
                                                     : directory + FallbackTextLogFileName(LocalDateTimeText()));
    }();
    return *instance;
}

}  // namespace Kestro::Telemetry
