// The shared helpers of the simulated machine (see simsupport.h).
#include "sim/simsupport.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace nvxsim {

void PrintLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Utf8(const wchar_t* text) { return text == nullptr ? std::string() : Utf8(std::wstring(text)); }

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

bool ValidUtf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        size_t extra;
        uint8_t low = 0x80, high = 0xBF;  // range of the second byte
        if (c < 0x80) {
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t b = p[i + k];
            if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string HexOf(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
    return out;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0) return false;
            continue;
        } else {
            return false;
        }
        if (high < 0) {
            high = digit;
        } else {
            out->push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    *value = v;
    return true;
}

void MakeDirectories(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

bool ReplaceFileText(const std::wstring& path, const std::string& text, std::string* error) {
    const std::wstring next = path + L".new";
    HANDLE file = CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = Utf8(next) + ": create failed, error " + std::to_string(GetLastError());
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok || written != text.size()) {
        *error = Utf8(next) + ": write failed, error " + std::to_string(code);
        DeleteFileW(next.c_str());
        return false;
    }
    // A file that a reader holds open cannot be replaced (access denied, whatever the reader's
    // share mode); readers hold it only while they read it, so the rename is made again until
    // the reader has let go, for at most about 2 s.
    DWORD renameError = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
        renameError = GetLastError();
        if (renameError != ERROR_ACCESS_DENIED && renameError != ERROR_SHARING_VIOLATION) break;
        Sleep(10);
    }
    *error = Utf8(path) + ": rename into place failed, error " + std::to_string(renameError);
    DeleteFileW(next.c_str());
    return false;
}

std::string Quote(const uint8_t* p, size_t n) {
    const bool utf8 = ValidUtf8(p, n);
    std::string out = "\"";
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = p[i];
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Quote(const std::string& text) { return Quote(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }

Json& Json::Str(const char* key, const std::string& value) {
    Key(key);
    body_ += Quote(value);
    return *this;
}

Json& Json::Bytes(const char* key, const uint8_t* p, size_t n) {
    Key(key);
    body_ += Quote(p, n);
    return *this;
}

Json& Json::Num(const char* key, uint64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

Json& Json::Bool(const char* key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

Json& Json::Raw(const char* key, const std::string& json) {
    Key(key);
    body_ += json;
    return *this;
}

void Json::Key(const char* key) {
    if (!body_.empty()) body_ += ',';
    body_ += '"';
    body_ += key;
    body_ += "\":";
}

void PrintLine(const std::string& line) {
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int PrintError(int exitCode, const std::string& why) {
    PrintLine(Json().Str("event", "error").Str("error", why).Text());
    return exitCode;
}

}  // namespace nvxsim
