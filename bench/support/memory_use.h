// How much memory the process uses, for the benchmarks that report bytes per
// node beside their times.
#pragma once

#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

namespace quorra::bench {

// Bytes the general heap has handed out and not taken back.
inline size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Bytes of the process resident in memory.
inline size_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace quorra::bench
