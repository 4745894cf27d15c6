// Reading one DWORD setting from an open registry key, with the three outcomes every caller
// tells apart: present, missing, or present with the wrong type or size.
#pragma once

#include <windows.h>

#include <cstdint>

enum SgRegDword : int {
    SG_REG_DWORD_OK = 0,          // a 4-byte REG_DWORD; *value holds it
    SG_REG_DWORD_MISSING = 1,     // no such value, or it could not be read; *value is 0
    SG_REG_DWORD_WRONG_TYPE = 2,  // another type or size (a value over 4 bytes included); *value holds
                                  // the bytes read, zero-extended (0 when there were more than 4)
};

SgRegDword SgReadRegistryDword(HKEY key, const wchar_t* name, uint32_t* value);
