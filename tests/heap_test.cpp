#include <gtest/gtest.h>
#include <quorra/quorra.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "support/threads.h"

using quorra::host::ScopedTraceCapture;

namespace {

// Everything a walk lists, by address, with the sizes it reports.
std::map<void*, DWORD> WalkAll(HANDLE heap) {
  std::map<void*, DWORD> blocks;
  PROCESS_HEAP_ENTRY entry{};
  while (HeapWalk(heap, &entry)) {
    EXPECT_EQ(entry.wFlags, PROCESS_HEAP_ENTRY_BUSY);
    EXPECT_TRUE(blocks.emplace(entry.lpData, entry.cbData).second) << "listed twice";
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  return blocks;
}

bool AllBytesAre(const void* block, size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != value) return false;
  return true;
}

}  // namespace

TEST(Heap, WalkListsExactlyTheLiveBlocks) {
  HANDLE heap = HeapCreate(0, 4096, 0);
  ASSERT_NE(heap, nullptr);
  EXPECT_TRUE(WalkAll(heap).empty());

  std::map<void*, DWORD> live;
  std::vector<void*> order;
  for (DWORD size : {16u, 0u, 64u, 100u, 7u, 4000u, 48u}) {
    void* block = HeapAlloc(heap, 0, size);
    ASSERT_NE(block, nullptr);
    live[block] = size;
    order.push_back(block);
  }
  // Free the first, one in the middle and the last.
  for (size_t i : {0u, 3u, 6u}) {
    EXPECT_TRUE(HeapFree(heap, 0, order[i]));
    live.erase(order[i]);
  }
  // Grow one block far enough to move it, shrink another.
  void* grown = HeapReAlloc(heap, 0, order[1], 100000);
  ASSERT_NE(grown, nullptr);
  live.erase(order[1]);
  live[grown] = 100000;
  void* shrunk = HeapReAlloc(heap, 0, order[5], 10);
  ASSERT_NE(shrunk, nullptr);
  live.erase(order[5]);
  live[shrunk] = 10;
  live[HeapAlloc(heap, 0, 33)] = 33;

  EXPECT_EQ(WalkAll(heap), live);
  for (const auto& [block, size] : live) EXPECT_EQ(HeapSize(heap, 0, block), size);
  EXPECT_TRUE(HeapValidate(heap, 0, nullptr));

  // Destroying frees what is left (the leak checker of the sanitizer build
  // would report it otherwise); a fresh heap lists nothing.
  EXPECT_TRUE(HeapDestroy(heap));
  HANDLE fresh = HeapCreate(0, 0, 0);
  EXPECT_TRUE(WalkAll(fresh).empty());
  HeapDestroy(fresh);
}

TEST(Heap, WalkSurvivesFreeingEachBlockAsItIsListed) {
  HANDLE heap = HeapCreate(0, 0, 0);
  for (int i = 0; i < 50; ++i) HeapAlloc(heap, 0, 24);
  int listed = 0;
  PROCESS_HEAP_ENTRY entry{};
  while (HeapWalk(heap, &entry)) {
    ++listed;
    EXPECT_TRUE(HeapFree(heap, 0, entry.lpData));
  }
  EXPECT_EQ(listed, 50);
  EXPECT_TRUE(WalkAll(heap).empty());

  // Freeing the block that would come next is seen by the walk too.
  void* a = HeapAlloc(heap, 0, 8);
  void* b = HeapAlloc(heap, 0, 8);
  void* c = HeapAlloc(heap, 0, 8);
  entry = {};
  ASSERT_TRUE(HeapWalk(heap, &entry));
  EXPECT_EQ(entry.lpData, a);
  HeapFree(heap, 0, b);
  ASSERT_TRUE(HeapWalk(heap, &entry));
  EXPECT_EQ(entry.lpData, c);
  EXPECT_FALSE(HeapWalk(heap, &entry));
  HeapDestroy(heap);
}

TEST(Heap, ZeroMemoryZeroesNewAndGrownBytes) {
  HANDLE heap = HeapCreate(0, 0, 0);
  // Dirty memory first, so that reused memory would show.
  for (int round = 0; round < 4; ++round) {
    void* dirty = HeapAlloc(heap, 0, 256);
    std::memset(dirty, 0xAB, 256);
    HeapFree(heap, 0, dirty);
    void* clean = HeapAlloc(heap, HEAP_ZERO_MEMORY, 256);
    EXPECT_TRUE(AllBytesAre(clean, 256, 0));
    HeapFree(heap, 0, clean);
  }
  auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, 32));
  std::memset(block, 0xCD, 32);
  block = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 5000));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(AllBytesAre(block, 32, 0xCD));  // content kept
  EXPECT_TRUE(AllBytesAre(block + 32, 5000 - 32, 0));
  HeapDestroy(heap);
}

TEST(Heap, BlocksAreSixteenByteAligned) {
  HANDLE heap = HeapCreate(0, 0, 0);
  for (SIZE_T size = 0; size < 100; ++size)
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HeapAlloc(heap, 0, size)) % 16, 0u) << size;
  HeapDestroy(heap);
}

