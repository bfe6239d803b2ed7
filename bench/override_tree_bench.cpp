// Override tables at scale: 10^5 part overrides created by path over an
// assembly of 10^6 part occurrences (three levels of 100 placements each),
// in random order; then bound by path and walked. Bytes per node come from
// the general heap's growth while the table is built. A memory-bandwidth
// probe runs in the same process for comparison.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "support/memory_use.h"
#include "support/memory_probe.h"

namespace {

constexpr DWORD kFanOut = 100;  // 100^3 = 10^6 part occurrences
constexpr size_t kOverrides = 100000;

using Path = std::array<DWORD, 3>;

// 10^5 distinct leaf paths of the assembly, in random order.
const std::vector<Path>& Paths() {
  static const std::vector<Path> paths = [] {
    std::vector<DWORD> leaves(kFanOut * kFanOut * kFanOut);
    for (DWORD i = 0; i < leaves.size(); ++i) leaves[i] = i;
    std::mt19937 random(7);
    std::shuffle(leaves.begin(), leaves.end(), random);
    std::vector<Path> out;
    out.reserve(kOverrides);
    for (size_t i = 0; i < kOverrides; ++i) {
      const DWORD n = leaves[i];
      out.push_back({n / (kFanOut * kFanOut) + 1, (n / kFanOut) % kFanOut + 1, n % kFanOut + 1});
    }
    return out;
  }();
  return paths;
}

using quorra::bench::HeapInUse;

DWORD NodeCount(JIDSOverrideTree& tree) {
  IOTNodeCounter counter;
  tree.GetAsmOverride()->Walk(&counter, 0, 1);
  return counter.GetAssemblyCount() + counter.GetPartCount();
}

std::unique_ptr<JIDSOverrideTree> BuildTable(bool withStyle) {
  auto tree = std::make_unique<JIDSOverrideTree>();
  for (const Path& p : Paths()) {
    if (withStyle) {
      tree->SetStyleID(3, p.data(), 5, IOT_PART, 0);
    } else {
      JIDSOverride* node = nullptr;
      tree->AddOverride(3, p.data(), IOT_PART, &node);
    }
  }
  return tree;
}

// Creating the nodes by path (arg 0: bare nodes; 1: each part carries a style).
void BM_CreateByPath(benchmark::State& state) {
  const bool withStyle = state.range(0) != 0;
  Paths();
  double bytesPerNode = 0;
  DWORD nodes = 0;
  for (auto _ : state) {
    const size_t before = HeapInUse();
    auto tree = BuildTable(withStyle);
    state.PauseTiming();
    nodes = NodeCount(*tree);
    bytesPerNode = double(HeapInUse() - before) / nodes;
    tree.reset();
    state.ResumeTiming();
  }
  state.counters["nodes"] = nodes;
  state.counters["nodes/s"] = benchmark::Counter(double(nodes), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/node"] = bytesPerNode;
}
BENCHMARK(BM_CreateByPath)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Finding every override again by its path.
void BM_BindByPath(benchmark::State& state) {
  auto tree = BuildTable(false);
  for (auto _ : state) {
    size_t found = 0;
    for (const Path& p : Paths()) {
      JIDSOverride* node = nullptr;
      found += tree->GetOverride(3, p.data(), &node) == S_OK;
    }
    benchmark::DoNotOptimize(found);
  }
  state.counters["paths/s"] = benchmark::Counter(double(kOverrides), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_BindByPath)->Unit(benchmark::kMillisecond);

// Walking the whole table with the node counter.
void BM_WalkCount(benchmark::State& state) {
  auto tree = BuildTable(false);
  const DWORD nodes = NodeCount(*tree);
  for (auto _ : state) benchmark::DoNotOptimize(NodeCount(*tree));
  state.counters["nodes/s"] = benchmark::Counter(double(nodes), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WalkCount)->Unit(benchmark::kMillisecond);

// Clearing the table (every node destroyed, styles released).
void BM_Clear(benchmark::State& state) {
  DWORD nodes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto tree = BuildTable(true);
    nodes = NodeCount(*tree);
    state.ResumeTiming();
    tree->Clear();
  }
  state.counters["nodes/s"] = benchmark::Counter(double(nodes), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Clear)->Unit(benchmark::kMillisecond);

// Memory-bandwidth probe: copies 64 MiB; the figures above are quoted
// against it.
void BM_MemoryBandwidthProbe(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

}  // namespace
