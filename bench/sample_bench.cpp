// Writing sample products: the synthetic sample at about 10^5 occurrences
// (depth 4, fan-out 24: 104,857 occurrences in a few dozen documents), a
// wide one with many part documents, and the gearbox. Each iteration writes
// into a fresh directory.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>
#include <quorra/refhost/sample.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

using namespace quorra::refhost;

class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorra-bench-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::wstring Directory(int n) const { return quorra::host::FromUtf8(path_ + "/" + std::to_string(n)); }

 private:
  std::string path_;
};

void Report(benchmark::State& state, const SampleSummary& summary) {
  state.counters["documents"] = static_cast<double>(summary.documents);
  state.counters["occurrences"] = static_cast<double>(summary.expectedOccurrences);
  state.counters["occurrences/s"] =
      benchmark::Counter(static_cast<double>(summary.expectedOccurrences) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

void BM_WriteSample(benchmark::State& state) {
  SampleOptions options;
  options.depth = static_cast<unsigned>(state.range(0));
  options.fanout = static_cast<unsigned>(state.range(1));
  options.parts = static_cast<unsigned>(state.range(2));
  Scratch scratch;
  SampleSummary summary;
  int n = 0;
  for (auto _ : state) {
    if (FAILED(WriteSample(scratch.Directory(n++).c_str(), options, &summary))) state.SkipWithError("write failed");
  }
  Report(state, summary);
}
// About 10^5 occurrences, few documents; then many part documents.
BENCHMARK(BM_WriteSample)->Args({4, 24, 50})->Args({3, 60, 1000})->Unit(benchmark::kMillisecond);

void BM_WriteGearbox(benchmark::State& state) {
  Scratch scratch;
  SampleSummary summary;
  int n = 0;
  for (auto _ : state) {
    if (FAILED(WriteGearboxSample(scratch.Directory(n++).c_str(), &summary))) state.SkipWithError("write failed");
  }
  Report(state, summary);
}
BENCHMARK(BM_WriteGearbox)->Unit(benchmark::kMillisecond);

}  // namespace
