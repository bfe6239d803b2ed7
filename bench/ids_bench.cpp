// Rebuilding a tree from its saved IDS against loading it from documents,
// for sample products of about 10^5 and 10^6 occurrences written to disk:
//   BM_LoadFromDocuments  the file loader (AsmTreeCreateAndLoad);
//   BM_LoadIDS            the saved compound file opened, "Sites" loaded into
//                         a map and LoadIDS into a fresh tree;
//   BM_OccurrenceTree     its tree-building part alone: the same sites and
//                         attachments made from memory (untimed), then
//                         CreateOccurrenceTree. LoadIDS minus this is the
//                         stream reading and the site and attachment making;
//   BM_ReadStreams        the stream reading alone: the file opened, "Sites"
//                         loaded and the "IDS" bytes read;
//   BM_SaveIDS            SaveIDS into a memory storage (bytes/s of "IDS");
//   BM_MemoryBandwidth    a 256 MiB copy, to read the others against.
// Arguments: depth, fan-out, part shapes: 4/24/50 about 10^5 occurrences,
// 5/22/50 about 1.2 x 10^6 (both from a few dozen documents, so few
// attachment records), 2/1000/1000 about 6.7 x 10^5 occurrences from some
// 3 x 10^5 attachment records (one FindSite each, as the stream says).
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>
#include <quorra/refhost.h>
#include <quorra/refhost/sample.h>
#include <stdlib.h>

#include "support/memory_probe.h"
#include "support/trees.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace quorra::refhost;
using quorra::host::ComPtr;

using Tree = quorra::bench::LoadedTree;
using quorra::bench::CopySitesAndAttachments;

struct Sample {
  std::string directory;
  SampleSummary summary;
  std::wstring saved;  // the compound file holding "IDS" and "Sites"
  uint64_t idsBytes = 0;
};

