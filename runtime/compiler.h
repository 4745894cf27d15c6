// Small portable wrappers for the few compiler-specific constructs the runtime needs.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#pragma intrinsic(_ReturnAddress)
#define SG_RETURN_ADDRESS() (reinterpret_cast<uint64_t>(_ReturnAddress()))
#define SG_NOINLINE __declspec(noinline)
#else
#define SG_RETURN_ADDRESS() (reinterpret_cast<uint64_t>(__builtin_return_address(0)))
#define SG_NOINLINE __attribute__((noinline))
#endif

// SgDebugPrint formats the counted-string conversions %wZ and %hZ, which the compiler's printf
// checking does not know: calls that use them sit between these two.
#if defined(__GNUC__)
#define SG_COUNTED_FORMAT_BEGIN                                                   \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wformat\"") \
        _Pragma("GCC diagnostic ignored \"-Wformat-extra-args\"")
#define SG_COUNTED_FORMAT_END _Pragma("GCC diagnostic pop")
#else
#define SG_COUNTED_FORMAT_BEGIN
#define SG_COUNTED_FORMAT_END
#endif
