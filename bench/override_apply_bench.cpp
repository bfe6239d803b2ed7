// Applying an override table at scale: 10^4 part overrides of mixed kinds
// (hidden, style, matrix; one each in turn) over random occurrences of a
// tree of 10^6 part occurrences, applied with the selection word of those
// three kinds. Two shapes: deep (three levels of 100 placements) and wide
// (10^6 parts placed directly in the root, where every override child is
// found among 10^6 siblings). A memory-bandwidth probe runs in the same
// process for comparison.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/memory_probe.h"
#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

constexpr DWORD kOverrides = 10000;
constexpr DWORD kApplyKinds = 0x1 | 0x2 | 0x10;  // style, matrix, display settings

struct Product {
  TreePtr tree;
  AssemblyOccurrence* root = nullptr;
  std::unique_ptr<JIDSOverrideTree> table;
  DWORD tableNodes = 0;
};

// levels: the placements per level from the root down (the last level
// places parts).
std::unique_ptr<Product> MakeProduct(const std::vector<DWORD>& levels) {
  auto product = std::make_unique<Product>();
  product->tree.reset(new AsmTree());
  AsmTree* tree = product->tree.get();
  tree->Init();
  PartSite* part = nullptr;
  tree->CreatePartSite(L"part.par", 0, &part);
  tagGBox box(0, 0, 0, 1, 1, 1);
  part->SetRange(&box);
  // One shared site per level; the deepest places the part.
  std::vector<AssemblySite*> sites(levels.size());
  for (size_t level = 0; level < levels.size(); ++level)
    tree->CreateAssemblySite((L"level" + std::to_wstring(level) + L".asm").c_str(), 0, &sites[level]);
  for (size_t level = 0; level < levels.size(); ++level) {
    SiteNode* child = level + 1 < levels.size() ? static_cast<SiteNode*>(sites[level + 1]) : part;
    std::vector<AttachmentBundle> bundles(levels[level]);
    for (DWORD i = 0; i < levels[level]; ++i) {
      bundles[i].site = child;
      bundles[i].matrix = tagG4x4::Translation(double(i), 0, 0);
      bundles[i].attachmentId = i + 1;
    }
    sites[level]->AddAttachments(levels[level], bundles.data(), nullptr);
  }
  tree->CreateOccurrenceTree(sites[0]);
  product->root = tree->GetRootAssembly();

  // 10^4 distinct random leaf paths, each with one kind.
  DWORD leaves = 1;
  for (DWORD n : levels) leaves *= n;
  std::vector<DWORD> picks(leaves);
  for (DWORD i = 0; i < leaves; ++i) picks[i] = i;
  std::mt19937 random(11);
  std::shuffle(picks.begin(), picks.end(), random);
  product->table = std::make_unique<JIDSOverrideTree>();
  const tagG4x4 moved = tagG4x4::Translation(0, 5, 0);
  for (DWORD i = 0; i < kOverrides; ++i) {
    std::vector<DWORD> path(levels.size());
    DWORD n = picks[i];
    for (size_t level = levels.size(); level-- > 0;) {
      path[level] = n % levels[level] + 1;
      n /= levels[level];
    }
    JIDSOverride* node = nullptr;
    product->table->AddOverride(static_cast<DWORD>(path.size()), path.data(), IOT_PART, &node);
    switch (i % 3) {
      case 0:
        node->SetHidden(1);
        break;
      case 1:
        node->SetStyle(5 + i % 7, 0);
        break;
      default:
        node->SetMatrix(&moved);
        break;
    }
  }
  IOTNodeCounter counter;
  product->table->GetAsmOverride()->Walk(&counter, 0, 1);
  product->tableNodes = counter.GetAssemblyCount() + counter.GetPartCount();
  return product;
}

// arg 0: deep (100 x 100 x 100); 1: wide (10^6 parts in the root).
void BM_ApplyOverrides(benchmark::State& state) {
  const auto product =
      MakeProduct(state.range(0) == 0 ? std::vector<DWORD>{100, 100, 100} : std::vector<DWORD>{1000000});
  for (auto _ : state) {
    HRESULT hr = product->table->Apply(nullptr, product->root, kApplyKinds);
    if (FAILED(hr)) state.SkipWithError("Apply failed");
  }
  state.counters["overrides"] = kOverrides;
  state.counters["table nodes"] = product->tableNodes;
  state.counters["ns/override"] = benchmark::Counter(
      double(kOverrides), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["ns/node"] = benchmark::Counter(
      double(product->tableNodes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ApplyOverrides)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Memory-bandwidth probe: copies 64 MiB; the figures above are quoted
// against it.
void BM_MemoryBandwidthProbe(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

}  // namespace
