#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "core/testing_hooks.h"

namespace {

using quorra::host::ScopedDebugOutputCapture;
using quorra::host::ScopedTraceCapture;

// Runs a test in one heap mode and restores the mode read at load.
class IdsHeapMode {
 public:
  explicit IdsHeapMode(bool disabled) : previous_(quorra::SetIdsHeapDisabledForTesting(disabled)) {}
  ~IdsHeapMode() { quorra::SetIdsHeapDisabledForTesting(previous_); }
  IdsHeapMode(const IdsHeapMode&) = delete;
  IdsHeapMode& operator=(const IdsHeapMode&) = delete;

 private:
  bool previous_;
};

// Opens up what only a derived class (such as the override tree) sees.
class InspectableAllocator : public MemoryAllocator {
 public:
  using MemoryAllocator::ReportLeaks;
  HANDLE Heap() const { return heap_; }
};

constexpr size_t RoundUp8(size_t size) { return (size + 7) / 8 * 8; }

std::wstring LeakLine(size_t bytes, const void* address) {
  char text[96];
  std::snprintf(text, sizeof text, "Leak:  %4d bytes at 0x%016llX\n", static_cast<int>(bytes),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return std::wstring(text, text + std::strlen(text));
}

TEST(MemAlloc, SwitchIsReadOnceAtLoad) {
  const bool atLoad = quorra::IsIdsHeapDisabled();
  quorra::host::ScopedSetting flipped(L"DISABLE_IDS_HEAP", atLoad ? L"0" : L"1");
  EXPECT_EQ(quorra::IsIdsHeapDisabled(), atLoad);
}

TEST(MemAlloc, ReAllocInBothModes) {
  for (bool disabled : {false, true}) {
    SCOPED_TRACE(disabled ? "DISABLE_IDS_HEAP on" : "DISABLE_IDS_HEAP off");
    IdsHeapMode mode(disabled);
    InspectableAllocator allocator;
    void* first = allocator.Alloc(8);  // creates the private heap unless it is switched off
    EXPECT_EQ(allocator.Heap() == nullptr, disabled);
    auto* block = static_cast<char*>(allocator.ReAlloc(nullptr, 32));
    ASSERT_NE(block, nullptr);
    allocator.Free(first);
    std::memcpy(block, "node memory", 12);
    // The private heap knows the requested size; the general heap its usable size.
    auto* grown = static_cast<char*>(allocator.ReAlloc(block, 4000));
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(grown, "node memory");
    EXPECT_EQ(allocator.GetBlockSize(grown), disabled ? _msize(grown) : 4000u);
    void* empty = allocator.ReAlloc(grown, 0);
    if (disabled) {
      EXPECT_EQ(empty, nullptr);  // freed, as realloc does (the sanitizer build checks it)
      continue;
    }
    // Size 0 on the private heap: freed, and a new zero-size block answered.
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(allocator.GetBlockSize(empty), 0u);
    EXPECT_FALSE(HeapValidate(allocator.Heap(), 0, grown));
    // A resize the heap cannot satisfy frees the block and answers null.
    void* doomed = allocator.Alloc(8);
    EXPECT_EQ(allocator.ReAlloc(doomed, SIZE_MAX - 8), nullptr);
    EXPECT_FALSE(HeapValidate(allocator.Heap(), 0, doomed));
    allocator.Free(empty);
  }
}

// A null block is a plain realloc until a private heap exists: ReAlloc
// never creates the heap.
TEST(MemAlloc, ReAllocOfANullBlockDoesNotCreateTheHeap) {
  IdsHeapMode mode(false);
  InspectableAllocator allocator;
  void* general = allocator.ReAlloc(nullptr, 24);
  ASSERT_NE(general, nullptr);
  EXPECT_EQ(allocator.Heap(), nullptr);
  EXPECT_GE(allocator.GetBlockSize(general), 24u);  // the general heap's usable size
  void* grown = allocator.ReAlloc(general, 48);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(allocator.Heap(), nullptr);
  allocator.Free(grown);

  // Once the heap exists, a null block comes from it.
  void* first = allocator.Alloc(8);
  ASSERT_NE(allocator.Heap(), nullptr);
  void* fromHeap = allocator.ReAlloc(nullptr, 24);
  ASSERT_NE(fromHeap, nullptr);
  EXPECT_TRUE(HeapValidate(allocator.Heap(), 0, fromHeap));
  EXPECT_EQ(allocator.GetBlockSize(fromHeap), 24u);
  allocator.Free(fromHeap);
  allocator.Free(first);
}

TEST(MemAlloc, PoolReusesFreedObjectsLastFirstAndCountsAcrossBlocks) {
  IdsHeapMode mode(false);  // exact block sizes
  MemoryAllocator allocator;
  ObjectPool pool;
  pool.Init(&allocator, 24, 8, 4);
  EXPECT_EQ(pool.GetTotalCount(), 0u);
  ASSERT_EQ(pool.AllocateInitialPool(3), S_OK);
  std::vector<void*> objects;
  for (int i = 0; i < 9; ++i) objects.push_back(pool.Alloc());  // blocks of 3, 4 and 4 objects
  EXPECT_EQ(pool.GetAllocatedSize(), (3u + 4 + 4) * 24);
  EXPECT_EQ(pool.GetTotalCount(), 9u);
  pool.Free(objects[0]);
  pool.Free(objects[5]);
  pool.Free(nullptr);  // ignored
  EXPECT_EQ(pool.GetTotalCount(), 7u);
  EXPECT_EQ(pool.Alloc(), objects[5]);
  EXPECT_EQ(pool.Alloc(), objects[0]);
  EXPECT_EQ(pool.Alloc(), static_cast<char*>(objects[8]) + 24);
  EXPECT_EQ(pool.GetTotalCount(), 10u);

  // Without an initial pool the first block has growth-count objects.
  // Destroy empties the pool and keeps its configuration.
  pool.Destroy();
  EXPECT_EQ(pool.GetTotalCount(), 0u);
  for (int i = 0; i < 5; ++i) pool.Alloc();
  EXPECT_EQ(pool.GetTotalCount(), 5u);
  EXPECT_EQ(pool.GetAllocatedSize(), 8u * 24);
}

TEST(MemAlloc, InitialPoolIsUsedUpBeforeAGrowthBlock) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  allocator.Init();
  ObjectPool* pool = allocator.GetObjectPool(quorra::kSmallBlockPool);  // 16 bytes, growth 16
  ASSERT_EQ(pool->AllocateInitialPool(10), S_OK);
  auto* first = static_cast<char*>(pool->Alloc());
  for (int i = 1; i < 10; ++i) EXPECT_EQ(pool->Alloc(), first + 16 * i);
  EXPECT_EQ(pool->GetAllocatedSize(), 160u);
  auto* eleventh = static_cast<char*>(pool->Alloc());
  EXPECT_TRUE(eleventh < first || eleventh >= first + 160);
  EXPECT_EQ(pool->GetAllocatedSize(), 160u + 16 * 16);
  EXPECT_EQ(pool->GetTotalCount(), 11u);
}

TEST(MemAlloc, PoolObjectSizeIsRoundedToTheAlignment) {
  struct Case {
    size_t size;
    int alignment;
    ptrdiff_t spacing;
  };
  const Case cases[] = {{20, 8, 24}, {24, 8, 24}, {1, 16, 16},
                        {10, 0, 10}, {12, 3, 12}, {3, 2, 8} /* free-list link */};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " aligned to " << c.alignment);
    ObjectPool pool;  // no owner: general heap
    pool.Init(nullptr, c.size, c.alignment, 4);
    auto* a = static_cast<char*>(pool.Alloc());
    EXPECT_EQ(static_cast<char*>(pool.Alloc()) - a, c.spacing);
  }
}

