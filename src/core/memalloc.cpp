// Node memory: the private heap, object pools and bump allocators.
#include "quorra/memalloc.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "host/fault_injection.h"
#include "quorra/attachment.h"
#include "quorra/host/switches.h"
#include "quorra/host/text.h"
#include "quorra/host/trace.h"
#include "quorra/occurrence.h"
#include "quorra/site.h"
#include "core/testing_hooks.h"

namespace {

constexpr const char* kTraceSource = "SERVICES/quorra/dev/memalloc";

// "DISABLE_IDS_HEAP", read once. A function-local static so that an
// allocator used from another file's static initialiser still sees the
// switch, and read at load by kIdsHeapSwitchReadAtLoad below.
bool& IdsHeapDisabled() {
  static bool disabled = JGetDebugBOOL(L"DISABLE_IDS_HEAP", 1) != 0;
  return disabled;
}
[[maybe_unused]] const bool kIdsHeapSwitchReadAtLoad = IdsHeapDisabled();

// Pools and static allocators without an owner live on the general heap.
void* OwnerAlloc(MemoryAllocator* owner, size_t size) {
  if (quorra::AllocationFails()) return nullptr;
  return owner ? owner->Alloc(size) : std::malloc(size);
}

void OwnerFree(MemoryAllocator* owner, void* block) {
  if (owner)
    owner->Free(block);
  else
    std::free(block);
}

DWORD OwnerBlockSize(MemoryAllocator* owner, void* block) {
  return static_cast<DWORD>(owner ? owner->GetBlockSize(block) : _msize(block));
}

// Records `block` at the end of the owner's block array, which grows by one
// entry. The array is copied into a new one rather than resized in place so
// that a failure leaves the old array (and every block it records) intact.
bool AppendBlock(MemoryAllocator* owner, void**& blocks, uint64_t count, void* block) {
  auto* grown = static_cast<void**>(OwnerAlloc(owner, static_cast<size_t>(count + 1) * sizeof(void*)));
  if (!grown) return false;
  if (count) std::memcpy(grown, blocks, static_cast<size_t>(count) * sizeof(void*));
  grown[count] = block;
  OwnerFree(owner, blocks);
  blocks = grown;
  return true;
}

void ReturnBlocks(MemoryAllocator* owner, void** blocks, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) OwnerFree(owner, blocks[i]);
  OwnerFree(owner, blocks);
}

}  // namespace

namespace quorra {

bool SetIdsHeapDisabledForTesting(bool disabled) {
  const bool previous = IdsHeapDisabled();
  IdsHeapDisabled() = disabled;
  return previous;
}

bool IsIdsHeapDisabled() { return IdsHeapDisabled(); }

}  // namespace quorra

// ---- ObjectPool ----

ObjectPool::~ObjectPool() { Destroy(); }

void ObjectPool::Init(MemoryAllocator* owner, size_t objectSize, int alignment, DWORD growth) {
  Destroy();
  const uint64_t align = alignment > 0 ? static_cast<uint64_t>(alignment) : 1;
  uint64_t size = (static_cast<uint64_t>(objectSize) + align - 1) / align * align;
  if (size < objectSize) size = objectSize / align * align;  // rounding up overflowed: keep the largest multiple
  // A freed object holds the free-list link in its first word.
  if (size != 0 && size < sizeof(void*)) size = sizeof(void*);
  owner_ = owner;
  objectSize_ = size;
  growthCount_ = growth;
  freeList_ = nullptr;
  remaining_ = 0;
  next_ = nullptr;
  blockCount_ = 0;
  blocks_ = nullptr;
  firstBlockCount_ = 0;
}

HRESULT ObjectPool::AllocateInitialPool(DWORD count) {
  if (blockCount_ != 0 || objectSize_ == 0) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "ObjectPool::AllocateInitialPool");
  return AllocNewPool(count);
}

HRESULT ObjectPool::AllocNewPool(DWORD count) {
  // count x object size, refused rather than wrapped when it does not fit.
  if (objectSize_ != 0 && count > SIZE_MAX / objectSize_)
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "ObjectPool::AllocNewPool");
  void* block = OwnerAlloc(owner_, static_cast<size_t>(count * objectSize_));
  if (!block) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "ObjectPool::AllocNewPool");
  if (blockCount_ == 0) firstBlockCount_ = count;
  if (!AppendBlock(owner_, blocks_, blockCount_, block)) {
    OwnerFree(owner_, block);
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "ObjectPool::AllocNewPool");
  }
  ++blockCount_;
  next_ = block;
  remaining_ = count;
  return S_OK;
}