// Writes each configuration and its saved IDS once per process.
const Sample* GetSample(unsigned depth, unsigned fanout, unsigned parts) {
  static std::map<std::tuple<unsigned, unsigned, unsigned>, std::unique_ptr<Sample>> samples;
  static struct Cleanup {
    ~Cleanup() {
      std::error_code ignored;
      for (auto& [key, sample] : samples) std::filesystem::remove_all(sample->directory, ignored);
    }
  } cleanup;
  auto& slot = samples[{depth, fanout, parts}];
  if (slot) return slot->saved.empty() ? nullptr : slot.get();
  Install();
  slot = std::make_unique<Sample>();
  std::string pattern = (std::filesystem::temp_directory_path() / "quorra-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return nullptr;
  slot->directory = pattern;
  SampleOptions options;
  options.depth = depth;
  options.fanout = fanout;
  options.parts = parts;
  if (FAILED(WriteSample(quorra::host::FromUtf8(slot->directory).c_str(), options, &slot->summary))) return nullptr;

  AsmTree* loaded = nullptr;
  if (FAILED(AsmTreeCreateAndLoad(slot->summary.topDocument.c_str(), &loaded, nullptr))) return nullptr;
  Tree tree(loaded);
  SiteFileToUniversalIdentifierMap map;
  const std::wstring saved = quorra::host::FromUtf8(slot->directory + "/saved.ids");
  ComPtr<IStorage> storage;
  if (FAILED(map.Build(tree.get())) ||
      FAILED(StgCreateDocfile(saved.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put())) ||
      FAILED(tree->SaveIDS(storage.Get(), map)) || FAILED(map.Save(storage.Get())) || FAILED(storage->Commit(0)))
    return nullptr;
  STATSTG stat{};
  ComPtr<IStream> ids;
  if (SUCCEEDED(storage->OpenStream(quorra::kIDSStreamName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, ids.Put())) &&
      SUCCEEDED(ids->Stat(&stat, STATFLAG_NONAME)))
    slot->idsBytes = stat.cbSize.QuadPart;
  slot->saved = saved;
  return slot.get();
}

const Sample* Prepare(benchmark::State& state) {
  const Sample* sample = GetSample(static_cast<unsigned>(state.range(0)), static_cast<unsigned>(state.range(1)),
                                   static_cast<unsigned>(state.range(2)));
  if (!sample) state.SkipWithError("the sample could not be written");
  return sample;
}

void Report(benchmark::State& state, const Sample& sample) {
  const double occurrences = static_cast<double>(sample.summary.expectedOccurrences);
  state.counters["documents"] = static_cast<double>(sample.summary.documents);
  state.counters["occurrences"] = occurrences;
  state.counters["ids_bytes"] = static_cast<double>(sample.idsBytes);
  state.counters["occurrences/s"] =
      benchmark::Counter(occurrences * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_LoadFromDocuments(benchmark::State& state) {
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

void BM_LoadIDS(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  for (auto _ : state) {
    ComPtr<IStorage> storage;
    SiteFileToUniversalIdentifierMap map;
    AsmTree* tree = nullptr;
    if (FAILED(StgOpenStorage(sample->saved.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                              storage.Put())) ||
        FAILED(map.Load(storage.Get())) || FAILED(CreateAsmTree(&tree, nullptr)) ||
        FAILED(tree->LoadIDS(storage.Get(), map)))
      state.SkipWithError("LoadIDS failed");
    state.PauseTiming();  // the tree's destruction is not part of the load
    AsmTreeUnloadAndDelete(tree);
    state.ResumeTiming();
  }
  Report(state, *sample);
}

void BM_OccurrenceTree(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  AsmTree* loaded = nullptr;
  AsmTreeCreateAndLoad(sample->summary.topDocument.c_str(), &loaded, nullptr);
  Tree original(loaded);
  for (auto _ : state) {
    state.PauseTiming();
    AssemblySite* root = nullptr;
    Tree tree = CopySitesAndAttachments(original.get(), &root);
    state.ResumeTiming();
    if (FAILED(tree->CreateOccurrenceTree(root))) state.SkipWithError("CreateOccurrenceTree failed");
    tagGBox range;
    tree->GetRootAssembly()->FlushRangeCache();
    tree->GetRootAssembly()->GetRange(&range);
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
  Report(state, *sample);
}

void BM_ReadStreams(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  for (auto _ : state) {
    ComPtr<IStorage> storage;
    ComPtr<IStream> ids;
    SiteFileToUniversalIdentifierMap map;
    std::vector<BYTE> bytes;
    if (FAILED(StgOpenStorage(sample->saved.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                              storage.Put())) ||
        FAILED(map.Load(storage.Get())) ||
        FAILED(storage->OpenStream(quorra::kIDSStreamName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, ids.Put())) ||
        FAILED(quorra::host::ReadStreamBytes(ids.Get(), &bytes)))
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(bytes.data());
  }
  Report(state, *sample);
}

void BM_SaveIDS(benchmark::State& state) {
  const Sample* sample = Prepare(state);
  if (!sample) return;
  AsmTree* loaded = nullptr;
  AsmTreeCreateAndLoad(sample->summary.topDocument.c_str(), &loaded, nullptr);
  Tree tree(loaded);
  SiteFileToUniversalIdentifierMap map;
  map.Build(tree.get());
  for (auto _ : state) {
    ComPtr<IStorage> storage;
    quorra::host::CreateMemoryStorage(storage.Put());
    if (FAILED(tree->SaveIDS(storage.Get(), map))) state.SkipWithError("SaveIDS failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(sample->idsBytes) * state.iterations());
  Report(state, *sample);
}

void BM_MemoryBandwidth(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{256} << 20); }
BENCHMARK(BM_MemoryBandwidth)->Unit(benchmark::kMillisecond);

#define IDS_SAMPLES(function) \
  BENCHMARK(function)->Args({4, 24, 50})->Args({5, 22, 50})->Args({2, 1000, 1000})->Unit(benchmark::kMillisecond)

IDS_SAMPLES(BM_LoadFromDocuments);
IDS_SAMPLES(BM_LoadIDS);
IDS_SAMPLES(BM_OccurrenceTree);
IDS_SAMPLES(BM_ReadStreams);
IDS_SAMPLES(BM_SaveIDS);

}  // namespace
