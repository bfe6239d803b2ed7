// Large products of two shapes, fan-out 10 at every level and 200 part
// documents at the bottom, with 10^4, 10^5 and 10^6 leaves (depth 4 to 6):
//  - "unique": every sub-assembly is its own document (at depth 6: 111,111
//    assembly sites, 1,111,110 attachments, 1,111,111 occurrences);
//  - "shared": one sub-assembly document per level, placed ten times.
// Built through the library API as a loader builds them (checked site
// creation by path, one CreateAndAdd call per placement), in three timed
// parts: part sites, assembly sites with their attachments, occurrence tree;
// with the resident bytes the build adds per leaf. Then: binding 10^4
// random leaf roadmaps in shuffled order (by ids, by display roadmap through
// AsmTree::Lookup, and as member roadmaps), the walk computing world matrices
// and ranges from caches, and the same walk after SetXformDirty on the root
// (every matrix and range recomputed). Two probes of the memory system run
// in the same process to quote the figures against: copy bandwidth and the
// latency of a dependent load that misses every cache.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <quorra/quorra.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "multithreaded_process.h"

#include "support/memory_use.h"
#include "support/memory_probe.h"
#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

constexpr int kFanOut = 10;
constexpr int kPartDocuments = 200;

// The host's stored-range entry, as a loaded assembly module offers it:
// here it never has a stored range, so part ranges come from their sites.
HRESULT NoStoredRange(OccurrenceNode*, tagGBox*) { return E_FAIL; }

struct AssemblyModule {
  AssemblyModule() {
    quorra::host::RegisterModule(L"brenik.dex", {{"JGetOccurrenceRange", reinterpret_cast<void*>(&NoStoredRange)}});
  }
  ~AssemblyModule() { quorra::host::UnregisterModule(L"brenik.dex"); }
};

using quorra::bench::ResidentBytes;

