// Node memory of occurrences. A tree builds up to millions of occurrences
// at once and frees them together, so they come from chunks of one size
// class instead of the general heap:
// - chunks are 2 MiB, aligned to 2 MiB, so a node finds its chunk (and the
//   chunk its arena) from its own address, and Free needs no tree;
// - each chunk holds slots of one of two sizes, a part's and an assembly's,
//   so that parts (most of a tree) do not pay for the assembly's children
//   list;
// - once an arena is large, new chunks come faulted in ahead of need from a
//   background thread (core/chunk_stock.h), which saves the builder most of
//   the page faults of filling hundreds of megabytes;
// - slots are handed out in allocation order, so a tree built depth first
//   lies in memory in the order a walk visits it;
// - a chunk whose slots are all free goes back to the system.
// A tree's arena is used by the thread that owns the tree; the process-wide
// arena behind a plain `new` of an occurrence is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

class OccurrenceManager;

namespace quorra {

class OccurrenceArena {
 public:
  // The two slot sizes: objects up to kSmallSlotSize bytes (parts) and up to
  // kSlotSize bytes (assemblies). Neither is a power of two: walks touching
  // the first line of nodes spaced 256 bytes apart run far slower than at
  // any nearby spacing.
  static constexpr size_t kSmallSlotSize = 232;
  static constexpr size_t kSlotSize = 248;
  static constexpr size_t kChunkSize = size_t{2} << 20;

  explicit OccurrenceArena(bool shared = false) : shared_(shared) {}
  OccurrenceArena(const OccurrenceArena&) = delete;
  OccurrenceArena& operator=(const OccurrenceArena&) = delete;
  // Returns every chunk to the system; the nodes must be gone.
  ~OccurrenceArena();

  // A slot for an object of `size` bytes (at most kSlotSize), or null.
  void* Allocate(size_t size);
  // Returns a slot to the arena it came from.
  static void Free(void* slot);

  // The arena behind occurrences made with a plain `new`.
  static OccurrenceArena& Shared();

  size_t GetChunkCount() const { return chunkCount_; }
  size_t GetSlotsInUse() const { return slotsInUse_; }

 private:
  struct FreeSlot {
    FreeSlot* next;
  };
  struct Chunk;

  static constexpr int kSizeClasses = 2;
  static int SizeClassOf(size_t size) { return size <= kSmallSlotSize ? 0 : 1; }
  static constexpr size_t SlotSizeOf(int sizeClass) { return sizeClass == 0 ? kSmallSlotSize : kSlotSize; }

  void* AllocateLocked(int sizeClass);
  void FreeLocked(Chunk* chunk, void* slot);
  Chunk* NewChunk(int sizeClass);
  void ReleaseChunk(Chunk* chunk);

  const bool shared_;
  std::mutex mutex_;          // taken only by the shared arena
  Chunk* all_ = nullptr;      // every chunk, newest first
  Chunk* current_[kSizeClasses] = {};  // the chunk new slots are cut from
  Chunk* partial_[kSizeClasses] = {};  // chunks with freed slots, most recent first
  size_t chunkCount_ = 0;
  size_t slotsInUse_ = 0;
};

// A slot for an occurrence of `size` bytes in `arena` (the shared arena when
// null), or null; under AddressSanitizer the ordinary heap. Slots go back
// through the occurrence's operator delete.
void* AllocateOccurrenceSlot(OccurrenceArena* arena, size_t size) noexcept;
void FreeOccurrenceSlot(void* slot) noexcept;

// Makes an occurrence of class T in `arena`; null when out of memory.
template <class T, class... Args>
T* NewOccurrence(OccurrenceArena* arena, Args&&... args) {
  void* slot = AllocateOccurrenceSlot(arena, sizeof(T));
  if (!slot) return nullptr;
  try {
    return ::new (slot) T(std::forward<Args>(args)...);
  } catch (...) {
    FreeOccurrenceSlot(slot);
    throw;
  }
}

// The tree's node memory, which the occurrence manager keeps from callers.
struct OccurrenceArenaAccess {
  static OccurrenceArena* Of(OccurrenceManager* manager);
};

}  // namespace quorra
