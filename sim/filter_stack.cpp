#include "sim/filter_stack.h"

#include <cstdint>
#include <string>
#include <vector>

#include "sim/simsupport.h"

namespace nvxsim {

namespace {

constexpr size_t kNameMaxChars = 255;     // FILTER_NAME_MAX_CHARS, INSTANCE_NAME_MAX_CHARS
constexpr size_t kVolumeMaxChars = 1024;  // VOLUME_NAME_MAX_CHARS

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

bool IsAltitude(const std::string& text) {
    if (text.size() > kNameMaxChars) return false;
    size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == 0) return false;
    if (i == text.size()) return true;
    if (text[i] != '.' || i + 1 == text.size()) return false;
    for (++i; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

bool IsFrame(const std::string& text, uint32_t* frame) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) return false;
    *frame = static_cast<uint32_t>(value);
    return true;
}

// A name field as UTF-16: well-formed UTF-8, no control characters, at most `maxChars` units.
bool IsName(const std::string& text, size_t maxChars, std::wstring* name) {
    if (!ValidUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size())) return false;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    *name = Wide(text);
    return !name->empty() && name->size() <= maxChars;
}

struct PendingInstance {
    std::wstring filter;
    StackInstance instance;
    bool hasFrame = false;
    size_t line = 0;
};

std::string At(size_t line, const std::string& why) { return "line " + std::to_string(line) + ": " + why; }

}  // namespace

const StackFilter* FilterStack::FindMinifilter(const std::wstring& name) const {
    for (const StackFilter& filter : filters) {
        if (!filter.legacy && SameName(filter.name, name)) return &filter;
    }
    return nullptr;
}

std::wstring FilterStackPath() {
    wchar_t value[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"NVXSIM_FILTER_STACK", value, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::wstring(L"C:\\nvxsim\\driver\\filters.txt") : std::wstring(value);
}

std::vector<std::pair<size_t, std::string>> RecordLines(const std::string& text) {
    std::vector<std::pair<size_t, std::string>> lines;
    size_t start = 0;
    for (size_t number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') lines.emplace_back(number, std::move(line));
    }
    return lines;
}

bool ParseFilterStack(const std::string& text, FilterStack* stack, std::string* error) {
    FilterStack parsed;
    std::vector<PendingInstance> pending;
    for (const auto& [number, line] : RecordLines(text)) {
        const std::vector<std::string> f = SplitTabs(line);
        if (f[0] == "minifilter" || f[0] == "legacy") {
            const bool legacy = f[0] == "legacy";
            if (f.size() != (legacy ? 3u : 4u)) {
                *error = At(number, f[0] + " takes " + (legacy ? "2" : "3") + " TAB-separated fields");
                return false;
            }
            StackFilter filter;
            filter.legacy = legacy;
            if (!IsName(f[1], kNameMaxChars, &filter.name)) {
                *error = At(number, "the filter name is empty, too long or not text");
                return false;
            }
            const std::string& altitude = legacy ? f[2] : f[3];
            if (!IsAltitude(altitude)) {
                *error = At(number, "the altitude is not digits with an optional fraction");
                return false;
            }
            filter.altitude = Wide(altitude);
            if (!legacy && !IsFrame(f[2], &filter.frame)) {
                *error = At(number, "the frame is not an unsigned 32-bit number");
                return false;
            }
            for (const StackFilter& other : parsed.filters) {
                if (SameName(other.name, filter.name)) {
                    *error = At(number, "a second filter named " + f[1]);
                    return false;
                }
            }
            parsed.filters.push_back(std::move(filter));
        } else if (f[0] == "instance") {
            if (f.size() != 5 && f.size() != 6) {
                *error = At(number, "instance takes 4 or 5 TAB-separated fields");
                return false;
            }
            PendingInstance p;
            p.line = number;
            if (!IsName(f[1], kNameMaxChars, &p.filter) || !IsName(f[2], kNameMaxChars, &p.instance.name)) {
                *error = At(number, "the filter or instance name is empty, too long or not text");
                return false;
            }
            if (!IsAltitude(f[3])) {
                *error = At(number, "the altitude is not digits with an optional fraction");
                return false;
            }
            p.instance.altitude = Wide(f[3]);
            if (!IsName(f[4], kVolumeMaxChars, &p.instance.volume)) {
                *error = At(number, "the volume name is empty, too long or not text");
                return false;
            }
            p.hasFrame = f.size() == 6;
            if (p.hasFrame && !IsFrame(f[5], &p.instance.frame)) {
                *error = At(number, "the frame is not an unsigned 32-bit number");
                return false;
            }
            pending.push_back(std::move(p));
        } else {
            *error = At(number, "unknown kind \"" + f[0] + "\" (minifilter, legacy or instance)");
            return false;
        }
    }

    for (PendingInstance& p : pending) {
        StackFilter* owner = nullptr;
        for (StackFilter& filter : parsed.filters) {
            if (!filter.legacy && SameName(filter.name, p.filter)) owner = &filter;
        }
        if (owner == nullptr) {
            *error = At(p.line, "no minifilter named " + Utf8(p.filter));
            return false;
        }
        if (!p.hasFrame) p.instance.frame = owner->frame;
        owner->instances.push_back(std::move(p.instance));
    }
    *stack = std::move(parsed);
    return true;
}

bool ReadSimFile(const std::wstring& path, std::string* text, bool* missing, std::string* error) {
    *missing = false;
    text->clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            *missing = true;
            return true;
        }
        *error = "cannot open " + Utf8(path) + ": error " + std::to_string(code);
        return false;
    }
    char chunk[4096];
    DWORD got = 0;
    BOOL ok;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got != 0) text->append(chunk, got);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok) {
        *error = "cannot read " + Utf8(path) + ": error " + std::to_string(code);
        return false;
    }
    return true;
}

bool ReadFilterStack(const std::wstring& path, FilterStack* stack, std::string* error) {
    return ReadParsedSimFile(path, stack, ParseFilterStack, error);
}

std::string FormatFilterStack(const FilterStack& stack) {
    std::string text;
    for (const StackFilter& filter : stack.filters) {
        if (filter.legacy) {
            text += "legacy\t" + Utf8(filter.name) + "\t" + Utf8(filter.altitude) + "\n";
            continue;
        }
        text += "minifilter\t" + Utf8(filter.name) + "\t" + std::to_string(filter.frame) + "\t" +
                Utf8(filter.altitude) + "\n";
        for (const StackInstance& instance : filter.instances) {
            text += "instance\t" + Utf8(filter.name) + "\t" + Utf8(instance.name) + "\t" + Utf8(instance.altitude) +
                    "\t" + Utf8(instance.volume) + "\t" + std::to_string(instance.frame) + "\n";
        }
    }
    return text;
}

bool WriteFilterStack(const std::wstring& path, const FilterStack& stack, std::string* error) {
    return ReplaceFileText(path, FormatFilterStack(stack), error);
}

}  // namespace nvxsim
