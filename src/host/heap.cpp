// Private heaps. Each block comes from the general heap with a small header
// in front that links it into its heap's list of live blocks, so that a walk
// lists exactly what is allocated and destroying the heap frees all of it.
// The list is circular around a sentinel header owned by the heap.
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "quorra/host/kernel.h"
#include "quorra/host/trace.h"

namespace {

constexpr const char* kTraceSource = "quorra/host/heap";

// Marks a live Heap object, so that stale or foreign handles are refused.
constexpr uint64_t kHeapMarker = 0x5155524150484541ull;
// Mixed into each block's tag so that a block's owner is not just an address
// lying in memory.
constexpr uintptr_t kBlockTagSalt = static_cast<uintptr_t>(0x9E3779B97F4A7C15ull);

struct BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  size_t size;    // bytes requested by the caller
  uintptr_t tag;  // the owning heap's tag while the block is live, 0 after
};
// The general heap aligns to 16; keeping the header a multiple of 16 keeps
// the caller's data aligned the same way.
static_assert(sizeof(BlockHeader) % 16 == 0, "block data must stay 16-byte aligned");

void* DataOf(BlockHeader* header) { return header + 1; }
BlockHeader* HeaderOf(const void* data) { return const_cast<BlockHeader*>(static_cast<const BlockHeader*>(data) - 1); }

DWORD CurrentThread() { return GetCurrentThreadId(); }

// The heap's lock: one word, 0 free, 1 held, 2 held with threads waiting.
// Uncontended it costs one compare-exchange and one exchange; waiting threads
// spin briefly (critical sections here are a few pointer writes) and then
// sleep in the kernel.
class HeapMutex {
 public:
  void lock() {
    int expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
      LockContended();
  }

