// Mercury contexts named by refhost's host objects over a loaded sample
// product, per occurrence:
//   BM_CreateMembassy      refhost makes the membassy and its owner chain;
//   BM_MembassyRoadmaps    JGetRoadmapsFromMembassy walks the chain for the
//                          member and display roadmaps;
//   BM_MercuryFromMembassy Mercury::SetContext(membassy) and the occurrence
//                          resolved in the live tree;
//   BM_OpenDocumentByName  "JGetDocumentIfOpen" for each document of the
//                          product, as the body data finds its assembly;
//   BM_MemoryBandwidth     a 64 MiB copy in the same process, to tell a
//                          slower machine from a slower change.
// Items are occurrences (documents for the look-up by name). Arguments:
// depth, fan-out, part shapes of the synthetic sample.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/host_objects.h>
#include <quorra/refhost/occurrence_container.h>
#include <quorra/refhost/persist_manager.h>
#include <quorra/refhost/sample.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/memory_probe.h"
#include "support/trees.h"

namespace {

using quorra::host::ComPtr;

void Collect(OccurrenceNode* node, std::vector<OccurrenceNode*>* out) {
  if (node->GetParent()) out->push_back(node);
  if (!node->IsAssembly()) return;
  auto* assembly = static_cast<AssemblyOccurrence*>(node);
  for (DWORD i = 0; i < assembly->GetChildCount(); ++i) Collect(assembly->GetChildByIndex(i), out);
}

// A sample written, loaded and bound once per configuration.
struct Product {
  std::string directory;
  quorra::bench::LoadedTree tree;
  ComPtr<IUnknown> document;
  std::vector<OccurrenceNode*> occurrences;  // the root excluded
  std::vector<ComPtr<IUnknown>> membassies;  // one per occurrence
  std::vector<std::wstring> documentPaths;
};

const Product* GetProduct(benchmark::State& state) {
  static std::map<std::tuple<int64_t, int64_t, int64_t>, std::unique_ptr<Product>> products;
  static struct Cleanup {
    ~Cleanup() {
      std::error_code ignored;
      for (auto& [key, product] : products) {
        quorra::refhost::SetDocumentTree(product->document.Get(), nullptr);
        std::string directory = product->directory;
        product.reset();
        std::filesystem::remove_all(directory, ignored);
      }
    }
  } cleanup;
  auto& slot = products[{state.range(0), state.range(1), state.range(2)}];
  if (slot) return slot.get();
  quorra::refhost::Install();
  slot = std::make_unique<Product>();
  std::string pattern = (std::filesystem::temp_directory_path() / "quorra-mercury-XXXXXX").string();
  if (mkdtemp(pattern.data())) slot->directory = pattern;
  quorra::refhost::SampleOptions options;
  options.depth = static_cast<unsigned>(state.range(0));
  options.fanout = static_cast<unsigned>(state.range(1));
  options.parts = static_cast<unsigned>(state.range(2));
  quorra::refhost::SampleSummary summary;
  if (FAILED(quorra::refhost::WriteSample(quorra::host::FromUtf8(slot->directory).c_str(), options, &summary)))
    return nullptr;
  AsmTree* tree = nullptr;
  if (FAILED(AsmTreeCreateAndLoad(summary.topDocument.c_str(), &tree, nullptr))) return nullptr;
  slot->tree.reset(tree);
  quorra::refhost::BindDocuments(tree);
  AssemblyOccurrence* root = tree->GetRootAssembly();
  root->GetSite()->GetDocument(IID_IUnknown, reinterpret_cast<void**>(slot->document.Put()));
  quorra::refhost::SetDocumentTree(slot->document.Get(), tree);
  Collect(root, &slot->occurrences);
  for (OccurrenceNode* occurrence : slot->occurrences) {
    ComPtr<IUnknown> membassy;
    if (FAILED(quorra::refhost::CreateOccurrenceMembassy(occurrence, membassy.Put()))) return nullptr;
    slot->membassies.push_back(std::move(membassy));
  }
  for (SiteManager* manager : {tree->GetAssemblySiteManager(), tree->GetPartSiteManager()})
    for (SiteNode* site : manager->Nodes()) slot->documentPaths.push_back(site->GetFilePath(true).Str());
  return slot.get();
}

#define PRODUCT_OR_SKIP(product)                                      \
  const Product* product = GetProduct(state);                         \
  if (!product) {                                                     \
    state.SkipWithError("the sample could not be written or loaded"); \
    return;                                                           \
  }

void BM_CreateMembassy(benchmark::State& state) {
  PRODUCT_OR_SKIP(product);
  for (auto _ : state)
    for (OccurrenceNode* occurrence : product->occurrences) {
      ComPtr<IUnknown> membassy;
      quorra::refhost::CreateOccurrenceMembassy(occurrence, membassy.Put());
      benchmark::DoNotOptimize(membassy.Get());
    }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(product->occurrences.size()));
}

void BM_MembassyRoadmaps(benchmark::State& state) {
  PRODUCT_OR_SKIP(product);
  for (auto _ : state)
    for (const ComPtr<IUnknown>& membassy : product->membassies) {
      JMemberRoadmap member;
      DisplayRoadmap display;
      bool valid = false;
      JGetRoadmapsFromMembassy(membassy.Get(), &member, &display, &valid);
      benchmark::DoNotOptimize(valid);
    }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(product->membassies.size()));
}

void BM_MercuryFromMembassy(benchmark::State& state) {
  PRODUCT_OR_SKIP(product);
  Mercury mercury;
  for (auto _ : state)
    for (const ComPtr<IUnknown>& membassy : product->membassies) {
      mercury.SetContext(membassy.Get());
      OccurrenceNode* occurrence = nullptr;
      mercury.GetOccurrenceNode(&occurrence);
      benchmark::DoNotOptimize(occurrence);
    }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(product->membassies.size()));
}

void BM_OpenDocumentByName(benchmark::State& state) {
  PRODUCT_OR_SKIP(product);
  auto* lookup = reinterpret_cast<JGetDocumentIfOpenSignature*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"dulcet.dll"), "JGetDocumentIfOpen")));
  if (!lookup) return state.SkipWithError("no JGetDocumentIfOpen");
  for (auto _ : state)
    for (const std::wstring& path : product->documentPaths) {
      ComPtr<IUnknown> document;
      lookup(path.c_str(), IID_IUnknown, reinterpret_cast<void**>(document.Put()));
      benchmark::DoNotOptimize(document.Get());
    }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(product->documentPaths.size()));
}

void BM_MemoryBandwidth(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidth)->Unit(benchmark::kMillisecond);

// About 10^5 occurrences each: of 75 documents four levels deep, and of
// 1,000 part documents two levels deep.
#define PRODUCTS(function) BENCHMARK(function)->Args({4, 24, 50})->Args({2, 400, 1000})->Unit(benchmark::kMillisecond)

PRODUCTS(BM_CreateMembassy);
PRODUCTS(BM_MembassyRoadmaps);
PRODUCTS(BM_MercuryFromMembassy);
PRODUCTS(BM_OpenDocumentByName);

}  // namespace
