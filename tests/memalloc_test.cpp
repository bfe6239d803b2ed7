#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

TEST(MemAlloc, PrivateHeapIsCreatedByTheFirstRequestOnlyWhenEnabled) {
  for (bool disabled : {false, true}) {
    SCOPED_TRACE(disabled ? "DISABLE_IDS_HEAP on" : "DISABLE_IDS_HEAP off");
    IdsHeapMode mode(disabled);
    InspectableAllocator allocator;
    EXPECT_EQ(allocator.Heap(), nullptr);
    void* block = allocator.Alloc(13);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(allocator.Heap() == nullptr, disabled);
    // The private heap knows the requested size; the general heap its usable size.
    EXPECT_EQ(allocator.GetBlockSize(block), disabled ? _msize(block) : 13u);
    if (!disabled) {
      EXPECT_TRUE(HeapValidate(allocator.Heap(), 0, block));
    }
    allocator.Free(block);
    if (!disabled) {
      EXPECT_FALSE(HeapValidate(allocator.Heap(), 0, block));
    }
  }
}

TEST(MemAlloc, ReAllocOnThePrivateHeap) {
  IdsHeapMode mode(false);
  InspectableAllocator allocator;
  // A null block allocates, and creates the heap.
  auto* block = static_cast<char*>(allocator.ReAlloc(nullptr, 32));
  ASSERT_NE(block, nullptr);
  ASSERT_NE(allocator.Heap(), nullptr);
  EXPECT_EQ(allocator.GetBlockSize(block), 32u);
  std::memcpy(block, "node memory", 12);

  auto* grown = static_cast<char*>(allocator.ReAlloc(block, 4000));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(allocator.GetBlockSize(grown), 4000u);
  EXPECT_STREQ(grown, "node memory");

  // Size 0: the block is freed and a new zero-size block answered.
  void* empty = allocator.ReAlloc(grown, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(allocator.GetBlockSize(empty), 0u);
  EXPECT_FALSE(HeapValidate(allocator.Heap(), 0, grown));

  // A resize the heap cannot satisfy frees the block and answers null.
  void* doomed = allocator.Alloc(8);
  EXPECT_EQ(allocator.ReAlloc(doomed, SIZE_MAX - 8), nullptr);
  EXPECT_FALSE(HeapValidate(allocator.Heap(), 0, doomed));
  EXPECT_TRUE(HeapValidate(allocator.Heap(), 0, empty));
  allocator.Free(empty);
}

TEST(MemAlloc, ReAllocOnTheGeneralHeapBehavesAsRealloc) {
  IdsHeapMode mode(true);
  InspectableAllocator allocator;
  auto* block = static_cast<char*>(allocator.ReAlloc(nullptr, 32));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(allocator.Heap(), nullptr);
  EXPECT_GE(allocator.GetBlockSize(block), 32u);
  std::memcpy(block, "node memory", 12);
  auto* grown = static_cast<char*>(allocator.ReAlloc(block, 4000));
  ASSERT_NE(grown, nullptr);
  EXPECT_STREQ(grown, "node memory");
  EXPECT_EQ(allocator.GetBlockSize(grown), _msize(grown));
  // Size 0 frees and answers null (the sanitizer build catches a leak or a
  // double free here).
  EXPECT_EQ(allocator.ReAlloc(grown, 0), nullptr);
}

TEST(MemAlloc, PoolHandsOutTheLastFreedObjectFirst) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  allocator.Init();
  ObjectPool* pool = allocator.GetObjectPool(quorra::kSmallBlockPool);
  void* a = pool->Alloc();
  void* b = pool->Alloc();
  void* c = pool->Alloc();
  ASSERT_TRUE(a && b && c);
  pool->Free(a);
  EXPECT_EQ(pool->Alloc(), a);
  pool->Free(a);
  pool->Free(c);
  EXPECT_EQ(pool->GetTotalCount(), 1u);
  EXPECT_EQ(pool->Alloc(), c);
  EXPECT_EQ(pool->Alloc(), a);
  void* fresh = pool->Alloc();
  EXPECT_TRUE(fresh != a && fresh != b && fresh != c);
  EXPECT_EQ(pool->GetTotalCount(), 4u);
  pool->Free(nullptr);  // ignored
  EXPECT_EQ(pool->GetTotalCount(), 4u);
}

