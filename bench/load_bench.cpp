// Loading sample products of about 10^5 occurrences from documents on disk,
// and where the time goes:
//   BM_LoadFile        the whole file loader (AsmTreeCreateAndLoad);
//   BM_ReadDocuments   its storage work alone: every document it reads opened,
//                      each "Attachments" stream read, each part's display
//                      data loaded into a geometry cache;
//   BM_BuildTree       its tree work alone: the same sites, attachments and
//                      occurrences made in the same order from memory;
//   BM_PopulateFullTree  the site reader;
//   BM_ScanReferences  what the tool adds before each load: every
//                      "Attachments" stream read and every child searched for
//                      (refhost::ScanReferences), to know what the load must
//                      find;
//   BM_MemoryBandwidth a probe of the machine, run in the same process: a
//                      64 MiB copy, to tell a slower machine from a slower
//                      change.
// The samples are written once into a temporary directory, with absolute
// child names so that the site reader finds them too. Arguments: depth,
// fan-out, part shapes (4/24/50: few documents placed very often; 3/60/1000:
// many part documents).
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/references.h>
#include <quorra/refhost/sample.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/memory_probe.h"
#include "support/trees.h"

namespace {

using namespace quorra::refhost;
using quorra::host::ComPtr;

using Tree = quorra::bench::LoadedTree;

// One document of a written sample as the loader sees it: for an assembly,
// its placements in stream order.
struct PlannedDocument {
  bool assembly = false;
  std::vector<std::pair<std::wstring, tagG4x4>> placements;
};

struct Sample {
  std::string directory;
  SampleSummary summary;
  std::map<std::wstring, PlannedDocument> documents;  // by full path
};

// Writes each configuration once per process and learns its structure with
// the site reader.
const Sample& GetSample(unsigned depth, unsigned fanout, unsigned parts) {
  static std::map<std::tuple<unsigned, unsigned, unsigned>, std::unique_ptr<Sample>> samples;
  static struct Cleanup {
    ~Cleanup() {
      std::error_code ignored;
      for (auto& [key, sample] : samples) std::filesystem::remove_all(sample->directory, ignored);
    }
  } cleanup;
  auto& slot = samples[{depth, fanout, parts}];
  if (slot) return *slot;
  Install();
  slot = std::make_unique<Sample>();
  std::string pattern = (std::filesystem::temp_directory_path() / "quorra-bench-XXXXXX").string();
  if (mkdtemp(pattern.data())) slot->directory = pattern;
  SampleOptions options;
  options.depth = depth;
  options.fanout = fanout;
  options.parts = parts;
  options.names = SampleNames::kAbsolute;
  WriteSample(quorra::host::FromUtf8(slot->directory).c_str(), options, &slot->summary);

  AsmTree* tree = nullptr;
  CreateAsmTree(&tree, nullptr);
  Tree owner(tree);
  tree->PopulateFullTree(slot->summary.topDocument.c_str(), 0);
  for (SiteManager* manager : {tree->GetAssemblySiteManager(), tree->GetPartSiteManager()})
    for (SiteNode* site : manager->Nodes()) {
      PlannedDocument& document = slot->documents[site->GetFilePath().Str()];
      if (!site->IsAssembly()) continue;
      document.assembly = true;
      for (AttachmentNode* attachment : static_cast<AssemblySite*>(site)->GetAttachmentList())
        document.placements.emplace_back(attachment->GetAttachmentSite()->GetFilePath().Str(),
                                         attachment->GetXFormFromParent()->GiveAsG4x4());
    }
  return *slot;
}

void Report(benchmark::State& state, const Sample& sample) {
  const double occurrences = static_cast<double>(sample.summary.expectedOccurrences);
  state.counters["documents"] = static_cast<double>(sample.summary.documents);
  state.counters["occurrences"] = occurrences;
  state.counters["occurrences/s"] =
      benchmark::Counter(occurrences * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

const Sample* Prepare(benchmark::State& state) {
  const Sample& sample = GetSample(static_cast<unsigned>(state.range(0)), static_cast<unsigned>(state.range(1)),
                                   static_cast<unsigned>(state.range(2)));
  if (sample.documents.empty()) {
    state.SkipWithError("the sample could not be written");
    return nullptr;
  }
  return &sample;
}

void BM_LoadFile(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  for (auto _ : state) {
    AsmTree* tree = nullptr;
    if (FAILED(AsmTreeCreateAndLoad(sample->summary.topDocument.c_str(), &tree, nullptr)))
      state.SkipWithError("load failed");
    AsmTreeUnloadAndDelete(tree);
  }
  Report(state, *sample);
}

void BM_ReadDocuments(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  for (auto _ : state) {
    for (const auto& [path, document] : sample->documents) {
      ComPtr<IStorage> storage, display;
      ComPtr<IStream> stream;
      if (FAILED(JStgOpenStorage(path.c_str(), nullptr, STGM_SHARE_DENY_NONE, nullptr, 0, storage.Put(), 1))) {
        state.SkipWithError("open failed");
        break;
      }
      if (document.assembly) {
        std::vector<BYTE> bytes;
        storage->OpenStream(L"Attachments", nullptr, STGM_SHARE_EXCLUSIVE, 0, stream.Put());
        if (stream) quorra::host::ReadStreamBytes(stream.Get(), &bytes);
        benchmark::DoNotOptimize(bytes.data());
        continue;
      }
      ComPtr<IJGeometryCache> cache;
      tagGBox range;
      storage->OpenStorage(L"Display", nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0, display.Put());
      if (!display || FAILED(JCreateGeometryCache(GEOMETRY_CACHE_KIND_DOCUMENT, nullptr, cache.Put()))) continue;
      cache->Initialize();
      cache->LoadFromStorage(display.Get(), 0, GEOMETRY_CACHE_LOAD_RANGE, GEOMETRY_CACHE_LOAD_PARAMETER);
      cache->LoadFromStorage(display.Get(), 0, GEOMETRY_CACHE_LOAD_DETAIL, GEOMETRY_CACHE_LOAD_PARAMETER);
      cache->Query(GEOMETRY_CACHE_QUERY_RANGE, &range);
    }
  }
  Report(state, *sample);
}

// Places the children of `document` below `site` the way the file loader
// does, reading each assembly at its first placement.
void Place(const Sample& sample, AssemblySite* site, const PlannedDocument& document) {
  static const tagGBox kPartRange(-10, -10, -10, 10, 10, 10);
  for (const auto& [path, placement] : document.placements) {
    const PlannedDocument& child = sample.documents.at(path);
    tagG4x4 matrix = placement;
    NodeList<OccurrenceNode> created;
    AttachmentNode* attachment = nullptr;
    int isNew = 0;
    if (child.assembly) {
      site->CreateAndAddAssembly(path.c_str(), 0, 0, &matrix, &attachment, &isNew, &created);
      if (isNew) Place(sample, static_cast<AssemblySite*>(attachment->GetAttachmentSite()), child);
    } else {
      site->CreateAndAddPart(path.c_str(), 0, 0, &matrix, &attachment, &isNew, &created);
      if (isNew) static_cast<PartSite*>(attachment->GetAttachmentSite())->SetRange(&kPartRange);
    }
  }
}

void BM_BuildTree(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  const std::wstring& top = sample->summary.topDocument;
  for (auto _ : state) {
    AsmTree* tree = nullptr;
    CreateAsmTree(&tree, nullptr);
    AssemblyOccurrence* root = nullptr;
    tree->CreateRootAssembly(top.c_str(), 0, &root);
    Place(*sample, static_cast<AssemblySite*>(root->GetSite()), sample->documents.at(top));
    benchmark::DoNotOptimize(root);
    AsmTreeUnloadAndDelete(tree);
  }
  Report(state, *sample);
}

void BM_PopulateFullTree(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  for (auto _ : state) {
    AsmTree* tree = nullptr;
    CreateAsmTree(&tree, nullptr);
    if (FAILED(tree->PopulateFullTree(sample->summary.topDocument.c_str(), 0))) state.SkipWithError("read failed");
    AsmTreeUnloadAndDelete(tree);
  }
  Report(state, *sample);
}

void BM_ScanReferences(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  for (auto _ : state) {
    ReferenceGraph graph;
    if (FAILED(ScanReferences(sample->summary.topDocument.c_str(), &graph))) state.SkipWithError("scan failed");
    benchmark::DoNotOptimize(graph.references.data());
  }
  Report(state, *sample);
}

void BM_MemoryBandwidth(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidth)->Unit(benchmark::kMillisecond);

#define LOAD_SAMPLES(function) \
  BENCHMARK(function)->Args({4, 24, 50})->Args({3, 60, 1000})->Unit(benchmark::kMillisecond)

LOAD_SAMPLES(BM_LoadFile);
LOAD_SAMPLES(BM_ReadDocuments);
LOAD_SAMPLES(BM_BuildTree);
LOAD_SAMPLES(BM_PopulateFullTree);
LOAD_SAMPLES(BM_ScanReferences);

}  // namespace