TEST(MemAlloc, InitConfiguresPoolsAndStaticAllocators) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  EXPECT_EQ(allocator.Init(), S_OK);
  const struct {
    DWORD index;
    size_t objectSize;
    DWORD growth;
  } pools[] = {
      {quorra::kPartSitePool, RoundUp8(sizeof(PartSite)), 54},
      {quorra::kAssemblySitePool, RoundUp8(sizeof(AssemblySite)), 11},
      {quorra::kPartOccurrencePool, RoundUp8(sizeof(PartOccurrence)), 898},
      {quorra::kAssemblyOccurrencePool, RoundUp8(sizeof(AssemblyOccurrence)), 42},
      {quorra::kAttachmentPool, RoundUp8(sizeof(AttachmentNode)), 2226},
      {quorra::kSmallBlockPool, 16, 16},
  };
  DWORD expectedTotal = 0;
  for (const auto& c : pools) {
    SCOPED_TRACE(testing::Message() << "pool " << c.index);
    ObjectPool* pool = allocator.GetObjectPool(c.index);
    ASSERT_EQ(pool->AllocateInitialPool(1), S_OK);
    pool->Alloc();
    auto* b = static_cast<char*>(pool->Alloc());  // first of a growth block
    EXPECT_EQ(pool->Alloc(), b + c.objectSize);
    EXPECT_EQ(pool->GetAllocatedSize(), (1 + c.growth) * c.objectSize);
    expectedTotal += pool->GetAllocatedSize();
  }
  const size_t blockSizes[] = {8192, 4096, 40960};
  for (DWORD i = 0; i < quorra::kStaticAllocatorCount; ++i) {
    StaticAllocator* statics = allocator.GetStaticAllocator(i);
    statics->Alloc(blockSizes[i]);
    void* outside = statics->Alloc(blockSizes[i] + 1);  // larger than a block: not its own
    EXPECT_EQ(statics->GetAllocatedSize(), blockSizes[i]);
    allocator.Free(outside);
    expectedTotal += statics->GetAllocatedSize();
  }
  EXPECT_EQ(allocator.GetAllocatedSize(), expectedTotal);

  // The sixth pool is left unconfigured and hands out nothing.
  ScopedTraceCapture traces;
  EXPECT_EQ(allocator.GetObjectPool(quorra::kUnconfiguredPool)->Alloc(), nullptr);
  EXPECT_TRUE(traces.Saw("ObjectPool::Alloc"));
}

