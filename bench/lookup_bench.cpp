// Finding occurrences by roadmap: AsmTree::Lookup (a binary search of the
// children at each level) against the walk it answers for (the OccLookup
// callback, which visits every sibling on the way down), at depths 3 to 8 on
// trees of some 300,000 occurrences (far larger than the caches) with random
// full-depth roadmaps in shuffled order. Also the cost of making and freeing
// member routes and roadmaps, and a memory-bandwidth probe to quote the
// figures against.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "multithreaded_process.h"

#include "support/memory_probe.h"

#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

constexpr double kTargetOccurrences = 300000;
constexpr size_t kPaths = 1 << 16;

// A tree of `depth` levels of assemblies, each placing `fanOut` children of
// the level below (parts at the bottom), with ids 1..fanOut; and random
// roadmaps to its parts.
struct LookupTree {
  TreePtr tree;
  DWORD fanOut = 0;
  size_t occurrences = 0;
  std::vector<DisplayRoadmap> paths;
};

LookupTree& TreeOfDepth(int depth) {
  static std::map<int, LookupTree> trees;
  LookupTree& t = trees[depth];
  if (t.tree) return t;
  t.fanOut = static_cast<DWORD>(std::lround(std::pow(kTargetOccurrences, 1.0 / depth)));
  t.tree.reset(new AsmTree());
  t.tree->Init();
  PartSite* part = nullptr;
  t.tree->CreatePartSite(L"leaf.par", 0, &part);
  SiteNode* below = part;
  AssemblySite* top = nullptr;
  for (int level = depth - 1; level >= 0; --level) {
    AssemblySite* site = nullptr;
    t.tree->CreateAssemblySite((L"level" + std::to_wstring(level) + L".asm").c_str(), 0, &site);
    for (DWORD c = 0; c < t.fanOut; ++c) site->AddSingleAttachment(below, nullptr, 0, 0, nullptr);
    below = site;
    top = site;
  }
  t.tree->CreateOccurrenceTree(top);
  size_t count = 1;
  for (int level = 0; level < depth; ++level) count = count * t.fanOut + 1;
  t.occurrences = count;

  std::mt19937 random(depth);
  std::uniform_int_distribution<DWORD> id(1, t.fanOut);
  t.paths.resize(kPaths);
  for (DisplayRoadmap& path : t.paths)
    for (int level = 0; level < depth; ++level) path.AddLink(id(random));
  std::shuffle(t.paths.begin(), t.paths.end(), random);
  return t;
}

void Label(benchmark::State& state, const LookupTree& t) {
  state.counters["fan_out"] = t.fanOut;
  state.counters["occurrences"] = static_cast<double>(t.occurrences);
}

void BM_Lookup(benchmark::State& state) {
  LookupTree& t = TreeOfDepth(static_cast<int>(state.range(0)));
  size_t i = 0, found = 0;
  for (auto _ : state) {
    const OccurrenceNode* node = t.tree->Lookup(&t.paths[i++ & (kPaths - 1)]);
    found += node != nullptr;
    benchmark::DoNotOptimize(node);
  }
  if (found != size_t(state.iterations())) state.SkipWithError("a roadmap was not found");
  Label(state, t);
}
BENCHMARK(BM_Lookup)->DenseRange(3, 8);

// The walk Lookup answers for: every sibling on the path is visited.
void BM_LookupByWalk(benchmark::State& state) {
  LookupTree& t = TreeOfDepth(static_cast<int>(state.range(0)));
  size_t i = 0, found = 0;
  for (auto _ : state) {
    OccLookup lookup(&t.paths[i++ & (kPaths - 1)]);
    t.tree->Walk(&lookup, nullptr, TRUE);
    t.tree->EndWalk();
    found += lookup.GetFound() != nullptr;
    benchmark::DoNotOptimize(lookup.GetFound());
  }
  if (found != size_t(state.iterations())) state.SkipWithError("a roadmap was not found");
  Label(state, t);
}
BENCHMARK(BM_LookupByWalk)->DenseRange(3, 8);

// ---- Member routes and roadmaps ----

void BM_MemberRouteNewDelete(benchmark::State& state) {
  for (auto _ : state) {
    auto* route = new JMemberRoute(DWORD{42});
    benchmark::DoNotOptimize(route);
    delete route;
  }
}
BENCHMARK(BM_MemberRouteNewDelete);

// A route of `length` bytes on the stack: inline up to 24, a heap block above.
void BM_MemberRouteCopy(benchmark::State& state) {
  const std::string bytes(static_cast<size_t>(state.range(0)), 'r');
  const JMemberRoute source(bytes.data(), static_cast<DWORD>(bytes.size()));
  for (auto _ : state) {
    JMemberRoute copy(source);
    benchmark::DoNotOptimize(copy.GetByteArray());
  }
}
BENCHMARK(BM_MemberRouteCopy)->Arg(4)->Arg(24)->Arg(40);

// A heap roadmap of three short routes, made and freed: one roadmap and
// three links from the class caches.
void BM_MemberRoadmapCreateDestroy(benchmark::State& state) {
  for (auto _ : state) {
    auto* roadmap = new JMemberRoadmap("document");
    roadmap->Append(JMemberRoute(DWORD{12}));
    roadmap->Append("7");
    benchmark::DoNotOptimize(roadmap);
    delete roadmap;
  }
}
BENCHMARK(BM_MemberRoadmapCreateDestroy);

void BM_MemberRoadmapCopy(benchmark::State& state) {
  JMemberRoadmap source("document");
  for (int i = 0; i < 5; ++i) source.Append(JMemberRoute(DWORD(i)));
  for (auto _ : state) {
    JMemberRoadmap copy(source);
    benchmark::DoNotOptimize(copy.GetFirst());
  }
}
BENCHMARK(BM_MemberRoadmapCopy);

// ---- Memory bandwidth probe ----

// Copies 64 MiB: the figures above are quoted against this.
void BM_MemoryBandwidthProbe(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

}  // namespace
