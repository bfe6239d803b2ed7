// The text dumps and occurrence animation at scale: the test-log and table
// dumps of a whole tree, and the animated placement of every occurrence
// from a refhost timeline. Each should grow linearly with the tree.
//
// The tree: a root placing `s` distinct sub-assembly sites once each, each
// placing `p` parts drawn from 300 shared part sites, so that it holds
// 1 + s + s * p occurrences.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>
#include <quorra/refhost/timeline.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/memory_probe.h"
#include "support/trees.h"

namespace {

using quorra::bench::TreePtr;

constexpr int kPartSites = 300;

struct Tree {
  TreePtr tree;
  std::vector<OccurrenceNode*> occurrences;  // root first, depth first
};

void Collect(OccurrenceNode* node, std::vector<OccurrenceNode*>& out) {
  out.push_back(node);
  if (!node->IsAssembly()) return;
  auto* assembly = static_cast<AssemblyOccurrence*>(node);
  for (DWORD i = 0; i < assembly->GetChildCount(); ++i) Collect(assembly->GetChildByIndex(i), out);
}

Tree MakeTree(int64_t target) {
  const int side = static_cast<int>(std::sqrt(static_cast<double>(target)));
  Tree result;
  result.tree.reset(new AsmTree());
  result.tree->Init();
  std::vector<PartSite*> parts;
  for (int i = 0; i < kPartSites; ++i) {
    PartSite* part = nullptr;
    result.tree->CreatePartSite((L"part" + std::to_wstring(i) + L".par").c_str(), 0, &part);
    tagGBox range(0, 0, 0, 1 + i % 7, 1, 1);
    part->SetRange(&range);
    parts.push_back(part);
  }
  AssemblySite* root = nullptr;
  result.tree->CreateAssemblySite(L"root.asm", 0, &root);
  for (int s = 0; s < side; ++s) {
    AssemblySite* sub = nullptr;
    result.tree->CreateAssemblySite((L"sub" + std::to_wstring(s) + L".asm").c_str(), 0, &sub);
    tagG4x4 placement = tagG4x4::Translation(s, 0, 0);
    root->AddSingleAttachment(sub, &placement, 0, 0, nullptr);
    for (int p = 0; p < side; ++p) {
      tagG4x4 at = tagG4x4::Translation(0, p, 0) * tagG4x4::RotationZ(0.01 * p);
      sub->AddSingleAttachment(parts[(s * side + p) % kPartSites], &at, 0, 0, nullptr);
    }
  }
  result.tree->CreateOccurrenceTree(root);
  Collect(result.tree->GetRootAssembly(), result.occurrences);
  return result;
}

void BM_TestLogDump(benchmark::State& state) {
  Tree t = MakeTree(state.range(0));
  std::string text;
  for (auto _ : state) {
    JDumpIDSForATP(t.tree.get(), 0, 6, &text);
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["occurrences"] = double(t.occurrences.size());
  state.counters["occ/s"] =
      benchmark::Counter(double(t.occurrences.size()), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/occ"] = double(text.size()) / double(t.occurrences.size());
}
BENCHMARK(BM_TestLogDump)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TableDump(benchmark::State& state) {
  Tree t = MakeTree(state.range(0));
  std::string text;
  for (auto _ : state) {
    text.clear();
    DumpIDS(t.tree.get(), 0, &text);
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["occurrences"] = double(t.occurrences.size());
  state.counters["occ/s"] =
      benchmark::Counter(double(t.occurrences.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TableDump)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Every occurrence's animated placement at a frame; one part in ten has a
// world track.
void BM_AnimatedMatrixChain(benchmark::State& state) {
  Tree t = MakeTree(state.range(0));
  auto timeline = quorra::refhost::Timeline::Create();
  timeline->SetFrame(5);
  auto track = quorra::refhost::TimelineTrack::Create({{0, tagG4x4()}, {10, tagG4x4::Translation(0, 0, 10)}});
  for (size_t i = 0; i < t.occurrences.size(); i += 10)
    timeline->World().AddTrack(t.occurrences[i]->GetRoadmap(), track.Get());
  JGraphicContext context;
  context.SetDisplayObject(static_cast<IJTimelineProvider*>(timeline.Get()));
  t.tree->SetGraphicContext(&context);
  for (auto _ : state) {
    for (OccurrenceNode* occurrence : t.occurrences)
      benchmark::DoNotOptimize(occurrence->GetAnimatedMatrixChain(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, TIMELINE_NO_FRAME));
  }
  t.tree->SetGraphicContext(nullptr);
  state.counters["occurrences"] = double(t.occurrences.size());
  state.counters["occ/s"] =
      benchmark::Counter(double(t.occurrences.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AnimatedMatrixChain)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_MemoryBandwidth(benchmark::State& state) { quorra::bench::CopyMemory(state, size_t{64} << 20); }
BENCHMARK(BM_MemoryBandwidth)->Unit(benchmark::kMillisecond);

}  // namespace