TEST(Heap, MaximumSizeCapsTheBytesHandedOut) {
  HANDLE heap = HeapCreate(0, 0, 1024);
  void* big = HeapAlloc(heap, 0, 1000);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(HeapAlloc(heap, 0, 100), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(HeapReAlloc(heap, 0, big, 2000), nullptr);
  EXPECT_EQ(HeapSize(heap, 0, big), 1000u);  // the old block is intact
  void* smaller = HeapReAlloc(heap, 0, big, 900);
  ASSERT_NE(smaller, nullptr);
  EXPECT_NE(HeapAlloc(heap, 0, 100), nullptr);
  HeapDestroy(heap);
  EXPECT_EQ(HeapCreate(0, 4096, 1024), nullptr);  // initial above maximum
}

TEST(Heap, InPlaceReAllocNeverMoves) {
  HANDLE heap = HeapCreate(0, 0, 0);
  void* block = HeapAlloc(heap, 0, 1000);
  EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 10), block);
  EXPECT_EQ(HeapSize(heap, 0, block), 10u);
  EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 1 << 20), nullptr);
  EXPECT_EQ(HeapSize(heap, 0, block), 10u);
  EXPECT_TRUE(HeapValidate(heap, 0, block));
  HeapDestroy(heap);
}

TEST(Heap, ForeignAndBadArgumentsAreRefused) {
  HANDLE a = HeapCreate(0, 0, 0);
  HANDLE b = HeapCreate(0, 0, 0);
  void* fromA = HeapAlloc(a, 0, 40);
  void* freed = HeapAlloc(a, 0, 40);
  HeapFree(a, 0, freed);

  ScopedTraceCapture traces;
  EXPECT_FALSE(HeapFree(b, 0, fromA));
  EXPECT_TRUE(traces.Saw("HeapFree", E_INVALIDARG));
  EXPECT_EQ(HeapSize(b, 0, fromA), static_cast<SIZE_T>(-1));
  EXPECT_FALSE(HeapValidate(b, 0, fromA));
  EXPECT_FALSE(HeapValidate(a, 0, freed));  // found by address, not read
  EXPECT_TRUE(HeapValidate(a, 0, fromA));
  EXPECT_TRUE(HeapFree(a, 0, nullptr));
  EXPECT_EQ(HeapReAlloc(a, 0, nullptr, 8), nullptr);
  EXPECT_EQ(HeapAlloc(nullptr, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(traces.Saw("HeapAlloc", E_HANDLE));
  EXPECT_FALSE(HeapWalk(a, nullptr));
  EXPECT_FALSE(HeapDestroy(GetProcessHeap()));
  EXPECT_FALSE(HeapUnlock(a));       // not locked
  EXPECT_EQ(WalkAll(a).size(), 1u);  // the refused calls changed nothing
  HeapDestroy(a);
  HeapDestroy(b);
}

TEST(Heap, ProcessHeapAndGeneralHeapSizes) {
  void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 77);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(HeapSize(GetProcessHeap(), 0, block), 77u);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));

  void* general = std::malloc(100);
  EXPECT_GE(_msize(general), 100u);
  std::free(general);
  EXPECT_EQ(_msize(nullptr), 0u);
}

TEST(Heap, LockKeepsOtherThreadsOutButNotTheHolder) {
  HANDLE heap = HeapCreate(0, 0, 0);
  ASSERT_TRUE(HeapLock(heap));
  ASSERT_TRUE(HeapLock(heap));         // recursive
  void* mine = HeapAlloc(heap, 0, 8);  // the holder keeps using the heap
  std::atomic<bool> allocated{false};
  auto body = [&]() -> DWORD {
    HeapAlloc(heap, 0, 8);
    allocated = true;
    return HeapUnlock(heap);  // not the holder: refused
  };
  HANDLE other = quorra::test::StartThread(body);
  EXPECT_EQ(WaitForSingleObject(other, 50), WAIT_TIMEOUT);
  EXPECT_FALSE(allocated);
  EXPECT_TRUE(HeapUnlock(heap));
  EXPECT_EQ(WaitForSingleObject(other, 50), WAIT_TIMEOUT);  // still locked once
  EXPECT_TRUE(HeapUnlock(heap));
  EXPECT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
  DWORD unlockResult = TRUE;
  GetExitCodeThread(other, &unlockResult);
  EXPECT_EQ(unlockResult, static_cast<DWORD>(FALSE));
  EXPECT_TRUE(allocated);
  EXPECT_EQ(WalkAll(heap).size(), 2u);
  EXPECT_TRUE(HeapValidate(heap, 0, mine));
  CloseHandle(other);
  HeapDestroy(heap);
}

TEST(Heap, ConcurrentUseKeepsTheListConsistent) {
  HANDLE heap = HeapCreate(0, 0, 0);
  auto churn = [](void* h) -> DWORD {
    std::vector<void*> kept;
    for (int i = 0; i < 20000; ++i) {
      void* block = HeapAlloc(h, 0, 16 + i % 200);
      if (i % 3 == 0)
        kept.push_back(block);
      else if (i % 3 == 1)
        kept.push_back(HeapReAlloc(h, 0, block, 300));
      else
        HeapFree(h, 0, block);
    }
    for (size_t i = 0; i < kept.size(); i += 2) HeapFree(h, 0, kept[i]);
    return 0;
  };
  HANDLE a = CreateThread(nullptr, 0, churn, heap, 0, nullptr);
  HANDLE b = CreateThread(nullptr, 0, churn, heap, 0, nullptr);
  WaitForSingleObject(a, INFINITE);
  WaitForSingleObject(b, INFINITE);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_TRUE(HeapValidate(heap, 0, nullptr));
  // Each thread keeps 2 of every 3 blocks, then frees every other kept one.
  const size_t keptPerThread = 13334, freedPerThread = (keptPerThread + 1) / 2;
  EXPECT_EQ(WalkAll(heap).size(), 2 * (keptPerThread - freedPerThread));
  HeapDestroy(heap);
}