TEST(MemAlloc, StaticAllocatorBumpsWithoutAlignmentAndCountsWhatItHandsOut) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  StaticAllocator statics;
  statics.Init(&allocator, 1000);
  auto* a = static_cast<char*>(statics.Alloc(3));
  EXPECT_EQ(statics.Alloc(5), a + 3);
  // 992 bytes left: 995 takes a new block and abandons the tail, which still
  // counts as handed out; exactly the rest of a block still fits.
  auto* b = static_cast<char*>(statics.Alloc(995));
  EXPECT_TRUE(b < a || b >= a + 1000);
  EXPECT_EQ(statics.Alloc(5), b + 995);
  EXPECT_EQ(statics.GetTotalSize(), 2000u);
  // Larger than a block: straight from the owner, not counted.
  void* big = statics.Alloc(1001);
  EXPECT_EQ(statics.GetTotalSize(), 2000u);
  EXPECT_EQ(statics.GetAllocatedSize(), 2000u);
  allocator.Free(big);

  // A first block of its own size: (n - 1) x block size - remaining + first.
  StaticAllocator sized;
  sized.Init(&allocator, 1000);
  ASSERT_EQ(sized.AllocateInitialBlock(100), S_OK);
  sized.Alloc(60);
  EXPECT_EQ(sized.GetTotalSize(), 60u);
  sized.Alloc(60);
  EXPECT_EQ(sized.GetTotalSize(), 100u + 60);
  sized.Alloc(1000);
  EXPECT_EQ(sized.GetTotalSize(), 100u + 1000 + 1000);
}

