#include "sim/counter_sets.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "sim/simsupport.h"

namespace nvxsim {

namespace {

constexpr wchar_t kDefaultPath[] = L"C:\\nvxsim\\driver\\counters.txt";
constexpr char kDeclareOnly[] = "*";

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

template <typename Names>
int FindName(const Names& names, std::string_view name) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (SameName(names[i], name)) return static_cast<int>(i);
    }
    return -1;
}

bool Fail(std::string* error, std::string reason) {
    *error = std::move(reason);
    return false;
}

}  // namespace

bool ValidName(const std::string& name) {
    return !name.empty() && name.find_first_of(std::string("\\\t\r\n\0", 5)) == std::string::npos;
}

// An optional '-' and 1 to 19 digits within the signed 64-bit range.
bool ParseValue(const std::string& text, int64_t* value) {
    size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    const size_t digits = text.size() - i;
    if (digits == 0 || digits > 19) return false;
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    const bool negative = text[0] == '-';
    if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) return false;
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// "0x" (or "0X") and 1 to 8 hexadecimal digits.
bool ParseStatus(const std::string& text, uint32_t* status) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    uint32_t number = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = Fold(text[i]);
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        number = number * 16 + static_cast<uint32_t>(digit);
    }
    *status = number;
    return true;
}

std::wstring CounterSetsPath() {
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"NVXSIM_PDH_COUNTERS", buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring(kDefaultPath);
}

