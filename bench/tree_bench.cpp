// Object checksum throughput and the cost of roadmap building and comparison.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <vector>

static void BM_ObjectChecksum(benchmark::State& state) {
  std::vector<unsigned char> bytes(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(quorra::ObjectChecksum(bytes.data(), bytes.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ObjectChecksum)->Arg(sizeof(AsmTree))->Arg(4096);

static void BM_TreeGetCrcFresh(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    AsmTree* tree = new AsmTree();
    tree->Init();
    state.ResumeTiming();
    benchmark::DoNotOptimize(tree->GetCrc());
    state.PauseTiming();
    delete tree;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_TreeGetCrcFresh);

// Building a depth-6 roadmap link by link, the way a walk does.
static void BM_RoadmapAddLinkDepth6(benchmark::State& state) {
  DisplayRoadmap roadmap;
  for (auto _ : state) {
    roadmap.Clear();
    for (DWORD link = 1; link <= 6; ++link) roadmap.AddLink(link * 17);
    benchmark::DoNotOptimize(roadmap.GetData());
  }
}
BENCHMARK(BM_RoadmapAddLinkDepth6);

static void BM_RoadmapCompareDepth6(benchmark::State& state) {
  DisplayRoadmap a, b;
  for (DWORD link = 1; link <= 6; ++link) {
    a.AddLink(link * 17);
    b.AddLink(link * 17);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(a.Compare(&b));
    benchmark::DoNotOptimize(a.PartialCompare(&b));
  }
}
BENCHMARK(BM_RoadmapCompareDepth6);