void* ObjectPool::Alloc() {
  if (freeList_) {
    void* object = freeList_;
    freeList_ = *static_cast<void**>(object);
    return object;
  }
  if (remaining_ == 0) {
    // An unconfigured pool (no object size or growth) cannot carve anything.
    if (objectSize_ == 0 || growthCount_ == 0) {
      QUORRA_TRACE_FAIL(E_UNEXPECTED, "ObjectPool::Alloc");
      return nullptr;
    }
    if (FAILED(AllocNewPool(growthCount_))) {
      QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "ObjectPool::Alloc");
      return nullptr;
    }
  }
  void* object = next_;
  next_ = static_cast<char*>(next_) + objectSize_;
  --remaining_;
  return object;
}

void ObjectPool::Free(void* object) {
  if (!object) return;
  *static_cast<void**>(object) = freeList_;
  freeList_ = object;
}

DWORD ObjectPool::GetTotalCount() const {
  if (blockCount_ == 0) return 0;
  uint64_t carved = blockCount_ == 1 ? uint64_t{firstBlockCount_} - remaining_
                                     : uint64_t{blockCount_ - 1} * growthCount_ - remaining_ + firstBlockCount_;
  for (void* object = freeList_; object; object = *static_cast<void**>(object)) --carved;
  return static_cast<DWORD>(carved);
}

DWORD ObjectPool::GetAllocatedSize() const {
  DWORD total = 0;
  for (DWORD i = 0; i < blockCount_; ++i) total += OwnerBlockSize(owner_, blocks_[i]);
  return total;
}

void ObjectPool::Destroy() {
  if (blocks_) ReturnBlocks(owner_, blocks_, blockCount_);
  blocks_ = nullptr;
  blockCount_ = 0;
  firstBlockCount_ = 0;
  freeList_ = nullptr;
  next_ = nullptr;
  remaining_ = 0;
}

// ---- StaticAllocator ----

StaticAllocator::~StaticAllocator() { Destroy(); }

void StaticAllocator::Init(MemoryAllocator* owner, size_t blockSize) {
  Destroy();
  owner_ = owner;
  blockSize_ = blockSize;
}

HRESULT StaticAllocator::AllocateInitialBlock(size_t size) {
  if (blockCount_ != 0) return QUORRA_TRACE_FAIL(E_UNEXPECTED, "StaticAllocator::AllocateInitialBlock");
  return AllocNewBlock(size);
}

HRESULT StaticAllocator::AllocNewBlock(size_t size) {
  void* block = OwnerAlloc(owner_, size);
  if (!block) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "StaticAllocator::AllocNewBlock");
  if (blockCount_ == 0) firstBlockSize_ = size;
  if (!AppendBlock(owner_, blocks_, blockCount_, block)) {
    OwnerFree(owner_, block);
    return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "StaticAllocator::AllocNewBlock");
  }
  ++blockCount_;
  next_ = block;
  remaining_ = size;
  return S_OK;
}

void* StaticAllocator::Alloc(size_t size) {
  if (size > blockSize_) {
    void* block = OwnerAlloc(owner_, size);
    if (!block) QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "StaticAllocator::Alloc");
    return block;
  }
  // Without a current block even a zero-byte request needs one, so that the
  // answer is a real address.
  if (!next_ || remaining_ < size) {
    if (FAILED(AllocNewBlock(static_cast<size_t>(blockSize_)))) {
      QUORRA_TRACE_FAIL(E_OUTOFMEMORY, "StaticAllocator::Alloc");
      return nullptr;
    }
  }
  void* data = next_;
  next_ = static_cast<char*>(next_) + size;
  remaining_ -= size;
  return data;
}

void StaticAllocator::Free(void*, int) {}

uint64_t StaticAllocator::GetTotalSize() const {
  if (blockCount_ == 0) return 0;
  if (blockCount_ == 1) return firstBlockSize_ - remaining_;
  return (blockCount_ - 1) * blockSize_ - remaining_ + firstBlockSize_;
}

DWORD StaticAllocator::GetAllocatedSize() const {
  DWORD total = 0;
  for (uint64_t i = 0; i < blockCount_; ++i) total += OwnerBlockSize(owner_, blocks_[i]);
  return total;
}

