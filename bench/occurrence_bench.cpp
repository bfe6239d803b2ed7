// Occurrence trees at scale: building them from synthetic site graphs,
// walking them while computing world matrices and ranges, and binding
// occurrences by roadmap.
//
// The site graph has depth 4: a root assembly, three levels of shared
// sub-assembly sites and a few hundred shared part sites at the bottom.
// Every assembly site places `fan-out` children of the next level, so the
// occurrence tree holds 1 + F1 + F1F2 + F1F2F3 + F1F2F3F4 occurrences.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <quorra/quorra.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/memory_use.h"
#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

constexpr int kAssemblySitesPerLevel = 6;
constexpr int kPartSites = 300;

// The host's stored-range entry, as a loaded assembly module offers it:
// here it never has a stored range, so part ranges come from their sites.
HRESULT NoStoredRange(OccurrenceNode*, tagGBox*) { return E_FAIL; }

void RegisterAssemblyModule() {
  quorra::host::RegisterModule(L"brenik.dex", {{"JGetOccurrenceRange", reinterpret_cast<void*>(&NoStoredRange)}});
}

tagG4x4 RandomPlacement(std::mt19937& random) {
  std::uniform_real_distribution<double> offset(-50.0, 50.0);
  std::uniform_real_distribution<double> angle(0.0, 6.28);
  return tagG4x4::Translation(offset(random), offset(random), offset(random)) * tagG4x4::RotationZ(angle(random));
}

// A tree with the synthetic site graph; the occurrence tree is not built.
struct SiteGraph {
  TreePtr tree;
  AssemblySite* root = nullptr;
  size_t occurrences = 0;
};

SiteGraph MakeSiteGraph(const std::array<int, 4>& fanOut) {
  SiteGraph graph;
  graph.tree.reset(new AsmTree());
  graph.tree->Init();
  std::mt19937 random(42);

  std::vector<PartSite*> parts;
  for (int i = 0; i < kPartSites; ++i) {
    PartSite* part = nullptr;
    graph.tree->CreatePartSite((L"part" + std::to_wstring(i) + L".par").c_str(), 0, &part);
    const double size = 1.0 + i % 7;
    tagGBox range(0, 0, 0, size, size / 2, size / 3);
    part->SetRange(&range);
    parts.push_back(part);
  }
  // levels[0] is the root; levels[1..3] the shared sub-assembly sites.
  std::vector<std::vector<AssemblySite*>> levels(4);
  for (int level = 0; level < 4; ++level) {
    const int count = level == 0 ? 1 : kAssemblySitesPerLevel;
    for (int i = 0; i < count; ++i) {
      AssemblySite* site = nullptr;
      graph.tree->CreateAssemblySite((L"asm" + std::to_wstring(level) + L"_" + std::to_wstring(i) + L".asm").c_str(), 0,
                                     &site);
      levels[level].push_back(site);
    }
  }
  int nextPart = 0;
  for (int level = 0; level < 4; ++level) {
    for (size_t s = 0; s < levels[level].size(); ++s) {
      for (int c = 0; c < fanOut[level]; ++c) {
        SiteNode* child = level < 3 ? static_cast<SiteNode*>(levels[level + 1][(s + c) % kAssemblySitesPerLevel])
                                    : static_cast<SiteNode*>(parts[nextPart++ % kPartSites]);
        tagG4x4 placement = RandomPlacement(random);
        levels[level][s]->AddSingleAttachment(child, &placement, 0, 0, nullptr);
      }
    }
  }
  graph.root = levels[0][0];
  size_t perLevel = 1;
  graph.occurrences = 1;
  for (int f : fanOut) graph.occurrences += (perLevel *= f);
  return graph;
}

// Bytes in use in the general heap (small blocks and mmapped ones); the
// occurrence nodes themselves live in node memory outside it and show in
// the resident growth.
using quorra::bench::HeapInUse;

using quorra::bench::ResidentBytes;

using quorra::bench::DestroyOccurrenceTree;

std::array<int, 4> FanOutFor(int64_t target) {
  if (target <= 10000) return {10, 10, 10, 10};   // 11,111 occurrences
  if (target <= 100000) return {18, 18, 18, 18};  // 111,151
  return {32, 32, 31, 31};                        // 1,016,865
}