  void unlock() {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

 private:
  void LockContended() {
    for (int spin = 0; spin < 64; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
      int expected = 0;
      if (state_.load(std::memory_order_relaxed) == 0 &&
          state_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
        return;
    }
    // Mark the lock as waited for; whoever releases it then wakes a waiter.
    while (state_.exchange(2, std::memory_order_acquire) != 0) state_.wait(2, std::memory_order_relaxed);
  }

  std::atomic<int> state_{0};
};

class Heap {
 public:
  Heap(DWORD options, size_t maximum) : serialized_((options & HEAP_NO_SERIALIZE) == 0), maximum_(maximum) {
    sentinel_.prev = sentinel_.next = &sentinel_;
    sentinel_.size = 0;
    sentinel_.tag = 0;
  }

  ~Heap() {
    marker_ = 0;
    BlockHeader* block = sentinel_.next;
    while (block != &sentinel_) {
      BlockHeader* next = block->next;
      block->tag = 0;
      std::free(block);
      block = next;
    }
  }

  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  bool IsLive() const { return marker_ == kHeapMarker; }

  void* Alloc(DWORD flags, size_t bytes) {
    if (bytes > SIZE_MAX - sizeof(BlockHeader)) return OutOfMemory();
    const size_t total = sizeof(BlockHeader) + bytes;
    void* raw = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, total) : std::malloc(total);
    if (!raw) return OutOfMemory();
    auto* header = static_cast<BlockHeader*>(raw);
    header->size = bytes;
    header->tag = Tag();
    {
      Guard guard(*this, flags);
      if (maximum_ != 0 && bytes > maximum_ - bytesInUse_) {
        guard.Release();
        std::free(raw);
        return OutOfMemory();
      }
      bytesInUse_ += bytes;
      header->next = &sentinel_;
      header->prev = sentinel_.prev;
      sentinel_.prev->next = header;
      sentinel_.prev = header;
    }
    return DataOf(header);
  }

  BOOL Free(DWORD flags, void* data) {
    if (!data) return TRUE;
    BlockHeader* header = HeaderOf(data);
    {
      Guard guard(*this, flags);
      if (header->tag != Tag()) return ForeignBlock("HeapFree");
      header->prev->next = header->next;
      header->next->prev = header->prev;
      if (walkNext_ == header) walkNext_ = header->next;
      bytesInUse_ -= header->size;
      header->tag = 0;
    }
    std::free(header);
    return TRUE;
  }

  void* ReAlloc(DWORD flags, void* data, size_t bytes) {
    if (!data) {
      SetLastError(ERROR_INVALID_PARAMETER);
      QUORRA_TRACE_FAIL(E_POINTER, "HeapReAlloc");
      return nullptr;
    }
    if (bytes > SIZE_MAX - sizeof(BlockHeader)) return OutOfMemory();
    BlockHeader* header = HeaderOf(data);
    Guard guard(*this, flags);
    if (header->tag != Tag()) {
      ForeignBlock("HeapReAlloc");
      return nullptr;
    }
    const size_t oldSize = header->size;
    if (maximum_ != 0 && bytes > oldSize && bytes - oldSize > maximum_ - bytesInUse_) return OutOfMemory();

    if (flags & HEAP_REALLOC_IN_PLACE_ONLY) {
      if (bytes > malloc_usable_size(header) - sizeof(BlockHeader)) return OutOfMemory();
    } else {
      // The neighbours point at the header, so it moves under the lock and
      // they are pointed at its new place.
      const bool isWalkNext = walkNext_ == header;
      const bool isWalkLast = walkLastData_ == data;
      auto* moved = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + bytes));
      if (!moved) return OutOfMemory();
      moved->prev->next = moved;
      moved->next->prev = moved;
      if (isWalkNext) walkNext_ = moved;
      if (isWalkLast) walkLastData_ = DataOf(moved);
      header = moved;
    }
    header->size = bytes;
    bytesInUse_ = bytesInUse_ - oldSize + bytes;
    if ((flags & HEAP_ZERO_MEMORY) && bytes > oldSize)
      std::memset(static_cast<char*>(DataOf(header)) + oldSize, 0, bytes - oldSize);
    return DataOf(header);
  }

  SIZE_T Size(DWORD flags, const void* data) {
    if (!data) {
      SetLastError(ERROR_INVALID_PARAMETER);
      QUORRA_TRACE_FAIL(E_POINTER, "HeapSize");
      return static_cast<SIZE_T>(-1);
    }
    Guard guard(*this, flags);
    const BlockHeader* header = HeaderOf(data);
    if (header->tag != Tag()) {
      ForeignBlock("HeapSize");
      return static_cast<SIZE_T>(-1);
    }
    return header->size;
  }

  BOOL Validate(DWORD flags, const void* data) {
    Guard guard(*this, flags);
    if (data) {
      for (BlockHeader* block = sentinel_.next; block != &sentinel_; block = block->next)
        if (DataOf(block) == data) return TRUE;
      return FALSE;
    }
    size_t bytes = 0;
    for (BlockHeader* block = sentinel_.next; block != &sentinel_; block = block->next) {
      if (block->next->prev != block || block->tag != Tag()) return FALSE;
      bytes += block->size;
    }
    return bytes == bytesInUse_ ? TRUE : FALSE;
  }

  BOOL Walk(PROCESS_HEAP_ENTRY* entry) {
    Guard guard(*this, 0);
    BlockHeader* next;
    if (!entry->lpData) {
      next = sentinel_.next;
    } else if (entry->lpData == walkLastData_) {
      // Continuing the walk in progress: its successor is kept up to date
      // when blocks are freed, so the listed block itself may be gone.
      next = walkNext_;
    } else {
      BlockHeader* header = HeaderOf(entry->lpData);
      if (header->tag != Tag()) return ForeignBlock("HeapWalk");
      next = header->next;
    }
    if (next == &sentinel_) {
      walkLastData_ = nullptr;
      walkNext_ = nullptr;
      SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    entry->lpData = DataOf(next);
    entry->cbData = next->size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(next->size);
    entry->cbOverhead = static_cast<BYTE>(sizeof(BlockHeader));
    entry->iRegionIndex = 0;
    entry->wFlags = PROCESS_HEAP_ENTRY_BUSY;
    entry->Block = PROCESS_HEAP_ENTRY_BLOCK{};
    walkLastData_ = entry->lpData;
    walkNext_ = next->next;
    return TRUE;
  }

  void Lock() {
    const DWORD self = CurrentThread();
    if (lockOwner_.load(std::memory_order_relaxed) != self) {
      mutex_.lock();
      lockOwner_.store(self, std::memory_order_relaxed);
    }
    ++lockDepth_;
  }

  BOOL Unlock() {
    if (lockOwner_.load(std::memory_order_relaxed) != CurrentThread()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      QUORRA_TRACE_FAIL(E_UNEXPECTED, "HeapUnlock");
      return FALSE;
    }
    if (--lockDepth_ == 0) {
      lockOwner_.store(0, std::memory_order_relaxed);
      mutex_.unlock();
    }
    return TRUE;
  }

 private:
  // Holds the heap's lock for one call unless the heap (or the call) is
  // unserialised, or the calling thread holds it through HeapLock.
  class Guard {
   public:
    Guard(Heap& heap, DWORD flags) {
      if (!heap.serialized_ || (flags & HEAP_NO_SERIALIZE)) return;
      const DWORD lockOwner = heap.lockOwner_.load(std::memory_order_relaxed);
      if (lockOwner != 0 && lockOwner == CurrentThread()) return;
      mutex_ = &heap.mutex_;
      mutex_->lock();
    }
    ~Guard() { Release(); }
    void Release() {
      if (mutex_) mutex_->unlock();
      mutex_ = nullptr;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    HeapMutex* mutex_ = nullptr;
  };

  uintptr_t Tag() const { return reinterpret_cast<uintptr_t>(this) ^ kBlockTagSalt; }

  static void* OutOfMemory() {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  static BOOL ForeignBlock(const char* operation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, operation);
    return FALSE;
  }

  uint64_t marker_ = kHeapMarker;
  HeapMutex mutex_;
  const bool serialized_;
  const size_t maximum_;  // 0: no cap
  size_t bytesInUse_ = 0;
  BlockHeader sentinel_;
  // The walk in progress: the data address it listed last and the block
  // after it.
  const void* walkLastData_ = nullptr;
  BlockHeader* walkNext_ = nullptr;
  // HeapLock's owner and depth.
  std::atomic<DWORD> lockOwner_{0};
  DWORD lockDepth_ = 0;
};

Heap* TheProcessHeap() {
  static Heap* heap = new Heap(0, 0);  // never destroyed: used until the process ends
  return heap;
}

Heap* HeapFromHandle(HANDLE handle, const char* operation) {
  auto* heap = static_cast<Heap*>(handle);
  if (!heap || !heap->IsLive()) {
    SetLastError(ERROR_INVALID_HANDLE);
    QUORRA_TRACE_FAIL(E_HANDLE, operation);
    return nullptr;
  }
  return heap;
}

}  // namespace

