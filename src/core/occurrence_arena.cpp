// Chunked node memory of occurrences (see the header).
#include "core/occurrence_arena.h"

#include "core/chunk_stock.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "host/fault_injection.h"
#include "quorra/occurrence.h"
#include "quorra/tree.h"

namespace quorra {

namespace {
// Small arenas fault their pages in as they touch them, so that a small
// tree neither pins whole chunks nor starts the background filler.
constexpr size_t kChunksBeforeFilling = 2;
}  // namespace

struct OccurrenceArena::Chunk {
  OccurrenceArena* arena;
  Chunk* prev;  // every chunk of the arena
  Chunk* next;
  Chunk* availablePrev;  // chunks with free slots
  Chunk* availableNext;
  bool available;
  int sizeClass;
  size_t slotSize;
  FreeSlot* freeSlots;
  char* bump;  // the next slot never handed out
  char* end;
  size_t used;
};

namespace {
constexpr size_t kHeaderSize = 128;
}  // namespace

OccurrenceArena& OccurrenceArena::Shared() {
  // Never destroyed: occurrences may be freed during static destruction.
  static OccurrenceArena* shared = new OccurrenceArena(true);
  return *shared;
}

OccurrenceArena::~OccurrenceArena() {
  while (Chunk* chunk = all_) {
    all_ = chunk->next;
    munmap(chunk, kChunkSize);
  }
}

OccurrenceArena::Chunk* OccurrenceArena::NewChunk(int sizeClass) {
  static_assert(sizeof(Chunk) <= kHeaderSize);
  // A large arena takes chunks the background filler has faulted in, and
  // fills its own when none is ready.
  const bool large = chunkCount_ >= kChunksBeforeFilling;
  void* memory = large ? ChunkStock::Instance().Take() : nullptr;
  if (!memory) {
    memory = MapAlignedChunk(kChunkSize);
    if (!memory) return nullptr;
    if (large) FillChunk(memory, kChunkSize);
  }

  auto* chunk = new (memory) Chunk{};
  chunk->arena = this;
  chunk->sizeClass = sizeClass;
  chunk->slotSize = SlotSizeOf(sizeClass);
  chunk->bump = static_cast<char*>(memory) + kHeaderSize;
  chunk->end = static_cast<char*>(memory) + kChunkSize;
  ++chunkCount_;
  return chunk;
}

void OccurrenceArena::ReleaseChunk(Chunk* chunk) {
  if (chunk->available) {
    if (chunk->availablePrev) chunk->availablePrev->availableNext = chunk->availableNext;
    if (chunk->availableNext) chunk->availableNext->availablePrev = chunk->availablePrev;
    if (partial_[chunk->sizeClass] == chunk) partial_[chunk->sizeClass] = chunk->availableNext;
  }
  if (chunk->prev) chunk->prev->next = chunk->next;
  if (chunk->next) chunk->next->prev = chunk->prev;
  if (all_ == chunk) all_ = chunk->next;
  --chunkCount_;
  if (!ChunkStock::Instance().Give(chunk)) munmap(chunk, kChunkSize);
}

void* OccurrenceArena::Allocate(size_t size) {
  if (size > kSlotSize) return nullptr;
  const int sizeClass = SizeClassOf(size);
  if (!shared_) return AllocateLocked(sizeClass);
  std::lock_guard<std::mutex> lock(mutex_);
  return AllocateLocked(sizeClass);
}

// Freed slots are reused first; then slots are cut from the current chunk
// in address order.
void* OccurrenceArena::AllocateLocked(int sizeClass) {
  Chunk*& partial = partial_[sizeClass];
  if (Chunk* chunk = partial) {
    FreeSlot* slot = chunk->freeSlots;
    chunk->freeSlots = slot->next;
    ++chunk->used;
    ++slotsInUse_;
    if (!chunk->freeSlots) {
      partial = chunk->availableNext;
      if (partial) partial->availablePrev = nullptr;
      chunk->available = false;
      chunk->availableNext = nullptr;
    }
    return slot;
  }
  Chunk*& current = current_[sizeClass];
  if (!current || current->bump + current->slotSize > current->end) {
    Chunk* chunk = NewChunk(sizeClass);
    if (!chunk) return nullptr;
    chunk->next = all_;
    if (all_) all_->prev = chunk;
    all_ = chunk;
    current = chunk;
  }
  void* slot = current->bump;
  current->bump += current->slotSize;
  ++current->used;
  ++slotsInUse_;
  return slot;
}

void OccurrenceArena::Free(void* slot) {
  if (!slot) return;
  auto* chunk = reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(slot) & ~(kChunkSize - 1));
  OccurrenceArena* arena = chunk->arena;
  if (!arena->shared_) {
    arena->FreeLocked(chunk, slot);
    return;
  }
  std::lock_guard<std::mutex> lock(arena->mutex_);
  arena->FreeLocked(chunk, slot);
}

void OccurrenceArena::FreeLocked(Chunk* chunk, void* slot) {
  --slotsInUse_;
  if (--chunk->used == 0 && chunk != current_[chunk->sizeClass]) {
    ReleaseChunk(chunk);
    return;
  }
  auto* freed = static_cast<FreeSlot*>(slot);
  freed->next = chunk->freeSlots;
  chunk->freeSlots = freed;
  if (!chunk->available) {
    chunk->available = true;
    chunk->availablePrev = nullptr;
    Chunk*& partial = partial_[chunk->sizeClass];
    chunk->availableNext = partial;
    if (partial) partial->availablePrev = chunk;
    partial = chunk;
  }
}

}  // namespace quorra

// ---- Occurrence allocation ----

namespace {
// Under AddressSanitizer every occurrence comes from the ordinary heap, so
// that a use after Destroy is caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUseArenas = false;
#else
constexpr bool kUseArenas = true;
#endif

void* AllocateNode(quorra::OccurrenceArena* arena, size_t size) {
  if (quorra::AllocationFails()) return nullptr;
  if (!kUseArenas) return std::malloc(size);
  return (arena ? arena : &quorra::OccurrenceArena::Shared())->Allocate(size);
}

void FreeNode(void* node) {
  if (kUseArenas)
    quorra::OccurrenceArena::Free(node);
  else
    std::free(node);
}
}  // namespace

static_assert(sizeof(AssemblyOccurrence) <= quorra::OccurrenceArena::kSlotSize);
static_assert(sizeof(PartOccurrence) <= quorra::OccurrenceArena::kSmallSlotSize);

void quorra::OccurrenceArenaDeleter::operator()(OccurrenceArena* arena) const { delete arena; }

quorra::OccurrenceArena* OccurrenceManager::GetArena() {
  if (!arena_) arena_.reset(new (std::nothrow) quorra::OccurrenceArena());
  return arena_.get();
}

quorra::OccurrenceArena* quorra::OccurrenceArenaAccess::Of(OccurrenceManager* manager) {
  return manager ? manager->GetArena() : nullptr;
}

void* quorra::AllocateOccurrenceSlot(OccurrenceArena* arena, size_t size) noexcept { return AllocateNode(arena, size); }

void quorra::FreeOccurrenceSlot(void* slot) noexcept { FreeNode(slot); }

void* OccurrenceNode::operator new(size_t size) {
  if (void* slot = AllocateNode(nullptr, size)) return slot;
  throw std::bad_alloc();
}

void* OccurrenceNode::operator new(size_t size, const std::nothrow_t&) noexcept { return AllocateNode(nullptr, size); }

void OccurrenceNode::operator delete(void* node) noexcept { FreeNode(node); }

void OccurrenceNode::operator delete(void* node, const std::nothrow_t&) noexcept { FreeNode(node); }
