// Node memory filled ahead of need. Handing fresh memory to a process
// costs the kernel a page fault and a zeroed page for every page, which is
// as much time as building the occurrences that go into it. A background
// thread maps and fills the next chunks while the building thread works,
// so on a machine with a spare core the two overlap.
//
// The building thread never waits for the stock: when it is empty (or
// busy), the caller maps its own chunk. The stock holds a few chunks at
// most, and it is started only by arenas that have grown large.
#pragma once

#include <cstddef>

namespace quorra {

// Maps `size` bytes aligned to `size` (a power of two); null on failure.
void* MapAlignedChunk(size_t size);
// Faults every page of a mapped chunk in. (Transparent huge pages were
// tried: the kernel often had to compact memory to make them, and loads of
// 10^6 occurrences took 1.0-1.5 s instead of 0.56-0.69 s.)
void FillChunk(void* chunk, size_t size);

class ChunkStock {
 public:
  // Chunks of OccurrenceArena::kChunkSize bytes.
  static ChunkStock& Instance();
  // The most chunks the stock holds.
  static constexpr size_t kCapacity = 8;

  // A mapped, filled chunk, or null when none is ready. Never blocks.
  void* Take();
  // Keeps a chunk that is no longer needed when there is room for it;
  // false when the caller must unmap it.
  bool Give(void* chunk);

 private:
  ChunkStock() = default;
  void StartOnce();
  void Run();
  struct State;
  State* state_ = nullptr;
};

}  // namespace quorra
