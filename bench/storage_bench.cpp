// A 64 MiB stream written and read through the compound file engine, against
// the same bytes through plain stdio. Writes on both sides end with the data
// flushed to disk. The engine/plain time ratios are printed at exit.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using quorra::host::ComPtr;

constexpr size_t kStreamSize = 64u << 20;
constexpr size_t kChunk = 1u << 20;

// Best time per iteration of each benchmark, for the ratios.
struct Timings {
  double plainWrite = 0, engineWrite = 0, plainRead = 0, engineRead = 0;
  ~Timings() {
    if (plainWrite > 0 && engineWrite > 0)
      std::printf("storage: engine/plain write time ratio %.2f\n", engineWrite / plainWrite);
    if (plainRead > 0 && engineRead > 0)
      std::printf("storage: engine/plain read time ratio %.2f\n", engineRead / plainRead);
  }
} timings;

void Record(double* best, double seconds) {
  if (*best == 0 || seconds < *best) *best = seconds;
}

class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorra-bench-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
    payload_.resize(kChunk);
    for (size_t i = 0; i < kChunk; ++i) payload_[i] = static_cast<char>(i * 131 + (i >> 9));
  }
  ~Scratch() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const char* name) const { return path_ + "/" + name; }
  const std::vector<char>& Payload() const { return payload_; }

 private:
  std::string path_;
  std::vector<char> payload_;
};

Scratch& Shared() {
  static Scratch scratch;
  return scratch;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool PlainWrite(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (size_t done = 0; done < kStreamSize && ok; done += kChunk)
    ok = std::fwrite(Shared().Payload().data(), 1, kChunk, f) == kChunk;
  ok = ok && std::fflush(f) == 0 && fsync(fileno(f)) == 0;
  return std::fclose(f) == 0 && ok;
}

bool EngineWrite(const std::string& path) {
  ComPtr<IStorage> root;
  ComPtr<IStream> stream;
  if (FAILED(StgCreateDocfile(Wide(path).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                              root.Put())) ||
      FAILED(root->CreateStream(L"Data", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put())))
    return false;
  for (size_t done = 0; done < kStreamSize; done += kChunk)
    if (FAILED(stream->Write(Shared().Payload().data(), kChunk, nullptr))) return false;
  return SUCCEEDED(root->Commit(STGC_DEFAULT));
}

void BM_PlainWrite64MiB(benchmark::State& state) {
  std::string path = Shared().File("plain.bin");
  for (auto _ : state) {
    unlink(path.c_str());  // both sides write a new file
    auto start = std::chrono::steady_clock::now();
    if (!PlainWrite(path)) state.SkipWithError("plain write failed");
    Record(&timings.plainWrite, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

void BM_EngineWrite64MiB(benchmark::State& state) {
  std::string path = Shared().File("engine.cfb");
  for (auto _ : state) {
    unlink(path.c_str());
    auto start = std::chrono::steady_clock::now();
    if (!EngineWrite(path)) state.SkipWithError("engine write failed");
    Record(&timings.engineWrite, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

void BM_PlainRead64MiB(benchmark::State& state) {
  std::string path = Shared().File("plain.bin");
  if (!PlainWrite(path)) return state.SkipWithError("cannot prepare the file");
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    FILE* f = std::fopen(path.c_str(), "rb");
    size_t total = 0, got;
    while (f && (got = std::fread(buffer.data(), 1, kChunk, f)) > 0) total += got;
    if (f) std::fclose(f);
    if (total != kStreamSize) state.SkipWithError("short plain read");
    benchmark::DoNotOptimize(buffer.data());
    Record(&timings.plainRead, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

void BM_EngineRead64MiB(benchmark::State& state) {
  std::string path = Shared().File("engine.cfb");
  if (!EngineWrite(path)) return state.SkipWithError("cannot prepare the file");
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    ComPtr<IStorage> root;
    ComPtr<IStream> stream;
    size_t total = 0;
    if (SUCCEEDED(StgOpenStorage(Wide(path).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_NONE, nullptr, 0,
                                 root.Put())) &&
        SUCCEEDED(root->OpenStream(L"Data", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()))) {
      ULONG got = 0;
      while (SUCCEEDED(stream->Read(buffer.data(), kChunk, &got)) && got > 0) total += got;
    }
    if (total != kStreamSize) state.SkipWithError("short engine read");
    benchmark::DoNotOptimize(buffer.data());
    Record(&timings.engineRead, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

BENCHMARK(BM_PlainWrite64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EngineWrite64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainRead64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EngineRead64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