// Builds the occurrence tree of a prepared site graph, then destroys it
// (untimed) for the next iteration.
void BM_BuildOccurrenceTree(benchmark::State& state) {
  RegisterAssemblyModule();
  SiteGraph graph = MakeSiteGraph(FanOutFor(state.range(0)));
  double heapPerOccurrence = 0, residentPerOccurrence = 0;
  bool measured = false;
  for (auto _ : state) {
    malloc_trim(0);
    const size_t heapBefore = HeapInUse();
    const size_t residentBefore = ResidentBytes();
    graph.tree->CreateOccurrenceTree(graph.root);
    state.PauseTiming();
    if (!measured) {
      heapPerOccurrence = double(HeapInUse() - heapBefore) / double(graph.occurrences);
      residentPerOccurrence = double(ResidentBytes() - residentBefore) / double(graph.occurrences);
      measured = true;
    }
    DestroyOccurrenceTree(graph.tree.get());
    state.ResumeTiming();
  }
  state.counters["occurrences"] = double(graph.occurrences);
  state.counters["occ/s"] =
      benchmark::Counter(double(graph.occurrences), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["mallocB/occ"] = heapPerOccurrence;
  state.counters["rssB/occ"] = residentPerOccurrence;
  quorra::host::UnregisterModule(L"brenik.dex");
}
BENCHMARK(BM_BuildOccurrenceTree)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Destroys a built occurrence tree: every occurrence announced, unlinked
// from its site and freed (the build is untimed).
void BM_DestroyOccurrenceTree(benchmark::State& state) {
  RegisterAssemblyModule();
  SiteGraph graph = MakeSiteGraph(FanOutFor(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    graph.tree->CreateOccurrenceTree(graph.root);
    state.ResumeTiming();
    DestroyOccurrenceTree(graph.tree.get());
  }
  state.counters["occ/s"] =
      benchmark::Counter(double(graph.occurrences), benchmark::Counter::kIsIterationInvariantRate);
  quorra::host::UnregisterModule(L"brenik.dex");
}
BENCHMARK(BM_DestroyOccurrenceTree)->Arg(1000000)->Unit(benchmark::kMillisecond);

using quorra::bench::WorldMatrixAndRange;

// Walks a built tree computing world matrices and ranges. Arg 1: every
// matrix and range is recomputed (the whole tree made transform-dirty
// first, untimed); arg 0: they are cached.
void BM_WalkWorldMatricesAndRanges(benchmark::State& state) {
  RegisterAssemblyModule();
  SiteGraph graph = MakeSiteGraph(FanOutFor(state.range(1)));
  graph.tree->CreateOccurrenceTree(graph.root);
  AssemblyOccurrence* root = graph.tree->GetRootAssembly();
  const bool recompute = state.range(0) != 0;
  WorldMatrixAndRange callback;
  for (auto _ : state) {
    if (recompute) {
      state.PauseTiming();
      root->SetXformDirty();
      state.ResumeTiming();
    }
    root->Walk(&callback, nullptr, TRUE);
  }
  benchmark::DoNotOptimize(callback.sum_);
  state.counters["occurrences"] = double(graph.occurrences);
  // Seconds per (occurrences x 1e-9): nanoseconds per occurrence.
  state.counters["ns/occ"] = benchmark::Counter(
      double(graph.occurrences) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  quorra::host::UnregisterModule(L"brenik.dex");
}
BENCHMARK(BM_WalkWorldMatricesAndRanges)
    ->Args({0, 10000})
    ->Args({0, 1000000})
    ->Args({1, 10000})
    ->Args({1, 1000000})
    ->Unit(benchmark::kMillisecond);

// Binds occurrences by display roadmaps of depth 6 (fan-out 6 at every
// level: 55,987 occurrences).
void BM_BindDepth6(benchmark::State& state) {
  TreePtr tree(new AsmTree());
  tree->Init();
  PartSite* part = nullptr;
  tree->CreatePartSite(L"leaf.par", 0, &part);
  SiteNode* below = part;
  AssemblySite* top = nullptr;
  for (int level = 5; level >= 0; --level) {
    AssemblySite* site = nullptr;
    tree->CreateAssemblySite((L"level" + std::to_wstring(level) + L".asm").c_str(), 0, &site);
    for (int c = 0; c < 6; ++c) site->AddSingleAttachment(below, nullptr, 0, 0, nullptr);
    below = site;
    top = site;
  }
  tree->CreateOccurrenceTree(top);
  AssemblyOccurrence* root = tree->GetRootAssembly();

  std::mt19937 random(7);
  std::uniform_int_distribution<DWORD> id(1, 6);
  constexpr size_t kPaths = 4096;
  std::vector<std::array<DWORD, 6>> paths(kPaths);
  for (auto& path : paths)
    for (DWORD& link : path) link = id(random);
  size_t i = 0;
  size_t found = 0;
  for (auto _ : state) {
    const std::array<DWORD, 6>& path = paths[i++ & (kPaths - 1)];
    OccurrenceNode* node = root->Bind(6, path.data());
    found += node != nullptr;
    benchmark::DoNotOptimize(node);
  }
  if (found != size_t(state.iterations())) state.SkipWithError("a roadmap did not bind");
}
BENCHMARK(BM_BindDepth6);

}  // namespace
