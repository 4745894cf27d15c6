// The small helpers every program of the simulated machine shares: HRESULTs from Win32 errors,
// UTF-8 and UTF-16 text, hexadecimal and numbers, little-endian byte views, directories, and the
// JSON objects the programs print and record. Each is defined once, here; none keeps state.
//
// Guarantees: conversions never fail on well-formed input and give "" for empty input; parsers
// take the whole text or report false without a partial result; JSON text is always valid JSON,
// whatever bytes went in.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace nvxsim {

// ---- errors

// The HRESULT of a Win32 error (HRESULT_FROM_WIN32), S_OK for 0.
constexpr HRESULT Win32Hr(DWORD error) {
    return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// ---- text

std::string Utf8(const std::wstring& text);
std::string Utf8(const wchar_t* text);  // nullptr gives ""
std::wstring Wide(const std::string& utf8);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool ValidUtf8(const uint8_t* p, size_t n);

// ---- output

// printf to standard output, then a newline and a flush: a reader on the host side (a pipe) sees
// each line when it is written, and nothing is lost if the program is killed.
void PrintLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- hexadecimal and numbers

// Two lower-case digits a byte, nothing between.
std::string HexOf(const uint8_t* p, size_t n);
// "0x" and eight upper-case digits.
std::string Hex32(uint32_t value);
// Pairs of hexadecimal digits, optionally separated by ' ', ':' or '-' between pairs.
bool ParseHex(const std::string& text, std::vector<uint8_t>* out);
// A whole unsigned number: decimal, 0x hexadecimal or 0 octal; no sign.
bool ParseNumber(const std::string& text, uint64_t* value);

// ---- byte views (little-endian, as on the wire)

inline uint32_t GetU32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Appends the bytes of a plain record (a packed frame or message).
template <typename T>
void PutRecord(std::vector<uint8_t>& out, const T& record) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    out.insert(out.end(), bytes, bytes + sizeof record);
}

// Copies a plain record from the front of `bytes`; false when there are fewer bytes than it has.
template <typename T>
bool GetRecord(const std::vector<uint8_t>& bytes, T* record) {
    if (bytes.size() < sizeof *record) return false;
    memcpy(record, bytes.data(), sizeof *record);
    return true;
}

// ---- files

// Makes a directory and its parents (a drive-letter path); existing ones are left as they are.
void MakeDirectories(const std::wstring& path);

// Replaces the file at `path` with `text` in one rename (written to `path`.new first), so a reader
// sees the old content or the new, never a mix; a reader that holds the file open is waited for.
// False with the reason in `error`.
bool ReplaceFileText(const std::wstring& path, const std::string& text, std::string* error);

// ---- JSON

// A JSON string of bytes: as UTF-8 when they are, otherwise each byte as a Latin-1 character.
std::string Quote(const uint8_t* p, size_t n);
std::string Quote(const std::string& text);

// One JSON object, built field by field in the order given.
class Json {
public:
    Json& Str(const char* key, const std::string& value);
    Json& Bytes(const char* key, const uint8_t* p, size_t n);
    Json& Num(const char* key, uint64_t value);
    Json& Bool(const char* key, bool value);
    Json& Raw(const char* key, const std::string& json);  // `json` is already JSON text
    std::string Text() const { return "{" + body_ + "}"; }
    const std::string& Body() const { return body_; }  // the fields without the braces

private:
    void Key(const char* key);
    std::string body_;
};

// Writes one line to standard output and flushes it, so a reader on a pipe sees it at once.
void PrintLine(const std::string& line);
// Prints {"event":"error","error":why} as one line; returns exitCode.
int PrintError(int exitCode, const std::string& why);

}  // namespace nvxsim
