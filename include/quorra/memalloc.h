// Node memory: the IDS's own allocator. A MemoryAllocator owns a private heap
// (or uses the general heap when the private heap is switched off), and on it
// seven fixed-size object pools and three bump allocators. Blocks come from the
// heap in large chunks and all go back at once when the allocator is
// destroyed; with the private heap, a leak report can walk what is left.
//
// The "DISABLE_IDS_HEAP" switch (default on) is read once when the library is
// loaded. While it is on no private heap is ever created and every request
// goes to malloc/realloc/free/_msize.
//
// Nothing here locks: an allocator belongs to one tree and is used from the
// thread that owns that tree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorra/host/kernel.h"
#include "quorra/host/types.h"

class MemoryAllocator;

// Fixed-size objects carved from blocks of the owner's memory. Freed objects
// are kept on a free list (their first pointer-sized word links them) and
// handed out again before new ones are carved; single objects never go back
// to the heap. A pool without an owner takes its blocks from the general heap.
class ObjectPool {
 public:
  ObjectPool() = default;
  ~ObjectPool();
  ObjectPool(const ObjectPool&) = delete;
  ObjectPool& operator=(const ObjectPool&) = delete;

  // Object size rounded up to a multiple of `alignment` (an alignment below 1
  // counts as 1); a non-zero size is at least a pointer, the free-list link.
  // Blocks the pool still holds are returned to their old owner first.
  void Init(MemoryAllocator* owner, size_t objectSize, int alignment, DWORD growth);
  // The first block, for `count` objects. E_UNEXPECTED when blocks exist (or
  // the pool has no object size), E_OUTOFMEMORY when it cannot be allocated.
  HRESULT AllocateInitialPool(DWORD count);
  // One object: the last freed one, else the next of the current block, else
  // the first of a new block of growth-count objects. Null when no block can
  // be allocated or the pool is not configured.
  void* Alloc();
  // Puts the object on the free list, overwriting its first word. Null is
  // ignored.
  void Free(void* object);
  // Objects handed out and not freed.
  DWORD GetTotalCount() const;
  // The sum of the heap sizes of the pool's blocks.
  DWORD GetAllocatedSize() const;
  // Returns every block and the block array to the owner; the pool is empty
  // and keeps its configuration.
  void Destroy();

 protected:
  // A new block of `count` objects becomes the current block.
  HRESULT AllocNewPool(DWORD count);

  void* freeList_ = nullptr;
  MemoryAllocator* owner_ = nullptr;
  uint64_t objectSize_ = 0;
  DWORD growthCount_ = 0;
  DWORD remaining_ = 0;
  void* next_ = nullptr;
  DWORD blockCount_ = 0;
  void** blocks_ = nullptr;
  DWORD firstBlockCount_ = 0;
};

// Variable-size data bumped out of blocks of the owner's memory, without
// alignment. Nothing is returned before Destroy; a block's tail that cannot
// satisfy a request is abandoned. An allocator without an owner takes its
// blocks from the general heap.
class StaticAllocator {
 public:
  StaticAllocator() = default;
  ~StaticAllocator();
  StaticAllocator(const StaticAllocator&) = delete;
  StaticAllocator& operator=(const StaticAllocator&) = delete;

  // Blocks the allocator still holds are returned to their old owner first.
  void Init(MemoryAllocator* owner, size_t blockSize);
  // The first block, of `size` bytes. E_UNEXPECTED when blocks exist,
  // E_OUTOFMEMORY when it cannot be allocated.
  HRESULT AllocateInitialBlock(size_t size);
  // `size` bytes from the current block, or from a new block of the block
  // size when too few remain. A request larger than the block size goes
  // straight to the owner and is not tracked here: Destroy does not free it
  // (the owner's Free does, or the private heap's destruction). Null when
  // memory cannot be had.
  void* Alloc(size_t size);
  // Does nothing: memory comes back only with Destroy.
  void Free(void* block, int size);
  // Bytes handed out from blocks (abandoned tails included).
  uint64_t GetTotalSize() const;
  // The sum of the heap sizes of the blocks.
  DWORD GetAllocatedSize() const;
  // Returns every block and the block array to the owner; the allocator is
  // empty and keeps its block size.
  void Destroy();

 protected:
  // A new block of `size` bytes becomes the current block.
  HRESULT AllocNewBlock(size_t size);

  MemoryAllocator* owner_ = nullptr;
  void* next_ = nullptr;
  uint64_t remaining_ = 0;
  uint64_t blockSize_ = 0;
  uint64_t blockCount_ = 0;
  void** blocks_ = nullptr;
  uint64_t firstBlockSize_ = 0;
};

namespace quorra {

// Indexes for MemoryAllocator::GetObjectPool: the pools Init configures for
// the node classes.
constexpr DWORD kPartSitePool = 0;
constexpr DWORD kAssemblySitePool = 1;
constexpr DWORD kPartOccurrencePool = 2;
constexpr DWORD kAssemblyOccurrencePool = 3;
constexpr DWORD kAttachmentPool = 4;
constexpr DWORD kUnconfiguredPool = 5;  // left with object size 0
constexpr DWORD kSmallBlockPool = 6;    // 16-byte objects
constexpr DWORD kObjectPoolCount = 7;
constexpr DWORD kStaticAllocatorCount = 3;

}  // namespace quorra

class MemoryAllocator {
 public:
  // Empty members, no heap.
  MemoryAllocator() = default;
  // Destroys the pools and static allocators, then the private heap (and with
  // it whatever else is still allocated from it).
  ~MemoryAllocator();
  MemoryAllocator(const MemoryAllocator&) = delete;
  MemoryAllocator& operator=(const MemoryAllocator&) = delete;

  // Configures the pools and static allocators for the node classes. S_OK.
  HRESULT Init();

  // From the private heap (created by the first request unless the private
  // heap is switched off), else from the general heap. Null when the heap
  // cannot supply it.
  void* Alloc(size_t size);
  // To the private heap when there is one, else to the general heap.
  void Free(void* block);
  // With a private heap: size 0 frees the block and answers a new zero-size
  // block (null when the free failed); a null block allocates; otherwise the
  // block is resized, and when that fails it is freed and null is answered.
  // Without one, as realloc: a null block allocates from the general heap
  // (ReAlloc never creates the private heap), size 0 frees and answers null,
  // a failed resize answers null and leaves the block as it was.
  void* ReAlloc(void* block, size_t size);
  // The heap's size of the block (requested size on the private heap, usable
  // size on the general heap).
  size_t GetBlockSize(void* block);
  // The sum of the pools' and static allocators' allocated sizes.
  DWORD GetAllocatedSize();

  // The members Init configures: pools by quorra::k...Pool, static allocators
  // 0 (8192-byte blocks), 1 (4096) and 2 (40960). Null for an index out of
  // range.
  ObjectPool* GetObjectPool(DWORD index);
  StaticAllocator* GetStaticAllocator(DWORD index);

 protected:
  // Writes one line per block still allocated from the private heap to the
  // debugger output, after a heading. True when at least one was reported;
  // false when none, or without a private heap.
  bool ReportLeaks();

  HANDLE heap_ = nullptr;
  ObjectPool pools_[quorra::kObjectPoolCount];
  StaticAllocator staticAllocators_[quorra::kStaticAllocatorCount];
};

namespace quorra {

// The "DISABLE_IDS_HEAP" value in force.
bool IsIdsHeapDisabled();

}  // namespace quorra
