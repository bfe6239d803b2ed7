// Mercury's property operations at scale: 10^4 writers (SetHidden) and
// readers (GetHidden) on random occurrences of a 10^5-part assembly, each
// through a fresh context as a host would make one per request; and an
// override application walked over the whole tree (the holder counts the
// assemblies it is handed). The host functions are minimal stand-ins: the
// document's tree and override table are fixed, notifications are dropped.
// A memory-bandwidth probe runs in the same process for comparison.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/memory_probe.h"

namespace {

constexpr DWORD kFanOut[3] = {100, 100, 10};  // 10^5 part occurrences
constexpr size_t kRequests = 10000;

using Path = std::array<DWORD, 3>;

class Holder final : public quorra::host::ComObject<IJOverrideTreeHolder> {
 public:
  HRESULT ApplyOverrides(OccurrenceNode*, DWORD) override {
    ++applied;
    return S_OK;
  }
  HRESULT GetOverrideTree(JIDSOverrideTree** out, DWORD) override {
    *out = &table;
    return S_OK;
  }
  HRESULT ConvertMemberRoadmap(JMemberRoadmap*, DisplayRoadmap*) override { return E_NOTIMPL; }
  JIDSOverrideTree table;
  size_t applied = 0;
};
class Document final : public quorra::host::ComObject<IUnknown> {};

struct Host {
  std::unique_ptr<AsmTree> tree{new AsmTree()};
  quorra::host::ComPtr<Holder> holder{new Holder};
  quorra::host::ComPtr<IUnknown> document{new Document};
  std::vector<Path> paths;
};
Host* gHost = nullptr;

HRESULT GetTree(IUnknown*, AsmTree** tree, BOOL) {
  *tree = gHost->tree.get();
  return S_OK;
}
HRESULT Notify(void*, void*, DWORD, void*) { return S_OK; }
HRESULT GetPersistManager(IUnknown* object, IUnknown** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}
HRESULT GetSupport(IUnknown*, REFIID iid, void** out) { return gHost->holder->QueryInterface(iid, out); }

Host& TheHost() {
  if (gHost) return *gHost;
  gHost = new Host();
  Host& host = *gHost;
  quorra::host::RegisterModule(L"brenik.dex", {{"JAsmGetIDSAsmTree", reinterpret_cast<void*>(&GetTree)},
                                               {"JAsmNotifyIDS", reinterpret_cast<void*>(&Notify)}});
  quorra::host::RegisterModule(L"dulcet.dll", {{"GetPersistManager", reinterpret_cast<void*>(&GetPersistManager)},
                                               {"JGetGraphicSupportObject", reinterpret_cast<void*>(&GetSupport)}});
  host.tree->Init();
  AssemblySite* levels[3] = {};
  for (int i = 0; i < 3; ++i)
    host.tree->CreateAssemblySite((L"level" + std::to_wstring(i) + L".asm").c_str(), 0, &levels[i]);
  PartSite* part = nullptr;
  host.tree->CreatePartSite(L"bolt.par", 0, &part);
  for (int i = 0; i < 3; ++i) {
    SiteNode* child = i < 2 ? static_cast<SiteNode*>(levels[i + 1]) : part;
    for (DWORD n = 0; n < kFanOut[i]; ++n) {
      tagG4x4 placement;
      AttachmentNode* attachment = nullptr;
      levels[i]->AddSingleAttachment(child, &placement, 0, 0, &attachment);
    }
  }
  host.tree->CreateOccurrenceTree(levels[0]);
  for (AssemblySite* level : levels) level->SetDocument(host.document.Get());
  std::mt19937 random(11);
  for (size_t i = 0; i < kRequests; ++i)
    host.paths.push_back(
        {DWORD(random() % kFanOut[0] + 1), DWORD(random() % kFanOut[1] + 1), DWORD(random() % kFanOut[2] + 1)});
  return host;
}

void RunRequests(benchmark::State& state, HRESULT (*request)(Mercury&)) {
  Host& host = TheHost();
  for (auto _ : state) {
    size_t ok = 0;
    for (const Path& p : host.paths) {
      DisplayRoadmap roadmap;
      roadmap.AddLinks(3, p.data());
      Mercury m;
      m.SetContext(host.document.Get(), &roadmap);
      ok += request(m) == S_OK;
    }
    if (ok != host.paths.size()) state.SkipWithError("a request failed");
  }
  state.counters["requests/s"] =
      benchmark::Counter(double(host.paths.size()), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SetHidden(benchmark::State& state) {
  RunRequests(state, [](Mercury& m) { return m.SetHidden(1); });
  IOTNodeCounter counter;
  TheHost().holder->table.GetAsmOverride()->Walk(&counter, 0, 1);
  state.counters["nodes"] = double(counter.GetAssemblyCount() + counter.GetPartCount());
}
BENCHMARK(BM_SetHidden)->Unit(benchmark::kMillisecond);

void BM_GetHidden(benchmark::State& state) {
  RunRequests(state, [](Mercury& m) {
    int hidden = 0;
    return m.GetHidden(&hidden);
  });
}
BENCHMARK(BM_GetHidden)->Unit(benchmark::kMillisecond);

// ApplyOverrides over the document's whole tree, walking below the root:
// every assembly occurrence (10^4 + 101) is handed to the holder.
void BM_ApplyOverridesWalk(benchmark::State& state) {
  Host& host = TheHost();
  size_t handed = 0;
  for (auto _ : state) {
    host.holder->applied = 0;
    Mercury m;
    m.ApplyOverrides(host.document.Get(),
                     MERCURY_OVERRIDES_DOCUMENT_TREE | MERCURY_OVERRIDES_WALK | MERCURY_OVERRIDES_DISPLAY);
    handed = host.holder->applied;
  }
  state.counters["assemblies"] = double(handed);
  state.counters["assemblies/s"] = benchmark::Counter(double(handed), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ApplyOverridesWalk)->Unit(benchmark::kMillisecond);

// Memory-bandwidth probe: copies 64 MiB; the figures above are quoted
// against it.
void BM_MemoryBandwidthProbe(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

}  // namespace
