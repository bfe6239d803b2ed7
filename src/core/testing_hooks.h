// Hooks into library internals for the tests and benchmarks: not part of
// the installed headers. Include as "core/testing_hooks.h".
#pragma once

#include <cstddef>

#include "quorra/host/types.h"

class SiteManager;

namespace quorra {

// Replaces the process's site mapping mode for managers made from now on;
// returns the previous mode.
DWORD SetSiteMappingMode(DWORD mode);

// Managers with an entry in the process-wide index A registry.
size_t SiteIndexRegistrySize();
// Entries of a manager's index A (0 when it has none).
size_t SiteIndexASize(const SiteManager* manager);

// Replaces the "DISABLE_IDS_HEAP" value read at load, and answers the
// previous one. Change it only while no MemoryAllocator holds memory: an
// allocator without a private heap that is switched to the private heap would
// free its general-heap blocks to the wrong heap.
bool SetIdsHeapDisabledForTesting(bool disabled);

}  // namespace quorra
