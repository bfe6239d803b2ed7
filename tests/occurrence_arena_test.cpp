#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "core/chunk_stock.h"
#include "core/occurrence_arena.h"

namespace {

using quorra::OccurrenceArena;

struct Slot {
  char* address;
  size_t size;
};

// No two live slots may overlap, whatever their size class.
void ExpectDisjoint(std::vector<Slot> slots) {
  std::sort(slots.begin(), slots.end(), [](const Slot& a, const Slot& b) { return a.address < b.address; });
  for (size_t i = 1; i < slots.size(); ++i)
    ASSERT_LE(slots[i - 1].address + slots[i - 1].size, slots[i].address) << "slots " << i - 1 << " and " << i;
}

// Fills a slot with a pattern that a neighbour's overflow would break.
void Fill(const Slot& slot, unsigned char tag) { std::memset(slot.address, tag, slot.size); }
bool Intact(const Slot& slot, unsigned char tag) {
  for (size_t i = 0; i < slot.size; ++i)
    if (static_cast<unsigned char>(slot.address[i]) != tag) return false;
  return true;
}

TEST(OccurrenceArena, PartAndAssemblySlotsNeverShareMemoryAcrossReuse) {
  OccurrenceArena arena;
  const size_t sizes[] = {OccurrenceArena::kSmallSlotSize, OccurrenceArena::kSlotSize};
  // Enough slots of each size for several chunks, interleaved as a depth
  // first build makes them.
  std::vector<Slot> live;
  for (int i = 0; i < 30000; ++i) {
    const size_t size = sizes[i % 7 == 0 ? 1 : 0];
    void* slot = arena.Allocate(size);
    ASSERT_NE(slot, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(slot) % 8, 0u);
    live.push_back({static_cast<char*>(slot), size});
  }
  EXPECT_EQ(arena.GetSlotsInUse(), live.size());
  ExpectDisjoint(live);

  // Free every other slot, then ask for the other size as often: a freed
  // part slot must never come back as an assembly slot, which is larger.
  std::vector<Slot> kept;
  for (size_t i = 0; i < live.size(); ++i) {
    if (i % 2) {
      OccurrenceArena::Free(live[i].address);
    } else {
      kept.push_back(live[i]);
    }
  }
  for (size_t i = 0; i < kept.size(); ++i) Fill(kept[i], static_cast<unsigned char>(i));
  std::vector<Slot> again = kept;
  for (size_t i = 0; i < live.size() / 2; ++i) {
    const size_t size = sizes[i % 3 == 0 ? 0 : 1];
    void* slot = arena.Allocate(size);
    ASSERT_NE(slot, nullptr);
    std::memset(slot, 0xEE, size);
    again.push_back({static_cast<char*>(slot), size});
  }
  ExpectDisjoint(again);
  for (size_t i = 0; i < kept.size(); ++i) ASSERT_TRUE(Intact(kept[i], static_cast<unsigned char>(i))) << i;

  // Everything freed: only the chunks new slots are cut from remain.
  for (const Slot& slot : again) OccurrenceArena::Free(slot.address);
  EXPECT_EQ(arena.GetSlotsInUse(), 0u);
  EXPECT_LE(arena.GetChunkCount(), 2u);
}

TEST(OccurrenceArena, RefusesObjectsLargerThanTheLargestSlot) {
  OccurrenceArena arena;
  EXPECT_EQ(arena.Allocate(OccurrenceArena::kSlotSize + 1), nullptr);
  EXPECT_EQ(arena.GetSlotsInUse(), 0u);
  void* small = arena.Allocate(1);
  void* large = arena.Allocate(OccurrenceArena::kSmallSlotSize + 1);
  ASSERT_NE(small, nullptr);
  ASSERT_NE(large, nullptr);
  // The two sizes come from different chunks.
  const uintptr_t chunkMask = ~(OccurrenceArena::kChunkSize - 1);
  EXPECT_NE(reinterpret_cast<uintptr_t>(small) & chunkMask, reinterpret_cast<uintptr_t>(large) & chunkMask);
  OccurrenceArena::Free(small);
  OccurrenceArena::Free(large);
}

}  // namespace

namespace {

using quorra::ChunkStock;

// Polls the stock until the background filler has a chunk ready.
void* TakeFilledChunk() {
  for (int i = 0; i < 5000; ++i) {
    if (void* chunk = ChunkStock::Instance().Take()) return chunk;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return nullptr;
}

TEST(ChunkStock, HandsOutAlignedWritableChunksAndTakesBackWhatFits) {
  std::vector<void*> taken;
  const size_t wanted = ChunkStock::kCapacity + 4;
  for (size_t i = 0; i < wanted; ++i) {
    void* chunk = TakeFilledChunk();
    ASSERT_NE(chunk, nullptr) << "the filler never delivered chunk " << i;
    // Arenas find a node's chunk by masking its address.
    ASSERT_EQ(reinterpret_cast<uintptr_t>(chunk) % OccurrenceArena::kChunkSize, 0u);
    std::memset(chunk, 0x5A, OccurrenceArena::kChunkSize);
    taken.push_back(chunk);
  }
  // The stock keeps only a few of the chunks given back; the caller unmaps
  // the rest.
  size_t kept = 0;
  while (!taken.empty() && ChunkStock::Instance().Give(taken.back())) {
    taken.pop_back();
    ++kept;
  }
  EXPECT_LE(kept, ChunkStock::kCapacity);
  for (void* chunk : taken) munmap(chunk, OccurrenceArena::kChunkSize);
}

}  // namespace