void StaticAllocator::Destroy() {
  if (blocks_) ReturnBlocks(owner_, blocks_, blockCount_);
  blocks_ = nullptr;
  blockCount_ = 0;
  firstBlockSize_ = 0;
  next_ = nullptr;
  remaining_ = 0;
}

// ---- MemoryAllocator ----

MemoryAllocator::~MemoryAllocator() {
  // The pools and static allocators free into the heap, so they go first.
  for (ObjectPool& pool : pools_) pool.Destroy();
  for (StaticAllocator& allocator : staticAllocators_) allocator.Destroy();
  if (heap_) HeapDestroy(heap_);
  heap_ = nullptr;
}

HRESULT MemoryAllocator::Init() {
  struct PoolConfig {
    size_t objectSize;
    DWORD growth;
  };
  static constexpr PoolConfig kPools[] = {
      {sizeof(PartSite), 54},           {sizeof(AssemblySite), 11},     {sizeof(PartOccurrence), 898},
      {sizeof(AssemblyOccurrence), 42}, {sizeof(AttachmentNode), 2226},
  };
  static_assert(std::size(kPools) == quorra::kUnconfiguredPool);
  for (DWORD i = 0; i < std::size(kPools); ++i) pools_[i].Init(this, kPools[i].objectSize, 8, kPools[i].growth);
  pools_[quorra::kSmallBlockPool].Init(this, 16, 8, 16);

  static constexpr size_t kStaticBlockSizes[quorra::kStaticAllocatorCount] = {8192, 4096, 40960};
  for (DWORD i = 0; i < quorra::kStaticAllocatorCount; ++i) staticAllocators_[i].Init(this, kStaticBlockSizes[i]);
  return S_OK;
}

void* MemoryAllocator::Alloc(size_t size) {
  if (!heap_ && !IdsHeapDisabled()) heap_ = HeapCreate(0, 4096, 0);
  return heap_ ? HeapAlloc(heap_, 0, size) : std::malloc(size);
}

void MemoryAllocator::Free(void* block) {
  if (heap_)
    HeapFree(heap_, 0, block);
  else
    std::free(block);
}

void* MemoryAllocator::ReAlloc(void* block, size_t size) {
  // Unlike Alloc, ReAlloc never creates the private heap: without one it is
  // realloc, a null block included.
  if (heap_) {
    if (size == 0) return HeapFree(heap_, 0, block) ? HeapAlloc(heap_, 0, 0) : nullptr;
    if (!block) return HeapAlloc(heap_, 0, size);
    void* resized = HeapReAlloc(heap_, 0, block, size);
    if (!resized) HeapFree(heap_, 0, block);
    return resized;
  }
  // The C runtime's realloc, spelled out so that size 0 means the same on
  // every C library.
  if (!block) return std::malloc(size);
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  return std::realloc(block, size);
}

size_t MemoryAllocator::GetBlockSize(void* block) { return heap_ ? HeapSize(heap_, 0, block) : _msize(block); }

DWORD MemoryAllocator::GetAllocatedSize() {
  DWORD total = 0;
  for (const ObjectPool& pool : pools_) total += pool.GetAllocatedSize();
  for (const StaticAllocator& allocator : staticAllocators_) total += allocator.GetAllocatedSize();
  return total;
}

ObjectPool* MemoryAllocator::GetObjectPool(DWORD index) {
  return index < quorra::kObjectPoolCount ? &pools_[index] : nullptr;
}

StaticAllocator* MemoryAllocator::GetStaticAllocator(DWORD index) {
  return index < quorra::kStaticAllocatorCount ? &staticAllocators_[index] : nullptr;
}

bool MemoryAllocator::ReportLeaks() {
  if (!heap_) return false;
  bool reported = false;
  PROCESS_HEAP_ENTRY entry{};
  entry.lpData = nullptr;
  while (HeapWalk(heap_, &entry)) {
    if (!(entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)) continue;
    if (!reported) OutputDebugStringW(L"IDS MemoryAllocator::ReportLeaks: Detected QUORRA memory leaks\n");
    reported = true;
    GUserText address;
    address.Format(L"0x%0*I64X", 16, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(entry.lpData)));
    GUserText line;
    line.Format(L"Leak:  %4d bytes at %s\n", static_cast<int>(entry.cbData), address.GetText());
    OutputDebugStringW(line.GetText());
  }
  return reported;
}