std::wstring PdhQuirkPath() {
    const std::wstring sets = CounterSetsPath();
    const size_t slash = sets.rfind(L'\\');
    return (slash == std::wstring::npos ? std::wstring() : sets.substr(0, slash + 1)) + L"pdh-quirk.txt";
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

int CounterSet::FindCounter(std::string_view counter) const { return FindName(counters, counter); }

int CounterSet::FindInstance(std::string_view instance) const { return FindName(instances, instance); }

int64_t CounterSet::Value(size_t instance, size_t counter) const {
    auto it = values.find({instance, counter});
    return it == values.end() ? 0 : it->second;
}

uint32_t CounterSet::Status(size_t instance, size_t counter) const {
    auto it = statuses.find({instance, counter});
    return it == statuses.end() ? 0 : it->second;
}

void CounterSet::SetStatus(size_t instance, size_t counter, uint32_t status) {
    if (status == 0) {
        statuses.erase({instance, counter});
    } else {
        statuses[{instance, counter}] = status;
    }
}

void CounterSet::RemoveInstance(size_t instance) {
    if (instance >= instances.size()) return;
    instances.erase(instances.begin() + static_cast<std::ptrdiff_t>(instance));
    auto renumber = [instance](auto& map) {
        std::remove_reference_t<decltype(map)> kept;
        for (const auto& [key, value] : map) {
            if (key.first == instance) continue;
            kept[{key.first > instance ? key.first - 1 : key.first, key.second}] = value;
        }
        map = std::move(kept);
    };
    renumber(values);
    renumber(statuses);
}

const CounterSet* FindSet(const CounterSets& sets, std::string_view name) {
    for (const CounterSet& set : sets) {
        if (SameName(set.name, name)) return &set;
    }
    return nullptr;
}

bool AddRecord(CounterSets& sets, const std::string& object, const std::string& instance, const std::string& counter,
               int64_t value, std::string* error, uint32_t status) {
    if (!ValidName(object)) return Fail(error, "object name empty or with '\\', TAB, CR, LF or NUL");
    if (!ValidName(counter)) return Fail(error, "counter name empty or with '\\', TAB, CR, LF or NUL");
    if (!instance.empty() && !ValidName(instance)) return Fail(error, "instance name with '\\', CR, LF or NUL");
    const bool hasInstances = !instance.empty();
    CounterSet* set = nullptr;
    for (CounterSet& existing : sets) {
        if (SameName(existing.name, object)) set = &existing;
    }
    if (set == nullptr) {
        set = &sets.emplace_back();
        set->name = object;
        set->hasInstances = hasInstances;
    } else if (set->hasInstances != hasInstances) {
        return Fail(error, "set \"" + set->name + "\" is given both with and without instances");
    }
    int c = set->FindCounter(counter);
    if (c < 0) {
        c = static_cast<int>(set->counters.size());
        set->counters.push_back(counter);
    }
    if (instance == kDeclareOnly) return status == 0 || Fail(error, "a \"*\" declaration has no status");
    int i = 0;
    if (hasInstances) {
        i = set->FindInstance(instance);
        if (i < 0) {
            i = static_cast<int>(set->instances.size());
            set->instances.push_back(instance);
        }
    }
    if (!set->values.emplace(std::make_pair(size_t(i), size_t(c)), value).second) {
        return Fail(error, "a second value for \"" + counter + "\" of \"" + instance + "\" in \"" + set->name + "\"");
    }
    set->SetStatus(size_t(i), size_t(c), status);
    return true;
}

std::string FormatCounterSets(const CounterSets& sets) {
    std::string text;
    auto line = [&text](const std::string& set, const std::string& instance, const std::string& counter,
                        const std::string& value, uint32_t status = 0) {
        text += set + "\t" + instance + "\t" + counter + "\t" + value;
        if (status != 0) {
            char hex[11];
            snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
            text += std::string("\t") + hex;
        }
        text += "\n";
    };
    for (const CounterSet& set : sets) {
        if (set.hasInstances && set.instances.empty()) {
            for (const std::string& counter : set.counters) line(set.name, kDeclareOnly, counter, "");
            continue;
        }
        const size_t rows = set.hasInstances ? set.instances.size() : 1;
        for (size_t i = 0; i < rows; ++i) {
            for (size_t c = 0; c < set.counters.size(); ++c) {
                line(set.name, set.hasInstances ? set.instances[i] : std::string(), set.counters[c],
                     std::to_string(set.Value(i, c)), set.Status(i, c));
            }
        }
    }
    return text;
}

bool ParseCounterSets(const std::string& text, CounterSets* sets, std::string* error) {
    CounterSets parsed;
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string record = text.substr(start, end - start);
        start = end + 1;
        if (!record.empty() && record.back() == '\r') record.pop_back();
        if (record.empty() || record[0] == '#') continue;

        std::vector<std::string> fields;
        for (size_t from = 0;;) {
            const size_t tab = record.find('\t', from);
            fields.push_back(record.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos) break;
            from = tab + 1;
        }
        std::string reason;
        int64_t value = 0;
        uint32_t status = 0;
        if (fields.size() != 4 && fields.size() != 5) {
            reason = "expected 4 or 5 TAB-separated fields, found " + std::to_string(fields.size());
        } else if (fields[1] == kDeclareOnly ? !fields[3].empty() : !ParseValue(fields[3], &value)) {
            reason = fields[1] == kDeclareOnly ? "a \"*\" declaration takes no value"
                                               : "value \"" + fields[3] + "\" is not a signed 64-bit decimal number";
        } else if (fields.size() == 5 && !ParseStatus(fields[4], &status)) {
            reason = "status \"" + fields[4] + "\" is not 0x and 1 to 8 hexadecimal digits";
        } else {
            AddRecord(parsed, fields[0], fields[1], fields[2], value, &reason, status);
        }
        if (!reason.empty()) {
            *error = "line " + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    *sets = std::move(parsed);
    return true;
}

bool ReadTextFile(const std::wstring& path, std::string* text, bool* missing, std::string* error) {
    text->clear();
    *missing = false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            *missing = true;
            return true;
        }
        *error = Utf8(path) + ": open failed, error " + std::to_string(code);
        return false;
    }
    char buffer[16384];
    DWORD got = 0;
    BOOL ok;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) text->append(buffer, got);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok) {
        *error = Utf8(path) + ": read failed, error " + std::to_string(code);
        return false;
    }
    return true;
}

bool ReadCounterSetsFile(const std::wstring& path, CounterSets* sets, std::string* error) {
    std::string text;
    bool missing = false;
    if (!ReadTextFile(path, &text, &missing, error)) return false;
    if (missing) {
        sets->clear();
        return true;
    }
    if (!ParseCounterSets(text, sets, error)) {
        *error = Utf8(path) + ": " + *error;
        return false;
    }
    return true;
}

bool WriteCounterSetsFile(const std::wstring& path, const CounterSets& sets, std::string* error) {
    return ReplaceFileText(path, FormatCounterSets(sets), error);
}

}  // namespace nvxsim