TEST(MemAlloc, InitialPoolIsUsedUpBeforeAGrowthBlock) {
  IdsHeapMode mode(false);  // exact block sizes
  MemoryAllocator allocator;
  allocator.Init();
  ObjectPool* pool = allocator.GetObjectPool(quorra::kSmallBlockPool);  // 16 bytes, growth 16
  ASSERT_EQ(pool->AllocateInitialPool(10), S_OK);
  EXPECT_EQ(pool->GetAllocatedSize(), 160u);
  auto* first = static_cast<char*>(pool->Alloc());
  for (int i = 1; i < 10; ++i) EXPECT_EQ(pool->Alloc(), first + 16 * i);
  EXPECT_EQ(pool->GetAllocatedSize(), 160u);
  EXPECT_EQ(pool->GetTotalCount(), 10u);

  auto* eleventh = static_cast<char*>(pool->Alloc());
  EXPECT_TRUE(eleventh < first || eleventh >= first + 160);
  EXPECT_EQ(pool->GetAllocatedSize(), 160u + 16 * 16);
  EXPECT_EQ(pool->GetTotalCount(), 11u);
  EXPECT_EQ(pool->Alloc(), eleventh + 16);
}

TEST(MemAlloc, PoolCountsObjectsAcrossBlocksAndTheFreeList) {
  IdsHeapMode mode(false);
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
  pool.Free(objects[8]);
  EXPECT_EQ(pool.GetTotalCount(), 6u);
  pool.Alloc();
  EXPECT_EQ(pool.GetTotalCount(), 7u);

  // Without an initial pool the first block has growth-count objects.
  ObjectPool grown;
  grown.Init(&allocator, 24, 8, 4);
  for (int i = 0; i < 5; ++i) grown.Alloc();
  EXPECT_EQ(grown.GetTotalCount(), 5u);
  EXPECT_EQ(grown.GetAllocatedSize(), 8u * 24);

  // Destroy empties the pool and keeps its configuration.
  grown.Destroy();
  EXPECT_EQ(grown.GetTotalCount(), 0u);
  EXPECT_EQ(grown.GetAllocatedSize(), 0u);
  ASSERT_EQ(grown.AllocateInitialPool(2), S_OK);
  EXPECT_EQ(grown.GetAllocatedSize(), 2u * 24);
}

TEST(MemAlloc, PoolObjectSizeIsRoundedToTheAlignment) {
  struct Case {
    size_t size;
    int alignment;
    ptrdiff_t spacing;
  };
  const Case cases[] = {
      {20, 8, 24}, {24, 8, 24}, {1, 16, 16}, {10, 0, 10}, {12, 3, 12}, {3, 2, 8} /* room for the free-list link */,
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " aligned to " << c.alignment);
    ObjectPool pool;  // no owner: general heap
    pool.Init(nullptr, c.size, c.alignment, 4);
    auto* a = static_cast<char*>(pool.Alloc());
    auto* b = static_cast<char*>(pool.Alloc());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b - a, c.spacing);
    EXPECT_GE(pool.GetAllocatedSize(), static_cast<DWORD>(4 * c.spacing));
  }
}

TEST(MemAlloc, InitConfiguresPoolsAndStaticAllocators) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  EXPECT_EQ(allocator.Init(), S_OK);
  struct PoolCase {
    DWORD index;
    size_t objectSize;
    DWORD growth;
  };
  const PoolCase pools[] = {
      {quorra::kPartSitePool, RoundUp8(sizeof(PartSite)), 54},
      {quorra::kAssemblySitePool, RoundUp8(sizeof(AssemblySite)), 11},
      {quorra::kPartOccurrencePool, RoundUp8(sizeof(PartOccurrence)), 898},
      {quorra::kAssemblyOccurrencePool, RoundUp8(sizeof(AssemblyOccurrence)), 42},
      {quorra::kAttachmentPool, RoundUp8(sizeof(AttachmentNode)), 2226},
      {quorra::kSmallBlockPool, 16, 16},
  };
  DWORD expectedTotal = 0;
  for (const PoolCase& c : pools) {
    SCOPED_TRACE(testing::Message() << "pool " << c.index);
    ObjectPool* pool = allocator.GetObjectPool(c.index);
    ASSERT_EQ(pool->AllocateInitialPool(1), S_OK);
    auto* a = static_cast<char*>(pool->Alloc());
    auto* b = static_cast<char*>(pool->Alloc());  // first of a growth block
    EXPECT_EQ(pool->Alloc(), b + c.objectSize);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(pool->GetAllocatedSize(), (1 + c.growth) * c.objectSize);
    expectedTotal += pool->GetAllocatedSize();
  }

  const size_t blockSizes[] = {8192, 4096, 40960};
  for (DWORD i = 0; i < 3; ++i) {
    SCOPED_TRACE(testing::Message() << "static allocator " << i);
    StaticAllocator* statics = allocator.GetStaticAllocator(i);
    EXPECT_NE(statics->Alloc(blockSizes[i]), nullptr);  // exactly one block
    EXPECT_EQ(statics->GetAllocatedSize(), blockSizes[i]);
    void* outside = statics->Alloc(blockSizes[i] + 1);  // larger than a block: not its own
    EXPECT_EQ(statics->GetAllocatedSize(), blockSizes[i]);
    allocator.Free(outside);
    expectedTotal += statics->GetAllocatedSize();
  }
  EXPECT_EQ(allocator.GetAllocatedSize(), expectedTotal);

  // The sixth pool is left unconfigured and hands out nothing.
  ScopedTraceCapture traces;
  ObjectPool* unused = allocator.GetObjectPool(quorra::kUnconfiguredPool);
  EXPECT_EQ(unused->Alloc(), nullptr);
  EXPECT_TRUE(traces.Saw("ObjectPool::Alloc"));
  EXPECT_EQ(unused->AllocateInitialPool(4), E_UNEXPECTED);
  EXPECT_EQ(allocator.GetObjectPool(quorra::kObjectPoolCount), nullptr);
  EXPECT_EQ(allocator.GetStaticAllocator(quorra::kStaticAllocatorCount), nullptr);
}

