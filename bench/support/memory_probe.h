// The memory-bandwidth probe every benchmark executable runs beside its own
// figures, so that they can be read against what the machine copies per
// second in the same process.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quorra::bench {

// Copies `bytes` from one buffer to another each iteration; reports bytes/s.
inline void CopyMemory(benchmark::State& state, size_t bytes) {
  std::vector<char> from(bytes, 1), to(bytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

}  // namespace quorra::bench
