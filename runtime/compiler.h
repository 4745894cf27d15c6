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
