// The fltlib.dll stand-in's lie file (see fltlib_lie.h).
#include "sim/fltlib_lie.h"

#include <string>
#include <vector>

#include "sim/filter_stack.h"
#include "sim/simsupport.h"

namespace nvxsim {

namespace {

struct KindName {
    LieKind kind;
    const char* name;
    bool hasOwnWalk;  // the kind belongs to one walk only
    LieWalk ownWalk;
};

constexpr KindName kKinds[] = {
    {LieKind::kNameLength, "name-length", false, LieWalk::kFilters},
    {LieKind::kNameOffset, "name-offset", false, LieWalk::kFilters},
    {LieKind::kOddNameLength, "odd-name-length", false, LieWalk::kFilters},
    {LieKind::kReturnedPastBuffer, "returned-past-buffer", false, LieWalk::kFilters},
    {LieKind::kUnknownType, "unknown-type", false, LieWalk::kFilters},
    {LieKind::kNoInstanceName, "no-instance-name", true, LieWalk::kInstances},
    {LieKind::kFilterNextFails, "filter-next-fails", true, LieWalk::kFilters},
    {LieKind::kInstanceNextFails, "instance-next-fails", true, LieWalk::kInstances},
};

bool Number32(const std::string& text, uint32_t* value) {
    uint64_t n = 0;
    if (!ParseNumber(text, &n) || n > 0xFFFFFFFFu) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

}  // namespace

std::wstring FltlibLiePath() {
    const std::wstring stack = FilterStackPath();
    const size_t slash = stack.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : stack.substr(0, slash + 1)) + L"fltlib-lie.txt";
}

bool ParseFltlibLie(const std::string& text, FltlibLie* lie, std::string* error) {
    std::vector<std::string> words;
    const auto lines = RecordLines(text);
    for (const auto& [number, line] : lines) {
        size_t at = 0;
        while (at < line.size()) {
            const size_t blank = line.find(' ', at);
            const std::string word = line.substr(at, blank == std::string::npos ? std::string::npos : blank - at);
            if (!word.empty()) words.push_back(word);
            if (blank == std::string::npos) break;
            at = blank + 1;
        }
    }
    if (lines.size() != 1) {
        *error = "a lie is exactly one line of KEY=VALUE words, not " + std::to_string(lines.size());
        return false;
    }
    FltlibLie parsed;
    const KindName* kind = nullptr;
    bool walkGiven = false;
    for (const std::string& word : words) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
        if (eq == std::string::npos || value.empty()) {
            *error = "\"" + word + "\" is no KEY=VALUE word";
            return false;
        }
        if (key == "kind") {
            for (const KindName& k : kKinds) {
                if (value == k.name) kind = &k;
            }
            if (kind == nullptr) {
                *error = "unknown kind \"" + value + "\"";
                return false;
            }
            parsed.kind = kind->kind;
        } else if (key == "walk") {
            if (value != "filters" && value != "instances") {
                *error = "walk is filters or instances, not \"" + value + "\"";
                return false;
            }
            parsed.walk = value == "filters" ? LieWalk::kFilters : LieWalk::kInstances;
            walkGiven = true;
        } else if (key == "after" || key == "error") {
            if (!Number32(value, key == "after" ? &parsed.after : &parsed.error)) {
                *error = key + " is an unsigned 32-bit number, not \"" + value + "\"";
                return false;
            }
        } else {
            *error = "unknown key \"" + key + "\" (kind, walk, after, error)";
            return false;
        }
    }
    if (kind == nullptr) {
        *error = "no kind=KIND";
        return false;
    }
    if (kind->hasOwnWalk) {
        if (walkGiven && parsed.walk != kind->ownWalk) {
            *error = std::string(kind->name) + " concerns the " +
                     (kind->ownWalk == LieWalk::kFilters ? "filters" : "instances") + " walk only";
            return false;
        }
        parsed.walk = kind->ownWalk;
    }
    if (parsed.error == 0 || parsed.error > 0xFFFF) {
        *error = "error is a Win32 error code, 1 to 65535";
        return false;
    }
    if ((parsed.kind == LieKind::kFilterNextFails || parsed.kind == LieKind::kInstanceNextFails) && parsed.after == 0) {
        *error = std::string(kind->name) + " needs after=N of at least 1 (FindFirst delivers the first entry)";
        return false;
    }
    *lie = parsed;
    return true;
}

bool ReadFltlibLie(const std::wstring& path, FltlibLie* lie, std::string* error) {
    return ReadParsedSimFile(path, lie, ParseFltlibLie, error);
}

}  // namespace nvxsim
