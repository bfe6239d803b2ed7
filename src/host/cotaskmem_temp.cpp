// Temporary task-memory allocator so the storage code links on its own; the
// COM host layer provides the real one.
#include <cstdlib>

#include "quorra/host/storage.h"

extern "C" void* CoTaskMemAlloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }
extern "C" void CoTaskMemFree(void* p) { std::free(p); }
