// Occurrence styles at scale: every occurrence of a flat assembly asked for
// its style, once with packed symbologies (served from the per-node style
// cache after the first pass) and once with style-library keys (looked up in
// the library on every call). A memory-bandwidth probe runs in the same
// process so that figures from a loaded machine can be compared.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "multithreaded_process.h"

#include "support/trees.h"

namespace {


// A root assembly placing `count` parts (from 300 part sites); every part
// occurrence gets a symbology from `symbologyOf(i)`.
struct FlatAssembly {
  quorra::bench::TreePtr tree{new AsmTree()};
  std::vector<OccurrenceNode*> parts;

  template <class SymbologyOf>
  FlatAssembly(int count, SymbologyOf symbologyOf) {
    tree->Init();
    AssemblySite* root = nullptr;
    tree->CreateAssemblySite(L"root.asm", 0, &root);
    std::vector<PartSite*> sites(300);
    for (size_t i = 0; i < sites.size(); ++i)
      tree->CreatePartSite((L"part" + std::to_wstring(i) + L".par").c_str(), 0, &sites[i]);
    for (int i = 0; i < count; ++i) {
      tagG4x4 placement = tagG4x4::Translation(i, 0, 0);
      root->AddSingleAttachment(sites[i % sites.size()], &placement, 0, 0, nullptr);
    }
    tree->CreateOccurrenceTree(root);
    AssemblyOccurrence* top = tree->GetRootAssembly();
    for (DWORD i = 0; i < top->GetChildCount(); ++i) {
      OccurrenceNode* part = top->GetChildByIndex(i);
      part->SetSymbology(symbologyOf(i));
      parts.push_back(part);
    }
  }
};

// Arg 0: occurrences; arg 1: 1 for packed symbologies (cached), 0 for
// style-library keys (not cached). 64 distinct symbologies either way.
void BM_GetStyle(benchmark::State& state) {
  const bool packed = state.range(1) != 0;
  FlatAssembly assembly(static_cast<int>(state.range(0)), [packed](DWORD i) {
    return packed ? quorra::PackSymbology((i % 4) / 3.0, (i / 4 % 4) / 3.0, (i / 16 % 4) / 3.0, 1, 0.85, 0, 0, 1)
                  : 0x100u + i % 64;
  });
  size_t found = 0;
  for (OccurrenceNode* part : assembly.parts) found += part->GetStyle(0) != nullptr;  // warm the library
  for (auto _ : state) {
    for (OccurrenceNode* part : assembly.parts) found += part->GetStyle(0) != nullptr;
  }
  benchmark::DoNotOptimize(found);
  state.counters["ns/occ"] = benchmark::Counter(double(assembly.parts.size()) * 1e-9,
                                                benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}
BENCHMARK(BM_GetStyle)->Args({100000, 1})->Args({100000, 0})->Unit(benchmark::kMillisecond);

// Memory-bandwidth probe: copies 256 MiB between two buffers.
void BM_MemoryBandwidthProbe(benchmark::State& state) {
  const size_t size = size_t(256) << 20;
  std::vector<char> from(size, 1), to(size, 2);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size) * 2);
}
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

}  // namespace
