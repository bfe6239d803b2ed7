// Scene population at scale: an occurrence tree of about 10^6 part
// occurrences whose sites share geometry caches of three levels of detail,
// populated into a scene with culling off (scene flag 0x2) and on (a clip
// plane through the middle of the product and small-object rejection).
// The figure to watch is the time per occurrence; the copy probe beside it
// tells how fast the machine moves memory in the same process.
//
// The site graph has depth 4 like the occurrence benchmarks: a root, three
// levels of shared sub-assembly sites and a few hundred shared part sites.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "support/memory_probe.h"
#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

constexpr int kAssemblySitesPerLevel = 6;
constexpr int kPartSites = 300;

HRESULT NoStoredRange(OccurrenceNode*, tagGBox*) { return E_FAIL; }

// A part's display data as the renderer sees it: three levels of detail.
class ThreeLevelCache final : public quorra::host::ComObject<IJGeometryCache> {
 public:
  HRESULT GetTypedGraphic(DWORD*, void**, DWORD) override { return E_FAIL; }
  HRESULT SetTypedGraphic(DWORD, void*, DWORD) override { return S_OK; }
  HRESULT Query(DWORD query, void* result) override {
    if (query != GEOMETRY_CACHE_QUERY_RENDER_INFO) return E_INVALIDARG;
    auto* info = static_cast<RenderCacheInfo*>(result);
    info->levelCount = 3;
    info->tolerances[0] = 0.001;
    info->tolerances[1] = 0.01;
    info->tolerances[2] = 0.1;
    return S_OK;
  }

 private:
  ~ThreeLevelCache() override = default;
};

struct Product {
  TreePtr tree;
  size_t occurrences = 0;
};

// {32, 32, 31, 31}: 1,016,865 occurrences, 984,064 of them parts.
Product MakeProduct() {
  quorra::host::RegisterModule(L"brenik.dex", {{"JGetOccurrenceRange", reinterpret_cast<void*>(&NoStoredRange)}});
  const std::array<int, 4> fanOut = {32, 32, 31, 31};
  Product product;
  product.tree.reset(new AsmTree());
  product.tree->Init();
  std::mt19937 random(42);
  std::uniform_real_distribution<double> offset(-50.0, 50.0);
  std::uniform_real_distribution<double> angle(0.0, 6.28);

  std::vector<PartSite*> parts;
  for (int i = 0; i < kPartSites; ++i) {
    PartSite* part = nullptr;
    product.tree->CreatePartSite((L"part" + std::to_wstring(i) + L".par").c_str(), 0, &part);
    const double size = 1.0 + i % 7;
    tagGBox range(0, 0, 0, size, size / 2, size / 3);
    part->SetRange(&range);
    part->SetCommonCache(static_cast<IJGeometryCache*>(new ThreeLevelCache()));
    parts.push_back(part);
  }
  std::vector<std::vector<AssemblySite*>> levels(4);
  for (int level = 0; level < 4; ++level) {
    for (int i = 0; i < (level == 0 ? 1 : kAssemblySitesPerLevel); ++i) {
      AssemblySite* site = nullptr;
      product.tree->CreateAssemblySite((L"asm" + std::to_wstring(level) + L"_" + std::to_wstring(i) + L".asm").c_str(),
                                       0, &site);
      levels[level].push_back(site);
    }
  }
  int nextPart = 0;
  for (int level = 0; level < 4; ++level)
    for (size_t s = 0; s < levels[level].size(); ++s)
      for (int c = 0; c < fanOut[level]; ++c) {
        SiteNode* child = level < 3 ? static_cast<SiteNode*>(levels[level + 1][(s + c) % kAssemblySitesPerLevel])
                                    : static_cast<SiteNode*>(parts[nextPart++ % kPartSites]);
        tagG4x4 placement =
            tagG4x4::Translation(offset(random), offset(random), offset(random)) * tagG4x4::RotationZ(angle(random));
        levels[level][s]->AddSingleAttachment(child, &placement, 0, 0, nullptr);
      }
  product.tree->CreateOccurrenceTree(levels[0][0]);
  size_t perLevel = 1;
  product.occurrences = 1;
  for (int f : fanOut) product.occurrences += (perLevel *= f);
  return product;
}

Product& SharedProduct() {
  static Product product = MakeProduct();
  return product;
}

// Arg 0: culling off; 1: culling on.
void BM_PopulateScene(benchmark::State& state) {
  Product& product = SharedProduct();
  AsmTree* tree = product.tree.get();
  const tagGBox whole = *tree->GetRootAssembly()->GetRange();
  const double cx = (whole.low[0] + whole.high[0]) / 2, cy = (whole.low[1] + whole.high[1]) / 2,
               cz = (whole.low[2] + whole.high[2]) / 2;
  GScene scene;
  scene.Camera().perspective = false;
  scene.Camera().target = tagGPosition{cx, cy, cz};
  scene.Camera().eye = tagGPosition{cx, cy, cz + 1000};
  scene.Camera().viewHeight = whole.high[1] - whole.low[1];
  const bool culling = state.range(0) != 0;
  scene.SetFlags(culling ? GSCENE_CULLING : GSCENE_NO_REJECTION);
  if (culling) scene.ClipVolume().AddPlane(-1, 0, 0, cx);
  for (auto _ : state) {
    benchmark::DoNotOptimize(tree->PopulateScene(&scene));
  }
  const size_t items = scene.AllItems().size();
  state.counters["items"] = static_cast<double>(items);
  state.counters["ns_per_occurrence"] =
      benchmark::Counter(static_cast<double>(product.occurrences),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<int64_t>(product.occurrences) * state.iterations());
  GScene::Purge(&scene, 0x7);
}
BENCHMARK(BM_PopulateScene)->ArgName("culling")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The memory-bandwidth probe: a 256 MiB copy.
void BM_CopyMemory(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{256} << 20); }
BENCHMARK(BM_CopyMemory)->Unit(benchmark::kMillisecond);

}  // namespace
