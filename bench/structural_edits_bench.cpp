// Structural edits at scale, each at 10^4 and 10^5 (the argument):
//   BM_ReplaceBranchPlaced       ReplaceBranch of the root, whose n
//                                attachments place one part n times, by one
//                                new placement.
//   BM_ReplaceBranchDropProduct  ReplaceBranch of the root, which places one
//                                sub-assembly of n distinct parts, by one
//                                part: the sub-assembly, its n attachments
//                                and n part sites go (DeleteUnusedSites).
//   BM_DeleteUnusedSites         DeleteUnusedSites over n part sites, half of
//                                them placed by the root, half unused.
//   BM_RemoveAttachments         RemoveAndDestroyAttachment of the root's n
//                                attachments one by one, last first
//                                (arg 2: first first; arg 3: in a shuffled
//                                order, where no end of a list helps; arg 4:
//                                shuffled, one part placed n times, so that
//                                the part's occurrence list is as long).
//   BM_MemoryBandwidth           a 256 MiB copy, to read the others against.
// Each edit is timed alone: the tree is built with the timer paused. One
// edit per run; take the median of --benchmark_repetitions=3.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/memory_probe.h"

#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

std::wstring PartPath(int i) { return quorra::host::FormatWide(L"C:\\Bench\\Parts\\Part%06d.par", i); }

struct Assembly {
  TreePtr tree;
  AssemblySite* root = nullptr;
};

using Placer = const std::vector<SiteNode*>& (*)(AsmTree*, std::vector<SiteNode*>&);

// A tree whose root places, in order, the sites `places` makes; then the
// occurrence tree is built.
Assembly MakeRoot(Placer places) {
  Assembly assembly;
  assembly.tree.reset(new AsmTree());
  assembly.tree->Init();
  assembly.tree->CreateAssemblySite(L"C:\\Bench\\Root.asm", 0, &assembly.root);
  std::vector<SiteNode*> sites;
  places(assembly.tree.get(), sites);
  std::vector<AttachmentBundle> bundles(sites.size());
  for (size_t i = 0; i < sites.size(); ++i) {
    bundles[i].site = sites[i];
    bundles[i].attachmentId = static_cast<DWORD>(i + 1);
  }
  assembly.root->AddAttachments(static_cast<DWORD>(bundles.size()), bundles.data(), nullptr);
  AssemblyOccurrence* occurrence = nullptr;
  assembly.tree->CreateRootAssembly(L"C:\\Bench\\Root.asm", 0, &occurrence);
  return assembly;
}

int g_count = 0;  // how many placements or parts the placers make

const std::vector<SiteNode*>& OnePartPlacedN(AsmTree* tree, std::vector<SiteNode*>& sites) {
  PartSite* part = nullptr;
  tree->CreatePartSite(PartPath(0).c_str(), 0, &part);
  sites.assign(g_count, part);
  return sites;
}

const std::vector<SiteNode*>& DistinctParts(AsmTree* tree, std::vector<SiteNode*>& sites) {
  for (int i = 0; i < g_count; ++i) {
    PartSite* part = nullptr;
    tree->CreatePartSiteNoCheck(PartPath(i).c_str(), 0, &part);
    sites.push_back(part);
  }
  return sites;
}

const std::vector<SiteNode*>& ProductOfDistinctParts(AsmTree* tree, std::vector<SiteNode*>& sites) {
  AssemblySite* product = nullptr;
  tree->CreateAssemblySite(L"C:\\Bench\\Product.asm", 0, &product);
  std::vector<SiteNode*> parts;
  DistinctParts(tree, parts);
  std::vector<AttachmentBundle> bundles(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    bundles[i].site = parts[i];
    bundles[i].attachmentId = static_cast<DWORD>(i + 1);
  }
  product->AddAttachments(static_cast<DWORD>(bundles.size()), bundles.data(), nullptr);
  sites.assign(1, product);
  return sites;
}

AttachmentBundle NewPartBundle(AsmTree* tree) {
  PartSite* part = nullptr;
  tree->CreatePartSite(L"C:\\Bench\\Parts\\Replacement.par", 0, &part);
  AttachmentBundle bundle;
  bundle.site = part;
  bundle.attachmentId = 1;
  return bundle;
}

void RunReplaceBranch(benchmark::State& state, Placer places) {
  g_count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Assembly assembly = MakeRoot(places);
    AttachmentBundle bundle = NewPartBundle(assembly.tree.get());
    state.ResumeTiming();
    HRESULT hr = assembly.root->ReplaceBranch(1, &bundle, nullptr);
    state.PauseTiming();
    if (FAILED(hr)) state.SkipWithError("ReplaceBranch failed");
    assembly.tree.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ReplaceBranchPlaced(benchmark::State& state) { RunReplaceBranch(state, OnePartPlacedN); }
BENCHMARK(BM_ReplaceBranchPlaced)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ReplaceBranchDropProduct(benchmark::State& state) { RunReplaceBranch(state, ProductOfDistinctParts); }
BENCHMARK(BM_ReplaceBranchDropProduct)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_DeleteUnusedSites(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    // The root places the first half of the part sites; the rest are unused.
    g_count = n / 2;
    Assembly assembly = MakeRoot(DistinctParts);
    for (int i = n / 2; i < n; ++i) {
      PartSite* part = nullptr;
      assembly.tree->CreatePartSiteNoCheck(PartPath(i).c_str(), 0, &part);
    }
    state.ResumeTiming();
    assembly.tree->DeleteUnusedSites();
    state.PauseTiming();
    if (assembly.tree->GetPartSiteManager()->GetCount() != static_cast<DWORD>(n / 2))
      state.SkipWithError("DeleteUnusedSites left the wrong sites");
    assembly.tree.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DeleteUnusedSites)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_RemoveAttachments(benchmark::State& state) {
  g_count = static_cast<int>(state.range(0));
  const int64_t order = state.range(1);
  for (auto _ : state) {
    state.PauseTiming();
    Assembly assembly = MakeRoot(order == 4 ? OnePartPlacedN : DistinctParts);
    DWORD count = 0;
    AttachmentNode* const* list = nullptr;
    assembly.root->GetAttachments(&count, &list);
    std::vector<AttachmentNode*> attachments(list, list + count);
    if (order >= 3) std::shuffle(attachments.begin(), attachments.end(), std::mt19937(5));
    state.ResumeTiming();
    HRESULT failed = S_OK;
    if (order == 1) {
      for (size_t i = attachments.size(); i-- > 0;)
        if (FAILED(assembly.root->RemoveAndDestroyAttachment(attachments[i]))) failed = E_FAIL;
    } else {
      for (AttachmentNode* attachment : attachments)
        if (FAILED(assembly.root->RemoveAndDestroyAttachment(attachment))) failed = E_FAIL;
    }
    state.PauseTiming();
    if (FAILED(failed)) state.SkipWithError("RemoveAndDestroyAttachment failed");
    assembly.tree.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RemoveAttachments)
    ->Args({10000, 1})
    ->Args({100000, 1})
    ->Args({10000, 2})
    ->Args({100000, 2})
    ->Args({10000, 3})
    ->Args({100000, 3})
    ->Args({10000, 4})
    ->Args({100000, 4})
    ->ArgNames({"n", "order"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void BM_MemoryBandwidth(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{256} << 20); }
BENCHMARK(BM_MemoryBandwidth)->Unit(benchmark::kMillisecond);

}  // namespace
