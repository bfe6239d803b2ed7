// Node memory against the general heap: a pool's Alloc/Free against
// malloc/free of the same size, and a static allocator's bump against
// malloc, one object at a time and in batches that build and tear down a
// working set the way a tree does. "per_op" is the time of one
// allocation (with its free, where there is one).
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include "multithreaded_process.h"

#include <cstdlib>
#include <vector>
#include "core/testing_hooks.h"

namespace {

constexpr size_t kStaticRequest = 24;  // a typical small variable-size record
constexpr int kBatch = 10000;


void SetPerOp(benchmark::State& state, int64_t opsPerIteration) {
  state.counters["per_op"] =
      benchmark::Counter(static_cast<double>(opsPerIteration),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * opsPerIteration);
}

size_t PartOccurrenceSize() {
  MemoryAllocator allocator;
  allocator.Init();
  auto* pool = allocator.GetObjectPool(quorra::kPartOccurrencePool);
  auto* a = static_cast<char*>(pool->Alloc());
  auto* b = static_cast<char*>(pool->Alloc());
  return static_cast<size_t>(b - a);
}

// Runs with the private heap on (arg 1) or off (arg 0), then restores.
class HeapModeArg {
 public:
  explicit HeapModeArg(const benchmark::State& state)
      : previous_(quorra::SetIdsHeapDisabledForTesting(state.range(0) == 0)) {}
  ~HeapModeArg() { quorra::SetIdsHeapDisabledForTesting(previous_); }

 private:
  bool previous_;
};

void BM_PoolAllocFree(benchmark::State& state) {
  MemoryAllocator allocator;
  allocator.Init();
  ObjectPool* pool = allocator.GetObjectPool(quorra::kPartOccurrencePool);
  pool->Free(pool->Alloc());
  for (auto _ : state) {
    void* object = pool->Alloc();
    benchmark::DoNotOptimize(object);
    pool->Free(object);
  }
  SetPerOp(state, 1);
}
BENCHMARK(BM_PoolAllocFree);

void BM_MallocFreePartOccurrenceSize(benchmark::State& state) {
  const size_t size = PartOccurrenceSize();
  for (auto _ : state) {
    void* object = std::malloc(size);
    benchmark::DoNotOptimize(object);
    std::free(object);
  }
  SetPerOp(state, 1);
}
BENCHMARK(BM_MallocFreePartOccurrenceSize);

// A fresh allocator per batch: kBatch objects carved (blocks allocated as
// needed), half freed and taken again, then everything returned at once.
void BM_PoolBatch(benchmark::State& state) {
  HeapModeArg mode(state);
  std::vector<void*> objects(kBatch);
  for (auto _ : state) {
    MemoryAllocator allocator;
    allocator.Init();
    ObjectPool* pool = allocator.GetObjectPool(quorra::kPartOccurrencePool);
    for (void*& object : objects) object = pool->Alloc();
    for (int i = 0; i < kBatch; i += 2) pool->Free(objects[i]);
    for (int i = 0; i < kBatch; i += 2) objects[i] = pool->Alloc();
    benchmark::DoNotOptimize(objects.data());
  }
  SetPerOp(state, kBatch + kBatch / 2);
}
BENCHMARK(BM_PoolBatch)->ArgName("private_heap")->Arg(0)->Arg(1);

void BM_MallocBatchPartOccurrenceSize(benchmark::State& state) {
  const size_t size = PartOccurrenceSize();
  std::vector<void*> objects(kBatch);
  for (auto _ : state) {
    for (void*& object : objects) object = std::malloc(size);
    for (int i = 0; i < kBatch; i += 2) std::free(objects[i]);
    for (int i = 0; i < kBatch; i += 2) objects[i] = std::malloc(size);
    benchmark::DoNotOptimize(objects.data());
    for (void* object : objects) std::free(object);
  }
  SetPerOp(state, kBatch + kBatch / 2);
}
BENCHMARK(BM_MallocBatchPartOccurrenceSize);

// kBatch records bumped out of 8192-byte blocks, then released with the
// allocator.
void BM_StaticAllocatorBump(benchmark::State& state) {
  HeapModeArg mode(state);
  for (auto _ : state) {
    MemoryAllocator allocator;
    allocator.Init();
    StaticAllocator* statics = allocator.GetStaticAllocator(0);
    for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(statics->Alloc(kStaticRequest));
  }
  SetPerOp(state, kBatch);
}
BENCHMARK(BM_StaticAllocatorBump)->ArgName("private_heap")->Arg(0)->Arg(1);

void BM_MallocBatchStaticSize(benchmark::State& state) {
  std::vector<void*> records(kBatch);
  for (auto _ : state) {
    for (void*& record : records) record = std::malloc(kStaticRequest);
    benchmark::DoNotOptimize(records.data());
    for (void* record : records) std::free(record);
  }
  SetPerOp(state, kBatch);
}
BENCHMARK(BM_MallocBatchStaticSize);

}  // namespace