TEST(MemAlloc, StaticAllocatorBumpsWithoutAlignmentAndCountsWhatItHandsOut) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  StaticAllocator statics;
  statics.Init(&allocator, 1000);
  EXPECT_EQ(statics.GetTotalSize(), 0u);
  auto* a = static_cast<char*>(statics.Alloc(3));
  EXPECT_EQ(statics.Alloc(5), a + 3);
  EXPECT_EQ(statics.GetTotalSize(), 8u);
  EXPECT_EQ(statics.GetAllocatedSize(), 1000u);

  // 992 bytes left: 995 needs a new block and abandons the tail, which still
  // counts as handed out.
  auto* b = static_cast<char*>(statics.Alloc(995));
  EXPECT_TRUE(b < a || b >= a + 1000);
  EXPECT_EQ(statics.GetTotalSize(), 1995u);
  EXPECT_EQ(statics.GetAllocatedSize(), 2000u);
  // Exactly the rest of the block still fits.
  EXPECT_EQ(statics.Alloc(5), b + 995);
  EXPECT_EQ(statics.GetTotalSize(), 2000u);

  // Larger than a block: straight from the owner, not counted.
  void* big = statics.Alloc(1001);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(statics.GetTotalSize(), 2000u);
  EXPECT_EQ(statics.GetAllocatedSize(), 2000u);
  allocator.Free(big);
  statics.Free(a, 3);  // does nothing
  EXPECT_EQ(statics.GetTotalSize(), 2000u);

  // A first block of its own size: (n - 1) x block size - remaining + first.
  StaticAllocator sized;
  sized.Init(&allocator, 1000);
  ASSERT_EQ(sized.AllocateInitialBlock(100), S_OK);
  sized.Alloc(60);
  EXPECT_EQ(sized.GetTotalSize(), 60u);
  sized.Alloc(60);  // new 1000-byte block
  EXPECT_EQ(sized.GetTotalSize(), 100u + 60);
  sized.Alloc(1000);  // a third block, used up
  EXPECT_EQ(sized.GetTotalSize(), 100u + 1000 + 1000);
  EXPECT_EQ(sized.GetAllocatedSize(), 2100u);
}

TEST(MemAlloc, InitialBlockRequestsOnNonEmptyMembersAreRefused) {
  IdsHeapMode mode(false);
  MemoryAllocator allocator;
  allocator.Init();
  ScopedTraceCapture traces;
  StaticAllocator* statics = allocator.GetStaticAllocator(0);
  ASSERT_EQ(statics->AllocateInitialBlock(64), S_OK);
  EXPECT_EQ(statics->AllocateInitialBlock(64), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("StaticAllocator::AllocateInitialBlock", E_UNEXPECTED));
  StaticAllocator* used = allocator.GetStaticAllocator(1);
  used->Alloc(1);
  EXPECT_EQ(used->AllocateInitialBlock(64), E_UNEXPECTED);

  ObjectPool* pool = allocator.GetObjectPool(quorra::kAttachmentPool);
  ASSERT_EQ(pool->AllocateInitialPool(5), S_OK);
  EXPECT_EQ(pool->AllocateInitialPool(5), E_UNEXPECTED);
  EXPECT_TRUE(traces.Saw("ObjectPool::AllocateInitialPool", E_UNEXPECTED));
  EXPECT_EQ(statics->GetAllocatedSize(), 64u);
  EXPECT_EQ(pool->GetAllocatedSize(), 5 * RoundUp8(sizeof(AttachmentNode)));
}

