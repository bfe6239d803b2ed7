// The override table's stream at scale: 10^5 part overrides (style and
// solver status each) below 10^3 assemblies, written as one version-2
// stream and read back into a fresh table. A memory-bandwidth probe runs in
// the same process for comparison.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using quorra::host::ComPtr;

constexpr DWORD kFanOut = 100;  // 10 x 100 assemblies, 100 parts each: 10^5 parts

std::unique_ptr<JIDSOverrideTree> BuildTable() {
  auto tree = std::make_unique<JIDSOverrideTree>();
  for (DWORD a = 1; a <= 10; ++a)
    for (DWORD b = 1; b <= kFanOut; ++b)
      for (DWORD c = 1; c <= kFanOut; ++c) {
        const DWORD path[] = {a, b, c};
        tree->SetStyleID(3, path, 5, IOT_PART, 0);
        tree->SetSolverStatus(3, path, 2, IOT_PART);
      }
  return tree;
}

std::vector<BYTE> SaveBytes(JIDSOverrideTree& tree) {
  ComPtr<IStream> stream;
  quorra::host::CreateMemoryStream(stream.Put());
  {
    JIOStreamContext context(stream.Get(), JIOStreamContext::kWriteContext);
    tree.SaveToStream(context);
  }
  std::vector<BYTE> bytes;
  quorra::host::ReadStreamBytes(stream.Get(), &bytes);
  return bytes;
}

void BM_SaveToStream(benchmark::State& state) {
  auto tree = BuildTable();
  size_t bytes = 0;
  for (auto _ : state) bytes = SaveBytes(*tree).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SaveToStream)->Unit(benchmark::kMillisecond);

void BM_LoadFromStream(benchmark::State& state) {
  auto source = BuildTable();
  const std::vector<BYTE> bytes = SaveBytes(*source);
  for (auto _ : state) {
    state.PauseTiming();
    auto tree = std::make_unique<JIDSOverrideTree>();
    ComPtr<IStream> stream;
    quorra::host::CreateMemoryStreamOnBytes(bytes.data(), bytes.size(), stream.Put());
    state.ResumeTiming();
    JIOStreamContext context(stream.Get(), JIOStreamContext::kReadContext);
    if (tree->LoadFromStream(context, nullptr) != S_OK) state.SkipWithError("load failed");
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_LoadFromStream)->Unit(benchmark::kMillisecond);

// Memory-bandwidth probe: copies 64 MiB; the figures above are quoted
// against it.
void BM_MemoryBandwidthProbe(benchmark::State& state) {
  constexpr size_t kBytes = size_t{64} << 20;
  std::vector<char> from(kBytes, 1), to(kBytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_MemoryBandwidthProbe)->Unit(benchmark::kMillisecond);

}  // namespace