extern "C" HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize) {
  if (maximumSize != 0 && initialSize > maximumSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, "HeapCreate");
    return nullptr;
  }
  Heap* heap = new (std::nothrow) Heap(options, maximumSize);
  if (!heap) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "HeapCreate");
  }
  return heap;
}

extern "C" BOOL HeapDestroy(HANDLE handle) {
  Heap* heap = HeapFromHandle(handle, "HeapDestroy");
  if (!heap) return FALSE;
  if (heap == TheProcessHeap()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_INVALIDARG, "HeapDestroy");
    return FALSE;
  }
  delete heap;
  return TRUE;
}

extern "C" HANDLE GetProcessHeap() { return TheProcessHeap(); }

extern "C" LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
  Heap* heap = HeapFromHandle(handle, "HeapAlloc");
  return heap ? heap->Alloc(flags, bytes) : nullptr;
}

extern "C" LPVOID HeapReAlloc(HANDLE handle, DWORD flags, LPVOID block, SIZE_T bytes) {
  Heap* heap = HeapFromHandle(handle, "HeapReAlloc");
  return heap ? heap->ReAlloc(flags, block, bytes) : nullptr;
}

extern "C" BOOL HeapFree(HANDLE handle, DWORD flags, LPVOID block) {
  Heap* heap = HeapFromHandle(handle, "HeapFree");
  return heap ? heap->Free(flags, block) : FALSE;
}

extern "C" SIZE_T HeapSize(HANDLE handle, DWORD flags, LPCVOID block) {
  Heap* heap = HeapFromHandle(handle, "HeapSize");
  return heap ? heap->Size(flags, block) : static_cast<SIZE_T>(-1);
}

extern "C" BOOL HeapValidate(HANDLE handle, DWORD flags, LPCVOID block) {
  Heap* heap = HeapFromHandle(handle, "HeapValidate");
  return heap ? heap->Validate(flags, block) : FALSE;
}

extern "C" BOOL HeapWalk(HANDLE handle, LPPROCESS_HEAP_ENTRY entry) {
  Heap* heap = HeapFromHandle(handle, "HeapWalk");
  if (!heap) return FALSE;
  if (!entry) {
    SetLastError(ERROR_INVALID_PARAMETER);
    QUORRA_TRACE_FAIL(E_POINTER, "HeapWalk");
    return FALSE;
  }
  return heap->Walk(entry);
}

extern "C" BOOL HeapLock(HANDLE handle) {
  Heap* heap = HeapFromHandle(handle, "HeapLock");
  if (!heap) return FALSE;
  heap->Lock();
  return TRUE;
}

extern "C" BOOL HeapUnlock(HANDLE handle) {
  Heap* heap = HeapFromHandle(handle, "HeapUnlock");
  return heap ? heap->Unlock() : FALSE;
}

extern "C" size_t _msize(void* block) { return block ? malloc_usable_size(block) : 0; }
