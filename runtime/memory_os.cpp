#include "runtime/memory_os.h"

#include <cstdlib>

extern "C" void* SgPoolOsAlloc(size_t size) { return std::malloc(size); }