// Processor time of this thread: on a shared machine it leaves out the time
// spent waiting for a processor (cache contention still shows).
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Everything the build needs prepared beforehand (a loader reads names and
// matrices from the documents): paths of every document and placements.
struct Recipe {
  bool unique = false;
  int depth = 0;
  std::vector<std::wstring> partPaths;
  // assemblyPaths[level][i]: the documents of a level (one when shared).
  std::vector<std::vector<std::wstring>> assemblyPaths;
  std::vector<tagG4x4> placements;
  size_t leaves = 1;
};

Recipe MakeRecipe(bool unique, int depth) {
  Recipe recipe;
  recipe.unique = unique;
  recipe.depth = depth;
  for (int i = 0; i < kPartDocuments; ++i)
    recipe.partPaths.push_back(L"C:\\Work\\Product\\Parts\\part_" + std::to_wstring(i) + L".par");
  size_t count = 1;
  recipe.assemblyPaths.resize(depth);
  for (int level = 0; level < depth; ++level) {
    const size_t documents = unique ? count : 1;
    for (size_t i = 0; i < documents; ++i)
      recipe.assemblyPaths[level].push_back(L"C:\\Work\\Product\\Assemblies\\asm_" + std::to_wstring(level) + L"_" +
                                            std::to_wstring(i) + L".asm");
    count *= kFanOut;
  }
  recipe.leaves = count;
  std::mt19937 random(42);
  std::uniform_real_distribution<double> offset(-50.0, 50.0);
  std::uniform_real_distribution<double> angle(0.0, 6.28);
  for (int i = 0; i < 64; ++i)
    recipe.placements.push_back(tagG4x4::Translation(offset(random), offset(random), offset(random)) *
                                tagG4x4::RotationZ(angle(random)));
  return recipe;
}

struct Built {
  TreePtr tree;
  AssemblySite* rootSite = nullptr;
  AssemblyOccurrence* root = nullptr;
  size_t residentBefore = 0;
  double partSeconds = 0, assemblySeconds = 0, occurrenceSeconds = 0;
  size_t residentBytes = 0;
};

// Builds the sites of the product: part sites, then the assembly sites and
// their attachments level by level.
Built BuildSites(const Recipe& recipe) {
  Built built;
  malloc_trim(0);
  const size_t residentBefore = ResidentBytes();
  const double start = ThreadSeconds();
  built.tree.reset(new AsmTree());
  built.tree->Init();
  AsmTree* tree = built.tree.get();
  for (int i = 0; i < kPartDocuments; ++i) {
    PartSite* part = nullptr;
    tree->CreatePartSite(recipe.partPaths[i].c_str(), 0, &part);
    const double size = 1.0 + i % 7;
    tagGBox range(0, 0, 0, size, size / 2, size / 3);
    part->SetRange(&range);
  }
  const double partsDone = ThreadSeconds();

  AssemblySite* rootSite = nullptr;
  tree->CreateAssemblySite(recipe.assemblyPaths[0][0].c_str(), 0, &rootSite);
  std::vector<AssemblySite*> level{rootSite};
  std::vector<AssemblySite*> next;
  size_t placement = 0;
  size_t nextPart = 0;
  for (int depth = 0; depth < recipe.depth; ++depth) {
    next.clear();
    const bool parts = depth + 1 == recipe.depth;
    size_t childDocument = 0;
    for (AssemblySite* site : level) {
      for (int c = 0; c < kFanOut; ++c) {
        tagG4x4 matrix = recipe.placements[placement++ & 63];
        AttachmentNode* attachment = nullptr;
        if (parts) {
          site->CreateAndAddPart(recipe.partPaths[nextPart++ % kPartDocuments].c_str(), 0, 0, &matrix, &attachment,
                                 nullptr, nullptr);
          continue;
        }
        const std::wstring& path = recipe.assemblyPaths[depth + 1][recipe.unique ? childDocument++ : 0];
        int isNew = 0;
        site->CreateAndAddAssembly(path.c_str(), 0, 0, &matrix, &attachment, &isNew, nullptr);
        if (isNew) next.push_back(static_cast<AssemblySite*>(attachment->GetAttachmentSite()));
      }
      // A shared document is filled once.
      if (!recipe.unique) break;
    }
    level.swap(next);
  }
  const double sitesDone = ThreadSeconds();
  built.rootSite = rootSite;
  built.partSeconds = partsDone - start;
  built.assemblySeconds = sitesDone - partsDone;
  built.residentBefore = residentBefore;
  return built;
}

// Builds the product: its sites and attachments, then the occurrence tree.
Built Build(const Recipe& recipe) {
  Built built = BuildSites(recipe);
  AsmTree* tree = built.tree.get();
  const double sitesDone = ThreadSeconds();
  tree->CreateOccurrenceTree(built.rootSite);
  const double treeDone = ThreadSeconds();
  built.root = tree->GetRootAssembly();
  built.occurrenceSeconds = treeDone - sitesDone;
  built.residentBytes = ResidentBytes() - built.residentBefore;
  return built;
}

int DepthFor(int64_t leaves) {
  int depth = 0;
  for (int64_t n = 1; n < leaves; n *= kFanOut) ++depth;
  return depth;
}

void Label(benchmark::State& state, const Recipe& recipe) {
  state.SetLabel(recipe.unique ? "unique" : "shared");
  state.counters["leaves"] = double(recipe.leaves);
}

// Args: unique (1) or shared (0), leaves. One build per iteration; the
// tree's deletion is not timed.
void BM_Build(benchmark::State& state) {
  AssemblyModule module;
  const Recipe recipe = MakeRecipe(state.range(0) != 0, DepthFor(state.range(1)));
  double parts = 0, assemblies = 0, occurrences = 0, resident = 0;
  for (auto _ : state) {
    Built built = Build(recipe);
    state.SetIterationTime(built.partSeconds + built.assemblySeconds + built.occurrenceSeconds);
    parts += built.partSeconds;
    assemblies += built.assemblySeconds;
    occurrences += built.occurrenceSeconds;
    resident += double(built.residentBytes);
    built.tree.reset();
  }
  const double n = double(state.iterations());
  Label(state, recipe);
  state.counters["parts_ms"] = parts / n * 1e3;
  state.counters["sites+attach_ms"] = assemblies / n * 1e3;
  state.counters["occtree_ms"] = occurrences / n * 1e3;
  state.counters["rssB/leaf"] = resident / n / double(recipe.leaves);
}
BENCHMARK(BM_Build)
    ->ArgNames({"unique", "leaves"})
    ->ArgsProduct({{1, 0}, {10000, 100000, 1000000}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The leaf roadmaps to bind: 10^4 random leaves, in shuffled order.
std::vector<std::vector<DWORD>> RandomLeafPaths(int depth) {
  std::mt19937 random(7);
  std::uniform_int_distribution<DWORD> id(1, kFanOut);
  std::vector<std::vector<DWORD>> paths(10000, std::vector<DWORD>(depth));
  for (auto& path : paths)
    for (DWORD& link : path) link = id(random);
  std::shuffle(paths.begin(), paths.end(), random);
  return paths;
}

// Binds each of the 10^4 roadmaps once per iteration: nanoseconds per bind.
void BM_Bind(benchmark::State& state) {
  AssemblyModule module;
  const Recipe recipe = MakeRecipe(state.range(0) != 0, DepthFor(state.range(1)));
  Built built = Build(recipe);
  const std::vector<std::vector<DWORD>> paths = RandomLeafPaths(recipe.depth);
  size_t found = 0;
  for (auto _ : state) {
    for (const std::vector<DWORD>& path : paths) {
      OccurrenceNode* node = built.root->Bind(DWORD(path.size()), path.data());
      found += node != nullptr;
      benchmark::DoNotOptimize(node);
    }
  }
  if (found != paths.size() * size_t(state.iterations())) state.SkipWithError("a roadmap did not bind");
  Label(state, recipe);
  state.counters["ns/bind"] = benchmark::Counter(double(paths.size()) * 1e-9,
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(BM_Bind)
    ->ArgNames({"unique", "leaves"})
    ->ArgsProduct({{1, 0}, {10000, 100000, 1000000}})
    ->Unit(benchmark::kMillisecond);

// AsmTree::Lookup of the same 10^4 display roadmaps: nanoseconds per
// look-up. Arg disturbed (1): the root's children were sorted by name first
// (their order stays, every occurrence is unnamed), so no list's id order is
// trusted and each list is looked through in walk order.
void BM_Lookup(benchmark::State& state) {
  AssemblyModule module;
  const Recipe recipe = MakeRecipe(state.range(0) != 0, DepthFor(state.range(1)));
  Built built = Build(recipe);
  if (state.range(2)) built.root->SortChildrenByName();
  std::vector<DisplayRoadmap> roadmaps;
  for (const std::vector<DWORD>& path : RandomLeafPaths(recipe.depth)) {
    DisplayRoadmap roadmap;
    for (DWORD link : path) roadmap.AddLink(link);
    roadmaps.push_back(std::move(roadmap));
  }
  size_t found = 0;
  for (auto _ : state) {
    for (DisplayRoadmap& roadmap : roadmaps) {
      const OccurrenceNode* node = built.tree->Lookup(&roadmap);
      found += node != nullptr && node->IsPart();
      benchmark::DoNotOptimize(node);
    }
  }
  if (found != roadmaps.size() * size_t(state.iterations())) state.SkipWithError("a roadmap found no leaf");
  Label(state, recipe);
  state.counters["ns/lookup"] = benchmark::Counter(double(roadmaps.size()) * 1e-9,
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}
BENCHMARK(BM_Lookup)
    ->ArgNames({"unique", "leaves", "disturbed"})
    ->ArgsProduct({{1, 0}, {10000, 1000000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// JBindRoadmapToOccLite of the same 10^4 leaves as member roadmaps (the
// document's own route, then each attachment id as a 4-byte route):
// nanoseconds per bind. Arg userData (1): one attachment holds user data,
// which may name a route of its own, so every bind walks the tree.
void BM_BindMemberRoadmap(benchmark::State& state) {
  AssemblyModule module;
  const Recipe recipe = MakeRecipe(state.range(0) != 0, DepthFor(state.range(1)));
  Built built = Build(recipe);
  if (state.range(2)) built.rootSite->GetAttachmentList()[0]->AddUserData(UD_OCC_QUANTITY, nullptr);
  std::vector<JMemberRoadmap> roadmaps;
  for (const std::vector<DWORD>& path : RandomLeafPaths(recipe.depth)) {
    JMemberRoadmap roadmap("product.asm");
    for (DWORD link : path) roadmap.Append(JMemberRoute(link));
    roadmaps.push_back(roadmap);
  }
  size_t found = 0;
  for (auto _ : state) {
    for (JMemberRoadmap& roadmap : roadmaps) {
      OccurrenceNode* node = nullptr;
      JBindRoadmapToOccLite(built.root, &roadmap, &node);
      found += node != nullptr && node->IsPart();
      benchmark::DoNotOptimize(node);
    }
  }
  if (found != roadmaps.size() * size_t(state.iterations())) state.SkipWithError("a roadmap did not bind");
  Label(state, recipe);
  state.counters["ns/bind"] = benchmark::Counter(double(roadmaps.size()) * 1e-9,
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(BM_BindMemberRoadmap)
    ->ArgNames({"unique", "leaves", "userData"})
    ->ArgsProduct({{1, 0}, {10000, 1000000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

using quorra::bench::WorldMatrixAndRange;

// Args: recompute (1: SetXformDirty on the root first, untimed, so every
// matrix and range is recomputed; 0: cached), unique, leaves. Nanoseconds
// per leaf.
void BM_Walk(benchmark::State& state) {
  AssemblyModule module;
  const bool recompute = state.range(0) != 0;
  const Recipe recipe = MakeRecipe(state.range(1) != 0, DepthFor(state.range(2)));
  Built built = Build(recipe);
  WorldMatrixAndRange callback;
  for (auto _ : state) {
    if (recompute) {
      state.PauseTiming();
      built.root->SetXformDirty();
      state.ResumeTiming();
    }
    built.root->Walk(&callback, nullptr, TRUE);
  }
  benchmark::DoNotOptimize(callback.sum_);
  Label(state, recipe);
  state.counters["ns/leaf"] = benchmark::Counter(double(recipe.leaves) * 1e-9,
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(BM_Walk)
    ->ArgNames({"recompute", "unique", "leaves"})
    ->ArgsProduct({{0, 1}, {1, 0}, {10000, 1000000}})
    ->Unit(benchmark::kMillisecond);

// Args: levels below the root of the moved placement, leaves. Moves one
// placement of a "unique" product (so it has one occurrence) and asks for
// the root's range: the refresh runs down the moved branch and merges the
// siblings along its path. Microseconds per move.
void BM_IncrementalRefresh(benchmark::State& state) {
  AssemblyModule module;
  const Recipe recipe = MakeRecipe(true, DepthFor(state.range(1)));
  Built built = Build(recipe);
  OccurrenceNode* moved = built.root;
  for (int64_t level = 0; level < state.range(0) && moved->IsAssembly(); ++level) {
    auto* assembly = static_cast<AssemblyOccurrence*>(moved);
    moved = assembly->GetChildByIndex(assembly->GetChildCount() / 2);
  }
  auto* attachment = const_cast<AttachmentNode*>(moved->GetAttachment());
  tagGBox range;
  built.root->GetRange(&range);
  int step = 0;
  for (auto _ : state) {
    AttachmentMatrix placement(tagG4x4::Translation(0.5 * ++step, 0, 0));
    attachment->SetXFormFromParent(&placement);
    built.root->GetRange(&range);
  }
  benchmark::DoNotOptimize(range);
  Label(state, recipe);
}
BENCHMARK(BM_IncrementalRefresh)
    ->ArgNames({"levels", "leaves"})
    ->ArgsProduct({{3, 6}, {1000000}})
    ->Unit(benchmark::kMicrosecond);

// Drops a product whose root nothing shows or places: one DeleteUnusedSites
// takes every site (each examined once, assemblies first), as a
// ReplaceBranch clean-up does for a dropped branch. The occurrence tree is
// not built; building the sites is not timed.
void BM_DeleteUnusedSites(benchmark::State& state) {
  AssemblyModule module;
  const Recipe recipe = MakeRecipe(state.range(0) != 0, DepthFor(state.range(1)));
  for (auto _ : state) {
    state.PauseTiming();
    Built built = BuildSites(recipe);
    state.ResumeTiming();
    built.tree->DeleteUnusedSites();
    state.PauseTiming();
    if (built.tree->GetAssemblySiteManager()->GetCount() + built.tree->GetPartSiteManager()->GetCount() != 0)
      state.SkipWithError("sites were left");
    built.tree.reset();
    state.ResumeTiming();
  }
  Label(state, recipe);
}
BENCHMARK(BM_DeleteUnusedSites)
    ->ArgNames({"unique", "leaves"})
    ->ArgsProduct({{1}, {10000, 100000}})
    ->Unit(benchmark::kMillisecond);

// ---- Probes of the memory system ----

// Copies 64 MiB: the bandwidth the figures above are quoted against.
void BM_MemoryBandwidthProbe(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

// Follows a random cycle through 1 GiB of cache-line slots (beyond even a
// large shared last-level cache): the cost of one dependent load that
// misses every cache, what each level of a bind in a large tree may pay.
void BM_MemoryLatencyProbe(benchmark::State& state) {
  constexpr size_t kSlots = (size_t{1} << 30) / 64;
  struct alignas(64) Slot {
    Slot* next;
  };
  std::vector<Slot> slots(kSlots);
  std::vector<size_t> order(kSlots);
  std::iota(order.begin(), order.end(), size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937_64(3));
  for (size_t i = 0; i < kSlots; ++i) slots[order[i]].next = &slots[order[(i + 1) % kSlots]];
  constexpr size_t kSteps = 1 << 20;
  Slot* at = &slots[order[0]];
  for (auto _ : state) {
    for (size_t i = 0; i < kSteps; ++i) at = at->next;
    benchmark::DoNotOptimize(at);
  }
  state.counters["ns/load"] = benchmark::Counter(
      double(kSteps) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MemoryLatencyProbe)->Unit(benchmark::kMillisecond);

}  // namespace