TEST(MemAlloc, AllocationFailuresAreTracedAndLeaveMembersUsable) {
  IdsHeapMode mode(false);  // the private heap refuses impossible sizes without asking the system
  MemoryAllocator allocator;
  ScopedTraceCapture traces;

  StaticAllocator statics;
  statics.Init(&allocator, SIZE_MAX - 8);
  EXPECT_EQ(statics.Alloc(1), nullptr);
  EXPECT_TRUE(traces.Saw("StaticAllocator::AllocNewBlock", E_OUTOFMEMORY));
  EXPECT_TRUE(traces.Saw("StaticAllocator::Alloc"));
  EXPECT_EQ(statics.GetTotalSize(), 0u);
  EXPECT_EQ(statics.AllocateInitialBlock(16), S_OK);
  EXPECT_NE(statics.Alloc(16), nullptr);

  ObjectPool pool;
  pool.Init(&allocator, SIZE_MAX - 15, 8, 1);
  EXPECT_EQ(pool.Alloc(), nullptr);
  EXPECT_TRUE(traces.Saw("ObjectPool::AllocNewPool", E_OUTOFMEMORY));
  EXPECT_TRUE(traces.Saw("ObjectPool::Alloc"));
  EXPECT_EQ(pool.AllocateInitialPool(2), E_OUTOFMEMORY);  // count x size does not fit
  EXPECT_EQ(pool.GetTotalCount(), 0u);
}

TEST(MemAlloc, LeakReportListsTheBlocksStillAllocated) {
  IdsHeapMode mode(false);
  InspectableAllocator allocator;
  {
    ScopedDebugOutputCapture output;
    EXPECT_FALSE(allocator.ReportLeaks());  // no heap yet
    EXPECT_EQ(output.Text(), L"");
  }
  void* a = allocator.Alloc(100);
  void* b = allocator.Alloc(7);
  void* c = allocator.Alloc(4096);
  allocator.Free(b);
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

TEST(MemAlloc, DestroyReturnsEveryBlockAndTheBlockArrays) {
  IdsHeapMode mode(false);
  InspectableAllocator allocator;
  allocator.Init();
  for (DWORD i = 0; i < quorra::kObjectPoolCount; ++i) {
    if (i == quorra::kUnconfiguredPool) continue;
    ObjectPool* pool = allocator.GetObjectPool(i);
    pool->AllocateInitialPool(2);
    for (int k = 0; k < 3; ++k) pool->Alloc();  // two blocks
  }
  for (DWORD i = 0; i < quorra::kStaticAllocatorCount; ++i)
    for (int k = 0; k < 3; ++k) allocator.GetStaticAllocator(i)->Alloc(3000);
  EXPECT_NE(allocator.GetAllocatedSize(), 0u);

  for (DWORD i = 0; i < quorra::kObjectPoolCount; ++i) allocator.GetObjectPool(i)->Destroy();
  for (DWORD i = 0; i < quorra::kStaticAllocatorCount; ++i) allocator.GetStaticAllocator(i)->Destroy();
  EXPECT_EQ(allocator.GetAllocatedSize(), 0u);
  ScopedDebugOutputCapture output;
  EXPECT_FALSE(allocator.ReportLeaks());
}

// The sanitizer build's leak check covers this: with the general heap nothing
// is released by a heap destruction, so every block must go back one by one.
TEST(MemAlloc, DestructionReturnsEverythingInBothModes) {
  for (bool disabled : {false, true}) {
    SCOPED_TRACE(disabled ? "DISABLE_IDS_HEAP on" : "DISABLE_IDS_HEAP off");
    IdsHeapMode mode(disabled);
    MemoryAllocator allocator;
    allocator.Init();
    std::vector<void*> objects;
    for (int k = 0; k < 5000; ++k) objects.push_back(allocator.GetObjectPool(quorra::kSmallBlockPool)->Alloc());
    for (size_t k = 0; k < objects.size(); k += 3) allocator.GetObjectPool(quorra::kSmallBlockPool)->Free(objects[k]);
    EXPECT_EQ(allocator.GetObjectPool(quorra::kSmallBlockPool)->GetTotalCount(), 5000u - 1667);
    for (int k = 0; k < 100; ++k) allocator.GetStaticAllocator(2)->Alloc(1000);
    EXPECT_GE(allocator.GetAllocatedSize(), 5000u * 16 + 3 * 40960);
    // A bare block from the private heap goes with it; on the general heap it
    // is the caller's to free.
    void* bare = allocator.Alloc(64);
    if (disabled) allocator.Free(bare);
  }
}

}  // namespace
