#include "runtime/registry.h"

#include <cstring>

SgRegDword SgReadRegistryDword(HKEY key, const wchar_t* name, uint32_t* value) {
    DWORD type = 0;
    uint8_t data[sizeof(uint32_t)] = {};
    DWORD size = sizeof(data);
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, data, &size);
    *value = 0;
    // ERROR_MORE_DATA: the value exists but is larger than a DWORD.
    if (rc == ERROR_MORE_DATA) return SG_REG_DWORD_WRONG_TYPE;
    if (rc != ERROR_SUCCESS) return SG_REG_DWORD_MISSING;
    memcpy(value, data, size < sizeof(data) ? size : sizeof(data));
    return type == REG_DWORD && size == sizeof(data) ? SG_REG_DWORD_OK : SG_REG_DWORD_WRONG_TYPE;
}