TEST(MemAlloc, BlockRequestsThatCannotBeMetAreTraced) {
  IdsHeapMode mode(false);  // the private heap refuses impossible sizes without asking the system
  MemoryAllocator allocator;
  ScopedTraceCapture traces;
  StaticAllocator statics;
  statics.Init(&allocator, SIZE_MAX - 8);
  EXPECT_EQ(statics.Alloc(1), nullptr);
  EXPECT_TRUE(traces.Saw("StaticAllocator::AllocNewBlock", E_OUTOFMEMORY));
  EXPECT_TRUE(traces.Saw("StaticAllocator::Alloc"));
  ASSERT_EQ(statics.AllocateInitialBlock(16), S_OK);
  EXPECT_EQ(statics.AllocateInitialBlock(16), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("StaticAllocator::AllocateInitialBlock", E_UNEXPECTED));

  ObjectPool pool;
  pool.Init(&allocator, SIZE_MAX - 15, 8, 1);
  EXPECT_EQ(pool.Alloc(), nullptr);
  EXPECT_TRUE(traces.Saw("ObjectPool::AllocNewPool", E_OUTOFMEMORY));
  EXPECT_TRUE(traces.Saw("ObjectPool::Alloc"));
  EXPECT_EQ(pool.AllocateInitialPool(2), E_OUTOFMEMORY);  // count x size does not fit
  pool.Init(&allocator, 16, 8, 1);
  ASSERT_EQ(pool.AllocateInitialPool(2), S_OK);
  EXPECT_EQ(pool.AllocateInitialPool(2), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("ObjectPool::AllocateInitialPool", E_UNEXPECTED));
}

TEST(MemAlloc, LeakReportListsTheBlocksStillAllocated) {
  IdsHeapMode mode(false);
  InspectableAllocator allocator;
  EXPECT_FALSE(allocator.ReportLeaks());  // no heap yet
  void* a = allocator.Alloc(100);
  allocator.Free(allocator.Alloc(7));
  void* c = allocator.Alloc(4096);
  {
    ScopedDebugOutputCapture output;
    EXPECT_TRUE(allocator.ReportLeaks());
    EXPECT_EQ(output.Text(), L"IDS MemoryAllocator::ReportLeaks: Detected QUORRA memory leaks\n" + LeakLine(100, a) +
                                 LeakLine(4096, c));
  }
  allocator.Free(a);
  allocator.Free(c);
  ScopedDebugOutputCapture output;
  EXPECT_FALSE(allocator.ReportLeaks());
  EXPECT_EQ(output.Text(), L"");
}

// In the general-heap mode the sanitizer build's leak check covers the
// destructor: nothing is released by a heap destruction there.
TEST(MemAlloc, DestroyAndDestructionReturnEveryBlock) {
  for (bool disabled : {false, true}) {
    SCOPED_TRACE(disabled ? "DISABLE_IDS_HEAP on" : "DISABLE_IDS_HEAP off");
    IdsHeapMode mode(disabled);
    InspectableAllocator allocator;
    allocator.Init();
    for (DWORD i = 0; i < quorra::kObjectPoolCount; ++i)
      for (int k = 0; i != quorra::kUnconfiguredPool && k < 100; ++k) allocator.GetObjectPool(i)->Alloc();
    for (DWORD i = 0; i < quorra::kStaticAllocatorCount; ++i)
      for (int k = 0; k < 50; ++k) allocator.GetStaticAllocator(i)->Alloc(1000);
    EXPECT_EQ(allocator.Heap() == nullptr, disabled);
    if (disabled) continue;  // the destructor returns it all
    for (DWORD i = 0; i < quorra::kObjectPoolCount; ++i) allocator.GetObjectPool(i)->Destroy();
    for (DWORD i = 0; i < quorra::kStaticAllocatorCount; ++i) allocator.GetStaticAllocator(i)->Destroy();
    EXPECT_EQ(allocator.GetAllocatedSize(), 0u);
    ScopedDebugOutputCapture output;
    EXPECT_FALSE(allocator.ReportLeaks());  // block arrays included
  }
}

}  // namespace
