// Private heap against the general heap for the small blocks node memory
// carves, and the cost of walking a heap for a leak report.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include "multithreaded_process.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kBlockSize = 64;


void BM_PrivateHeapAllocFree64(benchmark::State& state) {
  HANDLE heap = HeapCreate(0, 4096, 0);
  for (auto _ : state) {
    void* block = HeapAlloc(heap, 0, kBlockSize);
    benchmark::DoNotOptimize(block);
    HeapFree(heap, 0, block);
  }
  HeapDestroy(heap);
}
BENCHMARK(BM_PrivateHeapAllocFree64);

void BM_MallocFree64(benchmark::State& state) {
  for (auto _ : state) {
    void* block = std::malloc(kBlockSize);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(BM_MallocFree64);

// Many live blocks at once, freed in allocation order: the list and the
// general heap both see a realistic working set.
void BM_PrivateHeapBatch64(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  std::vector<void*> blocks(count);
  HANDLE heap = HeapCreate(0, 4096, 0);
  for (auto _ : state) {
    for (void*& block : blocks) block = HeapAlloc(heap, 0, kBlockSize);
    for (void* block : blocks) HeapFree(heap, 0, block);
  }
  HeapDestroy(heap);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_PrivateHeapBatch64)->Arg(1000)->Arg(100000);

void BM_MallocBatch64(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  std::vector<void*> blocks(count);
  for (auto _ : state) {
    for (void*& block : blocks) block = std::malloc(kBlockSize);
    for (void* block : blocks) std::free(block);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_MallocBatch64)->Arg(1000)->Arg(100000);

// Tearing a heap down whole, as node memory does, against freeing each block.
void BM_PrivateHeapDestroyWhole(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    HANDLE heap = HeapCreate(0, 4096, 0);
    for (size_t i = 0; i < count; ++i) benchmark::DoNotOptimize(HeapAlloc(heap, 0, kBlockSize));
    HeapDestroy(heap);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_PrivateHeapDestroyWhole)->Arg(100000);

void BM_HeapWalk(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  HANDLE heap = HeapCreate(0, 4096, 0);
  for (size_t i = 0; i < count; ++i) HeapAlloc(heap, 0, kBlockSize);
  for (auto _ : state) {
    PROCESS_HEAP_ENTRY entry{};
    size_t listed = 0;
    while (HeapWalk(heap, &entry)) ++listed;
    benchmark::DoNotOptimize(listed);
  }
  HeapDestroy(heap);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_HeapWalk)->Arg(10000);

}  // namespace
