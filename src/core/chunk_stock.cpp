// The background filler of node memory (see the header).
#include "core/chunk_stock.h"

#include <sys/mman.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "core/occurrence_arena.h"

namespace quorra {

namespace {
// A chunk holds about 9,000 occurrences. With two chunks in stock the
// builder still ran dry and mapped its own chunks, slower than with no
// filler at all; eight keep ahead of it, and 16 MiB stay filled once the
// build is over.
constexpr size_t kChunkSize = OccurrenceArena::kChunkSize;
}  // namespace

void* MapAlignedChunk(size_t size) {
  // Reserve twice the size and keep the aligned middle.
  void* raw = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + size - 1) & ~(size - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = aligned + size;
  const uintptr_t rawEnd = start + 2 * size;
  if (rawEnd > tail) munmap(reinterpret_cast<void*>(tail), rawEnd - tail);
  return reinterpret_cast<void*>(aligned);
}

void FillChunk(void* chunk, size_t size) { madvise(chunk, size, MADV_POPULATE_WRITE); }

struct ChunkStock::State {
  std::mutex mutex;
  std::condition_variable wake;
  void* chunks[ChunkStock::kCapacity] = {};
  size_t count = 0;
  std::once_flag started;
  bool running = false;
};

ChunkStock& ChunkStock::Instance() {
  // Never destroyed: the filler thread may still be waiting at exit.
  static ChunkStock* stock = [] {
    auto* made = new ChunkStock();
    made->state_ = new State();
    return made;
  }();
  return *stock;
}

void ChunkStock::StartOnce() {
  std::call_once(state_->started, [this] {
    try {
      std::thread(&ChunkStock::Run, this).detach();
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->running = true;
    } catch (...) {
      // No thread: every chunk is mapped by its caller.
    }
  });
}

void ChunkStock::Run() {
  State& s = *state_;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.wake.wait(lock, [&] { return s.count < ChunkStock::kCapacity; });
    }
    void* chunk = MapAlignedChunk(kChunkSize);
    if (!chunk) return;  // out of address space: callers map their own
    FillChunk(chunk, kChunkSize);
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.count < ChunkStock::kCapacity) {
      s.chunks[s.count++] = chunk;
    } else {
      munmap(chunk, kChunkSize);
    }
  }
}

void* ChunkStock::Take() {
  StartOnce();
  State& s = *state_;
  // try_lock: the builder never waits for the filler (nor, in a forked
  // child, for a lock the parent's filler held at the fork).
  std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
  if (!lock.owns_lock() || s.count == 0) return nullptr;
  void* chunk = s.chunks[--s.count];
  lock.unlock();
  s.wake.notify_one();
  return chunk;
}

bool ChunkStock::Give(void* chunk) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
  if (!lock.owns_lock() || !s.running || s.count >= ChunkStock::kCapacity) return false;
  s.chunks[s.count++] = chunk;
  return true;
}

}  // namespace quorra
