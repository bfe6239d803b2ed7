// The per-character paths of the text library: lowering and comparing file
// names (site look-ups do this for every document), UTF conversions, and
// formatting one dump line.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

#include <string>

namespace {

const wchar_t* kPath = L"C:\\Users\\Designer\\Documents\\Projects\\Gearbox\\Subassemblies\\Housing\\Bolt M8x40.par";
const wchar_t* kPathLower = L"c:\\users\\designer\\documents\\projects\\gearbox\\subassemblies\\housing\\bolt m8x40.par";

void BM_ToLowerPath(benchmark::State& state) {
  GUserText text(kPath);
  for (auto _ : state) {
    GUserText copy(text);
    benchmark::DoNotOptimize(copy.ToLower(-1).GetText());
  }
}
BENCHMARK(BM_ToLowerPath);

void BM_LowerInPlaceCyrillic(benchmark::State& state) {
  std::wstring text(1024, wchar_t(0x0416));
  for (auto _ : state) {
    quorra::host::LowerInPlace(text.data(), text.size());
    quorra::host::UpperInPlace(text.data(), text.size());
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * 2048);
}
BENCHMARK(BM_LowerInPlaceCyrillic);

void BM_EqualsNoCase(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(quorra::host::EqualsNoCase(kPath, kPathLower));
}
BENCHMARK(BM_EqualsNoCase);

void BM_OrdinalLess(benchmark::State& state) {
  GUserText a(kPathLower), b(kPathLower);
  b += L'x';
  for (auto _ : state) benchmark::DoNotOptimize(a < b);
}
BENCHMARK(BM_OrdinalLess);

void BM_Utf16RoundTrip(benchmark::State& state) {
  std::wstring text(kPath);
  for (auto _ : state) {
    std::u16string units = quorra::host::ToUtf16(text);
    benchmark::DoNotOptimize(quorra::host::FromUtf16(units));
  }
}
BENCHMARK(BM_Utf16RoundTrip);

void BM_Utf8RoundTrip(benchmark::State& state) {
  std::wstring text(kPath);
  for (auto _ : state) {
    std::string bytes = quorra::host::ToUtf8(text);
    benchmark::DoNotOptimize(quorra::host::FromUtf8(bytes));
  }
}
BENCHMARK(BM_Utf8RoundTrip);

void BM_FormatDumpLine(benchmark::State& state) {
  GUserText line;
  int x = 0;
  for (auto _ : state) {
    line.Format(L"%-8s %016p %016p %5d %08x %08x %08x %016p %s\r\n", L"   A    ", &x, &line, 17, 0x40u, 0u, 0x1234u,
                &state, kPath);
    benchmark::DoNotOptimize(line.GetText());
  }
}
BENCHMARK(BM_FormatDumpLine);

}  // namespace
